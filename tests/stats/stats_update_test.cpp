// The statistics ticker of the multi-drop master and the round-trip delay
// test: its stop rules, and its thread against the real clock.
#include "stats/stats_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/run_state.h"
#include "core/settings.h"
#include "platform/console.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

std::atomic<int> g_outputs{0};
void CountOutput() { ++g_outputs; }

class StatsUpdateTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_ = g_Settings;
        g_bFirstSyncPending = true;
        g_bStatsUpdateStop = false;
        g_outputs = 0;
        SetStatsUpdateOutput(CountOutput);
    }
    void TearDown() override {
        SetStatsUpdateOutput(nullptr);
        g_Settings = saved_;
        g_bFirstSyncPending = true;
        while (platform::KeyWaiting()) platform::ReadKey();
    }
    // Runs the thread until it ends by itself; true when it did within
    // timeoutMs (scaled), after which it is asked to stop.
    static bool RunUntilItEnds(int timeoutMs) {
        std::thread ticker([] { StatsUpdateThread(); });
        const bool ended =
            e2e::WaitUntil([] { return g_bStatsUpdateStop && !g_bStatsUpdateRunning; }, timeoutMs);
        g_bStatsUpdateStop = true;
        ticker.join();
        return ended;
    }
    // Runs the thread for runMs while a host restarts its period every 20 ms:
    // that pace is the case under test, not a wait.
    static void RunRestartingEvery20Ms(int runMs, void (*restart)()) {
        std::thread ticker([] { StatsUpdateThread(); });
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(runMs);
        while (std::chrono::steady_clock::now() < end) {
            restart();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        g_bStatsUpdateStop = true;
        ticker.join();
    }
    TestSettings saved_;
};

struct StopCase {
    const char* name;
    bool multiDrop;
    bool firstSyncPending;
    bool durationGiven;
    uint32_t durationSecs;
    uint32_t noSyncSecs;
    int64_t elapsedUsecs;
    bool stops;
};

TEST_F(StatsUpdateTest, StopRules) {
    const StopCase cases[] = {
        {"just short of -L", false, false, true, 3, 60, 2999999, false},
        {"at -L", false, false, true, 3, 60, 3000000, true},
        {"no -L: no rule", false, false, false, 3, 1, 1000000000, false},
        {"-L0 outside the multi-drop test", false, true, true, 0, 1, 1000000000, false},
        {"delay test: only the time rule", false, true, true, 2, 5, 2000000, true},
        {"multi-drop before sync: not on time", true, true, true, 2, 5, 4999999, false},
        {"multi-drop before sync: at -S", true, true, true, 2, 5, 5000000, true},
        {"multi-drop -L0 before sync: at -S", true, true, true, 0, 5, 5000000, true},
        {"multi-drop in sync: on time", true, false, true, 2, 5, 2000000, true},
        {"multi-drop in sync, -L0", true, false, true, 0, 5, 1000000000, false},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_Settings.bMultiDrop = c.multiDrop;
        g_bFirstSyncPending = c.firstSyncPending;
        g_Settings.bTestDurationGiven = c.durationGiven;
        g_Settings.uTestDurationSecs = c.durationSecs;
        g_Settings.uNoSyncTimeoutSecs = c.noSyncSecs;
        EXPECT_EQ(StatsUpdateStopDue(c.elapsedUsecs), c.stops);
    }
}

TEST_F(StatsUpdateTest, EndsTheTestWithinOneWaitOfTheDurationAndTypesX) {
    g_Settings.bTestDurationGiven = true;
    g_Settings.uTestDurationSecs = 1;
    RestartStatsUpdatePeriod();
    g_i64PrevElapsedUsecs = 0;
    EXPECT_TRUE(RunUntilItEnds(3000));
    EXPECT_FALSE(g_bStatsUpdateRunning);
    EXPECT_GE(g_i64MainElapsedUsecs.load(), 1000000);
    EXPECT_LT(g_i64MainElapsedUsecs.load(), 1000000 + 2 * 1000 * int64_t{kStatsUpdateWaitMs});
    EXPECT_GE(g_outputs.load(), 1);  // at 0.5 s, and perhaps at 1 s
    EXPECT_LE(g_outputs.load(), 2);
    ASSERT_TRUE(platform::KeyWaiting());
    EXPECT_EQ(platform::ReadKey(), 'x');
}

TEST_F(StatsUpdateTest, RestartingThePeriodOftenSuppressesTheOutput) {
    g_Settings.bTestDurationGiven = false;
    RestartStatsUpdatePeriod();
    g_i64PrevElapsedUsecs = 0;
    // A loaded host may let more than a report period pass between two
    // restarts; the output is then due, so the widest gap is measured.
    static std::chrono::steady_clock::time_point lastRestart;
    static std::chrono::steady_clock::duration widestGap;
    lastRestart = std::chrono::steady_clock::now();
    widestGap = {};
    RunRestartingEvery20Ms(1200, [] {
        const auto now = std::chrono::steady_clock::now();
        widestGap = std::max(widestGap, now - lastRestart);
        lastRestart = now;
        RestartStatsUpdatePeriod();
    });
    const int64_t widestGapUsecs =
        std::chrono::duration_cast<std::chrono::microseconds>(widestGap).count();
    EXPECT_LT(g_i64MainElapsedUsecs.load(),
              widestGapUsecs + 2 * 1000 * int64_t{kStatsUpdateWaitMs});
    if (widestGapUsecs < 400000) {
        EXPECT_EQ(g_outputs.load(), 0);
    }
}

}  // namespace
