// Opening and configuring the test port.
#pragma once

#include <cstdint>

#include "card/driver.h"

// Finds, opens and configures the port. On failure dwStatus holds the reason
// where one is known, and the port resources are already released.
bool OpenPort(uint32_t card, uint32_t port);

// Cancels the port's outstanding I/O, closes it, frees the shared receive
// ring and closes the receive event. Safe to call when nothing is open.
void ReleasePort();

// Sets the output signals DTR and RTS of a port. Logs what it set, or the
// failure.
bool SetV24(card::PortHandle handle, bool dtr, bool rts);
