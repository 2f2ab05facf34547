#include "link/port_buffers.h"

#include <gtest/gtest.h>

#include <memory>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/settings.h"
#include "tests/card/fake_driver.h"

namespace {

struct Sized {
    uint32_t length;
    uint32_t count;
    std::string log;
};

Sized Size(uint32_t queueBytes) {
    Sized s{};
    testing::internal::CaptureStdout();
    SizePortBuffers(queueBytes, &s.length, &s.count);
    s.log = testing::internal::GetCapturedStdout();
    return s;
}

class PortBuffers : public testing::Test {
   protected:
    void SetUp() override {
        ResetSettings();
        g_Settings.uVerbosity = 3;
        g_uBitsPerChar = 8;
    }
    void TearDown() override { ResetSettings(); }
};

TEST_F(PortBuffers, TwoSecondsAt19200) {
    g_Settings.uClockRate = 19200;
    Sized s = Size((19200 + 7) / 8 * 2);
    EXPECT_EQ(s.length, 608u);
    EXPECT_EQ(s.count, 8u);
    EXPECT_NE(s.log.find("TotalQLength=4800\n"), std::string::npos);
    EXPECT_NE(s.log.find("NumBuffers=8 BufferLength=608 QLength=4864\n"), std::string::npos);
    EXPECT_NE(s.log.find("Duration = 2.027 secs\n"), std::string::npos);
}

TEST_F(PortBuffers, LengthStepsAndPowerOfTwoCounts) {
    struct Case {
        uint32_t queue, length, count;
    };
    const Case cases[] = {
        {1, 8, 2},     // L 1 -> 8, one buffer wanted -> 2
        {24, 8, 4},    // 3 wanted
        {100, 16, 8},  // L 13 -> 16, 7 wanted
        {130, 32, 8},  // L 17 -> 32, 5 wanted
        {300, 64, 8},  // L 38 -> 64
        {600, 96, 8},  // L 75 -> 96
    };
    for (const Case& c : cases) {
        Sized s = Size(c.queue);
        EXPECT_EQ(s.length, c.length) << "queue " << c.queue;
        EXPECT_EQ(s.count, c.count) << "queue " << c.queue;
    }
}

TEST_F(PortBuffers, FastLineIsCappedAt8192BytesAnd128Buffers) {
    g_Settings.uClockRate = 100000000;
    Sized s = Size(100000000 / 8 * 100);
    EXPECT_EQ(s.length, 8192u);
    EXPECT_EQ(s.count, 128u);
    // A queue near the top of the 32-bit range must not wrap to a few buffers.
    EXPECT_EQ(Size(0xFFFFFFF0u).count, 128u);
}

TEST_F(PortBuffers, AsyncCharactersFillWholePatternBytes) {
    g_Settings.uMode = MODE_ASYNC;
    g_Settings.uDataBits = 7;
    Sized s = Size(8192 * 8);
    EXPECT_EQ(s.length, 8232u);
    EXPECT_EQ(s.length % 56, 0u);
    g_Settings.uPatternType = PATTERN_FOX;
    EXPECT_EQ(Size(8192 * 8).length, 8192u);
}

class ReceiveRing : public testing::Test {
   protected:
    void SetUp() override {
        auto driver = std::make_unique<fake::FakeDriver>();
        driver->devices["card/0"] = {};
        fake_ = driver.get();
        card::SetDriver(std::move(driver));
        handle_ = fake_->Open("card/0");
    }
    void TearDown() override {
        fake_->CancelIo(handle_);
        FreeReceiveRing();
        card::SetDriver(nullptr);
    }
    fake::FakeDriver* fake_ = nullptr;
    card::PortHandle handle_ = card::kInvalidHandle;
};

TEST_F(ReceiveRing, PendingReadHandsTheDriverTheWholeBlock) {
    ASSERT_EQ(StartReceiveRing(handle_, 8, 608), 1);
    const uint32_t capacity = (608 + 8) * 8;
    ByteRing* ring = g_pRxRing;
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(ring), fake_->readBuffer);
    EXPECT_EQ(fake_->readBufferLength, capacity + 20);
    EXPECT_EQ(ring->uSize, capacity + 1);
    EXPECT_EQ(ring->uReadIndex, capacity - 1);
    EXPECT_EQ(ring->uWriteIndex, capacity - 1);
    EXPECT_EQ(ring->iMark, -1);
}

TEST_F(ReceiveRing, ReadThatDoesNotPendLeavesNoRing) {
    fake_->reads = fake::Completion::Immediate;
    EXPECT_EQ(StartReceiveRing(handle_, 8, 608), 0);
    EXPECT_EQ(g_pRxRing.load(), nullptr);
    fake_->reads = fake::Completion::Refused;
    EXPECT_EQ(StartReceiveRing(handle_, 8, 608), 0);
    EXPECT_EQ(g_pRxRing.load(), nullptr);
}

}  // namespace
