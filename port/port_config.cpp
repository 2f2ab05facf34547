#include "port/port_config.h"

#include <algorithm>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/settings.h"
#include "log/log.h"
#include "port/port_setup.h"

namespace {

constexpr uint32_t kMaxPortBuffers = 8;
constexpr uint32_t kSerialFixedWord = 3;

// Terminal timing words at offsets 28..44; the first matching bit wins.
struct TimingRow {
    uint32_t bit;
    uint32_t words[5];
};

constexpr TimingRow kTimingRows[] = {
    {EXT_TX_TERMINAL_TIMING, {1, 0, 0, 1, 0}},
    {EXT_RX_TERMINAL_TIMING, {1, 1, 1, 0, 1}},
    {EXT_TIMING_0x10, {1, 1, 0, 0, 0}},
};

void SetTimingWords(uint32_t* words, uint32_t extended) {
    std::fill(words, words + 5, 0u);
    for (const TimingRow& row : kTimingRows) {
        if (extended & row.bit) {
            std::copy(row.words, row.words + 5, words);
            return;
        }
    }
}

uint32_t TransparentMode(uint32_t mode) {
    switch (mode) {
        case MODE_SYNC:
            return 1;
        case MODE_ASYNC:
            return 3;
        default:
            return 0;
    }
}

uint32_t AsyncDataBitsCode(uint32_t dataBits) {
    switch (dataBits) {
        case 7:
            return 1;
        case 6:
            return 2;
        case 5:
            return 3;
        default:
            return 0;
    }
}

bool ReadSerialConfig(card::PortHandle handle, ZvSerialConfig* config, uint32_t version) {
    *config = {};
    config->uVersion = version;
    return DriverIoctl(handle, IOCTL_GET_SERIAL_CONFIG, nullptr, 0, config, sizeof *config,
                       nullptr) != 0;
}

bool ReadPortConfig(card::PortHandle handle, ZvPortConfig* config) {
    *config = {};
    config->uVersion = PORT_CONFIG_VERSION;
    return DriverIoctl(handle, IOCTL_GET_PORT_CONFIG, nullptr, 0, config, sizeof *config,
                       nullptr) != 0;
}

template <typename Record>
struct DumpField {
    const char* name;
    uint32_t Record::*field;
};

constexpr DumpField<ZvPortConfig> kPortDump[] = {
    {"uVersion", &ZvPortConfig::uVersion},
    {"uPortTxNumBuffers", &ZvPortConfig::uPortTxNumBuffers},
    {"uPortRxNumBuffers", &ZvPortConfig::uPortRxNumBuffers},
    {"uPortTxBufferLength", &ZvPortConfig::uPortTxBufferLength},
    {"uPortRxBufferLength", &ZvPortConfig::uPortRxBufferLength},
    {"uPortTxDMA", &ZvPortConfig::uPortTxDMA},
    {"uPortRxDMA", &ZvPortConfig::uPortRxDMA},
    {"uPortStartTxRx", &ZvPortConfig::uPortStartTxRx},
    {"uPortClockSource", &ZvPortConfig::uPortClockSource},
    {"uPortTxMSB", &ZvPortConfig::uPortTxMSB},
    {"uPortRxMSB", &ZvPortConfig::uPortRxMSB},
};

constexpr DumpField<ZvSerialConfig> kSerialDump[] = {
    {"uVersion", &ZvSerialConfig::uVersion},
    {"uPortInterface", &ZvSerialConfig::uPortInterface},
    {"uPortRate", &ZvSerialConfig::uPortRate},
    {"uPortClocking", &ZvSerialConfig::uPortClocking},
    {"uPortTransparentMode", &ZvSerialConfig::uPortTransparentMode},
    {"uPortInvertRxClock", &ZvSerialConfig::uPortInvertRxClock},
    {"uPortEncoding", &ZvSerialConfig::uPortEncoding},
};

}  // namespace

CardFacts ReadCardInfo(card::PortHandle handle) {
    CardFacts facts{};
    facts.info.uVersion = CARD_INFO_VERSION;
    if (!DriverIoctl(handle, IOCTL_READ_CARD_INFO, nullptr, 0, &facts.info, sizeof facts.info,
                     nullptr)) {
        LogLastError(1, "ZorvanReadCardInfo Failed : ");
        return CardFacts{};
    }
    facts.wCardType = facts.info.wCardType;
    facts.wRevision = facts.info.wRevision;
    facts.bVantle = (facts.wCardType >> 8) == CARD_MODEL_VANTLE;
    facts.bSerialPort = (facts.wCardType >> 8) == CARD_MODEL_SERIAL_PORT;
    return facts;
}

void FillPortConfig(ZvPortConfig* config) {
    const TestSettings& s = g_Settings;
    uint32_t buffers = std::min(g_uNumBuffers, kMaxPortBuffers);
    config->uPortTxNumBuffers = buffers;
    config->uPortRxNumBuffers = buffers;
    config->uPortTxBufferLength = g_uBufferLength;
    config->uPortRxBufferLength = g_uBufferLength;
    // The card's BERT engine and the asynchronous FOX text run LSB first.
    bool lsbFirst = s.bHardwareMode || (s.uPatternType == PATTERN_FOX && s.uMode == MODE_ASYNC);
    config->uPortTxMSB = lsbFirst ? 0 : 1;
    config->uPortRxMSB = config->uPortTxMSB;
    config->uPortTermination = s.bTermination ? 1 : 0;
}

void FillSerialConfig(ZvSerialConfig* config) {
    const TestSettings& s = g_Settings;
    uint32_t extended = g_dwExtendedConfig;
    bool keepTiming = (extended & EXT_KEEP_TIMING) != 0;
    config->uPortInterface = s.uInterface;
    config->uPortRate = s.uClockRate;
    config->uPortClocking = (s.bExternalClock || s.uMode == MODE_ASYNC || keepTiming) ? 0 : 1;
    config->uPortTransparentMode = TransparentMode(s.uMode);
    config->uPortInvertRxClock = s.bInvertRxClock ? 1 : 0;
    config->uPortEncoding = s.uEncoding;
    if (!keepTiming) {
        SetTimingWords(config->auTiming, extended);
        config->uPortExtendedConfig = extended;
    }
    config->uPortNrziClocking = s.bNrziClocking ? 1 : 0;
    config->uPortAsyncDataBits = AsyncDataBitsCode(s.uDataBits);
    config->uPortAsyncParity = s.uParity;
    config->uPortAsyncStopBits = s.uStopBits == 2 ? 2 : 0;
    config->uPortAsyncFlowControl = s.uFlowControl;
    config->uFixed24 = kSerialFixedWord;
}

bool WriteConfiguration(card::PortHandle handle) {
    ZvPortConfig port;
    if (ReadPortConfig(handle, &port)) {
        FillPortConfig(&port);
        DriverIoctl(handle, IOCTL_SET_PORT_CONFIG, &port, sizeof port, nullptr, 0, nullptr);
    }
    ZvSerialConfig serial;
    if (!ReadSerialConfig(handle, &serial, SERIAL_CONFIG_VERSION) &&
        !ReadSerialConfig(handle, &serial, SERIAL_CONFIG_VERSION_OLD))
        return false;
    LogPrint(3, "ZvSerialConfig.uVersion=%u\n", serial.uVersion);
    FillSerialConfig(&serial);
    return DriverIoctl(handle, IOCTL_SET_SERIAL_CONFIG, &serial, sizeof serial, nullptr, 0,
                       nullptr) != 0;
}

void DumpPortConfig(card::PortHandle handle) {
    ZvPortConfig port;
    if (!ReadPortConfig(handle, &port)) {
        LogLastError(1, "ZorvanGetPortConfig Failed : ");
        return;
    }
    for (const auto& f : kPortDump) LogPrint(3, "ZvPortConfig.%-20s= %u\n", f.name, port.*f.field);
    LogPrint(3, "\n");
}

void DumpSerialConfig(card::PortHandle handle) {
    ZvSerialConfig serial;
    if (!ReadSerialConfig(handle, &serial, SERIAL_CONFIG_VERSION_OLD)) {
        LogLastError(1, "ZorvanGetSerialConfig Failed : ");
        return;
    }
    for (const auto& f : kSerialDump)
        LogPrint(3, "ZvSerialConfig.%-21s= %u\n", f.name, serial.*f.field);
    LogPrint(3, "\n");
}

bool SetV24(card::PortHandle handle, bool dtr, bool rts) {
    uint8_t signals = static_cast<uint8_t>((dtr ? V24_DTR : 0) | (rts ? V24_RTS : 0));
    if (!DriverIoctl(handle, IOCTL_SET_V24, &signals, 1, nullptr, 0, nullptr)) {
        LogLastError(3, "SetV24 Failed : ");
        return false;
    }
    LogPrint(3, "Output Signals: ");
    if (dtr) LogPrint(3, "DTR ");
    if (rts) LogPrint(3, "RTS ");
    LogPrint(3, "\n");
    return true;
}
