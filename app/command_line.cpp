#include "app/command_line.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/settings.h"
#include "log/log.h"
#include "multidrop/slave_table.h"

namespace {

constexpr int kParsedOk = 1;
constexpr int kNotAnOption = 0;
constexpr int kBadOption = -1;

constexpr int32_t kDefaultMaxLogSize = 1000000;
constexpr int64_t kLargestMaxLogSize = 1000000000;

struct Keyword {
    const char* text;
    uint32_t value;
};

constexpr Keyword kInterfaces[] = {
    {"V.24", INTERFACE_V24},          {"X.21", INTERFACE_X21},    {"V.35", INTERFACE_V35},
    {"RS530", INTERFACE_RS530},       {"RS449", INTERFACE_RS530}, {"RS485-2W", INTERFACE_RS485_2W},
    {"RS485-4W", INTERFACE_RS485_4W},
};

constexpr Keyword kEncodings[] = {
    {"NRZ", ENCODING_NRZ}, {"NRZI", ENCODING_NRZI}, {"FM0", ENCODING_FM0},
    {"FM1", ENCODING_FM1}, {"MAN", ENCODING_MAN},   {"DMAN", ENCODING_DMAN},
};

constexpr Keyword kModes[] = {{"SYNC", MODE_SYNC}, {"ASYNC", MODE_ASYNC}};

constexpr Keyword kParities[] = {
    {"ODD", PARITY_ODD}, {"EVEN", PARITY_EVEN}, {"MARK", PARITY_MARK}, {"SPACE", PARITY_SPACE}};

constexpr Keyword kPatterns[] = {
    {"63", PATTERN_63},     {"511", PATTERN_511},   {"2047", PATTERN_2047}, {"2^15", PATTERN_2_15},
    {"2^20", PATTERN_2_20}, {"2^23", PATTERN_2_23}, {"QRSS", PATTERN_QRSS}, {"1:7", PATTERN_1_7},
    {"1/16", PATTERN_1_16}, {"2/8", PATTERN_2_8},   {"3/24", PATTERN_3_24}, {"1:1", PATTERN_1_1},
    {"FOX", PATTERN_FOX},   {"MK", PATTERN_MK},     {"SP", PATTERN_SP},     {"USER", PATTERN_USER},
};

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::toupper(static_cast<unsigned char>(*a)) !=
            std::toupper(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

template <size_t N>
bool LookUp(const Keyword (&table)[N], const char* text, uint32_t* value) {
    for (const Keyword& keyword : table) {
        if (SameIgnoringCase(text, keyword.text)) {
            *value = keyword.value;
            return true;
        }
    }
    return false;
}

template <size_t N>
uint32_t LookUpOr(const Keyword (&table)[N], const char* text, uint32_t fallback) {
    uint32_t value = fallback;
    LookUp(table, text, &value);
    return value;
}

uint32_t UnsignedValue(const char* text) { return ToUnsigned32(ReadNumber(text)); }
int32_t SignedValue(const char* text) { return ToSigned32(ReadNumber(text)); }

// Exactly the capitals RTS or XON, by the first three characters only.
uint32_t FlowControlFromValue(const char* text) {
    if (std::strncmp(text, "RTS", 3) == 0) return FLOW_RTS;
    if (std::strncmp(text, "XON", 3) == 0) return FLOW_XON;
    return FLOW_NONE;
}

uint32_t DataBitsFromValue(const char* text) {
    uint32_t bits = UnsignedValue(text);
    return (bits < 5 || bits > 8) ? 8 : bits;
}

int32_t MaxLogSizeFromValue(const char* text) {
    int64_t size = ReadNumber(text);
    if (size < 0 || size > kLargestMaxLogSize) return kDefaultMaxLogSize;
    return static_cast<int32_t>(size);
}

void SetPollRange(int first, int last, bool poll) {
    for (int id = first; id <= last; ++id) g_aSlaveStats[id].bPoll = poll;
}

// "1.4,6,8" style list: ',' next id, '.' range from the id just read, '!'
// clear from here on. Every list (a repeated +Mm included) is read into the
// one table, and the count is that of the whole table afterwards.
int ParseSlaveList(const char* list) {
    bool poll = true;
    bool rangeOpen = false;
    int rangeFirst = 0;
    const char* cursor = list;
    for (;;) {
        const char* end = nullptr;
        int64_t id = ReadNumber(cursor, &end);
        if (id < kFirstSlaveId || id > kLastSlaveId) return kBadOption;
        const int slave = static_cast<int>(id);
        const char* action = poll ? "set" : "clear";
        if (rangeOpen) {
            SetPollRange(rangeFirst, slave, poll);
            LogPrint(3, "%s range from %d to %d\n", action, rangeFirst, slave);
            rangeOpen = false;
        } else {
            g_aSlaveStats[slave].bPoll = poll;
            LogPrint(3, "%s slaveId %d\n", action, slave);
        }
        if (*end == '.') {
            rangeOpen = true;
            rangeFirst = slave;
        } else if (*end == '!') {
            poll = false;
        } else if (*end != ',') {
            break;
        }
        cursor = end + 1;
    }
    g_Settings.uSelectedSlaves = CountPolledSlaves();
    return kParsedOk;
}

int ParseMultiDrop(const char* value) {
    g_Settings.bMultiDrop = true;
    if (value[0] == 'm') {
        g_Settings.bMultiDropMaster = true;
        return ParseSlaveList(value + 1);
    }
    if (value[0] == 's') {
        g_Settings.iSlaveId = SignedValue(value + 1);
        return kParsedOk;
    }
    return kBadOption;
}

bool ApplyDashSwitch(char letter) {
    TestSettings& s = g_Settings;
    switch (letter) {
        case 'b':
        case 'B':
            s.bBurstMode = true;
            return true;
        case 'e':
        case 'E':
            s.bExternalClock = true;
            return true;
        case 'g':
        case 'G':
            s.bGuiLink = true;
            return true;
        case 'N':
            s.bNrziClocking = true;
            return true;
        case 'r':
        case 'R':
            s.bTermination = true;
            return true;
        case 's':
            s.bStopOnError = true;
            return true;
        case 'w':
        case 'W':
            s.bDebugOutput = true;
            return true;
        case 'x':
            s.bInvertRxClock = true;
            return true;
        default:
            return false;
    }
}

bool ApplyDashNumber(char letter, const char* value) {
    TestSettings& s = g_Settings;
    switch (letter) {
        case 'a':
            s.uDataBits = DataBitsFromValue(value);
            return true;
        case 'c':
        case 'C':
            s.uCard = UnsignedValue(value);
            return true;
        case 'd':
        case 'D':
            s.iTestSelect = SignedValue(value);
            return true;
        case 'k':
        case 'K':
            s.uClockRate = UnsignedValue(value);
            return true;
        case 'l':
            s.uTestLengthBits = UnsignedValue(value);
            return true;
        case 'L':
            s.uTestDurationSecs = UnsignedValue(value);
            s.bTestDurationGiven = true;
            return true;
        case 'o':
        case 'O':
            s.iMaxLogSize = MaxLogSizeFromValue(value);
            return true;
        case 'p':
        case 'P':
            s.uPort = UnsignedValue(value);
            return true;
        case 'q':
        case 'Q':
            s.uQueueSecs = UnsignedValue(value);
            return true;
        case 'S':
            s.uNoSyncTimeoutSecs = UnsignedValue(value);
            return true;
        case 'v':
        case 'V':
            s.uVerbosity = UnsignedValue(value);
            return true;
        default:
            return false;
    }
}

bool ApplyDashKeyword(char letter, const char* value) {
    TestSettings& s = g_Settings;
    switch (letter) {
        case 'i':
        case 'I':
            s.uInterface = LookUpOr(kInterfaces, value, INTERFACE_NONE);
            return true;
        case 'm':
        case 'M':
            LookUp(kModes, value, &s.uMode);
            return true;
        case 'n':
            s.uEncoding = LookUpOr(kEncodings, value, ENCODING_NRZ);
            return true;
        case 't':
        case 'T':
            LookUp(kPatterns, value, &s.uPatternType);
            return true;
        case 'X':
            s.uFlowControl = FlowControlFromValue(value);
            return true;
        case 'y':
            s.uParity = LookUpOr(kParities, value, PARITY_NONE);
            return true;
        case 'z':
            s.uStopBits = SameIgnoringCase(value, "2") ? 2 : 0;
            return true;
        default:
            return false;
    }
}

int ApplyDashOption(char letter, const char* value) {
    if (ApplyDashSwitch(letter) || ApplyDashNumber(letter, value) ||
        ApplyDashKeyword(letter, value))
        return kParsedOk;
    return kBadOption;
}

int ApplyPlusOption(char letter, const char* value) {
    TestSettings& s = g_Settings;
    switch (letter) {
        case 'c':
            s.pszCaptureFile = value;
            break;
        case 'C':
            s.bCaptureHex = SameIgnoringCase(value, "HEX");
            break;
        case 'd':
        case 'D':
            s.uDataLength = UnsignedValue(value);
            break;
        case 'l':
            s.bDataLogging = true;
            break;
        case 'M':
            return ParseMultiDrop(value);
        case 'q':
            s.bPollQuietSlaves = true;
            break;
        case 'r':
            s.uRxTimeoutMs = UnsignedValue(value);
            break;
        case 'R':
            s.bRoundTripDelay = true;
            s.iTestSelect = TEST_ECHO;
            break;
        case 'S':
            s.bHardwareMode = false;
            break;
        case 't':
            s.uTxDelayMs = UnsignedValue(value);
            break;
        case 'u':
            s.pszUserPatternFile = value;
            break;
        case 'U':
            s.bUserPatternHex = SameIgnoringCase(value, "HEX");
            break;
        case 'v':
            s.bAutoInvert = true;
            break;
        case 'x':
            g_dwExtendedConfig = UnsignedValue(value);
            break;
        default:
            return kBadOption;
    }
    return kParsedOk;
}

int ApplyArgument(const char* arg) {
    if (arg[0] != '-' && arg[0] != '+') return kNotAnOption;
    const char letter = arg[1];
    if (letter == '\0') return kBadOption;
    const char* value = arg + 2;
    return arg[0] == '-' ? ApplyDashOption(letter, value) : ApplyPlusOption(letter, value);
}

}  // namespace

int64_t ReadNumber(const char* text, const char** end) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    // The magnitude stops growing at 2^63, which is just enough for INT64_MIN.
    constexpr uint64_t kCap = uint64_t{1} << 63;
    uint64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        magnitude = (magnitude > (kCap - digit) / 10) ? kCap : magnitude * 10 + digit;
    }
    if (end != nullptr) *end = p;
    if (negative)
        return magnitude == kCap ? std::numeric_limits<int64_t>::min()
                                 : -static_cast<int64_t>(magnitude);
    return magnitude >= kCap ? std::numeric_limits<int64_t>::max()
                             : static_cast<int64_t>(magnitude);
}

uint32_t ToUnsigned32(int64_t value) {
    if (value > int64_t{std::numeric_limits<uint32_t>::max()})
        return std::numeric_limits<uint32_t>::max();
    if (value < int64_t{std::numeric_limits<int32_t>::min()})
        return static_cast<uint32_t>(std::numeric_limits<int32_t>::min());
    return static_cast<uint32_t>(value);
}

int32_t ToSigned32(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

int ParseCommandLine(int argc, char** argv) {
    int result = kParsedOk;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        int applied = ApplyArgument(argv[i]);
        if (applied == kBadOption) return kBadOption;
        if (applied == kNotAnOption) result = kNotAnOption;
    }
    return result;
}

void PrintUsage() {
    static const char* const kLines[] = {
        "Ondrel Command Line Options:\n\n",
        "-c<card>      (Card number)\n",
        "-p<port>      (Port number)\n",
        "-m<mode>      (Interface Mode: Sync, Async)\n",
        "-i<interface> (Interface Type: V.24, X.21, V.35, RS530, RS449, RS485-2W, RS485-4W)\n",
        "-n<encoding>  (Encoding Type: NRZ, NRZI, FM0, FM1, MAN, DMAN)\n",
        "-k<clockrate> (Clock Rates: 15..16000000 (device dependent), Int rate, or Ext if -e "
        "specified)\n",
        "-a<bits>      (Async Data Bits: 5, 6, 7, 8)\n",
        "-y<parity>    (Async Parity: NONE, ODD, EVEN, MARK, SPACE)\n",
        "-z<stop>      (Async Stop Bits: (1, 2)\n",
        "-X<flow>      (Async Flow Control: NONE, RTS, XON)\n",
        "-N            (Use NRZIClocking)\n",
        "-e            (Use external clock)\n",
        "-x            (Use invert rx clock)\n",
        "-r            (Use termination)\n",
        "-q<secs>      (Queue Size of data in seconds)\n",
        "-t<testpttrn> (Test pattern to use: "
        "63,511,2047,2^15,2^20,2^23,QRSS,1:7,1/16,2/8,3/24,MK,SP,1:1,FOX,USER)\n",
        "-l<length>    (Length of test data in bits)\n",
        "-L<duration>  (Duration of test in seconds)\n",
        "-S<duration>  (Duration of No-Sync timeout in seconds)\n",
        "-s            (Stop on Error - after 1st sync)\n",
        "-b            (Use Burst Mode)\n",
        "-o<size>      (Max log file size: 0..1000000000)\n",
        "+x<extended>  (Extended Config: any combination of "
        "RxTerminalTiming=1,TxTerminalTiming=2,TIV=8)\n",
        "+v            (Use auto-invert)\n",
        "+S            (Use s/w-based BERT mode)\n",
        "+l            (Enable data logging)\n",
        "+u<filename>  (User Pattern filename)\n",
        "+U<filetype>  (User Pattern filetype: BIN, HEX)\n",
        "+M<type&id>   (Multi-Drop test: +Mm<slave list> or +Ms<slave id>, e.g. +Mm1.4,6,8 or "
        "+Ms7)\n",
        "+q            (Poll Quiet Slaves, Multi-Drop only)\n",
        "+d<datalen>   (Data Length in bytes, Multi-Drop & Round Trip Delay only)\n",
        "+R            (Round Trip Delay test)\n",
        "+r<rxtimeout> (Receive Timeout in ms, Round Trip Delay only)\n",
        "+t<txdelay>   (Transmit Delay in ms, Round Trip Delay only)\n",
        "\n",
        "e.g. ondrel -c2 -mSYNC -iX.21 -k1024000 -t2047 -l2048000\n",
        "\n",
    };
    for (const char* line : kLines) std::fputs(line, stdout);
    std::fflush(stdout);
}

void PrintKeyHelp() {
    std::fputs("r: Reset Stats\n", stdout);
    std::fputs("s: Display Stats\n", stdout);
    std::fputs("x: Exit\n", stdout);
    std::fputs("?: Key Help\n", stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}
