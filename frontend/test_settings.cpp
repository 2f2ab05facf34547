#include "frontend/test_settings.h"

#include <map>

#include "app/command_line.h"
#include "core/settings.h"
#include "multidrop/slave_table.h"

namespace {

const std::map<uint32_t, const char*> kPatternNames = {
    {PATTERN_63, "2^6-1 (63)"},
    {PATTERN_511, "2^9-1 (511)"},
    {PATTERN_2047, "2^11-1 (2047)"},
    {PATTERN_2_15, "2^15-1"},
    {PATTERN_2_20, "2^20-1"},
    {PATTERN_2_23, "2^23-1"},
    {PATTERN_QRSS, "QRSS"},
    {PATTERN_1_7, "1:7"},
    {PATTERN_1_16, "1/16"},
    {PATTERN_2_8, "2/8"},
    {PATTERN_3_24, "3/24"},
    {PATTERN_1_1, "1:1 (alternating)"},
    {PATTERN_FOX, "FOX text"},
    {PATTERN_MK, "all ones (mark)"},
    {PATTERN_SP, "all zeros (space)"},
    {PATTERN_USER, "user pattern"},
};

const std::map<uint32_t, const char*> kInterfaceNames = {
    {INTERFACE_V24, "V.24"},
    {INTERFACE_X21, "X.21"},
    {INTERFACE_V35, "V.35"},
    {INTERFACE_RS530, "RS530"},
    {INTERFACE_RS485_2W, "RS485 two-wire"},
    {INTERFACE_RS485_4W, "RS485 four-wire"},
    {INTERFACE_NONE, "none"},
};

const std::map<uint32_t, const char*> kEncodingNames = {
    {ENCODING_NRZ, "NRZ"}, {ENCODING_NRZI, "NRZI"},      {ENCODING_FM0, "FM0"},
    {ENCODING_FM1, "FM1"}, {ENCODING_MAN, "Manchester"}, {ENCODING_DMAN, "differential Manchester"},
};

template <class Map>
std::string NameOr(const Map& names, uint32_t value) {
    const auto found = names.find(value);
    return found == names.end() ? "code " + std::to_string(value) : found->second;
}

std::string TestWords(const TestSettings& s) {
    if (s.bRoundTripDelay) return "round-trip delay";
    if (s.bMultiDropMaster) return "multi-drop master";
    if (s.bMultiDrop || s.iSlaveId >= 0) return "multi-drop slave " + std::to_string(s.iSlaveId);
    switch (s.iTestSelect) {
        case TEST_TX:
            return "transmit only";
        case TEST_RX:
            return "receive only";
        case TEST_ECHO:
            return "echo";
        default:
            return "transmit and receive";
    }
}

std::string ClockingWords(const TestSettings& s) {
    std::string words = s.bExternalClock ? "external clock" : "internal clock";
    if (s.bNrziClocking) words += ", NRZI clocking";
    if (s.bInvertRxClock) words += ", receive clock inverted";
    return words;
}

}  // namespace

SettingWords DescribeSettings(const std::vector<std::string>& ondrelArgs) {
    std::vector<std::string> args = {"ondrel"};
    args.insert(args.end(), ondrelArgs.begin(), ondrelArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ResetSettings();
    for (SlaveStats& slave : g_aSlaveStats) slave.bPoll = false;
    const bool accepted = ParseCommandLine(static_cast<int>(args.size()), argv.data()) >= 0;
    const TestSettings s = g_Settings;
    ResetSettings();
    if (!accepted) return {{"problem", "ondrel will refuse this command line"}};
    SettingWords w;
    w.push_back({"test", TestWords(s)});
    w.push_back({"mode", s.bHardwareMode ? "card engine" : "software"});
    w.push_back({"card", std::to_string(s.uCard)});
    w.push_back({"port", std::to_string(s.uPort)});
    w.push_back({"rate", std::to_string(s.uClockRate)});
    if (!s.bRoundTripDelay) w.push_back({"pattern", NameOr(kPatternNames, s.uPatternType)});
    w.push_back({"interface", NameOr(kInterfaceNames, s.uInterface)});
    w.push_back({"line", std::string(s.uMode == MODE_ASYNC ? "asynchronous" : "synchronous") +
                             ", " + NameOr(kEncodingNames, s.uEncoding)});
    w.push_back({"clocking", ClockingWords(s)});
    if (s.bMultiDropMaster) {
        std::string ids;
        for (int id = kFirstSlaveId; id <= kLastSlaveId; ++id)
            if (g_aSlaveStats[id].bPoll) ids += (ids.empty() ? "" : ",") + std::to_string(id);
        w.push_back({"slaves", ids});
    }
    if (s.uTestDurationSecs > 0) w.push_back({"plannedSecs", std::to_string(s.uTestDurationSecs)});
    if (s.uTestLengthBits > 0) w.push_back({"plannedBits", std::to_string(s.uTestLengthBits)});
    if (!s.bRoundTripDelay) w.push_back({"noSyncSecs", std::to_string(s.uNoSyncTimeoutSecs)});
    if (s.bStopOnError) w.push_back({"stopOnError", "yes"});
    return w;
}
