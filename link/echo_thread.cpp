// Echo mode: the port sends back whatever it receives, for a tester at the
// far end. One request at a time, a read and then the write of what it read.
#include <algorithm>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "link/receive_block.h"
#include "link/threads.h"
#include "log/log.h"
#include "platform/event.h"
#include "platform/last_error.h"

namespace {

constexpr uint32_t kEchoWaitMs = 1000;

// The request record and its event stay alive after the thread: a read still
// pending when it ends is cancelled only when the port is released.
card::Overlapped g_EchoRequest;
platform::Event g_EchoEvent(false, false);

struct EchoState {
    bool bReadWanted = true;
    bool bReadPending = false;
    bool bWritePending = false;
    bool bDataToSend = false;
    bool bFailureSeen = false;
    uint32_t uBytesRead = 0;
};

bool Accepted(bool done) { return done || platform::GetLastError() == platform::kErrorIoPending; }

void Prepare() {
    g_EchoRequest.Clear();
    g_EchoRequest.hEvent = &g_EchoEvent;
}

// A finished request: a read's bytes become the data to send; after a write
// the next read starts at once.
void TakeResult(EchoState& st) {
    const card::PortHandle port = g_hPort.load();
    if (st.bReadPending) {
        uint32_t bytes = 0;
        if (card::GetOverlappedResult(port, &g_EchoRequest, &bytes, true))
            DumpHex(g_abRxBuffer, bytes);
        st.uBytesRead = std::min(bytes, kRxBufferSize);
        st.bReadPending = false;
        // Nothing read, nothing to send back: straight to the next read.
        st.bDataToSend = st.uBytesRead > 0;
        st.bReadWanted = !st.bDataToSend;
    } else if (st.bWritePending) {
        uint32_t bytes = 0;
        card::GetOverlappedResult(port, &g_EchoRequest, &bytes, true);
        st.bWritePending = false;
        st.bReadWanted = true;
    }
}

void StartRead(card::Driver& driver, EchoState& st) {
    Prepare();
    uint32_t bytes = 0;
    const uint32_t length = std::min(g_uBufferLength, kRxBufferSize);
    if (Accepted(driver.ReadFile(g_hPort.load(), g_abRxBuffer, length, &bytes, &g_EchoRequest))) {
        st.bReadWanted = false;
        st.bReadPending = true;
    } else {
        st.bFailureSeen = true;
    }
}

void StartWrite(card::Driver& driver, EchoState& st) {
    Prepare();
    uint32_t bytes = 0;
    if (Accepted(driver.WriteFile(g_hPort.load(), g_abRxBuffer, st.uBytesRead, &bytes,
                                  &g_EchoRequest))) {
        st.bDataToSend = false;
        st.bWritePending = true;
    } else {
        // The data is dropped; the next read comes after the next wait.
        st.bFailureSeen = true;
        st.bDataToSend = false;
        st.bReadWanted = true;
    }
}

}  // namespace

uint32_t EchoThread() {
    EchoState st;
    g_EchoEvent.Reset();
    LogPrint(3, "%s Starting ECHO thread\n", LogTimestamp());
    card::Driver* driver = card::GetDriver();
    while (!g_bRxStop) {
        if (platform::WaitForEvent(g_EchoEvent, kEchoWaitMs) == platform::kWaitObject0)
            TakeResult(st);
        if (driver == nullptr) {
            st.bFailureSeen = true;
            continue;
        }
        if (st.bReadWanted && !st.bReadPending && !st.bWritePending) StartRead(*driver, st);
        if (st.bDataToSend && !st.bWritePending) StartWrite(*driver, st);
    }
    if (st.bFailureSeen) PushQuitKey();
    LogPrint(3, "EchoThread exit\n");
    return 1;
}
