// The simulated card's BERT engine: patterns made and checked a byte at a
// time, sync judged per sample of received bytes, seconds judged from the
// samples they held.
#include "sim/bert_engine.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "sim/records.h"

namespace sim {
namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

// Sample thresholds, in per cent of the bits of a sample.
constexpr uint64_t kLossOfSyncPercent = 50;
constexpr uint64_t kSyncPercent = 10;
constexpr uint64_t kSeverePercent = 30;

// No byte for this long while in sync is a dead line (outside burst mode).
constexpr int64_t kNoDataNs = 100 * kNsPerMs;
// Out of sync with auto-invert: the receive inversion flips this often...
constexpr int64_t kInvertStepNs = 500 * kNsPerMs;
// ...or at once when a pseudo-random pattern arrives plainly inverted: a
// two-tap sequence with every bit flipped breaks every recurrence, so the
// checker sees all-ones syndromes.
constexpr unsigned kInvertedSyndromeBytes = 4;
// Bytes in a row that may mismatch a fixed pattern before the check falls
// back to hunting, as the host's fixed-pattern checker allows.
constexpr unsigned kFixedMismatchLimit = 10;
// A fixed pattern is locked once this many bytes in a row (at most one
// cycle) came as predicted, so that a byte occurring twice in a cycle does
// not lock the wrong phase.
constexpr size_t kFixedLockBytes = 16;
// Injected errors go into bytes this far apart, so that each one is a
// single wrong bit in its own byte.
constexpr uint32_t kInjectSpacingBytes = 4;

// A byte step of s[t] = s[t-p] ^ s[t-q]: a and b line the taps up with the
// byte (or nibble, when the near tap is closer than 8 bits) being made.
struct PrbsTaps {
    unsigned a = 0, b = 0;
    bool nibbles = false;
    unsigned registerBits = 0;
    unsigned zeroRunLimit = 0;  // longest run of zeros the sequence allows
};

struct PatternShape {
    bool prbs = true;
    PrbsTaps taps;
    std::vector<uint8_t> cycle;  // fixed patterns
    uint64_t blockBits = 0;
};

// "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890\r\n", EBCDIC, the
// text of eight-bit characters.
const std::vector<uint8_t> kFoxText = {
    0xE3, 0xC8, 0xC5, 0x40, 0xD8, 0xE4, 0xC9, 0xC3, 0xD2, 0x40, 0xC2, 0xD9, 0xD6, 0xE6,
    0xD5, 0x40, 0xC6, 0xD6, 0xE7, 0x40, 0xD1, 0xE4, 0xD4, 0xD7, 0xE2, 0x40, 0xD6, 0xE5,
    0xC5, 0xD9, 0x40, 0xE3, 0xC8, 0xC5, 0x40, 0xD3, 0xC1, 0xE9, 0xE8, 0x40, 0xC4, 0xD6,
    0xC7, 0x40, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xF0, 0x0D, 0x25};

PatternShape Prbs(unsigned a, unsigned b, bool nibbles, unsigned registerBits,
                  unsigned zeroRunLimit) {
    PatternShape shape;
    shape.taps = PrbsTaps{a, b, nibbles, registerBits, zeroRunLimit};
    shape.blockBits = (uint64_t{1} << registerBits) - 1;
    return shape;
}

PatternShape Fixed(std::vector<uint8_t> cycle) {
    PatternShape shape;
    shape.prbs = false;
    shape.blockBits = cycle.size() * 8;
    shape.cycle = std::move(cycle);
    return shape;
}

// Pattern types as the program numbers them; the ones the engine does not
// know (none, user) run the default 2^11-1.
PatternShape ShapeOfPattern(uint32_t type) {
    switch (type) {
        case 1:
            return Prbs(2, 1, true, 6, 5);
        case 2:
            return Prbs(5, 1, true, 9, 8);
        case 4:
            return Prbs(6, 7, false, 15, 14);
        case 5:
        case 7:
            return Prbs(9, 12, false, 20, 14);
        case 6:
            return Prbs(10, 15, false, 23, 22);
        case 8:
            return Fixed({0x40});
        case 9:
            return Fixed({0x40, 0x00});
        case 10:
            return Fixed({0x42});
        case 11:
            return Fixed({0x22, 0x20, 0x00});
        case 13:
            return Fixed({0xAA});
        case 14:
            return Fixed(kFoxText);
        case 15:
            return Fixed({0xFF});
        case 16:
            return Fixed({0x00});
        default:
            return Prbs(1, 3, false, 11, 10);
    }
}

uint8_t PrbsNext(uint32_t& reg, const PrbsTaps& t) {
    if (!t.nibbles) {
        const uint8_t out = uint8_t((reg >> t.a) ^ (reg >> t.b));
        reg = reg << 8 | out;
        return out;
    }
    const uint8_t hi = ((reg >> t.a) ^ (reg >> t.b)) & 0xF;
    reg = reg << 4 | hi;
    const uint8_t lo = ((reg >> t.a) ^ (reg >> t.b)) & 0xF;
    reg = reg << 4 | lo;
    return uint8_t(hi << 4 | lo);
}

// Bits of rx that break the recurrence given the bits received before it;
// rx then joins the history.
uint8_t PrbsSyndrome(uint32_t& history, uint8_t rx, const PrbsTaps& t) {
    const uint32_t r = history;
    history = r << 8 | rx;
    if (!t.nibbles) return uint8_t((r >> t.a) ^ (r >> t.b) ^ rx);
    const uint8_t hi = ((r >> t.a) ^ (r >> t.b) ^ (rx >> 4)) & 0xF;
    const uint32_t e = r << 4 | (rx >> 4);
    const uint8_t lo = ((e >> t.a) ^ (e >> t.b) ^ rx) & 0xF;
    return uint8_t(hi << 4 | lo);
}

uint32_t Clamp32(uint64_t value) {
    return uint32_t(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

// Counts of the record in progress.
struct Interval {
    uint64_t bits = 0, blocks = 0, bitErrors = 0, blockErrors = 0;
    uint32_t es = 0, ses = 0, as = 0;
};

// The bytes of one tick.
struct Sample {
    uint64_t bits = 0;
    uint64_t wrongBits = 0;   // as the checker judged them, hunting included
    uint64_t syncErrors = 0;  // counted as bit errors
};

struct SecondMarks {
    bool sampled = false;
    bool errored = false;
    bool severe = false;
};

class PatternEngine final : public BertEngine {
   public:
    PatternEngine(const uint8_t* config, uint32_t recordMs, int64_t nowNs)
        : shape_(ShapeOfPattern(LoadU32(config, kBertCfgPattern))),
          testLengthBits_(LoadU32(config, kBertCfgTestLengthBits)),
          burst_(LoadU32(config, kBertCfgBurst) != 0),
          autoInvert_(LoadU32(config, kBertCfgAutoInvert) != 0),
          stopOnError_(LoadU32(config, kBertCfgStopOnError) != 0),
          recordNs_(int64_t(recordMs) * kNsPerMs),
          mismatchLimit_(shape_.prbs ? shape_.taps.registerBits : kFixedMismatchLimit),
          lockBits_(shape_.prbs ? shape_.taps.registerBits
                                : 8 * std::min(shape_.cycle.size(), kFixedLockBytes)) {
        Reset(nowNs);
    }

    void Generate(uint8_t* out, size_t count) override {
        for (size_t i = 0; i < count; ++i) {
            uint8_t byte = NextTx();
            if (sinceInjectBytes_ < kInjectSpacingBytes) {
                ++sinceInjectBytes_;
            } else if (injectPending_ > 0) {
                byte ^= 0x01;
                --injectPending_;
                sinceInjectBytes_ = 1;
            }
            out[i] = byte;
        }
    }

    void Receive(const uint8_t* data, size_t count) override {
        for (size_t i = 0; i < count; ++i) Check(inverted_ ? uint8_t(~data[i]) : data[i]);
    }

    bool TakeRecord(int64_t nowNs, uint8_t* record) override {
        CloseSample(nowNs);
        CloseSeconds(nowNs);
        if (nowNs < nextRecordNs_) return false;
        const int64_t msecs = (nowNs - lastRecordNs_) / kNsPerMs;
        // What the truncation leaves goes into the next record's time.
        lastRecordNs_ += msecs * kNsPerMs;
        FillRecord(record, uint32_t(msecs));
        interval_ = Interval{};
        lostInRecord_ = false;
        nextRecordNs_ += recordNs_;
        if (nextRecordNs_ <= nowNs) nextRecordNs_ = nowNs + recordNs_;
        return true;
    }

    void InjectErrors(uint32_t count) override { injectPending_ += count; }

    void ResetStats() override { interval_ = Interval{}; }

    void Reset(int64_t nowNs) override {
        interval_ = Interval{};
        sample_ = Sample{};
        second_ = SecondMarks{};
        lostInRecord_ = false;
        syncedBits_ = 0;
        blockBits_ = 0;
        blockErrored_ = false;
        ended_ = false;
        lastRecordNs_ = nowNs;
        nextRecordNs_ = nowNs + recordNs_;
        nextSecondNs_ = nowNs + kNsPerSecond;
        lastDataNs_ = nowNs;
        lastInvertStepNs_ = nowNs;
    }

   private:
    uint8_t NextTx() {
        if (shape_.prbs) return PrbsNext(txRegister_, shape_.taps);
        const uint8_t out = shape_.cycle[txPhase_];
        txPhase_ = (txPhase_ + 1) % shape_.cycle.size();
        return out;
    }

    // ---- one byte ----------------------------------------------------------

    void Check(uint8_t rx) {
        const bool onReference = inSync_ && mismatchRun_ <= mismatchLimit_;
        // The hunt's history no longer follows the line while the reference runs.
        if (onReference) huntBits_ = 0;
        const unsigned wrong = onReference ? CompareWithReference(rx) : Hunt(rx);
        sample_.bits += 8;
        sample_.wrongBits += wrong;
        if (ended_) return;  // the run is over: nothing more is counted
        interval_.bits += 8;
        // Off its reference the check only hunts: its all-or-nothing bytes
        // are no count of wrong bits, and the sample's end declares the loss.
        if (inSync_) CountInSync(onReference ? wrong : 0);
    }

    unsigned CompareWithReference(uint8_t rx) {
        uint8_t expected;
        if (shape_.prbs) {
            expected = PrbsNext(refRegister_, shape_.taps);
        } else {
            expected = shape_.cycle[refPhase_];
            refPhase_ = (refPhase_ + 1) % shape_.cycle.size();
        }
        if (rx == expected) {
            mismatchRun_ = 0;
            return 0;
        }
        ++mismatchRun_;
        return unsigned(std::popcount(unsigned(rx ^ expected)));
    }

    // Hunting (or fallen back while in sync): a byte is all right or all wrong.
    unsigned Hunt(uint8_t rx) { return shape_.prbs ? HuntPrbs(rx) : HuntFixed(rx); }

    unsigned HuntPrbs(uint8_t rx) {
        // A dead line stuck at zero satisfies every linear recurrence.
        if (ZeroRunExceeded(rx)) {
            huntBits_ = 0;  // the byte stays out of the history
            return 8;
        }
        const uint8_t syndrome = PrbsSyndrome(rxRegister_, rx, shape_.taps);
        huntBits_ = std::min(huntBits_ + 8, 64u);
        if (autoInvert_ && !inSync_) {
            invertedRun_ = syndrome == 0xFF ? invertedRun_ + 1 : 0;
            if (invertedRun_ >= kInvertedSyndromeBytes) ToggleInversion();
        }
        return syndrome == 0 ? 0 : 8;
    }

    unsigned HuntFixed(uint8_t rx) {
        const auto& cycle = shape_.cycle;
        if (rx == cycle[huntPhase_]) {
            huntPhase_ = (huntPhase_ + 1) % cycle.size();
            huntBits_ = std::min<unsigned>(huntBits_ + 8, lockBits_);
            return 0;
        }
        huntBits_ = 0;
        for (size_t k = 0; k < cycle.size(); ++k) {
            if (cycle[k] != rx) continue;
            huntPhase_ = (k + 1) % cycle.size();
            huntBits_ = 8;
            break;
        }
        return 8;
    }

    bool ZeroRunExceeded(uint8_t rx) {
        bool fired = false;
        for (int bit = 7; bit >= 0; --bit) {
            if (rx & (1u << bit)) {
                zeroRun_ = 0;
            } else if (++zeroRun_ > shape_.taps.zeroRunLimit) {
                fired = true;
                zeroRun_ = 0;
            }
        }
        return fired;
    }

    void CountInSync(unsigned wrong) {
        interval_.bitErrors += wrong;
        sample_.syncErrors += wrong;
        if (wrong) blockErrored_ = true;
        blockBits_ += 8;
        if (blockBits_ >= shape_.blockBits) {
            blockBits_ -= shape_.blockBits;
            ++interval_.blocks;
            if (blockErrored_) ++interval_.blockErrors;
            blockErrored_ = false;
        }
        syncedBits_ += 8;
        if ((wrong && stopOnError_) || (testLengthBits_ && syncedBits_ >= testLengthBits_))
            ended_ = true;
    }

    void ToggleInversion() {
        inverted_ = !inverted_;
        invertedRun_ = 0;
        zeroRun_ = 0;
        rxRegister_ = 0;
        huntBits_ = 0;
        invertedInSample_ = true;
    }

    // ---- one sample ----------------------------------------------------------

    void CloseSample(int64_t nowNs) {
        if (sample_.bits == 0) {
            if (inSync_ && !burst_ && nowNs - lastDataNs_ > kNoDataNs) LoseSync(nowNs);
            return;
        }
        lastDataNs_ = nowNs;
        const uint64_t percent = sample_.wrongBits * 100 / sample_.bits;
        // A check that fell off its reference (a slip, a long burst) lost
        // sync; the record shows it before the reference picks up again.
        if (inSync_ && mismatchRun_ > mismatchLimit_) LoseSync(nowNs);
        if (percent >= kLossOfSyncPercent) {
            if (inSync_) LoseSync(nowNs);
        } else if (percent <= kSyncPercent && !inSync_ && !lostInRecord_ &&
                   huntBits_ >= lockBits_) {
            // The hunt must have seen enough of the line to know where the pattern is.
            AcquireSync();
        }
        MarkSecond(percent);
        if (invertedInSample_) lastInvertStepNs_ = nowNs;
        invertedInSample_ = false;
        if (!inSync_ && autoInvert_ && nowNs - lastInvertStepNs_ >= kInvertStepNs) {
            ToggleInversion();
            lastInvertStepNs_ = nowNs;
            invertedInSample_ = false;
        }
        sample_ = Sample{};
    }

    void MarkSecond(uint64_t percent) {
        second_.sampled = true;
        // The measurement starts at the engine's first sync, as the host's
        // own starts at its first sync in software mode.
        if (!everSynced_) return;
        if (!inSync_) {
            second_.severe = true;
            return;
        }
        if (sample_.syncErrors > 0) second_.errored = true;
        if (percent >= kSeverePercent) second_.severe = true;
    }

    void AcquireSync() {
        if (!inSync_) {
            blockBits_ = 0;
            blockErrored_ = false;
        }
        inSync_ = true;
        everSynced_ = true;
        mismatchRun_ = 0;
        refRegister_ = rxRegister_;
        refPhase_ = huntPhase_;
    }

    void LoseSync(int64_t nowNs) {
        // Also when no data declared the loss: that wait ended out of sync.
        second_.severe = true;
        lostInRecord_ = true;
        inSync_ = false;
        mismatchRun_ = 0;
        invertedRun_ = 0;
        lastInvertStepNs_ = nowNs;
    }

    void CloseSeconds(int64_t nowNs) {
        while (nowNs >= nextSecondNs_) {
            // A second that ends without the pattern ever found is no
            // available second: it counts as severely errored, as the host
            // counts its samples out of sync in software mode.
            const bool severe = second_.severe || (!inSync_ && !everSynced_) ||
                                (!second_.sampled && !inSync_ && everSynced_);
            // A second is one thing: severely errored outweighs errored.
            if (!ended_) {
                if (severe)
                    ++interval_.ses;
                else if (second_.errored)
                    ++interval_.es;
                else
                    ++interval_.as;
            }
            second_ = SecondMarks{};
            nextSecondNs_ += kNsPerSecond;
        }
    }

    void FillRecord(uint8_t* record, uint32_t msecs) const {
        std::fill(record, record + kBertRecordBytes, uint8_t{0});
        uint8_t status = 0;
        if (!inSync_) status |= kBertNotInSync;
        if (inverted_) status |= kBertInverted;
        if (ended_) status |= kBertEnded;
        record[kBertStatus] = status;
        StoreU32(record, kBertMsecs, msecs);
        StoreU32(record, kBertBitCount, Clamp32(interval_.bits));
        StoreU32(record, kBertBlockCount, Clamp32(interval_.blocks));
        StoreU32(record, kBertBitErrors, Clamp32(interval_.bitErrors));
        StoreU32(record, kBertBlockErrors, Clamp32(interval_.blockErrors));
        StoreU32(record, kBertEs, interval_.es);
        StoreU32(record, kBertSes, interval_.ses);
        StoreU32(record, kBertAs, interval_.as);
    }

    const PatternShape shape_;
    const uint64_t testLengthBits_;
    const bool burst_;
    const bool autoInvert_;
    const bool stopOnError_;
    const int64_t recordNs_;
    const unsigned mismatchLimit_;
    const unsigned lockBits_;  // hunt history that sync needs

    // Transmit side.
    uint32_t txRegister_ = 1;
    size_t txPhase_ = 0;
    uint32_t injectPending_ = 0;
    uint32_t sinceInjectBytes_ = kInjectSpacingBytes;

    // Receive side.
    bool inSync_ = false;
    bool everSynced_ = false;
    bool inverted_ = false;
    bool invertedInSample_ = false;
    bool lostInRecord_ = false;  // sync lost since the last record: it must show there
    uint32_t rxRegister_ = 0;    // the last bits received while hunting
    uint32_t refRegister_ = 0;   // the reference generator once in sync
    size_t huntPhase_ = 0;
    unsigned huntBits_ = 0;  // bits of line history the hunt holds
    size_t refPhase_ = 0;
    unsigned mismatchRun_ = 0;
    unsigned zeroRun_ = 0;
    unsigned invertedRun_ = 0;
    uint64_t blockBits_ = 0;
    bool blockErrored_ = false;

    // The run.
    uint64_t syncedBits_ = 0;
    bool ended_ = false;
    Interval interval_;
    Sample sample_;
    SecondMarks second_;
    int64_t lastRecordNs_ = 0;
    int64_t nextRecordNs_ = 0;
    int64_t nextSecondNs_ = 0;
    int64_t lastDataNs_ = 0;
    int64_t lastInvertStepNs_ = 0;
};

}  // namespace

std::unique_ptr<BertEngine> MakeBertEngine(const uint8_t* config, uint32_t recordMs,
                                           int64_t nowNs) {
    return std::make_unique<PatternEngine>(config, recordMs == 0 ? 100 : recordMs, nowNs);
}

}  // namespace sim
