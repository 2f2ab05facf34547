// The driver contract: everything the program asks of the card's driver.
//
// One device per card port, opened by path ("<interface path>/<port>" and the
// same with "+" appended), exclusively, for overlapped I/O. Backends: the
// simulated Zorvan driver (sim/, the default) and, on Windows, the real one.
//
// Requests and who waits for whom:
//
//   program                          driver
//   -------                          ------
//   Overlapped ov{.hEvent = e}
//   DeviceIoControl/ReadFile/WriteFile(h, ..., &ov)
//     -> true   completed at once: ov.Internal = 0, ov.InternalHigh = bytes,
//               e is signalled as well
//     -> false, last error kErrorIoPending: the driver owns the request and
//               the buffers; ov.Internal == STATUS_PENDING until it ends
//                                    ... later, on a driver thread:
//                                    ov.InternalHigh = bytes; ov.Internal =
//                                    status (0 success, else an error code);
//                                    then e.Set()
//     -> false, any other last error: refused, nothing is pending
//   GetOverlappedResult(&ov, &bytes, wait)
//   CancelIo(h): every request of the handle still pending completes with
//               kErrorOperationAborted before CancelIo returns; after it the
//               driver no longer touches their buffers.
//   Close(h):   cancels as CancelIo, then frees the port for the next Open.
//
// Requests of one handle complete in the order they were queued, per kind
// (transmits in order, reads in order). Failures return false and set the
// thread's last error (platform/last_error.h): system codes, or the driver's
// own 0xE0000001..0xE0000008 (card/driver_error.h).
//
// For a backend author. The records are defined once, in card/records.h
// (the program's structs) and card/wire_layout.h (the same fields as byte
// offsets); card/request_check.h checks every control request and
// card/emulation.h has what a backend that emulates a card on other
// hardware needs (the receive ring writer, the receive queue, the pending
// requests, the record version checks). A backend derives from Driver and
// overrides what it serves; the rest answers kErrorNotSupported. One that
// plays the card itself derives from card::EmulatedDriver
// (card/emulated_driver.h), which serves the request calls under one lock
// and checks each control request before the port's own handling.
//
// The two handles of a port. "<path>/<port>" is the data handle: a ReadFile
// on it hands the driver the receive ring (the buffer is the ring block, see
// card::ReceiveRing for who owns which index) and stays pending until
// CancelIo; the driver writes every received run of characters or frame into
// it as one receive record (ReceiveRecordHeader, then the data). The
// "<path>/<port>+" handle is read without a ring: in framed mode each read
// returns one whole record (header, then the frame); in the character modes
// a read returns the bare characters, no header; a card running its BERT
// engine returns one statistics record (kBertStatsRecordSize bytes) a read.
// Data that arrives while no read or ring waits is queued (ReceiveData takes
// it too), up to the port's receive buffers or the SetupComm size; what does
// not fit is dropped and counted as an overrun (COUNTER_RXO).
//
// Control codes (card/ioctl.h; the sizes are card/request_check.cpp's):
//   SetPortEvent         the event of the request's Overlapped is set whenever
//                        data arrived; completes at once
//   SetV24               raise the V24_RTS / V24_DTR outputs of the byte
//   TransmitData         send the input buffer; pending until it is on the line
//   TxInvertChanged      notice that the program inverts its transmit data; no effect
//   GetV24               accepted; the signals come with ReadInterfaceRecord
//   ReceiveData          take queued received data into the output buffer,
//                        at most kReceiveDataMax; done with 0 bytes when none
//   ReadInterfaceRecord  fill an InterfaceRecord (signals, error counters)
//   ZorvanReadCardInfo, ZorvanGetPortConfig, ZorvanGetSerialConfig: fill the
//                        record whose version the program put in its first
//                        word (CheckRecordVersion); the other words are the
//                        driver's and are written back by the program as read
//   StartPort            start the port with the configuration written
//   ZorvanResetStats     zero the interface record's counters
//   SetPortConfig, SetSerialConfig: take the record (before StartPort)
//   StartMonitoring      1 on, 0 off; accepted
//   InjectErrors         flip one bit in each of the next 1..8 characters sent
//   SetDelayMode         framed mode: a transmit record for each frame sent
//   SetInversion         INVERSION_RX / INVERSION_TX of the word
//   SetBERTConfig, ZorvanResetBERT: the card's BERT engine
//
// Errors, the same on every backend:
//   a code the card does not know or serve      ZV_ERROR_INVALID_IOCTL
//   a buffer of the wrong size for the code     ZV_ERROR_INVALID_INPUT_LENGTH /
//                                               ZV_ERROR_INVALID_OUTPUT_LENGTH
//   data before StartPort                       ZV_ERROR_CARD_NOT_STARTED
//   a transmit or read longer than the port     ZV_ERROR_INVALID_LENGTH
//     takes, a read shorter than one record
//   a record version the backend does not fill  kErrorNotSupported
//   a missing Overlapped or buffer, a bad ring  kErrorInvalidParameter
//   a start the hardware cannot do              kErrorNotSupported (or the system's error)
//   the device went away                        kErrorDeviceRemoved
//   a request cancelled by CancelIo or Close    kErrorOperationAborted
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/last_error.h"

namespace card {

using PortHandle = intptr_t;
constexpr PortHandle kInvalidHandle = -1;

constexpr uint32_t STATUS_PENDING = 0x103;

struct Overlapped {
    std::atomic<uint32_t> Internal{0};      // status while and after the request runs
    std::atomic<uint32_t> InternalHigh{0};  // bytes transferred
    platform::Event* hEvent = nullptr;

    // Zeroes the record for a new request, keeping nothing.
    void Clear() {
        Internal = 0;
        InternalHigh = 0;
        hEvent = nullptr;
    }
};

inline bool HasOverlappedIoCompleted(const Overlapped& ov) {
    return ov.Internal.load() != STATUS_PENDING;
}

// One card device interface as discovery lists it, with the values of the
// card's driver key. Absent values are empty optionals.
struct CardInterface {
    std::string path;
    std::string description;
    std::optional<uint32_t> ports;
    std::optional<std::string> deviceName;
    std::optional<std::string> miniportInstance;
    std::optional<std::string> netCfgInstanceId;
};

class Driver {
   public:
    virtual ~Driver() = default;

    // Every card device interface known to the driver, present or not.
    virtual std::vector<CardInterface> EnumerateInterfaces() { return {}; }

    virtual PortHandle Open(const std::string& path) = 0;
    virtual bool Close(PortHandle handle) = 0;

    virtual bool DeviceIoControl(PortHandle handle, uint32_t code, const void* in,
                                 uint32_t inLength, void* out, uint32_t outLength,
                                 uint32_t* bytesReturned, Overlapped* ov) = 0;
    virtual bool ReadFile(PortHandle handle, void* buffer, uint32_t length, uint32_t* bytesRead,
                          Overlapped* ov) = 0;
    virtual bool WriteFile(PortHandle handle, const void* buffer, uint32_t length,
                           uint32_t* bytesWritten, Overlapped* ov) = 0;
    virtual bool CancelIo(PortHandle handle) = 0;
    // Not served by this base: false with kErrorNotSupported.
    virtual bool SetupComm(PortHandle /*handle*/, uint32_t /*inQueue*/, uint32_t /*outQueue*/) {
        platform::SetLastError(platform::kErrorNotSupported);
        return false;
    }

    // Called on a driver thread when the device behind an open handle goes
    // away (query-remove, remove-pending or remove-complete). The handle stays
    // valid to close; every request on it fails from then on.
    using RemovalHandler = std::function<void(PortHandle)>;
    // A backend whose devices cannot go away ignores it.
    virtual void SetRemovalHandler(RemovalHandler /*handler*/) {}

    // Called on a driver thread when a card interface arrives or leaves.
    using InterfaceHandler = std::function<void(const CardInterface&, bool arrived)>;
    virtual void SetInterfaceHandler(InterfaceHandler /*handler*/) {}
};

// The backend in use; SetDriver installs one (the main flow installs the
// simulated driver unless a real one is present).
Driver* GetDriver();
void SetDriver(std::unique_ptr<Driver> driver);

// Collects a request's result: with wait, blocks until it is no longer
// pending. False with the request's error as last error (kErrorIoIncomplete
// while still pending without wait).
bool GetOverlappedResult(PortHandle handle, Overlapped* ov, uint32_t* bytes, bool wait);

// Waits up to timeoutMs for the request of ov to be over; false while it is
// still pending then. The status word decides, not the event: the completion
// of the record's previous request may signal the event just after the
// program reset it for this one. The event must be the record's own: a
// signal found while the request is pending is reset.
bool WaitForRequest(Overlapped* ov, uint32_t timeoutMs);

}  // namespace card
