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
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/event.h"

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

inline bool HasOverlappedIoCompleted(const Overlapped& ov) { return ov.Internal.load() != STATUS_PENDING; }

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
    virtual std::vector<CardInterface> EnumerateInterfaces() = 0;

    virtual PortHandle Open(const std::string& path) = 0;
    virtual bool Close(PortHandle handle) = 0;

    virtual bool DeviceIoControl(PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                                 void* out, uint32_t outLength, uint32_t* bytesReturned,
                                 Overlapped* ov) = 0;
    virtual bool ReadFile(PortHandle handle, void* buffer, uint32_t length, uint32_t* bytesRead,
                          Overlapped* ov) = 0;
    virtual bool WriteFile(PortHandle handle, const void* buffer, uint32_t length,
                           uint32_t* bytesWritten, Overlapped* ov) = 0;
    virtual bool CancelIo(PortHandle handle) = 0;
    virtual bool SetupComm(PortHandle handle, uint32_t inQueue, uint32_t outQueue) = 0;

    // Called on a driver thread when the device behind an open handle goes
    // away (query-remove, remove-pending or remove-complete). The handle stays
    // valid to close; every request on it fails from then on.
    using RemovalHandler = std::function<void(PortHandle)>;
    virtual void SetRemovalHandler(RemovalHandler handler) = 0;

    // Called on a driver thread when a card interface arrives or leaves.
    using InterfaceHandler = std::function<void(const CardInterface&, bool arrived)>;
    virtual void SetInterfaceHandler(InterfaceHandler handler) = 0;
};

// The backend in use; SetDriver installs one (the main flow installs the
// simulated driver unless a real one is present).
Driver* GetDriver();
void SetDriver(std::unique_ptr<Driver> driver);

// Collects a request's result: with wait, blocks until it is no longer
// pending. False with the request's error as last error (kErrorIoIncomplete
// while still pending without wait).
bool GetOverlappedResult(PortHandle handle, Overlapped* ov, uint32_t* bytes, bool wait);

}  // namespace card
