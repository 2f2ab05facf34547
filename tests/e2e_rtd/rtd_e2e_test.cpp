// Runs of the real binary's round-trip delay test over simulated lines: the
// delays, counts and pacing it reports against what the line was told to do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>
#include <string>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

// Exit codes of a test that lost frames, and of one that got none back.
constexpr int kExitLostSync = 7;
constexpr int kExitNeverInSync = 8;
constexpr int kExitLinkFailed = 5;

// Two-sided 99.9 % bound of a normal deviate.
constexpr double kZ999 = 3.29;

// The figures of the last summary line of a run.
struct Summary {
    bool found = false;
    int64_t tx = -1, rx = -1, lost = -1, late = -1;
    long last = -1, min = -1, max = -1;
    double trend = -1;
};

// One summary line's figures; found is false for any other line.
Summary ParseSummary(const std::string& line) {
    static const std::regex kLine(
        R"(tx (\d+), rx (\d+), lost (\d+), late (\d+), last (\d+), min (\d+), max (\d+), trend (\d+\.\d{3}))");
    Summary s;
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) return s;
    s.found = true;
    s.tx = std::stoll(m[1]);
    s.rx = std::stoll(m[2]);
    s.lost = std::stoll(m[3]);
    s.late = std::stoll(m[4]);
    s.last = std::stol(m[5]);
    s.min = std::stol(m[6]);
    s.max = std::stol(m[7]);
    s.trend = std::stod(m[8]);
    return s;
}

// Every summary line of some output, in order.
std::vector<Summary> Summaries(const std::string& out) {
    std::vector<Summary> all;
    RunResult r;
    r.out = out;
    for (const std::string& line : r.Lines()) {
        Summary s = ParseSummary(line);
        if (s.found) all.push_back(s);
    }
    return all;
}

Summary LastSummary(const RunResult& r) {
    const std::vector<Summary> all = Summaries(r.out);
    return all.empty() ? Summary() : all.back();
}

class RtdE2e : public ::testing::Test {
   protected:
    e2e::RunOptions Options(const std::string& name, const std::string& config) const {
        return e2e::SimRunOptions(dir_, name, config);
    }
    RunResult Run(const std::vector<std::string>& args, const std::string& config) {
        RunResult r = e2e::RunOndrel(args, Options("sim.toml", config));
        EXPECT_FALSE(r.timedOut) << r.out;
        return r;
    }
    static std::string LineName() {
        return "rtd" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    e2e::TempDir dir_;
};

TEST_F(RtdE2e, CleanDelayedLoopbackReturnsEveryFrameAtTheLinesDelay) {
    RunResult r =
        Run({"+R", "+d31", "-k64000", "-L3", "+l"}, "[[card]]\n[card.impairment]\ndelay_ms = 20\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.HasEvent("Round Trip Delay Test Started")) << r.out;
    Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    EXPECT_GE(s.tx, 20) << r.out;
    EXPECT_EQ(s.rx, s.tx);
    EXPECT_EQ(s.lost, 0);
    EXPECT_EQ(s.late, 0);
    EXPECT_GE(s.min, 19);
    EXPECT_LE(s.max, 21);
    EXPECT_LE(s.max - s.min, 1);
    EXPECT_NEAR(s.trend, 20.5, 1.0);
    EXPECT_TRUE(r.HasEvent("Test completed"));
}

TEST_F(RtdE2e, TransmitDelayPacesTheFrames) {
    // A card clock of 1 ms: the frame's return is read within a millisecond.
    RunResult r = Run({"+R", "+d31", "-k64000", "-L3", "+t100"}, "tick_ms = 1\n[[card]]\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    // The first frame leaves at once, each next one 100 ms after the return
    // of the one before, which takes its 303 bits at 64 kbit/s and a little.
    const double expected = 1 + 3000.0 / (100 + 4.7 + 1);
    EXPECT_NEAR(double(s.tx), expected, 0.1 * expected) << r.out;
    EXPECT_EQ(s.rx, s.tx);
    EXPECT_LE(s.max, 1);
}

TEST_F(RtdE2e, LostFramesFollowTheLinesFrameLoss) {
    RunResult r = Run({"+R", "+d31", "-k64000", "-L3", "+r50"},
                      "tick_ms = 5\n[[card]]\n[card.impairment]\ndelay_ms = 20\n"
                      "frame_loss = 0.1\nseed = 5\n");
    EXPECT_EQ(r.exitCode, kExitLostSync) << r.out;
    Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    ASSERT_GE(s.tx, 40) << r.out;
    // The stop waits for the frame in flight: each frame came back or was lost.
    EXPECT_EQ(s.rx + s.lost, s.tx) << r.out;
    const double n = double(s.tx);
    EXPECT_NEAR(double(s.lost), 0.1 * n, kZ999 * std::sqrt(n * 0.1 * 0.9)) << r.out;
    EXPECT_GE(s.min, 19);
    EXPECT_LE(s.max, 21);
}

TEST_F(RtdE2e, FrameBackAfterItsTimeOutIsLate) {
    RunResult r = Run({"+R", "+d31", "-k64000", "-L2", "+r50", "+l"},
                      "tick_ms = 5\n[[card]]\n[card.impairment]\ndelay_ms = 80\n");
    Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    EXPECT_EQ(s.rx, 0) << r.out;
    EXPECT_EQ(s.lost, s.tx);
    EXPECT_GE(s.late, 5);
    // Every loss but the last comes back, after the next frame has left.
    EXPECT_GE(s.late, s.lost - 1);
    EXPECT_LE(s.late, s.lost);
    EXPECT_GE(r.Count("Late Packet, seq "), 5) << r.out;
    EXPECT_EQ(s.min, 0);  // no delay was measured
    EXPECT_EQ(s.max, 0);
}

TEST_F(RtdE2e, TickerEndsTheTestWithinOneWaitOfTheDuration) {
    RunResult r = Run({"+R", "+d31", "-k64000", "-L1", "-v4"}, "[[card]]\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.HasLine("StatsUpdateThread, Stop on Time 1")) << r.out;
    // The closing output shows the test time the ticker stopped at.
    const double stoppedUsecs = r.LastValue("OutputRTDStats, elapsed ");
    EXPECT_GE(stoppedUsecs, 1000000) << r.out;
    EXPECT_LT(stoppedUsecs, 1100000 + 50000) << r.out;
    // The stop line stands on a line of its own.
    EXPECT_TRUE(r.HasLine("RTDThread Stopped, UpdateThread Stopped")) << r.out;
    EXPECT_TRUE(r.HasLine("RoundTripDelayThread Exit"));
    EXPECT_TRUE(r.HasLine("StatsUpdateThread Exit"));
}

TEST_F(RtdE2e, ClockRateZeroIsRefused) {
    RunResult r = Run({"+R", "+d31", "-k0", "+l"}, "[[card]]\n");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(r.HasLine("Error: the round trip delay test needs a clock rate above 0 (-k)"))
        << r.out;
    EXPECT_FALSE(r.Contains("Round Trip Delay Test Started"));
    EXPECT_FALSE(LastSummary(r).found);
    EXPECT_TRUE(r.err.empty()) << r.err;  // nothing from the sanitizers either
}

TEST_F(RtdE2e, FarEndLoopOnASharedLineSendsTheFramesBack) {
    const std::string line = "[[card]]\nline = \"shared\"\nline_name = \"" + LineName() + "\"\n";
    e2e::ChildProcess far(
        ONDREL_BINARY, {"+S", "-d0", "-k64000", "-v3"},
        Options("far.toml", line + "loop = true\n[card.impairment]\ndelay_ms = 7\n"));
    ASSERT_TRUE(far.WaitForOutput("Starting tx/rx threads", 5000)) << far.Output();
    RunResult r = e2e::RunOndrel({"+R", "+d31", "-k64000", "-L2"},
                                 Options("near.toml", line + "[card.impairment]\ndelay_ms = 5\n"));
    far.Type("x");
    RunResult farEnd = far.Finish(10000);
    EXPECT_FALSE(farEnd.timedOut);
    ASSERT_FALSE(r.timedOut);
    Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out << "\n--- far end ---\n" << farEnd.out;
    // The first frame may leave before the line has found its far end.
    EXPECT_LE(s.lost, 1) << r.out;
    EXPECT_GE(s.rx, 10);
    EXPECT_EQ(s.late, 0);
    // Out at 5 ms, back at 7 ms: the line's time of the frame counts once.
    EXPECT_GE(s.min, 11);
    EXPECT_LE(s.max, 13);
}

// Settings the test cannot run with are refused before it starts, on the
// console whatever +l, and the run reads as refused (0), never as a pass.
TEST_F(RtdE2e, RefusedPayloadsSayWhyWithoutTheLogSwitch) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"+R", "-L2"}, "Error: Number of packets (249) exceeds maximum"},
        {{"+R", "+d32", "-L2"}, "Error: Number of packets (32) exceeds maximum"},
        {{"+R", "+d0", "-L2"},
         "Error: the round trip delay test needs a payload length of 1 to 31 (+d)"},
    };
    for (const Case& c : cases) {
        RunResult r = Run(c.args, "[[card]]\n");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_TRUE(r.HasLine(c.message)) << r.out;
        EXPECT_FALSE(r.Contains("Round Trip Delay Test Started")) << r.out;
        EXPECT_FALSE(LastSummary(r).found) << r.out;
    }
}

// A test that got frames back but lost some did not hold; one that got none
// back never reached its far end; a refused write is the card's failure.
TEST_F(RtdE2e, ExitCodeSaysWhetherFramesCameBack) {
    struct Case {
        std::string config;
        int exitCode;
        std::string line;
    } cases[] = {
        {"[[card]]\n", 1, ""},
        {"[[card]]\n[card.impairment]\nframe_loss = 1.0\n", kExitNeverInSync, ""},
        {"[[card]]\n[[card.fault]]\nrequest = \"write\"\n", kExitLinkFailed,
         "RoundTripDelayThread, Tx Failed, error 31"},
    };
    for (const Case& c : cases) {
        RunResult r = Run({"+R", "+d31", "-k64000", "-L2", "+r200"}, c.config);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.config << r.out;
        if (!c.line.empty()) {
            EXPECT_TRUE(r.HasLine(c.line)) << r.out;
        }
        const Summary s = LastSummary(r);
        ASSERT_TRUE(s.found) << r.out;
        EXPECT_EQ(s.rx + s.lost, s.tx) << r.out;
        if (c.exitCode == kExitLinkFailed) {
            EXPECT_EQ(s.tx, 0) << r.out;
        }  // the refused frame never left
    }
}

// x ends the test at once on a dead line: the frame in flight is given a
// moment, not its whole receive time-out, and is then neither back nor lost.
TEST_F(RtdE2e, StopDoesNotWaitOutTheReceiveTimeOut) {
    e2e::ChildProcess child(ONDREL_BINARY, {"+R", "+d31", "-k64000", "+r6000", "-v3"},
                            Options("sim.toml", "[[card]]\n[card.impairment]\nframe_loss = 1.0\n"));
    ASSERT_TRUE(child.WaitForOutput("TxEvent, Sending Tx Packet 1", 5000)) << child.Output();
    const auto typed = std::chrono::steady_clock::now();
    child.Type("x");
    RunResult r = child.Finish(10000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - typed).count();
    ASSERT_FALSE(r.timedOut) << r.out;
    // The frame's time-out is 6 s; the stop waits 0.25 s for it.
    EXPECT_LT(seconds, e2e::ScaledSeconds(4.0)) << r.out;
    EXPECT_TRUE(r.HasLine("RoundTripDelayThread, packet 1 still out at the stop, not counted"))
        << r.out;
    const Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    EXPECT_EQ(s.tx, 0) << r.out;
    EXPECT_EQ(s.lost, 0) << r.out;
    EXPECT_EQ(r.exitCode, kExitNeverInSync) << r.out;
}

// Before ten delays are in, the trend is the mean of those there are.
TEST_F(RtdE2e, TrendOfFewDelaysIsTheirMean) {
    RunResult r =
        Run({"+R", "+d31", "-k64000", "-L1"}, "[[card]]\n[card.impairment]\ndelay_ms = 150\n");
    const Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    ASSERT_GE(s.rx, 1) << r.out;
    ASSERT_LT(s.rx, 10) << r.out;  // the ring is not full yet
    EXPECT_GE(s.trend, double(s.min)) << r.out;
    EXPECT_LE(s.trend, double(s.max)) << r.out;
}

// The key r resets the figures, between two frames: the frame in flight then
// is neither late nor lost, and the counts start over.
TEST_F(RtdE2e, ResetWhileAFrameIsInFlightInventsNothing) {
    e2e::ChildProcess child(ONDREL_BINARY, {"+R", "+d31", "-k64000", "+l"},
                            Options("sim.toml", "[[card]]\n[card.impairment]\ndelay_ms = 100\n"));
    ASSERT_TRUE(child.WaitForOutput("tx 5, rx ", 8000)) << child.Output();
    child.Type("r");
    ASSERT_TRUE(child.WaitForOutput("Stats reset", 5000)) << child.Output();
    const size_t atReset = child.Output().size();
    const int64_t txBefore = LastSummary(RunResult{0, 0, false, child.Output(), ""}).tx;
    // Until the frame in flight at the reset has long come back.
    auto summariesAfter = [&] { return Summaries(child.Output().substr(atReset)); };
    EXPECT_TRUE(child.WaitForOutputThat(
        [&](const std::string&) {
            return !summariesAfter().empty() && summariesAfter().back().tx >= txBefore + 3;
        },
        8000))
        << child.Output();
    child.Type("x");
    RunResult r = child.Finish(10000);
    ASSERT_FALSE(r.timedOut) << r.out;
    const std::string afterReset = r.out.substr(atReset);
    EXPECT_EQ(afterReset.find("Late Packet"), std::string::npos) << r.out;
    EXPECT_EQ(afterReset.find("Timeout waiting for packet"), std::string::npos) << r.out;
    // The counts started over.
    int64_t lowest = txBefore;
    for (const Summary& each : Summaries(afterReset)) lowest = std::min(lowest, each.tx);
    EXPECT_LT(lowest, txBefore) << r.out;
    const Summary s = LastSummary(r);
    ASSERT_TRUE(s.found) << r.out;
    EXPECT_EQ(s.late, 0) << r.out;
    EXPECT_EQ(s.lost, 0) << r.out;
    EXPECT_EQ(s.rx, s.tx) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
}

}  // namespace
