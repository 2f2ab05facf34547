// Little-endian access to the driver records and the field offsets a serial
// port fills: the interface record, the receive records and the shared
// receive ring the program hands over (layouts in card/ and link/).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tty {

inline uint32_t LoadU32(const void* base, size_t offset) {
    const auto* p = static_cast<const uint8_t*>(base) + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreU32(void* base, size_t offset, uint32_t value) {
    auto* p = static_cast<uint8_t*>(base) + offset;
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

// Interface record.
constexpr size_t kIfChangeWord = 8;
constexpr size_t kIfSignals = 12;
constexpr size_t kIfCounters = 16;
// The kernel's counters land in the card's nearest slots: a parity error is
// the character's check failing (CRC), a break the line's abort (RxA).
constexpr unsigned kCounterCrc = 0;
constexpr unsigned kCounterFraming = 3;
constexpr unsigned kCounterRxA = 4;
constexpr unsigned kCounterRxO = 6;

// SetV24 output byte and SetInversion word.
constexpr uint8_t kV24Rts = 0x01;
constexpr uint8_t kV24Dtr = 0x02;
constexpr uint32_t kInvertRx = 0x4;
constexpr uint32_t kInvertTx = 0x8;

// Receive record header: time stamp, length, port, status.
constexpr size_t kRecordTimestamp = 0;
constexpr size_t kRecordLength = 4;
constexpr uint32_t kRecordHeaderSize = 8;

// Shared receive ring block header.
constexpr size_t kRingSize = 0;
constexpr size_t kRingReadIndex = 4;
constexpr size_t kRingWriteIndex = 8;
constexpr uint32_t kRingHeaderSize = 16;

}  // namespace tty
