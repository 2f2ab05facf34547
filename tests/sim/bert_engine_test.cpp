// The simulated card's BERT engine on its own: what it sends, how it finds
// and keeps sync, what it counts, and the records it hands out.
#include "sim/bert_engine.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <functional>
#include <random>
#include <vector>

#include "sim/records.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kTickNs = 4 * kMs;

struct Record {
    uint8_t status = 0;
    uint32_t msecs = 0, bits = 0, blocks = 0, bitErrors = 0, blockErrors = 0, es = 0, ses = 0,
             as = 0;
    bool InSync() const { return (status & sim::kBertNotInSync) == 0; }
    bool Inverted() const { return (status & sim::kBertInverted) != 0; }
    bool Ended() const { return (status & sim::kBertEnded) != 0; }
};

Record Decode(const uint8_t* b) {
    Record r;
    r.status = b[sim::kBertStatus];
    r.msecs = sim::LoadU32(b, sim::kBertMsecs);
    r.bits = sim::LoadU32(b, sim::kBertBitCount);
    r.blocks = sim::LoadU32(b, sim::kBertBlockCount);
    r.bitErrors = sim::LoadU32(b, sim::kBertBitErrors);
    r.blockErrors = sim::LoadU32(b, sim::kBertBlockErrors);
    r.es = sim::LoadU32(b, sim::kBertEs);
    r.ses = sim::LoadU32(b, sim::kBertSes);
    r.as = sim::LoadU32(b, sim::kBertAs);
    return r;
}

struct Totals {
    uint64_t msecs = 0, bits = 0, blocks = 0, bitErrors = 0, blockErrors = 0, es = 0, ses = 0,
             as = 0;
    Record last;
    int records = 0;
    void Add(const Record& r) {
        msecs += r.msecs;
        bits += r.bits;
        blocks += r.blocks;
        bitErrors += r.bitErrors;
        blockErrors += r.blockErrors;
        es += r.es;
        ses += r.ses;
        as += r.as;
        last = r;
        ++records;
    }
};

struct Config {
    uint32_t pattern = 3;
    uint32_t testLengthBits = 0;
    bool burst = false;
    bool autoInvert = false;
    bool stopOnError = false;
};

// The engine wired to a line the test controls: every tick the engine sends
// bytesPerTick bytes, the line may change or drop them, the engine receives
// what is left and hands out its records.
class Rig {
   public:
    using LineFn = std::function<bool(std::vector<uint8_t>&)>;  // false: nothing arrives

    explicit Rig(const Config& c, size_t bytesPerTick = 32, uint32_t recordMs = 100)
        : bytesPerTick_(bytesPerTick) {
        std::array<uint8_t, 128> config{};
        sim::StoreU32(config.data(), 0, 1);
        sim::StoreU32(config.data(), sim::kBertCfgPattern, c.pattern);
        sim::StoreU32(config.data(), sim::kBertCfgTestLengthBits, c.testLengthBits);
        sim::StoreU32(config.data(), sim::kBertCfgBurst, c.burst);
        sim::StoreU32(config.data(), sim::kBertCfgAutoInvert, c.autoInvert);
        sim::StoreU32(config.data(), sim::kBertCfgStopOnError, c.stopOnError);
        engine_ = sim::MakeBertEngine(config.data(), recordMs, now_);
    }

    // Runs for ms of line time; returns the records it produced.
    Totals Run(int64_t ms, const LineFn& line = nullptr) {
        Totals totals;
        for (int64_t end = now_ + ms * kMs; now_ < end;) {
            now_ += kTickNs;
            std::vector<uint8_t> bytes(bytesPerTick_);
            engine_->Generate(bytes.data(), bytes.size());
            sent_.insert(sent_.end(), bytes.begin(), bytes.end());
            if (!line || line(bytes)) engine_->Receive(bytes.data(), bytes.size());
            std::array<uint8_t, sim::kBertRecordBytes> record{};
            while (engine_->TakeRecord(now_, record.data())) totals.Add(Decode(record.data()));
        }
        return totals;
    }

    sim::BertEngine& engine() { return *engine_; }
    int64_t now() const { return now_; }
    const std::vector<uint8_t>& sent() const { return sent_; }

   private:
    size_t bytesPerTick_;
    int64_t now_ = 1000 * kMs;
    std::unique_ptr<sim::BertEngine> engine_;
    std::vector<uint8_t> sent_;
};

// Bit t of a byte stream, bit 7 of each byte first.
int StreamBit(const std::vector<uint8_t>& bytes, size_t t) {
    return (bytes[t / 8] >> (7 - t % 8)) & 1;
}

// Flips each bit with probability rate; counts what it flipped.
struct RandomErrors {
    std::mt19937_64 rng{12345};
    double rate;
    uint64_t flipped = 0;
    bool operator()(std::vector<uint8_t>& bytes) {
        std::bernoulli_distribution flip(rate);
        for (auto& byte : bytes)
            for (int bit = 0; bit < 8; ++bit)
                if (flip(rng)) {
                    byte ^= uint8_t(1u << bit);
                    ++flipped;
                }
        return true;
    }
};

TEST(BertEngineTest, PseudoRandomPatternsFollowTheirRecurrences) {
    struct Case {
        uint32_t type;
        unsigned p, q;
    };
    for (const Case c : {Case{1, 5, 6}, Case{2, 5, 9}, Case{3, 9, 11}, Case{4, 14, 15},
                         Case{5, 17, 20}, Case{6, 18, 23}, Case{7, 17, 20}}) {
        Rig rig({.pattern = c.type});
        rig.Run(40);
        const std::vector<uint8_t>& sent = rig.sent();
        size_t broken = 0;
        for (size_t t = 64; t < sent.size() * 8; ++t)
            broken += StreamBit(sent, t) != (StreamBit(sent, t - c.p) ^ StreamBit(sent, t - c.q));
        EXPECT_EQ(broken, 0u) << "pattern " << c.type;
        // Not stuck at zero, which satisfies every such recurrence.
        std::vector<bool> seen(256);
        for (uint8_t b : sent) seen[b] = true;
        EXPECT_GT(std::count(seen.begin(), seen.end(), true), 32) << "pattern " << c.type;
    }
}

TEST(BertEngineTest, EveryPatternSyncsOnACleanLineAndCountsNoErrors) {
    for (uint32_t type : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 13u, 14u, 15u, 16u}) {
        Rig rig({.pattern = type});
        // The first second holds the hunt.
        Totals warmUp = rig.Run(1000);
        EXPECT_TRUE(warmUp.last.InSync()) << "pattern " << type;
        EXPECT_EQ(warmUp.bitErrors, 0u) << "pattern " << type;
        // The hunt before the first sync is not part of the measurement.
        EXPECT_EQ(warmUp.ses, 0u) << "pattern " << type;
        EXPECT_EQ(warmUp.as, 1u) << "pattern " << type;
        Totals t = rig.Run(3000);
        EXPECT_EQ(t.bitErrors, 0u) << "pattern " << type;
        EXPECT_EQ(t.blockErrors, 0u) << "pattern " << type;
        EXPECT_EQ(t.bits, 3000u / 4 * 32 * 8) << "pattern " << type;
        EXPECT_TRUE(t.last.InSync());
        EXPECT_FALSE(t.last.Inverted());
        EXPECT_FALSE(t.last.Ended());
        // Seconds 2 to 4 of the run ended here.
        EXPECT_EQ(t.as, 3u) << "pattern " << type;
        EXPECT_EQ(t.es + t.ses, 0u) << "pattern " << type;
    }
}

TEST(BertEngineTest, SlowLinesSyncWithoutCountingTheHunt) {
    // A byte or two a sample: the hunt must not lock onto too short a history.
    for (size_t bytesPerTick : {1u, 2u, 3u}) {
        for (uint32_t type : {1u, 2u, 3u, 4u, 5u, 6u, 8u, 9u, 11u, 14u}) {
            Rig rig({.pattern = type}, bytesPerTick);
            Totals t = rig.Run(3000);
            EXPECT_TRUE(t.last.InSync())
                << "pattern " << type << ", " << bytesPerTick << " bytes a tick";
            EXPECT_EQ(t.bitErrors, 0u)
                << "pattern " << type << ", " << bytesPerTick << " bytes a tick";
        }
    }
}

TEST(BertEngineTest, BlocksArePatternLengthsReceivedInSync) {
    Rig rig({.pattern = 3});
    rig.Run(100);
    Totals t = rig.Run(2000);
    // 2047-bit blocks out of 64000 bits a second.
    EXPECT_NEAR(double(t.blocks), 2 * 64000.0 / 2047, 1.0);
}

TEST(BertEngineTest, RecordsCoverTheTimeWithoutDrift) {
    Rig rig({.pattern = 3}, 32, 30);  // 30 ms records over 4 ms ticks
    Totals t = rig.Run(6000);
    // Each record reports whole milliseconds; what is cut off goes into the
    // next one, so the sum trails the time by less than one record.
    EXPECT_LE(t.msecs, 6000u);
    EXPECT_GE(t.msecs, 6000u - 34);
    EXPECT_NEAR(t.records, 6000 / 30, 1);  // due every 30 ms, each taken at the next tick
}

TEST(BertEngineTest, RandomLineErrorsAreCountedOneByOne) {
    Rig rig({.pattern = 4}, 128);
    rig.Run(100);
    RandomErrors errors{.rate = 1e-3};
    Totals t = rig.Run(5000, std::ref(errors));
    ASSERT_GT(errors.flipped, 1000u);
    EXPECT_EQ(t.bitErrors, errors.flipped);
    EXPECT_TRUE(t.last.InSync());
    EXPECT_GT(t.blockErrors, 0u);
    EXPECT_EQ(t.es, 5u);  // every second held errors
}

TEST(BertEngineTest, InjectedErrorsAreSpreadAndEachCountedOnce) {
    for (uint32_t type : {1u, 3u, 8u}) {
        Rig rig({.pattern = type}, 2);  // a slow line: few bytes per sample
        rig.Run(200);
        rig.engine().InjectErrors(8);
        rig.engine().InjectErrors(3);
        Totals t = rig.Run(2000);
        EXPECT_EQ(t.bitErrors, 11u) << "pattern " << type;
        EXPECT_TRUE(t.last.InSync()) << "pattern " << type;
    }
}

TEST(BertEngineTest, InvertedLineIsFoundOnlyWithAutoInvert) {
    auto invert = [](std::vector<uint8_t>& bytes) {
        for (auto& b : bytes) b = uint8_t(~b);
        return true;
    };
    for (uint32_t type : {3u, 8u}) {
        Rig plain({.pattern = type});
        Totals t = plain.Run(2000, invert);
        EXPECT_FALSE(t.last.InSync()) << "pattern " << type;
        EXPECT_FALSE(t.last.Inverted());

        Rig automatic({.pattern = type, .autoInvert = true});
        automatic.Run(1500, invert);
        Totals after = automatic.Run(1000, invert);
        EXPECT_TRUE(after.last.InSync()) << "pattern " << type;
        EXPECT_TRUE(after.last.Inverted()) << "pattern " << type;
        EXPECT_EQ(after.bitErrors, 0u);
    }
}

TEST(BertEngineTest, OutageLosesSyncAndTheLineIsFoundAgain) {
    Rig rig({.pattern = 3});
    rig.Run(1000);
    const int64_t outageEnd = rig.now() + 600 * kMs;
    Totals during = rig.Run(600, [&](std::vector<uint8_t>&) { return false; });
    EXPECT_FALSE(during.last.InSync());
    EXPECT_EQ(during.bitErrors, 0u);
    EXPECT_EQ(during.bits, 0u);
    ASSERT_EQ(rig.now(), outageEnd);
    Totals after = rig.Run(1400);
    EXPECT_TRUE(after.last.InSync());
    EXPECT_EQ(after.bitErrors, 0u);
    // The second that held the outage is severely errored.
    EXPECT_GE(during.ses + after.ses, 1u);
}

TEST(BertEngineTest, BurstModeKeepsSyncThroughAPause) {
    Rig rig({.pattern = 3, .burst = true});
    rig.Run(500);
    Totals pause = rig.Run(600, [](std::vector<uint8_t>&) { return false; });
    EXPECT_TRUE(pause.last.InSync());
}

TEST(BertEngineTest, DeadLineStuckAtZeroNeverSyncs) {
    Rig rig({.pattern = 3});
    Totals t = rig.Run(2000, [](std::vector<uint8_t>& bytes) {
        std::fill(bytes.begin(), bytes.end(), 0);
        return true;
    });
    EXPECT_FALSE(t.last.InSync());
    EXPECT_EQ(t.bitErrors, 0u);  // errors count only in sync
}

// Seconds in which the pattern was never found are not available seconds.
TEST(BertEngineTest, SecondsBeforeAnySyncAreSeverelyErrored) {
    using LineFn = Rig::LineFn;
    const LineFn kDead = [](std::vector<uint8_t>&) { return false; };
    const LineFn kNoise = [](std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(bytes[i] * 7 + i * 13);
        return true;
    };
    for (const auto& line : {kDead, kNoise}) {
        Rig rig({.pattern = 3});
        Totals t = rig.Run(3000, line);
        EXPECT_FALSE(t.last.InSync());
        EXPECT_EQ(t.as, 0u);
        EXPECT_EQ(t.ses, 3u);
    }
    Rig clean({.pattern = 3});
    Totals t = clean.Run(3000);
    EXPECT_EQ(t.as, 3u);  // the hunt of a clean line costs no second
    EXPECT_EQ(t.ses, 0u);
}

TEST(BertEngineTest, BitSlipIsRecoveredWithoutCountingForEver) {
    Rig rig({.pattern = 6});
    rig.Run(500);
    // From now on the line carries the stream one bit late.
    uint8_t carry = 0;
    auto slipped = [&](std::vector<uint8_t>& bytes) {
        for (auto& b : bytes) {
            const uint8_t next = uint8_t(b << 7);
            b = uint8_t(b >> 1 | carry);
            carry = next;
        }
        return true;
    };
    Totals hit = rig.Run(500, slipped);
    Totals after = rig.Run(1000, slipped);
    EXPECT_GT(hit.bitErrors, 0u);
    EXPECT_EQ(after.bitErrors, 0u);
    EXPECT_TRUE(after.last.InSync());
}

TEST(BertEngineTest, StopOnErrorEndsTheRunAtTheFirstErrorAndCountingStops) {
    Rig rig({.pattern = 3, .stopOnError = true});
    Totals clean = rig.Run(500);
    EXPECT_FALSE(clean.last.Ended());
    rig.engine().InjectErrors(1);
    Totals t = rig.Run(300);
    EXPECT_TRUE(t.last.Ended());
    EXPECT_EQ(t.bitErrors, 1u);
    rig.engine().InjectErrors(5);
    Totals later = rig.Run(300);
    EXPECT_TRUE(later.last.Ended());
    EXPECT_EQ(later.bits, 0u);
    EXPECT_EQ(later.bitErrors, 0u);
}

TEST(BertEngineTest, TestLengthEndsTheRunOnBitsInSync) {
    Rig rig({.pattern = 3, .testLengthBits = 100000});
    Totals t = rig.Run(1500);
    EXPECT_FALSE(t.last.Ended());
    Totals more = rig.Run(500);
    EXPECT_TRUE(more.last.Ended());
    // 64000 bits a second: the run ends within the second second.
    EXPECT_GE(t.bits + more.bits, 100000u);
    EXPECT_LE(t.bits + more.bits, 100000u + 64000u / 2);
}

TEST(BertEngineTest, ResetBertStartsTheRunAgainAndKeepsSync) {
    Rig rig({.pattern = 3, .stopOnError = true});
    rig.Run(300);
    rig.engine().InjectErrors(1);
    ASSERT_TRUE(rig.Run(300).last.Ended());
    rig.engine().Reset(rig.now());
    Totals t = rig.Run(1200);
    EXPECT_FALSE(t.last.Ended());
    EXPECT_TRUE(t.last.InSync());
    EXPECT_EQ(t.bitErrors, 0u);
    EXPECT_EQ(t.as, 1u);  // one second since the reset
}

TEST(BertEngineTest, ResetStatsDropsTheCountsOfTheRecordInProgress) {
    Rig rig({.pattern = 3}, 32, 1000);
    rig.Run(1100);  // one record out, 100 ms into the next
    rig.engine().InjectErrors(4);
    rig.Run(40);
    rig.engine().ResetStats();
    Totals t = rig.Run(900);  // the record due 1000 ms after the first
    ASSERT_EQ(t.records, 1);
    EXPECT_EQ(t.bitErrors, 0u);
    // Only the ticks after the reset, up to the record: 860 ms of 32 bytes a tick.
    EXPECT_EQ(t.bits, 860u / 4 * 32 * 8);
}

}  // namespace

namespace {

// A slip shows as a record out of sync, and once the pattern is found again
// each line error counts once, not once per byte the hunt's recurrence sees.
TEST(BertEngineTest, SlipIsALossOfSyncThenEachErrorCountsOnce) {
    Rig rig({.pattern = 3});
    rig.Run(500);
    uint8_t carry = 0;
    bool slipping = true;
    uint64_t flippedAfter = 0;
    int byteIndex = 0;
    auto line = [&](std::vector<uint8_t>& bytes) {
        for (auto& b : bytes) {
            const uint8_t next = uint8_t(b << 7);
            b = uint8_t(b >> 1 | carry);
            carry = next;
            // A single wrong bit every 400 bytes, well apart from the slip.
            if (!slipping && ++byteIndex % 400 == 0) {
                b ^= 0x10;
                ++flippedAfter;
            }
        }
        return true;
    };
    Totals hit = rig.Run(300, line);
    bool lost = false;
    (void)hit;
    slipping = false;
    Totals after = rig.Run(2000, line);
    lost = hit.records > 0 && (hit.ses > 0 || !hit.last.InSync() || after.ses > 0);
    EXPECT_TRUE(lost);
    EXPECT_TRUE(after.last.InSync());
    ASSERT_GT(flippedAfter, 10u);
    // The first wrong bit may fall while the pattern is being found again.
    EXPECT_GE(after.bitErrors + 1, flippedAfter);
    EXPECT_LE(after.bitErrors, flippedAfter);
}

// Seconds are severely errored, errored or available: one each.
TEST(BertEngineTest, EverySecondIsBookedOnce) {
    Rig rig({.pattern = 3});
    RandomErrors errors{.rate = 2e-3};
    Totals t = rig.Run(1000);
    int calls = 0;
    Totals bad = rig.Run(3000, [&](std::vector<uint8_t>& bytes) {
        // Every other 100 ms nothing arrives: losses and errors in one second.
        if ((++calls / 25) % 2 == 1) return false;
        return errors(bytes);
    });
    Totals rest = rig.Run(2000);
    const uint64_t seconds = (t.msecs + bad.msecs + rest.msecs) / 1000;
    EXPECT_EQ(t.es + t.ses + t.as + bad.es + bad.ses + bad.as + rest.es + rest.ses + rest.as,
              seconds);
    EXPECT_GE(bad.ses, 2u);
}

}  // namespace
