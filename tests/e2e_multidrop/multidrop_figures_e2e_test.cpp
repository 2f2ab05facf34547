// The per-slave figures of the multi-drop master against what happened on the
// line: injected errors, a slave that stops answering, lost polls on a noisy
// line and a pattern longer than the test.
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

double DoubleField(const std::string& line, const std::string& label) {
    const size_t at = line.find(" " + label + "=");
    return at == std::string::npos ? -1 : std::stod(line.substr(at + label.size() + 2));
}

// One injection of 3 bits is one errored poll, whatever the polls after it
// in the same second; with a pattern far longer than the test the BER still
// shows the errors over the bits received.
TEST_F(MultiDropE2e, OneInjectionIsOneErroredSampleAndShowsInTheBer) {
    struct Case {
        std::string pattern;
    } cases[] = {{"-t2^15"}, {"-tQRSS"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        slaves_.clear();
        StartSlave(1);
        e2e::ChildProcess master(ONDREL_BINARY, {"+Mm1", kRate, kLength, c.pattern, "-L3", "+l"},
                                 Options());
        ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 8000)) << master.Output();
        master.Type("3");
        ASSERT_TRUE(master.WaitForOutput("SlaveId 1, +3 bit errors", 8000)) << master.Output();
        // The next report comes after more polls of the same second.
        const size_t mark = master.Output().size();
        EXPECT_TRUE(master.WaitForOutputThat(
            [&](const std::string& out) { return out.find("Slave=1 ", mark) != std::string::npos; },
            8000));
        RunResult r = master.Finish(20000);
        for (auto& slave : slaves_) slave->Signal(SIGTERM);
        ASSERT_FALSE(r.timedOut) << r.out;
        RunResult afterInjection;
        afterInjection.out = r.out.substr(mark);
        const std::string next = LastSlaveLine(afterInjection, 1);
        const std::string last = LastSlaveLine(r, 1);
        EXPECT_EQ(Field(last, "BitErr"), 3) << r.out;
        EXPECT_EQ(Field(last, "ES(US)"), 1) << r.out;
        EXPECT_LE(Field(next, "es"), 1) << r.out;
        const double ber = 3 * 100.0 / double(Field(last, "Rx"));
        EXPECT_NEAR(DoubleField(last, "BER"), ber, 0.006) << r.out;
        EXPECT_GT(DoubleField(last, "BER"), 0.0) << r.out;
        EXPECT_EQ(r.exitCode, 0) << r.out;
    }
}

// A slave kept on the list (+q) that stops answering for the second half of
// the test has about half its seconds out of sync.
TEST_F(MultiDropE2e, ASilentSlaveHasItsLossOfSyncRatio) {
    StartSlave(1);
    StartSlave(2);
    e2e::ChildProcess master(ONDREL_BINARY, {"+Mm1.2", kRate, kLength, "-L6", "+q", "+l"},
                             Options());
    ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 8000)) << master.Output();
    // Half-way (each slave has half the polls); slave 1 relays the line, slave 2 goes.
    auto duration = [&] {
        RunResult soFar;
        soFar.out = master.Output();
        return DoubleField(LastSlaveLine(soFar, 2), "Duration");
    };
    master.WaitForOutputThat([&](const std::string&) { return duration() >= 1.5; }, 8000);
    ASSERT_GE(duration(), 1.5) << master.Output();
    slaves_[1]->Signal(SIGKILL);
    RunResult r = master.Finish(20000);
    slaves_[0]->Signal(SIGTERM);
    ASSERT_FALSE(r.timedOut) << r.out;
    const std::string line = LastSlaveLine(r, 2);
    EXPECT_EQ(Field(line, "LOS"), 1) << r.out;
    EXPECT_GT(DoubleField(line, "LOSR"), 20.0) << r.out;
    EXPECT_LT(DoubleField(line, "LOSR"), 80.0) << r.out;
    EXPECT_EQ(r.exitCode, md::kExitLostSync) << r.out;
}

// Polls lost on a noisy line put a slave out of sync; the bytes checked while
// it finds its pattern again are no errors of the line: no bit, block or
// errored-second error while every echo that came back was intact, and -s
// does not stop the test on them.
TEST_F(MultiDropE2e, HuntingAfterALostPollCountsNoError) {
    for (const bool stopOnError : {false, true}) {
        SCOPED_TRACE(stopOnError ? "-s" : "no -s");
        slaves_.clear();
        StartSlave(1, "bit_error_rate = 3e-4\nseed = 11\n");
        std::vector<std::string> args{"+Mm1", kRate, kLength, "-L4", "+q", "+l"};
        if (stopOnError) args.push_back("-s");
        RunResult r = e2e::RunOndrel(args, Options("bit_error_rate = 3e-4\nseed = 7\n"));
        for (auto& slave : slaves_) slave->Signal(SIGTERM);
        ASSERT_FALSE(r.timedOut) << r.out;
        ASSERT_TRUE(r.Contains("SlaveId 1, In Sync")) << "no return to sync\n" << r.out;
        const std::string line = LastSlaveLine(r, 1);
        EXPECT_EQ(Field(line, "BitErr"), 0) << r.out;
        EXPECT_EQ(Field(line, "BlockErr"), 0) << r.out;
        EXPECT_EQ(Field(line, "ES(US)"), 0) << r.out;
        EXPECT_FALSE(r.Contains("Stop On Error")) << r.out;
    }
}

}  // namespace
