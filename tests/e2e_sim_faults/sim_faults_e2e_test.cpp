// The real binary against what can go wrong around it: files that are no
// regular files, problems named for what they are, simulator configurations
// beyond bounds, and the faults a real card shows (a starved transmitter,
// framing and parity errors, a pattern never found, a clock that never comes).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

constexpr int kRunTimeoutMs = 10000;

class SimFaultsE2e : public ::testing::Test {
   protected:
    // A private home and log folder, keys on stdin, and the simulator as
    // configured by toml (the default cards when empty).
    e2e::RunOptions Options(const std::string& toml = "", const std::string& keys = "") {
        e2e::RunOptions options;
        options.stdinText = keys;
        options.setEnv = {{"HOME", dir_.path()}, {"ZVBERTLOGPATH", dir_.path()}};
        options.unsetEnv = {"ONDREL_SIM_CONTROL"};
        if (toml.empty())
            options.unsetEnv.push_back("ONDREL_SIM_CONFIG");
        else
            options.setEnv.emplace_back("ONDREL_SIM_CONFIG", Write("sim.toml", toml));
        options.timeoutMs = kRunTimeoutMs;
        return options;
    }
    RunResult Run(const std::vector<std::string>& args, const std::string& toml = "",
                  const std::string& keys = "") {
        RunResult r = e2e::RunOndrel(args, Options(toml, keys));
        EXPECT_FALSE(r.timedOut) << r.out;
        return r;
    }
    std::string Write(const std::string& name, const std::string& content) {
        e2e::WriteFile(dir_.File(name), content);
        return dir_.File(name);
    }
    std::string Fifo(const std::string& name) {
        const std::string path = dir_.File(name);
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        return path;
    }
    // A line of its own per test and process: ctest runs tests side by side.
    static std::string LineName() {
        return "f" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    // The counters of the interface record's last summary line with a counter above 0.
    static long LastCount(const RunResult& r, const std::string& counter) {
        long last = -1;
        for (const std::string& line : r.Lines()) {
            const size_t at = line.find(" " + counter + "=");
            if (line.rfind("Errors: ", 0) != 0 || at == std::string::npos) continue;
            const long value = std::strtol(line.c_str() + at + counter.size() + 2, nullptr, 10);
            if (value > 0 || last < 0) last = value;
        }
        return last;
    }

    e2e::TempDir dir_;
};

// ---- files ---------------------------------------------------------------------

// A FIFO as the control file used to stall the driver's clock thread in its
// open, and with it the end of the test.
TEST_F(SimFaultsE2e, ControlFileThatIsAFifoNeitherBlocksNorEndsTheTestLate) {
    e2e::RunOptions options = Options();
    options.unsetEnv = {"ONDREL_SIM_CONFIG"};
    options.setEnv.emplace_back("ONDREL_SIM_CONTROL", Fifo("control"));
    RunResult r = e2e::RunOndrel({"+S", "-k64000", "-L1", "+l"}, options);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.HasEvent("Test completed")) << r.out;
    EXPECT_EQ(r.err,
              "impairment control " + dir_.File("control") + ": not a regular file, ignored\n");
}

// Each file the user names gets one message that says what is wrong with it.
TEST_F(SimFaultsE2e, PatternFileProblemsAreNamed) {
    const std::string folder = dir_.File("patterns");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    struct Case {
        std::string file;
        std::vector<std::string> more;
        std::vector<std::string> says;
    };
    const std::string fifo = Fifo("pattern.fifo");
    const std::string empty = Write("empty.bin", "");
    const std::string junk = Write("junk.hex", "0A,1B\n");
    const std::vector<Case> cases = {
        {fifo, {}, {"User Test Pattern, filename " + fifo + ": not a regular file"}},
        {"/dev/zero", {}, {"User Test Pattern, filename /dev/zero: not a regular file"}},
        {folder, {}, {"User Test Pattern, filename " + folder + ": is a directory"}},
        {empty,
         {},
         {"ReadPatternFile, file is empty",
          "User Test Pattern, problem reading filename, " + empty}},
        {junk,
         {"+UHEX"},
         {"ReadPatternFile, not a hexadecimal value at offset 2",
          "User Test Pattern, problem reading filename, " + junk}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = {"+S", "-tUSER", "+u" + c.file, "-L1"};
        args.insert(args.end(), c.more.begin(), c.more.end());
        RunResult r = Run(args);
        for (const std::string& line : c.says)
            EXPECT_TRUE(r.HasLine(line)) << line << "\n" << r.out;
        EXPECT_FALSE(r.Contains("file too long")) << r.out;
        EXPECT_FALSE(r.Contains("Success")) << r.out;
        EXPECT_FALSE(r.Contains("Test Started")) << r.out;
    }
}

TEST_F(SimFaultsE2e, CaptureFileThatDidNotOpenIsNotStarted) {
    const std::string missing = dir_.File("no/such/folder/capture.bin");
    RunResult r = Run({"+S", "-k64000", "-L2", "+c" + missing}, "", "c");
    EXPECT_TRUE(r.HasLine("Capture data, failed to open filename " + missing)) << r.out;
    EXPECT_TRUE(r.HasLine("Cannot capture data, filename " + missing + " isn't open")) << r.out;
    EXPECT_FALSE(r.HasLine("Start capture")) << r.out;
    EXPECT_FALSE(r.Contains("failure writing")) << r.out;

    RunResult device = Run({"+S", "-k64000", "-L1", "+c/dev/null"}, "", "c");
    EXPECT_TRUE(device.HasLine("Capture data, filename /dev/null: not a regular file"))
        << device.out;
    EXPECT_FALSE(device.HasLine("Start capture")) << device.out;
}

// ---- the simulator's configuration ---------------------------------------------------

TEST_F(SimFaultsE2e, SimulatorConfigurationBeyondItsBoundsNamesTheKey) {
    std::string manyCards, manyPorts;
    for (int i = 0; i < 65; ++i) manyCards += "[[card]]\nports = 1\n";
    for (int i = 0; i < 9; ++i) manyPorts += "[[card]]\nports = 64\n";
    const std::string folder = dir_.File("config.d");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    struct Case {
        std::string path;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {Write("tick.toml", "tick_ms = 51\n"), ": tick_ms: value 51 out of range 1..50"},
        {Write("cards.toml", manyCards), ": card: 65 cards, at most 64"},
        {Write("ports.toml", manyPorts), ": card[8].ports: makes 576 ports in all, at most 512"},
        {Write("card.toml", "[[card]]\nports = 65\n"),
         ": card[0].ports: value 65 out of range 0..64"},
        {folder, ": is a directory"},
        {Fifo("config.fifo"), ": not a regular file"},
        {Write("zorvan.toml", "[[card]]\nbackend = \"zorvan\"\n"),
         ": the card's own driver (backend = \"zorvan\") runs on Windows only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        e2e::RunOptions options = Options();
        options.unsetEnv = {"ONDREL_SIM_CONTROL"};
        options.setEnv.emplace_back("ONDREL_SIM_CONFIG", c.path);
        RunResult r = e2e::RunOndrel({"+S", "-L1"}, options);
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.exitCode, 2) << r.out;
        const std::string named = "ERROR: Card configuration " + c.path + c.problem;
        EXPECT_TRUE(r.HasLine(named)) << named << "\n" << r.out;
    }
}

TEST_F(SimFaultsE2e, ThirdProcessOnASharedLineIsToldItIsTurnedAway) {
    const std::string toml = "[[card]]\nline = \"shared\"\nline_name = \"" + LineName() + "\"\n";
    e2e::ChildProcess first(ONDREL_BINARY, {"+S", "-d4", "-k64000", "-v3"}, Options(toml));
    ASSERT_TRUE(first.WaitForOutput("Starting ECHO thread", 5000)) << first.Output();
    e2e::ChildProcess second(ONDREL_BINARY, {"+S", "-d4", "-k64000", "-v3"}, Options(toml));
    ASSERT_TRUE(second.WaitForOutput("Starting ECHO thread", 5000)) << second.Output();
    // Long enough for the message to reach a third end slowed by a sanitizer.
    RunResult third = Run({"+S", "-k64000", "-L1", "-S3"}, toml);
    first.Type("x");
    second.Type("x");
    EXPECT_FALSE(first.Finish(5000).timedOut);
    EXPECT_FALSE(second.Finish(5000).timedOut);
    EXPECT_EQ(third.err, "simulated shared line " + LineName() +
                             ".0: two ends are on it already, this port is turned away\n");
}

// ---- what a real card shows ------------------------------------------------------------

// Two buffers of 8 bytes cannot keep a 64 kbit/s line busy: the card sends
// idle ones in the gaps, counts the underruns, and the receiver sees them.
TEST_F(SimFaultsE2e, StarvedTransmitterUnderrunsAndTheReceiverSeesTheIdleBits) {
    RunResult r = Run({"+S", "-q0", "-k64000", "-L2", "-S2", "+l"});
    EXPECT_GT(LastCount(r, "TxU"), 0) << r.out;
    EXPECT_TRUE(r.Contains("  TxU : +")) << r.out;
    const bool errorsSeen = r.LastValue("BitErr=") > 0 || r.HasEvent("LOS");
    EXPECT_TRUE(errorsSeen) << r.out;

    RunResult fed = Run({"+S", "-k64000", "-L2", "+l"});  // the default queue keeps it busy
    EXPECT_EQ(LastCount(fed, "TxU"), 0) << fed.out;
    EXPECT_EQ(fed.LastValue("BitErr="), 0) << fed.out;
}

// An inverted asynchronous line breaks every character's stop bit and, with
// 8 data bits, its even parity: the interface record counts both.
TEST_F(SimFaultsE2e, LineErrorsOfAnAsynchronousLineReachTheInterfaceRecord) {
    RunResult r = Run({"-mASYNC", "-yEVEN", "-k9600", "-L2", "-S2"},
                      "[[card]]\n[card.impairment]\ninvert = true\n");
    EXPECT_GT(LastCount(r, "Framing"), 0) << r.out;
    EXPECT_GT(LastCount(r, "CRC"), 0) << r.out;
}

TEST_F(SimFaultsE2e, EngineNeverInSyncCountsNoAvailableSecond) {
    RunResult r = Run({"-k1000000", "-L10", "-S3", "+l"},
                      "[[card]]\n[card.impairment]\nbit_error_rate = 5e-2\n");
    EXPECT_FALSE(r.HasEvent("In sync")) << r.out;
    EXPECT_EQ(r.LastValue("AS="), 0) << r.out;
    EXPECT_GE(r.LastValue("SES="), 1) << r.out;
    EXPECT_EQ(r.LastValue("ASR="), 0) << r.out;
}

// A loopback plug gives a port set to an external clock no clock at all; the
// TIV bit inverts what the port sends once: by the card when it can invert,
// by the program when it cannot.
TEST_F(SimFaultsE2e, ClockSourceAndTransmitInversionOfTheConfigurationAct) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string toml;
        bool syncs;
    };
    const std::vector<Case> cases = {
        {"software, internal clock", {"+S"}, "", true},
        {"software, external clock", {"+S", "-e"}, "", false},
        {"hardware, external clock", {"-e"}, "", false},
        {"TIV", {"+S", "+x8"}, "", false},
        {"TIV, asynchronous", {"-mASYNC", "-k9600", "+x8"}, "", false},
        {"TIV, card without inverters", {"+S", "+x8"}, "[[card]]\ncan_invert = false\n", false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        for (const char* more : {"-L1", "-S1", "+l"}) args.push_back(more);
        RunResult r = Run(args, c.toml);
        EXPECT_EQ(r.HasEvent("In sync"), c.syncs) << c.name << "\n" << r.out;
    }
}

}  // namespace
