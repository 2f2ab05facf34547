#include "rtd/rtd_thread.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>

#include "card/driver.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "log/log.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "rtd/rtd_stats.h"

namespace {

constexpr uint32_t kRxBufferSize = 8192;
constexpr uint32_t kMaxFrameLength = 256;
constexpr uint32_t kWaitMs = 1;
// How long the end of the test waits for the frame in flight: a frame that is
// coming back is back by then on any line worth measuring, and a dead line
// must not hold the stop for the whole receive time-out.
constexpr int64_t kStopGraceUsecs = 250 * 1000;

// The driver may hold the event registration for as long as the port is open
// and signal its event for every arrival, and the thread ends before the port
// is released: so the requests, their events and buffers live as long as the
// process.
struct RtdIo {
    platform::Event txEvent{true, true};  // signalled: the first frame leaves at once
    platform::Event rxEvent{true, false};
    card::Overlapped txOv;
    card::Overlapped rxOv;
    card::Overlapped portEventOv;
    std::array<uint8_t, kMaxFrameLength> abFrame{};
    std::array<uint8_t, kRxBufferSize> abRxBuffer{};
};

RtdIo g_RtdIo;

struct RtdState {
    card::PortHandle hPort = card::kInvalidHandle;
    uint32_t uFrameLength = 0;
    uint32_t uRxTimeoutMs = 0;
    bool bTxIdle = true;
    bool bSendWanted = true;  // the next frame is due once the transmitter is idle
    bool bReadWanted = true;
    bool bReadPending = false;
    bool bOutstanding = false;
    bool bTxStamped = false;
    bool bRxStamped = false;
    bool bPaced = false;
    int64_t i64SentCount = 0;
    int64_t i64SendUsecs = 0;
    int64_t i64ReferenceUsecs = 0;
    int64_t i64StopSeenUsecs = 0;  // 0: no stop yet
};

int64_t NowUsecs() { return TicksToUsecs(GetTicks()); }

card::Driver& Driver() { return *card::GetDriver(); }

void RequestNextFrame(RtdState& st) {
    ++seqNo;
    st.bTxStamped = st.bRxStamped = false;
    st.bSendWanted = true;
    g_RtdIo.txEvent.Set();
}

// A reset asked for by the key r or the front end is done here, between two
// frames: done while a frame is in flight it would count its return as late
// and the next frame's number as lost.
void ApplyPendingReset() {
    if (!g_bResetStatsPending.exchange(false)) return;
    ResetRtdStats();
    OutputRTDStats();
}

void StopOnRefusedWrite(RtdState& st) {
    LogPrint(1, "RoundTripDelayThread, Tx Failed, error %d\n",
             static_cast<int>(platform::GetLastError()));
    st.bOutstanding = false;
    UncountRtdSent();
    RequestWorkerStop(g_bRTDStop, STATUS_LINK_FAILED);
}

void SendFrame(RtdState& st) {
    RtdIo& io = g_RtdIo;
    ApplyPendingReset();
    st.i64SentCount = CountRtdSent();
    const uint8_t seq = seqNo;
    LogPrint(3, "TxEvent, Sending Tx Packet %" PRId64 "\n", st.i64SentCount);
    LogPrint(4, "TxEvent, seqNo %d\n", int{seq});
    for (uint32_t i = 0; i < st.uFrameLength; ++i) io.abFrame[i] = static_cast<uint8_t>(seq + i);
    st.i64SendUsecs = NowUsecs();
    io.txOv.Clear();
    io.txOv.hEvent = &io.txEvent;
    st.bTxIdle = false;
    st.bSendWanted = false;
    st.bOutstanding = true;
    // A refused write ends the test: every frame after it would be lost too,
    // and the line would read as dead.
    if (!Driver().WriteFile(st.hPort, io.abFrame.data(), st.uFrameLength, nullptr, &io.txOv) &&
        platform::GetLastError() != platform::kErrorIoPending) {
        st.bTxIdle = true;
        StopOnRefusedWrite(st);
    }
}

// The event is reset before the write's state is looked at, so a write that
// ends meanwhile signals it anew rather than being missed.
void OnTxEvent(RtdState& st) {
    RtdIo& io = g_RtdIo;
    io.txEvent.Reset();
    if (!st.bTxIdle) {
        if (!card::HasOverlappedIoCompleted(io.txOv)) return;
        uint32_t bytes = 0;
        const bool written = card::GetOverlappedResult(st.hPort, &io.txOv, &bytes, true);
        LogPrint(4, "TxEvent, GetOverlappedResult %d\n", static_cast<int>(bytes));
        st.bTxIdle = true;
        if (!written) {
            StopOnRefusedWrite(st);
            return;
        }
    }
    if (st.bSendWanted && !g_bRTDStop) SendFrame(st);
}

void StartRead(RtdState& st) {
    RtdIo& io = g_RtdIo;
    LogPrint(4, "RxEvent, DoRead\n");
    io.rxOv.Clear();
    io.rxOv.hEvent = &io.rxEvent;
    io.rxEvent.Reset();
    st.bReadWanted = false;
    uint32_t bytes = 0;
    if (Driver().ReadFile(st.hPort, io.abRxBuffer.data(), st.uFrameLength + 8, &bytes, &io.rxOv) ||
        platform::GetLastError() == platform::kErrorIoPending) {
        st.bReadPending = true;
        return;
    }
    // Not retried: from now on the frames are given up one by one.
    LogPrint(1, "RxEvent, ReadFile, error %d\n", static_cast<int>(platform::GetLastError()));
}

void LogHeader(uint32_t bytes, const RtdRecordHeader& header) {
    LogPrint(4, "RxEvent, GetOverlappedResult, read %d\n", static_cast<int>(bytes));
    LogPrint(4, "pHeader->port %d\n", int{header.port});
    LogPrint(4, "pHeader->status %02X\n", unsigned{header.status});
    LogPrint(4, "pHeader->timestamp %04X\n", header.timestamp);
    LogPrint(4, "pHeader->length %d\n", int{header.length});
}

// A frame given up and then returned is late, whatever its number: the next
// frame may not have left yet, and the old one must not count as its return.
void GiveUpFrame(RtdState& st, int64_t now);

bool Overdue(const RtdState& st, int64_t now) {
    return st.bOutstanding && now - st.i64SendUsecs > int64_t{st.uRxTimeoutMs} * 1000;
}

void OnReceivedFrame(RtdState& st, const RtdRecordHeader& header, uint32_t bytes) {
    // Its time-out passed while the thread was busy or kept from running:
    // it is lost, and its return late, as if the time-out had been seen first.
    const int64_t now = NowUsecs();
    if (Overdue(st, now)) GiveUpFrame(st, now);
    const uint8_t expected = seqNo;
    const bool hasData = bytes > kReceiveRecordHeaderSize;
    const uint8_t got = hasData ? g_RtdIo.abRxBuffer[kReceiveRecordHeaderSize] : 0;
    if (st.bOutstanding && hasData && got == expected) {
        LogPrint(3, "seq %d, expected %d\n", int{got}, int{expected});
        CountRtdReturned();
        st.bOutstanding = false;
        st.i64ReferenceUsecs = NowUsecs();
        st.bRxStamped = true;
        UpdateRTDStats(&header, RTD_KIND_RETURNED);
        return;
    }
    const int64_t late = CountRtdLate();
    LogPrint(3, "late packet, seq %d, expected %d, late packets %" PRId64 "\n", int{got},
             int{expected}, late);
    LogEvent(2, "Late Packet, seq %d, exptected %d, late packets %" PRId64 "\n", int{got},
             int{expected}, late);
}

void OnRecord(RtdState& st, uint32_t bytes) {
    if (bytes < kReceiveRecordHeaderSize) return;
    RtdRecordHeader header;
    std::memcpy(&header, g_RtdIo.abRxBuffer.data(), sizeof header);
    LogHeader(bytes, header);
    const uint8_t kind = header.port & 0xF0;
    if (kind == RECORD_KIND_TRANSMIT) {
        st.bTxStamped = true;
        UpdateRTDStats(&header, RTD_KIND_TRANSMIT);
    } else if (kind == 0) {
        OnReceivedFrame(st, header, bytes);
    }
    if (!st.bPaced && st.bTxStamped && st.bRxStamped) {
        LogPrint(3, "Done processing, send next packet\n");
        RequestNextFrame(st);
    }
}

// The receive event is also the port's arrival event, so it may come before
// the read has ended; it is reset first for the same reason as the transmit one.
void OnRxEvent(RtdState& st) {
    RtdIo& io = g_RtdIo;
    if (st.bReadWanted) {
        StartRead(st);
        return;
    }
    io.rxEvent.Reset();
    if (!st.bReadPending || !card::HasOverlappedIoCompleted(io.rxOv)) return;
    uint32_t bytes = 0;
    const bool read = card::GetOverlappedResult(st.hPort, &io.rxOv, &bytes, true);
    st.bReadPending = false;
    if (read) OnRecord(st, bytes);
    st.bReadWanted = true;
    io.rxEvent.Set();  // the next read starts at once
}

void GiveUpFrame(RtdState& st, int64_t now) {
    const int64_t lost = CountRtdLost();
    LogPrint(3, "Timeout waiting for packet %" PRId64 ", seq %d, lost packets %" PRId64 "\n",
             st.i64SentCount, int{seqNo.load()}, lost);
    LogEvent(2, "Timeout waiting for packet %" PRId64 ", seq %d, lost packets %" PRId64 "\n",
             st.i64SentCount, int{seqNo.load()}, lost);
    st.bOutstanding = false;
    st.bPaced = true;
    st.i64ReferenceUsecs = now;
    UpdateRTDStats(nullptr, RTD_KIND_LOST);
}

void OnTimeout(RtdState& st) {
    const int64_t now = NowUsecs();
    if (Overdue(st, now)) {
        GiveUpFrame(st, now);
    } else if (!st.bPaced || st.bOutstanding) {
        return;
    }
    const uint32_t txDelayMs = g_Settings.uTxDelayMs;
    if (st.bSendWanted || now - st.i64ReferenceUsecs <= int64_t{txDelayMs} * 1000) return;
    LogPrint(4, "Timeout, send next packet\n");
    RequestNextFrame(st);
    if (txDelayMs == 0) st.bPaced = false;
}

// Registers the receive event as the port's arrival event; its completion
// signals the event and so starts the first read.
void RegisterArrivalEvent(const RtdState& st) {
    RtdIo& io = g_RtdIo;
    io.portEventOv.Clear();
    io.portEventOv.hEvent = &io.rxEvent;
    uint32_t bytes = 0;
    Driver().DeviceIoControl(st.hPort, IOCTL_SET_PORT_EVENT, nullptr, 0, nullptr, 0, &bytes,
                             &io.portEventOv);
}

RtdState StartState() {
    const TestSettings& s = g_Settings;
    RtdState st;
    st.hPort = g_hPort;
    st.uFrameLength = s.uDataLength < kMaxFrameLength ? s.uDataLength : kMaxFrameLength;
    st.uRxTimeoutMs = s.uRxTimeoutMs != 0 ? s.uRxTimeoutMs : kRtdDefaultRxTimeoutMs;
    st.bPaced = s.uTxDelayMs != 0;
    st.i64ReferenceUsecs = NowUsecs();
    return st;
}

// True while the loop goes on: until the stop, and then while the frame in
// flight may still come back.
bool KeepRunning(RtdState& st) {
    if (!g_bRTDStop) return true;
    if (!st.bOutstanding) return false;
    const int64_t now = NowUsecs();
    if (st.i64StopSeenUsecs == 0) st.i64StopSeenUsecs = now;
    const int64_t grace = std::min<int64_t>(kStopGraceUsecs, int64_t{st.uRxTimeoutMs} * 1000);
    if (now - st.i64StopSeenUsecs <= grace) return true;
    LogPrint(3, "RoundTripDelayThread, packet %" PRId64 " still out at the stop, not counted\n",
             st.i64SentCount);
    st.bOutstanding = false;
    UncountRtdSent();
    UpdateRTDStats(nullptr, RTD_KIND_LOST);
    return false;
}

// No frame back at all is a test that never reached its far end; some lost
// is one that did not hold.
void NoteDelayTestOutcome() {
    const RtdStats st = RtdStatsSnapshot();
    if (st.i64RxPackets == 0)
        NoteSyncOutcome(SyncOutcome::kNeverFound);
    else if (st.i64LostPackets > 0)
        NoteSyncOutcome(SyncOutcome::kLost);
}

void RunLoop(RtdState& st) {
    RtdIo& io = g_RtdIo;
    while (KeepRunning(st)) {
        const uint32_t wait = platform::WaitForEvents({&io.txEvent, &io.rxEvent}, kWaitMs);
        if (wait == platform::kWaitObject0)
            OnTxEvent(st);
        else if (wait == platform::kWaitObject0 + 1)
            OnRxEvent(st);
        else if (wait == platform::kWaitTimeout)
            OnTimeout(st);
        else
            LogPrint(1, "RoundTripDelayThread, Unexpected Event, error %d\n",
                     static_cast<int>(platform::GetLastError()));
    }
}

}  // namespace

uint32_t RoundTripDelayThread() {
    g_RtdIo.txEvent.Set();
    g_RtdIo.rxEvent.Reset();
    ResetRtdStats();
    LogPrint(3, "Starting RoundTripDelayThread\n");
    RtdState st = StartState();
    if (card::GetDriver() != nullptr && st.hPort != card::kInvalidHandle) {
        RegisterArrivalEvent(st);
        g_bRTDRunning = true;
        RunLoop(st);
    }
    g_bRTDRunning = false;
    LogPrint(3, "RoundTripDelayThread Exit\n");
    OutputRTDStats();
    if (dwStatus == STATUS_OK) NoteDelayTestOutcome();
    PushQuitKey();
    return 1;
}
