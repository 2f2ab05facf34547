#include "sim/config.h"

#include <toml++/toml.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/file.h"

namespace sim {
namespace {

// Collects the first problem found while walking the document.
struct Reader {
    std::string problem;

    bool Fail(const std::string& where, const std::string& text) {
        if (problem.empty()) problem = where + ": " + text;
        return false;
    }

    bool Integer(const toml::node& node, const std::string& where, int64_t low, int64_t high,
                 int64_t* out) {
        const auto* value = node.as_integer();
        if (value == nullptr) return Fail(where, "must be an integer");
        int64_t v = value->get();
        if (v < low || v > high)
            return Fail(where, "value " + std::to_string(v) + " out of range " +
                                   std::to_string(low) + ".." + std::to_string(high));
        *out = v;
        return true;
    }

    template <typename T>
    bool Unsigned(const toml::node& node, const std::string& where, int64_t high, T* out) {
        int64_t v = 0;
        if (!Integer(node, where, 0, high, &v)) return false;
        *out = static_cast<T>(v);
        return true;
    }

    bool Text(const toml::node& node, const std::string& where, std::string* out) {
        const auto* value = node.as_string();
        if (value == nullptr) return Fail(where, "must be a string");
        *out = value->get();
        return true;
    }

    bool Number(const toml::node& node, const std::string& where, double low, double high,
                double* out) {
        double v = 0;
        if (const auto* real = node.as_floating_point())
            v = real->get();
        else if (const auto* whole = node.as_integer())
            v = double(whole->get());
        else
            return Fail(where, "must be a number");
        if (!(v >= low && v <= high))  // NaN fails too
            return Fail(where,
                        "value out of range " + std::to_string(low) + ".." + std::to_string(high));
        *out = v;
        return true;
    }

    bool Flag(const toml::node& node, const std::string& where, bool* out) {
        const auto* value = node.as_boolean();
        if (value == nullptr) return Fail(where, "must be true or false");
        *out = value->get();
        return true;
    }
};

std::string DefaultDescription(const CardConfig& card, size_t index) {
    std::string model = card.model == 7 ? "Vantle" : "model " + std::to_string(card.model);
    return "Zorvan " + model + " WAN adapter #" + std::to_string(index);
}

void FillDefaultRegistry(CardConfig* card, size_t index) {
    card->registry.ports = card->ports;
    card->registry.deviceName = "ZVCD" + std::to_string(index);
}

bool ReadRegistry(Reader& r, const toml::table& table, const std::string& where,
                  RegistryConfig* reg) {
    for (auto&& [key, node] : table) {
        std::string k(key.str());
        std::string at = where + "." + k;
        std::string text;
        if (k == "Ports") {
            uint32_t ports = 0;
            if (!r.Unsigned(node, at, 0xFFFFFFFFll, &ports)) return false;
            reg->ports = ports;
        } else if (k == "DeviceName" || k == "MiniportInstance" || k == "NetCfgInstanceId") {
            if (!r.Text(node, at, &text)) return false;
            if (k == "DeviceName") reg->deviceName = text;
            if (k == "MiniportInstance") reg->miniportInstance = text;
            if (k == "NetCfgInstanceId") reg->netCfgInstanceId = text;
        } else {
            return r.Fail(at, "unknown registry value");
        }
    }
    return true;
}

bool ReadFaultKind(Reader& r, const toml::node& node, const std::string& at, FaultConfig* fault) {
    std::string text;
    if (!r.Text(node, at, &text)) return false;
    if (text == "open")
        fault->kind = FaultKind::Open;
    else if (text == "ring_read")
        fault->kind = FaultKind::RingRead;
    else if (text == "read")
        fault->kind = FaultKind::Read;
    else if (text == "write")
        fault->kind = FaultKind::Write;
    else
        return r.Fail(at, "unknown request \"" + text + "\" (open, ring_read, read, write)");
    return true;
}

bool ReadFault(Reader& r, const toml::node& item, const std::string& where, FaultConfig* fault) {
    const auto* table = item.as_table();
    if (table == nullptr) return r.Fail(where, "must be a table");
    bool haveRequest = false;
    for (auto&& [key, node] : *table) {
        std::string k(key.str());
        std::string at = where + "." + k;
        bool ok = true;
        if (k == "ioctl") {
            ok = r.Unsigned(node, at, 0xFFFFFFFFll, &fault->ioctl) && (haveRequest = true);
            fault->kind = FaultKind::Ioctl;
        } else if (k == "request") {
            ok = ReadFaultKind(r, node, at, fault) && (haveRequest = true);
        } else if (k == "error") {
            ok = r.Unsigned(node, at, 0xFFFFFFFFll, &fault->error);
            if (ok && fault->error == 0) ok = r.Fail(at, "must not be 0");
        } else if (k == "port") {
            uint32_t port = 0;
            ok = r.Unsigned(node, at, kMaxPortsPerCard - 1, &port);
            fault->port = port;
        } else {
            ok = r.Fail(at, "unknown key");
        }
        if (!ok) return false;
    }
    if (!haveRequest) return r.Fail(where, "needs \"ioctl\" or \"request\"");
    return true;
}

constexpr int64_t kDayMs = 86400000;

// One impairment key; false with the problem noted, also for a key that is
// not an impairment.
bool ReadImpairmentKey(Reader& r, const std::string& k, const toml::node& node,
                       const std::string& at, ImpairmentConfig* imp) {
    if (k == "bit_error_rate") return r.Number(node, at, 0.0, 1.0, &imp->bitErrorRate);
    if (k == "seed") return r.Unsigned(node, at, INT64_MAX, &imp->seed);
    if (k == "burst_every_ms") return r.Unsigned(node, at, kDayMs, &imp->burstEveryMs);
    if (k == "burst_bits") return r.Unsigned(node, at, 1000000, &imp->burstBits);
    if (k == "invert") return r.Flag(node, at, &imp->invert);
    if (k == "slip_after_ms") return r.Unsigned(node, at, kDayMs, &imp->slipAfterMs);
    if (k == "slip_bits") {
        int64_t bits = 0;
        if (!r.Integer(node, at, -kMaxSlipBits, kMaxSlipBits, &bits)) return false;
        imp->slipBits = int32_t(bits);
        return true;
    }
    if (k == "outage_after_ms") return r.Unsigned(node, at, kDayMs, &imp->outageAfterMs);
    if (k == "outage_ms") return r.Unsigned(node, at, kDayMs, &imp->outageMs);
    if (k == "delay_ms") return r.Unsigned(node, at, 60000, &imp->delayMs);
    if (k == "frame_loss") return r.Number(node, at, 0.0, 1.0, &imp->frameLoss);
    return r.Fail(at, "unknown impairment key");
}

bool ReadImpairments(Reader& r, const toml::table& table, const std::string& where,
                     ImpairmentConfig* imp) {
    for (auto&& [key, node] : table) {
        std::string k(key.str());
        if (!ReadImpairmentKey(r, k, node, where.empty() ? k : where + "." + k, imp)) return false;
    }
    return true;
}

// Line names become part of a socket address: short and plain.
bool ReadLineName(Reader& r, const toml::node& node, const std::string& at, std::string* name) {
    if (!r.Text(node, at, name)) return false;
    bool plain = !name->empty() && name->size() <= 64;
    for (char c : *name)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-');
    return plain || r.Fail(at, "must be 1..64 letters, digits, '.', '_' or '-'");
}

bool ReadCardKey(Reader& r, const std::string& k, const toml::node& node, const std::string& at,
                 CardConfig* card) {
    if (k == "model") return r.Unsigned(node, at, 0xFF, &card->model);
    if (k == "type_low") return r.Unsigned(node, at, 0xFF, &card->typeLow);
    if (k == "revision") return r.Unsigned(node, at, 0xFFFF, &card->revision);
    if (k == "bert") return r.Unsigned(node, at, 0xFFFFFFFFll, &card->bert);
    if (k == "generation") return r.Unsigned(node, at, 0xFFFFFFFFll, &card->generation);
    if (k == "ports") return r.Unsigned(node, at, kMaxPortsPerCard, &card->ports);
    if (k == "description") return r.Text(node, at, &card->description);
    if (k == "can_invert") return r.Flag(node, at, &card->canInvert);
    if (k == "serial_config_v5") return r.Flag(node, at, &card->serialConfigV5);
    if (k == "remove_after_ms") return r.Unsigned(node, at, 3600000, &card->removeAfterMs);
    if (k == "bert_record_ms") {
        if (!r.Unsigned(node, at, 60000, &card->bertRecordMs)) return false;
        return card->bertRecordMs > 0 || r.Fail(at, "must be at least 1");
    }
    if (k == "line") {
        if (!r.Text(node, at, &card->line)) return false;
        return card->line == "loopback" || card->line == "shared" || card->line == "multidrop" ||
               r.Fail(at, "unknown line kind \"" + card->line + "\" (loopback, shared, multidrop)");
    }
    if (k == "line_name") return ReadLineName(r, node, at, &card->lineName);
    if (k == "loop") return r.Flag(node, at, &card->loop);
    return r.Fail(at, "unknown key");
}

bool ReadDevices(Reader& r, const toml::node& node, const std::string& at, CardConfig* card) {
    const auto* list = node.as_array();
    if (list == nullptr) return r.Fail(at, "must be an array of device paths");
    for (size_t i = 0; i < list->size(); ++i) {
        std::string path;
        if (!r.Text((*list)[i], at + "[" + std::to_string(i) + "]", &path)) return false;
        if (path.empty()) return r.Fail(at + "[" + std::to_string(i) + "]", "must not be empty");
        card->devices.push_back(path);
    }
    if (card->devices.empty() || card->devices.size() > kMaxPortsPerCard)
        return r.Fail(at, "must name 1.." + std::to_string(kMaxPortsPerCard) + " devices");
    return true;
}

// A card of serial ports: its devices, their number as its ports, and a
// description; the simulator's keys mean nothing to it.
bool ReadTtyCard(Reader& r, const toml::table& table, const std::string& where, size_t index,
                 CardConfig* card) {
    for (auto&& [key, node] : table) {
        std::string k(key.str());
        std::string at = where + "." + k;
        if (k == "backend") continue;
        if (k == "devices") {
            if (!ReadDevices(r, node, at, card)) return false;
        } else if (k == "description") {
            if (!r.Text(node, at, &card->description)) return false;
        } else {
            return r.Fail(at, "not a key of a tty card (devices, description)");
        }
    }
    if (card->devices.empty()) return r.Fail(where, "a tty card needs \"devices\"");
    card->ports = uint32_t(card->devices.size());
    card->model = 0;
    card->bert = 0;
    if (card->description.empty()) card->description = "Serial ports #" + std::to_string(index);
    return true;
}

// The card's own driver: its cards are the system's, found by discovery; the
// file only says to use it and, for a driver that registers its ports under
// another interface class, which one.
bool ReadZorvanCard(Reader& r, const toml::table& table, const std::string& where,
                    CardConfig* card) {
    for (auto&& [key, node] : table) {
        std::string k(key.str());
        std::string at = where + "." + k;
        if (k == "backend") continue;
        if (k != "interface_guid") return r.Fail(at, "not a key of a zorvan card (interface_guid)");
        if (!r.Text(node, at, &card->interfaceGuid)) return false;
    }
    card->ports = 0;
    return true;
}

bool ReadBackend(Reader& r, const toml::table& table, const std::string& where, CardConfig* card) {
    const toml::node* node = table.get("backend");
    if (node == nullptr) return true;
    if (!r.Text(*node, where + ".backend", &card->backend)) return false;
    return card->backend == "sim" || card->backend == "tty" || card->backend == "zorvan" ||
           r.Fail(where + ".backend",
                  "unknown backend \"" + card->backend + "\" (sim, tty, zorvan)");
}

bool ReadCard(Reader& r, const toml::node& item, size_t index, CardConfig* card) {
    std::string where = "card[" + std::to_string(index) + "]";
    const auto* table = item.as_table();
    if (table == nullptr) return r.Fail(where, "must be a table");
    if (!ReadBackend(r, *table, where, card)) return false;
    if (card->backend == "tty") return ReadTtyCard(r, *table, where, index, card);
    if (card->backend == "zorvan") return ReadZorvanCard(r, *table, where, card);
    bool haveRegistry = false;
    for (auto&& [key, node] : *table) {
        std::string k(key.str());
        std::string at = where + "." + k;
        if (k == "registry") {
            const auto* reg = node.as_table();
            if (reg == nullptr) return r.Fail(at, "must be a table");
            if (!ReadRegistry(r, *reg, at, &card->registry)) return false;
            haveRegistry = true;
        } else if (k == "impairment") {
            const auto* imp = node.as_table();
            if (imp == nullptr) return r.Fail(at, "must be a table");
            if (!ReadImpairments(r, *imp, at, &card->impairment)) return false;
        } else if (k == "fault") {
            const auto* list = node.as_array();
            if (list == nullptr) return r.Fail(at, "must be an array of tables ([[card.fault]])");
            for (size_t i = 0; i < list->size(); ++i) {
                FaultConfig fault;
                if (!ReadFault(r, (*list)[i], at + "[" + std::to_string(i) + "]", &fault))
                    return false;
                card->faults.push_back(fault);
            }
        } else if (k == "backend") {
            continue;
        } else if (!ReadCardKey(r, k, node, at, card)) {
            return false;
        }
    }
    // A loop on a loopback plug would send the same bits round for ever.
    if (card->loop && card->line != "shared")
        return r.Fail(where + ".loop", "needs line = \"shared\"");
    if (!haveRegistry) FillDefaultRegistry(card, index);
    if (card->description.empty()) card->description = DefaultDescription(*card, index);
    return true;
}

bool ReadDocument(Reader& r, const toml::table& doc, SimConfig* config) {
    for (auto&& [key, node] : doc) {
        std::string k(key.str());
        if (k == "tick_ms") {
            int64_t tick = 0;
            if (!r.Integer(node, k, 1, 50, &tick)) return false;
            config->tickMs = uint32_t(tick);
        } else if (k == "control_file") {
            if (!r.Text(node, k, &config->controlFile)) return false;
        } else if (k == "stats_file") {
            if (!r.Text(node, k, &config->statsFile)) return false;
        } else if (k == "truth_file") {
            if (!r.Text(node, k, &config->truthFile)) return false;
        } else if (k == "card") {
            const auto* list = node.as_array();
            if (list == nullptr) return r.Fail(k, "must be an array of tables ([[card]])");
            if (list->size() > kMaxCards)
                return r.Fail(k, std::to_string(list->size()) + " cards, at most " +
                                     std::to_string(kMaxCards));
            uint64_t ports = 0;
            for (size_t i = 0; i < list->size(); ++i) {
                CardConfig card;
                if (!ReadCard(r, (*list)[i], i, &card)) return false;
                ports += card.ports;
                if (ports > kMaxPortsInAll)
                    return r.Fail("card[" + std::to_string(i) + "].ports",
                                  "makes " + std::to_string(ports) + " ports in all, at most " +
                                      std::to_string(kMaxPortsInAll));
                // One driver serves a file's cards: simulated or serial ports, not both.
                if (i > 0 && card.backend != config->cards[0].backend)
                    return r.Fail("card[" + std::to_string(i) + "].backend",
                                  "every card of a file has the same backend");
                config->cards.push_back(std::move(card));
            }
        } else {
            return r.Fail(k, "unknown key");
        }
    }
    return true;
}

}  // namespace

bool UsesTtyBackend(const SimConfig& config) {
    return !config.cards.empty() && config.cards[0].backend == "tty";
}

bool UsesZorvanBackend(const SimConfig& config) {
    return !config.cards.empty() && config.cards[0].backend == "zorvan";
}

SimConfig DefaultConfig() {
    SimConfig config;
    CardConfig vantle;
    vantle.model = 7;
    vantle.revision = 0x310;
    vantle.bert = 1;
    vantle.generation = 3;
    vantle.ports = 2;
    FillDefaultRegistry(&vantle, 0);
    vantle.description = DefaultDescription(vantle, 0);
    CardConfig other;
    other.model = 5;
    other.revision = 0x200;
    other.bert = 0;
    other.generation = 3;
    other.ports = 4;
    FillDefaultRegistry(&other, 1);
    other.description = DefaultDescription(other, 1);
    config.cards = {vantle, other};
    return config;
}

bool ParseConfig(const std::string& text, const std::string& name, SimConfig* config,
                 std::string* error) {
    SimConfig parsed;
    Reader reader;
    try {
        toml::table doc = toml::parse(text, name);
        if (!ReadDocument(reader, doc, &parsed)) {
            *error = name + ": " + reader.problem;
            return false;
        }
    } catch (const toml::parse_error& e) {
        std::ostringstream out;
        out << name << ", line " << e.source().begin.line << ": " << e.description();
        *error = out.str();
        return false;
    }
    *config = std::move(parsed);
    return true;
}

bool ParseImpairmentOverlay(const std::string& text, const std::string& name,
                            const ImpairmentConfig& base, ImpairmentConfig* out,
                            std::string* error) {
    ImpairmentConfig parsed = base;
    Reader reader;
    try {
        toml::table doc = toml::parse(text, name);
        if (!ReadImpairments(reader, doc, "", &parsed)) {
            *error = "impairment control " + name + ": " + reader.problem;
            return false;
        }
    } catch (const toml::parse_error& e) {
        std::ostringstream msg;
        msg << "impairment control " << name << ", line " << e.source().begin.line << ": "
            << e.description();
        *error = msg.str();
        return false;
    }
    *out = parsed;
    return true;
}

bool LoadConfigFile(const std::string& path, SimConfig* config, std::string* error) {
    std::error_code code;
    if (!std::filesystem::exists(path, code)) {
        *error = path + ": no such file";
        return false;
    }
    platform::FileProblem problem;
    std::optional<std::string> text = platform::ReadRegularFile(path, kMaxConfigBytes, &problem);
    if (!text) {
        *error = path + ": " + problem.text;
        return false;
    }
    if (text->size() > kMaxConfigBytes) {
        *error = path + ": larger than " + std::to_string(kMaxConfigBytes) + " bytes";
        return false;
    }
    return ParseConfig(*text, path, config, error);
}

}  // namespace sim
