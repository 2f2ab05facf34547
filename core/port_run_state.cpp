#include "core/port_run_state.h"

std::atomic<intptr_t> g_hPort{-1};
uint32_t g_uBufferLength = 8192;
uint32_t g_uNumBuffers = 8;
uint32_t g_uBitsPerChar = 8;
uint16_t g_wCardRevision = 0;
platform::Event* g_hRxEvent = nullptr;
std::atomic<bool> g_bManualInvert{false};
std::atomic<bool> ManualTxInvert{false};
