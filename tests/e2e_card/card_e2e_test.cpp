// The port set-up seen from outside: the real binary against simulated cards,
// with the records it writes (as dumped back), the ways a port is refused,
// how the driver key numbers the cards, what a removed card does to a running
// test, and a simulator configuration that cannot be used.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

constexpr int kRunTimeoutMs = 20000;

const std::vector<std::string> kPortDumpLabels = {"ZvPortConfig.uVersion",
                                                  "ZvPortConfig.uPortTxNumBuffers",
                                                  "ZvPortConfig.uPortRxNumBuffers",
                                                  "ZvPortConfig.uPortTxBufferLength",
                                                  "ZvPortConfig.uPortRxBufferLength",
                                                  "ZvPortConfig.uPortTxDMA",
                                                  "ZvPortConfig.uPortRxDMA",
                                                  "ZvPortConfig.uPortStartTxRx",
                                                  "ZvPortConfig.uPortClockSource",
                                                  "ZvPortConfig.uPortTxMSB",
                                                  "ZvPortConfig.uPortRxMSB"};

const std::vector<std::string> kSerialDumpLabels = {"ZvSerialConfig.uVersion",
                                                    "ZvSerialConfig.uPortInterface",
                                                    "ZvSerialConfig.uPortRate",
                                                    "ZvSerialConfig.uPortClocking",
                                                    "ZvSerialConfig.uPortTransparentMode",
                                                    "ZvSerialConfig.uPortInvertRxClock",
                                                    "ZvSerialConfig.uPortEncoding"};

// The value of a record dump line "label<padding>= value"; -1 when absent.
long DumpValue(const RunResult& r, const std::string& label) {
    for (const std::string& line : r.Lines()) {
        if (line.rfind(label, 0) != 0) continue;
        const size_t at = line.find_first_not_of(' ', label.size());
        if (at == std::string::npos || line.compare(at, 2, "= ") != 0) continue;
        return std::strtol(line.c_str() + at + 2, nullptr, 10);
    }
    return -1;
}

// The number after text in the first line that holds it; -1 when none does.
long ValueAfter(const RunResult& r, const std::string& text) {
    for (const std::string& line : r.Lines()) {
        const size_t at = line.find(text);
        if (at != std::string::npos)
            return std::strtol(line.c_str() + at + text.size(), nullptr, 10);
    }
    return -1;
}

// Line number of the time-stamped event line whose message is text; -1 when none.
int EventLine(const RunResult& r, const std::string& text) {
    const std::vector<std::string> lines = r.Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t stamp = e2e::EventStampLength(lines[i]);
        if (stamp > 0 && lines[i].compare(stamp, std::string::npos, text) == 0) return int(i);
    }
    return -1;
}

bool HasLineStartingWith(const RunResult& r, const std::string& start) {
    for (const std::string& line : r.Lines())
        if (line.rfind(start, 0) == 0) return true;
    return false;
}

// The labels of a record dump come one per line in their order, then a blank line.
void ExpectDumpBlock(const RunResult& r, const std::vector<std::string>& labels) {
    const std::vector<std::string> lines = r.Lines();
    size_t first = 0;
    while (first < lines.size() && lines[first].rfind(labels[0] + " ", 0) != 0) ++first;
    ASSERT_LT(first + labels.size(), lines.size()) << "no dump of " << labels[0] << "\n" << r.out;
    for (size_t i = 0; i < labels.size(); ++i)
        EXPECT_EQ(lines[first + i].rfind(labels[i] + " ", 0), 0u) << lines[first + i];
    EXPECT_EQ(lines[first + labels.size()], "");
}

class CardE2e : public ::testing::Test {
   protected:
    // Keys on stdin, a private home and log folder, and the simulator as
    // configured by toml (the default cards when empty).
    e2e::RunOptions Options(const std::string& toml = "", const std::string& keys = "") {
        e2e::RunOptions options;
        options.stdinText = keys;
        options.setEnv = {{"HOME", home_.path()}, {"ZVBERTLOGPATH", home_.path()}};
        if (toml.empty()) {
            options.unsetEnv = {"ONDREL_SIM_CONFIG"};
        } else {
            options.setEnv.emplace_back("ONDREL_SIM_CONFIG", WriteConfig(toml));
        }
        options.timeoutMs = kRunTimeoutMs;
        return options;
    }
    std::string WriteConfig(const std::string& toml) {
        const std::string path = home_.File("sim.toml");
        e2e::WriteFile(path, toml);
        return path;
    }
    RunResult Run(const std::vector<std::string>& args, const std::string& toml = "",
                  const std::string& keys = "") {
        return Checked(e2e::RunOndrel(args, Options(toml, keys)));
    }
    // Opens the port without test threads; the typed x ends the run at once.
    RunResult OpenOnly(std::vector<std::string> args, const std::string& toml = "") {
        for (const char* more : {"+S", "-d0", "+l", "-v4"}) args.push_back(more);
        return Run(args, toml, "x");
    }
    // The program writes nothing to stderr; a sanitizer's report lands there.
    static RunResult Checked(RunResult r) {
        EXPECT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.err, "");
        return r;
    }

    static void ExpectPortOpened(const RunResult& r) {
        EXPECT_TRUE(r.HasLine("Starting tx/rx threads 0")) << r.out;
        EXPECT_FALSE(r.Contains("Error Opening Port")) << r.out;
        EXPECT_FALSE(r.HasEvent("ERROR: Unable to use the selected port")) << r.out;
        EXPECT_TRUE(r.HasLine("dwStatus=0x0")) << r.out;
        // A run without a checker reads as clean; a test stopped by x before
        // its first sync never found the pattern.
        EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 8) << r.exitCode;
    }

    // The failure report (data logging on, -v4): both error events in order,
    // the status, no test, and the exit code of a failed set-up.
    static void ExpectPortRefused(const RunResult& r, const std::string& reason,
                                  const std::string& status) {
        const int unable = EventLine(r, "ERROR: Unable to use the selected port");
        const int why = EventLine(r, "ERROR: " + reason);
        EXPECT_GE(unable, 0) << r.out;
        EXPECT_EQ(why, unable + 1) << r.out;
        EXPECT_TRUE(r.HasLine("dwStatus=" + status)) << r.out;
        EXPECT_FALSE(r.Contains("Starting tx/rx threads")) << r.out;
        EXPECT_FALSE(r.Contains(" Starting Tx thread"));
        EXPECT_FALSE(r.Contains(" Starting hardware BERT rx thread"));
        EXPECT_TRUE(r.HasEvent("Test completed")) << r.out;
        EXPECT_EQ(r.exitCode, 3);
    }

    static void ExpectOpenFailed(const RunResult& r) {
        EXPECT_TRUE(HasLineStartingWith(r, "Error Opening Port : ")) << r.out;
        ExpectPortRefused(r, "Failed to open port", "0x4");
    }

    e2e::TempDir home_;
};

// ---- the opened port and its records -----------------------------------------

TEST_F(CardE2e, OpenedPortDumpsBothRecordsAndWaitsForTheKeyX) {
    e2e::ChildProcess child(ONDREL_BINARY, {"-c0", "-p0", "+S", "-d0", "-v3"}, Options());
    ASSERT_TRUE(child.WaitForOutput("Starting tx/rx threads 0\n", 10000)) << child.Output();
    // No thread runs and nothing ends the test but a key; a capital X is not
    // one. The key help typed after each shows the key loop got that far and
    // still runs.
    auto helps = [](const std::string& out) {
        size_t count = 0;
        for (size_t at = 0; (at = out.find("?: Key Help", at)) != std::string::npos; ++at) ++count;
        return count;
    };
    for (const std::string keys : {"?", "X?"}) {
        const size_t before = helps(child.Output());
        child.Type(keys);
        ASSERT_TRUE(child.WaitForOutputThat(
            [&](const std::string& out) { return helps(out) > before; }, 5000))
            << child.Output();
        EXPECT_EQ(child.Output().find("iRet="), std::string::npos) << keys << child.Output();
    }
    child.Type("x");
    RunResult r = Checked(child.Finish(10000));
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.HasLine("iRet=1"));

    EXPECT_TRUE(r.HasLine("ZvSerialConfig.uVersion=5")) << r.out;
    ExpectDumpBlock(r, kPortDumpLabels);
    ExpectDumpBlock(r, kSerialDumpLabels);
    for (const char* line :
         {"ZvPortConfig.uVersion            = 4", "ZvPortConfig.uPortTxNumBuffers   = 8",
          "ZvPortConfig.uPortRxNumBuffers   = 8", "ZvPortConfig.uPortTxMSB          = 1",
          "ZvPortConfig.uPortRxMSB          = 1", "ZvSerialConfig.uVersion             = 3",
          "ZvSerialConfig.uPortInterface       = 1", "ZvSerialConfig.uPortRate            = 19200",
          "ZvSerialConfig.uPortClocking        = 1", "ZvSerialConfig.uPortTransparentMode = 1",
          "ZvSerialConfig.uPortInvertRxClock   = 0", "ZvSerialConfig.uPortEncoding        = 128",
          "Output Signals: "})
        EXPECT_TRUE(r.HasLine(line)) << line;
    // The buffers written are the ones sized for the queue.
    const long sized = ValueAfter(r, " BufferLength=");
    EXPECT_GT(sized, 0) << r.out;
    EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortTxBufferLength"), sized);
    EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortRxBufferLength"), sized);
}

TEST_F(CardE2e, DumpsShowTheLineSettingsAsWritten) {
    {
        SCOPED_TRACE("X.21, NRZI, inverted receive clock, 64 kbit/s on port 1");
        RunResult r = OpenOnly({"-p1", "-iX.21", "-nNRZI", "-x", "-r", "-k64000"});
        ExpectPortOpened(r);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortInterface"), 2) << r.out;
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortRate"), 64000);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortClocking"), 1);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortInvertRxClock"), 1);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortEncoding"), 0xA0);
    }
    {
        SCOPED_TRACE("external clock");
        RunResult r = OpenOnly({"-e"});
        ExpectPortOpened(r);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortClocking"), 0) << r.out;
    }
    {
        SCOPED_TRACE("asynchronous FOX text goes least significant bit first");
        RunResult r = OpenOnly({"-mASYNC", "-tFOX"});
        ExpectPortOpened(r);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortTransparentMode"), 3) << r.out;
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortClocking"), 0);
        EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortTxMSB"), 0);
        EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortRxMSB"), 0);
    }
    {
        SCOPED_TRACE("asynchronous PRBS stays most significant bit first");
        RunResult r = OpenOnly({"-mASYNC"});
        ExpectPortOpened(r);
        EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortTxMSB"), 1) << r.out;
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortClocking"), 0);
    }
    {
        SCOPED_TRACE("hardware mode");
        RunResult r = Run({"-v3"}, "", "x");
        EXPECT_TRUE(r.Contains(" Starting hardware BERT rx thread")) << r.out;
        EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortTxMSB"), 0) << r.out;
        EXPECT_EQ(DumpValue(r, "ZvPortConfig.uPortRxMSB"), 0);
    }
}

TEST_F(CardE2e, ExtendedBit0x20LeavesTheClockToTheLineAndTerminalTimingDoesNot) {
    // The timing words themselves are not dumped; the clocking word is.
    RunResult both = OpenOnly({"+x3"});
    ExpectPortOpened(both);
    EXPECT_EQ(DumpValue(both, "ZvSerialConfig.uPortClocking"), 1) << both.out;

    RunResult line = OpenOnly({"+x32"});
    ExpectPortOpened(line);
    EXPECT_EQ(DumpValue(line, "ZvSerialConfig.uPortClocking"), 0) << line.out;
    EXPECT_EQ(DumpValue(line, "ZvSerialConfig.uPortRate"), 19200);
}

TEST_F(CardE2e, SerialRecordFallsBackToVersionThree) {
    RunResult r = OpenOnly({}, "[[card]]\nserial_config_v5 = false\n");
    ExpectPortOpened(r);
    EXPECT_TRUE(r.HasLine("ZvSerialConfig.uVersion=3")) << r.out;
    EXPECT_FALSE(r.HasLine("ZvSerialConfig.uVersion=5"));
    EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortRate"), 19200);
}

// ---- ports that cannot be used ------------------------------------------------

TEST_F(CardE2e, CardOrPortThatDoesNotExistIsAFailedOpen) {
    const std::vector<std::vector<std::string>> cases = {
        {"-c7"}, {"-c0", "-p2"}, {"-c0", "-p-1"}, {"-c1", "-p4"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
        ExpectOpenFailed(OpenOnly(args));
    }
}

// Without data logging the failure report is printed plainly, once.
TEST_F(CardE2e, FailureReportIsShownWithoutDataLoggingToo) {
    RunResult r = Run({"-c7", "+S", "-v4"});
    EXPECT_TRUE(HasLineStartingWith(r, "Error Opening Port : ")) << r.out;
    EXPECT_TRUE(r.HasLine("ERROR: Unable to use the selected port")) << r.out;
    EXPECT_TRUE(r.HasLine("ERROR: Failed to open port")) << r.out;
    EXPECT_EQ(r.Count("ERROR: Unable to use the selected port"), 1);
    EXPECT_FALSE(r.Contains("Test completed"));
    EXPECT_TRUE(r.HasLine("dwStatus=0x4"));
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(CardE2e, DriverTextOfARefusedOpenIsShown) {
    RunResult r =
        OpenOnly({}, "[[card]]\n[[card.fault]]\nrequest = \"open\"\nerror = 0xE0000004\n");
    EXPECT_TRUE(r.HasLine("Error Opening Port :  \"Card not Started\" (0xe0000004)")) << r.out;
    ExpectPortRefused(r, "Failed to open port", "0x4");
}

TEST_F(CardE2e, AsyncModeNeedsAVantleCard) {
    for (const bool software : {true, false}) {
        SCOPED_TRACE(software ? "+S" : "hardware mode asked");
        std::vector<std::string> args = {"-c1", "-mASYNC", "+l", "-v4"};
        if (software) args.push_back("+S");
        RunResult r = Run(args);
        ExpectPortRefused(r, "Unsupported Mode", "0x7");
        EXPECT_FALSE(r.Contains("Error Opening Port"));
        // Hardware mode was left before the port, so there is no second try.
        EXPECT_FALSE(r.Contains("WARNING: Switching to Software Mode"));
        EXPECT_EQ(r.Count("ERROR: Unsupported Mode"), 1);
    }
}

// ---- cards without the BERT engine ---------------------------------------------

TEST_F(CardE2e, RevisionBelow0x300RunsTheTestInSoftwareMode) {
    RunResult r = Run({"-L1", "+l", "-v4"}, "[[card]]\nrevision = 0x2FF\n");
    EXPECT_EQ(r.Count("WARNING: Switching to Software Mode"), 1) << r.out;
    EXPECT_GE(EventLine(r, "WARNING: Switching to Software Mode"), 0);
    EXPECT_LT(EventLine(r, "WARNING: Switching to Software Mode"), EventLine(r, "In sync"));
    EXPECT_FALSE(r.Contains("ERROR: Unable to use the selected port"));
    EXPECT_FALSE(r.Contains("Starting hardware BERT rx thread"));
    EXPECT_TRUE(r.Contains(" Starting KVIO thread"));
    EXPECT_TRUE(r.HasLine("Stop on Time 1"));
    EXPECT_EQ(r.LastValue("BitErr="), 0);
    EXPECT_TRUE(r.HasLine("dwStatus=0x0"));
    EXPECT_EQ(r.exitCode, 1);

    // Revision 0x300 is the first with the engine.
    RunResult engine = Run({"+l", "-v4"}, "[[card]]\nrevision = 0x300\n", "x");
    EXPECT_TRUE(engine.Contains(" Starting hardware BERT rx thread")) << engine.out;
    EXPECT_FALSE(engine.Contains("Switching to Software Mode"));
}

TEST_F(CardE2e, FirstGenerationVantleWarnsOnceItRunsInSoftware) {
    RunResult v1 = Run({"-d0", "+l", "-v4"}, "[[card]]\nbert = 0\ngeneration = 2\n", "x");
    const int switching = EventLine(v1, "WARNING: Switching to Software Mode");
    EXPECT_GE(switching, 0) << v1.out;
    EXPECT_GT(EventLine(v1, "WARNING: Vantle is a V1 device"), switching);
    EXPECT_TRUE(v1.HasLine("Starting tx/rx threads 0"));

    RunResult later = Run({"-d0", "+l", "-v4"}, "[[card]]\nbert = 0\ngeneration = 3\n", "x");
    EXPECT_TRUE(later.HasEvent("WARNING: Switching to Software Mode")) << later.out;
    EXPECT_FALSE(later.Contains("V1 device"));
    EXPECT_TRUE(later.HasLine("Starting tx/rx threads 0"));

    RunResult other = Run({"-c1", "-d0", "+l", "-v4"}, "", "x");
    EXPECT_TRUE(other.HasEvent("WARNING: Switching to Software Mode")) << other.out;
    EXPECT_FALSE(other.Contains("V1 device"));
    ExpectPortOpened(other);
}

// ---- the Vantle software-mode rate -----------------------------------------------

TEST_F(CardE2e, VantleInSoftwareModeRunsUpToTwoMegabits) {
    RunResult top = Run({"+S", "-k2048000", "-L1", "+l", "-v4"});
    EXPECT_FALSE(top.Contains("max rate")) << top.out;
    EXPECT_TRUE(top.HasEvent("In sync")) << top.out;
    EXPECT_TRUE(top.HasLine("Stop on Time 1"));
    EXPECT_TRUE(top.HasLine("dwStatus=0x0"));
    EXPECT_EQ(top.exitCode, 1);

    RunResult above = Run({"+S", "-k2048001", "-L1", "+l", "-v4"});
    const int limit = EventLine(above, "ERROR: Zorvan Vantle max rate in Software Mode is 2Mbps");
    EXPECT_GE(limit, 0) << above.out;
    EXPECT_LT(limit, EventLine(above, "ERROR: Unable to use the selected port"));
    ExpectPortRefused(above, "Unsupported Rate", "0x6");
}

TEST_F(CardE2e, RateLimitHoldsOnlyForVantleSoftwareTests) {
    {
        SCOPED_TRACE("another model in software mode");
        RunResult r = OpenOnly({"-c1", "-k4096000"});
        ExpectPortOpened(r);
        EXPECT_EQ(DumpValue(r, "ZvSerialConfig.uPortRate"), 4096000);
    }
    {
        SCOPED_TRACE("the card's BERT engine");
        RunResult r = Run({"-k2048001", "+l", "-v4"}, "", "x");
        ExpectPortOpened(r);
        EXPECT_TRUE(r.Contains(" Starting hardware BERT rx thread"));
    }
    {
        SCOPED_TRACE("round-trip delay test");
        RunResult r = Run({"+R", "+d31", "-k4096000", "+l", "-v4"}, "", "x");
        EXPECT_FALSE(r.Contains("max rate")) << r.out;
        EXPECT_FALSE(r.Contains("ERROR: Unable to use the selected port"));
        EXPECT_TRUE(r.HasLine("Starting tx/rx threads 0"));
    }
}

// ---- discovery: what the driver key says -----------------------------------------

TEST_F(CardE2e, CardsAreNumberedAndPortedByTheirDriverKey) {
    const std::string toml =
        "[[card]]\n[card.registry]\nPorts = 2\nDeviceName = \"ZVCD2\"\n"
        "[[card]]\n[card.registry]\nPorts = 2\nDeviceName = \"ZVCD10\"\n"
        "[[card]]\n[card.registry]\nPorts = 2\nDeviceName = \"ZVCD99\"\nMiniportInstance = \"7\"\n"
        "[[card]]\n[card.registry]\nDeviceName = \"ZVCD4\"\n"
        "[[card]]\n[card.registry]\nPorts = 2\nDeviceName = \"ZVCD5\"\n"
        "NetCfgInstanceId = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";
    const std::vector<std::vector<std::string>> opened = {
        {"-c10"}, {"-c2"}, {"-c10", "-p1"}, {"-c7"}, {"-c5", "-p0"}};
    const std::vector<std::vector<std::string>> refused = {
        {"-c3"}, {"-c0"}, {"-c99"}, {"-c4", "-p0"}, {"-c5", "-p1"}};
    for (const auto& args : opened) {
        SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
        ExpectPortOpened(OpenOnly(args, toml));
    }
    for (const auto& args : refused) {
        SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
        ExpectOpenFailed(OpenOnly(args, toml));
    }
}

TEST_F(CardE2e, FirstCardInDeviceNameOrderOwnsASharedNumber) {
    // Both cards are number 3; "ZVCD10" sorts before "ZVCD2" although it
    // arrives second, so its port count decides whether port 1 exists.
    auto config = [](int portsOf2, int portsOf10) {
        return "[[card]]\n[card.registry]\nPorts = " + std::to_string(portsOf2) +
               "\nDeviceName = \"ZVCD2\"\nMiniportInstance = \"3\"\n"
               "[[card]]\n[card.registry]\nPorts = " +
               std::to_string(portsOf10) + "\nDeviceName = \"ZVCD10\"\nMiniportInstance = \"3\"\n";
    };
    ExpectPortOpened(OpenOnly({"-c3", "-p1"}, config(1, 2)));
    ExpectOpenFailed(OpenOnly({"-c3", "-p1"}, config(2, 1)));
}

// ---- card removal ------------------------------------------------------------------

TEST_F(CardE2e, RemovedCardEndsTheTestAsTheKeyXWould) {
    const std::string toml = "[[card]]\nremove_after_ms = 1500\n";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* lastThreadLine;
    };
    const std::vector<Case> cases = {
        {"software", {"+S", "-L10", "+l", "-v4"}, "KVIOEventThread exit"},
        {"hardware", {"-L10", "+l", "-v4"}, "HardwareBERTRxThread exit"},
        {"no threads", {"+S", "-d0", "+l", "-v4"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        // No key is typed and stdin ends at once: only the removal can end the run.
        RunResult r = Run(c.args, toml);
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(seconds.count(), e2e::ScaledSeconds(6.0)) << r.out;
        // A removed card is not a clean line: its own status and exit code.
        EXPECT_EQ(r.exitCode, 4) << r.out;
        EXPECT_EQ(r.Count("ERROR: The card was removed during the test\n"), 1) << r.out;
        EXPECT_TRUE(r.HasLine("Starting tx/rx threads 0"));
        EXPECT_FALSE(r.Contains("Stop on Time"));
        EXPECT_TRUE(r.HasLine("dwStatus=0x9"));
        EXPECT_TRUE(r.HasEvent("Test completed"));
        if (c.lastThreadLine != nullptr) {
            EXPECT_TRUE(r.HasLine(c.lastThreadLine));
            EXPECT_TRUE(r.HasEvent("In sync"));
            const double duration = r.LastValue("Duration(s)=");
            EXPECT_GT(duration, 0.5) << r.out;
            EXPECT_LT(duration, e2e::ScaledSeconds(3.0)) << r.out;
            EXPECT_EQ(r.LastValue("BitErr="), 0);
        }
    }
}

// ---- the simulator's own configuration -----------------------------------------------

TEST_F(CardE2e, UnusableSimulatorConfigurationStopsBeforeAnyTest) {
    struct Case {
        const char* toml;
        const char* problem;
    };
    const std::vector<Case> cases = {
        {"[[card]\nmodel = 7\n", ", line 1"},
        {"[[card]]\nmodle = 7\n", ": card[0].modle: unknown key"},
        {"colour = 1\n", ": colour: unknown key"},
        {"[[card]]\n[card.registry]\nPort = 2\n",
         ": card[0].registry.Port: unknown registry value"},
        {"tick_ms = 0\n", ": tick_ms: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.toml);
        const std::string path = WriteConfig(c.toml);
        e2e::RunOptions options = Options();
        options.unsetEnv.clear();
        options.setEnv.emplace_back("ONDREL_SIM_CONFIG", path);
        RunResult r = Checked(e2e::RunOndrel({"+S", "-L1", "+l", "-v4"}, options));
        EXPECT_EQ(r.exitCode, 2) << r.out;
        const std::string named = "ERROR: Card configuration " + path + c.problem;
        EXPECT_TRUE(HasLineStartingWith(r, named)) << named << "\n" << r.out;
        EXPECT_EQ(r.Count("ERROR: "), 1);
        EXPECT_FALSE(r.Contains("Test Started"));
        EXPECT_FALSE(r.Contains("Starting tx/rx threads"));
        EXPECT_FALSE(r.Contains("Error Opening Port"));
        EXPECT_FALSE(r.Contains("Test completed"));
    }
}

}  // namespace
