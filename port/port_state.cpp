#include "port/port_state.h"

#include <type_traits>

#include "card/driver.h"

// g_hPort holds what the driver hands out, in the driver's own terms.
static_assert(std::is_same_v<decltype(g_hPort.load()), card::PortHandle>);
static_assert(card::kInvalidHandle == -1);

std::atomic<bool> g_bDtrWish{false};
std::atomic<bool> g_bRtsWish{false};
