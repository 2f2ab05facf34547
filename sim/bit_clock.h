// The pace of a line: how many bit times have passed since the line started
// at its rate, always recomputed from the start time so that rounding neither
// stalls nor speeds the stream, and when a given bit time began.
#pragma once

#include <algorithm>
#include <cstdint>

namespace sim {

class BitClock {
   public:
    static constexpr uint64_t kMaxRate = 100000000;  // faster asks are carried at this rate
    static constexpr int64_t kNsPerSecond = 1000000000;

    void Start(int64_t nowNs, uint64_t rate) {
        startNs_ = nowNs;
        rate_ = std::min(rate, kMaxRate);
    }

    uint64_t rate() const { return rate_; }
    int64_t startNs() const { return startNs_; }

    // Bit times completed between the start and nowNs; 0 at a rate of 0.
    uint64_t BitsBy(int64_t nowNs) const {
        if (rate_ == 0 || nowNs <= startNs_) return 0;
        uint64_t elapsed = uint64_t(nowNs - startNs_);
        return elapsed / kNsPerSecond * rate_ + elapsed % kNsPerSecond * rate_ / kNsPerSecond;
    }

    // When bit time number bit began.
    int64_t TimeOfBit(uint64_t bit) const {
        if (rate_ == 0) return startNs_;
        return startNs_ + int64_t(bit / rate_ * kNsPerSecond + bit % rate_ * kNsPerSecond / rate_);
    }

   private:
    int64_t startNs_ = 0;
    uint64_t rate_ = 0;
};

}  // namespace sim
