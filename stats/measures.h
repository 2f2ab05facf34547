// Figures derived from a BertStats record; the record itself holds raw counts.
#pragma once

#include <cstdint>

#include "stats/bert_stats.h"

constexpr int64_t kUsecsPerSec = 1000000;

// Received bits per second over the duration; 0 for a duration of 0 or less.
int64_t RateBitsPerSec(const BertStats& stats, int64_t durationUsecs);

// Bit error ratio in per cent of the bits received in sync; 0 until more than
// one block has been received in sync.
double BerPercent(const BertStats& stats, uint32_t blockLengthBits);

// Available seconds of the software mode: the whole seconds that were neither
// errored nor severely errored, never negative.
int64_t AvailableSecs(const BertStats& stats, int64_t wholeSeconds);

// ESR, SESR and ASR in per cent of the whole seconds; defined only once the
// duration passes one second.
struct SecondRatios {
    bool bDefined = false;
    double dEsr = 0;
    double dSesr = 0;
    double dAsr = 0;
};
SecondRatios ComputeSecondRatios(const BertStats& stats, int64_t availableSecs,
                                 int64_t durationUsecs);

// Loss-of-sync time: the closed intervals plus, while out of sync, the open
// one up to now.
int64_t LosTimeUsecs(const BertStats& stats, bool inSync, int64_t now);
