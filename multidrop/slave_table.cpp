#include "multidrop/slave_table.h"

SlaveStats g_aSlaveStats[kSlaveTableSize];

uint32_t CountPolledSlaves() {
    uint32_t count = 0;
    for (const SlaveStats& slave : g_aSlaveStats)
        if (slave.bPoll) ++count;
    return count;
}

void ResetSlaveTable() {
    for (SlaveStats& slave : g_aSlaveStats) slave = SlaveStats();
}
