// The byte layout of the records the driver contract carries, as a backend
// reads and fills them: little-endian access, and the field offsets of the
// records of records.h, taken from those records, so that the program and
// every backend share one definition of each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "card/records.h"

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
constexpr size_t kPortTxNumBuffers = offsetof(ZvPortConfig, uPortTxNumBuffers);
constexpr size_t kPortRxNumBuffers = offsetof(ZvPortConfig, uPortRxNumBuffers);
constexpr size_t kPortTxBufferLength = offsetof(ZvPortConfig, uPortTxBufferLength);
constexpr size_t kPortRxBufferLength = offsetof(ZvPortConfig, uPortRxBufferLength);
constexpr size_t kPortTxMsb = offsetof(ZvPortConfig, uPortTxMSB);
constexpr size_t kPortRxMsb = offsetof(ZvPortConfig, uPortRxMSB);
constexpr size_t kPortTermination = offsetof(ZvPortConfig, uPortTermination);
constexpr uint32_t kPortConfigVersion = PORT_CONFIG_VERSION;

// Serial configuration record.
constexpr size_t kSerialInterface = offsetof(ZvSerialConfig, uPortInterface);
constexpr size_t kSerialRate = offsetof(ZvSerialConfig, uPortRate);
constexpr size_t kSerialClocking =
    offsetof(ZvSerialConfig, uPortClocking);  // 1 internal clock, 0 from the line
constexpr size_t kSerialTransparentMode = offsetof(ZvSerialConfig, uPortTransparentMode);
constexpr size_t kSerialInvertRxClock = offsetof(ZvSerialConfig, uPortInvertRxClock);
constexpr size_t kSerialEncoding = offsetof(ZvSerialConfig, uPortEncoding);
constexpr size_t kSerialTiming = offsetof(ZvSerialConfig, auTiming);
constexpr size_t kSerialTimingWords = std::size(ZvSerialConfig{}.auTiming);
constexpr size_t kSerialNrziClocking = offsetof(ZvSerialConfig, uPortNrziClocking);
constexpr size_t kSerialAsyncDataBits = offsetof(ZvSerialConfig, uPortAsyncDataBits);
constexpr size_t kSerialAsyncParity = offsetof(ZvSerialConfig, uPortAsyncParity);
constexpr size_t kSerialAsyncStopBits = offsetof(ZvSerialConfig, uPortAsyncStopBits);
constexpr size_t kSerialAsyncFlowControl = offsetof(ZvSerialConfig, uPortAsyncFlowControl);
constexpr size_t kSerialFixed24 = offsetof(ZvSerialConfig, uFixed24);
constexpr uint32_t kSerialFixed24Value = SERIAL_FIXED24;
constexpr size_t kSerialExtendedConfig = offsetof(ZvSerialConfig, uPortExtendedConfig);
constexpr uint32_t kTransparentFramed = MODE_FRAMED;
constexpr uint32_t kTransparentSync = MODE_SYNC;
constexpr uint32_t kTransparentAsync = MODE_ASYNC;

// Card information record.
constexpr size_t kCardInfoType = offsetof(ZvCardInfo, wCardType);
constexpr size_t kCardInfoRevision = offsetof(ZvCardInfo, wRevision);
constexpr size_t kCardInfoBert = offsetof(ZvCardInfo, uBertPresent);
constexpr size_t kCardInfoGeneration = offsetof(ZvCardInfo, uGeneration);
constexpr uint32_t kCardInfoVersion = CARD_INFO_VERSION;

// Interface record.
constexpr size_t kIfChangeWord = offsetof(InterfaceRecord, dwCounterChange);
constexpr size_t kIfSignals = offsetof(InterfaceRecord, bySignals);
constexpr size_t kIfCounters = offsetof(InterfaceRecord, adwCounters);
constexpr unsigned kIfCounterCount = COUNTER_SLOTS;
using IfCounter = InterfaceCounter;
constexpr IfCounter kCounterCrc = COUNTER_CRC;
constexpr IfCounter kCounterRxTooLong = COUNTER_RX_TOO_LONG;
constexpr IfCounter kCounterRxTooShort = COUNTER_RX_TOO_SHORT;
constexpr IfCounter kCounterFraming = COUNTER_FRAMING;
constexpr IfCounter kCounterRxA = COUNTER_RXA;
constexpr IfCounter kCounterTxU = COUNTER_TXU;
constexpr IfCounter kCounterRxO = COUNTER_RXO;
constexpr IfCounter kCounterTxB = COUNTER_TXB;
constexpr IfCounter kCounterRxE = COUNTER_RXE;
constexpr uint8_t kSignalCts = SIGNAL_CTS;
constexpr uint8_t kSignalDsr = SIGNAL_DSR;
constexpr uint8_t kSignalDcd = SIGNAL_DCD;
constexpr uint8_t kSignalRi = SIGNAL_RI;
constexpr uint8_t kSignalCarrier = SIGNAL_CARRIER;

// SetV24 output byte.
constexpr uint8_t kV24Rts = V24_RTS;
constexpr uint8_t kV24Dtr = V24_DTR;

// SetInversion word.
constexpr uint32_t kInvertRx = INVERSION_RX;
constexpr uint32_t kInvertTx = INVERSION_TX;

// Receive record header: timestamp, length, port, status.
constexpr size_t kRecordTimestamp = offsetof(ReceiveRecordHeader, timestamp);
constexpr size_t kRecordLength = offsetof(ReceiveRecordHeader, length);
constexpr size_t kRecordPort = offsetof(ReceiveRecordHeader, port);
constexpr size_t kRecordStatus = offsetof(ReceiveRecordHeader, status);
constexpr uint8_t kRecordKindTransmit = RECORD_KIND_TRANSMIT;

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
