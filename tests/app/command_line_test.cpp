#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"
#include "multidrop/slave_table.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

// Keeps the argument texts alive: text settings point into them.
struct CommandLine {
    explicit CommandLine(std::vector<std::string> args) : texts(std::move(args)) {
        texts.insert(texts.begin(), "ondrel");
        for (std::string& t : texts) argv.push_back(t.data());
        argv.push_back(nullptr);
    }
    int Parse() { return ParseCommandLine(static_cast<int>(texts.size()), argv.data()); }
    std::vector<std::string> texts;
    std::vector<char*> argv;
};

class Parser : public ::testing::Test {
   protected:
    void SetUp() override {
        ResetSettings();
        ResetSlaveTable();
    }
    void TearDown() override { SetUp(); }
    int Parse(std::vector<std::string> args) {
        lines_.push_back(std::make_unique<CommandLine>(std::move(args)));
        return lines_.back()->Parse();
    }
    std::vector<int> PolledSlaves() const {
        std::vector<int> ids;
        for (int id = 0; id < kSlaveTableSize; ++id)
            if (g_aSlaveStats[id].bPoll) ids.push_back(id);
        return ids;
    }
    std::vector<std::unique_ptr<CommandLine>> lines_;
};

TEST_F(Parser, NoArgumentsKeepsEveryDefault) {
    EXPECT_EQ(Parse({}), 1);
    const TestSettings& s = g_Settings;
    EXPECT_EQ(s.uCard, 0u);
    EXPECT_EQ(s.uPort, 0u);
    EXPECT_EQ(s.uMode, MODE_SYNC);
    EXPECT_EQ(s.uInterface, INTERFACE_V24);
    EXPECT_EQ(s.uEncoding, ENCODING_NRZ);
    EXPECT_EQ(s.uClockRate, 19200u);
    EXPECT_EQ(s.uPatternType, PATTERN_2047);
    EXPECT_TRUE(s.bHardwareMode);
    EXPECT_EQ(s.iTestSelect, TEST_TXRX);
    EXPECT_EQ(s.uVerbosity, 2u);
    EXPECT_EQ(s.iMaxLogSize, 1000000);
    EXPECT_EQ(s.uDataLength, 249u);
    EXPECT_EQ(s.uNoSyncTimeoutSecs, 60u);
    EXPECT_EQ(s.iSlaveId, -1);
    EXPECT_EQ(g_dwExtendedConfig.load(), 0u);
}

struct ResultCase {
    std::vector<std::string> args;
    int result;
};

TEST_F(Parser, ResultCodes) {
    const ResultCase cases[] = {
        {{"-c", "2"}, 0},
        {{"foo", "-c3"}, 0},
        {{"-c2", "", "-p1"}, 0},
        {{"-A"}, -1},
        {{"-u"}, -1},
        {{"+s"}, -1},
        {{"+Mx"}, -1},
        {{"+M"}, -1},
        {{"-"}, -1},
        {{"+"}, -1},
        {{"+Mm0"}, -1},
        {{"+Mm248"}, -1},
        {{"+Mm"}, -1},
        {{"+Mm1,"}, -1},
        {{"+Mm1.4,x"}, -1},
        {{"+Mm4294967297"}, -1},
        {{"x", "-A"}, -1},
        {{"-Y"}, -1},
        {{"-Z"}, -1},
        {{"+L"}, -1},
        {{"-c2", "-p1"}, 1},
        {{"+Mm1.4,6,8"}, 1},
        {{"+Ms7"}, 1},
        {{"+Mm7x"}, 1},
    };
    for (const ResultCase& c : cases) {
        SetUp();
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        EXPECT_EQ(Parse(c.args), c.result) << shown;
    }
}

TEST_F(Parser, ValueInASeparateArgumentIsNotTaken) {
    EXPECT_EQ(Parse({"-c", "2"}), 0);
    EXPECT_EQ(g_Settings.uCard, 0u);
}

TEST_F(Parser, NonOptionDoesNotStopParsingButABadOptionDoes) {
    EXPECT_EQ(Parse({"junk", "-c3", "-A", "-p5"}), -1);
    EXPECT_EQ(g_Settings.uCard, 3u);
    EXPECT_EQ(g_Settings.uPort, 0u);
}

TEST_F(Parser, NullEntryEndsTheArguments) {
    CommandLine line({"-c3", "-A"});
    line.argv[2] = nullptr;
    EXPECT_EQ(line.Parse(), 1);
    EXPECT_EQ(g_Settings.uCard, 3u);
}

struct FieldCase {
    std::string arg;
    std::function<int64_t()> field;
    int64_t expected;
};

std::function<int64_t()> U(uint32_t TestSettings::*member) {
    return [member] { return static_cast<int64_t>(g_Settings.*member); };
}
std::function<int64_t()> I(int32_t TestSettings::*member) {
    return [member] { return static_cast<int64_t>(g_Settings.*member); };
}
std::function<int64_t()> B(bool TestSettings::*member) {
    return [member] { return g_Settings.*member ? 1 : 0; };
}

TEST_F(Parser, OptionValues) {
    const int64_t kMax32 = std::numeric_limits<uint32_t>::max();
    const FieldCase cases[] = {
        // Numbers: white space, sign, digits up to the first other character.
        {"-c7", U(&TestSettings::uCard), 7},
        {"-C 7", U(&TestSettings::uCard), 7},
        {"-c+7", U(&TestSettings::uCard), 7},
        {"-c12abc", U(&TestSettings::uCard), 12},
        {"-cabc", U(&TestSettings::uCard), 0},
        {"-c-1", U(&TestSettings::uCard), kMax32},
        {"-P3", U(&TestSettings::uPort), 3},
        {"-k2048000", U(&TestSettings::uClockRate), 2048000},
        {"-K99999999999", U(&TestSettings::uClockRate), kMax32},
        {"-l3000000000", U(&TestSettings::uTestLengthBits), 3000000000},
        {"-L10", U(&TestSettings::uTestDurationSecs), 10},
        {"-L10", B(&TestSettings::bTestDurationGiven), 1},
        {"-Q5", U(&TestSettings::uQueueSecs), 5},
        {"-S30", U(&TestSettings::uNoSyncTimeoutSecs), 30},
        {"-V4", U(&TestSettings::uVerbosity), 4},
        {"-v-1", U(&TestSettings::uVerbosity), kMax32},
        {"-D3", I(&TestSettings::iTestSelect), 3},
        {"-d-3", I(&TestSettings::iTestSelect), -3},
        {"-d99999999999", I(&TestSettings::iTestSelect), std::numeric_limits<int32_t>::max()},
        {"+d31", U(&TestSettings::uDataLength), 31},
        {"+D40", U(&TestSettings::uDataLength), 40},
        {"+t5", U(&TestSettings::uTxDelayMs), 5},
        {"+r250", U(&TestSettings::uRxTimeoutMs), 250},
        {"+Ms-5", I(&TestSettings::iSlaveId), -5},
        // Data bits, compared unsigned.
        {"-a4", U(&TestSettings::uDataBits), 8},
        {"-a9", U(&TestSettings::uDataBits), 8},
        {"-a-1", U(&TestSettings::uDataBits), 8},
        {"-a5", U(&TestSettings::uDataBits), 5},
        {"-a4294967301", U(&TestSettings::uDataBits), 8},
        // Log size.
        {"-o0", I(&TestSettings::iMaxLogSize), 0},
        {"-o-5", I(&TestSettings::iMaxLogSize), 1000000},
        {"-O1000000000", I(&TestSettings::iMaxLogSize), 1000000000},
        {"-o1000000001", I(&TestSettings::iMaxLogSize), 1000000},
        {"-o5000000000", I(&TestSettings::iMaxLogSize), 1000000},
        // Keywords, case-blind except -X.
        {"-tqrss", U(&TestSettings::uPatternType), PATTERN_QRSS},
        {"-T2^23", U(&TestSettings::uPatternType), PATTERN_2_23},
        {"-t1:1", U(&TestSettings::uPatternType), PATTERN_1_1},
        {"-tuser", U(&TestSettings::uPatternType), PATTERN_USER},
        {"-tfoo", U(&TestSettings::uPatternType), PATTERN_2047},
        {"-mfoo", U(&TestSettings::uMode), MODE_SYNC},
        {"-Masync", U(&TestSettings::uMode), MODE_ASYNC},
        {"-ifoo", U(&TestSettings::uInterface), INTERFACE_NONE},
        {"-irs449", U(&TestSettings::uInterface), INTERFACE_RS530},
        {"-IRS485-4W", U(&TestSettings::uInterface), INTERFACE_RS485_4W},
        {"-ix.21", U(&TestSettings::uInterface), INTERFACE_X21},
        {"-nfoo", U(&TestSettings::uEncoding), ENCODING_NRZ},
        {"-ndman", U(&TestSettings::uEncoding), ENCODING_DMAN},
        {"-nNRZI", U(&TestSettings::uEncoding), ENCODING_NRZI},
        {"-Xrts", U(&TestSettings::uFlowControl), FLOW_NONE},
        {"-XRTSCTS", U(&TestSettings::uFlowControl), FLOW_RTS},
        {"-XXONXOFF", U(&TestSettings::uFlowControl), FLOW_XON},
        {"-XRT", U(&TestSettings::uFlowControl), FLOW_NONE},
        {"-yeven", U(&TestSettings::uParity), PARITY_EVEN},
        {"-ySPACE", U(&TestSettings::uParity), PARITY_SPACE},
        {"-ynone", U(&TestSettings::uParity), PARITY_NONE},
        {"-z2", U(&TestSettings::uStopBits), 2},
        {"-z1", U(&TestSettings::uStopBits), 0},
        {"-z22", U(&TestSettings::uStopBits), 0},
        {"+Chex", B(&TestSettings::bCaptureHex), 1},
        {"+Cbin", B(&TestSettings::bCaptureHex), 0},
        {"+UHEX", B(&TestSettings::bUserPatternHex), 1},
        // Switches and their second letters.
        {"-b", B(&TestSettings::bBurstMode), 1},
        {"-B", B(&TestSettings::bBurstMode), 1},
        {"-E", B(&TestSettings::bExternalClock), 1},
        {"-G", B(&TestSettings::bGuiLink), 1},
        {"-N", B(&TestSettings::bNrziClocking), 1},
        {"-R", B(&TestSettings::bTermination), 1},
        {"-s", B(&TestSettings::bStopOnError), 1},
        {"-W", B(&TestSettings::bDebugOutput), 1},
        {"-x", B(&TestSettings::bInvertRxClock), 1},
        {"+l", B(&TestSettings::bDataLogging), 1},
        {"+q", B(&TestSettings::bPollQuietSlaves), 1},
        {"+S", B(&TestSettings::bHardwareMode), 0},
        {"+v", B(&TestSettings::bAutoInvert), 1},
    };
    for (const FieldCase& c : cases) {
        SetUp();
        ASSERT_EQ(Parse({c.arg}), 1) << c.arg;
        EXPECT_EQ(c.field(), c.expected) << c.arg;
    }
}

TEST_F(Parser, ExtendedConfigAndOpenModes) {
    ASSERT_EQ(Parse({"+x9", "+Chex", "+Ubin"}), 1);
    EXPECT_EQ(g_dwExtendedConfig.load(), 9u);
    EXPECT_STREQ(g_Settings.CaptureOpenMode(), "w");
    EXPECT_STREQ(g_Settings.UserPatternOpenMode(), "rb");
}

TEST_F(Parser, FileNamesPointIntoTheArguments) {
    CommandLine line({"+cdata.cap", "+upattern.hex"});
    ASSERT_EQ(line.Parse(), 1);
    EXPECT_EQ(g_Settings.pszCaptureFile, line.argv[1] + 2);
    EXPECT_STREQ(g_Settings.pszUserPatternFile, "pattern.hex");
}

TEST_F(Parser, LaterOptionWins) {
    ASSERT_EQ(Parse({"+R"}), 1);
    EXPECT_TRUE(g_Settings.bRoundTripDelay);
    EXPECT_EQ(g_Settings.iTestSelect, TEST_ECHO);
    SetUp();
    ASSERT_EQ(Parse({"+R", "-d1"}), 1);
    EXPECT_EQ(g_Settings.iTestSelect, TEST_TXRX);
}

TEST_F(Parser, SlaveListSelectsSingleIdsAndRanges) {
    ASSERT_EQ(Parse({"+Mm1.4,6,8"}), 1);
    EXPECT_TRUE(g_Settings.bMultiDrop);
    EXPECT_TRUE(g_Settings.bMultiDropMaster);
    EXPECT_EQ(g_Settings.uSelectedSlaves, 6u);
    EXPECT_EQ(PolledSlaves(), (std::vector<int>{1, 2, 3, 4, 6, 8}));
}

TEST_F(Parser, SlaveListClearsAfterTheBang) {
    ASSERT_EQ(Parse({"+Mm1.10!5"}), 1);
    EXPECT_EQ(g_Settings.uSelectedSlaves, 9u);
    EXPECT_FALSE(g_aSlaveStats[5].bPoll);
    SetUp();
    ASSERT_EQ(Parse({"+Mm1.10!3.5,9"}), 1);
    EXPECT_EQ(PolledSlaves(), (std::vector<int>{1, 2, 6, 7, 8, 10}));
}

TEST_F(Parser, SlaveListEdges) {
    ASSERT_EQ(Parse({"+Mm1,247"}), 1);
    EXPECT_EQ(PolledSlaves(), (std::vector<int>{1, 247}));
    SetUp();
    ASSERT_EQ(Parse({"+Mm 5.2"}), 1);  // a falling range adds nothing
    EXPECT_EQ(PolledSlaves(), (std::vector<int>{5}));
    SetUp();
    ASSERT_EQ(Parse({"+Mm2.4.6"}), 1);  // the closing id opens the next range
    EXPECT_EQ(g_Settings.uSelectedSlaves, 5u);
}

TEST_F(Parser, RepeatedMasterListsAddUpWithoutCountingTwice) {
    ASSERT_EQ(Parse({"+Mm1.3", "+Mm3,5"}), 1);
    EXPECT_EQ(PolledSlaves(), (std::vector<int>{1, 2, 3, 5}));
    EXPECT_EQ(g_Settings.uSelectedSlaves, 4u);
}

TEST_F(Parser, SlaveModeTakesItsId) {
    ASSERT_EQ(Parse({"+Ms7"}), 1);
    EXPECT_TRUE(g_Settings.bMultiDrop);
    EXPECT_FALSE(g_Settings.bMultiDropMaster);
    EXPECT_EQ(g_Settings.iSlaveId, 7);
    EXPECT_EQ(g_Settings.uSelectedSlaves, 0u);
}

TEST_F(Parser, SelectionLinesFollowTheVerbosityInForceAtTheTime) {
    e2e::StdoutCapture before;
    ASSERT_EQ(Parse({"-v3", "+Mm1.4,6,8!7"}), 1);
    EXPECT_EQ(
        before.Stop(),
        "set slaveId 1\nset range from 1 to 4\nset slaveId 6\nset slaveId 8\nclear slaveId 7\n");
    SetUp();
    e2e::StdoutCapture after;
    ASSERT_EQ(Parse({"+Mm1.4,6,8", "-v3"}), 1);
    EXPECT_EQ(after.Stop(), "");
}

TEST(ReadNumber, SaturatesBeyondSixtyFourBits) {
    EXPECT_EQ(ReadNumber("99999999999999999999999"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(ReadNumber("-99999999999999999999999"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(ReadNumber("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(ReadNumber("9223372036854775807"), std::numeric_limits<int64_t>::max());
    const char* end = nullptr;
    EXPECT_EQ(ReadNumber(" \t-42,7", &end), -42);
    EXPECT_STREQ(end, ",7");
}

TEST(ReadNumber, ThirtyTwoBitConversions) {
    EXPECT_EQ(ToUnsigned32(-1), 4294967295u);
    EXPECT_EQ(ToUnsigned32(4294967296), 4294967295u);
    EXPECT_EQ(ToUnsigned32(-3000000000), 2147483648u);
    EXPECT_EQ(ToSigned32(3000000000), 2147483647);
    EXPECT_EQ(ToSigned32(-3000000000), -2147483647 - 1);
}

TEST(Usage, IsPrintedWhateverTheVerbosity) {
    ResetSettings();
    g_Settings.uVerbosity = 0;
    e2e::StdoutCapture capture;
    PrintUsage();
    PrintKeyHelp();
    std::string out = capture.Stop();
    ResetSettings();
    EXPECT_EQ(out.rfind("Ondrel Command Line Options:\n\n-c<card>      (Card number)\n", 0), 0u);
    EXPECT_NE(out.find("\ne.g. ondrel -c2 -mSYNC -iX.21 -k1024000 -t2047 -l2048000\n\n"),
              std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 39 + 5);
    const std::string keyHelp = "r: Reset Stats\ns: Display Stats\nx: Exit\n?: Key Help\n\n";
    EXPECT_EQ(out.substr(out.size() - keyHelp.size()), keyHelp);
}

}  // namespace
