#include <cctype>
#include <cstring>

#include "zorvan/zorvan.h"

namespace zorvan {
namespace {

// The rooms the driver's own key values are read into.
constexpr size_t kPortsBytes = 4;
constexpr size_t kDeviceNameRoom = 260;
constexpr size_t kMiniportInstanceRoom = 5;
constexpr size_t kNetCfgInstanceIdRoom = 260;

// A registry text ends at its first NUL, and a value longer than its room
// keeps what fits with room for the NUL.
std::string TextOf(const std::string& bytes, size_t room) {
    std::string text = bytes.substr(0, std::min(bytes.size(), room - 1));
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

std::optional<uint32_t> HexField(const std::string& text, size_t from, size_t digits) {
    uint32_t value = 0;
    for (size_t i = from; i < from + digits; ++i) {
        char c = text[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 16 + uint32_t(std::isdigit(static_cast<unsigned char>(c))
                                          ? c - '0'
                                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return value;
}

}  // namespace

std::optional<Guid> ParseGuid(const std::string& text) {
    // {8-4-4-4-12}
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
    for (size_t dash : {9, 14, 19, 24})
        if (text[dash] != '-') return std::nullopt;
    Guid guid;
    auto d1 = HexField(text, 1, 8);
    auto d2 = HexField(text, 10, 4);
    auto d3 = HexField(text, 15, 4);
    if (!d1 || !d2 || !d3) return std::nullopt;
    guid.data1 = *d1;
    guid.data2 = uint16_t(*d2);
    guid.data3 = uint16_t(*d3);
    const size_t byteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        auto b = HexField(text, byteAt[i], 2);
        if (!b) return std::nullopt;
        guid.data4[i] = uint8_t(*b);
    }
    return guid;
}

void ReadDriverKeyValues(const ValueReader& read, card::CardInterface* iface) {
    if (auto ports = read("Ports")) {
        uint32_t value = 0;
        size_t n = std::min(ports->size(), kPortsBytes);
        for (size_t i = 0; i < n; ++i) value |= uint32_t(uint8_t((*ports)[i])) << (8 * i);
        iface->ports = value;
    }
    if (auto name = read("DeviceName")) iface->deviceName = TextOf(*name, kDeviceNameRoom);
    if (auto instance = read("MiniportInstance"))
        iface->miniportInstance = TextOf(*instance, kMiniportInstanceRoom);
    if (auto id = read("NetCfgInstanceId"))
        iface->netCfgInstanceId = TextOf(*id, kNetCfgInstanceIdRoom);
}

}  // namespace zorvan
