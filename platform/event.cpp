#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform {
namespace {

// One lock and one condition for every event keeps waits on several events
// simple and free of lost wake-ups; the program has only a handful of threads.
std::mutex& EventLock() {
    static std::mutex m;
    return m;
}
std::condition_variable& EventChanged() {
    static std::condition_variable cv;
    return cv;
}

}  // namespace

Event::Event(bool manualReset, bool initiallySignalled)
    : manualReset_(manualReset), signalled_(initiallySignalled) {}

Event::~Event() = default;

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(EventLock());
        signalled_ = true;
    }
    EventChanged().notify_all();
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
    for (;;) {
        for (unsigned i = 0; i < count; ++i)
            if (events[i]->TryConsume()) return kWaitObject0 + i;
        if (timeoutMs == kInfinite) {
            EventChanged().wait(lock);
        } else if (EventChanged().wait_until(lock, deadline) == std::cv_status::timeout) {
            for (unsigned i = 0; i < count; ++i)
                if (events[i]->TryConsume()) return kWaitObject0 + i;
            return kWaitTimeout;
        }
    }
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
