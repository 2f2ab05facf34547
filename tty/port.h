// One open serial port behind the driver contract: its requests, its
// records, and the transfers between the program's requests and the device.
//
// Everything here runs under the driver's lock, on the thread that made a
// request or on the driver thread (Transfer). A pending request keeps the
// program's Overlapped record and buffer until it is completed, exactly once,
// under the lock; after that nothing of it is touched again.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "card/driver.h"
#include "card/emulated_driver.h"
#include "card/emulation.h"
#include "card/records.h"
#include "card/request_check.h"
#include "platform/event.h"
#include "tty/device.h"
#include "tty/line_settings.h"

namespace tty {

using card::IoResult;

class TtyPort : public card::EmulatedPort {
   public:
    // Takes the open device; plus: reads return bare data, not records in a ring.
    TtyPort(int fd, bool plus, int64_t epochNs);
    ~TtyPort();
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    int fd() const { return fd_; }
    bool removed() const { return removed_; }
    bool started() const { return started_ && !removed_; }

    IoResult Read(void* buffer, uint32_t length, card::Overlapped* ov, int64_t nowNs) override;
    IoResult Write(const void* buffer, uint32_t length, card::Overlapped* ov,
                   int64_t nowNs) override;
    void SetQueueSize(uint32_t inQueue) override { rxQueue_.SetWish(inQueue); }
    // Completes every pending request with status.
    void Cancel(uint32_t status) override;
    // The device is gone: pending requests fail, later ones too.
    void Remove();

    // What the driver thread waits for: POLLIN while started, POLLOUT while
    // the kernel has refused bytes; and by when the pacing lets more out
    // (INT64_MAX: nothing waits to be sent).
    short PollEvents() const;
    int64_t NextTransmitNs(int64_t nowNs) const;
    // One turn of the driver thread: what arrived in, what is due out. False
    // when the device has gone.
    bool Transfer(short revents, int64_t nowNs);

   private:
    using Pending = card::PendingRequest;

    IoResult Serves(uint32_t code) const override;
    bool Started() const override { return started_; }
    IoResult Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                      uint32_t outLength, card::Overlapped* ov, int64_t nowNs) override;
    IoResult Start(int64_t nowNs);
    bool SerialVersion5() const override { return true; }
    IoResult ReadVersioned(uint32_t code, uint8_t* out, uint32_t outLength) override;
    IoResult QueueTransmit(const uint8_t* data, uint32_t length, card::Overlapped* ov);
    IoResult ReceiveData(uint8_t* out, uint32_t outLength);
    void FillInterfaceRecord(uint8_t* out);
    void SetV24(uint8_t lines);

    bool Receive();
    bool Transmit(int64_t nowNs);
    uint64_t CharsAllowed(int64_t nowNs);
    void MoveToOutput(uint64_t count);
    void Deliver(const uint8_t* data, uint32_t count);
    void ServeReads();
    uint32_t RecordLimit() const;
    size_t QueueLimit() const;
    uint32_t StampMs() const;

    const int fd_;
    const bool plus_;
    const int64_t epochNs_;
    int64_t nowNs_ = 0;  // of the current request or turn, for time stamps

    ZvPortConfig portConfig_{};
    ZvSerialConfig serialConfig_{};
    LineSettings line_;
    bool started_ = false;
    bool removed_ = false;
    platform::Event* portEvent_ = nullptr;
    uint32_t inversion_ = 0;
    uint32_t injectPending_ = 0;

    KernelCounters counterBase_;
    KernelCounters lastCounters_;
    uint32_t changeWord_ = 0;
    uint32_t overruns_ = 0;  // received bytes the program had no room for

    // Transmit pacing: a tty paces itself, a pseudo-terminal does not, so
    // bytes go out no faster than the line rate would carry them.
    int64_t paceStartNs_ = 0;
    uint64_t charsPaced_ = 0;
    std::deque<Pending> transmits_;
    std::vector<uint8_t> output_;  // prepared for the line, not yet taken by the kernel

    std::vector<uint8_t> readBuffer_;
    std::deque<Pending> reads_;
    card::ReceiveRing ring_;
    card::ReceiveQueue rxQueue_;
};

}  // namespace tty
