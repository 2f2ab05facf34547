// Waiting for a request through its record: the status word ends the wait,
// whatever state the event was left in by the record's previous request.
#include <gtest/gtest.h>

#include <thread>

#include "card/driver.h"
#include "platform/event.h"

namespace {

TEST(RequestWait, TheStatusWordNotTheEventEndsTheWait) {
    struct Case {
        const char* name;
        bool staleSignal;  // the event is set although the request is pending
        bool completes;    // another thread completes the request meanwhile
        bool expected;
    };
    const Case cases[] = {
        {"completed later", false, true, true},
        {"a stale signal is no completion", true, true, true},
        {"a stale signal and no completion times out", true, false, false},
    };
    for (const Case& c : cases) {
        platform::Event event(true, false);
        card::Overlapped ov;
        ov.hEvent = &event;
        ov.Internal = card::STATUS_PENDING;
        if (c.staleSignal) event.Set();
        std::thread completer;
        if (c.completes)
            completer = std::thread([&] {
                // Waits until the waiter has passed over the stale signal.
                while (c.staleSignal && event.IsSignalled()) std::this_thread::yield();
                ov.InternalHigh = 7;
                ov.Internal = 0;
                event.Set();
            });
        const bool done = card::WaitForRequest(&ov, c.completes ? 10000 : 50);
        if (completer.joinable()) completer.join();
        EXPECT_EQ(done, c.expected) << c.name;
        EXPECT_EQ(card::HasOverlappedIoCompleted(ov), c.expected) << c.name;
    }
}

}  // namespace
