#include "gui/bert_messenger.h"

#include <algorithm>
#include <new>

#include "log/log.h"
#include "platform/last_error.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kReadClearBytes = 20;
// Bounds the final write-out, so that a front end that stopped reading
// cannot hold the program's end.
constexpr uint32_t kFinalWriteMs = 1000;
constexpr uint32_t kOpenWaitMs = 2000;

enum WaitIndex : uint32_t { kStop, kConnectKick, kReadDone, kTxRequest, kWriteDone };

}  // namespace

struct BertMessenger::PipeEvents {
    platform::Event connectKick{false, false};
    platform::Event readDone{false, false};
    platform::Event writeDone{false, false};
};

BertMessenger::BertMessenger() = default;

BertMessenger::~BertMessenger() {
    LogPrint(4, "~BertMessenger\n");
    Stop();
}

bool BertMessenger::Start() {
    const size_t words = (RingBlockSize(kMessengerRingBytes) + 3) / 4;
    m_pRingBlock.reset(new (std::nothrow) uint32_t[words]);
    if (!m_pRingBlock) {
        LogPrint(1, "Unable to allocate tx fifo\n");
        return false;
    }
    m_pRing = RingInit(m_pRingBlock.get(), kMessengerRingBytes);
    m_hStop = std::make_unique<platform::Event>(true, false);
    m_hTxRequest = std::make_unique<platform::Event>(false, false);
    m_hOpenTried = std::make_unique<platform::Event>(true, false);
    if (!platform::StartThread(m_hThread, [this] { IPCThread(); })) {
        LogPrint(1, "Failed to start IPC thread");
        return false;
    }
    platform::WaitForEvent(*m_hOpenTried, kOpenWaitMs);
    return true;
}

void BertMessenger::Stop() {
    if (m_hStop) m_hStop->Set();
    platform::JoinThread(m_hThread);
}

void BertMessenger::SendRecord(uint16_t tag, const uint8_t* value, uint8_t length) {
    uint8_t record[kTlvRecordSize];
    EncodeTlv(tag, value, length, record);
    bool queued;
    {
        std::lock_guard<std::mutex> lock(m_SendLock);
        queued = RingWrite(m_pRing, record, kTlvRecordSize, kMessengerRingBytes);
    }
    if (queued && m_hTxRequest) m_hTxRequest->Set();
}

uint32_t BertMessenger::IPCThread() {
    PipeEvents events;
    uint32_t stopCode = 0;
    Lock();
    LogPrint(3, "IPCThread started\n");
    if (!m_Pipe.Open(kFrontEndPipeName)) {
        LogPrint(1, "CreateFile failed, GLE=%d\n", static_cast<int>(platform::GetLastError()));
        Unlock();
        stopCode = kStopCodePipeAbsent;
    } else {
        events.connectKick.Set();
        m_bConnected = true;
        Connected();
        Unlock();
        m_hOpenTried->Set();
        ServePipe(events);
    }
    Lock();
    m_bConnected = false;
    LogPrint(3, "IPCThread stopped\n");
    Stopping(stopCode);
    Unlock();
    // An absent front end has ended the test by now.
    m_hOpenTried->Set();
    return 1;
}

void BertMessenger::ServePipe(PipeEvents& events) {
    platform::Event* waits[] = {m_hStop.get(), &events.connectKick, &events.readDone,
                                m_hTxRequest.get(), &events.writeDone};
    for (;;) {
        const uint32_t which = platform::WaitForEventArray(waits, 5, platform::kInfinite);
        bool disconnect = false;
        Lock();
        switch (which) {
            case kConnectKick:
                LogPrint(3, "zvbert is now connected\n");
                disconnect = !StartReading(events);
                break;
            case kReadDone:
                ReadDone();
                disconnect = !StartReading(events);
                break;
            case kTxRequest:
                LogPrint(5, "Tx Request\n");
                disconnect = !WriteMore(events);
                break;
            case kWriteDone:
                WriteDone();
                disconnect = !WriteMore(events);
                break;
            default:  // the stop, or a wait that failed
                disconnect = true;
                break;
        }
        Unlock();
        if (!disconnect) continue;
        if (which == kStop) WriteOutQueue(events);
        m_Pipe.Close();
        return;
    }
}

bool BertMessenger::StartReading(PipeEvents& events) {
    LogPrint(4, "Reading... (maxlen=%u)\n", kPipeChunkBytes);
    std::fill(m_abReadBuffer, m_abReadBuffer + kReadClearBytes, 0);
    if (m_Pipe.StartRead(m_abReadBuffer, kPipeChunkBytes, &events.readDone)) return true;
    LogPrint(3, "zvbert is now disconnected\n");
    return false;
}

// Records may arrive in pieces: the assembler keeps a piece until the rest
// comes, so no record is ever parsed from stale bytes.
void BertMessenger::ReadDone() {
    uint32_t bytes = 0;
    if (!m_Pipe.ReadResult(&bytes)) {
        LogPrint(1, "IPC:Read Error\n");
        return;
    }
    LogPrint(4, "Read complete: len=%u\n", bytes);
    LogPrint(4, "pByte=%p\n", static_cast<void*>(m_abReadBuffer));
    TlvFeedResult fed = m_Assembler.Feed(m_abReadBuffer, bytes, [this](const TlvRecord& record) {
        LogPrint(4, "ptlv=%p msgLen=%u\n", static_cast<const void*>(&record),
                 record.uLength + kTlvHeaderSize);
        MessageReceived(record.uTag, record.uLength, record.abValue);
    });
    if (fed.bBadLength)
        LogPrint(1, "IPC:Bad record length %u, %u bytes dropped\n", fed.uBadLength, fed.uDropped);
}

void BertMessenger::WriteDone() {
    uint32_t bytes = 0;
    if (m_Pipe.WriteResult(&bytes)) {
        LogPrint(5, "Write complete: len=%u\n", bytes);
        m_bWritePending = false;
    } else {
        // The flag stays set: nothing more goes to a pipe that failed.
        LogPrint(1, "Write Error1\n");
    }
}

bool BertMessenger::WriteMore(PipeEvents& events) {
    if (m_bWritePending) return true;
    uint32_t count = kPipeChunkBytes;
    bool drained = false;
    if (!RingRead(m_pRing, m_abWriteBuffer, &count, &drained)) return true;
    LogPrint(5, "Writing... (len=%u)\n", count);
    DumpHex(m_abWriteBuffer, count);
    m_bWritePending = true;
    if (m_Pipe.StartWrite(m_abWriteBuffer, count, &events.writeDone)) return true;
    LogPrint(1, "Write Error2 GLE=%d\n", static_cast<int>(platform::GetLastError()));
    return false;
}

// The last messages (the exit status above all) are queued just before the
// stop; they still go out, within a bound.
void BertMessenger::WriteOutQueue(PipeEvents& events) {
    for (;;) {
        if (m_bWritePending) {
            if (platform::WaitForEvent(events.writeDone, kFinalWriteMs) != platform::kWaitObject0)
                return;
            Lock();
            WriteDone();
            Unlock();
            if (m_bWritePending) return;
        }
        if (RingHeld(m_pRing) == 0) return;
        Lock();
        const bool writing = WriteMore(events);
        Unlock();
        if (!writing) return;
    }
}
