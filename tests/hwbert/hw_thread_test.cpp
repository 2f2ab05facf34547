// The hardware BERT thread against a scripted driver: one read at a time,
// injection at each wake-up, the stop rules and the way out.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "gui/tags.h"
#include "hw_fixture.h"
#include "hwbert/hwbert.h"
#include "tests/e2e_support/stdout_capture.h"
#include "tests/gui/recording_sender.h"

namespace {

using hwtest::RecordBytes;
using hwtest::RecordFields;

constexpr uint8_t kOutOfSync = kBertStatusNotInSync;

class HwThreadTest : public hwtest::HwTest {
   protected:
    void TearDown() override {
        if (thread_.valid()) {
            g_bRxStop = true;
            thread_.wait();
        }
        HwTest::TearDown();
    }

    void Start() { thread_ = std::async(std::launch::async, HardwareBERTRxThread); }

    // Completes the read that pends with the record and waits until the
    // thread has processed it and pends on the next read.
    void Feed(const RecordFields& fields) {
        const int reads = driver_->ReadCount();
        ASSERT_TRUE(driver_->WaitForRead(reads));
        ASSERT_TRUE(driver_->CompleteRead(RecordBytes(fields)));
        ASSERT_TRUE(driver_->WaitForRead(reads + 1));
    }

    // Completes the pending read with a record that ends the thread.
    void FeedLast(const RecordFields& fields) {
        ASSERT_TRUE(driver_->WaitForRead(driver_->ReadCount()));
        ASSERT_TRUE(driver_->CompleteRead(RecordBytes(fields)));
        ASSERT_TRUE(Ended(3000));
    }

    bool Ended(int ms) {
        return thread_.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    }

    static int64_t MsAgo(int ms) { return GetTicks() - int64_t{ms} * g_i64PerfTicksPerMs; }

    std::future<uint32_t> thread_;
};

TEST_F(HwThreadTest, PendingInjectionIsServedEightAtATimeAtEachRecord) {
    Start();
    ASSERT_TRUE(driver_->WaitForRead(1));
    g_uInjectErrors = 11;  // keys pressed while the card runs
    Feed({.status = 0, .bits = 800});
    EXPECT_EQ(driver_->InjectCounts(), (std::vector<uint32_t>{8}));
    Feed({.status = 0, .bits = 800});
    EXPECT_EQ(driver_->InjectCounts(), (std::vector<uint32_t>{8, 3}));
    EXPECT_EQ(g_uInjectErrors, 0u);
    Feed({.status = 0, .bits = 800});
    EXPECT_EQ(driver_->InjectCounts().size(), 2u);
    EXPECT_EQ(Stats().i64SRxBitCount, 2400);
    // The line signals are looked at on every pass.
    EXPECT_GE(driver_->CodesOf({IOCTL_READ_INTERFACE_RECORD}).size(), 3u);
}

TEST_F(HwThreadTest, StopRequestCancelsThePendingReadAndQueuesNoKey) {
    g_Settings.uVerbosity = 3;
    e2e::StdoutCapture out;
    Start();
    Feed({.status = 0, .bits = 800});
    g_bRxStop = true;
    ASSERT_TRUE(Ended(3000));  // within one wait of the event
    const std::string text = out.Stop();
    EXPECT_EQ(driver_->CancelCount(), 1);
    EXPECT_FALSE(QuitKeyPushed());
    EXPECT_NE(text.find(" Starting hardware BERT rx thread\n"), std::string::npos);
    EXPECT_NE(text.find("HardwareBERTRxThread exit\n"), std::string::npos);
}

TEST_F(HwThreadTest, RunEndedByTheCardEndsTheTestWithTheClosingReport) {
    g_Settings.bDataLogging = true;
    e2e::StdoutCapture out;
    Start();
    Feed({.status = 0, .msecs = 700, .bits = 7000});
    FeedLast({.status = kBertStatusRunEnded, .msecs = 100, .bits = 1000});
    const std::string text = out.Stop();
    EXPECT_TRUE(QuitKeyPushed());
    // Periodic report at 0.7 s, closing report with the same duration and
    // the counts as they are at the end.
    EXPECT_NE(text.find("TxCount=7000 RxCount=7000"), std::string::npos) << text;
    EXPECT_NE(text.find("TxCount=8000 RxCount=8000"), std::string::npos) << text;
    EXPECT_EQ(driver_->CancelCount(), 0);  // no read was left out
}

TEST_F(HwThreadTest, StopOnErrorActsEvenBeforeTheFirstSync) {
    g_Settings.bStopOnError = true;
    g_Settings.uVerbosity = 4;
    e2e::StdoutCapture out;
    Start();
    Feed({.status = kOutOfSync, .bits = 800});
    FeedLast({.status = kOutOfSync, .bits = 800, .bitErrors = 2});
    EXPECT_NE(out.Stop().find("Stop on Error 2\n"), std::string::npos);
    EXPECT_TRUE(QuitKeyPushed());
}

TEST_F(HwThreadTest, TestLengthStopsOnBitsInSyncOnlyWithoutDuration) {
    g_Settings.uTestLengthBits = 1000;
    g_Settings.uVerbosity = 4;
    e2e::StdoutCapture out;
    Start();
    Feed({.status = kOutOfSync, .bits = 5000});
    Feed({.status = 0, .bits = 600});
    FeedLast({.status = 0, .bits = 600});
    EXPECT_NE(out.Stop().find("Stop on Bits 1200\n"), std::string::npos);
    EXPECT_TRUE(QuitKeyPushed());
}

TEST_F(HwThreadTest, NoSyncTimeOutAppliesUntilTheFirstSyncThenTheDuration) {
    g_Settings.bTestDurationGiven = true;
    g_Settings.uTestDurationSecs = 5;
    g_Settings.uNoSyncTimeoutSecs = 8;
    g_Settings.uVerbosity = 4;
    ResetStatsAt(MsAgo(6000));
    e2e::StdoutCapture out;
    Start();
    // 6 s without sync: past the duration, not past the sync time-out.
    Feed({.status = kOutOfSync, .bits = 800});
    EXPECT_FALSE(Ended(0));
    FeedLast({.status = 0, .bits = 800});
    EXPECT_NE(out.Stop().find("Stop on Time 5\n"), std::string::npos);
    EXPECT_TRUE(QuitKeyPushed());
}

TEST_F(HwThreadTest, WaitingWithoutRecordsShowsTheTimeAndEndsOnTheSyncTimeOut) {
    RecordingSender sender;
    g_Settings.bTestDurationGiven = true;
    g_Settings.uTestDurationSecs = 60;
    g_Settings.uNoSyncTimeoutSecs = 1;
    g_Settings.uVerbosity = 4;
    ResetStatsAt(MsAgo(500));
    e2e::StdoutCapture out;
    Start();
    // No record ever comes: the time-out of the wait alone must end it,
    // half a second later.
    ASSERT_TRUE(Ended(3000));
    EXPECT_NE(out.Stop().find("Stop on Sync Time 1\n"), std::string::npos);
    EXPECT_TRUE(QuitKeyPushed());
    int elapsed = 0;
    for (const SentRecord& r : sender.Records()) {
        if (r.tag != ZVBERT_ELAPSED_USECS) continue;
        ASSERT_EQ(r.value.size(), 8u);
        int64_t usecs = 0;
        std::memcpy(&usecs, r.value.data(), 8);
        EXPECT_GT(usecs, 1000000);
        ++elapsed;
    }
    EXPECT_EQ(elapsed, 1);
}

TEST_F(HwThreadTest, ReadThatCannotStartEndsTheTestAsALinkFailure) {
    dwStatus = STATUS_OK;
    driver_->reads = fake::Completion::Refused;
    Start();
    ASSERT_TRUE(Ended(3000));
    EXPECT_TRUE(QuitKeyPushed());
    EXPECT_EQ(dwStatus.load(), STATUS_LINK_FAILED);
    dwStatus = STATUS_OK;
    EXPECT_EQ(driver_->ReadCount(), 0);
}

TEST_F(HwThreadTest, FailedCompletionIsDroppedAndTheNextReadFollows) {
    Start();
    ASSERT_TRUE(driver_->WaitForRead(1));
    ASSERT_TRUE(
        driver_->CompleteRead(RecordBytes({.status = 0, .bits = 800}), platform::kErrorGenFailure));
    ASSERT_TRUE(driver_->WaitForRead(2));
    EXPECT_EQ(Stats().i64RxBitCount, 0);
    EXPECT_TRUE(g_bFirstSyncPending);
    Feed({.status = 0, .bits = 800});
    EXPECT_EQ(Stats().i64RxBitCount, 800);
}

TEST_F(HwThreadTest, ReadTheDriverNeverGivesBackIsNotFreedUnderIt) {
    driver_->cancelIgnored = true;
    e2e::StdoutCapture out;
    Start();
    ASSERT_TRUE(driver_->WaitForRead(1));
    g_bRxStop = true;
    ASSERT_TRUE(Ended(10000));
    EXPECT_NE(out.Stop().find(" BERT stats read still pending at exit\n"), std::string::npos);
    // The driver finishes late, into memory that must still be there.
    EXPECT_TRUE(driver_->CompleteRead(RecordBytes({.status = 0, .bits = 800})));
}

}  // namespace
