// Serial ports as a backend, where the system has them behind the contract.
#pragma once

#include <memory>
#include <string>

#include "card/driver.h"
#include "sim/config.h"

// The configured serial-port cards; nullptr with *error set where serial
// ports are not available.
std::unique_ptr<card::Driver> CreateSerialBackend(const sim::SimConfig& config, std::string* error);
