#include "card/port_state.h"

std::atomic<card::PortHandle> g_hPort{card::kInvalidHandle};
uint32_t g_uBufferLength = 8192;
uint32_t g_uNumBuffers = 8;
uint32_t g_uBitsPerChar = 8;
uint16_t g_wCardRevision = 0;
platform::Event* g_hRxEvent = nullptr;
std::atomic<bool> g_bManualInvert{false};
std::atomic<bool> ManualTxInvert{false};
std::atomic<bool> g_bDtrWish{false};
std::atomic<bool> g_bRtsWish{false};
