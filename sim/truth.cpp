#include "sim/truth.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace sim {
namespace {

// A period index a test of any length reaches; a time stamp far outside
// it is a caller's mistake, not a reason to allocate gigabytes.
constexpr int64_t kMaxPeriods = 10 * 24 * 36000;

}  // namespace

void TruthRecord::Start(int64_t originNs) {
    started_ = true;
    originNs_ = originNs;
    periods_.clear();
}

TruthPeriod* TruthRecord::At(int64_t atNs) {
    if (!started_ || atNs < originNs_) return nullptr;
    const int64_t index = (atNs - originNs_) / kTruthPeriodNs;
    if (index >= kMaxPeriods) return nullptr;
    if (size_t(index) >= periods_.size()) periods_.resize(size_t(index) + 1);
    return &periods_[size_t(index)];
}

void TruthRecord::Delivered(int64_t startNs, int64_t endNs, uint64_t bits, bool inverted) {
    if (!started_ || bits == 0) return;
    startNs = std::max(startNs, originNs_);
    if (endNs <= startNs) {
        if (TruthPeriod* period = At(endNs)) {
            period->bitsDelivered += bits;
            if (inverted) period->bitsInverted += bits;
        }
        return;
    }
    // Each period takes its share of the bits; the rounding goes to the last.
    const __int128 span = endNs - startNs;
    uint64_t given = 0;
    for (int64_t from = startNs; from < endNs;) {
        const int64_t periodEnd =
            originNs_ + ((from - originNs_) / kTruthPeriodNs + 1) * kTruthPeriodNs;
        const int64_t to = std::min(endNs, periodEnd);
        const uint64_t upTo = uint64_t(__int128(bits) * (to - startNs) / span);
        TruthPeriod* period = At(from);
        if (period == nullptr) return;
        period->bitsDelivered += upTo - given;
        if (inverted) period->bitsInverted += upTo - given;
        period->coveredNs += to - from;
        given = upTo;
        from = to;
    }
}

void TruthRecord::Flipped(int64_t atNs, uint64_t bits) {
    if (TruthPeriod* period = At(atNs)) period->bitsFlipped += bits;
}

void TruthRecord::Slipped(int64_t atNs, uint64_t bits) {
    if (TruthPeriod* period = At(atNs)) period->bitsSlipped += bits;
}

size_t TruthRecord::PeriodsBy(int64_t nowNs) const {
    size_t begun = 0;
    if (started_ && nowNs >= originNs_)
        begun = size_t(std::min<int64_t>((nowNs - originNs_) / kTruthPeriodNs + 1, kMaxPeriods));
    return std::max(begun, periods_.size());
}

uint32_t TruthRecord::SilentMs(size_t index, int64_t nowNs) const {
    const int64_t periodStart = originNs_ + int64_t(index) * kTruthPeriodNs;
    const int64_t elapsed = std::clamp<int64_t>(nowNs - periodStart, 0, kTruthPeriodNs);
    const int64_t covered = index < periods_.size() ? periods_[index].coveredNs : 0;
    return uint32_t(std::max<int64_t>(elapsed - covered, 0) / 1000000);
}

namespace {

std::string FormatPeriods(const char* header, const TruthRecord& truth, int64_t nowNs) {
    const auto& periods = truth.periods();
    const size_t count = truth.PeriodsBy(nowNs);
    std::string text = header;
    char line[160];
    std::snprintf(line, sizeof line, " periods %zu\n", count);
    text += line;
    const TruthPeriod none;
    for (size_t i = 0; i < count; ++i) {
        const TruthPeriod& p = i < periods.size() ? periods[i] : none;
        std::snprintf(line, sizeof line, "%zu %" PRIu64 " %" PRIu64 " %u %" PRIu64 " %" PRIu64 "\n",
                      i, p.bitsDelivered, p.bitsFlipped, truth.SilentMs(i, nowNs), p.bitsSlipped,
                      p.bitsInverted);
        text += line;
    }
    return text;
}

}  // namespace

std::string FormatTruth(unsigned card, unsigned port, const TruthRecord& truth, int64_t nowNs) {
    if (!truth.started()) return {};
    char header[64];
    std::snprintf(header, sizeof header, "port %u %u", card, port);
    return FormatPeriods(header, truth, nowNs);
}

std::string FormatAddressTruth(unsigned card, unsigned port, unsigned address,
                               const TruthRecord& truth, int64_t nowNs) {
    if (!truth.started()) return {};
    char header[64];
    std::snprintf(header, sizeof header, "port %u %u address %u", card, port, address);
    return FormatPeriods(header, truth, nowNs);
}

}  // namespace sim
