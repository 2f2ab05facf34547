// The driver records as a serial port fills them. The kernel's counters land
// in the card's nearest slots of the interface record: a parity error is the
// character's check failing (CRC), a break the line's abort (RxA).
#pragma once

#include "card/wire_layout.h"

namespace tty {

using namespace card::wire;

}  // namespace tty
