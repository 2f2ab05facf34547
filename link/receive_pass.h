// The counting core of a software receive pass: every checked byte against
// the pattern, its bit errors, and the blocks it completes, into the
// single-link statistics. Works on any buffer, so the receive thread, tests
// and benchmarks share it.
#pragma once

#include <cstdint>

// What the receive side carries from byte to byte and pass to pass.
struct RxCheckState {
    uint32_t uMismatchCount = 0;   // mismatching bytes in a row; cleared at every sync
    uint8_t bWrongBits = 0;        // the checker's wrong-bit mask, not used here
    uint32_t uBlockBits = 0;       // bits of the block being received
    uint64_t uBlockErrors = 0;     // not 0: the block being received holds errors
    bool bSoftwareInvert = false;  // complement every byte before it is checked
    // Checked bytes in a row, up to the last one, without a wrong bit: a
    // pass that ends inside a burst leaves the checker's register full of
    // the burst, which is no place to find the pattern again.
    uint32_t uInStepRun = 0;
};

// Adds a block of n received characters, m of them handed to the checker,
// to the receive counts (in-sync counts too while in sync).
void CountReceivedChars(uint32_t n, uint32_t m);

// Checks m bytes and counts their bit errors and the blocks they complete.
// A block ends when its bit count reaches the pattern length; a byte with two
// or more wrong bits that straddles the end marks the next block errored too.
// The caller holds g_csGlobal once: it is let go for a moment after every
// errored block in sync. Stops early once g_bRxStop is set. Returns the bit
// errors counted in sync.
uint64_t CheckReceivedData(const uint8_t* data, uint32_t m, RxCheckState& state);
