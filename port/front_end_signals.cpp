#include "port/front_end_signals.h"

#include "card/ioctl.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "port/port_setup.h"
#include "port/port_state.h"

namespace {

// A card that cannot invert (or already left the inversion to the program)
// has the program invert what it sends.
void ChangeTransmitInversion(uint8_t state) {
    LogEvent(4, "ZVBERT_TIV=%u\n\n", state);
    const bool tiv = state == SIGNAL_STATE_ON;
    if (tiv)
        g_dwExtendedConfig |= EXT_TIV;
    else
        g_dwExtendedConfig &= ~EXT_TIV;
    uint32_t word = g_dwExtendedConfig;
    LogEvent(4, "g_dwExtendedConfig->%u\n", word);
    const char* mark = tiv ? "^" : "~";
    if (!g_bManualInvert &&
        DriverIoctl(g_hPort, IOCTL_SET_INVERSION, &word, sizeof word, nullptr, 0, nullptr)) {
        LogEvent(2, "%sTx Inverted\n\n", mark);
    } else {
        LogEvent(2, "*%sTx Inverted\n\n", mark);
        ManualTxInvert = tiv;
        g_bManualInvert = true;
        GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_MANUAL_INVERT, SIGNAL_STATE_ON);
    }
    LogEvent(2, "ManualTxInvert->%u\n", ManualTxInvert ? 1u : 0u);
}

}  // namespace

void ApplyFrontEndSignal(uint8_t item, uint8_t state) {
    LogEvent(4, "ZVBERT_SIGNAL_CHANGE=%u\n\n", item);
    if (item == SIGNAL_ITEM_DTR) g_bDtrWish = state == SIGNAL_STATE_ON;
    if (item == SIGNAL_ITEM_RTS) g_bRtsWish = state == SIGNAL_STATE_ON;
    if (item == SIGNAL_ITEM_TIV) ChangeTransmitInversion(state);
    SetV24(g_hPort, g_bDtrWish, g_bRtsWish);
}
