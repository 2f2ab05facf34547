// The multi-drop master on ordinary faults of a real bus: a slave that stalls
// and answers late, slaves that never come, refused settings and requests,
// and the exit code each of them ends with.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/e2e_multidrop/multidrop_fixture.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;
using md::kLength;
using md::kRate;
using md::MultiDropE2e;

constexpr int kExitSetupFailed = 3;
constexpr int kExitLinkFailed = 5;

// Slave 2 stalls (SIGSTOP) while its poll waits and then answers that poll
// late, during the poll of slave 3: the late reply is no answer to slave 3,
// nor to slave 2's next poll, and nobody else loses a poll.
TEST_F(MultiDropE2e, ALateReplyThrowsNoOtherPollOutOfStep) {
    for (const bool keepQuiet : {false, true}) {
        SCOPED_TRACE(keepQuiet ? "+q" : "no +q");
        slaves_.clear();
        for (int id : {1, 2, 3}) StartSlave(id);
        std::vector<std::string> args{"+Mm1.3", kRate, kLength, "-L6", "+l"};
        if (keepQuiet) args.push_back("+q");
        e2e::ChildProcess master(ONDREL_BINARY, args, Options());
        ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 8000)) << master.Output();
        // Slave 1 started first and relays the line; slave 2 only answers.
        slaves_[1]->Signal(SIGSTOP);
        ASSERT_TRUE(master.WaitForOutput("SlaveId 2, No Data", 8000)) << master.Output();
        slaves_[1]->Signal(SIGCONT);
        RunResult r = master.Finish(20000);
        for (auto& slave : slaves_) slave->Signal(SIGTERM);
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_FALSE(r.Contains("SlaveId 1, No Data")) << r.out;
        EXPECT_FALSE(r.Contains("SlaveId 3, No Data")) << r.out;
        EXPECT_FALSE(r.Contains("No Active Slaves")) << r.out;
        for (int id : {1, 3}) EXPECT_EQ(Field(LastSlaveLine(r, id), "BitErr"), 0) << r.out;
        if (keepQuiet) {
            // Back in step: its next polls are answered, its one loss counted.
            EXPECT_TRUE(r.Contains("SlaveId 2, In Sync")) << r.out;
            EXPECT_LE(r.Count("SlaveId 2, No Data"), 4)
                << r.out;  // console and event, twice at most
            EXPECT_EQ(Field(LastSlaveLine(r, 2), "BitErr"), 0) << r.out;
        } else {
            EXPECT_TRUE(r.Contains("SlaveId 2, Not Active, So Don't Poll")) << r.out;
        }
        // Slave 2 lost its sync after it had found it.
        EXPECT_EQ(r.exitCode, md::kExitLostSync) << r.out;
    }
}

// The test time starts once every slave still polled is in sync, also when
// the last one waited for is dropped rather than found.
TEST_F(MultiDropE2e, DroppingTheLastUnsyncedSlaveStartsTheTestTime) {
    StartSlave(1);
    RunResult r = RunMaster({"+Mm1,2", kRate, kLength, "-L3", "-S8", "-v3", "+l"});
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_TRUE(r.Contains("SlaveId 2, Not Active, So Don't Poll")) << r.out;
    EXPECT_TRUE(r.Contains("All slaves now in Sync")) << r.out;
    EXPECT_TRUE(r.HasLine("StatsUpdateThread, Stop on Time 3")) << r.out;
    EXPECT_FALSE(r.Contains("Stop on No-Sync")) << r.out;
    const std::string first = LastSlaveLine(r, 1);
    EXPECT_GT(Field(first, "Rx"), 1000) << r.out;
    EXPECT_EQ(Field(first, "BitErr"), 0) << r.out;
    // Slave 2 was asked for and never answered.
    EXPECT_EQ(r.exitCode, md::kExitNeverInSync) << r.out;
}

// The poll list is written whole, on the console and as one event line.
TEST_F(MultiDropE2e, SlaveListIsOneLineEach) {
    StartSlave(1);
    RunResult r = RunMaster({"+Mm1,3.4", kRate, kLength, "-L1", "-v3", "+l"});
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_TRUE(r.HasLine("Slaves To Poll: 1 3 4")) << r.out;
    EXPECT_TRUE(r.HasEvent("Slaves To Poll: 1 3 4")) << r.out;
    EXPECT_EQ(r.Count("Slaves To Poll:"), 2) << r.out;
}

// Settings no multi-drop test can run with are refused before the port is
// opened, on the console whatever +l, as refused settings (0).
TEST_F(MultiDropE2e, UnusableSettingsAreRefusedWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"+Ms0", kRate}, "Error: a slave address is 1 to 247 (+Ms0)"},
        {{"+Ms248", kRate}, "Error: a slave address is 1 to 247 (+Ms248)"},
        {{"+Mm1", kRate, "+d0", "-L2"},
         "Error: Bad Data Length 0, the multi-drop master needs a data length of 1 to 249 (+d)"},
        {{"+Mm1", kRate, kLength, "-mASYNC", "-L2"},
         "Error: the multi-drop test needs a synchronous port (-mSYNC or -mFRAMED), not -mASYNC"},
        {{"+Ms1", kRate, "-mASYNC"},
         "Error: the multi-drop test needs a synchronous port (-mSYNC or -mFRAMED), not -mASYNC"},
    };
    for (const Case& c : cases) {
        e2e::RunOptions options = Options();
        options.stdinText = "x";
        RunResult r = e2e::RunOndrel(c.args, options);
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_TRUE(r.HasLine(c.message)) << r.out;
        EXPECT_FALSE(r.Contains("Test Started")) << r.out;
        EXPECT_FALSE(r.Contains("ModbusThread")) << r.out;
    }
}

// No failure of a master reads as a pass: set-up failures are 3, a refused
// transmit 5, a slave that never synchronised 8.
TEST_F(MultiDropE2e, FailuresExitWithTheirOwnCodes) {
    const std::string writeFault = "[[card.fault]]\nrequest = \"write\"\n";
    struct Case {
        std::vector<std::string> args;
        std::string config;
        int exitCode;
        std::string line;
    } cases[] = {
        {{"+Mm1", "-c3", kRate, kLength, "-L2"},
         "",
         kExitSetupFailed,
         "ModbusThread, Exiting, modbus_connect failure"},
        {{"+Mm1", kRate, kLength, "-L2"}, writeFault, kExitLinkFailed, "Tx Failed, error -1"},
        {{"+Mm5", kRate, kLength, "-L3"},
         "",
         md::kExitNeverInSync,
         "ModbusThread, Stopping - no active slaves!"},
        {{"+Mm5", kRate, kLength, "-L5", "-S2", "+q"},
         "",
         md::kExitNeverInSync,
         "StatsUpdateThread, Stop on No-Sync 2"},
    };
    for (const Case& c : cases) {
        RunResult r = e2e::RunOndrel(c.args, Options("", c.config));
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        // Shown without +l, so the cause is seen beside the code.
        EXPECT_TRUE(r.Contains(c.line)) << r.out;
    }
}

// A slave that was in sync and went away leaves the master with a test that
// did not hold (7); a slave whose answer the card refuses ends with 5.
TEST_F(MultiDropE2e, LostSlaveAndRefusedReplyExitCodes) {
    StartSlave(1);
    e2e::ChildProcess master(ONDREL_BINARY, {"+Mm1", kRate, kLength, "-L6", "+l"}, Options());
    ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 8000)) << master.Output();
    slaves_[0]->Signal(SIGKILL);
    RunResult r = master.Finish(20000);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_TRUE(r.Contains("Test Terminating, No Active Slaves!")) << r.out;
    EXPECT_EQ(r.exitCode, md::kExitLostSync) << r.out;

    slaves_.clear();
    StartSlave(2, "", {}, "[[card.fault]]\nrequest = \"write\"\n");
    RunResult polled = e2e::RunOndrel({"+Mm2", kRate, kLength, "-L2"}, Options());
    RunResult slave = slaves_[0]->Finish(10000);
    ASSERT_FALSE(slave.timedOut) << slave.out;
    EXPECT_EQ(slave.exitCode, kExitLinkFailed) << slave.out;
    EXPECT_TRUE(slave.Contains("BertSlave 2, modbus_reply, errno")) << slave.out;
    EXPECT_EQ(polled.exitCode, md::kExitNeverInSync) << polled.out;
}

// Above 16 Mbit/s two characters take less than a microsecond; the byte
// time-out is still one the library takes, and the test runs.
TEST_F(MultiDropE2e, RateAbove16MbitPolls) {
    const std::string rate = "-k20000000";
    StartSlave(1, "", {rate});
    RunResult r = RunMaster({"+Mm1", rate, kLength, "-L2", "-v3", "+l"});
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_FALSE(r.Contains("Error setting byte timeout")) << r.out;
    EXPECT_TRUE(r.HasLine("Setting byte timeout to sec 0, usec 1")) << r.out;
    EXPECT_GT(Field(LastSlaveLine(r, 1), "Rx"), 0) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
}

// A fixed pattern continues per slave from where its last poll left it; each
// slave's echo is hunted and checked on its own, not against another's.
TEST_F(MultiDropE2e, EachSlaveHuntsItsOwnFixedPattern) {
    StartSlave(1);
    StartSlave(2);
    for (const std::string pattern : {"-tFOX", "-t3/24"}) {
        SCOPED_TRACE(pattern);
        RunResult r = e2e::RunOndrel({"+Mm1.2", kRate, "+d20", pattern, "-L2", "+l"}, Options());
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_TRUE(r.Contains("All slaves now in Sync")) << r.out;
        for (int id : {1, 2}) {
            const std::string line = LastSlaveLine(r, id);
            EXPECT_GT(Field(line, "Rx"), 0) << id << "\n" << r.out;
            EXPECT_EQ(Field(line, "BitErr"), 0) << id << "\n" << r.out;
        }
        EXPECT_EQ(r.exitCode, 1) << r.out;
    }
    for (auto& slave : slaves_) slave->Signal(SIGTERM);
}

}  // namespace
