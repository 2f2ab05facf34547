#include "sim/impairment.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr uint64_t kLongestGap = uint64_t(1) << 60;

uint32_t LowBits(unsigned count) { return count >= 32 ? 0xFFFFFFFFu : (1u << count) - 1; }

int64_t TimeAfter(int64_t originNs, uint32_t ms) { return originNs + int64_t(ms) * kNsPerMs; }

// Index of the first of count evenly spaced items of [startNs, endNs) that
// begins at atNs or later.
size_t IndexAt(int64_t startNs, int64_t endNs, size_t count, int64_t atNs) {
    if (atNs <= startNs) return 0;
    if (atNs >= endNs) return count;
    __int128 span = endNs - startNs;
    __int128 scaled = __int128(atNs - startNs) * __int128(count);
    return size_t(std::min<__int128>((scaled + span - 1) / span, count));
}

}  // namespace

void ImpairmentStage::Configure(const ImpairmentConfig& settings, int64_t originNs, uint64_t salt) {
    settings_ = settings;
    originNs_ = originNs;
    double rate = settings.bitErrorRate;
    logKeep_ = rate <= 0 ? 0 : rate >= 1 ? -INFINITY : std::log1p(-rate);
    Reseed(salt);
    nextBurstNs_ = INT64_MAX;
    if (settings.burstEveryMs > 0 && settings.burstBits > 0)
        nextBurstNs_ = TimeAfter(originNs, settings.burstEveryMs);
    burstLeft_ = 0;
    slipDue_ = settings.slipBits != 0;
}

void ImpairmentStage::Reseed(uint64_t salt) {
    const uint64_t seed = settings_.seed;
    std::seed_seq sequence{uint32_t(seed), uint32_t(seed >> 32), uint32_t(salt),
                           uint32_t(salt >> 32)};
    random_.seed(sequence);
    frameLoss_.Configure(settings_.frameLoss, seed, salt);
    nextErrorBit_ = logKeep_ < 0 ? lineBit_ + DrawGap() : UINT64_MAX;
}

// Error-free bits before the next error: floor(log(u) / log(1 - rate)) for
// u uniform in (0, 1], built from the generator's bits so that a seed gives
// the same errors wherever the program runs.
uint64_t ImpairmentStage::DrawGap() {
    double u = double((random_() >> 11) + 1) * 0x1.0p-53;
    double gap = std::floor(std::log(u) / logKeep_);
    if (!(gap < double(kLongestGap))) return kLongestGap;
    return gap > 0 ? uint64_t(gap) : 0;
}

bool ImpairmentStage::CarrierPresent(int64_t nowNs) const {
    if (settings_.outageMs == 0) return true;
    int64_t from = TimeAfter(originNs_, settings_.outageAfterMs);
    return nowNs < from || nowNs >= TimeAfter(from, settings_.outageMs);
}

bool ImpairmentStage::Apply(LineChunk& chunk) {
    if (chunk.frame || chunk.dataBits == 0 || chunk.dataBits > 8) chunk.dataBits = 8;
    if (chunk.frame || chunk.bitsPerChar < chunk.dataBits) chunk.bitsPerChar = chunk.dataBits;
    ArrivalSpans spans;
    if (chunk.data.empty() || !CutOutage(chunk, &spans)) return false;
    const uint64_t slippedBefore = stats_.bitsInserted + stats_.bitsDropped;
    if (!chunk.frame) Slip(chunk);
    if (stats_.bitsInserted + stats_.bitsDropped != slippedBefore)
        truth_.Slipped(slipAtNs_ + int64_t(settings_.delayMs) * kNsPerMs,
                       stats_.bitsInserted + stats_.bitsDropped - slippedBefore);
    if (chunk.data.empty()) return false;
    if (chunk.frame && frameLoss_.Lose()) {
        ++stats_.framesLost;
        return false;
    }
    flippedAt_.clear();
    FlipErrors(chunk);
    BookTruth(chunk, spans);
    if (settings_.invert) {
        const auto mask = uint8_t(LowBits(chunk.dataBits));
        for (auto& byte : chunk.data) byte ^= mask;
        if (chunk.frame) chunk.inverted = !chunk.inverted;
    }
    JudgeCharacters(chunk);
    chunk.arrivalNs += int64_t(settings_.delayMs) * kNsPerMs;
    stats_.bitsCarried += uint64_t(chunk.data.size()) * chunk.bitsPerChar;
    return true;
}

int64_t ImpairmentStage::ArrivalSpans::TimeAt(int64_t offsetNs) const {
    const int64_t first = endNs[0] - startNs[0];
    return offsetNs < first ? startNs[0] + offsetNs : startNs[1] + (offsetNs - first);
}

// The truth books the bits at their arrival times: a flipped bit at its
// place in the chunk, the rest spread over the spans that arrived.
void ImpairmentStage::BookTruth(const LineChunk& chunk, const ArrivalSpans& spans) {
    if (!truth_.started()) return;
    const int64_t delayNs = int64_t(settings_.delayMs) * kNsPerMs;
    const uint64_t bits = uint64_t(chunk.data.size()) * (chunk.frame ? 8 : chunk.bitsPerChar);
    const int64_t length = spans.Length();
    for (int part = 0; part < 2; ++part) {
        const int64_t partLength = spans.endNs[part] - spans.startNs[part];
        if (partLength <= 0 && !(part == 0 && length == 0)) continue;
        const uint64_t share = length == 0 ? bits : uint64_t(__int128(bits) * partLength / length);
        truth_.Delivered(spans.startNs[part] + delayNs, spans.endNs[part] + delayNs, share,
                         settings_.invert);
    }
    for (uint64_t offset : flippedAt_) {
        const int64_t at = bits == 0 ? 0 : int64_t(__int128(offset) * length / bits);
        truth_.Flipped(spans.TimeAt(at) + delayNs);
    }
}

// Characters that leave during an outage are lost; a frame touched by one is.
bool ImpairmentStage::CutOutage(LineChunk& chunk, ArrivalSpans* spans) {
    spans->startNs[0] = chunk.startNs;
    spans->endNs[0] = chunk.endNs;
    spans->startNs[1] = spans->endNs[1] = chunk.endNs;
    if (settings_.outageMs == 0) return true;
    int64_t from = TimeAfter(originNs_, settings_.outageAfterMs);
    int64_t to = TimeAfter(from, settings_.outageMs);
    if (chunk.endNs <= from || chunk.startNs >= to) return true;
    spans->endNs[0] = std::max(chunk.startNs, from);
    spans->startNs[1] = std::min(chunk.endNs, to);
    if (chunk.frame) spans->endNs[0] = spans->startNs[1] = spans->endNs[1] = chunk.startNs;
    const size_t count = chunk.data.size();
    size_t first = 0, last = count;
    if (!chunk.frame && chunk.endNs > chunk.startNs) {
        first = IndexAt(chunk.startNs, chunk.endNs, count, from);
        last = IndexAt(chunk.startNs, chunk.endNs, count, to);
    }
    stats_.bitsLost += uint64_t(last - first) * chunk.bitsPerChar;
    chunk.data.erase(chunk.data.begin() + ptrdiff_t(first), chunk.data.begin() + ptrdiff_t(last));
    return !chunk.data.empty();
}

void ImpairmentStage::Slip(LineChunk& chunk) {
    const int64_t slipNs = TimeAfter(originNs_, settings_.slipAfterMs);
    const bool due = slipDue_ && chunk.endNs > slipNs;
    if (!due && !realigning_) return;
    const unsigned dataBits = chunk.dataBits;
    const size_t count = chunk.data.size();
    const size_t at = due ? IndexAt(chunk.startNs, chunk.endNs, count, slipNs) : count;
    std::vector<uint8_t> out;
    out.reserve(count + 2);
    if (realigning_)
        Realign(chunk.data.data(), at, dataBits, out);
    else
        out.assign(chunk.data.begin(), chunk.data.begin() + ptrdiff_t(at));
    if (due) {
        slipDue_ = false;
        slipAtNs_ = slipNs;
        realigning_ = true;
        if (settings_.slipBits < 0) dropLeft_ += uint64_t(-int64_t(settings_.slipBits));
        // Inserted bits are marks, what an idle line carries.
        for (uint64_t left = settings_.slipBits > 0 ? uint64_t(settings_.slipBits) : 0; left > 0;) {
            unsigned n = unsigned(std::min<uint64_t>(left, 16));
            HoldBits(LowBits(n), n, dataBits, out);
            stats_.bitsInserted += n;
            left -= n;
        }
        Realign(chunk.data.data() + at, count - at, dataBits, out);
    }
    chunk.data = std::move(out);
    if (heldCount_ == 0 && dropLeft_ == 0) realigning_ = false;
}

// Cuts characters anew from the bit stream, first bit the character's highest.
void ImpairmentStage::Realign(const uint8_t* in, size_t count, unsigned dataBits,
                              std::vector<uint8_t>& out) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t value = in[i] & LowBits(dataBits);
        unsigned bits = dataBits;
        if (dropLeft_ > 0) {
            unsigned dropped = unsigned(std::min<uint64_t>(dropLeft_, bits));
            bits -= dropped;
            dropLeft_ -= dropped;
            stats_.bitsDropped += dropped;
            value &= LowBits(bits);
        }
        HoldBits(value, bits, dataBits, out);
    }
}

void ImpairmentStage::HoldBits(uint32_t value, unsigned count, unsigned dataBits,
                               std::vector<uint8_t>& out) {
    held_ = (held_ << count) | value;
    heldCount_ += count;
    while (heldCount_ >= dataBits) {
        heldCount_ -= dataBits;
        out.push_back(uint8_t((held_ >> heldCount_) & LowBits(dataBits)));
        held_ &= LowBits(heldCount_);
    }
}

void ImpairmentStage::FlipErrors(LineChunk& chunk) {
    const unsigned charBits = chunk.bitsPerChar;
    const unsigned dataBits = chunk.dataBits;
    const uint64_t first = lineBit_;
    const uint64_t end = first + uint64_t(chunk.data.size()) * charBits;
    lineBit_ = end;
    errorBits_.clear();
    charMarks_.clear();
    CollectRandom(end, errorBits_);
    CollectBursts(chunk, first, end, errorBits_);
    if (errorBits_.empty()) return;
    chunk.corrupted = chunk.frame;
    if (charBits != dataBits) charMarks_.assign(chunk.data.size(), 0);
    // A bit hit twice, by a burst and by chance, is still one wrong bit.
    std::sort(errorBits_.begin(), errorBits_.end());
    errorBits_.erase(std::unique(errorBits_.begin(), errorBits_.end()), errorBits_.end());
    for (uint64_t bit : errorBits_) {
        uint64_t offset = bit - first;
        size_t index = size_t(offset / charBits);
        unsigned position = unsigned(offset % charBits);
        uint8_t mask = 0;
        if (charBits == dataBits) {
            mask = uint8_t(1u << (dataBits - 1 - position));  // synchronous: highest bit first
        } else if (position >= 1 && position <= dataBits) {
            mask =
                uint8_t(1u << (position - 1));  // asynchronous: after the start bit, lowest first
            charMarks_[index] ^= 1;
        } else {
            ++stats_.framingBitsHit;
            const bool parityBit = chunk.parity && position == dataBits + 1;
            charMarks_[index] ^= parityBit ? 1 : 0;
            charMarks_[index] |= parityBit ? 0 : 2;
            continue;
        }
        chunk.data[index] ^= mask;
        ++stats_.bitsFlipped;
        flippedAt_.push_back(offset);
    }
}

// What an asynchronous receiver finds wrong with each character: a start or
// stop bit hit is a framing error, an odd number of wrong data and parity
// bits a parity error. An inverted line turns every stop bit into a start
// bit's level, and complements the data and parity bits of each character.
void ImpairmentStage::JudgeCharacters(LineChunk& chunk) {
    if (chunk.frame || chunk.bitsPerChar == chunk.dataBits) return;
    const bool inverted = settings_.invert;
    const uint8_t invertedParity = (chunk.dataBits + (chunk.parity ? 1 : 0)) % 2;
    for (size_t i = 0; i < chunk.data.size(); ++i) {
        const uint8_t marks = charMarks_.empty() ? 0 : charMarks_[i];
        if (inverted || (marks & 2)) ++chunk.framingErrors;
        if (chunk.parity && (((marks & 1) ^ (inverted ? invertedParity : 0)) != 0))
            ++chunk.parityErrors;
    }
}

void ImpairmentStage::CollectRandom(uint64_t end, std::vector<uint64_t>& at) {
    while (nextErrorBit_ < end) {
        at.push_back(nextErrorBit_);
        nextErrorBit_ += 1 + DrawGap();
    }
}

// A burst falls on the bit on the line at its time; a burst time at which
// the line carries nothing hits nothing.
void ImpairmentStage::CollectBursts(const LineChunk& chunk, uint64_t first, uint64_t end,
                                    std::vector<uint64_t>& at) {
    auto mark = [&](uint64_t from, uint64_t count) {
        uint64_t take = std::min(count, end - from);
        for (uint64_t bit = from; bit < from + take; ++bit) at.push_back(bit);
        burstLeft_ = std::max(burstLeft_, count - take);
    };
    if (burstLeft_ > 0) {
        uint64_t left = burstLeft_;
        burstLeft_ = 0;
        mark(first, left);
    }
    if (nextBurstNs_ == INT64_MAX) return;
    const int64_t everyNs = int64_t(settings_.burstEveryMs) * kNsPerMs;
    if (nextBurstNs_ < chunk.startNs)
        nextBurstNs_ += (chunk.startNs - nextBurstNs_ + everyNs - 1) / everyNs * everyNs;
    for (; nextBurstNs_ < chunk.endNs; nextBurstNs_ += everyNs) {
        uint64_t offset = IndexAt(chunk.startNs, chunk.endNs, size_t(end - first), nextBurstNs_);
        if (offset < end - first) mark(first + offset, settings_.burstBits);
    }
}

}  // namespace sim
