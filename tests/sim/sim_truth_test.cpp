// The truth record: what the impairment stage says arrived, period by period,
// must be what it did to the data.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/impairment.h"
#include "sim/truth.h"

namespace {

using sim::ImpairmentConfig;
using sim::ImpairmentStage;
using sim::LineChunk;
using sim::TruthRecord;

constexpr int64_t kMs = 1000000;
constexpr int64_t kOrigin = 5000 * kMs;
constexpr uint64_t kRate = 64000;
constexpr size_t kTickBytes = 160;  // 20 ms at 64 kbit/s

struct Streamed {
    std::vector<uint64_t> wrongPerPeriod;  // counted from what arrived
    uint64_t bitsArrived = 0;
};

// Sends ms of zero bytes in 20 ms chunks; the wrong bits of each chunk are
// booked in the period in which the chunk ends (chunks never straddle one).
Streamed Stream(ImpairmentStage& stage, int64_t ms) {
    Streamed result;
    for (int64_t at = kOrigin; at < kOrigin + ms * kMs; at += 20 * kMs) {
        LineChunk chunk;
        chunk.data.assign(kTickBytes, 0x00);
        chunk.startNs = at;
        chunk.endNs = at + 20 * kMs;
        chunk.arrivalNs = chunk.endNs;
        if (!stage.Apply(chunk)) continue;
        size_t period = size_t((at - kOrigin) / (100 * kMs));
        if (result.wrongPerPeriod.size() <= period) result.wrongPerPeriod.resize(period + 1);
        for (uint8_t byte : chunk.data)
            result.wrongPerPeriod[period] += unsigned(std::popcount(unsigned(byte)));
        result.bitsArrived += chunk.data.size() * 8;
    }
    return result;
}

ImpairmentStage Started(const ImpairmentConfig& settings) {
    ImpairmentStage stage;
    stage.Configure(settings, kOrigin, 0);
    stage.StartTruth(kOrigin);
    return stage;
}

TEST(TruthRecord, FlipsAreBookedInThePeriodTheyArrivedIn) {
    ImpairmentConfig settings;
    settings.bitErrorRate = 1e-3;
    settings.seed = 3;
    settings.burstEveryMs = 700;
    settings.burstBits = 9;
    ImpairmentStage stage = Started(settings);
    Streamed streamed = Stream(stage, 3000);
    const auto& periods = stage.truth().periods();
    ASSERT_EQ(periods.size(), 30u);
    uint64_t delivered = 0;
    for (size_t i = 0; i < periods.size(); ++i) {
        EXPECT_EQ(periods[i].bitsFlipped, streamed.wrongPerPeriod[i]) << "period " << i;
        EXPECT_EQ(periods[i].bitsDelivered, 6400u) << "period " << i;
        EXPECT_EQ(stage.truth().SilentMs(i, kOrigin + 3000 * kMs), 0u);
        delivered += periods[i].bitsDelivered;
    }
    EXPECT_EQ(delivered, streamed.bitsArrived);
}

struct OutageCase {
    uint32_t afterMs, lengthMs, delayMs;
    std::vector<uint32_t> silentMs;  // periods 0.. as the record must give them
};

class TruthOutage : public testing::TestWithParam<OutageCase> {};

TEST_P(TruthOutage, SilenceIsWhereTheReceiverHeardNothing) {
    const OutageCase& c = GetParam();
    ImpairmentConfig settings;
    settings.outageAfterMs = c.afterMs;
    settings.outageMs = c.lengthMs;
    settings.delayMs = c.delayMs;
    ImpairmentStage stage = Started(settings);
    Streamed streamed = Stream(stage, 600);
    const int64_t end = kOrigin + 600 * kMs;
    ASSERT_GE(stage.truth().PeriodsBy(end), c.silentMs.size());
    for (size_t i = 0; i < c.silentMs.size(); ++i)
        EXPECT_EQ(stage.truth().SilentMs(i, end), c.silentMs[i]) << "period " << i;
    uint64_t delivered = 0;
    for (const auto& period : stage.truth().periods()) delivered += period.bitsDelivered;
    EXPECT_EQ(delivered, streamed.bitsArrived);
}

INSTANTIATE_TEST_SUITE_P(Cases, TruthOutage,
                         testing::Values(OutageCase{0, 0, 0, {0, 0, 0, 0, 0, 0}},
                                         OutageCase{100, 200, 0, {0, 100, 100, 0, 0, 0}},
                                         OutageCase{150, 100, 0, {0, 50, 50, 0, 0, 0}},
                                         OutageCase{210, 30, 0, {0, 0, 30, 0, 0, 0}},
                                         // Delayed: the first 50 ms nothing has arrived yet, and
                                         // the outage reaches the receiver 50 ms late.
                                         OutageCase{100, 100, 50, {50, 50, 50, 0, 0, 0}}));

TEST(TruthRecord, ASlipIsBookedAtItsTimeWithItsBits) {
    for (int32_t bits : {-7, -1, 3}) {
        ImpairmentConfig settings;
        settings.slipAfterMs = 250;
        settings.slipBits = bits;
        ImpairmentStage stage = Started(settings);
        Stream(stage, 500);
        const auto& periods = stage.truth().periods();
        ASSERT_EQ(periods.size(), 5u);
        for (size_t i = 0; i < periods.size(); ++i)
            EXPECT_EQ(periods[i].bitsSlipped, i == 2 ? uint64_t(std::abs(bits)) : 0u)
                << bits << " period " << i;
    }
}

TEST(TruthRecord, InvertedBitsAndATailWithoutArrivals) {
    ImpairmentConfig settings;
    settings.invert = true;
    ImpairmentStage stage = Started(settings);
    Stream(stage, 200);
    const TruthRecord& truth = stage.truth();
    EXPECT_EQ(truth.periods()[1].bitsInverted, 6400u);
    // Nothing sent after 200 ms: the periods after it are silent up to now.
    const int64_t now = kOrigin + 450 * kMs;
    ASSERT_EQ(truth.PeriodsBy(now), 5u);
    EXPECT_EQ(truth.SilentMs(2, now), 100u);
    EXPECT_EQ(truth.SilentMs(4, now), 50u);
    const std::string text = sim::FormatTruth(1, 3, truth, now);
    EXPECT_EQ(text.substr(0, text.find('\n')), "port 1 3 periods 5");
    EXPECT_NE(text.find("\n1 6400 0 0 0 6400\n"), std::string::npos);
    EXPECT_NE(text.find("\n4 0 0 50 0 0\n"), std::string::npos);
}

TEST(TruthRecord, NothingIsBookedBeforeTheStartOrWithoutOne) {
    TruthRecord truth;
    truth.Delivered(0, 10 * kMs, 100, false);
    EXPECT_TRUE(truth.periods().empty());
    EXPECT_EQ(sim::FormatTruth(0, 0, truth, 10 * kMs), "");
    truth.Start(kOrigin);
    truth.Flipped(kOrigin - 1);
    truth.Delivered(kOrigin - 50 * kMs, kOrigin + 50 * kMs, 100, false);
    ASSERT_EQ(truth.periods().size(), 1u);
    EXPECT_EQ(truth.periods()[0].bitsFlipped, 0u);
    EXPECT_EQ(truth.periods()[0].bitsDelivered, 100u);
    EXPECT_EQ(truth.SilentMs(0, kOrigin + 100 * kMs), 50u);
}

}  // namespace
