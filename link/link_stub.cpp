// Placeholder until the software link lands.
#include "link/threads.h"

uint32_t TxEventThread() { return 0; }
uint32_t KVIOEventThread() { return 1; }
uint32_t EchoThread() { return 1; }
void FreeTxSlots() {}
