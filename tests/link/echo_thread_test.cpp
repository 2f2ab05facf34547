// The echo thread sends back each block it reads, as it was read.
#include <gtest/gtest.h>

#include <thread>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "link/threads.h"
#include "tests/card/fake_driver.h"

namespace {

class EchoThreadTest : public ::testing::Test {
   protected:
    void SetUp() override {
        g_hPort = fake::kOnePort;
        g_uBufferLength = 8192;
        g_bRxStop = false;
    }
    void TearDown() override {
        Stop();
        driver_->CancelIo(fake::kOnePort);
        g_hPort = card::kInvalidHandle;
    }
    void Stop() {
        if (!thread_.joinable()) return;
        g_bRxStop = true;
        thread_.join();
    }

    fake::DriverScope driver_{fake::kOnePort};
    std::thread thread_;
};

TEST_F(EchoThreadTest, WritesBackEachBlockAsOneWriteOfTheSameBytes) {
    std::vector<uint8_t> first(100), second(7);
    for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 3);
    for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(0xF0 + i);
    driver_->readAnswers = {first, second};
    thread_ = std::thread(EchoThread);
    ASSERT_TRUE(driver_->WaitFor(
        [&] { return driver_->Writes().size() == 2 && driver_->ReadCount() == 3; }));
    Stop();
    EXPECT_EQ(driver_->Writes(), (std::vector<std::vector<uint8_t>>{first, second}));
}

}  // namespace
