#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/environment.h"
#include "platform/last_error.h"
#include "platform/thread.h"

namespace {

TEST(StartThread, RunsTheBodyAndRefusesAHeldThread) {
    std::atomic<int> runs{0};
    std::thread thread;
    ASSERT_TRUE(platform::StartThread(thread, [&] { ++runs; }));
    EXPECT_FALSE(platform::StartThread(thread, [&] { ++runs; }));
    platform::JoinThread(thread);
    platform::JoinThread(thread);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(thread.joinable());
    EXPECT_FALSE(platform::StartThread(thread, nullptr));
}

TEST(Environment, LongValueIsCutToTheRoom) {
    setenv("ONDREL_TEST_VALUE", "abcdefghij", 1);
    char buf[5];
    ASSERT_TRUE(platform::GetEnvironment("ONDREL_TEST_VALUE", buf, sizeof buf));
    EXPECT_STREQ(buf, "abcd");
    unsetenv("ONDREL_TEST_VALUE");
}

TEST(Environment, UnsetOrEmptyGivesNothing) {
    char buf[8] = "junk";
    unsetenv("ONDREL_TEST_VALUE");
    EXPECT_FALSE(platform::GetEnvironment("ONDREL_TEST_VALUE", buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    setenv("ONDREL_TEST_VALUE", "", 1);
    EXPECT_FALSE(platform::GetEnvironment("ONDREL_TEST_VALUE", buf, sizeof buf));
    unsetenv("ONDREL_TEST_VALUE");
}

TEST(LastError, IsPerThread) {
    platform::SetLastError(platform::kErrorAccessDenied);
    uint32_t seenByOther = 1;
    std::thread other([&] { seenByOther = platform::GetLastError(); });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
}

}  // namespace
