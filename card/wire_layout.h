// The byte layout of the records the driver contract carries, as the card
// fills and reads them: little-endian access and the field offsets a driver
// backend gives meaning to (the program's view of the same records is in
// records.h). Every backend reads and writes through these, so the layouts
// cannot drift apart between them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace card::wire {


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

inline void StoreU16(void* base, size_t offset, uint16_t value) {
    auto* p = static_cast<uint8_t*>(base) + offset;
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

inline uint16_t LoadU16(const void* base, size_t offset) {
    const auto* p = static_cast<const uint8_t*>(base) + offset;
    return uint16_t(p[0] | p[1] << 8);
}

// Port configuration record.
constexpr size_t kPortTxNumBuffers = 4;
constexpr size_t kPortRxNumBuffers = 8;
constexpr size_t kPortTxBufferLength = 12;
constexpr size_t kPortRxBufferLength = 16;
constexpr uint32_t kPortConfigVersion = 4;

// Serial configuration record.
constexpr size_t kSerialInterface = 4;
constexpr size_t kSerialRate = 8;
constexpr size_t kSerialClocking = 12;  // 1 internal clock, 0 the clock comes from the line
constexpr size_t kSerialTransparentMode = 16;
constexpr size_t kSerialEncoding = 24;
constexpr size_t kSerialAsyncDataBits = 64;
constexpr size_t kSerialAsyncParity = 68;
constexpr size_t kSerialAsyncStopBits = 72;
constexpr size_t kSerialAsyncFlowControl = 76;
constexpr size_t kSerialExtendedConfig = 104;
constexpr uint32_t kTransparentFramed = 0;
constexpr uint32_t kTransparentSync = 1;
constexpr uint32_t kTransparentAsync = 3;

// Card information record.
constexpr size_t kCardInfoType = 4;
constexpr size_t kCardInfoRevision = 6;
constexpr size_t kCardInfoBert = 24;
constexpr size_t kCardInfoGeneration = 28;
constexpr uint32_t kCardInfoVersion = 1;

// Interface record.
constexpr size_t kIfChangeWord = 8;
constexpr size_t kIfSignals = 12;
constexpr size_t kIfCounters = 16;
constexpr unsigned kIfCounterCount = 11;
enum IfCounter : unsigned {
    kCounterCrc = 0,
    kCounterRxTooLong = 1,
    kCounterRxTooShort = 2,
    kCounterFraming = 3,
    kCounterRxA = 4,
    kCounterTxU = 5,
    kCounterRxO = 6,
    kCounterTxB = 7,
    kCounterRxE = 10,
};
constexpr uint8_t kSignalCts = 0x01;
constexpr uint8_t kSignalDsr = 0x02;
constexpr uint8_t kSignalDcd = 0x04;
constexpr uint8_t kSignalRi = 0x08;
constexpr uint8_t kSignalCarrier = 0x10;

// SetV24 output byte.
constexpr uint8_t kV24Rts = 0x01;
constexpr uint8_t kV24Dtr = 0x02;

// SetInversion word.
constexpr uint32_t kInvertRx = 0x4;
constexpr uint32_t kInvertTx = 0x8;

// Receive record header: timestamp, length, port, status.
constexpr size_t kRecordTimestamp = 0;
constexpr size_t kRecordLength = 4;
constexpr size_t kRecordPort = 6;
constexpr size_t kRecordStatus = 7;
constexpr uint8_t kRecordKindTransmit = 0x10;

// Receive ring block header.
constexpr size_t kRingSize = 0;
constexpr size_t kRingReadIndex = 4;
constexpr size_t kRingWriteIndex = 8;
constexpr size_t kRingMark = 12;
constexpr size_t kRingHeaderSize = 16;

// Card BERT statistics record.
constexpr size_t kBertStatus = 1;
constexpr size_t kBertMsecs = 4;
constexpr size_t kBertBitCount = 8;
constexpr size_t kBertBlockCount = 12;
constexpr size_t kBertBitErrors = 16;
constexpr size_t kBertBlockErrors = 20;
constexpr size_t kBertEs = 24;
constexpr size_t kBertSes = 28;
constexpr size_t kBertAs = 32;
constexpr uint8_t kBertNotInSync = 0x01;
constexpr uint8_t kBertInverted = 0x02;
constexpr uint8_t kBertEnded = 0x04;

// BERT configuration record words.
constexpr size_t kBertCfgPattern = 4;
constexpr size_t kBertCfgTestLengthBits = 8;
constexpr size_t kBertCfgBurst = 12;
constexpr size_t kBertCfgAutoInvert = 16;
constexpr size_t kBertCfgStopOnError = 20;

}  // namespace card::wire
