#include "stats/measures.h"

#include "stats_fixture.h"

namespace {

using MeasuresTest = StatsTest;

TEST_F(MeasuresTest, BerWaitsForMoreThanOneBlock) {
    BertStats stats{};
    stats.i64SBitErrorCount = 1;
    stats.i64SRxBitCount = 2047;
    EXPECT_EQ(BerPercent(stats, 2047), 0.0);
    stats.i64SRxBitCount = 2048;
    EXPECT_DOUBLE_EQ(BerPercent(stats, 2047), 100.0 / 2048.0);
    stats.i64SRxBitCount = 0;
    EXPECT_EQ(BerPercent(stats, 0), 0.0);
}

TEST_F(MeasuresTest, AvailableSecondsNeverNegative) {
    BertStats stats{};
    stats.i64ErroredSecCount = 3;
    stats.i64SeverlyErroredSecCount = 2;
    EXPECT_EQ(AvailableSecs(stats, 4), 0);
    EXPECT_EQ(AvailableSecs(stats, 5), 0);
    EXPECT_EQ(AvailableSecs(stats, 9), 4);
}

TEST_F(MeasuresTest, RatiosDivideByWholeSeconds) {
    BertStats stats{};
    stats.i64ErroredSecCount = 1;
    const SecondRatios ratios = ComputeSecondRatios(stats, 3, 4999999);
    ASSERT_TRUE(ratios.bDefined);
    // Whole seconds are the divisor: 4.999999 s counts as 4.
    EXPECT_DOUBLE_EQ(ratios.dEsr, 25.0);
    EXPECT_DOUBLE_EQ(ratios.dSesr, 0.0);
    EXPECT_DOUBLE_EQ(ratios.dAsr, 75.0);
}

TEST_F(MeasuresTest, RateSurvivesLongFastRuns) {
    BertStats stats{};
    stats.i64RxBitCount = 100000000000000;  // 10^14 bits: times 10^6 passes 2^63
    EXPECT_EQ(RateBitsPerSec(stats, 10000000), 10000000000000);
    EXPECT_EQ(RateBitsPerSec(stats, 0), 0);
}

}  // namespace
