#include "link/receive_block.h"

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "core/port_run_state.h"
#include "link/port_buffers.h"
#include "log/log.h"

uint8_t g_abRxBuffer[kRxBufferSize];
uint32_t g_uRxBlockStampMs = 0;

namespace {

uint32_t ReceiveFromRing(ByteRing* ring) {
    ReceiveRecordHeader header;
    uint32_t count = sizeof header;
    bool drained = false;
    if (!RingRead(ring, &header, &count, &drained)) return 0;
    if (count < sizeof header) {
        // A record cut short: nothing after it can be framed any more.
        RingSkip(ring, 0);
        return 0;
    }
    const uint32_t length = header.length;
    if (length > kRxBufferSize) {
        RingSkip(ring, length);
        return 0;
    }
    count = length;
    RingRead(ring, g_abRxBuffer, &count, &drained);
    if (count < length) return 0;
    g_uRxBlockStampMs = header.timestamp;
    return length;
}

uint32_t ReceiveFromDriver(card::PortHandle port) {
    g_uRxBlockStampMs = 0;
    uint32_t bytes = 0;
    if (!DriverIoctl(port, IOCTL_RECEIVE_DATA, nullptr, 0, g_abRxBuffer, kRxBufferSize, &bytes)) {
        LogLastError(1, "Rx Failed : ");
        return 0;
    }
    return bytes <= kRxBufferSize ? bytes : kRxBufferSize;
}

}  // namespace

uint32_t ReceiveBlock() {
    const card::PortHandle port = g_hPort.load();
    if (port == card::kInvalidHandle) return 0;
    if (g_bSharedRxRing) return ReceiveFromRing(g_pRxRing.load());
    return ReceiveFromDriver(port);
}
