#include "gui/my_bert_messenger.h"

#include "core/run_state.h"
#include "gui/tags.h"
#include "log/log.h"
#include "platform/console.h"

namespace {

// Value bytes a message from the front end needs to be acted on.
uint32_t NeededLength(uint32_t tag) {
    switch (tag) {
        case ZVBERT_INJECT_ERRORS:
            return 1;
        case ZVBERT_SIGNAL_CHANGE:
        case ZVBERT_MULTIDROP_POLL_SLAVE:
            return 2;
        default:
            return 0;
    }
}

void LogMessage(uint32_t tag, uint32_t length, const uint8_t* value) {
    LogPrint(4, "MessageReceived: tag=%u length=0x%X\n", tag, length);
    for (uint32_t i = 0; i < length; ++i) LogPrint(4, "value[%u]=0x%02X\n", i, value[i]);
}

}  // namespace

void MyBertMessenger::MessageReceived(uint32_t tag, uint32_t length, const uint8_t* value) {
    LogMessage(tag, length, value);
    if (length < NeededLength(tag)) {
        LogPrint(1, "Front-end message %u without its value (length %u), skipped\n", tag, length);
        return;
    }
    switch (tag) {
        case ZVBERT_END_ACK:
            g_bGuiEndAck = true;
            break;
        case ZVBERT_INJECT_ERRORS:
            g_uInjectErrors += value[0];
            break;
        case ZVBERT_RESET_STATS:
            platform::PushKey('r');
            if (m_Actions.pfnResetTestStats) m_Actions.pfnResetTestStats();
            break;
        case ZVBERT_STOP:
            platform::PushKey('x');
            break;
        case ZVBERT_SIGNAL_CHANGE:
            if (m_Actions.pfnSignalChange) m_Actions.pfnSignalChange(value[0], value[1]);
            break;
        case ZVBERT_MULTIDROP_POLL_SLAVE:
            LogPrint(2, "ZVBERT_MULTIDROP_POLL_SLAVE, slave %d, poll %d\n", value[0], value[1]);
            if (m_Actions.pfnPollSlave) m_Actions.pfnPollSlave(value[0], value[1]);
            break;
        default:
            break;
    }
}

// A front end that is absent or goes away ends the test.
void MyBertMessenger::Stopping(uint32_t stopCode) {
    LogPrint(3, "BertMessager->\"Stopping\" callback: *** STOPPING *** %u\n", g_bQuit ? 1u : 0u);
    if (stopCode != 0) dwStatus = stopCode;
    if (!g_bQuit) RequestStop();
}
