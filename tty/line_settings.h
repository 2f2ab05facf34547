// The line a serial port is asked for, read from the serial configuration
// record the program writes (card/records.h).
#pragma once

#include <cstdint>

#include "card/records.h"
#include "core/settings.h"

namespace tty {

struct LineSettings {
    uint32_t rate = 9600;  // bit/s
    uint32_t mode = MODE_ASYNC;
    unsigned dataBits = 8;  // 5..8
    uint32_t parity = PARITY_NONE;
    unsigned stopBits = 1;  // 1 or 2
    uint32_t flow = FLOW_NONE;

    // Line bits one character takes: start, data, parity, stop.
    unsigned BitsPerChar() const {
        return 1 + dataBits + (parity != PARITY_NONE ? 1 : 0) + stopBits;
    }
    uint8_t CharMask() const { return uint8_t((1u << dataBits) - 1); }
};

LineSettings ReadLineSettings(const ZvSerialConfig& record);

// The record a port starts with before the program writes its own.
ZvSerialConfig DefaultSerialConfig();

}  // namespace tty
