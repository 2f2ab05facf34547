// The transport to the graphical front end: IPCThread connects to the pipe
// the front end created, writes the queued records and hands every record it
// reads to MessageReceived. Sending only queues, so any thread may send.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/byte_ring.h"
#include "core/run_state.h"
#include "gui/sender.h"
#include "gui/tlv.h"
#include "platform/event.h"
#include "platform/pipe.h"

constexpr const char* kFrontEndPipeName = "ZorvanBERTPipe";
constexpr uint32_t kMessengerRingBytes = 32768;
constexpr uint32_t kPipeChunkBytes = 4096;
constexpr uint32_t kStopCodePipeAbsent = STATUS_NO_FRONT_END;

class BertMessenger : public GuiSender {
   public:
    BertMessenger();
    BertMessenger(const BertMessenger&) = delete;
    BertMessenger& operator=(const BertMessenger&) = delete;
    // A derived class calls Stop() in its own destructor: the thread's last
    // calls are to the derived operations.
    ~BertMessenger() override;

    // Returns once the pipe is open or known to be absent (within a bound), so
    // that IsConnected tells the caller how the link stands.
    bool Start();
    // Ends IPCThread, which first writes out what is still queued; safe to
    // repeat.
    void Stop();

    bool IsConnected() const override { return m_bConnected; }
    void SendRecord(uint16_t tag, const uint8_t* value, uint8_t length) override;

   protected:
    virtual void Connected() = 0;
    virtual void MessageReceived(uint32_t tag, uint32_t length, const uint8_t* value) = 0;
    virtual void Stopping(uint32_t stopCode) = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

   private:
    struct PipeEvents;
    uint32_t IPCThread();
    void ServePipe(PipeEvents& events);
    bool StartReading(PipeEvents& events);
    void ReadDone();
    void WriteDone();
    bool WriteMore(PipeEvents& events);
    void WriteOutQueue(PipeEvents& events);

    std::unique_ptr<uint32_t[]> m_pRingBlock;
    ByteRing* m_pRing = nullptr;
    std::unique_ptr<platform::Event> m_hStop;
    std::unique_ptr<platform::Event> m_hTxRequest;
    std::unique_ptr<platform::Event> m_hOpenTried;
    std::thread m_hThread;
    std::atomic<bool> m_bConnected{false};
    std::mutex m_SendLock;  // the senders are many, the ring has one producer

    // IPCThread's own.
    platform::PipeClient m_Pipe;
    TlvAssembler m_Assembler;
    bool m_bWritePending = false;
    uint8_t m_abReadBuffer[kPipeChunkBytes] = {};
    uint8_t m_abWriteBuffer[kPipeChunkBytes] = {};
};
