// The request calls of a backend that plays the card itself (a simulated
// card, serial ports standing in for card ports): each request is looked
// up, admitted and served by its port under the backend's one lock, and
// handed back to the program as the real driver's calls would, with the
// lock released. A backend says which port a handle names, which requests
// it turns away, and what to wake once a request is in.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>

#include "card/driver.h"
#include "card/request_check.h"

namespace card {

// One open port of an emulating backend. Every call runs under the
// backend's lock; nowNs is the backend's clock at the request.
class EmulatedPort {
   public:
    virtual ~EmulatedPort() = default;
    // A control request checked against the contract (sizes, buffers, a
    // started port) before the port's own Dispatch serves it.
    IoResult Control(uint32_t code, const void* in, uint32_t inLength, void* out,
                     uint32_t outLength, Overlapped* ov, int64_t nowNs);
    virtual IoResult Read(void* buffer, uint32_t length, Overlapped* ov, int64_t nowNs) = 0;
    virtual IoResult Write(const void* buffer, uint32_t length, Overlapped* ov, int64_t nowNs) = 0;
    // Completes every pending request with status; the handle stays open.
    virtual void Cancel(uint32_t status) = 0;
    // SetupComm: the receive queue holds at least inQueue bytes.
    virtual void SetQueueSize(uint32_t inQueue) = 0;

   protected:
    // Done for a control code this port serves, else its refusal; asked
    // before the contract's checks.
    virtual IoResult Serves(uint32_t /*code*/) const { return IoResult::Done(); }
    virtual bool Started() const = 0;
    // Whether the card takes serial records of version 5.
    virtual bool SerialVersion5() const = 0;
    // The card-information, port-configuration and serial-configuration
    // reads, once the version the program asks for is known to be one the
    // card answers.
    virtual IoResult ReadVersioned(uint32_t code, uint8_t* out, uint32_t outLength) = 0;
    // A request that passed every check: the buffers are there and as long
    // as the code's record.
    virtual IoResult Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                              uint32_t outLength, Overlapped* ov, int64_t nowNs) = 0;
};

class EmulatedDriver : public Driver {
   public:
    bool DeviceIoControl(PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned,
                         Overlapped* ov) final;
    bool ReadFile(PortHandle handle, void* buffer, uint32_t length, uint32_t* bytesRead,
                  Overlapped* ov) final;
    bool WriteFile(PortHandle handle, const void* buffer, uint32_t length, uint32_t* bytesWritten,
                   Overlapped* ov) final;
    bool CancelIo(PortHandle handle) final;
    bool SetupComm(PortHandle handle, uint32_t inQueue, uint32_t outQueue) final;

   protected:
    enum class Request { kControl, kRead, kWrite, kCancel, kSetup };

    // Under the lock: the port a request on handle goes to, or nullptr with
    // *error set to the request's failure (kErrorInvalidHandle for a handle
    // that is not open). code is the control code of kControl, else 0.
    virtual EmulatedPort* Admit(PortHandle handle, Request request, uint32_t code,
                                uint32_t* error) = 0;
    // Under the lock: fails a request Admit turned away. A backend may keep
    // one pending instead (a driver that never answers).
    virtual bool Refuse(PortHandle handle, uint32_t error, Overlapped* ov);
    // Under the lock, once the port has served the request: whether the
    // backend's own thread must be woken (Wake, called without the lock).
    virtual bool NeedsWake(Request request, uint32_t code, EmulatedPort& port,
                           const IoResult& result) = 0;
    virtual void Wake() = 0;
    virtual int64_t NowNs() const;

    // Sets the last error and returns false, as a refused call does.
    static bool Fail(uint32_t error);
    // Ends the backend's own thread: stopping_ set under the lock, the
    // thread woken and joined.
    void StopThread(std::thread& thread);

    mutable std::mutex mutex_;
    bool stopping_ = false;  // under mutex_

   private:
    template <typename Serve>
    bool Run(PortHandle handle, Request request, uint32_t code, uint32_t* bytes, Overlapped* ov,
             Serve serve);
};

}  // namespace card
