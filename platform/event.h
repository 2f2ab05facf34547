// Waitable events in the manner of the Windows kernel objects the program was
// designed around: auto- or manual-reset, waited on alone or in a group.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

class Event {
   public:
    Event(bool manualReset, bool initiallySignalled);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    void Set();
    void Reset();
    bool IsSignalled() const;

   private:
    friend uint32_t WaitForEvents(std::initializer_list<Event*> events, uint32_t timeoutMs);
    friend uint32_t WaitForEventArray(Event* const* events, unsigned count, uint32_t timeoutMs);
    struct Waiter;
    bool TryConsume();  // caller holds the event lock

    const bool manualReset_;
    bool signalled_;
    std::vector<Waiter*> waiters_;  // threads blocked on this event now
};

// Returns kWaitObject0 + index of the first signalled event (consuming an
// auto-reset event), kWaitTimeout, or kWaitFailed for an empty or null set.
uint32_t WaitForEventArray(Event* const* events, unsigned count, uint32_t timeoutMs);
uint32_t WaitForEvents(std::initializer_list<Event*> events, uint32_t timeoutMs);
uint32_t WaitForEvent(Event& event, uint32_t timeoutMs);

}  // namespace platform
