#include "platform/sync.h"

#include <chrono>
#include <thread>

namespace platform {

int64_t PerfCounter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t PerfFrequency() { return 1000000000; }

int64_t MonotonicNs() { return PerfCounter(); }

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
