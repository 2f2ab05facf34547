// The one critical section of the program and the clock it measures time with.
#pragma once

#include <cstdint>
#include <mutex>

namespace platform {

// Recursive, as a Windows critical section is: a thread may enter it again.
class CriticalSection {
public:
    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }
    // For std::lock_guard / std::unique_lock.
    void lock() { m_.lock(); }
    void unlock() { m_.unlock(); }
    bool try_lock() { return m_.try_lock(); }

private:
    std::recursive_mutex m_;
};

// Monotonic performance counter in ticks and its frequency in ticks per second.
int64_t PerfCounter();
int64_t PerfFrequency();
// The same clock in nanoseconds, whatever the counter's frequency.
int64_t MonotonicNs();
void SleepMs(uint32_t ms);

}  // namespace platform
