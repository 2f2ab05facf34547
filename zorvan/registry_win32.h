// The driver-key values of a card as Windows keeps them: a registry key.
#pragma once

// Before windows.h, whose macros would replace names of the contract.
// clang-format off
#include "card/driver.h"
#include <windows.h>
// clang-format on

namespace zorvan {

// Reads "Ports", "DeviceName", "MiniportInstance" and "NetCfgInstanceId" from
// an open key (KEY_QUERY_VALUE is enough); missing values stay absent.
void ReadDriverKey(HKEY key, card::CardInterface* iface);

}  // namespace zorvan
