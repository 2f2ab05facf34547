#include "stats/bert_stats.h"

#include <mutex>

#include "card/port_state.h"
#include "stats/report.h"

BertStats g_BertStats{};

SyncTransition DeclareLossOfSync(int64_t now) {
    if (!g_bInSync) return SyncTransition::None;
    g_bInSync = false;
    ++g_BertStats.i64LosCount;
    g_BertStats.i64LosStartTicks = now;
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

void CountErroredSample(int64_t errors, int64_t percent) {
    if (!g_bInSync || g_bResetStatsPending) return;
    if (errors > 0) ++g_BertStats.i64ErrorInSampleCount;
    if (percent >= kSeverelyErroredPercent) ++g_BertStats.i64SErrorInSampleCount;
}

}  // namespace

SyncTransition ClassifySample(int64_t now) {
    BertStats& stats = g_BertStats;
    const int64_t errors = stats.BitErrorCount - stats.PrevBitErrorCount;
    const int64_t bits =
        (stats.i64CheckedCharCount - stats.i64PrevCheckedCharCount) * static_cast<int64_t>(g_uBitsPerChar);
    SyncTransition transition = SyncTransition::None;
    if (bits > 0) {
        const int64_t percent = errors * 100 / bits;
        if (percent >= kLossOfSyncPercent)
            transition = DeclareLossOfSync(now);
        else if (percent <= kSyncPercent)
            transition = DeclareSync(now, FirstSyncAction::ResetStats);
        CountErroredSample(errors, percent);
    }
    // Time out of sync is severely errored, never merely errored.
    if (!g_bInSync) ++stats.i64SErrorInSampleCount;
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
    if (stats.i64ErrorInSampleCount > 0) stats.i64ErroredSecCount += newSeconds;
    if (stats.i64SErrorInSampleCount > 0) stats.i64SeverlyErroredSecCount += newSeconds;
    stats.i64ErrorInSampleCount = 0;
    stats.i64SErrorInSampleCount = 0;
    stats.i64LastEvalSecs = wholeSeconds;
}
