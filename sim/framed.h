// What the simulated line does to whole frames (framed mode): a frame may
// be lost outright, at a configured rate and seeded; a frame that bit errors
// hit fails its check at the receiver, which drops it.
#pragma once

#include <cstdint>
#include <random>

namespace sim {

class FrameLoss {
   public:
    // probability 0 loses nothing; the draws restart from seed and salt.
    void Configure(double probability, uint64_t seed, uint64_t salt);
    // Draws once for a frame; true when it is lost.
    bool Lose();

   private:
    double probability_ = 0;
    std::mt19937_64 random_;
};

}  // namespace sim
