// What the simulated cards are: read from a TOML file, or the default pair.
//
// File layout (every key optional):
//
//   tick_ms = 20                  # pacing period of the card clock, 1..50
//   control_file = "/path"        # impairments changed while running (below)
//   stats_file = "/path"          # where each line's counters are written
//   truth_file = "/path"          # what each receiving port got, per 100 ms
//                                 #   (truth.h has the layout)
//
//   [[card]]                      # one table per card, in interface order
//   backend = "sim"               # or "tty": the card's ports are serial
//                                 #   or "zorvan": the card's own driver
//                                 #   (Windows; one such card stands for
//                                 #   every card the system has; its one
//                                 #   other key is interface_guid = "{...}")
//   devices = ["/dev/ttyS0"]      #   devices (tty cards take only these
//                                 #   two keys and description; every card
//                                 #   of a file has the same backend)
//   model = 7                     # card type high byte (7 = Vantle)
//   type_low = 0                  # card type low byte
//   revision = 0x310
//   bert = 1                      # card information offset 24
//   generation = 3                # card information offset 28
//   ports = 2                     # port devices of the card (at most 64,
//                                 #   512 over all cards; at most 64 cards)
//   description = "..."
//   line = "loopback"             # or "shared": the far end is another process
//   line_name = "x"               # shared lines of the same name and port meet
//   can_invert = true             # false: SetInversion fails
//   serial_config_v5 = true       # false: serial read of version 5 fails
//   remove_after_ms = 0           # >0: card leaves that long after a port opens
//   bert_record_ms = 100          # period of the BERT engine's records
//   loop = true                   # shared line: send back whatever arrives
//   [card.registry]               # present: exactly these values exist
//   Ports = 2
//   DeviceName = "ZVCD0"
//   MiniportInstance = "0"
//   NetCfgInstanceId = "{...}"
//   [[card.fault]]                # a request that fails with a given code
//   ioctl = 0x7D0                 # or request = "open" | "ring_read" | "read" | "write"
//   error = 0xE0000004            # default 31 (kErrorGenFailure)
//   port = 1                      # only this port (default every port)
//   [card.impairment]             # what every line of the card does to its data
//   bit_error_rate = 1e-4         # random errors per line bit
//   seed = 7                      # of the random errors, per line
//   burst_every_ms = 500          # a burst of burst_bits errors every so often
//   burst_bits = 16
//   invert = true                 # every data bit complemented
//   slip_after_ms = 1000          # once, slip_bits bits inserted (> 0) or
//   slip_bits = -3                #   dropped (< 0) from the stream
//   outage_after_ms = 1500        # no clock and no data for outage_ms
//   outage_ms = 2000
//   delay_ms = 20                 # bits arrive that much later
//   frame_loss = 0.1              # share of frames lost (framed mode), seeded
//
// Times count from when the settings take effect: the port's start for the
// configured ones. The control file holds impairment keys at its top level;
// it is read every 100 ms while a port runs, and each change gives every line
// its card's configured settings overlaid with the file's keys, counting from
// that moment. A shared line applies the settings of the receiving end to
// what it receives, so each process's configuration impairs one direction.
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

struct ImpairmentConfig {
    double bitErrorRate = 0;
    uint64_t seed = 1;
    uint32_t burstEveryMs = 0;
    uint32_t burstBits = 0;
    bool invert = false;
    uint32_t slipAfterMs = 0;
    int32_t slipBits = 0;
    uint32_t outageAfterMs = 0;
    uint32_t outageMs = 0;
    uint32_t delayMs = 0;
    double frameLoss = 0;  // share of frames lost (framed mode)

    bool operator==(const ImpairmentConfig&) const = default;
};

struct CardConfig {
    std::string backend = "sim";       // "sim", "tty" or "zorvan"
    std::string interfaceGuid;         // zorvan: the driver's port interface class
    std::vector<std::string> devices;  // tty: the device of each port
    uint8_t model = 7;
    uint8_t typeLow = 0;
    uint16_t revision = 0x310;
    uint32_t bert = 1;
    uint32_t generation = 3;
    uint32_t ports = 2;
    std::string description;
    std::string line = "loopback";
    std::string lineName = "ondrel";
    bool canInvert = true;
    bool serialConfigV5 = true;
    uint32_t removeAfterMs = 0;
    uint32_t bertRecordMs = 100;
    bool loop = false;  // the ports send back what arrives (shared lines)
    RegistryConfig registry;
    std::vector<FaultConfig> faults;
    ImpairmentConfig impairment;
};

struct SimConfig {
    uint32_t tickMs = 20;
    std::string controlFile;
    std::string statsFile;
    std::string truthFile;
    std::vector<CardConfig> cards;
};

constexpr uint32_t kMaxPortsPerCard = 64;
// Every port costs memory and a look from the clock thread at each tick, so
// the cards and their ports stay within what one machine runs at ease; the
// port names could address cards 0..9999.
constexpr uint32_t kMaxCards = 64;
constexpr uint32_t kMaxPortsInAll = 512;
constexpr size_t kMaxConfigBytes = 1 << 20;
// A slip repeats or loses at most a frame of a framed line (256 bits); more
// than that at one instant is no line at all but a burst of bits from nowhere.
constexpr int64_t kMaxSlipBits = 256;

// Whether the cards of a configuration are serial ports (backend "tty").
bool UsesTtyBackend(const SimConfig& config);
// Whether the file names the card's own driver (Windows: the cards are the
// system's).
bool UsesZorvanBackend(const SimConfig& config);

// Card 0: a Vantle of revision 0x310 with its BERT engine, 2 ports; card 1:
// another model of revision 0x200 without one, 4 ports; all in loopback.
SimConfig DefaultConfig();

// Parses a configuration text; name is used in the error text only.
bool ParseConfig(const std::string& text, const std::string& name, SimConfig* config,
                 std::string* error);
bool LoadConfigFile(const std::string& path, SimConfig* config, std::string* error);

// Reads impairment keys at the top level of a control file's text over base.
bool ParseImpairmentOverlay(const std::string& text, const std::string& name,
                            const ImpairmentConfig& base, ImpairmentConfig* out,
                            std::string* error);

}  // namespace sim
