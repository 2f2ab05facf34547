// What a line does to the bits it carries: random errors, error bursts,
// inversion, a bit slip, an outage and a delay (config.h lists the keys).
//
// The stage sees the line as a stream of characters of bitsPerChar line bits
// each, of which dataBits travel in the character's byte (all 8 on a
// synchronous line; start, parity and stop bits besides on an asynchronous
// one). Errors fall on line bits; one that falls on a framing bit has nothing
// to flip and is only counted. Random errors cost one draw each: the gap to
// the next error is drawn from the geometric distribution of the rate.
//
// Every flip is counted, so the counters say exactly how many data bits
// arrived wrong. Not thread-safe: the line's owner serialises the calls.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "sim/config.h"
#include "sim/framed.h"
#include "sim/truth.h"

namespace sim {

struct LineChunk {
    std::vector<uint8_t> data;
    bool frame = false;       // one whole frame (framed mode), else a run of characters
    uint8_t bitsPerChar = 8;  // line bits of each character
    uint8_t dataBits = 8;     // of which carried in its byte
    bool parity = false;      // asynchronous: a parity bit follows the data bits
    int64_t startNs = 0;      // first bit onto the line
    int64_t endNs = 0;        // last bit onto the line
    int64_t arrivalNs = 0;    // last bit at the receiver; endNs unless delayed
    // What a receiver's checks find in what arrived (the stage fills them):
    uint32_t framingErrors = 0;  // characters with a wrong start or stop bit
    uint32_t parityErrors = 0;   // characters whose parity no longer holds
    bool corrupted = false;      // a frame with a wrong bit fails its check sequence
    // A frame whose bits went through an odd number of inverters (a sender's,
    // the line's, a receiver's): its flags and check sequence are found only
    // by a receiver that inverts it back.
    bool inverted = false;
};

struct LineStats {
    uint64_t bitsCarried = 0;     // line bits that arrived (outages and slips aside)
    uint64_t bitsFlipped = 0;     // data bits that arrived complemented by an error
    uint64_t framingBitsHit = 0;  // errors on start, parity or stop bits
    uint64_t bitsLost = 0;        // line bits sent into an outage
    uint64_t bitsInserted = 0;    // by a slip
    uint64_t bitsDropped = 0;     // by a slip
    uint64_t bitsUnsent = 0;      // a shared line without a far end that listens
    uint64_t framesLost = 0;      // frames the line lost outright
};

class ImpairmentStage {
   public:
    ImpairmentStage() { Configure(ImpairmentConfig(), 0, 0); }

    // New settings whose times count from originNs. The random errors restart
    // from seed and salt, which tells apart lines configured with one seed.
    void Configure(const ImpairmentConfig& settings, int64_t originNs, uint64_t salt);
    // The random errors restart from the same seed with another salt.
    void Reseed(uint64_t salt);
    const ImpairmentConfig& settings() const { return settings_; }

    // What arrives of a chunk; false when nothing does.
    bool Apply(LineChunk& chunk);
    // False while an outage stops the clock.
    bool CarrierPresent(int64_t nowNs) const;

    const LineStats& stats() const { return stats_; }
    void ResetStats() { stats_ = LineStats(); }
    // What arrived when, from the port's start (StartTruth) on; settings
    // changed later do not restart it.
    void StartTruth(int64_t originNs) { truth_.Start(originNs); }
    const TruthRecord& truth() const { return truth_; }

   private:
    // The parts of a chunk's line time whose bits arrived: before and after an outage.
    struct ArrivalSpans {
        int64_t startNs[2] = {0, 0};
        int64_t endNs[2] = {0, 0};
        int64_t Length() const { return endNs[0] - startNs[0] + endNs[1] - startNs[1]; }
        int64_t TimeAt(int64_t offsetNs) const;
    };
    bool CutOutage(LineChunk& chunk, ArrivalSpans* spans);
    void BookTruth(const LineChunk& chunk, const ArrivalSpans& spans);
    void Slip(LineChunk& chunk);
    void Realign(const uint8_t* in, size_t count, unsigned dataBits, std::vector<uint8_t>& out);
    void HoldBits(uint32_t value, unsigned count, unsigned dataBits, std::vector<uint8_t>& out);
    void FlipErrors(LineChunk& chunk);
    void JudgeCharacters(LineChunk& chunk);
    void CollectRandom(uint64_t end, std::vector<uint64_t>& at);
    void CollectBursts(const LineChunk& chunk, uint64_t first, uint64_t end,
                       std::vector<uint64_t>& at);
    uint64_t DrawGap();

    ImpairmentConfig settings_;
    int64_t originNs_ = 0;
    std::mt19937_64 random_;
    double logKeep_ = 0;  // log(1 - rate), < 0 while errors are on

    uint64_t lineBit_ = 0;  // line bits through the error process since Configure
    uint64_t nextErrorBit_ = UINT64_MAX;
    int64_t nextBurstNs_ = INT64_MAX;
    uint64_t burstLeft_ = 0;  // bits of a burst that run into the next chunk

    bool slipDue_ = false;
    // After a slip the characters are cut anew from the bit stream: bits of
    // the next character held back, and bits still to drop.
    bool realigning_ = false;
    uint32_t held_ = 0;
    unsigned heldCount_ = 0;
    uint64_t dropLeft_ = 0;

    FrameLoss frameLoss_;
    std::vector<uint64_t> errorBits_;  // scratch: line bits hit in the chunk at hand
    // Scratch, per character of an asynchronous chunk: bit 0 the parity
    // changed, bit 1 a start or stop bit was hit.
    std::vector<uint8_t> charMarks_;
    LineStats stats_;
    TruthRecord truth_;
    std::vector<uint64_t> flippedAt_;  // scratch: offsets in the chunk of the data bits flipped
    int64_t slipAtNs_ = 0;             // line time of the slip, once it is due
};

}  // namespace sim
