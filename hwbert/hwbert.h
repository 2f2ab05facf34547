// Collection of the card BERT engine's statistics records.
#pragma once

#include <cstdint>

uint32_t HardwareBERTRxThread();
