// Records exchanged with the driver to configure a port. Little-endian
// 32-bit words; fields not named here are the driver's and are written back
// exactly as it returned them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "card/ioctl.h"
#include "core/settings.h"

static_assert(std::endian::native == std::endian::little, "driver records are little-endian");

// Read with ZorvanGetPortConfig (version 4), written with SetPortConfig.
struct ZvPortConfig {
    uint32_t uVersion;
    uint32_t uPortTxNumBuffers;
    uint32_t uPortRxNumBuffers;
    uint32_t uPortTxBufferLength;
    uint32_t uPortRxBufferLength;
    uint32_t uPortTxDMA;
    uint32_t uPortRxDMA;
    uint32_t uPortStartTxRx;
    uint32_t uPortClockSource;
    uint32_t uPortTxMSB;
    uint32_t uPortRxMSB;
    uint32_t auKept11[2];
    uint32_t uPortTermination;
    uint32_t auKept14[50];
};

static_assert(sizeof(ZvPortConfig) == kPortConfigSize);
static_assert(offsetof(ZvPortConfig, uPortTxNumBuffers) == 4);
static_assert(offsetof(ZvPortConfig, uPortRxBufferLength) == 16);
static_assert(offsetof(ZvPortConfig, uPortClockSource) == 32);
static_assert(offsetof(ZvPortConfig, uPortTxMSB) == 36);
static_assert(offsetof(ZvPortConfig, uPortRxMSB) == 40);
static_assert(offsetof(ZvPortConfig, uPortTermination) == 52);

// Read with ZorvanGetSerialConfig (version 5, else 3), written with
// SetSerialConfig.
struct ZvSerialConfig {
    uint32_t uVersion;
    uint32_t uPortInterface;
    uint32_t uPortRate;
    uint32_t uPortClocking;
    uint32_t uPortTransparentMode;
    uint32_t uPortInvertRxClock;
    uint32_t uPortEncoding;
    uint32_t auTiming[5];  // terminal timing words, offsets 28..44
    uint32_t auKept12[3];
    uint32_t uPortNrziClocking;
    uint32_t uPortAsyncDataBits;
    uint32_t uPortAsyncParity;
    uint32_t uPortAsyncStopBits;
    uint32_t uPortAsyncFlowControl;
    uint32_t auKept20[4];
    uint32_t uFixed24;  // always 3
    uint32_t uKept25;
    uint32_t uPortExtendedConfig;
    uint32_t auKept27[41];
};

static_assert(sizeof(ZvSerialConfig) == kSerialConfigSize);
static_assert(offsetof(ZvSerialConfig, uPortEncoding) == 24);
static_assert(offsetof(ZvSerialConfig, auTiming) == 28);
static_assert(offsetof(ZvSerialConfig, uPortNrziClocking) == 60);
static_assert(offsetof(ZvSerialConfig, uPortAsyncDataBits) == 64);
static_assert(offsetof(ZvSerialConfig, uPortAsyncFlowControl) == 76);
static_assert(offsetof(ZvSerialConfig, uFixed24) == 96);
static_assert(offsetof(ZvSerialConfig, uPortExtendedConfig) == 104);

// Read with ZorvanReadCardInfo (version 1).
struct ZvCardInfo {
    uint32_t uVersion;
    uint16_t wCardType;  // high byte: the model
    uint16_t wRevision;
    uint32_t auUnused2[4];
    uint32_t uBertPresent;  // on-card BERT engine: at least 1
    uint32_t uGeneration;   // with no BERT engine, 2 or less marks a V1 card
    uint32_t auUnused8[3];
};

static_assert(sizeof(ZvCardInfo) == kCardInfoSize);
static_assert(offsetof(ZvCardInfo, wCardType) == 4);
static_assert(offsetof(ZvCardInfo, wRevision) == 6);
static_assert(offsetof(ZvCardInfo, uBertPresent) == 24);
static_assert(offsetof(ZvCardInfo, uGeneration) == 28);

constexpr uint8_t CARD_MODEL_VANTLE = 7;
// The model a serial-port backend reports for its cards: asynchronous
// characters only, no BERT engine, no synchronous clock.
constexpr uint8_t CARD_MODEL_SERIAL_PORT = 0x54;

// Written with SetBERTConfig in hardware mode.
struct ZvBertConfig {
    uint32_t uVersion;
    uint32_t uPatternType;
    uint32_t uTestLengthBits;
    uint32_t bBurstMode;
    uint32_t bAutoInvert;
    uint32_t bStopOnError;
    uint32_t auZero[26];
};

static_assert(sizeof(ZvBertConfig) == kBertConfigSize);
static_assert(offsetof(ZvBertConfig, bStopOnError) == 20);

// Returned by ReadInterfaceRecord: input line signals and the driver's error
// counters.
constexpr uint8_t SIGNAL_CTS = 0x01;
constexpr uint8_t SIGNAL_DSR = 0x02;
constexpr uint8_t SIGNAL_DCD = 0x04;
constexpr uint8_t SIGNAL_RI = 0x08;
constexpr uint8_t SIGNAL_CARRIER = 0x10;

// Slots of the counter array.
enum InterfaceCounter : unsigned {
    COUNTER_CRC = 0,
    COUNTER_RX_TOO_LONG = 1,
    COUNTER_RX_TOO_SHORT = 2,
    COUNTER_FRAMING = 3,
    COUNTER_RXA = 4,
    COUNTER_TXU = 5,
    COUNTER_RXO = 6,
    COUNTER_TXB = 7,
    COUNTER_RXE = 10,
    COUNTER_SLOTS = 11,
};

struct InterfaceRecord {
    uint32_t dwUnused0;
    uint32_t dwUnused1;
    uint32_t dwCounterChange;  // counters are looked at only when this moves
    uint8_t bySignals;
    uint8_t abyUnused[3];
    uint32_t adwCounters[COUNTER_SLOTS];
};

static_assert(sizeof(InterfaceRecord) == kInterfaceRecordSize);
static_assert(offsetof(InterfaceRecord, dwCounterChange) == 8);
static_assert(offsetof(InterfaceRecord, bySignals) == 12);
static_assert(offsetof(InterfaceRecord, adwCounters) == 16);

// The header in front of every receive record: in the receive ring, and in
// front of each frame a framed-mode read on the "+" handle returns.
struct ReceiveRecordHeader {
    uint32_t timestamp;  // the card's clock, ms; 0 for none
    uint16_t length;     // data bytes after the header
    uint8_t port;        // low nibble the port; high nibble 1: a transmit record (delay mode)
    uint8_t status;      // frame status, 0 for good
};

static_assert(sizeof(ReceiveRecordHeader) == kReceiveRecordHeaderSize);
static_assert(offsetof(ReceiveRecordHeader, length) == 4);
static_assert(offsetof(ReceiveRecordHeader, port) == 6);
static_assert(offsetof(ReceiveRecordHeader, status) == 7);

constexpr uint8_t RECORD_KIND_TRANSMIT = 0x10;

// The SetV24 byte: the output signals to raise.
constexpr uint8_t V24_RTS = 0x01;
constexpr uint8_t V24_DTR = 0x02;

// The SetInversion word is the extended configuration word: its receive and
// transmit inversion bits are the ones the card acts on.
constexpr uint32_t INVERSION_RX = EXT_RX_INVERTED;
constexpr uint32_t INVERSION_TX = EXT_TIV;

constexpr uint32_t PORT_CONFIG_VERSION = 4;
constexpr uint32_t SERIAL_CONFIG_VERSION = 5;
constexpr uint32_t SERIAL_CONFIG_VERSION_OLD = 3;
constexpr uint32_t CARD_INFO_VERSION = 1;
constexpr uint32_t BERT_CONFIG_VERSION = 1;
constexpr uint32_t SERIAL_FIXED24 = 3;
