// Whole-buffer paths for the pseudo-random sequences. Each sequence's byte
// stream repeats after 2^n-1 bytes (8 bit periods), so one byte period,
// generated once by the per-byte steps from register 1, is replayed from the
// position that matches a generator's register. Results are identical to the
// per-byte steps, and so is the generator state they leave behind.
//
// A state is replayed only when its mask is 0 and its register window (the
// low n bits) is not 0; otherwise the functions do nothing and the caller
// takes the per-byte path. The tables are built on first use (up to 8 MiB for
// 2^23) and are read-only afterwards; building is thread-safe.
#pragma once

#include <cstdint>

#include "pattern/prbs_steps.h"

// The next length bytes of g_aScram[index] into out, advancing the state as
// length generator steps would. False when the state cannot be replayed.
bool ReplayFill(PrbsKind kind, int index, uint8_t* out, uint32_t length);

// The in-sync comparison of received bytes with the reference generator at
// index, as the per-byte checker does it: per byte, while mismatchCount is at
// most mismatchLimit, the expected byte is generated; an equal byte clears
// mismatchCount and counts 0, a different one increments it, counts its
// wrong bits and sets wrongBits. Stops before the first byte found with
// mismatchCount above mismatchLimit. processed gets the number of bytes
// handled; errors[0..processed) their counts, errorSum grows by their sum.
// False (nothing done) when the state cannot be replayed.
bool ReplayCheckInSync(PrbsKind kind, int index, const uint8_t* data, uint32_t length,
                       uint32_t& mismatchCount, uint32_t mismatchLimit, uint8_t& wrongBits,
                       uint8_t* errors, uint64_t& errorSum, uint32_t& processed);

// Builds the table of a sequence now rather than at its first use.
void PrepareReplay(PrbsKind kind);
