// State of the software receive thread that other parts of the program see.
#pragma once

#include <atomic>
#include <cstdint>

// Wait time-out and sample period while data flows, in ms: 100 until the
// first sync, 1000 from then on.
extern std::atomic<uint32_t> g_dwRxTimeout;

// The receive inversion chosen by the automatic inversion (+v).
extern std::atomic<bool> bRxInverted;

// Full interface checks made so far, counted up to 3: the driver's error
// counters are reported from the second check on, once they were reset.
extern uint32_t g_uIfCheckCount;
