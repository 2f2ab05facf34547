#include "link/interface_record.h"

#include <cstring>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"

InterfaceRecord g_LastInterfaceRecord{};
std::atomic<bool> g_bLineErrorsSeen{false};

namespace {

struct SignalName {
    uint8_t bit;
    const char* text;
};

constexpr SignalName kSignalNames[] = {
    {SIGNAL_CTS, "CTS "}, {SIGNAL_DSR, "DSR "},         {SIGNAL_DCD, "DCD "},
    {SIGNAL_RI, "RI "},   {SIGNAL_CARRIER, "CARRIER "},
};

// Counters other than CRC and framing: always logged when they grew.
struct CounterName {
    InterfaceCounter slot;
    const char* format;
};

constexpr CounterName kOtherCounters[] = {
    {COUNTER_TXU, "  TxU : +%u\n"},
    {COUNTER_TXB, "  TxB : +%u\n"},
    {COUNTER_RXO, "  RxO : +%u\n"},
    {COUNTER_RX_TOO_SHORT, "  RxTooShort : +%u\n"},
    {COUNTER_RXA, "  RxA: +%u\n"},
    {COUNTER_RXE, "  RxE: +%u\n"},
    {COUNTER_RX_TOO_LONG, "  RxTooLong: +%u\n"},
};

uint8_t SignalState(uint8_t signals, uint8_t bit) {
    return (signals & bit) ? SIGNAL_STATE_ON : SIGNAL_STATE_OFF;
}

void ReportSignals(uint8_t signals) {
    LogPrint(3, "\nInput Signals: ");
    for (const SignalName& s : kSignalNames)
        if (signals & s.bit) LogPrint(3, "%s", s.text);
    LogPrint(3, "\n");
    g_LastInterfaceRecord.bySignals = signals;
    GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_CTS, SignalState(signals, SIGNAL_CTS));
    GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_DCD, SignalState(signals, SIGNAL_DCD));
}

// Growth since the last full report; a counter that went back counts as none.
uint32_t Growth(const InterfaceRecord& now, InterfaceCounter slot) {
    int32_t delta =
        static_cast<int32_t>(now.adwCounters[slot] - g_LastInterfaceRecord.adwCounters[slot]);
    return delta > 0 ? static_cast<uint32_t>(delta) : 0;
}

void ReportLineError(const InterfaceRecord& now, InterfaceCounter slot, const char* format,
                     uint16_t tag, bool reportCounters) {
    uint32_t delta = Growth(now, slot);
    if (delta == 0) return;
    if (reportCounters) {
        LogEvent(1, format, delta);
        GuiSend64(tag, now.adwCounters[slot]);
    }
    g_bLineErrorsSeen = true;
}

void ReportCounters(const InterfaceRecord& now, bool reportCounters) {
    ReportLineError(now, COUNTER_CRC, "  CRC : +%u\n", ZVBERT_CRC_ERRORS, reportCounters);
    ReportLineError(now, COUNTER_FRAMING, "  Framing : +%u\n", ZVBERT_FRAMING_ERRORS,
                    reportCounters);
    for (const CounterName& c : kOtherCounters)
        if (uint32_t delta = Growth(now, c.slot)) LogEvent(1, c.format, delta);
    const uint32_t* n = now.adwCounters;
    LogPrint(1,
             "Errors: CRC=%u Framing=%u TxU=%u RxO=%u RxTooShort=%u RxA=%u RxE=%u RxTooLong=%u\n",
             n[COUNTER_CRC], n[COUNTER_FRAMING], n[COUNTER_TXU], n[COUNTER_RXO],
             n[COUNTER_RX_TOO_SHORT], n[COUNTER_RXA], n[COUNTER_RXE], n[COUNTER_RX_TOO_LONG]);
    LogPrint(1, "\n");
}

}  // namespace

void PollInterfaceRecord(bool signalsOnly, bool reportCounters) {
    card::PortHandle port = g_hPort.load();
    if (port == card::kInvalidHandle) return;
    if (!DriverIoctl(port, IOCTL_GET_V24, nullptr, 0, nullptr, 0, nullptr))
        LogLastError(1, "GetV24 Failed:  ");
    InterfaceRecord now{};
    uint32_t bytes = 0;
    if (!DriverIoctl(port, IOCTL_READ_INTERFACE_RECORD, nullptr, 0, &now, sizeof now, &bytes)) {
        LogLastError(1, "ReadInterfaceRecord Failed : ");
        return;
    }
    if (bytes < sizeof now) {
        // A cut record would read as counters falling to zero; skip it.
        LogPrint(3, "ReadInterfaceRecord: short record of %u bytes skipped\n", bytes);
        return;
    }
    if (memcmp(&now, &g_LastInterfaceRecord, sizeof now) == 0) return;
    if (now.bySignals != g_LastInterfaceRecord.bySignals) ReportSignals(now.bySignals);
    if (signalsOnly || now.dwCounterChange == g_LastInterfaceRecord.dwCounterChange) return;
    ReportCounters(now, reportCounters);
    g_LastInterfaceRecord = now;
}
