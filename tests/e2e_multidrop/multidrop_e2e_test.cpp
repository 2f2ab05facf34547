// A master and slave processes on one simulated multi-drop line: the master
// polls the slaves with their patterns, counts what they echo and reports
// each slave; absent slaves are dropped unless told to be kept.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e_multidrop/multidrop_fixture.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;
using md::kLength;
using md::kRate;
using md::MultiDropE2e;

TEST_F(MultiDropE2e, MasterPollsTwoSlavesInSyncWithoutErrorsAndEndsOnTime) {
    StartSlave(1);
    StartSlave(3);
    RunResult r = RunMaster({"+Mm1.3", kRate, kLength, "-L5", "+l"});
    ASSERT_FALSE(r.timedOut) << r.out;
    // Slave 2 was to be polled and never answered.
    EXPECT_EQ(r.exitCode, md::kExitNeverInSync) << r.out;
    EXPECT_TRUE(r.Contains("All slaves now in Sync")) << r.out;
    EXPECT_TRUE(r.Contains("SlaveId 2, Not Active, So Don't Poll")) << r.out;
    for (int id : {1, 3}) {
        const std::string line = LastSlaveLine(r, id);
        ASSERT_FALSE(line.empty()) << id << "\n" << r.out;
        EXPECT_EQ(Field(line, "BitErr"), 0) << line;
        EXPECT_EQ(Field(line, "BlockErr"), 0) << line;
        EXPECT_GT(Field(line, "Rx"), 2000) << line;
        EXPECT_EQ(Field(line, "Rx"), Field(line, "Tx")) << line;
    }
    EXPECT_TRUE(LastSlaveLine(r, 2).empty()) << r.out;
}

TEST_F(MultiDropE2e, InjectedErrorsGoToThePolledSlaveOnly) {
    StartSlave(1);
    StartSlave(3);
    e2e::ChildProcess master(ONDREL_BINARY, {"+Mm1,3", kRate, kLength, "-L4", "+l"}, Options());
    ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 5000)) << master.Output();
    master.Type("43");  // 4 then 3: seven bits in the first byte of one poll
    RunResult r = master.Finish(15000);
    for (auto& slave : slaves_) slave->Signal(SIGTERM);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 0) << r.out;  // bit errors were counted
    const int64_t first = Field(LastSlaveLine(r, 1), "BitErr");
    const int64_t third = Field(LastSlaveLine(r, 3), "BitErr");
    EXPECT_TRUE((first == 7 && third == 0) || (first == 0 && third == 7)) << r.out;
}

// A slave that goes away mid-test is out of sync and inactive; the other is
// polled on and the test ends on time.
TEST_F(MultiDropE2e, ASlaveThatDiesLeavesTheOtherPolled) {
    StartSlave(1);
    StartSlave(3);
    e2e::ChildProcess master(ONDREL_BINARY, {"+Mm1,3", kRate, kLength, "-L4", "+l"}, Options());
    ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 5000)) << master.Output();
    slaves_[1]->Signal(SIGKILL);
    ASSERT_TRUE(master.WaitForOutput("SlaveId 3, Setting Not Active, Not In Sync", 5000))
        << master.Output();
    RunResult soFar;
    soFar.out = master.Output();
    const std::string atLoss = LastSlaveLine(soFar, 1);
    RunResult r = master.Finish(15000);
    slaves_[0]->Signal(SIGTERM);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_TRUE(r.Contains("SlaveId 3, Not Active, So Don't Poll")) << r.out;
    EXPECT_GT(Field(LastSlaveLine(r, 1), "Rx"), Field(atLoss, "Rx")) << r.out;
    EXPECT_EQ(Field(LastSlaveLine(r, 1), "BitErr"), 0) << r.out;
}

// Bit errors on the line break frames, whose check sequences then fail: a
// poll is lost at the frame error rate, and no broken data is counted.
TEST_F(MultiDropE2e, LineErrorsLosePollsAtTheFrameErrorRate) {
    StartSlave(2);
    RunResult r = e2e::RunOndrel({"+Mm2", kRate, kLength, "-L5", "-S5", "+q", "-v3", "+l"},
                                 Options("bit_error_rate = 1e-3\nseed = 5\n"));
    for (auto& slave : slaves_) slave->Signal(SIGTERM);
    ASSERT_FALSE(r.timedOut) << r.out;
    // Every answered poll is evaluated once; an unanswered one says "No Data".
    double lost = 0, answered = 0;
    for (const std::string& line : r.Lines()) {
        if (line == "SlaveId 2, No Data") ++lost;
        if (line.rfind("SlaveId 2, ElapsedUsecs ", 0) == 0 &&
            line.find(", Tx ") == std::string::npos)
            ++answered;
    }
    const double polls = lost + answered;
    ASSERT_GT(polls, 10) << r.out;
    // Only the master's receiver errs, on the reply's 39 bytes.
    const double p = 1 - std::pow(1 - 1e-3, 39 * 8);
    EXPECT_NEAR(lost / polls, p, 3.29 * std::sqrt(p * (1 - p) / polls)) << r.out;
    EXPECT_EQ(Field(LastSlaveLine(r, 2), "BitErr"), 0) << r.out;
}

TEST_F(MultiDropE2e, AbsentSlavesAreDroppedOrKeptAndNoneLeftEndsTheTest) {
    struct Case {
        std::vector<std::string> args;
        bool terminates;
    } cases[] = {
        {{"+Mm5", kRate, "-L3", "+l"}, true},
        // Kept on the list, it is polled until no slave has synchronised in -S.
        {{"+Mm5", kRate, "-L3", "-S3", "+q", "+l"}, false},
        {{"+Mm5", kRate, "-L3", "+d250", "+l"}, false},
    };
    for (const Case& c : cases) {
        RunResult r = e2e::RunOndrel(c.args, Options());
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.Contains("Test Terminating, No Active Slaves!"), c.terminates) << r.out;
        const bool tooLong = c.args[3] == "+d250";
        EXPECT_EQ(r.Contains("ModbusThread, Exiting - data length too big 250"), tooLong) << r.out;
        if (tooLong) continue;
        EXPECT_EQ(r.Contains("SlaveId 5, Not Active, So Don't Poll"), c.terminates) << r.out;
        // Each poll says so twice: on the console and as an event.
        EXPECT_EQ(r.Count("SlaveId 5, No Data") > 2, !c.terminates) << r.out;
    }
}

// A two-wire line is half duplex: a master and its slaves take turns and
// lose nothing, but a data test that sends all the time hears nothing of its
// echo, which it does on four wires.
TEST_F(MultiDropE2e, TwoWireLineIsHalfDuplex) {
    const std::vector<std::string> twoWire = {"-iRS485-2W", "-nMAN"};
    StartSlave(1, "", twoWire);
    RunResult polled = RunMaster({"+Mm1", "-iRS485-2W", "-nMAN", kRate, kLength, "-L3", "+l"});
    ASSERT_FALSE(polled.timedOut) << polled.out;
    EXPECT_EQ(polled.exitCode, 1) << polled.out;
    const std::string slave = LastSlaveLine(polled, 1);
    EXPECT_EQ(Field(slave, "BitErr"), 0) << polled.out;
    EXPECT_GT(Field(slave, "Rx"), 1000) << polled.out;

    struct Case {
        std::string interface;
        bool echoHeard;
    } cases[] = {{"-iRS485-4W", true}, {"-iRS485-2W", false}};
    for (const Case& c : cases) {
        e2e::ChildProcess echo(ONDREL_BINARY, {"+S", "-d4", c.interface, "-nMAN", kRate, "-v3"},
                               Options());
        ASSERT_TRUE(echo.WaitForOutput("Starting ECHO thread", 5000)) << echo.Output();
        RunResult r =
            e2e::RunOndrel({"+S", c.interface, "-nMAN", kRate, "-L3", "-S3", "+l"}, Options());
        echo.Signal(SIGTERM);
        EXPECT_FALSE(echo.Finish(10000).timedOut);
        ASSERT_FALSE(r.timedOut) << c.interface << "\n" << r.out;
        EXPECT_EQ(r.Contains("In sync"), c.echoHeard) << c.interface << "\n" << r.out;
        EXPECT_EQ(r.LastValue("RxCount=") > 0, c.echoHeard) << c.interface << "\n" << r.out;
        EXPECT_EQ(r.LastValue("BitErr="), 0) << c.interface << "\n" << r.out;
    }
}

}  // namespace
