// The clock of the tests whose data path has no receive thread to drive the
// reports: every 500 ms of test time it prints that test's statistics, and
// with -L it ends the test on time (or, in the multi-drop master, when the
// slaves have not all synchronised within -S).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event.h"

// Test time as of the thread's last wake-up, and as of the last output or
// restart of the period (microseconds).
extern std::atomic<int64_t> g_i64MainElapsedUsecs;
extern std::atomic<int64_t> g_i64PrevElapsedUsecs;
// Performance-counter ticks at the start of the test time.
extern std::atomic<int64_t> g_i64MainStartTicks;
// Restarts the output period when set; null until the thread first runs.
extern std::atomic<platform::Event*> g_hStatsUpdateEvent;

constexpr uint32_t kStatsUpdateWaitMs = 100;
constexpr int64_t kStatsUpdatePeriodUsecs = 500000;

// The report printed every period; the test sets it before the thread starts.
using StatsOutput = void (*)();
void SetStatsUpdateOutput(StatsOutput output);

// Moves the start of the test time to now and restarts the output period.
void RestartStatsUpdatePeriod();

// Whether a stop rule ends the test at this test time (logs the rule when
// it does). Only with -L; -L0 leaves only the multi-drop no-sync rule.
bool StatsUpdateStopDue(int64_t elapsedUsecs);

uint32_t StatsUpdateThread();
