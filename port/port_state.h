// The port's own state beside what it leaves for the test threads
// (core/port_run_state.h): the output signals the front end asked for.
#pragma once

#include <atomic>

#include "core/port_run_state.h"

// Both off at start; the port set-up applies them when it opens the port.
extern std::atomic<bool> g_bDtrWish;
extern std::atomic<bool> g_bRtsWish;
