// The one critical section of the program and the clock it measures time with.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace platform {

// Recursive, as a Windows critical section is: a thread may enter it again.
class CriticalSection {
   public:
    void Enter() { lock(); }
    void Leave() { unlock(); }
    // For std::lock_guard / std::unique_lock.
    void lock() {
        m_.lock();
        Entered();
    }
    void unlock() {
        if (--depth_ == 0) owner_.store(std::thread::id());
        m_.unlock();
    }
    bool try_lock() {
        if (!m_.try_lock()) return false;
        Entered();
        return true;
    }

    // A thread about to wait on something slow lets the others in: leaves
    // every level it holds and returns how many, to take again with
    // EnterAgain. 0 when the calling thread does not hold it.
    unsigned LeaveAll() {
        if (owner_.load() != std::this_thread::get_id()) return 0;
        const unsigned levels = depth_;
        for (unsigned i = 0; i < levels; ++i) unlock();
        return levels;
    }
    void EnterAgain(unsigned levels) {
        for (unsigned i = 0; i < levels; ++i) lock();
    }

   private:
    void Entered() {
        if (depth_++ == 0) owner_.store(std::this_thread::get_id());
    }

    std::recursive_mutex m_;
    std::atomic<std::thread::id> owner_{};
    unsigned depth_ = 0;  // only the owner touches it, under m_
};

// Monotonic performance counter in ticks and its frequency in ticks per second.
int64_t PerfCounter();
int64_t PerfFrequency();
// The same clock in nanoseconds, whatever the counter's frequency.
int64_t MonotonicNs();
void SleepMs(uint32_t ms);

}  // namespace platform
