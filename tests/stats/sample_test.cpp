#include "stats_fixture.h"

namespace {

class SampleTest : public StatsTest {
   protected:
    // One receive pass that checked `chars` characters with `errors` bit errors.
    static SyncTransition Sample(int64_t errors, int64_t chars, int64_t now) {
        g_BertStats.BitErrorCount += errors;
        g_BertStats.i64CheckedCharCount += chars;
        SyncTransition t = ClassifySample(now);
        TakeSampleSnapshots();
        return t;
    }
};

// 100 characters of 8 bits: 800 bits, so p = errors / 8 (truncated).
struct BoundaryCase {
    int64_t errors;
    bool startInSync;
    SyncTransition transition;
    bool endInSync;
    int64_t erroredSamples;
    int64_t severeSamples;
};

TEST_F(SampleTest, ThresholdsDecideSyncAndSampleCounts) {
    const BoundaryCase cases[] = {
        // From in sync.
        {400, true, SyncTransition::LossOfSync, false, 0, 1},  // p = 50
        {392, true, SyncTransition::None, true, 1, 1},         // p = 49
        {240, true, SyncTransition::None, true, 1, 1},         // p = 30
        {232, true, SyncTransition::None, true, 1, 0},         // p = 29
        {88, true, SyncTransition::None, true, 1, 0},          // p = 11
        {80, true, SyncTransition::None, true, 1, 0},          // p = 10
        {0, true, SyncTransition::None, true, 0, 0},
        // From out of sync: only p <= 10 (truncated, negative too) syncs.
        {400, false, SyncTransition::None, false, 0, 1},
        {88, false, SyncTransition::None, false, 0, 1},         // p = 11
        {87, false, SyncTransition::ReturnToSync, true, 1, 0},  // p = 10.875
        {80, false, SyncTransition::ReturnToSync, true, 1, 0},  // p = 10
        {-8, false, SyncTransition::ReturnToSync, true, 0, 0},  // p = -1
    };
    for (const BoundaryCase& c : cases) {
        ResetState();
        g_bFirstSyncPending = false;
        g_bInSync = c.startInSync;
        SCOPED_TRACE(testing::Message() << "errors=" << c.errors << " inSync=" << c.startInSync);
        EXPECT_EQ(Sample(c.errors, 100, kT0 + kSec / 2), c.transition);
        EXPECT_EQ(g_bInSync.load(), c.endInSync);
        EXPECT_EQ(g_BertStats.i64ErrorInSampleCount, c.erroredSamples);
        EXPECT_EQ(g_BertStats.i64SErrorInSampleCount, c.severeSamples);
        EXPECT_EQ(g_BertStats.i64LosCount, c.transition == SyncTransition::LossOfSync ? 1 : 0);
        EXPECT_EQ(g_BertStats.i64SyncCount, c.transition == SyncTransition::ReturnToSync ? 1 : 0);
    }
}

// A pass that ends inside a fault its checker is still in: however few its
// errors, it finds no sync (the next one, with the pattern back, does).
TEST_F(SampleTest, ASampleOutOfStepFindsNoSync) {
    g_bFirstSyncPending = false;
    g_bInSync = false;
    g_BertStats.i64CheckedCharCount += 1000;
    g_BertStats.BitErrorCount += 80;
    EXPECT_EQ(ClassifySample(kT0 + kSec / 4, false), SyncTransition::None);
    TakeSampleSnapshots();
    EXPECT_FALSE(g_bInSync.load());
    EXPECT_EQ(g_BertStats.i64SyncCount, 0);
    EXPECT_EQ(Sample(0, 1000, kT0 + kSec / 2), SyncTransition::ReturnToSync);
}

TEST_F(SampleTest, SampleWithoutCharactersIsNotClassified) {
    StartInSync();
    EXPECT_EQ(Sample(5, 0, kT0 + kSec / 4), SyncTransition::None);
    EXPECT_TRUE(g_bInSync);
    EXPECT_EQ(g_BertStats.i64ErrorInSampleCount, 0);
    EXPECT_EQ(g_BertStats.i64SErrorInSampleCount, 0);

    // Out of sync, the empty sample still counts as severely errored.
    g_bInSync = false;
    EXPECT_EQ(Sample(0, 0, kT0 + kSec / 2), SyncTransition::None);
    EXPECT_EQ(g_BertStats.i64SErrorInSampleCount, 1);
}

TEST_F(SampleTest, FirstSyncIsNotCountedAndRequestsReset) {
    EXPECT_EQ(Sample(0, 100, kT0 + kSec), SyncTransition::FirstSync);
    EXPECT_FALSE(g_bFirstSyncPending);
    EXPECT_TRUE(g_bResetStatsPending);
    EXPECT_EQ(g_BertStats.i64SyncCount, 0);
    // Samples before the reset are not counted as errored.
    EXPECT_EQ(Sample(20, 100, kT0 + kSec + 100 * kMs), SyncTransition::None);
    EXPECT_EQ(g_BertStats.i64ErrorInSampleCount, 0);

    ResetSingleLinkStats(kT0 + 2 * kSec);
    EXPECT_FALSE(g_bResetStatsPending);
    EXPECT_TRUE(g_bInSync);
    EXPECT_EQ(g_BertStats.i64StartTicks, kT0 + 2 * kSec);
    EXPECT_EQ(g_BertStats.i64LosStartTicks, 0);

    EXPECT_EQ(Sample(800, 100, kT0 + 3 * kSec), SyncTransition::LossOfSync);
    EXPECT_EQ(Sample(0, 100, kT0 + 5 * kSec + 500 * kMs), SyncTransition::ReturnToSync);
    EXPECT_EQ(g_BertStats.i64LosCount, 1);
    EXPECT_EQ(g_BertStats.i64SyncCount, 1);
    EXPECT_EQ(g_BertStats.i64LosUsecs, 2500 * kMs);
}

TEST_F(SampleTest, CardFirstSyncKeepsStatsAndClosedIntervalsAddUp) {
    EXPECT_EQ(DeclareSync(kT0 + kSec, FirstSyncAction::KeepStats), SyncTransition::FirstSync);
    EXPECT_FALSE(g_bResetStatsPending);
    EXPECT_EQ(DeclareSync(kT0 + 2 * kSec, FirstSyncAction::KeepStats), SyncTransition::None);
    EXPECT_EQ(DeclareLossOfSync(kT0 + 3 * kSec), SyncTransition::LossOfSync);
    EXPECT_EQ(DeclareLossOfSync(kT0 + 4 * kSec), SyncTransition::None);
    EXPECT_EQ(g_BertStats.i64LosStartTicks, kT0 + 3 * kSec);
    EXPECT_EQ(DeclareSync(kT0 + 5 * kSec, FirstSyncAction::KeepStats),
              SyncTransition::ReturnToSync);
    // Time before the first sync (1 s) and the closed interval (2 s).
    EXPECT_EQ(g_BertStats.i64LosUsecs, 3 * kSec);
    EXPECT_EQ(g_BertStats.i64LosCount, 1);
    EXPECT_EQ(g_BertStats.i64SyncCount, 1);
}

TEST_F(SampleTest, ResetOutOfSyncRestartsLossOfSyncTime) {
    g_BertStats.i64LosUsecs = 7 * kSec;
    g_BertStats.BitErrorCount = 9;
    g_bResetStatsPending = true;
    ResetSingleLinkStats(kT0 + 10 * kSec);
    EXPECT_FALSE(g_bInSync);
    EXPECT_TRUE(g_bFirstSyncPending);
    EXPECT_FALSE(g_bResetStatsPending);
    EXPECT_EQ(g_BertStats.BitErrorCount, 0);
    EXPECT_EQ(g_BertStats.i64LosUsecs, 0);
    EXPECT_EQ(g_BertStats.i64StartTicks, kT0 + 10 * kSec);
    EXPECT_EQ(g_BertStats.i64LosStartTicks, kT0 + 10 * kSec);
}

TEST_F(SampleTest, AccountingTurnsErroredIntervalIntoWholeSeconds) {
    g_BertStats.i64LastEvalSecs = 2;
    g_BertStats.i64ErrorInSampleCount = 1;
    AccountSeconds(2);  // no new second: the sample waits
    EXPECT_EQ(g_BertStats.i64ErroredSecCount, 0);
    EXPECT_EQ(g_BertStats.i64ErrorInSampleCount, 1);

    AccountSeconds(5);
    EXPECT_EQ(g_BertStats.i64ErroredSecCount, 3);
    EXPECT_EQ(g_BertStats.i64SeverlyErroredSecCount, 0);
    EXPECT_EQ(g_BertStats.i64ErrorInSampleCount, 0);
    EXPECT_EQ(g_BertStats.i64LastEvalSecs, 5);

    g_BertStats.i64SErrorInSampleCount = 2;
    AccountSeconds(6);
    EXPECT_EQ(g_BertStats.i64ErroredSecCount, 3);
    EXPECT_EQ(g_BertStats.i64SeverlyErroredSecCount, 1);

    AccountSeconds(8);  // a clean interval
    EXPECT_EQ(g_BertStats.i64ErroredSecCount, 3);
    EXPECT_EQ(g_BertStats.i64SeverlyErroredSecCount, 1);
}

// A run of samples, each a tenth of a second: per sample the bit errors in
// 1000 checked bytes, or -1 for a sample without data after which the line
// is declared dead.
struct SecondsCase {
    const char* name;
    std::vector<int> samples;
    int64_t es, ses;
};

class SampleSeconds : public SampleTest, public testing::WithParamInterface<SecondsCase> {};

TEST_P(SampleSeconds, EachSecondIsBookedOnceByTheSamplesInIt) {
    const SecondsCase& c = GetParam();
    g_bInSync = true;
    g_bFirstSyncPending = false;
    int64_t now = kT0;
    for (int errors : c.samples) {
        now += kSec / 10;
        if (errors < 0) {
            DeclareLossOfSync(now);
        } else {
            g_BertStats.i64CheckedCharCount += 1000;
            g_BertStats.BitErrorCount += errors;
        }
        ClassifySample(now);
        TakeSampleSnapshots();
    }
    const int64_t seconds = int64_t(c.samples.size()) / 10;
    AccountSeconds(seconds);
    EXPECT_EQ(g_BertStats.i64ErroredSecCount, c.es);
    EXPECT_EQ(g_BertStats.i64SeverlyErroredSecCount, c.ses);
    EXPECT_LE(g_BertStats.i64ErroredSecCount + g_BertStats.i64SeverlyErroredSecCount, seconds);
}

std::vector<int> Samples(std::initializer_list<std::pair<int, int>> runs) {
    std::vector<int> out;
    for (auto [count, errors] : runs) out.insert(out.end(), size_t(count), errors);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleSeconds,
    testing::Values(
        SecondsCase{"Clean", Samples({{40, 0}}), 0, 0},
        SecondsCase{"OneErrorInTheSecondSecond", Samples({{14, 0}, {1, 1}, {25, 0}}), 1, 0},
        // Errors and a loss of sync in one second: severely errored only.
        SecondsCase{"ErrorsThenLossInOneSecond", Samples({{12, 0}, {1, 3}, {1, 5000}, {26, 0}}), 0,
                    1},
        // A dead line for 3 s among clean seconds: the dead seconds only.
        SecondsCase{"DeadForThreeSeconds", Samples({{20, 0}, {30, -1}, {20, 0}}), 0, 3}),
    [](const testing::TestParamInfo<SecondsCase>& info) { return std::string(info.param.name); });

}  // namespace
