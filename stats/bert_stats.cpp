#include "stats/bert_stats.h"

#include <algorithm>
#include <mutex>

#include "core/port_run_state.h"
#include "stats/report.h"

BertStats g_BertStats{};

SyncTransition DeclareLossOfSync(int64_t now, int64_t since) {
    if (!g_bInSync) return SyncTransition::None;
    g_bInSync = false;
    g_bSyncLostInRun = true;
    ++g_BertStats.i64LosCount;
    // The sample that holds a loss is severely errored, even when the
    // pattern is found again before it ends.
    ++g_BertStats.i64SErrorInSampleCount;
    // Never before the measurement began, or LOSR would exceed the test.
    g_BertStats.i64LosStartTicks = std::clamp(since, g_BertStats.i64StartTicks, now);
    return SyncTransition::LossOfSync;
}

SyncTransition DeclareSync(int64_t now, FirstSyncAction firstSyncAction) {
    if (g_bInSync) return SyncTransition::None;
    SyncTransition transition = SyncTransition::ReturnToSync;
    if (g_bFirstSyncPending.exchange(false)) {
        transition = SyncTransition::FirstSync;
        if (firstSyncAction == FirstSyncAction::ResetStats) g_bResetStatsPending = true;
    } else {
        ++g_BertStats.i64SyncCount;
    }
    g_bInSync = true;
    // Closed intervals must stay in the loss-of-sync time, or LOSR would fall
    // back to zero at every return to sync.
    if (g_BertStats.i64LosStartTicks != 0)
        g_BertStats.i64LosUsecs += TicksToUsecs(now - g_BertStats.i64LosStartTicks);
    return transition;
}

namespace {

int64_t UsecsAt(int64_t now) {
    return std::max<int64_t>(TicksToUsecs(now - g_BertStats.i64StartTicks), 0);
}

// A sample reaches back to the one before it, so every second it closes
// takes its verdict; it also reaches into the second now begun, which it
// opens with its own verdict.
void BookSampleSeconds(int64_t now, bool errored, bool severe) {
    const int64_t usecs = UsecsAt(now);
    const int64_t seconds = usecs / 1000000;
    if (seconds <= g_BertStats.i64LastEvalSecs) return;
    AccountSeconds(seconds);
    if (usecs % 1000000 == 0) return;  // it ends where the new second begins
    if (errored) g_BertStats.i64ErrorInSampleCount = 1;
    if (severe) g_BertStats.i64SErrorInSampleCount = 1;
}

void CountErroredSample(int64_t errors, int64_t percent) {
    if (!g_bInSync || g_bResetStatsPending) return;
    if (errors > 0) ++g_BertStats.i64ErrorInSampleCount;
    if (percent >= kSeverelyErroredPercent) ++g_BertStats.i64SErrorInSampleCount;
}

}  // namespace

SyncTransition ClassifySample(int64_t now, bool patternInStep) {
    BertStats& stats = g_BertStats;
    const int64_t errors = stats.BitErrorCount - stats.PrevBitErrorCount;
    const int64_t bits = (stats.i64CheckedCharCount - stats.i64PrevCheckedCharCount) *
                         static_cast<int64_t>(g_uBitsPerChar);
    const int64_t erroredBefore = stats.i64ErrorInSampleCount;
    const int64_t severeBefore = stats.i64SErrorInSampleCount;
    SyncTransition transition = SyncTransition::None;
    if (bits > 0) {
        const int64_t percent = errors * 100 / bits;
        if (percent >= kLossOfSyncPercent)
            transition = DeclareLossOfSync(now);
        else if (percent <= kSyncPercent && patternInStep)
            transition = DeclareSync(now, FirstSyncAction::ResetStats);
        CountErroredSample(errors, percent);
    }
    // Time out of sync is severely errored, never merely errored.
    // (A loss in this sample has counted it already.)
    if (!g_bInSync && transition != SyncTransition::LossOfSync) ++stats.i64SErrorInSampleCount;
    if (!g_bResetStatsPending)
        BookSampleSeconds(now, stats.i64ErrorInSampleCount > erroredBefore,
                          stats.i64SErrorInSampleCount > severeBefore);
    return transition;
}

void TakeSampleSnapshots() {
    g_BertStats.PrevBitErrorCount = g_BertStats.BitErrorCount;
    g_BertStats.i64PrevCheckedCharCount = g_BertStats.i64CheckedCharCount;
}

void ResetSingleLinkStats(int64_t now) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    g_BertStats = BertStats{};
    g_BertStats.i64StartTicks = now;
    if (!g_bInSync) g_BertStats.i64LosStartTicks = now;
    // A closing report right after the reset must not show the old duration.
    g_i64ReportDurationUsecs = 0;
    g_bResetStatsPending = false;
}

void AccountSeconds(int64_t wholeSeconds) {
    BertStats& stats = g_BertStats;
    const int64_t newSeconds = wholeSeconds - stats.i64LastEvalSecs;
    if (newSeconds <= 0) return;
    // A second is one thing: severely errored outweighs errored.
    if (stats.i64SErrorInSampleCount > 0)
        stats.i64SeverlyErroredSecCount += newSeconds;
    else if (stats.i64ErrorInSampleCount > 0)
        stats.i64ErroredSecCount += newSeconds;
    stats.i64ErrorInSampleCount = 0;
    stats.i64SErrorInSampleCount = 0;
    stats.i64LastEvalSecs = wholeSeconds;
}
