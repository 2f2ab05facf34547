// The statistics record of a BER measurement: raw counts only; every figure
// a report shows is derived from them.
#pragma once

#include <cstdint>

#include "core/run_state.h"

struct BertStats {
    int64_t i64StartTicks;
    int64_t i64TxByteCount;
    int64_t i64TxBitCount;
    int64_t i64RxByteCount;
    int64_t i64RxBitCount;
    int64_t PrevBitErrorCount;
    int64_t BitErrorCount;
    int64_t i64BlockErrorCount;
    int64_t i64CheckedCharCount;
    int64_t i64PrevCheckedCharCount;
    int64_t i64ErroredSecCount;
    int64_t i64SeverlyErroredSecCount;
    int64_t i64LosCount;
    int64_t i64SyncCount;
    int64_t i64SRxByteCount;
    int64_t i64SRxBitCount;
    int64_t i64SRxBlockCount;
    int64_t i64SBitErrorCount;
    int64_t i64SBlockErrorCount;
    int64_t i64ErrorInSampleCount;
    int64_t i64SErrorInSampleCount;
    int64_t i64LosStartTicks;
    int64_t i64LosUsecs;
    int64_t i64LastEvalSecs;
    int64_t BadBitsInCurrentBlock;
    int64_t i64SlaveElapsedUsecs;
    int64_t i64PrevSlaveElapsedUsecs;
    int64_t i64RxInvertUsecs;
    int64_t i64TxInvertUsecs;
    int64_t i64AvailableUsecs;
    int64_t i64NoDataUsecs;
};

// The single-link record, written under g_csGlobal.
extern BertStats g_BertStats;

// How the single link's sync state changed in one step.
enum class SyncTransition {
    None,          // state unchanged
    LossOfSync,    // in sync -> out of sync, counted in i64LosCount
    FirstSync,     // the test's first sync, counted nowhere
    ReturnToSync,  // a later return to sync, counted in i64SyncCount
};

// What the first sync of a test does to the record: the software path starts
// its measurement there, the card's engine keeps counting from its own start.
enum class FirstSyncAction { ResetStats, KeepStats };

// Sample thresholds, in per cent of the bits checked in one sample.
constexpr int64_t kLossOfSyncPercent = 50;
constexpr int64_t kSyncPercent = 10;
constexpr int64_t kSeverelyErroredPercent = 30;

// The helpers below change g_BertStats and its companions; the caller holds
// g_csGlobal (they are steps of a larger update made under it).

// Out of sync at now, the loss-of-sync time counting from since (a silent
// line: its last data); None when already out of sync.
SyncTransition DeclareLossOfSync(int64_t now, int64_t since);
inline SyncTransition DeclareLossOfSync(int64_t now) { return DeclareLossOfSync(now, now); }

// In sync at now; None when already in sync. The loss-of-sync interval that
// ends here is added to i64LosUsecs.
SyncTransition DeclareSync(int64_t now, FirstSyncAction firstSyncAction);

// One software-mode sample: the errors and characters since the previous
// snapshots decide the sync state (bits per character from the port), then
// the errored and severely errored sample counts are kept. A sample with no
// checked character is not classified; the caller's no-data rule
// (DeclareLossOfSync) stands in for it. The caller takes the snapshots with
// TakeSampleSnapshots once it is done with the sample. Without
// patternInStep (the checker's last bytes did not follow the pattern) the
// sample finds no sync, however few its errors: they were diluted by the
// good bytes before a fault the checker is still in.
SyncTransition ClassifySample(int64_t now, bool patternInStep = true);

// Ends a sample: the next one measures from here.
void TakeSampleSnapshots();

// Zeroes the single-link record and restarts its period at now; out of sync
// the loss-of-sync time also counts from now. Clears g_bResetStatsPending;
// keeps the sync flags. Takes g_csGlobal itself.
void ResetSingleLinkStats(int64_t now);

// Software mode: turns the samples counted since the last accounting into
// errored or severely errored seconds, every whole second up to
// wholeSeconds counting once. Each sample also books the seconds it closes.
void AccountSeconds(int64_t wholeSeconds);
