// The line a serial port is asked for, read from the serial configuration
// record the program writes (card/records.h).
#pragma once

#include <cstdint>

#include "card/records.h"

namespace tty {

// Values of the record's words, as the program writes them.
constexpr uint32_t kModeFramed = 0;
constexpr uint32_t kModeSync = 1;
constexpr uint32_t kModeAsync = 3;
constexpr uint32_t kParityNone = 0;
constexpr uint32_t kParityOdd = 1;
constexpr uint32_t kParityEven = 2;
constexpr uint32_t kParityMark = 3;
constexpr uint32_t kParitySpace = 4;
constexpr uint32_t kFlowRtsCts = 2;
constexpr uint32_t kFlowXonXoff = 3;

struct LineSettings {
    uint32_t rate = 9600;  // bit/s
    uint32_t mode = kModeAsync;
    unsigned dataBits = 8;  // 5..8
    uint32_t parity = kParityNone;
    unsigned stopBits = 1;  // 1 or 2
    uint32_t flow = 1;      // none

    // Line bits one character takes: start, data, parity, stop.
    unsigned BitsPerChar() const {
        return 1 + dataBits + (parity != kParityNone ? 1 : 0) + stopBits;
    }
    uint8_t CharMask() const { return uint8_t((1u << dataBits) - 1); }
};

LineSettings ReadLineSettings(const ZvSerialConfig& record);

// The record a port starts with before the program writes its own.
ZvSerialConfig DefaultSerialConfig();

}  // namespace tty
