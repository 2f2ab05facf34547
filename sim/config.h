// What the simulated cards are: read from a TOML file, or the default pair.
//
// File layout (every key optional):
//
//   tick_ms = 4                   # pacing period of the card clock, 1..50
//
//   [[card]]                      # one table per card, in interface order
//   model = 7                     # card type high byte (7 = Vantle)
//   type_low = 0                  # card type low byte
//   revision = 0x310
//   bert = 1                      # card information offset 24
//   generation = 3                # card information offset 28
//   ports = 2                     # port devices of the card
//   description = "..."
//   line = "loopback"             # the only line kind so far
//   can_invert = true             # false: SetInversion fails
//   serial_config_v5 = true       # false: serial read of version 5 fails
//   remove_after_ms = 0           # >0: card leaves that long after a port opens
//   bert_record_ms = 100          # period of the BERT engine's records
//   [card.registry]               # present: exactly these values exist
//   Ports = 2
//   DeviceName = "ZVCD0"
//   MiniportInstance = "0"
//   NetCfgInstanceId = "{...}"
//   [[card.fault]]                # a request that fails with a given code
//   ioctl = 0x7D0                 # or request = "open" | "ring_read" | "read" | "write"
//   error = 0xE0000004            # default 31 (kErrorGenFailure)
//   port = 1                      # only this port (default every port)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class FaultKind { Ioctl, Open, RingRead, Read, Write };

struct FaultConfig {
    FaultKind kind = FaultKind::Ioctl;
    uint32_t ioctl = 0;
    uint32_t error = 31;
    std::optional<uint32_t> port;
};

struct RegistryConfig {
    std::optional<uint32_t> ports;
    std::optional<std::string> deviceName;
    std::optional<std::string> miniportInstance;
    std::optional<std::string> netCfgInstanceId;
};

struct CardConfig {
    uint8_t model = 7;
    uint8_t typeLow = 0;
    uint16_t revision = 0x310;
    uint32_t bert = 1;
    uint32_t generation = 3;
    uint32_t ports = 2;
    std::string description;
    std::string line = "loopback";
    bool canInvert = true;
    bool serialConfigV5 = true;
    uint32_t removeAfterMs = 0;
    uint32_t bertRecordMs = 100;
    RegistryConfig registry;
    std::vector<FaultConfig> faults;
};

struct SimConfig {
    uint32_t tickMs = 4;
    std::vector<CardConfig> cards;
};

constexpr uint32_t kMaxPortsPerCard = 64;

// Card 0: a Vantle of revision 0x310 with its BERT engine, 2 ports; card 1:
// another model of revision 0x200 without one, 4 ports; all in loopback.
SimConfig DefaultConfig();

// Parses a configuration text; name is used in the error text only.
bool ParseConfig(const std::string& text, const std::string& name, SimConfig* config,
                 std::string* error);
bool LoadConfigFile(const std::string& path, SimConfig* config, std::string* error);

}  // namespace sim
