// The byte steps of each sequence as inline templates, so that the exported
// generators and checkers, the period tables and the block checker all run the
// very same arithmetic.
#pragma once

#include <cstdint>
#include <type_traits>

#include "pattern/prbs.h"

// a and b are the register shifts that line the two feedback taps up with the
// byte being made. When the shorter feedback distance is below 8 a byte
// cannot be made in one step and is made as two nibbles. The shifts may be
// constants (the per-sequence templates below) or table values (the per-byte
// checker, which then needs no dispatch on the sequence).
inline uint8_t PrbsGenerate(ScramState& state, unsigned a, unsigned b, bool byNibbles) {
    uint32_t r = state.dwRegister;
    const uint32_t mask = state.wMask;
    uint32_t out;
    if (byNibbles) {
        const uint32_t hi = ((r >> a) ^ (r >> b) ^ (mask >> 4)) & 0xF;
        r = (r << 4) | hi;
        const uint32_t lo = ((r >> a) ^ (r >> b) ^ mask) & 0xF;
        r = (r << 4) | lo;
        out = (hi << 4) | lo;
    } else {
        out = (mask ^ (r >> a) ^ (r >> b)) & 0xFF;
        r = (r << 8) | out;
    }
    state.dwRegister = r;
    return static_cast<uint8_t>(out);
}

// Syndrome of a received byte against the register, which then takes the byte.
inline uint8_t PrbsCheck(uint32_t& reg, uint8_t rx, unsigned a, unsigned b, bool byNibbles) {
    const uint32_t r = reg;
    if (byNibbles) {
        const uint32_t hi = ((r >> a) ^ (r >> b) ^ (rx >> 4)) & 0xF;
        const uint32_t e = (r << 4) | ((rx >> 4) & 0xF);
        const uint32_t lo = ((e >> a) ^ (e >> b) ^ rx) & 0xF;
        reg = (e << 4) | (rx & 0xFu);
        return static_cast<uint8_t>((hi << 4) | lo);
    }
    reg = (r << 8) | rx;
    return static_cast<uint8_t>(((r >> a) ^ (r >> b) ^ rx) & 0xFF);
}

template <unsigned N, unsigned A, unsigned B, bool ByNibbles>
struct PrbsSteps {
    static constexpr unsigned kRegisterBits = N;
    static constexpr uint32_t kPeriod = (1u << N) - 1;
    static constexpr uint32_t kWindowMask = (1u << N) - 1;
    static constexpr unsigned kA = A, kB = B;
    static constexpr bool kByNibbles = ByNibbles;
    // The recurrence s[t] = s[t - kNearTap] ^ s[t - N] in bit-stream terms.
    static constexpr unsigned kNearTap = (A < B ? A : B) + (ByNibbles ? 4 : 8);
    static_assert((A > B ? A : B) + (ByNibbles ? 4 : 8) == N, "the far tap is the register length");

    static inline uint8_t Generate(ScramState& state) {
        return PrbsGenerate(state, A, B, ByNibbles);
    }
    static inline uint8_t Check(uint32_t& reg, uint8_t rx) {
        return PrbsCheck(reg, rx, A, B, ByNibbles);
    }
};

// The step parameters of each pattern type, for code that must not branch on
// the sequence. Types other than 1..7 have none (registerBits 0).
struct PrbsParams {
    uint8_t a, b, registerBits;
    bool byNibbles;
    uint8_t zeroRunLimit;
    uint8_t guardTable;  // index into zero_run::kGuardTables
};
inline constexpr PrbsParams kPrbsParams[8] = {
    {0, 0, 0, false, 0, 0},     {2, 1, 6, true, 5, 0},    {5, 1, 9, true, 8, 1},
    {1, 3, 11, false, 10, 2},   {6, 7, 15, false, 14, 3}, {9, 12, 20, false, 14, 3},
    {10, 15, 23, false, 22, 4}, {9, 12, 20, false, 14, 3}};

using Prbs63 = PrbsSteps<6, 2, 1, true>;
using Prbs511 = PrbsSteps<9, 5, 1, true>;
using Prbs2047 = PrbsSteps<11, 1, 3, false>;
using Prbs2e15 = PrbsSteps<15, 6, 7, false>;
using Prbs2e20 = PrbsSteps<20, 9, 12, false>;
using Prbs2e23 = PrbsSteps<23, 10, 15, false>;

template <class Steps>
constexpr bool ParamsDescribe(const PrbsParams& p, uint32_t zeroRunLimit) {
    return p.a == Steps::kA && p.b == Steps::kB && p.registerBits == Steps::kRegisterBits &&
           p.byNibbles == Steps::kByNibbles && p.zeroRunLimit == zeroRunLimit;
}
static_assert(ParamsDescribe<Prbs63>(kPrbsParams[1], 5) &&
              ParamsDescribe<Prbs511>(kPrbsParams[2], 8) &&
              ParamsDescribe<Prbs2047>(kPrbsParams[3], 10) &&
              ParamsDescribe<Prbs2e15>(kPrbsParams[4], 14) &&
              ParamsDescribe<Prbs2e20>(kPrbsParams[5], 14) &&
              ParamsDescribe<Prbs2e23>(kPrbsParams[6], 22) &&
              ParamsDescribe<Prbs2e20>(kPrbsParams[7], 14));

// The six sequences in pattern-type order (types 1..6; QRSS, type 7, is 2^20).
enum class PrbsKind : int { k63 = 0, k511, k2047, k2e15, k2e20, k2e23, kNone = -1 };
constexpr int kPrbsKindCount = 6;

constexpr PrbsKind PrbsKindOf(uint32_t patternType) {
    if (patternType >= 1 && patternType <= 6) return static_cast<PrbsKind>(patternType - 1);
    if (patternType == 7) return PrbsKind::k2e20;
    return PrbsKind::kNone;
}

inline bool ScramIndexValid(int index) {
    return static_cast<unsigned>(index) < static_cast<unsigned>(kScramCount);
}

// Calls f with a value of the steps type of kind (kind must not be kNone).
template <class F>
inline decltype(auto) WithPrbsSteps(PrbsKind kind, F&& f) {
    switch (kind) {
        case PrbsKind::k63:
            return f(Prbs63{});
        case PrbsKind::k511:
            return f(Prbs511{});
        case PrbsKind::k2047:
            return f(Prbs2047{});
        case PrbsKind::k2e15:
            return f(Prbs2e15{});
        case PrbsKind::k2e20:
            return f(Prbs2e20{});
        default:
            return f(Prbs2e23{});
    }
}

// Zero-run guard. The run count only ever counts modulo limit + 1 (it is
// cleared each time it passes the limit), so a zero byte adds 8 modulo
// limit + 1, and after any other byte the count is set by that byte's own
// trailing zeros. Only zero bytes carry the count from byte to byte, which
// keeps the receive loop free of a table lookup chained through the count.
namespace zero_run {

// The guard bit by bit, the definition the fast form is built from: the new
// run count and whether the guard fired.
struct BitsResult {
    uint32_t run;
    bool fired;
};
constexpr BitsResult StepBits(uint32_t run, uint8_t byte, uint32_t limit) {
    bool fired = false;
    for (int bit = 7; bit >= 0; --bit) {
        if (byte & (1u << bit)) {
            run = 0;
        } else if (++run > limit) {
            fired = true;
            run = 0;
        }
    }
    return {run, fired};
}

// Per limit: leading zeros of each byte (8 for the zero byte) and the run
// after a non-zero byte, with kFiredAlone when the byte fires by itself.
struct GuardTable {
    static constexpr uint8_t kFiredAlone = 0x80;
    uint32_t limit;
    uint8_t lead[256];
    uint8_t after[256];
    constexpr explicit GuardTable(uint32_t runLimit) : limit(runLimit), lead{}, after{} {
        for (unsigned b = 0; b < 256; ++b) {
            unsigned zeros = 0;
            while (zeros < 8 && !(b & (0x80u >> zeros))) ++zeros;
            lead[b] = static_cast<uint8_t>(zeros);
            const BitsResult r = StepBits(0, static_cast<uint8_t>(b), runLimit);
            after[b] = static_cast<uint8_t>(r.run | (r.fired ? kFiredAlone : 0));
        }
    }
};

inline constexpr GuardTable kGuardTables[] = {GuardTable(5), GuardTable(8), GuardTable(10),
                                              GuardTable(14), GuardTable(22)};

constexpr const GuardTable& GuardTableFor(uint32_t limit) {
    return limit == 5    ? kGuardTables[0]
           : limit == 8  ? kGuardTables[1]
           : limit == 10 ? kGuardTables[2]
           : limit == 14 ? kGuardTables[3]
                         : kGuardTables[4];
}

// One byte through the guard; run must be at most the table's limit. True
// when the guard fired in the byte.
inline bool GuardStep(uint32_t& run, uint8_t byte, const GuardTable& table) {
    const uint32_t limit = table.limit;
    if (byte == 0) {
        uint32_t total = run + 8;
        const bool fired = total > limit;
        while (total > limit) total -= limit + 1;
        run = total;
        return fired;
    }
    const uint8_t after = table.after[byte];
    const bool fired = run + table.lead[byte] > limit || (after & GuardTable::kFiredAlone);
    run = after & 0x1F;
    return fired;
}

// A count above the limit behaves as the limit itself: the next zero fires.
inline uint32_t ClampRun(uint32_t run, uint32_t limit) { return run > limit ? limit : run; }

template <uint32_t Limit>
struct Guard {
    static inline bool Step(uint32_t& run, uint8_t byte) {
        return GuardStep(run, byte, GuardTableFor(Limit));
    }
    static inline uint32_t Clamp(uint32_t run) { return ClampRun(run, Limit); }
};

}  // namespace zero_run

static_assert([] {
    for (int type = 1; type <= 7; ++type)
        if (zero_run::kGuardTables[kPrbsParams[type].guardTable].limit !=
            kPrbsParams[type].zeroRunLimit)
            return false;
    return true;
}());

// Calls f(Steps{}, std::integral_constant<uint32_t, zero-run limit>{}) for a
// pseudo-random pattern type 1..7; any other type is taken as 2^23 (callers
// check the type first).
template <class F>
inline decltype(auto) WithPrbsType(uint32_t patternType, F&& f) {
    switch (patternType) {
        case 1:
            return f(Prbs63{}, std::integral_constant<uint32_t, 5>{});
        case 2:
            return f(Prbs511{}, std::integral_constant<uint32_t, 8>{});
        case 3:
            return f(Prbs2047{}, std::integral_constant<uint32_t, 10>{});
        case 4:
            return f(Prbs2e15{}, std::integral_constant<uint32_t, 14>{});
        case 5:
        case 7:
            return f(Prbs2e20{}, std::integral_constant<uint32_t, 14>{});
        default:
            return f(Prbs2e23{}, std::integral_constant<uint32_t, 22>{});
    }
}

inline bool IsPrbsType(uint32_t patternType) { return patternType >= 1 && patternType <= 7; }
