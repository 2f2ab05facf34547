// The round-trip delay test's thread: sends one numbered frame at a time on
// the framed port, matches its return, and feeds the card's departure and
// arrival stamps to the statistics.
#pragma once

#include <cstdint>

// A receive time-out of 0 (+r0, the default) gives a frame this long.
constexpr uint32_t kRtdDefaultRxTimeoutMs = 1000;

uint32_t RoundTripDelayThread();
