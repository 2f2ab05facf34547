// A small BERT engine: the PRBS and fixed patterns generated and checked a
// byte at a time (no per-bit work), sync hunted on the received stream,
// errors counted against a free-running reference once in sync.
#include "sim/bert_engine.h"

#include <bit>
#include <vector>

#include "sim/records.h"

namespace sim {
namespace {

// A byte-wise PRBS step for s[t] = s[t-p] ^ s[t-q]: the register holds the
// last bits sent, newest in bit 0; shifts a = p - w and b = q - w for a step
// of w bits (8 when both lags reach a whole byte back, else 4).
struct Prbs {
    unsigned a = 0, b = 0;
    bool nibble = false;
};

struct Pattern {
    bool prbs = true;
    Prbs taps;
    std::vector<uint8_t> cycle;  // fixed patterns
    uint64_t blockBits = 2047;
};

Prbs Taps(unsigned p, unsigned q) {
    bool nibble = p < 8;
    unsigned w = nibble ? 4 : 8;
    return Prbs{p - w, q - w, nibble};
}

Pattern PatternFor(uint32_t type) {
    auto fixed = [](std::vector<uint8_t> cycle) {
        Pattern pattern;
        pattern.prbs = false;
        pattern.blockBits = cycle.size() * 8;
        pattern.cycle = std::move(cycle);
        return pattern;
    };
    switch (type) {
        case 1: return Pattern{true, Taps(5, 6), {}, 63};
        case 2: return Pattern{true, Taps(5, 9), {}, 511};
        case 4: return Pattern{true, Taps(14, 15), {}, 32767};
        case 5:
        case 7: return Pattern{true, Taps(17, 20), {}, 1048575};
        case 6: return Pattern{true, Taps(18, 23), {}, 8388607};
        case 8: return fixed({0x40});
        case 9: return fixed({0x40, 0x00});
        case 10: return fixed({0x42});
        case 11: return fixed({0x22, 0x20, 0x00});
        case 13: return fixed({0xAA});
        case 15: return fixed({0xFF});
        case 16: return fixed({0x00});
        default: return Pattern{true, Taps(9, 11), {}, 2047};
    }
}

uint8_t NextPrbs(uint32_t& reg, const Prbs& t) {
    if (!t.nibble) {
        uint8_t out = uint8_t((reg >> t.a) ^ (reg >> t.b));
        reg = reg << 8 | out;
        return out;
    }
    uint8_t hi = ((reg >> t.a) ^ (reg >> t.b)) & 0xF;
    reg = reg << 4 | hi;
    uint8_t lo = ((reg >> t.a) ^ (reg >> t.b)) & 0xF;
    reg = reg << 4 | lo;
    return uint8_t(hi << 4 | lo);
}

// Bits of rx that break the recurrence, judged on the received history alone.
uint8_t Syndrome(uint32_t history, uint8_t rx, const Prbs& t) {
    if (!t.nibble) return uint8_t((history >> t.a) ^ (history >> t.b) ^ rx);
    uint8_t hi = ((history >> t.a) ^ (history >> t.b) ^ (rx >> 4)) & 0xF;
    uint32_t e = history << 4 | (rx >> 4);
    uint8_t lo = ((e >> t.a) ^ (e >> t.b) ^ rx) & 0xF;
    return uint8_t(hi << 4 | lo);
}

constexpr int kSyncBytes = 4;           // clean bytes in a row that declare sync
constexpr uint64_t kLossWindowBits = 256;
constexpr uint64_t kLossErrors = 64;    // 25 % errors in a window loses sync

struct Interval {
    uint64_t bits = 0, blocks = 0, bitErrors = 0, blockErrors = 0;
    uint32_t es = 0, ses = 0, as = 0;
};

class PatternEngine : public BertEngine {
public:
    PatternEngine(const uint8_t* config, uint32_t recordMs, int64_t nowNs)
        : pattern_(PatternFor(LoadU32(config, kBertCfgPattern))),
          testLengthBits_(LoadU32(config, kBertCfgTestLengthBits)),
          autoInvert_(LoadU32(config, kBertCfgAutoInvert) != 0),
          stopOnError_(LoadU32(config, kBertCfgStopOnError) != 0),
          recordNs_(int64_t(recordMs) * 1000000) {
        Reset(nowNs);
    }

    void Generate(uint8_t* out, size_t count) override {
        for (size_t i = 0; i < count; ++i) out[i] = NextTx();
    }

    void Receive(const uint8_t* data, size_t count) override {
        for (size_t i = 0; i < count; ++i) Check(inverted_ ? uint8_t(~data[i]) : data[i]);
    }

    bool TakeRecord(int64_t nowNs, uint8_t* record) override {
        if (nowNs < nextRecordNs_) return false;
        CloseSeconds(nowNs);
        FillRecord(record, nowNs);
        interval_ = Interval{};
        lastRecordNs_ = nowNs;
        nextRecordNs_ += recordNs_;
        if (nextRecordNs_ <= nowNs) nextRecordNs_ = nowNs + recordNs_;
        return true;
    }

    void Reset(int64_t nowNs) override {
        interval_ = Interval{};
        second_ = Interval{};
        secondBad_ = false;
        syncedBits_ = 0;
        ended_ = false;
        lastRecordNs_ = nowNs;
        nextRecordNs_ = nowNs + recordNs_;
        nextSecondNs_ = nowNs + 1000000000;
    }

private:
    uint8_t NextTx() {
        if (pattern_.prbs) return NextPrbs(txReg_, pattern_.taps);
        uint8_t out = pattern_.cycle[txPhase_];
        txPhase_ = (txPhase_ + 1) % pattern_.cycle.size();
        return out;
    }

    void Check(uint8_t rx) {
        interval_.bits += 8;
        second_.bits += 8;
        if (inSync_) CountInSync(rx);
        else if (pattern_.prbs) HuntPrbs(rx);
        else HuntFixed(rx);
    }

    void CountInSync(uint8_t rx) {
        uint8_t expected;
        if (pattern_.prbs) {
            expected = NextPrbs(refReg_, pattern_.taps);
        } else {
            expected = pattern_.cycle[rxPhase_];
            rxPhase_ = (rxPhase_ + 1) % pattern_.cycle.size();
        }
        unsigned errors = unsigned(std::popcount(unsigned(expected ^ rx)));
        syncedBits_ += 8;
        blockBits_ += 8;
        interval_.bitErrors += errors;
        second_.bitErrors += errors;
        windowErrors_ += errors;
        if (errors) blockErrored_ = true;
        if (errors && stopOnError_) ended_ = true;
        if (testLengthBits_ && syncedBits_ >= testLengthBits_) ended_ = true;
        if (blockBits_ >= pattern_.blockBits) {
            blockBits_ -= pattern_.blockBits;
            ++interval_.blocks;
            if (blockErrored_) ++interval_.blockErrors;
            blockErrored_ = false;
        }
        windowBits_ += 8;
        if (windowBits_ >= kLossWindowBits) {
            if (windowErrors_ >= kLossErrors) LoseSync();
            windowBits_ = windowErrors_ = 0;
        }
    }

    void LoseSync() {
        inSync_ = false;
        clean_ = 0;
        secondBad_ = true;
    }

    void Acquire() {
        inSync_ = true;
        windowBits_ = windowErrors_ = 0;
        blockBits_ = 0;
        blockErrored_ = false;
    }

    void HuntPrbs(uint8_t rx) {
        uint8_t syndrome = Syndrome(rxHistory_, rx, pattern_.taps);
        rxHistory_ = rxHistory_ << 8 | rx;
        ++historyBytes_;
        if (historyBytes_ < 4) return;
        if (syndrome == 0) {
            if (++clean_ >= kSyncBytes) {
                refReg_ = rxHistory_;
                Acquire();
            }
        } else {
            clean_ = 0;
            // A two-tap sequence received inverted breaks every recurrence.
            if (syndrome == 0xFF && autoInvert_ && ++invertedRun_ >= kSyncBytes) ToggleInversion();
            if (syndrome != 0xFF) invertedRun_ = 0;
        }
    }

    void HuntFixed(uint8_t rx) {
        const auto& cycle = pattern_.cycle;
        if (clean_ > 0 && rx == cycle[rxPhase_]) {
            rxPhase_ = (rxPhase_ + 1) % cycle.size();
            if (++clean_ >= kSyncBytes) Acquire();
            return;
        }
        clean_ = 0;
        for (size_t k = 0; k < cycle.size(); ++k) {
            if (rx == cycle[k]) {
                rxPhase_ = (k + 1) % cycle.size();
                clean_ = 1;
                return;
            }
        }
        if (autoInvert_ && ++invertedRun_ >= 8 * kSyncBytes) ToggleInversion();
    }

    void ToggleInversion() {
        inverted_ = !inverted_;
        invertedRun_ = 0;
        historyBytes_ = 0;
        clean_ = 0;
    }

    void CloseSeconds(int64_t nowNs) {
        while (nowNs >= nextSecondNs_) {
            bool severe = secondBad_ || !inSync_ || second_.bitErrors * 1000 >= second_.bits;
            if (second_.bits == 0) severe = true;
            if (second_.bitErrors > 0) ++interval_.es;
            if (severe) ++interval_.ses;
            else ++interval_.as;
            second_ = Interval{};
            secondBad_ = !inSync_;
            nextSecondNs_ += 1000000000;
        }
    }

    void FillRecord(uint8_t* record, int64_t nowNs) const {
        for (size_t i = 0; i < kBertRecordBytes; ++i) record[i] = 0;
        uint8_t status = 0;
        if (!inSync_) status |= kBertNotInSync;
        if (inverted_) status |= kBertInverted;
        if (ended_) status |= kBertEnded;
        record[kBertStatus] = status;
        StoreU32(record, kBertMsecs, uint32_t((nowNs - lastRecordNs_) / 1000000));
        StoreU32(record, kBertBitCount, uint32_t(interval_.bits));
        StoreU32(record, kBertBlockCount, uint32_t(interval_.blocks));
        StoreU32(record, kBertBitErrors, uint32_t(interval_.bitErrors));
        StoreU32(record, kBertBlockErrors, uint32_t(interval_.blockErrors));
        StoreU32(record, kBertEs, interval_.es);
        StoreU32(record, kBertSes, interval_.ses);
        StoreU32(record, kBertAs, interval_.as);
    }

    const Pattern pattern_;
    const uint64_t testLengthBits_;
    const bool autoInvert_;
    const bool stopOnError_;
    const int64_t recordNs_;

    uint32_t txReg_ = 0xFFFFFFFF;
    size_t txPhase_ = 0;

    bool inSync_ = false;
    bool inverted_ = false;
    bool ended_ = false;
    uint32_t rxHistory_ = 0;
    unsigned historyBytes_ = 0;
    uint32_t refReg_ = 0;
    size_t rxPhase_ = 0;
    int clean_ = 0;
    int invertedRun_ = 0;
    uint64_t windowBits_ = 0, windowErrors_ = 0;
    uint64_t blockBits_ = 0;
    bool blockErrored_ = false;
    uint64_t syncedBits_ = 0;

    Interval interval_;
    Interval second_;
    bool secondBad_ = false;
    int64_t lastRecordNs_ = 0, nextRecordNs_ = 0, nextSecondNs_ = 0;
};

}  // namespace

std::unique_ptr<BertEngine> MakeBertEngine(const uint8_t* config, uint32_t recordMs, int64_t nowNs) {
    return std::make_unique<PatternEngine>(config, recordMs == 0 ? 100 : recordMs, nowNs);
}

}  // namespace sim
