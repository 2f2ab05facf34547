#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform {

// Each blocked thread has its own condition and is registered with the events
// it waits on, so a Set wakes only the threads waiting on that event: with one
// shared condition every data arrival woke every thread of the process.
struct Event::Waiter {
    std::condition_variable cv;
};

namespace {

// One lock for all events keeps a wait on several events free of lost
// wake-ups; it is held only for a few instructions at a time.
std::mutex& EventLock() {
    static std::mutex m;
    return m;
}

}  // namespace

Event::Event(bool manualReset, bool initiallySignalled)
    : manualReset_(manualReset), signalled_(initiallySignalled) {}

Event::~Event() = default;

void Event::Set() {
    std::lock_guard<std::mutex> lock(EventLock());
    signalled_ = true;
    for (Waiter* waiter : waiters_) waiter->cv.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(EventLock());
    signalled_ = false;
}

bool Event::IsSignalled() const {
    std::lock_guard<std::mutex> lock(EventLock());
    return signalled_;
}

bool Event::TryConsume() {
    if (!signalled_) return false;
    if (!manualReset_) signalled_ = false;
    return true;
}

uint32_t WaitForEventArray(Event* const* events, unsigned count, uint32_t timeoutMs) {
    if (events == nullptr || count == 0) return kWaitFailed;
    for (unsigned i = 0; i < count; ++i)
        if (events[i] == nullptr) return kWaitFailed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(EventLock());
    auto firstSignalled = [&]() -> int {
        for (unsigned i = 0; i < count; ++i)
            if (events[i]->TryConsume()) return static_cast<int>(i);
        return -1;
    };
    int index = firstSignalled();
    if (index >= 0) return kWaitObject0 + index;
    if (timeoutMs == 0) return kWaitTimeout;

    Event::Waiter waiter;
    for (unsigned i = 0; i < count; ++i) events[i]->waiters_.push_back(&waiter);
    bool timedOut = false;
    while ((index = firstSignalled()) < 0 && !timedOut) {
        if (timeoutMs == kInfinite)
            waiter.cv.wait(lock);
        else
            timedOut = waiter.cv.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    for (unsigned i = 0; i < count; ++i) {
        auto& list = events[i]->waiters_;
        list.erase(std::find(list.begin(), list.end(), &waiter));
    }
    return index >= 0 ? kWaitObject0 + index : kWaitTimeout;
}

uint32_t WaitForEvents(std::initializer_list<Event*> events, uint32_t timeoutMs) {
    std::vector<Event*> list(events);
    return WaitForEventArray(list.data(), static_cast<unsigned>(list.size()), timeoutMs);
}

uint32_t WaitForEvent(Event& event, uint32_t timeoutMs) {
    Event* one = &event;
    return WaitForEventArray(&one, 1, timeoutMs);
}

}  // namespace platform
