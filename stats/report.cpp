#include "stats/report.h"

#include <algorithm>
#include <mutex>

#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "pattern/pattern.h"
#include "stats/bert_stats.h"
#include "stats/measures.h"

int64_t g_i64ReportDurationUsecs = 0;
int64_t g_i64NextReportTicks = 0;
int64_t g_i64PendingCardMsecs = 0;
int64_t g_i64CardAvailableSecs = 0;

namespace {

using LogFn = void (*)(unsigned level, const char* format, ...);

constexpr unsigned kReportLevel = 2;

void ClearHardwareSums() {
    g_i64ReportDurationUsecs = 0;
    g_i64CardAvailableSecs = 0;
    // Card time from before a reset belongs to no later duration.
    g_i64PendingCardMsecs = 0;
}

// The closing report adds nothing of the record: each record was counted,
// time and available seconds, when it arrived. It does take the card time of
// the records that got no report since the last one (out of sync), so that
// it covers the whole test.
int64_t HardwareDurationUsecs(bool isFinal, const CardBertRecord& record) {
    int64_t addedMsecs = g_i64PendingCardMsecs;
    if (!isFinal) {
        addedMsecs += record.msecs;
        g_i64CardAvailableSecs += record.as;
    }
    g_i64PendingCardMsecs = 0;
    g_i64ReportDurationUsecs += addedMsecs * 1000;
    return g_i64ReportDurationUsecs;
}

// The closing report too runs to now: the time since the last report (an
// outage, a hunt that never ended) belongs to the test.
int64_t SoftwareDurationUsecs(int64_t now) {
    g_i64ReportDurationUsecs = TicksToUsecs(now - g_BertStats.i64StartTicks);
    return g_i64ReportDurationUsecs;
}

void PrintDuration(LogFn out, int64_t durationUsecs, float durationF) {
    out(kReportLevel, "%s Duration(s)=%.3f\n", LogTimestamp(), durationF / 1000000.0f);
    GuiSend64(ZVBERT_ELAPSED_USECS, durationUsecs);
}

// Bits that waited in the driver's queue when the counts were reset are
// counted after it, so a short duration can show more bits than the line
// carried; what the port's own clock runs at is as fast as they came.
int64_t ReportedRate(const BertStats& stats, int64_t durationUsecs) {
    const int64_t rate = RateBitsPerSec(stats, durationUsecs);
    const TestSettings& s = g_Settings;
    if (s.bExternalClock || s.uClockRate == 0) return rate;
    return std::min<int64_t>(rate, s.uClockRate);
}

void PrintCounts(LogFn out, const BertStats& stats, int64_t durationUsecs) {
    const int64_t rate = ReportedRate(stats, durationUsecs);
    out(kReportLevel,
        "TxCount=%" PRId64 " RxCount=%" PRId64 " BlockCount=%" PRId64 " Rate=%" PRId64 "\n",
        stats.i64TxBitCount, stats.i64SRxBitCount, stats.i64SRxBlockCount, rate);
    GuiSend64(ZVBERT_TX_BITS, stats.i64TxBitCount);
    GuiSend64(ZVBERT_RX_BITS, stats.i64SRxBitCount);
    GuiSend64(ZVBERT_RX_BLOCKS, stats.i64SRxBlockCount);
    GuiSend64(ZVBERT_RATE, rate);
}

void PrintErrors(LogFn out, const BertStats& stats, int64_t availableSecs) {
    out(kReportLevel,
        "BitErr=%" PRId64 " BlockErr=%" PRId64 " ES(US)=%" PRId64 " SES=%" PRId64 " AS=%" PRId64
        " es=%" PRId64 " ses=%" PRId64 "\n",
        stats.i64SBitErrorCount, stats.i64SBlockErrorCount, stats.i64ErroredSecCount,
        stats.i64SeverlyErroredSecCount, availableSecs, stats.i64ErrorInSampleCount,
        stats.i64SErrorInSampleCount);
    // Before the first sync the counts are about to be reset.
    if (g_bFirstSyncPending) return;
    GuiSend64(ZVBERT_BIT_ERRORS, stats.i64SBitErrorCount);
    GuiSend64(ZVBERT_BLOCK_ERRORS, stats.i64SBlockErrorCount);
    GuiSend64(ZVBERT_ES, stats.i64ErroredSecCount);
    GuiSend64(ZVBERT_SES, stats.i64SeverlyErroredSecCount);
    GuiSend64(ZVBERT_AS, availableSecs);
    GuiSend64(ZVBERT_ERRORED_SAMPLES, stats.i64ErrorInSampleCount);
    GuiSend64(ZVBERT_SEVERELY_ERRORED_SAMPLES, stats.i64SErrorInSampleCount);
}

void PrintBerAndRatios(LogFn out, const BertStats& stats, int64_t availableSecs,
                       int64_t durationUsecs) {
    const float ber = static_cast<float>(BerPercent(stats, g_PatternSelection.uPatternLengthBits));
    out(kReportLevel, "BER=%.2f ", ber);
    const SecondRatios ratios = ComputeSecondRatios(stats, availableSecs, durationUsecs);
    if (ratios.bDefined)
        out(kReportLevel, "ESR=%.2f SESR=%.2f ASR=%.2f\n", ratios.dEsr, ratios.dSesr, ratios.dAsr);
    else
        out(kReportLevel, "\n");
}

void PrintLossOfSync(LogFn out, const BertStats& stats, int64_t now, int64_t durationUsecs) {
    out(kReportLevel, "->LOS=%" PRId64 " ->SYNC=%" PRId64 " ", stats.i64LosCount,
        stats.i64SyncCount);
    const float durationF = static_cast<float>(durationUsecs);
    // The card's duration is the sum of its own milliseconds, the loss time
    // is the host's clock: the two drift apart by the card's start-up and
    // record period, and no test loses sync for longer than it lasts.
    const int64_t losUsecs = std::min(LosTimeUsecs(stats, g_bInSync, now), durationUsecs);
    GuiSend64(ZVBERT_LOS_USECS, losUsecs);
    out(kReportLevel, "LOSR=%.2f\n", static_cast<float>(losUsecs * 100) / durationF);
    out(kReportLevel, "\n");
    GuiSend64(ZVBERT_LOS_COUNT, stats.i64LosCount);
    GuiSend64(ZVBERT_SYNC_COUNT, stats.i64SyncCount);
}

void PrintReport(LogFn out, int64_t now, int64_t durationUsecs, bool hardwareMode) {
    BertStats& stats = g_BertStats;
    const float durationF = static_cast<float>(durationUsecs);
    PrintDuration(out, durationUsecs, durationF);
    PrintCounts(out, stats, durationUsecs);
    const int64_t wholeSeconds = durationUsecs / kUsecsPerSec;
    int64_t availableSecs = g_i64CardAvailableSecs;
    if (!hardwareMode) {
        AccountSeconds(wholeSeconds);
        availableSecs = AvailableSecs(stats, wholeSeconds);
    }
    PrintErrors(out, stats, availableSecs);
    PrintBerAndRatios(out, stats, availableSecs, durationUsecs);
    PrintLossOfSync(out, stats, now, durationUsecs);
}

bool ReportWanted() {
    if (g_bShowStatsNow) return true;
    return !g_bResetStatsPending && (g_bInSync || g_Settings.bGuiLink);
}

}  // namespace

void OutputStats(int64_t now, bool isFinal, const CardBertRecord* cardRecord, bool resetOnly) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    if (resetOnly) {
        ClearHardwareSums();
        return;
    }
    const int64_t durationUsecs =
        cardRecord ? HardwareDurationUsecs(isFinal, *cardRecord) : SoftwareDurationUsecs(now);
    if (!isFinal && now < g_i64NextReportTicks) return;
    if (durationUsecs <= 0) return;
    // Right after the counts start the transmitter's queue has not turned
    // over yet and a buffer's worth of bits makes the whole duration: a
    // periodic report waits for a full period of the test.
    if (!isFinal && cardRecord == nullptr && durationUsecs < kReportPeriodMs * 1000) return;
    g_i64NextReportTicks = now + g_i64PerfTicksPerMs * kReportPeriodMs;
    PrintReport(isFinal ? &LogData : &LogPrint, now, durationUsecs, cardRecord != nullptr);
}

void AddPendingCardRecord(const CardBertRecord& record) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    g_i64PendingCardMsecs += record.msecs;
    g_i64CardAvailableSecs += record.as;
}

void ReportAfterSample(int64_t now, const CardBertRecord* cardRecord) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    if (ReportWanted()) {
        OutputStats(now, false, cardRecord, false);
        g_bShowStatsNow = false;
    } else if (cardRecord && !g_bInSync) {
        AddPendingCardRecord(*cardRecord);
    }
}

void ResetReportState() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    g_i64ReportDurationUsecs = 0;
    g_i64NextReportTicks = 0;
    g_i64PendingCardMsecs = 0;
    g_i64CardAvailableSecs = 0;
}
