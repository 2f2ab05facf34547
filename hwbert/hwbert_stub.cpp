// Placeholder until the hardware BERT thread lands.
#include "hwbert/hwbert.h"

uint32_t HardwareBERTRxThread() { return 1; }
