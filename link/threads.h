// The software-mode worker threads.
#pragma once

#include <cstdint>

uint32_t TxEventThread();
uint32_t KVIOEventThread();
uint32_t EchoThread();

// Frees the transmit slots once the port's requests are cancelled.
void FreeTxSlots();
