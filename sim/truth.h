// What a line really did to the bits a port received, per 100 ms of the
// receiving port's line time: the ground truth a test compares a tester's
// figures with.
//
// Each period holds the line bits that arrived, the data bits that arrived
// complemented by an error, the bits inserted or dropped by a slip, the
// milliseconds in which nothing arrived (an outage, a far end that stopped
// or went away, a transmitter that did not send), and the bits that arrived
// while the line inverted every bit. Times are arrival times, so a delayed
// line books its bits where the receiver got them. Not thread-safe: the
// line's owner serialises the calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr int64_t kTruthPeriodNs = 100 * 1000000;

struct TruthPeriod {
    uint64_t bitsDelivered = 0;
    uint64_t bitsFlipped = 0;
    uint64_t bitsSlipped = 0;
    uint64_t bitsInverted = 0;
    int64_t coveredNs = 0;  // of the period, time in which bits arrived
};

class TruthRecord {
   public:
    // Periods count from originNs, the port's start; whatever came before is forgotten.
    void Start(int64_t originNs);
    bool started() const { return started_; }

    // Bits that arrived spread evenly over [startNs, endNs).
    void Delivered(int64_t startNs, int64_t endNs, uint64_t bits, bool inverted);
    void Flipped(int64_t atNs, uint64_t bits = 1);
    void Slipped(int64_t atNs, uint64_t bits);

    // Periods with something booked; PeriodsBy counts every period begun by nowNs.
    const std::vector<TruthPeriod>& periods() const { return periods_; }
    size_t PeriodsBy(int64_t nowNs) const;
    // Milliseconds of period index without arrivals, counting only the part
    // of it that lies before nowNs.
    uint32_t SilentMs(size_t index, int64_t nowNs) const;

   private:
    TruthPeriod* At(int64_t atNs);

    bool started_ = false;
    int64_t originNs_ = 0;
    std::vector<TruthPeriod> periods_;
};

// The record as the truth file holds it: a line "port C P periods N" and one
// line "I delivered flipped silent_ms slipped inverted" per period.
std::string FormatTruth(unsigned card, unsigned port, const TruthRecord& truth, int64_t nowNs);
// The record of the frames of one station address a port received on a
// multi-drop line: "port C P address A periods N", then the periods.
std::string FormatAddressTruth(unsigned card, unsigned port, unsigned address,
                               const TruthRecord& truth, int64_t nowNs);

}  // namespace sim
