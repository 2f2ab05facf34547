// What the port set-up leaves for the test threads: the open port, its
// buffers and its character size, the card revision, the receive event and
// the inversion the program has to do itself. The port set-up writes it; it
// lives in core because the threads that read it (link, stats, pattern, the
// card handler) sit below the port set-up.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event.h"

// The open port as the driver contract hands it out (a card::PortHandle),
// -1 (card::kInvalidHandle) while none is open. The port set-up checks that
// the two types agree.
extern std::atomic<intptr_t> g_hPort;
extern uint32_t g_uBufferLength;  // bytes per transmit/receive buffer (default 8192)
extern uint32_t g_uNumBuffers;    // number of buffers (default 8)
extern uint32_t g_uBitsPerChar;   // 8, or the asynchronous data bits
extern uint16_t g_wCardRevision;
extern platform::Event* g_hRxEvent;
extern std::atomic<bool> g_bManualInvert;  // the card cannot invert: the program does
extern std::atomic<bool> ManualTxInvert;   // transmit data to be inverted by the program
