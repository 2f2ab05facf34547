// What each card statistics record does to the single-link record, the sync
// state, the front end and the reports.
#include "hwbert/card_stats.h"

#include <gtest/gtest.h>

#include "gui/tags.h"
#include "hw_fixture.h"
#include "tests/e2e_support/stdout_capture.h"
#include "tests/gui/recording_sender.h"

namespace {

using hwtest::RecordBytes;
using hwtest::RecordFields;

constexpr int64_t kT0 = 1000000;  // ticks count microseconds here
constexpr int64_t kSec = 1000000;

class CardStatsTest : public hwtest::HwTest {
   protected:
    void SetUp() override {
        HwTest::SetUp();
        g_i64PerfTicksPerMs = 1000;
        ResetStatsAt(kT0);
    }

    bool Process(const RecordFields& fields, int64_t now) {
        return ProcessBytes(RecordBytes(fields), now);
    }
    bool ProcessBytes(const std::vector<uint8_t>& bytes, int64_t now) {
        bool ended = false;
        const bool counted = ProcessCardRecord(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                               now, memory_, &last_, &ended);
        ended_ = ended;
        return counted;
    }

    static std::vector<std::vector<uint8_t>> ValuesOf(RecordingSender& sender, uint16_t tag) {
        std::vector<std::vector<uint8_t>> values;
        for (const SentRecord& r : sender.Records())
            if (r.tag == tag) values.push_back(r.value);
        return values;
    }

    CardStatusMemory memory_;
    CardBertRecord last_;
    bool ended_ = false;
};

constexpr uint8_t kOutOfSync = kBertStatusNotInSync;

TEST_F(CardStatsTest, InSyncRecordCountsEverywhereAndFirstSyncIsNotCounted) {
    RecordingSender sender;
    ASSERT_TRUE(Process({.status = 0,
                         .bits = 1003,
                         .blocks = 3,
                         .bitErrors = 4,
                         .blockErrors = 2,
                         .es = 1,
                         .ses = 1,
                         .as = 5},
                        kT0 + kSec));
    const BertStats s = Stats();
    EXPECT_EQ(s.i64RxBitCount, 1003);
    EXPECT_EQ(s.i64RxByteCount, 125);
    EXPECT_EQ(s.i64CheckedCharCount, 125);
    EXPECT_EQ(s.i64TxBitCount, 1003);
    EXPECT_EQ(s.i64TxByteCount, 125);
    EXPECT_EQ(s.i64SRxBitCount, 1003);
    EXPECT_EQ(s.i64SRxByteCount, 125);
    EXPECT_EQ(s.i64SRxBlockCount, 3);
    EXPECT_EQ(s.BitErrorCount, 4);
    EXPECT_EQ(s.i64SBitErrorCount, 4);
    EXPECT_EQ(s.i64BlockErrorCount, 2);
    EXPECT_EQ(s.i64SBlockErrorCount, 2);
    EXPECT_EQ(s.i64ErroredSecCount, 1);
    EXPECT_EQ(s.i64SeverlyErroredSecCount, 1);
    EXPECT_EQ(s.PrevBitErrorCount, 4);
    EXPECT_EQ(s.i64PrevCheckedCharCount, 125);
    EXPECT_EQ(s.i64SyncCount, 0);
    EXPECT_TRUE(g_bInSync);
    EXPECT_FALSE(g_bFirstSyncPending);
    EXPECT_EQ(ValuesOf(sender, ZVBERT_SYNC_STATE), (std::vector<std::vector<uint8_t>>{{1}}));
    EXPECT_FALSE(ended_);
}

TEST_F(CardStatsTest, OutOfSyncRecordCountsOnlyAllDataAndWaitsForAReport) {
    e2e::StdoutCapture out;
    ASSERT_TRUE(Process({.status = kOutOfSync,
                         .msecs = 250,
                         .bits = 800,
                         .blocks = 1,
                         .bitErrors = 6,
                         .blockErrors = 1,
                         .es = 0,
                         .ses = 1,
                         .as = 2},
                        kT0 + kSec));
    const std::string text = out.Stop();
    const BertStats s = Stats();
    EXPECT_EQ(s.i64RxBitCount, 800);
    EXPECT_EQ(s.BitErrorCount, 6);
    EXPECT_EQ(s.i64BlockErrorCount, 1);
    EXPECT_EQ(s.i64SeverlyErroredSecCount, 1);
    EXPECT_EQ(s.i64SRxBitCount, 0);
    EXPECT_EQ(s.i64SRxBlockCount, 0);
    EXPECT_EQ(s.i64SBitErrorCount, 0);
    EXPECT_EQ(s.i64SBlockErrorCount, 0);
    EXPECT_TRUE(g_bFirstSyncPending);
    EXPECT_EQ(text.find("Duration"), std::string::npos);
    // The unreported card time and seconds wait for the next report.
    EXPECT_EQ(g_i64PendingCardMsecs, 250);
    EXPECT_EQ(g_i64CardAvailableSecs, 2);
}

TEST_F(CardStatsTest, LossAndReturnOfSyncAreCountedWithTheClosedInterval) {
    RecordingSender sender;
    Process({.status = 0, .bits = 100}, kT0 + 1 * kSec);
    Process({.status = kOutOfSync, .bits = 100}, kT0 + 2 * kSec);
    BertStats s = Stats();
    EXPECT_EQ(s.i64LosCount, 1);
    EXPECT_EQ(s.i64LosStartTicks, kT0 + 2 * kSec);
    EXPECT_FALSE(g_bInSync);
    Process({.status = kOutOfSync, .bits = 100}, kT0 + 3 * kSec);
    Process({.status = 0, .bits = 100}, kT0 + 5 * kSec + 250000);
    s = Stats();
    EXPECT_EQ(s.i64LosCount, 1);
    EXPECT_EQ(s.i64SyncCount, 1);
    // 2 s to 5.25 s; the hunt before the first sync is no loss of sync.
    EXPECT_EQ(s.i64LosUsecs, 3 * kSec + 250000);
    EXPECT_EQ(ValuesOf(sender, ZVBERT_SYNC_STATE),
              (std::vector<std::vector<uint8_t>>{{1}, {0}, {1}}));
}

TEST_F(CardStatsTest, InversionChangesGoToTheFrontEnd) {
    RecordingSender sender;
    Process({.status = kBertStatusRxInverted}, kT0 + kSec);
    Process({.status = kBertStatusRxInverted}, kT0 + 2 * kSec);
    Process({.status = 0}, kT0 + 3 * kSec);
    std::vector<std::vector<uint8_t>> changes = ValuesOf(sender, ZVBERT_SIGNAL_CHANGE);
    EXPECT_EQ(changes,
              (std::vector<std::vector<uint8_t>>{{SIGNAL_ITEM_RX_INVERTED, SIGNAL_STATE_ON},
                                                 {SIGNAL_ITEM_RX_INVERTED, SIGNAL_STATE_OFF}}));
}

TEST_F(CardStatsTest, ErrorsAreLoggedOnlyInSync) {
    g_Settings.bDataLogging = true;
    e2e::StdoutCapture out;
    Process({.status = kOutOfSync, .bits = 800, .bitErrors = 7, .blockErrors = 2}, kT0 + kSec);
    Process({.status = 0, .bits = 800, .bitErrors = 3, .blockErrors = 1}, kT0 + 2 * kSec);
    const std::string text = out.Stop();
    EXPECT_EQ(text.find("+7 bit errors"), std::string::npos);
    EXPECT_EQ(text.find("+2 block errors"), std::string::npos);
    EXPECT_NE(text.find("+3 bit errors\n\n"), std::string::npos) << text;
    EXPECT_NE(text.find("+1 block errors\n\n"), std::string::npos);
    EXPECT_NE(text.find("In sync\n\n"), std::string::npos);
}

TEST_F(CardStatsTest, PendingResetClearsHostAndCardCounters) {
    Process({.status = 0, .msecs = 600, .bits = 5000, .bitErrors = 2, .as = 1}, kT0 + kSec);
    ASSERT_GT(g_i64ReportDurationUsecs, 0);
    g_LastInterfaceRecord.bySignals = SIGNAL_CTS;
    g_bResetStatsPending = true;
    Process({.status = kOutOfSync, .bits = 5000, .bitErrors = 9}, kT0 + 2 * kSec);
    const BertStats s = Stats();
    EXPECT_EQ(s.BitErrorCount, 0);
    EXPECT_EQ(s.i64RxBitCount, 0);
    EXPECT_EQ(s.i64LosCount, 0);
    EXPECT_EQ(s.i64StartTicks, kT0 + 2 * kSec);
    EXPECT_EQ(s.i64LosStartTicks, kT0 + 2 * kSec);  // out of sync: loss counts from the reset
    EXPECT_FALSE(g_bResetStatsPending);
    EXPECT_EQ(g_i64ReportDurationUsecs, 0);
    EXPECT_EQ(g_i64CardAvailableSecs, 0);
    EXPECT_EQ(g_LastInterfaceRecord.bySignals, 0);
    EXPECT_EQ(driver_->CodesOf({IOCTL_RESET_STATS, IOCTL_RESET_BERT}),
              (std::vector<uint32_t>{IOCTL_RESET_STATS, IOCTL_RESET_BERT}));
    // Sync state is not the reset's business.
    EXPECT_FALSE(g_bFirstSyncPending);
}

TEST_F(CardStatsTest, FailedDriverResetsAreLoggedAndTheHostResetsAnyway) {
    g_Settings.uVerbosity = 3;
    driver_->failingCodes = {IOCTL_RESET_STATS, IOCTL_RESET_BERT};
    Process({.status = 0, .bits = 5000, .bitErrors = 2}, kT0 + kSec);
    g_bResetStatsPending = true;
    e2e::StdoutCapture out;
    Process({.status = 0, .bits = 5000}, kT0 + 2 * kSec);
    const std::string text = out.Stop();
    EXPECT_NE(text.find(" Resetting stats\n"), std::string::npos);
    EXPECT_NE(text.find("ZorvanResetStats Failed : "), std::string::npos) << text;
    EXPECT_NE(text.find("ZorvanResetBERT Failed : "), std::string::npos);
    EXPECT_EQ(Stats().BitErrorCount, 0);
    EXPECT_EQ(Stats().i64StartTicks, kT0 + 2 * kSec);
    EXPECT_FALSE(g_bResetStatsPending);
}

TEST_F(CardStatsTest, RecordOfWrongLengthIsReportedAndCountedAsFarAsItGoes) {
    std::vector<uint8_t> bytes = RecordBytes({.status = 0, .msecs = 100, .bits = 640, .blocks = 9});
    bytes.resize(12);  // status, msecs and bits only
    e2e::StdoutCapture out;
    EXPECT_TRUE(ProcessBytes(bytes, kT0 + kSec));
    const std::string text = out.Stop();
    EXPECT_NE(text.find(" Unexpected BERT stats length 12\n"), std::string::npos) << text;
    EXPECT_EQ(Stats().i64SRxBitCount, 640);
    EXPECT_EQ(Stats().i64SRxBlockCount, 0);
    EXPECT_TRUE(g_bInSync);
}

TEST_F(CardStatsTest, RecordWithoutItsStatusIsSkipped) {
    std::vector<uint8_t> bytes(1, 0);
    e2e::StdoutCapture out;
    EXPECT_FALSE(ProcessBytes(bytes, kT0 + kSec));
    EXPECT_NE(out.Stop().find(" Unexpected BERT stats length 1\n"), std::string::npos);
    // An empty read must not pass for a card in sync.
    EXPECT_FALSE(g_bInSync);
    EXPECT_TRUE(g_bFirstSyncPending);
    EXPECT_FALSE(memory_.bInSync);
}

TEST_F(CardStatsTest, RecordClaimingMoreThanAnHourIsSkippedWithItsCounts) {
    ASSERT_TRUE(Process({.status = 0, .msecs = 1000, .bits = 640, .blocks = 9}, kT0 + kSec));
    e2e::StdoutCapture out;
    EXPECT_FALSE(
        Process({.status = 0, .msecs = 0xFFFFFFFFu, .bits = 640, .blocks = 9}, kT0 + 2 * kSec));
    EXPECT_NE(out.Stop().find("BERT stats record skipped: msecs=4294967295"), std::string::npos);
    EXPECT_EQ(Stats().i64SRxBitCount, 640);
    EXPECT_EQ(g_i64PendingCardMsecs, 0);
}

TEST_F(CardStatsTest, FieldsAreTracedAtLevelFourAndDumpedAtFive) {
    g_Settings.uVerbosity = 5;
    e2e::StdoutCapture out;
    Process({.status = 2,
             .msecs = 101,
             .bits = 102,
             .blocks = 103,
             .bitErrors = 104,
             .blockErrors = 105,
             .es = 106,
             .ses = 107,
             .as = 108},
            kT0 + kSec);
    const std::string text = out.Stop();
    for (const char* line :
         {"bertStatus=2\n", "msecs=101\n", "bit_count=102\n", "block_count=103\n",
          "bit_errors=104\n", "block_errors=105\n", "es=106\n", "ses=107\n", "as=108\n",
          " BERT stats (len=36):\n", "0000 : 00 02 00 00 65 00 00 00"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(CardStatsTest, InjectionIsCappedAtEightAndConsumedEvenWhenRefused) {
    g_Settings.uVerbosity = 3;
    g_uInjectErrors = 11;
    e2e::StdoutCapture out;
    InjectPendingErrors(true);
    EXPECT_EQ(g_uInjectErrors, 3u);
    InjectPendingErrors(true);
    EXPECT_EQ(g_uInjectErrors, 0u);
    InjectPendingErrors(true);  // nothing pending: no request
    g_uInjectErrors = 2;
    InjectPendingErrors(false);  // a card that cannot inject
    EXPECT_EQ(g_uInjectErrors, 0u);
    driver_->failingCodes = {IOCTL_INJECT_ERRORS};
    g_uInjectErrors = 9;
    InjectPendingErrors(true);
    EXPECT_EQ(g_uInjectErrors, 1u);
    const std::string text = out.Stop();
    EXPECT_EQ(driver_->InjectCounts(), (std::vector<uint32_t>{8, 3, 8}));
    EXPECT_NE(text.find("11 errors injected\n"), std::string::npos) << text;
    EXPECT_NE(text.find("3 errors injected\n"), std::string::npos);
    EXPECT_EQ(hwtest::HwTest::Stats().BitErrorCount, 0);
    size_t failures = 0;
    for (size_t at = text.find("Failed to inject errors"); at != std::string::npos;
         at = text.find("Failed to inject errors", at + 1))
        ++failures;
    EXPECT_EQ(failures, 2u);
}

}  // namespace
