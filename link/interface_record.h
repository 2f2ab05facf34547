// The port's interface record: input line signals and the driver's error
// counters, polled by the receive threads and reported when they change.
#pragma once

#include <atomic>
#include <cstdint>

#include "card/records.h"

// What the last polls reported; all zero clears it so that the next full
// poll reports every non-zero counter. Touched under g_csGlobal only.
extern InterfaceRecord g_LastInterfaceRecord;

// New CRC or framing errors were seen; read and cleared by the receive
// thread's automatic inversion.
extern std::atomic<bool> g_bLineErrorsSeen;

// Reads the record from the open port and reports what changed: the input
// signals always, the counters unless signalsOnly. CRC and framing deltas
// are logged one by one only with reportCounters.
void PollInterfaceRecord(bool signalsOnly, bool reportCounters);
