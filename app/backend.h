// The one place that picks the driver backend.
#pragma once

#include <memory>
#include <string>

#include "card/driver.h"

// Without a configuration file a card of the real driver, when the system
// has one, else the simulator's default cards. A configuration
// (ONDREL_CARD_CONFIG) decides by its cards' backend: "zorvan" the real
// driver, "tty" serial ports, the others simulated Zorvan cards. nullptr with *error set when the
// configuration is unusable.
std::unique_ptr<card::Driver> CreateBackendFromEnvironment(std::string* error);
