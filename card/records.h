// Records exchanged with the driver to configure a port. Little-endian
// 32-bit words; fields not named here are the driver's and are written back
// exactly as it returned them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "card/ioctl.h"

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

constexpr uint32_t PORT_CONFIG_VERSION = 4;
constexpr uint32_t SERIAL_CONFIG_VERSION = 5;
constexpr uint32_t SERIAL_CONFIG_VERSION_OLD = 3;
constexpr uint32_t CARD_INFO_VERSION = 1;
constexpr uint32_t BERT_CONFIG_VERSION = 1;
