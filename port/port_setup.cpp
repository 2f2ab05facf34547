#include "port/port_setup.h"

#include <algorithm>
#include <mutex>

#include "card/card_handler.h"
#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "link/interface_record.h"
#include "link/port_buffers.h"
#include "log/log.h"
#include "platform/last_error.h"
#include "port/port_config.h"
#include "port/port_state.h"
#include "stats/bert_stats.h"

namespace {

constexpr uint16_t kMinBertRevision = 0x300;
constexpr uint32_t kV1MaxGeneration = 2;
constexpr uint32_t kMaxBufferLength = 8192;
constexpr uint32_t kDefaultNumBuffers = 8;
constexpr uint32_t kDelayRecordOverhead = 10;
// The Modbus address, control, function and CRC around the multi-drop data.
constexpr uint32_t kModbusFrameOverhead = 7;
constexpr uint32_t kVantleSoftwareMaxRate = 2048000;
constexpr uint32_t kEchoQueueSize = 0x100007D0;
constexpr uint32_t kDelayModeValue = 4;
// How long the set-up waits for a pending SetPortEvent to complete before it
// takes the event as registered (see RegisterReceiveEvent).
constexpr uint32_t kPortEventGraceMs = 50;

// The receive event's registration: the driver may hold this request for as
// long as the port is open, so it lives as long as the process.
card::Overlapped g_PortEventRequest;

bool RoundTripDelay() { return g_Settings.bRoundTripDelay; }
// The tests that read one frame per request, behind its record header.
bool FramedTest() { return g_Settings.bRoundTripDelay || g_Settings.bMultiDrop; }

bool Fail() {
    ReleasePort();
    return false;
}

void ClearRunRecords() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    g_LastInterfaceRecord = {};
    g_BertStats = {};
    int64_t now = GetTicks();
    g_BertStats.i64StartTicks = now;
    g_BertStats.i64LosStartTicks = now;
}

bool OpenCardPort(uint32_t cardNumber, uint32_t portIndex, bool* plus) {
    std::lock_guard<std::recursive_mutex> lock(g_CardHandler.Lock());
    g_hPort = card::kInvalidHandle;
    ZvPort* port = g_CardHandler.FindPort(cardNumber, portIndex);
    if (port == nullptr) {
        platform::SetLastError(platform::kErrorFileNotFound);
        return false;
    }
    if (!port->Open(plus)) return false;
    g_pOpenPort = port;
    g_hPort = port->Handle();
    return true;
}

// Whether the card can run the requested mode; sets the status when not.
bool CheckCard(const CardFacts& card, bool* v1) {
    const TestSettings& s = g_Settings;
    if (card.bSerialPort && s.uMode != MODE_ASYNC) {
        // Nothing a serial port could do with a synchronous test: no clock
        // lines, no frames. Said plainly, as the status text alone is vague.
        LogPrint(1, "ERROR: A serial port has no synchronous clock: use -mASYNC\n");
        dwStatus = STATUS_UNSUPPORTED_MODE;
        return false;
    }
    if (!card.bVantle && !card.bSerialPort && s.uMode == MODE_ASYNC) {
        dwStatus = STATUS_UNSUPPORTED_MODE;
        return false;
    }
    bool bertEngine = card.info.uBertPresent >= 1 && card.wRevision >= kMinBertRevision;
    if (card.bVantle && bertEngine) return true;
    if (s.bHardwareMode) {
        dwStatus = STATUS_HW_MODE_UNSUPPORTED;
        return false;
    }
    if (card.bVantle && card.info.uBertPresent == 0 && card.info.uGeneration <= kV1MaxGeneration) {
        LogEvent(1, "WARNING: Vantle is a V1 device\n");
        *v1 = true;
    }
    return true;
}

void SizeBuffers() {
    const TestSettings& s = g_Settings;
    if (s.bHardwareMode) {
        g_uBufferLength = kMaxBufferLength;
        g_uNumBuffers = kDefaultNumBuffers;
    } else if (FramedTest()) {
        uint64_t length = uint64_t{s.uDataLength} + kDelayRecordOverhead +
                          (s.bMultiDrop ? kModbusFrameOverhead : 0);
        if (length > kMaxBufferLength) {
            LogPrint(1, "ERROR: Requested buffer length too big %lu\n",
                     static_cast<unsigned long>(length));
            LogEvent(1, "ERROR: Requested buffer length too big %lu\n",
                     static_cast<unsigned long>(length));
            dwStatus = STATUS_BAD_PARAMETERS;
            // The set-up goes on; the receive paths hold 8192 bytes at most.
            length = kMaxBufferLength;
        }
        g_uBufferLength = static_cast<uint32_t>(length);
        g_uNumBuffers = kDefaultNumBuffers;
    } else {
        uint64_t queue = (uint64_t{s.uClockRate} + 7) / 8 * s.uQueueSecs;
        SizePortBuffers(static_cast<uint32_t>(std::min<uint64_t>(queue, UINT32_MAX)),
                        &g_uBufferLength, &g_uNumBuffers);
    }
}

void PrepareLineSettings(bool v1) {
    const TestSettings& s = g_Settings;
    if (!v1 && s.bExternalClock && s.uMode != MODE_ASYNC)
        g_dwExtendedConfig |= EXT_TX_TERMINAL_TIMING;
    g_uBitsPerChar = s.uMode == MODE_ASYNC ? s.uDataBits : 8;
}

// A card that cannot invert leaves the inversion to the program.
void ClearInversion(card::PortHandle handle) {
    uint32_t none = 0;
    if (DriverIoctl(handle, IOCTL_SET_INVERSION, &none, sizeof none, nullptr, 0, nullptr)) return;
    g_bManualInvert = true;
    if (g_dwExtendedConfig & EXT_TIV) ManualTxInvert = true;
    if (ManualTxInvert) LogEvent(2, "ManualTxInvert=%u\n\n", 1u);
    GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_MANUAL_INVERT, SIGNAL_STATE_ON);
}

bool SendBertConfig(card::PortHandle handle) {
    const TestSettings& s = g_Settings;
    ZvBertConfig config{};
    config.uVersion = BERT_CONFIG_VERSION;
    config.uPatternType = s.uPatternType;
    config.uTestLengthBits = s.uTestLengthBits;
    config.bBurstMode = s.bBurstMode ? 1 : 0;
    config.bAutoInvert = s.bAutoInvert ? 1 : 0;
    config.bStopOnError = s.bStopOnError ? 1 : 0;
    if (DriverIoctl(handle, IOCTL_SET_BERT_CONFIG, &config, sizeof config, nullptr, 0, nullptr))
        return true;
    LogLastError(3, "SetBERTConfig Failed : ");
    return false;
}

bool SoftwareRateSupported(const CardFacts& card) {
    if (!card.bVantle || FramedTest() || g_Settings.uClockRate <= kVantleSoftwareMaxRate)
        return true;
    LogEvent(1, "ERROR: Zorvan Vantle max rate in Software Mode is 2Mbps\n");
    dwStatus = STATUS_UNSUPPORTED_RATE;
    return false;
}

// The BERT engine or the software rate check, the delay mode, then the
// port's start; the first failure stops the sequence.
bool StartLine(card::PortHandle handle, const CardFacts& card) {
    if (!g_Settings.bHardwareMode) {
        // Refused by the program, not the driver: there is no driver error
        // to show, and the rate message has said why.
        if (!SoftwareRateSupported(card)) return false;
    } else if (!SendBertConfig(handle)) {
        LogLastError(3, "Failed to start port: ");
        return false;
    }
    uint32_t delayMode = kDelayModeValue;
    bool ok = true;
    if (RoundTripDelay())
        ok = DriverIoctl(handle, IOCTL_SET_DELAY_MODE, &delayMode, sizeof delayMode, nullptr, 0,
                         nullptr) != 0;
    if (ok) ok = DriverIoctl(handle, IOCTL_START_PORT, nullptr, 0, nullptr, 0, nullptr) != 0;
    if (!ok) LogLastError(3, "Failed to start port: ");
    return ok;
}

// The driver learns the receive event from this request's overlapped record.
// It may complete the request at once, or keep it pending while the port is
// open and signal the event for every arrival; so a pending request is given
// a short time to fail and is otherwise taken as registered. The wait polls
// the status word instead of the event, which is initially signalled and
// belongs to the receive thread.
bool RegisterReceiveEvent(card::PortHandle handle) {
    card::Driver* driver = card::GetDriver();
    g_hRxEvent = new platform::Event(false, true);
    g_PortEventRequest.Clear();
    g_PortEventRequest.hEvent = g_hRxEvent;
    uint32_t bytes = 0;
    if (driver->DeviceIoControl(handle, IOCTL_SET_PORT_EVENT, nullptr, 0, nullptr, 0, &bytes,
                                &g_PortEventRequest))
        return true;
    if (platform::GetLastError() != platform::kErrorIoPending) {
        LogLastError(3, "SetEvent Failed : ");
        return false;
    }
    for (uint32_t waited = 0; waited < kPortEventGraceMs; ++waited) {
        if (card::HasOverlappedIoCompleted(g_PortEventRequest))
            return card::GetOverlappedResult(handle, &g_PortEventRequest, &bytes, false);
        platform::SleepMs(1);
    }
    return true;
}

void StartMonitoring(card::PortHandle handle) {
    uint32_t on = 1;
    if (!DriverIoctl(handle, IOCTL_START_MONITORING, &on, sizeof on, nullptr, 0, nullptr))
        LogPrint(1, "Failed to start monitoring mode\n");
}

}  // namespace

bool OpenPort(uint32_t cardNumber, uint32_t portIndex) {
    const TestSettings& s = g_Settings;
    const bool wantPlus = s.bHardwareMode || s.iTestSelect >= TEST_ECHO || s.bMultiDrop;
    bool plus = wantPlus;
    g_bSharedRxRing = !plus;
    ClearRunRecords();

    if (!OpenCardPort(cardNumber, portIndex, &plus)) {
        LogLastError(1, "Error Opening Port : ");
        return Fail();
    }
    card::PortHandle handle = g_hPort;
    CardFacts card = ReadCardInfo(handle);
    g_wCardRevision = card.wRevision;
    bool v1 = false;
    if (!CheckCard(card, &v1) || dwStatus != STATUS_OK) return Fail();

    SizeBuffers();
    PrepareLineSettings(v1);
    ClearInversion(handle);
    WriteConfiguration(handle);
    DumpPortConfig(handle);
    DumpSerialConfig(handle);
    SetV24(handle, g_bDtrWish, g_bRtsWish);
    if (s.iTestSelect >= TEST_ECHO && !RoundTripDelay())
        card::GetDriver()->SetupComm(handle, kEchoQueueSize, kEchoQueueSize);
    if (!StartLine(handle, card)) return Fail();
    if (!RegisterReceiveEvent(handle)) return Fail();
    if (g_bSharedRxRing)
        g_bSharedRxRing = StartReceiveRing(handle, g_uNumBuffers, g_uBufferLength) != 0;
    StartMonitoring(handle);
    // Wanted the "+" device but only the plain one opened: the test cannot
    // run. A ring the driver refused is no reason to fail: the receive thread
    // then asks for each block itself.
    if (wantPlus && !plus) return Fail();
    return true;
}

void ReleasePort() {
    {
        // Under the handler's lock: a removal notice either finished closing
        // the port already or waits until the release is done.
        std::lock_guard<std::recursive_mutex> lock(g_CardHandler.Lock());
        card::PortHandle handle = g_hPort.exchange(card::kInvalidHandle);
        card::Driver* driver = card::GetDriver();
        if (handle != card::kInvalidHandle && driver != nullptr) driver->CancelIo(handle);
        if (g_pOpenPort != nullptr)
            g_pOpenPort->Close();
        else if (handle != card::kInvalidHandle && driver != nullptr)
            driver->Close(handle);
        g_pOpenPort = nullptr;
    }
    // Every request that used them has ended.
    FreeReceiveRing();
    delete g_hRxEvent;
    g_hRxEvent = nullptr;
}
