// The transmit thread against a stand-in driver: what it queues, how errors
// go into the data, the asynchronous packing and the failure path.
#include <gtest/gtest.h>

#include <thread>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "link/threads.h"
#include "pattern/pattern.h"
#include "platform/console.h"
#include "stats/bert_stats.h"
#include "tests/card/fake_driver.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

constexpr uint32_t kBufferLength = 64;
constexpr uint32_t kBuffers = 4;
constexpr int kReferenceIndex = 2;

class TxThreadTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_ = g_Settings;
        g_Settings.uPatternType = PATTERN_2047;
        g_Settings.uMode = MODE_SYNC;
        g_Settings.uDataBits = 8;
        g_Settings.uVerbosity = 3;
        SelectPattern(PATTERN_2047);
        g_uBufferLength = kBufferLength;
        g_uNumBuffers = kBuffers;
        g_uBitsPerChar = 8;
        g_wCardRevision = 0x103;
        ManualTxInvert = false;
        g_hPort = fake::kOnePort;
        driver_->transmits = fake::Completion::Pending;
        g_uInjectErrors = 0;
        g_bTxStop = false;
        g_bQuit = false;
        g_BertStats = BertStats{};
        g_hTxEvent = new platform::Event(false, true);
        g_hTxDoneEvent = new platform::Event(true, false);
    }

    void TearDown() override {
        StopThread();
        FreeTxSlots();
        delete g_hTxEvent;
        delete g_hTxDoneEvent;
        g_hTxEvent = g_hTxDoneEvent = nullptr;
        g_hPort = card::kInvalidHandle;
        ManualTxInvert = false;
        g_bQuit = false;
        g_Settings = saved_;
        SelectPattern(g_Settings.uPatternType);
    }

    void StartThread() { thread_ = std::thread(TxEventThread); }

    // Stops as StopThreads does: flag, wake-up, join, then cancel the I/O.
    void StopThread() {
        if (!thread_.joinable()) return;
        g_bTxStop = true;
        g_hTxEvent->Set();
        thread_.join();
        driver_->CancelIo(fake::kOnePort);
    }

    bool WaitForTransmits(size_t count) {
        return driver_->WaitFor([&] { return driver_->Transmits().size() >= count; });
    }

    // The first `length` bytes of the pattern as a fresh transmitter sends them.
    static std::vector<uint8_t> Reference(uint32_t length) {
        std::vector<uint8_t> bytes(length);
        SeedScram(kReferenceIndex, 1, 0);
        uint32_t position = 0;
        FillPatternBufferFrom(g_Settings.uPatternType, bytes.data(), length, kReferenceIndex,
                              position);
        return bytes;
    }

    static std::vector<uint8_t> Joined(const std::vector<std::vector<uint8_t>>& sends) {
        std::vector<uint8_t> all;
        for (const auto& s : sends) all.insert(all.end(), s.begin(), s.end());
        return all;
    }

    fake::DriverScope driver_{fake::kOnePort};
    std::thread thread_;
    TestSettings saved_;
};

TEST_F(TxThreadTest, QueuesEverySlotWithTheContinuingPatternAndCountsIt) {
    StartThread();
    ASSERT_TRUE(WaitForTransmits(kBuffers));
    // All slots are queued and pending: nothing more goes out until one
    // completes. A completion signal with nothing completed makes the thread
    // look at its slots once more; once it has reset the signal and let go
    // of g_csGlobal, it is past the point where it would send again. Twice:
    // a fill the first look asked for is served before the second look.
    for (int look = 0; look < 2; ++look) {
        g_hTxDoneEvent->Set();
        ASSERT_TRUE(driver_->WaitFor([] { return !g_hTxDoneEvent->IsSignalled(); }));
        std::lock_guard<platform::CriticalSection> passed(g_csGlobal);
    }
    auto sends = driver_->Transmits();
    ASSERT_EQ(sends.size(), kBuffers);
    EXPECT_EQ(Joined(sends), Reference(kBuffers * kBufferLength));

    driver_->CompleteTransmits();
    ASSERT_TRUE(WaitForTransmits(2 * kBuffers));
    StopThread();
    sends = driver_->Transmits();
    EXPECT_EQ(Joined(sends), Reference(static_cast<uint32_t>(sends.size()) * kBufferLength));
    EXPECT_EQ(g_BertStats.i64TxByteCount, static_cast<int64_t>(sends.size() * kBufferLength));
    EXPECT_EQ(g_BertStats.i64TxBitCount, g_BertStats.i64TxByteCount * 8);
}

TEST_F(TxThreadTest, ImmediateCompletionNeverSendsTheSameDataTwice) {
    driver_->transmits = fake::Completion::Immediate;
    StartThread();
    ASSERT_TRUE(WaitForTransmits(3 * kBuffers));
    StopThread();
    const auto sends = driver_->Transmits();
    EXPECT_EQ(Joined(sends), Reference(static_cast<uint32_t>(sends.size()) * kBufferLength));
    EXPECT_EQ(g_BertStats.i64TxByteCount, static_cast<int64_t>(sends.size() * kBufferLength));
}

TEST_F(TxThreadTest, HostInjectionSpreadsElevenErrorsOverTwoBuffers) {
    g_uInjectErrors = 11;
    e2e::StdoutCapture capture;
    StartThread();
    ASSERT_TRUE(WaitForTransmits(kBuffers));
    StopThread();
    const std::string out = capture.Stop();
    const auto sends = driver_->Transmits();
    const auto reference = Reference(kBuffers * kBufferLength);
    EXPECT_EQ(sends[0][0] ^ reference[0], 0xFF);
    EXPECT_EQ(sends[1][0] ^ reference[kBufferLength], 0x98);
    // Apart from those two bytes the data is the pattern.
    auto repaired = Joined(sends);
    repaired[0] ^= 0xFF;
    repaired[kBufferLength] ^= 0x98;
    EXPECT_EQ(repaired, reference);
    EXPECT_EQ(g_uInjectErrors.load(), 0u);
    EXPECT_EQ(driver_->CodeCount(IOCTL_INJECT_ERRORS), 0);
    // Nothing failed: a card that cannot inject leaves it to the host.
    EXPECT_NE(out.find("8 errors injected in the transmitted data\n3 errors injected in the "
                       "transmitted data\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Failed to inject errors"), std::string::npos) << out;
}

TEST_F(TxThreadTest, CardInjectionAsksTheCardAndLeavesTheDataClean) {
    g_wCardRevision = 0x104;
    g_uInjectErrors = 11;
    e2e::StdoutCapture capture;
    StartThread();
    ASSERT_TRUE(WaitForTransmits(kBuffers));
    StopThread();
    const std::string out = capture.Stop();
    EXPECT_EQ(driver_->InjectCounts(), (std::vector<uint32_t>{8, 3}));
    EXPECT_EQ(Joined(driver_->Transmits()), Reference(kBuffers * kBufferLength));
    EXPECT_NE(out.find("11 errors injected\n"), std::string::npos) << out;
    EXPECT_NE(out.find("3 errors injected\n"), std::string::npos) << out;
}

TEST_F(TxThreadTest, RefusedCardInjectionFallsBackToTheHost) {
    g_wCardRevision = 0x310;
    driver_->failingCodes = {IOCTL_INJECT_ERRORS};
    g_uInjectErrors = 2;
    e2e::StdoutCapture capture;
    StartThread();
    ASSERT_TRUE(WaitForTransmits(kBuffers));
    StopThread();
    const std::string out = capture.Stop();
    EXPECT_EQ(driver_->Transmits()[0][0] ^ Reference(1)[0], 0x88);
    EXPECT_EQ(g_uInjectErrors.load(), 0u);
    EXPECT_NE(out.find("The card did not inject errors: "), std::string::npos) << out;
    EXPECT_NE(out.find("2 errors injected in the transmitted data instead\n"), std::string::npos)
        << out;
}

TEST_F(TxThreadTest, ManualTransmitInversionInvertsAfterInjecting) {
    ManualTxInvert = true;
    g_uInjectErrors = 1;
    StartThread();
    ASSERT_TRUE(WaitForTransmits(kBuffers));
    StopThread();
    auto sent = Joined(driver_->Transmits());
    for (auto& b : sent) b = static_cast<uint8_t>(~b);
    sent[0] ^= 0x80;
    EXPECT_EQ(sent, Reference(kBuffers * kBufferLength));
    EXPECT_EQ(driver_->CodeCount(IOCTL_TX_INVERT_CHANGED), 1);
}

TEST_F(TxThreadTest, SevenBitCharactersCarryTheWholePatternStream) {
    g_Settings.uMode = MODE_ASYNC;
    g_Settings.uDataBits = 7;
    g_uBitsPerChar = 7;
    g_uBufferLength = 112;  // two pattern bytes' worth of characters per 16 characters
    StartThread();
    ASSERT_TRUE(WaitForTransmits(kBuffers));
    StopThread();
    const auto sends = driver_->Transmits();
    const uint32_t streamPerBuffer = 112 * 7 / 8;
    std::vector<uint8_t> stream;
    ResetAsyncUnpack();
    for (const auto& chars : sends) {
        ASSERT_EQ(chars.size(), 112u);
        for (uint8_t c : chars) EXPECT_EQ(c & 0x80, 0);
        std::vector<uint8_t> bytes(streamPerBuffer + 1);
        EXPECT_EQ(UnpackAsyncChars(7, chars.data(), 112, bytes.data(),
                                   static_cast<uint32_t>(bytes.size())),
                  streamPerBuffer);
        stream.insert(stream.end(), bytes.begin(), bytes.begin() + streamPerBuffer);
    }
    ResetAsyncUnpack();
    EXPECT_EQ(stream, Reference(static_cast<uint32_t>(sends.size()) * streamPerBuffer));
    EXPECT_EQ(g_BertStats.i64TxBitCount, static_cast<int64_t>(sends.size()) * 112 * 7);
}

TEST_F(TxThreadTest, RefusedTransmitEndsTheTransmitSideAndTheTest) {
    driver_->failingCodes = {IOCTL_TRANSMIT_DATA};
    dwStatus = STATUS_OK;
    e2e::StdoutCapture capture;
    StartThread();
    // The thread ends by itself.
    thread_.join();
    const std::string out = capture.Stop();
    EXPECT_TRUE(g_bTxStop);
    EXPECT_TRUE(g_bQuit);
    // The key loop is woken, and the run is marked as cut short.
    EXPECT_TRUE(platform::KeyWaiting() && platform::ReadKey() == 'x');
    EXPECT_EQ(dwStatus.load(), STATUS_LINK_FAILED);
    dwStatus = STATUS_OK;
    EXPECT_NE(out.find("Tx Failed rc=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Error code returned was "), std::string::npos) << out;
    EXPECT_EQ(g_BertStats.i64TxByteCount, 0);
}

}  // namespace
