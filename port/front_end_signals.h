// The front end's wishes for the port's output signals and transmit
// inversion.
#pragma once

#include <cstdint>

// One ZVBERT_SIGNAL_CHANGE from the front end: item 1 DTR, 2 RTS, 5 transmit
// inversion, state 2 on and 1 off. Whatever the item, the output signals are
// sent to the port again.
void ApplyFrontEndSignal(uint8_t item, uint8_t state);
