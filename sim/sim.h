// The simulated Zorvan driver, installed when no real driver is present.
#pragma once

#include <memory>
#include <string>

#include "card/driver.h"
#include "sim/config.h"

namespace sim {

// Environment variable naming the simulator configuration file (TOML).
constexpr const char* kConfigVariable = "ONDREL_SIM_CONFIG";

// The configuration file named by ONDREL_SIM_CONFIG (the default cards when
// it is unset), with ONDREL_SIM_CONTROL laid over it. False with *error set
// when the file cannot be read or is malformed.
bool LoadConfigFromEnvironment(SimConfig* config, std::string* error);

std::unique_ptr<card::Driver> CreateDriver(SimConfig config);

// The driver from the configuration file named by ONDREL_SIM_CONFIG, or the
// default cards when it is unset. nullptr with *error set when the file
// cannot be read or is malformed.
std::unique_ptr<card::Driver> CreateDriverFromEnvironment(std::string* error);

}  // namespace sim
