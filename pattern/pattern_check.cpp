#include "pattern/pattern_check.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "pattern/fixed_patterns.h"
#include "pattern/prbs_replay.h"
#include "pattern/prbs_steps.h"

FixedCheckState g_FixedCheck;

const uint8_t g_ab3in24Shifts[8][3] = {{0x00, 0x22, 0x20}, {0x00, 0x44, 0x40}, {0x00, 0x88, 0x80},
                                       {0x00, 0x01, 0x11}, {0x00, 0x02, 0x22}, {0x00, 0x04, 0x44},
                                       {0x00, 0x08, 0x88}, {0x00, 0x11, 0x10}};

int32_t g_iCurrentSlaveId = 0;
SlaveCheckViewFn g_pfnSlaveCheckView = nullptr;

void ResetFixedCheckState() { g_FixedCheck = FixedCheckState{}; }

namespace {

constexpr uint16_t kNotInStep = 8;

inline uint8_t Bits(uint32_t byte) { return kBitsInByte.count[byte & 0xFF]; }

// ---- pseudo-random sequences ----

struct CheckerView {
    bool bInSync;
    int iReference;  // generator index predicting the received bytes
};

[[gnu::noinline]] CheckerView SlaveView() {
    const SlaveCheckView slave = g_pfnSlaveCheckView(g_iCurrentSlaveId);
    return {slave.bSlaveInSync || g_bInSync.load(std::memory_order_relaxed), slave.iRxScram};
}

inline CheckerView CurrentView() {
    if (g_Settings.bMultiDrop && g_pfnSlaveCheckView) [[unlikely]]
        return SlaveView();
    return {g_bInSync.load(std::memory_order_relaxed), 1};
}

template <class Steps>
inline uint16_t PrbsInSyncByte(uint8_t rxByte, uint32_t& count, uint8_t& wrongBits, int reference) {
    const uint8_t expected = ScramIndexValid(reference) ? Steps::Generate(g_aScram[reference]) : 0;
    return CompareWithReference(rxByte, expected, count, wrongBits);
}

// The zero-run guard comes first: a dead line satisfies any linear recurrence.
template <class Steps, uint32_t Limit>
inline uint8_t PrbsHuntByte(uint8_t rxByte, uint32_t& reg, uint32_t& zeroRun) {
    if (zero_run::Guard<Limit>::Step(zeroRun, rxByte)) return kNotInStep;
    return Steps::Check(reg, rxByte) ? kNotInStep : 0;
}

template <class Steps, uint32_t Limit>
uint8_t PrbsHuntByteOnState(uint8_t rxByte) {
    uint32_t zeroRun = zero_run::Guard<Limit>::Clamp(g_RxScram.wZeroRun);
    const uint8_t result = PrbsHuntByte<Steps, Limit>(rxByte, g_RxScram.dwRegister, zeroRun);
    g_RxScram.wZeroRun = static_cast<uint16_t>(zeroRun);
    return result;
}

// ---- eight received bytes at once while hunting ----

inline uint64_t LoadBigEndian64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

inline void StoreBigEndian64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    memcpy(p, &v, sizeof v);
}

// Bit i is set where bits i down to i - M + 1 of ones are all set (a run of
// at least M ones starting at bit i, earliest bit highest).
template <unsigned M>
inline uint64_t RunsOfAtLeast(uint64_t ones) {
    if constexpr (M == 1) {
        return ones;
    } else if constexpr (M % 2 == 0) {
        const uint64_t half = RunsOfAtLeast<M / 2>(ones);
        return half & (half << (M / 2));
    } else {
        return RunsOfAtLeast<M - 1>(ones) & (ones << (M - 1));
    }
}

// Checks eight bytes (earliest in the high byte of word) in one go when the
// zero-run guard cannot fire in them; the guard skips a byte's checker step
// when it fires, which only the byte-by-byte path reproduces. Writes 8 or 0
// per byte and returns true, or returns false and changes nothing.
template <class Steps, uint32_t Limit>
inline bool HuntWord(uint64_t word, uint32_t& reg, uint32_t& zeroRun, uint8_t* errors,
                     uint64_t& total) {
    if (word == 0 || zeroRun + static_cast<uint32_t>(std::countl_zero(word)) > Limit ||
        RunsOfAtLeast<Limit + 1>(~word) != 0)
        return false;
    // Syndrome bit t = r[t] ^ r[t - near] ^ r[t - far], the register supplying
    // the bits before the word.
    const uint64_t before = reg;
    const uint64_t near = (word >> Steps::kNearTap) | (before << (64 - Steps::kNearTap));
    const uint64_t far = (word >> Steps::kRegisterBits) | (before << (64 - Steps::kRegisterBits));
    const uint64_t syndrome = word ^ near ^ far;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t nonZeroBytes =
        (((syndrome & kLow7) + kLow7) | syndrome) & ~kLow7;  // bit 7 of each byte
    StoreBigEndian64(errors, nonZeroBytes >> 4);             // 8 per such byte
    total += (((nonZeroBytes >> 7) * 0x0101010101010101ull) >> 56) * kNotInStep;
    reg = static_cast<uint32_t>(word);
    zeroRun = static_cast<uint32_t>(std::countr_zero(word));
    return true;
}

template <class Steps, uint32_t Limit>
void PrbsHuntBlock(const uint8_t* data, uint32_t n, uint8_t* errors, uint64_t& sum) {
    uint32_t reg = g_RxScram.dwRegister;
    uint32_t zeroRun = zero_run::Guard<Limit>::Clamp(g_RxScram.wZeroRun);
    uint64_t total = 0;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (HuntWord<Steps, Limit>(LoadBigEndian64(data + i), reg, zeroRun, errors + i, total))
            continue;
        for (uint32_t k = i; k < i + 8; ++k) {
            errors[k] = PrbsHuntByte<Steps, Limit>(data[k], reg, zeroRun);
            total += errors[k];
        }
    }
    for (; i < n; ++i) {
        errors[i] = PrbsHuntByte<Steps, Limit>(data[i], reg, zeroRun);
        total += errors[i];
    }
    g_RxScram.dwRegister = reg;
    g_RxScram.wZeroRun = static_cast<uint16_t>(zeroRun);
    sum += total;
}

template <class Steps, uint32_t Limit>
uint64_t PrbsBlock(uint32_t patternType, const uint8_t* data, uint32_t n, uint32_t& count,
                   uint8_t& wrongBits, uint8_t* errors) {
    const CheckerView view = CurrentView();
    const uint32_t limit = Steps::kRegisterBits;
    uint64_t sum = 0;
    uint32_t i = 0;
    if (view.bInSync) {
        uint32_t processed = 0;
        if (count <= limit && ReplayCheckInSync(PrbsKindOf(patternType), view.iReference, data, n,
                                                count, limit, wrongBits, errors, sum, processed))
            i = processed;
        for (; i < n && count <= limit; ++i) {
            errors[i] = static_cast<uint8_t>(
                PrbsInSyncByte<Steps>(data[i], count, wrongBits, view.iReference));
            sum += errors[i];
        }
    }
    if (i < n) PrbsHuntBlock<Steps, Limit>(data + i, n - i, errors + i, sum);
    return sum;
}

// ---- fixed, text and user patterns ----

void Lock(FixedCheckState& s, uint8_t reference) {
    s.wReference = reference;
    s.uMissCount = 0;
    s.bInStep = 1;
}

void Lose(FixedCheckState& s) {
    s.uMatchCount = 0;
    s.bInStep = 0;
}

bool IsRotationOf42(uint8_t byte) {
    for (unsigned r = 0; r < 8; ++r)
        if (byte == static_cast<uint8_t>((0x42u << r | 0x42u >> (8 - r)) & 0xFF)) return true;
    return false;
}

// 1:7 (one mark per byte) and 2/8 (two marks, a rotation of 42).
uint16_t CheckMarks(uint32_t patternType, uint8_t rxByte, uint8_t& wrongBits) {
    FixedCheckState& s = g_FixedCheck;
    const bool oneMark = patternType == PATTERN_1_7;
    const bool rightCount = Bits(rxByte) == (oneMark ? 1u : 2u);
    uint16_t result = 0;
    if (!s.bInStep) {
        const bool good = rightCount && (oneMark || IsRotationOf42(rxByte));
        if (good && rxByte == s.wPrevious) {
            if (++s.uMatchCount > 10) Lock(s, rxByte);
        } else {
            s.uMatchCount = 0;
        }
        s.wPrevious = rxByte;
    } else if (rightCount) {
        if (rxByte == s.wReference) {
            s.uMissCount = 0;
        } else {
            result = 2;  // the mark moved
            if (++s.uMissCount >= 10) Lose(s);
        }
    } else {
        result = Bits(s.wReference ^ rxByte);
        if (oneMark) wrongBits = static_cast<uint8_t>(s.wReference ^ rxByte);
        if (++s.uMissCount >= 10) Lose(s);
    }
    return s.bInStep ? result : kNotInStep;
}

uint16_t CheckAlternating(uint8_t rxByte, uint8_t& wrongBits) {
    FixedCheckState& s = g_FixedCheck;
    uint16_t result = 0;
    if (!s.bInStep) {
        if ((rxByte == 0xAA || rxByte == 0x55) && rxByte == s.wPrevious) {
            if (++s.uMatchCount > 10) Lock(s, rxByte);
        } else {
            s.uMatchCount = 0;
        }
        s.wPrevious = rxByte;
    } else if (rxByte == s.wReference) {
        s.uMissCount = 0;
    } else {
        wrongBits = static_cast<uint8_t>(s.wReference ^ rxByte);
        result = Bits(wrongBits);
        if (++s.uMissCount >= 10) Lose(s);
    }
    return s.bInStep ? result : kNotInStep;
}

// 1/16: a marked byte, then a zero byte; uPosition is the phase.
uint16_t CheckOneIn16(uint8_t rxByte) {
    FixedCheckState& s = g_FixedCheck;
    const bool oneMark = Bits(rxByte) == 1;
    const bool markedPhase = s.uPosition != 1;
    uint16_t result = 0;
    if (!s.bInStep) {
        if (!markedPhase) {
            s.uMatchCount = rxByte == 0 ? s.uMatchCount + 1 : 0;
            s.uPosition = 0;
        } else if (oneMark) {
            if (rxByte == s.wPrevious) {
                if (++s.uMatchCount > 20) Lock(s, rxByte);
            } else {
                s.uMatchCount = 0;
            }
            s.wPrevious = rxByte;
            s.uPosition = 1;
        } else {
            s.uMatchCount = 0;
            s.uPosition = 0;
        }
    } else if (markedPhase) {
        if (!(oneMark && rxByte == s.wReference)) {
            result = oneMark ? 2 : Bits(s.wReference ^ rxByte);
            if (++s.uMissCount >= 20) Lose(s);
        } else {
            s.uMissCount = 0;
        }
        s.uPosition = 1;
    } else {
        if (rxByte == 0) {
            s.uMissCount = 0;
        } else {
            ++s.uMissCount;  // the loss is judged on the marked byte
            result = Bits(rxByte);
        }
        s.uPosition = 0;
    }
    return s.bInStep ? result : kNotInStep;
}

void HuntThreeIn24(FixedCheckState& s, uint8_t rxByte) {
    switch (s.uPosition) {
        case 0:
            if (rxByte == 0) {
                ++s.uMatchCount;
                s.uPosition = 1;
            } else {
                s.uMatchCount = 0;
            }
            s.wPrevious = rxByte;
            return;
        case 1: {
            s.uPosition = 0;
            if (s.wPrevious != 0) {
                s.uMatchCount = 0;
                return;
            }
            for (uint32_t row = 0; row < 8; ++row) {
                if (g_ab3in24Shifts[row][1] == rxByte) {
                    ++s.uMatchCount;
                    s.uRotation = row;
                    s.uPosition = 2;
                    return;
                }
            }
            s.uRotation = 8;
            s.uMatchCount = 0;
            return;
        }
        case 2:
            if (s.uRotation < 8 && rxByte == g_ab3in24Shifts[s.uRotation][2]) {
                if (++s.uMatchCount >= 30) {
                    s.uMissCount = 0;
                    s.bInStep = 1;
                }
            } else {
                s.uMatchCount = 0;
            }
            s.uPosition = 0;
            return;
        default:
            s.uPosition = 0;
            return;
    }
}

uint16_t CheckThreeIn24(uint8_t rxByte) {
    FixedCheckState& s = g_FixedCheck;
    if (!s.bInStep) {
        HuntThreeIn24(s, rxByte);
        return s.bInStep ? 0 : kNotInStep;
    }
    const uint32_t column = s.uPosition < 3 ? s.uPosition : 0;
    const uint8_t expected = g_ab3in24Shifts[s.uRotation < 8 ? s.uRotation : 0][column];
    uint16_t result = 0;
    if (rxByte == expected) {
        s.uMissCount = 0;
    } else {
        if (s.uMissCount >= 30) Lose(s);
        result = Bits(expected ^ rxByte);
        ++s.uMissCount;
    }
    s.uPosition = (column + 1) % 3;
    return s.bInStep ? result : kNotInStep;
}

// FOX and USER: the table byte may straddle the last two received bytes.
uint16_t CheckText(const uint8_t* table, uint32_t length, uint8_t rxByte, uint8_t& wrongBits) {
    if (!table || length == 0) return kNotInStep;
    FixedCheckState& s = g_FixedCheck;
    const uint32_t window = (uint32_t{s.wPrevious} << 8 | rxByte) & 0xFFFF;
    uint32_t pos = s.uPosition % length;
    const uint32_t next = pos + 1 == length ? 0 : pos + 1;
    uint16_t result = 0;
    if (!s.bInStep && !s.bAligned) {
        for (uint32_t shift = 0; shift < 8; ++shift) {
            if (((window >> shift) & 0xFF) == table[pos]) {
                s.uShift = shift;
                s.bAligned = 1;
                pos = next;
                break;
            }
        }
    } else if (!s.bInStep) {
        if (((window >> (s.uShift & 7)) & 0xFF) == table[pos]) {
            if (++s.uMatchCount >= 10) {
                s.uMissCount = 0;
                s.bInStep = 1;
            }
            pos = next;
        } else {
            s.bAligned = 0;
            pos = 0;
        }
    } else {
        const uint8_t value = static_cast<uint8_t>(window >> (s.uShift & 7));
        if (value == table[pos]) {
            s.uMissCount = 0;
        } else {
            if (s.uMissCount >= 10) {
                Lose(s);
                s.bAligned = 0;
            }
            wrongBits = value ^ table[pos];
            result = Bits(wrongBits);
            ++s.uMissCount;
        }
        pos = next;
    }
    s.uPosition = pos;
    s.wPrevious = rxByte;
    return s.bInStep ? result : kNotInStep;
}

uint16_t BitsPerCharLimit() {
    return g_uBitsPerChar >= 1 && g_uBitsPerChar <= 8 ? g_uBitsPerChar : 8;
}

}  // namespace

uint16_t FixedPatternCheck(uint32_t patternType, uint8_t rxByte, uint8_t& wrongBits) {
    switch (patternType) {
        case PATTERN_1_7:
        case PATTERN_2_8:
            return CheckMarks(patternType, rxByte, wrongBits);
        case PATTERN_1_1:
            return CheckAlternating(rxByte, wrongBits);
        case PATTERN_1_16:
            return CheckOneIn16(rxByte);
        case PATTERN_3_24:
            return CheckThreeIn24(rxByte);
        case PATTERN_FOX:
            return CheckText(g_pFoxText, g_uFoxTextBytes, rxByte, wrongBits);
        case PATTERN_USER:
            return CheckText(g_pUserPattern, g_uUserPatternLength, rxByte, wrongBits);
        default:
            return kNotInStep;
    }
}

namespace {

[[gnu::noinline]] uint16_t OtherPatternByte(uint32_t patternType, uint8_t rxByte,
                                            uint8_t& wrongBits) {
    switch (patternType) {
        case PATTERN_1_7:
        case PATTERN_1_16:
        case PATTERN_2_8:
        case PATTERN_3_24:
        case PATTERN_1_1:
            return FixedPatternCheck(patternType, rxByte, wrongBits);
        case PATTERN_FOX:
        case PATTERN_USER:
            return std::min(FixedPatternCheck(patternType, rxByte, wrongBits), BitsPerCharLimit());
        case PATTERN_MK:
            wrongBits = static_cast<uint8_t>(~rxByte);
            return Bits(wrongBits);
        default:
            wrongBits = rxByte;
            return Bits(rxByte);
    }
}

template <class Steps, uint32_t Limit>
uint16_t PrbsByte(uint8_t rxByte, uint32_t& count, uint8_t& wrongBits) {
    const CheckerView view = CurrentView();
    if (view.bInSync && count <= Steps::kRegisterBits)
        return PrbsInSyncByte<Steps>(rxByte, count, wrongBits, view.iReference);
    return PrbsHuntByteOnState<Steps, Limit>(rxByte);
}

[[gnu::noinline]] uint16_t CheckByteInGeneral(uint32_t patternType, uint8_t rxByte, uint32_t& count,
                                              uint8_t& wrongBits) {
    if (!IsPrbsType(patternType)) return OtherPatternByte(patternType, rxByte, wrongBits);
    return WithPrbsType(patternType, [&](auto steps, auto limit) {
        return PrbsByte<decltype(steps), limit>(rxByte, count, wrongBits);
    });
}

}  // namespace

// The byte-wide sequences of the single-link test take their step
// parameters from a table here, without a dispatch on the sequence.
uint16_t CheckPatternByteGeneral(uint8_t rxByte, uint32_t& count, uint8_t& wrongBits) {
    const uint32_t patternType = g_Settings.uPatternType;
    if (patternType < PATTERN_2047 || patternType > PATTERN_QRSS || g_Settings.bMultiDrop)
        return CheckByteInGeneral(patternType, rxByte, count, wrongBits);
    const PrbsParams& params = kPrbsParams[patternType];
    if (g_bInSync.load(std::memory_order_relaxed) && count <= params.registerBits)
        return CompareWithReference(rxByte, PrbsGenerate(g_aScram[1], params.a, params.b, false),
                                    count, wrongBits);
    uint32_t zeroRun = zero_run::ClampRun(g_RxScram.wZeroRun, params.zeroRunLimit);
    const bool fired =
        zero_run::GuardStep(zeroRun, rxByte, zero_run::kGuardTables[params.guardTable]);
    g_RxScram.wZeroRun = static_cast<uint16_t>(zeroRun);
    if (fired) return kNotInStep;
    return PrbsCheck(g_RxScram.dwRegister, rxByte, params.a, params.b, false) ? kNotInStep : 0;
}

uint64_t CheckPatternBlock(const uint8_t* data, uint32_t n, uint32_t& count, uint8_t& wrongBits,
                           uint8_t* errors) {
    const uint32_t patternType = g_Settings.uPatternType;
    if (IsPrbsType(patternType))
        return WithPrbsType(patternType, [&](auto steps, auto limit) {
            return PrbsBlock<decltype(steps), limit>(patternType, data, n, count, wrongBits,
                                                     errors);
        });
    uint64_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        errors[i] = static_cast<uint8_t>(OtherPatternByte(patternType, data[i], wrongBits));
        sum += errors[i];
    }
    return sum;
}
