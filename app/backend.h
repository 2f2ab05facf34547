// The one place that picks the driver backend.
#pragma once

#include <memory>
#include <string>

#include "card/driver.h"

// The simulator's configuration (ONDREL_CARD_CONFIG, or the default cards)
// decides: cards with backend = "tty" are serial ports, the others simulated
// Zorvan cards. nullptr with *error set when the configuration is unusable.
std::unique_ptr<card::Driver> CreateBackendFromEnvironment(std::string* error);
