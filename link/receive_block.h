// Taking one block of received data from the port: out of the shared receive
// ring when the driver fills one, else by asking the driver for it.
#pragma once

#include <cstdint>

constexpr uint32_t kRxBufferSize = 8192;

// Where ReceiveBlock puts the data. The software receive thread, the echo
// thread and the round-trip delay thread use it; only one of them runs.
extern uint8_t g_abRxBuffer[kRxBufferSize];

// Bytes placed in g_abRxBuffer; 0 when none (no port, nothing waiting, a
// damaged ring record, which is dropped, or a failed request).
uint32_t ReceiveBlock();

// The card's arrival stamp (ms) of the last byte of the block ReceiveBlock
// placed last; 0 when the driver gives none. A silence measured with it is
// the line's, not the time the receiving thread was kept from running.
extern uint32_t g_uRxBlockStampMs;
