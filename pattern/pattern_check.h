// The check of every received byte against the selected pattern: the number
// of wrong bits, 8 while the checker is not in step with the pattern.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/run_state.h"
#include "core/settings.h"
#include "pattern/prbs_steps.h"

// Hunting and tracking state of the fixed, text and user patterns. One per
// process, all zero at start; a statistics reset leaves it as it is.
struct FixedCheckState {
    uint8_t bInStep = 0;
    uint8_t bAligned = 0;      // FOX, USER: a bit shift was found while hunting
    uint32_t uMatchCount = 0;  // good bytes in a row while hunting
    uint32_t uMissCount = 0;   // bad bytes in a row while in step
    uint32_t uPosition = 0;    // phase (1/16, 3/24) or table index (FOX, USER)
    uint32_t uRotation = 0;    // 3/24: row of the shift table, 8 after a failed search
    uint32_t uShift = 0;       // FOX, USER: bit shift 0..7
    uint16_t wPrevious = 0;
    uint16_t wReference = 0;  // the byte locked on (1:7, 2/8, 1:1, 1/16)
};
extern FixedCheckState g_FixedCheck;

// The 3/24 pattern at each of its eight bit shifts, each row from its zero byte.
extern const uint8_t g_ab3in24Shifts[8][3];

// Multi-drop view. The multi-drop test sets g_iCurrentSlaveId to the slave
// being polled and installs g_pfnSlaveCheckView, which tells the checker that
// slave's in-sync flag and its receive-reference generator index (rxscram).
// Without it (or without bMultiDrop) the single-link view applies: g_bInSync
// and generator index 1.
struct SlaveCheckView {
    bool bSlaveInSync = false;
    int32_t iRxScram = 1;
};
using SlaveCheckViewFn = SlaveCheckView (*)(int32_t slaveId);
extern int32_t g_iCurrentSlaveId;
extern SlaveCheckViewFn g_pfnSlaveCheckView;

// Checks one received byte against the pattern type in g_Settings. count is
// the caller's run of mismatching bytes (the caller clears it when it declares
// sync); wrongBits receives the wrong-bit mask on the paths that produce one
// and otherwise keeps its value. Returns 0..8 wrong bits (FOX and USER capped
// at g_uBitsPerChar).
//
// The single-link in-sync step on the byte-wide sequences (2047 and up), the
// one that runs for nearly every received byte, is inline; every other case
// is CheckPatternByteGeneral, which also handles that one.
uint16_t CheckPatternByteGeneral(uint8_t rxByte, uint32_t& count, uint8_t& wrongBits);

// The received byte against the next byte of the reference generator.
inline uint16_t CompareWithReference(uint8_t rxByte, uint8_t expected, uint32_t& count,
                                     uint8_t& wrongBits) {
    if (rxByte == expected) {
        count = 0;
        return 0;
    }
    ++count;
    wrongBits = rxByte ^ expected;
    return kBitsInByte.count[wrongBits];
}

inline uint16_t CheckPatternByte(uint8_t rxByte, uint32_t& count, uint8_t& wrongBits) {
    const uint32_t patternType = g_Settings.uPatternType;
    if (patternType >= PATTERN_2047 && patternType <= PATTERN_QRSS && !g_Settings.bMultiDrop &&
        g_bInSync.load(std::memory_order_relaxed)) {
        const PrbsParams& params = kPrbsParams[patternType];
        if (count <= params.registerBits)
            return CompareWithReference(
                rxByte, PrbsGenerate(g_aScram[1], params.a, params.b, false), count, wrongBits);
    }
    return CheckPatternByteGeneral(rxByte, count, wrongBits);
}

// The hunting and tracking machines of types 8, 9, 10, 11, 13, 14 and 17;
// other types return 8 and change nothing.
uint16_t FixedPatternCheck(uint32_t patternType, uint8_t rxByte, uint8_t& wrongBits);

// Checks a whole received buffer exactly as n calls of CheckPatternByte in
// order would: the same count per byte and the same count, wrongBits,
// reference generator, g_RxScram and g_FixedCheck afterwards. errors[i]
// (room for n entries) receives what CheckPatternByte would have returned for
// data[i]; the result is their sum. While in sync on a pseudo-random pattern
// it compares whole runs against a replayed period of the sequence, while
// hunting it checks eight bytes at a time, so a receive pass should hand it
// whole buffers:
//
//     uint64_t sum = CheckPatternBlock(data, m, mismatchCount, wrongBits, errors);
//     if (sum == 0)  -> every byte counted 0: the block bit counter can
//                       advance by whole runs of bytes without looking at
//                       errors[];
//     else           -> walk errors[0..m) as the per-byte e values.
//
// The in-sync view (g_bInSync, or the current slave's view) is read once at
// the start: the receive pass changes it only between buffers. A pass that
// must stop early on a stop request checks the buffer in shorter pieces.
uint64_t CheckPatternBlock(const uint8_t* data, uint32_t n, uint32_t& count, uint8_t& wrongBits,
                           uint8_t* errors);

// Back to the all-zero start state (for tests; a run never resets it).
void ResetFixedCheckState();
