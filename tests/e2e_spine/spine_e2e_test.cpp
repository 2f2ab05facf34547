// Runs of the real binary: command line, settings checks, announcements,
// verbosity and exit codes.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

const char* const kUsageHead = "Ondrel Command Line Options:";

class Spine : public ::testing::Test {
   protected:
    // A private home and log folder; keys on stdin end any test that starts.
    RunResult Run(const std::vector<std::string>& args, const std::string& keys = "x") {
        RunResult r = e2e::RunOndrel(args, Options(keys));
        ExpectCleanStderr(r);
        return r;
    }
    // A sanitizer build reports there; the exit code alone may not show it.
    static void ExpectCleanStderr(const RunResult& r) {
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    }
    e2e::RunOptions Options(const std::string& keys = "x") const {
        e2e::RunOptions options;
        options.stdinText = keys;
        options.setEnv = {{"HOME", home_.path()}, {"ZVBERTLOGPATH", logs_.path()}};
        options.unsetEnv = {"ONDREL_SIM_CONFIG", "ONDREL_CARD_CONFIG"};
        options.timeoutMs = 30000;
        return options;
    }
    static bool HasEvent(const RunResult& r, const std::string& text) { return r.HasEvent(text); }
    e2e::TempDir home_;
    e2e::TempDir logs_;
};

TEST_F(Spine, UnknownOptionPrintsTheUsageAndEndsWithMinusOne) {
    RunResult r = Run({"-v4", "+l", "-A"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(r.HasLine(kUsageHead));
    EXPECT_TRUE(r.HasLine("dwStatus=0x1"));
    EXPECT_FALSE(r.Contains("Test completed"));
}

TEST_F(Spine, NonOptionArgumentPrintsTheUsageAndEndsWithZero) {
    RunResult r = Run({"-c", "2"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.HasLine("Command-line Params: -c 2 "));
    EXPECT_TRUE(r.HasLine(kUsageHead));
}

TEST_F(Spine, VersionAndEchoLinesComeFirst) {
    RunResult r = Run({"-v3", "+l", "-c2", "-A"});
    std::vector<std::string> lines = r.Lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "Ondrel Version 4.0.2.5");
    EXPECT_EQ(lines[2], std::string("App=") + ONDREL_BINARY);
    EXPECT_EQ(lines[3], "Command-line Params: -v3 +l -c2 -A ");
    EXPECT_EQ(lines[4], "");  // the data-logging line end
    EXPECT_EQ(lines[5], kUsageHead);
}

TEST_F(Spine, Rs485NeedsAnEncodingOtherThanNrz) {
    RunResult plain = Run({"-iRS485-2W"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_TRUE(plain.HasLine("Invalid interface/encoding combination"));
    EXPECT_FALSE(plain.Contains("Auto Invert"));
    EXPECT_TRUE(plain.HasLine(kUsageHead));

    RunResult autoInvert = Run({"-iRS485-4W", "+v"});
    EXPECT_EQ(autoInvert.exitCode, 0);
    EXPECT_TRUE(autoInvert.HasLine("Invalid interface/encoding combination"));
    EXPECT_TRUE(autoInvert.HasLine("RS485, Auto Invert can only be used with MAN encoding"));
}

TEST_F(Spine, Rs485InAsyncModeIsAccepted) {
    RunResult r = Run({"-iRS485-4W", "-mASYNC"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_FALSE(r.Contains("RS485, Auto Invert"));
    EXPECT_FALSE(r.Contains("Invalid interface"));
    EXPECT_FALSE(r.HasLine(kUsageHead));
}

TEST_F(Spine, UserPatternNeedsSoftwareModeAndAFile) {
    RunResult r = Run({"-tUSER"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.HasLine("User Patterns can only be used in Software mode"));
    EXPECT_TRUE(r.HasLine("User Test Pattern, unknown filename"));
    EXPECT_TRUE(r.HasLine(kUsageHead));

    const std::string missing = logs_.File("no-such.pat");
    RunResult s = Run({"-tUSER", "+S", "+u" + missing});
    EXPECT_EQ(s.exitCode, 0);
    EXPECT_FALSE(s.Contains("Software mode"));
    EXPECT_TRUE(s.HasLine("User Test Pattern, couldn't open filename " + missing));
}

TEST_F(Spine, RoundTripPayloadAboveThirtyOneIsRefusedWithoutUsage) {
    RunResult r = Run({"+R", "+l"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(HasEvent(r, "Error: Number of packets (249) exceeds maximum")) << r.out;
    EXPECT_FALSE(r.HasLine(kUsageHead));
    EXPECT_TRUE(HasEvent(r, "Test completed"));
    std::string file = e2e::ReadFile(logs_.File("zvbert0.0.log"));
    EXPECT_NE(file.find(": Error: Number of packets (249) exceeds maximum\n"), std::string::npos)
        << file;
}

TEST_F(Spine, RoundTripPayloadOfThirtyOneStartsTheTest) {
    RunResult r = Run({"+R", "+d31", "-e", "+t5", "+l"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_FALSE(r.Contains("exceeds maximum"));
    EXPECT_TRUE(HasEvent(r, "Round Trip Delay Test Started")) << r.out;
    EXPECT_TRUE(
        HasEvent(r, "Rate 19200[EXT] Payload Length 31, Transmit Delay 5, Receive Timeout 0"))
        << r.out;
}

TEST_F(Spine, TestParameterLinesNeedDataLogging) {
    RunResult quiet = Run({"-L10"});
    EXPECT_FALSE(quiet.Contains("Test Started"));
    RunResult logged = Run({"+l", "-L10", "-k64000"});
    EXPECT_TRUE(HasEvent(logged, "Test Started [Hardware Mode]:")) << logged.out;
    EXPECT_TRUE(HasEvent(logged, "Rate=64000[INT] PatternLength=2047 TestLength=10s"))
        << logged.out;
}

TEST_F(Spine, AsyncTestLeavesHardwareModeBeforeThePort) {
    RunResult r = Run({"+l", "-mASYNC", "-l4096"});
    EXPECT_TRUE(HasEvent(r, "Test Started:")) << r.out;
    EXPECT_TRUE(HasEvent(r, "Rate=19200[INT] PatternLength=2047 TestLength=4096")) << r.out;
    EXPECT_TRUE(HasEvent(r, "Switching to (Async) Software Mode"));
    EXPECT_LT(r.out.find("Switching to (Async)"), r.out.find("Test Started"));
}

TEST_F(Spine, VerbosityZeroLeavesOnlyTheUsage) {
    RunResult rejected = Run({"-v0", "+l", "-iRS485-2W"});
    EXPECT_EQ(rejected.exitCode, 0);
    EXPECT_EQ(rejected.out.rfind(kUsageHead, 0), 0u) << rejected.out;
    EXPECT_FALSE(rejected.Contains("Invalid interface"));

    RunResult running = Run({"-v0", "+l"});
    EXPECT_FALSE(running.timedOut);
    EXPECT_EQ(running.out, "");
    EXPECT_FALSE(e2e::FileExists(logs_.File("zvbert0.0.log")));
}

TEST_F(Spine, SlaveSelectionLinesAtVerbosityThree) {
    RunResult r = Run({"-v3", "+Mm1.4,6,8"});
    std::vector<std::string> lines = r.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"set slaveId 1", "set range from 1 to 4", "set slaveId 6",
                                        "set slaveId 8"}));
    RunResult late = Run({"+Mm1.4,6,8", "-v3"});
    EXPECT_FALSE(late.Contains("slaveId"));
}

TEST_F(Spine, CaptureFileThatCannotBeOpenedDoesNotStopTheTest) {
    const std::string name = logs_.File("missing/folder/data.cap");
    RunResult r = Run({"+c" + name});
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(r.HasLine("Capture data, failed to open filename " + name));
    EXPECT_FALSE(r.HasLine(kUsageHead));
}

// However far the port and thread work has come, a stop signal ends the run
// as the key x does: the closing lines come and the process exits by itself.
void ExpectSignalEndsLikeX(const e2e::RunOptions& options, int sig) {
    e2e::ChildProcess child(ONDREL_BINARY, {"-v3", "+l"}, options);
    ASSERT_TRUE(child.Started());
    // Either marker comes after the console has taken the stop signals.
    ASSERT_TRUE(child.WaitForAnyOutput(
        {"Starting tx/rx threads", "Unable to use the selected port"}, 10000))
        << child.Output();
    child.Signal(sig);
    RunResult r = child.Finish(20000);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    // A test stopped before its first sync never found the pattern (8).
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1 || r.exitCode == 7 || r.exitCode == 8)
        << r.exitCode;
    EXPECT_TRUE(r.Contains("iRet=")) << r.out;
}

TEST_F(Spine, SigtermEndsTheRunLikeTheKeyX) {
    e2e::RunOptions options = Options("");
    ExpectSignalEndsLikeX(options, SIGTERM);
}

TEST_F(Spine, SigintEndsTheRunLikeTheKeyX) {
    e2e::RunOptions options = Options("");
    ExpectSignalEndsLikeX(options, SIGINT);
}

// The cards' file is named by ONDREL_CARD_CONFIG; the older ONDREL_SIM_CONFIG
// still works when the new name is unset, and never overrides it.
TEST_F(Spine, CardConfigurationIsNamedByEitherVariableTheNewOneFirst) {
    const std::string good = logs_.File("cards.toml");
    e2e::WriteFile(good, "[[card]]\nports = 1\n");
    const std::string missing = logs_.File("missing.toml");
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> env;
        std::string missingFile;  // the file the error names; empty: the run works
    };
    const std::vector<Case> cases = {
        {"new name", {{"ONDREL_CARD_CONFIG", missing}}, missing},
        {"old name", {{"ONDREL_SIM_CONFIG", missing}}, missing},
        {"new name wins", {{"ONDREL_CARD_CONFIG", good}, {"ONDREL_SIM_CONFIG", missing}}, ""},
        {"new name wins when bad",
         {{"ONDREL_CARD_CONFIG", missing}, {"ONDREL_SIM_CONFIG", good}},
         missing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::RunOptions options = Options();
        options.unsetEnv = {"ONDREL_CARD_CONFIG", "ONDREL_SIM_CONFIG"};
        for (const auto& entry : c.env) options.setEnv.push_back(entry);
        RunResult r = e2e::RunOndrel({"+S", "-L1", "+l"}, options);
        ExpectCleanStderr(r);
        if (c.missingFile.empty()) {
            // The file was read: the test started (how it ended is not the point).
            EXPECT_NE(r.exitCode, 2) << r.out;
            EXPECT_TRUE(r.Contains("Test Started")) << r.out;
            EXPECT_FALSE(r.Contains("ERROR: Card configuration")) << r.out;
        } else {
            EXPECT_EQ(r.exitCode, 2) << r.out;
            EXPECT_TRUE(r.HasLine("ERROR: Card configuration " + c.missingFile + ": no such file"))
                << r.out;
        }
    }
}

TEST_F(Spine, UnreadableSimulatorConfigurationEndsBeforeAnyTest) {
    e2e::RunOptions options = Options();
    options.setEnv.push_back({"ONDREL_SIM_CONFIG", logs_.File("no-such-config.toml")});
    options.unsetEnv.clear();
    RunResult r = e2e::RunOndrel({"+l"}, options);
    ExpectCleanStderr(r);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.HasLine("ERROR: Card configuration " + logs_.File("no-such-config.toml") +
                          ": no such file"))
        << r.out;
    EXPECT_FALSE(r.Contains("Test completed"));
}

}  // namespace
