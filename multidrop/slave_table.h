// The slave table of the multi-drop test: one record per Modbus address
// 0..247. The command line marks the slaves to poll; the multi-drop work
// extends the record with each slave's statistics and link state.
#pragma once

#include <cstdint>

constexpr int kSlaveTableSize = 248;
constexpr int kFirstSlaveId = 1;
constexpr int kLastSlaveId = 247;

struct SlaveStats {
    bool bPoll = false;  // selected for polling by the master
};

extern SlaveStats g_aSlaveStats[kSlaveTableSize];

// Number of records whose poll flag is set.
uint32_t CountPolledSlaves();

// Clears every record (the command-line tests parse repeatedly).
void ResetSlaveTable();
