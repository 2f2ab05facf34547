#include "stats/stats_update.h"

#include <cinttypes>

#include "core/run_state.h"
#include "core/settings.h"
#include "log/log.h"
#include "platform/last_error.h"

std::atomic<int64_t> g_i64MainElapsedUsecs{0};
std::atomic<int64_t> g_i64PrevElapsedUsecs{0};
std::atomic<int64_t> g_i64MainStartTicks{0};
std::atomic<platform::Event*> g_hStatsUpdateEvent{nullptr};

namespace {

constexpr int64_t kUsecsPerSecond = 1000000;

std::atomic<StatsOutput> g_pStatsOutput{nullptr};

// Other threads may signal the event at any time, so it lives as long as the
// process once made.
platform::Event* StatsUpdateEvent() {
    platform::Event* event = g_hStatsUpdateEvent.load();
    if (event != nullptr) return event;
    auto* made = new platform::Event(false, false);
    if (g_hStatsUpdateEvent.compare_exchange_strong(event, made)) return made;
    delete made;
    return event;
}

void OutputPeriod(int64_t elapsed) {
    LogPrint(4, "g_i64MainElapsedUsecs now %" PRId64 ", g_bQuit %d\n", elapsed, g_bQuit ? 1 : 0);
    if (StatsOutput output = g_pStatsOutput.load()) output();
    g_i64PrevElapsedUsecs = elapsed;
}

void RestartPeriod(int64_t elapsed) {
    g_i64PrevElapsedUsecs = elapsed;
    LogPrint(3, "StatsUpdateThread, reset g_i64PrevElapsedUsecs to %" PRId64 "\n", elapsed);
}

}  // namespace

void SetStatsUpdateOutput(StatsOutput output) { g_pStatsOutput = output; }

void RestartStatsUpdatePeriod() {
    g_i64MainStartTicks = GetTicks();
    if (platform::Event* event = g_hStatsUpdateEvent.load()) event->Set();
}

bool StatsUpdateStopDue(int64_t elapsedUsecs) {
    const TestSettings& s = g_Settings;
    if (!s.bTestDurationGiven) return false;
    const int64_t wholeSecs = elapsedUsecs / kUsecsPerSecond;
    if (s.bMultiDrop && g_bFirstSyncPending) {
        if (wholeSecs < int64_t{s.uNoSyncTimeoutSecs}) return false;
        // A failure of the test, shown whatever -v.
        LogPrint(1, "StatsUpdateThread, Stop on No-Sync %lu\n",
                 static_cast<unsigned long>(s.uNoSyncTimeoutSecs));
        NoteSyncOutcome(SyncOutcome::kNeverFound);
        return true;
    }
    if (s.uTestDurationSecs == 0 || wholeSecs < int64_t{s.uTestDurationSecs}) return false;
    LogPrint(3, "StatsUpdateThread, Stop on Time %lu\n",
             static_cast<unsigned long>(s.uTestDurationSecs));
    return true;
}

uint32_t StatsUpdateThread() {
    LogPrint(3, "Starting StatsUpdateThread\n");
    platform::Event* event = StatsUpdateEvent();
    // A test that set no start yet counts from now rather than from the
    // counter's origin, which would stop it at once.
    int64_t unset = 0;
    g_i64MainStartTicks.compare_exchange_strong(unset, GetTicks());
    g_bStatsUpdateRunning = true;
    while (!g_bStatsUpdateStop) {
        const uint32_t wait = platform::WaitForEvent(*event, kStatsUpdateWaitMs);
        if (wait == platform::kWaitFailed)
            LogPrint(1, "WaitForSingleObject failed, error %ld\n",
                     static_cast<long>(platform::GetLastError()));
        const int64_t elapsed = TicksToUsecs(GetTicks() - g_i64MainStartTicks);
        g_i64MainElapsedUsecs = elapsed;
        if (wait == platform::kWaitObject0)
            RestartPeriod(elapsed);
        else if (wait == platform::kWaitTimeout &&
                 elapsed - g_i64PrevElapsedUsecs >= kStatsUpdatePeriodUsecs)
            OutputPeriod(elapsed);
        if (StatsUpdateStopDue(elapsed)) g_bStatsUpdateStop = true;
    }
    LogPrint(3, "StatsUpdateThread Exit\n");
    g_bStatsUpdateRunning = false;
    PushQuitKey();
    return 1;
}
