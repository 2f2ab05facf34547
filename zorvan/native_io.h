// The calls the card's own driver is reached by, one for one with the
// Windows calls on a port device: CreateFileA, DeviceIoControl, ReadFile,
// WriteFile, GetOverlappedResult, CancelIo, SetupComm, CloseHandle, and a
// wait on several requests' events. The backend (zorvan/driver.h) turns the
// driver contract's requests into these and their completions back into the
// contract's records; a test puts a recording of another backend behind
// them, so everything above this line runs without a card.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/driver.h"

namespace zorvan {

using NativeHandle = card::PortHandle;

// One overlapped request's record and its event (manual-reset), owned by the
// backend until the driver has finished with it.
class NativeRequest {
   public:
    virtual ~NativeRequest() = default;
    // Zeroes the record and clears the event, for a new request.
    virtual void Reset() = 0;
    virtual void ClearSignal() = 0;
    virtual void Signal() = 0;
};

enum class IoStart {
    kDone,     // completed at once; *bytes holds the count
    kPending,  // the driver holds the request; its event is set when it ends
    kFailed,   // refused; LastError says why
};

class NativeIo {
   public:
    virtual ~NativeIo() = default;

    virtual std::unique_ptr<NativeRequest> NewRequest() = 0;

    // Exclusive, overlapped; card::kInvalidHandle on failure.
    virtual NativeHandle Open(const std::string& path) = 0;
    virtual void Close(NativeHandle handle) = 0;

    virtual IoStart DeviceIoControl(NativeHandle handle, uint32_t code, const void* in,
                                    uint32_t inLength, void* out, uint32_t outLength,
                                    uint32_t* bytes, NativeRequest& request) = 0;
    virtual IoStart ReadFile(NativeHandle handle, void* buffer, uint32_t length, uint32_t* bytes,
                             NativeRequest& request) = 0;
    virtual IoStart WriteFile(NativeHandle handle, const void* buffer, uint32_t length,
                              uint32_t* bytes, NativeRequest& request) = 0;
    // Without wait: false with kErrorIoIncomplete while the request runs.
    virtual bool GetOverlappedResult(NativeHandle handle, NativeRequest& request, uint32_t* bytes,
                                     bool wait) = 0;
    virtual bool CancelIo(NativeHandle handle) = 0;
    virtual bool SetupComm(NativeHandle handle, uint32_t inQueue, uint32_t outQueue) = 0;

    // Index of a request whose event is set, or -1 after timeoutMs.
    virtual int WaitAny(const std::vector<NativeRequest*>& requests, uint32_t timeoutMs) = 0;

    // The calling thread's error of the last call above, in the contract's
    // numbering (platform/last_error.h).
    virtual uint32_t LastError() = 0;
};

}  // namespace zorvan
