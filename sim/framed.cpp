// Frames on the simulated line: their loss, and the far-end loop that sends
// what arrives straight back.
#include "sim/framed.h"

#include <utility>

#include "sim/port.h"

namespace sim {
namespace {

// Keeps the frame losses apart from the bit errors drawn from the same seed.
constexpr uint64_t kFrameStream = 0x4652414D;

}  // namespace

void FrameLoss::Configure(double probability, uint64_t seed, uint64_t salt) {
    probability_ = probability;
    std::seed_seq sequence{uint32_t(seed), uint32_t(seed >> 32), uint32_t(salt),
                           uint32_t(salt >> 32), uint32_t(kFrameStream)};
    random_.seed(sequence);
}

bool FrameLoss::Lose() {
    if (probability_ <= 0) return false;
    const double u = double(random_() >> 11) * 0x1.0p-53;  // uniform in [0, 1)
    return u < probability_;
}

// A loop at the far end of the line turns the bits round as they come in:
// the chunk leaves again over the span its arrival took, so what it carried
// goes back unchanged, a failed check included.
void Port::LoopBack(LineChunk chunk) {
    const int64_t shift = chunk.arrivalNs - chunk.endNs;
    chunk.startNs += shift;
    chunk.endNs = chunk.arrivalNs;
    line_->Carry(std::move(chunk));
}

// What the receiver does with an arriving chunk before its data is looked
// at; false when nothing of it reaches the host.
bool Port::AcceptArrival(LineChunk& chunk) {
    if (card_.loop) {
        LoopBack(std::move(chunk));
        return false;
    }
    // The receiver's own inverter, ahead of its frame search.
    if (chunk.frame && (inversion_ & kInvertRx)) chunk.inverted = !chunk.inverted;
    if (chunk.frame && (chunk.corrupted || chunk.inverted)) {
        Count(kCounterCrc);
        return false;
    }
    return true;
}

}  // namespace sim
