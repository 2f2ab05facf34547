// Serial ports (Linux ttys) as cards behind the driver contract, for
// asynchronous tests on on-board UARTs, USB adapters and pseudo-terminals.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "card/driver.h"

namespace tty {

// One configured card: its ports are the devices, in order.
struct TtyCard {
    std::string description;
    std::vector<std::string> devices;
};

// Interface path of card index: "//tty/card<index>"; its ports are
// "<path>/<port>", and "<path>/<port>+" for reads without a receive ring
// (a serial port has character modes only: they return the bare characters).
std::string CardPath(size_t index);

// Card index is card number index (driver-key DeviceName "TTYS<index>").
std::unique_ptr<card::Driver> CreateDriver(std::vector<TtyCard> cards);

}  // namespace tty
