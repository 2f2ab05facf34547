#include "stats/measures.h"

#include <algorithm>

int64_t RateBitsPerSec(const BertStats& stats, int64_t durationUsecs) {
    if (durationUsecs <= 0) return 0;
    // 128-bit product: at 100 Mbit/s the bit count times 10^6 passes 2^63
    // within a day.
    return static_cast<int64_t>(static_cast<__int128>(stats.i64RxBitCount) * kUsecsPerSec /
                                durationUsecs);
}

double BerPercent(const BertStats& stats, uint32_t blockLengthBits) {
    if (stats.i64SRxBitCount <= static_cast<int64_t>(blockLengthBits)) return 0.0;
    return static_cast<double>(stats.i64SBitErrorCount) * 100.0 /
           static_cast<double>(stats.i64SRxBitCount);
}

int64_t AvailableSecs(const BertStats& stats, int64_t wholeSeconds) {
    return std::max<int64_t>(
        0, wholeSeconds - stats.i64ErroredSecCount - stats.i64SeverlyErroredSecCount);
}

SecondRatios ComputeSecondRatios(const BertStats& stats, int64_t availableSecs,
                                 int64_t durationUsecs) {
    SecondRatios ratios;
    if (durationUsecs <= kUsecsPerSec) return ratios;
    const double seconds = static_cast<double>(durationUsecs / kUsecsPerSec);
    ratios.bDefined = true;
    ratios.dEsr = static_cast<double>(stats.i64ErroredSecCount) * 100.0 / seconds;
    ratios.dSesr = static_cast<double>(stats.i64SeverlyErroredSecCount) * 100.0 / seconds;
    ratios.dAsr = static_cast<double>(availableSecs) * 100.0 / seconds;
    return ratios;
}

int64_t LosTimeUsecs(const BertStats& stats, bool inSync, int64_t now) {
    // A record never set up has no open interval to measure from.
    if (inSync || stats.i64LosStartTicks == 0) return stats.i64LosUsecs;
    return stats.i64LosUsecs + TicksToUsecs(now - stats.i64LosStartTicks);
}
