// Placeholder until the simulated driver lands.
#include "sim/sim.h"

namespace sim {
std::unique_ptr<card::Driver> CreateDriverFromEnvironment(std::string*) { return nullptr; }
}  // namespace sim
