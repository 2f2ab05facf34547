// One port of a simulated card: its device requests, its records, its
// transmitter and receiver, and the line it is wired to.
//
// Everything here runs under the driver lock, either on the thread that made
// a request or on the driver thread (Tick). A request that pends is kept with
// the program's Overlapped record and buffer; it is completed exactly once,
// under the lock, and after that nothing of it is touched again.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "card/driver.h"
#include "card/emulated_driver.h"
#include "card/emulation.h"
#include "card/request_check.h"
#include "platform/event.h"
#include "sim/bert_engine.h"
#include "sim/bit_clock.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/records.h"

namespace sim {

using card::IoResult;

// The card's clock the time stamps of the records count in: milliseconds,
// wrapping at 2^32, never 0 in the first 49 days (0 reads as "no stamp").
struct CardClock {
    int64_t epochNs = 0;
    uint32_t StampMs(int64_t ns) const { return uint32_t((ns - epochNs) / 1000000 + 1); }
};

// Line bits a frame costs beyond its data: flags, check sequence and stuffing.
constexpr uint32_t kFrameOverheadBits = 55;
constexpr uint32_t kMaxFrameBytes = 8192;
constexpr uint32_t kMaxTransmitBytes = 1u << 20;
// How far a dry transmitter's line time may fall behind before idle fills it.
constexpr int64_t kUnderrunLagNs = 100 * 1000000;

class Port : public card::EmulatedPort {
   public:
    Port(const CardConfig& card, unsigned index, const CardClock& clock);

    bool open() const { return open_; }
    bool plus() const { return plus_; }
    void Open(bool plus);
    // Completes every pending request with status (the handle stays open).
    void Cancel(uint32_t status) override;
    // Keeps a request pending that nothing will ever complete but a cancel.
    void Stall(card::Overlapped* ov);
    // Cancels as aborted and stops the port; the records stay as written.
    void Close();
    // The card went away: pending requests fail, later ones too.
    void Remove();
    bool removed() const { return removed_; }
    // True while the driver thread has work for this port.
    bool active() const { return open_ && started_ && !removed_; }
    // Framed mode: one frame a record.
    bool framed() const;

    // SetupComm: the receive queue holds at least inQueue bytes (up to a cap).
    void SetQueueSize(uint32_t inQueue) override { rxQueue_.SetWish(inQueue); }

    IoResult Read(void* buffer, uint32_t length, card::Overlapped* ov, int64_t nowNs) override;
    IoResult Write(const void* buffer, uint32_t length, card::Overlapped* ov,
                   int64_t nowNs) override;

    // One pacing step of the driver thread.
    void Tick(int64_t nowNs);
    // When this framed port next has something to do between ticks
    // (INT64_MAX: nothing): the last bit of the frame it sends, the arrival
    // of a frame; and the sockets whose input is a frame to take at once.
    int64_t NextDueNs() const;
    void AddWaitSockets(std::vector<int>& sockets) const {
        if (active() && framed()) line_->AddWaitSockets(sockets);
    }

    Line& line() { return *line_; }
    const Line& line() const { return *line_; }

   private:
    using Pending = card::PendingRequest;

    bool Started() const override { return started_; }
    IoResult Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                      uint32_t outLength, card::Overlapped* ov, int64_t nowNs) override;
    bool SerialVersion5() const override { return card_.serialConfigV5; }
    IoResult ReadVersioned(uint32_t code, uint8_t* out, uint32_t outLength) override;
    IoResult SetPortEvent(card::Overlapped* ov);
    IoResult QueueTransmit(const uint8_t* data, uint32_t length, card::Overlapped* ov,
                           int64_t nowNs);
    IoResult ReceiveData(uint8_t* out, uint32_t outLength);
    IoResult SetBertConfig(const uint8_t* config, int64_t nowNs);
    void FillInterfaceRecord(uint8_t* out, int64_t nowNs) const;

    // Line settings from the serial configuration.
    void ApplySerialConfig(int64_t nowNs);
    void RestartLine(int64_t nowNs);
    uint32_t RecordLimit() const;
    size_t QueueLimit() const;
    void MoveQueueToRing();

    void Transmit(int64_t nowNs);
    void TransmitFrames(uint64_t owed);
    void CarryFrame(Pending& io, uint64_t cost);
    void TransmitCharacters(uint64_t owed, std::vector<uint8_t>& out);
    void PrepareForLine(uint8_t* data, size_t count);
    bool IdleFillsLine() const;
    void SendIdle(int64_t nowNs);
    void Receive(int64_t nowNs);
    bool AcceptArrival(LineChunk& chunk);
    void LoopBack(LineChunk chunk);
    void Deliver(const uint8_t* data, size_t count, uint32_t timestamp, uint8_t kind);
    void ServeReads();
    void ServeBertReads();
    void SignalPortEvent();
    void Count(IfCounter counter, uint32_t times = 1);
    void CountLineErrors(const LineChunk& chunk);

    const CardConfig& card_;
    const unsigned index_;
    const CardClock& clock_;

    std::array<uint8_t, 256> portConfig_{};
    std::array<uint8_t, 272> serialConfig_{};
    std::array<uint8_t, 128> bertConfig_{};
    std::array<uint32_t, 11> counters_{};
    uint32_t changeWord_ = 0;

    bool open_ = false;
    bool plus_ = false;
    bool started_ = false;
    bool removed_ = false;
    platform::Event* portEvent_ = nullptr;
    uint8_t v24_ = 0;
    uint32_t inversion_ = 0;
    uint32_t injectPending_ = 0;
    uint32_t delayMode_ = 0;
    uint32_t monitoring_ = 0;
    bool signalDue_ = false;  // data was delivered since the port event was last signalled

    // Line settings.
    uint64_t rate_ = 0;
    uint32_t bitsPerChar_ = 8;
    uint8_t charMask_ = 0xFF;
    bool parity_ = false;
    uint32_t mode_ = 1;
    bool lineClock_ = false;  // the clock comes from the line, not the port

    std::unique_ptr<Line> line_;
    BitClock bitClock_;
    uint64_t txBit_ = 0;         // the next bit time the transmitter may use
    uint64_t idleSinceBit_ = 0;  // bit time of the tick that found the transmit queue run dry
    bool txStarted_ = false;     // data went out since the line started: now its gaps are underruns
    bool underrunCounted_ = false;  // TxU counted for the present dry spell

    std::deque<Pending> transmits_;
    std::deque<Pending> reads_;
    std::deque<Pending> stalled_;  // requests a fault keeps pending
    card::ReceiveRing ring_;
    card::ReceiveQueue rxQueue_;

    std::unique_ptr<BertEngine> bert_;
    std::deque<std::array<uint8_t, kBertRecordBytes>> bertRecords_;
};

}  // namespace sim
