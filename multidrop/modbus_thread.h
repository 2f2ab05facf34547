// The multi-drop test's data thread: the master polls the selected slaves
// with Modbus diagnostic requests carrying each slave's pattern and counts
// what they echo; a slave answers such requests.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<bool> g_bRxInvertedNow;
extern std::atomic<bool> g_bTxInvertedNow;

uint32_t ModbusThread();
