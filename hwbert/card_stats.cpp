#include "hwbert/card_stats.h"

#include <algorithm>
#include <mutex>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "link/interface_record.h"
#include "log/log.h"
#include "stats/bert_stats.h"
#include "stats/report.h"

namespace {

constexpr uint32_t kMaxInjectPerRequest = 8;
// Offset of bertStatus: a shorter read says nothing about the card's state.
constexpr uint32_t kStatusCoveredLength = 2;
// The engine reports about once a second; a record claiming more than an hour
// is a damaged read, and taking it would throw the duration and every rate
// off for the rest of the test.
constexpr uint32_t kMaxRecordMsecs = 3600u * 1000u;

void LogRecord(const uint8_t* bytes, uint32_t length, const CardBertRecord& r) {
    LogPrint(5, "%s BERT stats (len=%u):\n", LogTimestamp(), length);
    if (length != kCardBertRecordSize)
        LogPrint(1, "%s Unexpected BERT stats length %u\n", LogTimestamp(), length);
    DumpHex(bytes, length);
    LogPrint(4, "bertStatus=%u\n", static_cast<unsigned>(r.bertStatus));
    LogPrint(4, "msecs=%u\n", r.msecs);
    LogPrint(4, "bit_count=%u\n", r.bit_count);
    LogPrint(4, "block_count=%u\n", r.block_count);
    LogPrint(4, "bit_errors=%u\n", r.bit_errors);
    LogPrint(4, "block_errors=%u\n", r.block_errors);
    LogPrint(4, "es=%u\n", r.es);
    LogPrint(4, "ses=%u\n", r.ses);
    LogPrint(4, "as=%u\n", r.as);
}

// The card counts in bits; the host record also keeps characters, and in
// hardware mode what was sent is what the card received.
void CountBits(const CardBertRecord& r, bool inSync) {
    BertStats& stats = g_BertStats;
    const int64_t bits = r.bit_count;
    const int64_t chars = bits / 8;
    stats.i64RxBitCount += bits;
    stats.i64RxByteCount += chars;
    stats.i64CheckedCharCount += chars;
    stats.i64TxByteCount = stats.i64RxByteCount;
    stats.i64TxBitCount = stats.i64RxBitCount;
    if (!inSync) return;
    stats.i64SRxByteCount += chars;
    stats.i64SRxBitCount += bits;
}

void CountErrors(const CardBertRecord& r, bool inSync,
                 std::unique_lock<platform::CriticalSection>& lock) {
    BertStats& stats = g_BertStats;
    stats.BitErrorCount += r.bit_errors;
    if (inSync && r.bit_errors > 0) {
        stats.i64SBitErrorCount += r.bit_errors;
        LogEvent(2, "+%u bit errors\n\n", r.bit_errors);
    }
    if (inSync) stats.i64SRxBlockCount += r.block_count;
    if (r.block_errors > 0) {
        stats.i64BlockErrorCount += r.block_errors;
        if (inSync) {
            stats.i64SBlockErrorCount += r.block_errors;
            LogEvent(2, "+%u block errors\n\n", r.block_errors);
            // Lets a waiting key or front-end message in between.
            lock.unlock();
            lock.lock();
        }
    }
    stats.i64ErroredSecCount += r.es;
    stats.i64SeverlyErroredSecCount += r.ses;
}

void FollowCardStatus(bool inSync, bool inverted, int64_t now, const CardStatusMemory& memory) {
    if (inSync && !memory.bInSync) {
        LogEvent(2, "In sync\n\n");
        // The card's first hunt, which includes the wait for its first
        // record, is not a loss of sync of the line: only returns to sync
        // close an interval.
        if (g_bFirstSyncPending) g_BertStats.i64LosStartTicks = 0;
        // The card counts from its own start: the first sync resets nothing.
        DeclareSync(now, FirstSyncAction::KeepStats);
        GuiSend8(ZVBERT_SYNC_STATE, 1);
    } else if (!inSync && memory.bInSync) {
        DeclareLossOfSync(now);
        LogEvent(1, "LOS\n\n");
        GuiSend8(ZVBERT_SYNC_STATE, 0);
    }
    if (inverted != memory.bInverted)
        GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_RX_INVERTED,
                 inverted ? SIGNAL_STATE_ON : SIGNAL_STATE_OFF);
}

}  // namespace

bool ProcessCardRecord(const uint8_t* bytes, uint32_t length, int64_t now, CardStatusMemory& memory,
                       CardBertRecord* decoded, bool* runEnded) {
    std::unique_lock<platform::CriticalSection> lock(g_csGlobal);
    *runEnded = false;
    length = std::min<uint32_t>(length, kCardBertRecordSize);
    CardBertRecord r;
    DecodeCardBertRecord(bytes, length, &r);
    LogRecord(bytes, length, r);
    if (length < kStatusCoveredLength) return false;
    if (r.msecs > kMaxRecordMsecs) {
        LogPrint(1, "BERT stats record skipped: msecs=%u is more than a record covers\n", r.msecs);
        return false;
    }
    *decoded = r;
    const bool inSync = CardRecordInSync(r);
    const bool inverted = CardRecordRxInverted(r);
    *runEnded = CardRecordRunEnded(r);

    CountBits(r, inSync);
    CountErrors(r, inSync, lock);
    FollowCardStatus(inSync, inverted, now, memory);
    ReportAfterSample(now, &r);
    TakeSampleSnapshots();
    memory.bInSync = inSync;
    memory.bInverted = inverted;
    if (g_bResetStatsPending) ResetCardStats(now, r);
    return true;
}

void ResetCardStats(int64_t now, const CardBertRecord& lastRecord) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    LogPrint(3, "%s Resetting stats\n", LogTimestamp());
    OutputStats(now, false, &lastRecord, true);
    g_LastInterfaceRecord = InterfaceRecord{};
    const card::PortHandle port = g_hPort.load();
    if (!DriverIoctl(port, IOCTL_RESET_STATS, nullptr, 0, nullptr, 0, nullptr))
        LogLastError(3, "ZorvanResetStats Failed : ");
    ResetSingleLinkStats(now);
    if (!DriverIoctl(port, IOCTL_RESET_BERT, nullptr, 0, nullptr, 0, nullptr))
        LogLastError(3, "ZorvanResetBERT Failed : ");
}

void InjectPendingErrors(bool cardInjects) {
    const uint32_t pending = g_uInjectErrors.load();
    if (pending == 0) return;
    const uint32_t n = std::min(pending, kMaxInjectPerRequest);
    if (cardInjects &&
        DriverIoctl(g_hPort.load(), IOCTL_INJECT_ERRORS, &n, sizeof n, nullptr, 0, nullptr))
        LogPrint(3, "%u errors injected\n", pending);
    else
        LogPrint(1, "Failed to inject errors\n");
    g_uInjectErrors -= n;
}
