// Statistics of the round-trip delay test: each pair of card time stamps (a
// frame's departure and its return) becomes one delay, kept as the last,
// smallest and largest, a running sum of the last ten and a histogram, and
// printed and sent to the front end. Every operation takes one lock, so the
// histogram is never walked while it grows.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>

#include "card/records.h"

// The header of a framed-mode record: the card's time stamp of a frame's
// departure (a transmit record) or its arrival.
using RtdRecordHeader = ReceiveRecordHeader;

constexpr int RTD_KIND_TRANSMIT = 1;
constexpr int RTD_KIND_RETURNED = 2;
constexpr int RTD_KIND_LOST = 3;

constexpr unsigned kRtdTrendSlots = 10;
constexpr uint32_t kRtdNoMinimum = 0xFFFFFFFFu;

struct RtdStats {
    int64_t i64TxPackets = 0;
    int64_t i64RxPackets = 0;
    int64_t i64LostPackets = 0;
    int64_t i64LatePackets = 0;  // survives a reset
    uint32_t RTDStart = 0;       // 0: no transmit stamp yet
    uint32_t RTDEnd = 0;         // 0: no return stamp yet
    uint32_t dwLastRtd = 0;
    uint32_t dwMinRtd = kRtdNoMinimum;
    uint32_t dwMaxRtd = 0;
    std::array<uint32_t, kRtdTrendSlots> adwTrend{};  // survives a reset
    unsigned uTrendPosition = 0;
    bool bTrendValid = false;
    uint32_t TrendTime = 0;                  // sum of the ring, modulo 2^32
    unsigned uTrendFilled = 0;               // ring slots that ever held a delay; survives a reset
    std::map<uint32_t, uint32_t> histogram;  // delay -> how often
    std::map<uint32_t, uint32_t> reported;   // delay -> count last sent
};

// Sequence number of the frame in flight; 1 after a reset, wraps at 256.
extern std::atomic<uint8_t> seqNo;

void ResetRtdStats();
// kind: RTD_KIND_TRANSMIT or RTD_KIND_RETURNED with the record's header,
// RTD_KIND_LOST with none.
void UpdateRTDStats(const RtdRecordHeader* record, int kind);
void OutputRTDStats();

// The counters the round-trip delay thread keeps; each returns the new count.
int64_t CountRtdSent();
int64_t CountRtdReturned();
int64_t CountRtdLost();
int64_t CountRtdLate();
// A frame still in flight when the test ended is neither back nor lost.
void UncountRtdSent();

// The trend the summary shows: the mean of the delays the ring holds.
double RtdTrendMean(const RtdStats& st);

// A copy taken under the lock.
RtdStats RtdStatsSnapshot();
// Everything back as at program start (tests).
void ForgetRtdStats();
