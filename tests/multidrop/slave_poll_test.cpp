// One poll's evaluation: the sync thresholds, the first-sync reset that waits
// for every slave, and the seconds accounting.
#include <gtest/gtest.h>

#include "core/port_run_state.h"
#include "core/settings.h"
#include "multidrop/slave_table.h"
#include "pattern/pattern_check.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

class SlavePoll : public ::testing::Test {
   protected:
    void SetUp() override {
        ResetSlaveTable();
        g_Settings = TestSettings();
        g_Settings.bMultiDrop = g_Settings.bMultiDropMaster = true;
        g_uBitsPerChar = 8;
        g_bFirstSyncPending = true;
        for (int id : {3, 5}) g_aSlaveStats[id].bPoll = true;
        g_Settings.uSelectedSlaves = 2;
        PrepareSlaves();
    }
    // A reply of 100 bytes with errors wrong bits, as the counting leaves it.
    static void Poll(int id, int64_t errors, int64_t usecs = 50000) {
        g_iCurrentSlaveId = id;
        SlaveStats& slave = g_aSlaveStats[id];
        BertStats& st = slave.Stats;
        slave.i64SBitErrorsBeforePoll = st.i64SBitErrorCount;
        st.i64CheckedCharCount += 100;
        st.BitErrorCount += errors;
        if (slave.bSlaveInSync) st.i64SBitErrorCount += errors;
        EvaluateSlavePoll(100, usecs);
    }
};

TEST_F(SlavePoll, TenPerCentIsInSyncElevenIsNot) {
    struct Case {
        int64_t errors;  // of 800 bits
        bool inSync;
    } cases[] = {{80, true}, {88, false}, {0, true}, {400, false}};
    for (const Case& c : cases) {
        SetUp();
        e2e::StdoutCapture quiet;
        Poll(3, c.errors);
        EXPECT_EQ(g_aSlaveStats[3].bSlaveInSync, c.inSync) << c.errors;
        EXPECT_EQ(g_aSlaveStats[3].bSlaveFirstSyncPending, !c.inSync) << c.errors;
    }
}

TEST_F(SlavePoll, FirstSyncClearsItsOwnFiguresUntilTheLastSlaveThenAll) {
    g_Settings.uVerbosity = 4;
    e2e::StdoutCapture out;
    Poll(3, 0);
    EXPECT_EQ(g_aSlaveStats[3].Stats.i64SlaveElapsedUsecs, 0);  // cleared at its first sync
    Poll(3, 0);
    Poll(5, 8);
    const std::string text = out.Stop();
    EXPECT_NE(text.find("SlaveId 5, not sync'd yet\n"), std::string::npos) << text;
    EXPECT_NE(text.find("All slaves now in Sync\n"), std::string::npos) << text;
    EXPECT_FALSE(g_bFirstSyncPending);
    for (int id : {3, 5}) EXPECT_EQ(g_aSlaveStats[id].Stats.i64SlaveElapsedUsecs, 0) << id;
    // A clean poll of a slave in sync is no new return to sync.
    e2e::StdoutCapture quiet;
    Poll(3, 0);
    EXPECT_EQ(g_aSlaveStats[3].Stats.i64SyncCount, 0);
}

TEST_F(SlavePoll, ASecondOfPollsIsErroredOnlyWithErrorsInSync) {
    e2e::StdoutCapture quiet;
    Poll(3, 0);
    Poll(5, 0);                                            // all in sync: the figures start here
    for (int i = 0; i < 20; ++i) Poll(3, i == 7 ? 1 : 0);  // one second of polls
    for (int i = 0; i < 20; ++i) Poll(3, 0);
    const BertStats& st = g_aSlaveStats[3].Stats;
    EXPECT_EQ(st.i64ErroredSecCount, 1);
    EXPECT_EQ(st.i64AvailableUsecs, 1000000);
}

// The polls after an errored one in the same second are clean samples,
// though the second's error count stays above 0.
TEST_F(SlavePoll, OnlyThePollWithErrorsIsAnErroredSample) {
    e2e::StdoutCapture quiet;
    Poll(3, 0);
    Poll(5, 0);
    Poll(3, 2);
    for (int i = 0; i < 5; ++i) Poll(3, 0);
    EXPECT_EQ(g_aSlaveStats[3].Stats.i64ErrorInSampleCount, 1);
    Poll(3, 1);
    EXPECT_EQ(g_aSlaveStats[3].Stats.i64ErrorInSampleCount, 2);
}

}  // namespace
