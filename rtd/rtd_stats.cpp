#include "rtd/rtd_stats.h"

#include <cinttypes>
#include <mutex>

#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "stats/stats_update.h"

std::atomic<uint8_t> seqNo{1};

namespace {

std::mutex g_RtdLock;
RtdStats g_RtdStats;

// The frame's own time on the line: 8 bits a byte and 55 bits of framing, in
// ms. A clock rate of 0 gives no time to take off rather than a division by 0.
uint32_t LineTimeMs(uint32_t length, uint32_t rate) {
    if (rate == 0) return 0;
    return (length * 8000u + 55000u) / rate;
}

void ClearPair(RtdStats& st) { st.RTDStart = st.RTDEnd = 0; }

void CountDelay(RtdStats& st, uint32_t delay) {
    auto found = st.histogram.find(delay);
    if (found != st.histogram.end()) {
        ++found->second;
        LogPrint(4, "UpdateRTDStats, Key %lu, Value %lu\n", static_cast<unsigned long>(delay),
                 static_cast<unsigned long>(found->second));
        return;
    }
    st.histogram[delay] = 1;
    st.reported[delay] = 0;
    LogPrint(4, "UpdateRTDStats, Adding Key %lu\n", static_cast<unsigned long>(delay));
}

void AddToTrend(RtdStats& st, uint32_t delay) {
    st.adwTrend[st.uTrendPosition] = delay;
    if (st.uTrendFilled < kRtdTrendSlots) ++st.uTrendFilled;
    if (++st.uTrendPosition == kRtdTrendSlots) {
        st.uTrendPosition = 0;
        st.bTrendValid = true;
    }
    uint32_t sum = 0;
    for (uint32_t slot : st.adwTrend) sum += slot;
    st.TrendTime = sum;
}

void TakeDelay(RtdStats& st, uint32_t delay) {
    st.dwLastRtd = delay;
    CountDelay(st, delay);
    AddToTrend(st, delay);
    if (delay > st.dwMaxRtd) st.dwMaxRtd = delay;
    if (delay < st.dwMinRtd) st.dwMinRtd = delay;
    LogPrint(4, "UpdateRTDStats, TrendTime %d, Max %d, Min %d\n", static_cast<int>(st.TrendTime),
             static_cast<int>(st.dwMaxRtd), static_cast<int>(st.dwMinRtd));
}

void PairStamps(RtdStats& st, uint32_t length) {
    LogPrint(3, "UpdateRTDStats, RTDStart %x, RTDEnd %x", st.RTDStart, st.RTDEnd);
    const uint32_t adjust = LineTimeMs(length, g_Settings.uClockRate);
    LogPrint(3, "UpdateRTDStats, adjust %d ", static_cast<int>(adjust));
    const uint32_t rtdTime = st.RTDEnd - st.RTDStart;
    LogPrint(3, "UpdateRTDStats, RTDTime %d ", static_cast<int>(rtdTime));
    const auto delay = static_cast<int32_t>(rtdTime - adjust);
    LogPrint(3, "UpdateRTDStats, adjusted RTDTime %d ", delay);
    if (delay < 0) {
        LogPrint(1, "UpdateRTDStats, RTD was negative! %d\n", delay);
    } else {
        TakeDelay(st, static_cast<uint32_t>(delay));
    }
    ClearPair(st);
}

void SendHistogramChanges(RtdStats& st) {
    for (const auto& [delay, count] : st.histogram) {
        LogPrint(4, "OutputRTDStats, time %lu, count %lu\n", static_cast<unsigned long>(delay),
                 static_cast<unsigned long>(count));
        uint32_t& sent = st.reported[delay];
        if (sent == count) continue;
        sent = count;
        GuiSend32Pair(ZVBERT_RTD_HISTOGRAM, delay, count);
    }
}

int64_t Increment(int64_t RtdStats::*counter) {
    std::lock_guard<std::mutex> lock(g_RtdLock);
    return ++(g_RtdStats.*counter);
}

}  // namespace

void ResetRtdStats() {
    {
        std::lock_guard<std::mutex> lock(g_RtdLock);
        RtdStats& st = g_RtdStats;
        st.i64TxPackets = st.i64RxPackets = st.i64LostPackets = 0;
        st.dwLastRtd = st.dwMaxRtd = 0;
        st.dwMinRtd = kRtdNoMinimum;
        st.uTrendPosition = 0;
        st.bTrendValid = false;
        st.histogram.clear();
        st.reported.clear();
        seqNo = 1;
    }
    RestartStatsUpdatePeriod();
}

void UpdateRTDStats(const RtdRecordHeader* record, int kind) {
    std::lock_guard<std::mutex> lock(g_RtdLock);
    RtdStats& st = g_RtdStats;
    if (kind == RTD_KIND_LOST || record == nullptr) {
        ClearPair(st);
        return;
    }
    if (kind == RTD_KIND_TRANSMIT) {
        st.RTDStart = record->timestamp;
        LogPrint(3, "UpdateRTDStats, RTDStart %x, seq %d", st.RTDStart, int{seqNo.load()});
    } else {
        st.RTDEnd = record->timestamp;
        LogPrint(3, "UpdateRTDStats, RTDEnd %x, seq %d", st.RTDEnd, int{seqNo.load()});
    }
    if (st.RTDStart == 0 || st.RTDEnd == 0) return;
    PairStamps(st, record->length);
}

void OutputRTDStats() {
    std::lock_guard<std::mutex> lock(g_RtdLock);
    RtdStats& st = g_RtdStats;
    const int64_t elapsed = g_i64MainElapsedUsecs;
    LogPrint(4, "OutputRTDStats, elapsed %" PRId64 "\n", elapsed);
    const unsigned long minimum = st.dwMinRtd == kRtdNoMinimum ? 0 : st.dwMinRtd;
    const char* format = "tx %" PRId64 ", rx %" PRId64 ", lost %" PRId64 ", late %" PRId64
                         ", last %lu, min %lu, max %lu, trend %.3f\n";
    const double trend = RtdTrendMean(st);
    LogPrint(2, format, st.i64TxPackets, st.i64RxPackets, st.i64LostPackets, st.i64LatePackets,
             static_cast<unsigned long>(st.dwLastRtd), minimum,
             static_cast<unsigned long>(st.dwMaxRtd), trend);
    LogEvent(2, format, st.i64TxPackets, st.i64RxPackets, st.i64LostPackets, st.i64LatePackets,
             static_cast<unsigned long>(st.dwLastRtd), minimum,
             static_cast<unsigned long>(st.dwMaxRtd), trend);
    SendHistogramChanges(st);
    GuiSend32(ZVBERT_RTD_LAST, st.dwLastRtd);
    GuiSend64(ZVBERT_RTD_RX, st.i64RxPackets);
    GuiSend64(ZVBERT_RTD_LOST, st.i64LostPackets);
    GuiSend64(ZVBERT_RTD_TX, st.i64TxPackets);
    GuiSend64(ZVBERT_RTD_LATE, st.i64LatePackets);
    GuiSend32(ZVBERT_RTD_MIN, static_cast<uint32_t>(minimum));
    GuiSend32(ZVBERT_RTD_MAX, st.dwMaxRtd);
    if (st.bTrendValid) GuiSend32(ZVBERT_RTD_TREND, st.TrendTime);
    GuiSend64(ZVBERT_ELAPSED_USECS, elapsed);
}

int64_t CountRtdSent() { return Increment(&RtdStats::i64TxPackets); }
int64_t CountRtdReturned() { return Increment(&RtdStats::i64RxPackets); }
int64_t CountRtdLost() { return Increment(&RtdStats::i64LostPackets); }
int64_t CountRtdLate() { return Increment(&RtdStats::i64LatePackets); }

void UncountRtdSent() {
    std::lock_guard<std::mutex> lock(g_RtdLock);
    if (g_RtdStats.i64TxPackets > 0) --g_RtdStats.i64TxPackets;
}

// Slots never filled hold no delay: counted as zeros they would pull the
// mean down until ten delays are in.
double RtdTrendMean(const RtdStats& st) {
    if (st.uTrendFilled == 0) return 0.0;
    return double(st.TrendTime) / double(st.uTrendFilled);
}

RtdStats RtdStatsSnapshot() {
    std::lock_guard<std::mutex> lock(g_RtdLock);
    return g_RtdStats;
}

void ForgetRtdStats() {
    std::lock_guard<std::mutex> lock(g_RtdLock);
    g_RtdStats = RtdStats();
    seqNo = 1;
}
