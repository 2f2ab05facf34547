// The simulated Zorvan driver, installed when no real driver is present.
#pragma once

#include <memory>
#include <string>

#include "card/driver.h"
#include "sim/config.h"

namespace sim {

// Environment variable naming the cards' configuration file (TOML), whatever
// their backend; the older name is read when it is unset.
constexpr const char* kConfigVariable = "ONDREL_CARD_CONFIG";
constexpr const char* kOldConfigVariable = "ONDREL_SIM_CONFIG";

// The configuration file named by ONDREL_CARD_CONFIG or ONDREL_SIM_CONFIG
// (the default cards when both are unset), with ONDREL_SIM_CONTROL laid over
// it. The error starts with the file's path. False with *error set
// when the file cannot be read or is malformed.
bool LoadConfigFromEnvironment(SimConfig* config, std::string* error);

std::unique_ptr<card::Driver> CreateDriver(SimConfig config);

// The driver from the configuration file named by ONDREL_CARD_CONFIG, or the
// default cards when it is unset. nullptr with *error set when the file
// cannot be read or is malformed.
std::unique_ptr<card::Driver> CreateDriverFromEnvironment(std::string* error);

}  // namespace sim
