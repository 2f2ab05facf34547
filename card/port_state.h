// What the port set-up leaves for the test threads: the open port, its
// buffers and its character size, the card revision, the receive event and
// the inversion the program has to do itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "card/driver.h"
#include "platform/event.h"

extern std::atomic<card::PortHandle> g_hPort;
extern uint32_t g_uBufferLength;  // bytes per transmit/receive buffer (default 8192)
extern uint32_t g_uNumBuffers;    // number of buffers (default 8)
extern uint32_t g_uBitsPerChar;   // 8, or the asynchronous data bits
extern uint16_t g_wCardRevision;
extern platform::Event* g_hRxEvent;
extern std::atomic<bool> g_bManualInvert;  // the card cannot invert: the program does
extern std::atomic<bool> ManualTxInvert;   // transmit data to be inverted by the program

// Output signals the front end asked for; both off at start.
extern std::atomic<bool> g_bDtrWish;
extern std::atomic<bool> g_bRtsWish;
