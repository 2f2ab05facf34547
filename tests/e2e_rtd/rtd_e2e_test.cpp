// Runs of the real binary's round-trip delay test over simulated lines: the
// delays, counts and pacing it reports against what the line was told to do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

// Two-sided 99.9 % bound of a normal deviate.
constexpr double kZ999 = 3.29;

// The figures of the last summary line of a run.
struct Summary {
    bool found = false;
    int64_t tx = -1, rx = -1, lost = -1, late = -1;
    long last = -1, min = -1, max = -1;
    double trend = -1;
};

Summary LastSummary(const RunResult& r) {
    static const std::regex kLine(
        R"(tx (\d+), rx (\d+), lost (\d+), late (\d+), last (\d+), min (\d+), max (\d+), trend (\d+\.\d{3}))");
    Summary s;
    for (const std::string& line : r.Lines()) {
        std::smatch m;
        if (!std::regex_match(line, m, kLine)) continue;
        s.found = true;
        s.tx = std::stoll(m[1]);
        s.rx = std::stoll(m[2]);
        s.lost = std::stoll(m[3]);
        s.late = std::stoll(m[4]);
        s.last = std::stol(m[5]);
        s.min = std::stol(m[6]);
        s.max = std::stol(m[7]);
        s.trend = std::stod(m[8]);
    }
    return s;
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
    RunResult r = Run({"+R", "+d31", "-k64000", "-L3", "+l"},
                      "[[card]]\n[card.impairment]\ndelay_ms = 20\n");
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
    EXPECT_EQ(r.exitCode, 1) << r.out;
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
    e2e::ChildProcess far(ONDREL_BINARY, {"+S", "-d0", "-k64000", "-v3"},
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

}  // namespace
