// The card's own driver on this system: discovery of its cards and the
// backend that reaches them. Windows only; elsewhere there is no such driver
// and the answers say so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "card/driver.h"

namespace zorvan {

// The device interface class the driver registers its card ports under.
// Configurable (interface_guid) for drivers that register another one.
constexpr const char* kDefaultInterfaceGuid = "{8C5A2F31-7E0B-4D6A-9B1E-5A0F3C7D2E61}";

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hex digits of either case.
std::optional<Guid> ParseGuid(const std::string& text);

// A value of a card's driver key: its bytes, or nullopt when it is missing.
using ValueReader = std::function<std::optional<std::string>(const char* name)>;

// Fills the driver-key fields of iface from read: "Ports" (a 32-bit word,
// little-endian), "DeviceName", "MiniportInstance" and "NetCfgInstanceId"
// (texts, up to their first NUL, cut to the room the driver gives them).
void ReadDriverKeyValues(const ValueReader& read, card::CardInterface* iface);

// Whether a card of the driver is present now. False where there is no driver.
bool CardPresent(const std::string& interfaceGuid);

// The backend over the system's driver; nullptr with *error set where the
// driver cannot be reached.
std::unique_ptr<card::Driver> CreateSystemDriver(const std::string& interfaceGuid,
                                                 std::string* error);

}  // namespace zorvan
