#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sync.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using platform::Event;
using platform::kInfinite;
using platform::kWaitFailed;
using platform::kWaitObject0;
using platform::kWaitTimeout;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

TEST(Event, AutoResetIsConsumedByOneWait) {
    Event event(false, true);
    EXPECT_EQ(platform::WaitForEvent(event, 0), kWaitObject0);
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_EQ(platform::WaitForEvent(event, 0), kWaitTimeout);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    Event event(true, false);
    EXPECT_EQ(platform::WaitForEvent(event, 0), kWaitTimeout);
    event.Set();
    EXPECT_EQ(platform::WaitForEvent(event, 0), kWaitObject0);
    EXPECT_EQ(platform::WaitForEvent(event, 0), kWaitObject0);
    event.Reset();
    EXPECT_EQ(platform::WaitForEvent(event, 0), kWaitTimeout);
}

TEST(Event, WaitOnSeveralReturnsLowestSignalledIndex) {
    Event first(false, false), second(false, false), third(true, false);
    third.Set();
    second.Set();
    EXPECT_EQ(platform::WaitForEvents({&first, &second, &third}, 0), kWaitObject0 + 1);
    EXPECT_EQ(platform::WaitForEvents({&first, &second, &third}, 0), kWaitObject0 + 2);
    EXPECT_TRUE(third.IsSignalled());
    EXPECT_FALSE(second.IsSignalled());
}

TEST(Event, TimeOutWaitsAtLeastItsTime) {
    Event event(false, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::WaitForEvents({&event}, 50), kWaitTimeout);
    EXPECT_GE(ElapsedMs(start), 50);
}

TEST(Event, UnlimitedWaitWakesOnSetFromAnotherThread) {
    Event a(false, false), b(false, false);
    std::atomic<uint32_t> result{0};
    std::atomic<bool> started{false};
    std::thread waiter([&] {
        started = true;
        result = platform::WaitForEvents({&a, &b}, kInfinite);
    });
    EXPECT_TRUE(e2e::WaitUntil([&] { return started.load(); }));
    b.Set();
    waiter.join();
    EXPECT_EQ(result.load(), kWaitObject0 + 1);
    EXPECT_FALSE(b.IsSignalled());
}

// The first set releases one waiter and the second the other, which is
// still waiting for it: each set is taken exactly once.
TEST(Event, OneSetOfAnAutoResetEventReleasesOneWaiter) {
    Event event(false, false);
    std::atomic<int> released{0};
    const uint32_t bound = uint32_t(e2e::ScaledMs(5000));
    std::thread w1([&] { released += platform::WaitForEvent(event, bound) == kWaitObject0; });
    std::thread w2([&] { released += platform::WaitForEvent(event, bound) == kWaitObject0; });
    event.Set();
    EXPECT_TRUE(e2e::WaitUntil([&] { return released >= 1; }));
    event.Set();
    w1.join();
    w2.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event.IsSignalled());
}

TEST(Event, SetOfAManualResetEventReleasesEveryWaiter) {
    Event event(true, false);
    std::atomic<int> released{0};
    std::atomic<int> started{0};
    const uint32_t bound = uint32_t(e2e::ScaledMs(5000));
    auto waiter = [&] {
        ++started;
        released += platform::WaitForEvent(event, bound) == kWaitObject0;
    };
    std::thread w1(waiter);
    std::thread w2(waiter);
    EXPECT_TRUE(e2e::WaitUntil([&] { return started == 2; }));
    event.Set();
    w1.join();
    w2.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(Event, EmptyOrNullSetFails) {
    Event event(false, true);
    Event* withNull[] = {&event, nullptr};
    EXPECT_EQ(platform::WaitForEventArray(withNull, 2, 0), kWaitFailed);
    EXPECT_EQ(platform::WaitForEventArray(nullptr, 0, 0), kWaitFailed);
    EXPECT_TRUE(event.IsSignalled());  // a failed wait consumes nothing
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    platform::CriticalSection cs;
    cs.Enter();
    cs.Enter();
    std::atomic<bool> otherGotIt{true};
    std::thread other([&] {
        otherGotIt = cs.try_lock();
        if (otherGotIt) cs.unlock();
    });
    other.join();
    EXPECT_FALSE(otherGotIt);
    cs.Leave();
    cs.Leave();
    std::thread later([&] {
        otherGotIt = cs.try_lock();
        if (otherGotIt) cs.unlock();
    });
    later.join();
    EXPECT_TRUE(otherGotIt);
}

TEST(PerfCounter, IsMonotonicNanoseconds) {
    EXPECT_EQ(platform::PerfFrequency(), 1000000000);
    int64_t before = platform::PerfCounter();
    platform::SleepMs(10);  // the time that passes is what is measured
    int64_t after = platform::PerfCounter();
    EXPECT_GE(after - before, 10 * 1000000);
}

}  // namespace
