#include "platform/sync.h"

#include <windows.h>

namespace platform {

int64_t PerfCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t PerfFrequency() {
    // Fixed at boot; asked once.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : int64_t(1000);
    }();
    return frequency;
}

// Whole seconds and the rest apart, so that the product cannot overflow.
int64_t MonotonicNs() {
    const int64_t ticks = PerfCounter();
    const int64_t frequency = PerfFrequency();
    return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
}

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace platform
