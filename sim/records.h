// The driver records as the simulated card sees them.
#pragma once

#include "card/wire_layout.h"

namespace sim {

using namespace card::wire;

}  // namespace sim
