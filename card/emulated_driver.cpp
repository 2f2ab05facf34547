#include "card/emulated_driver.h"

#include "card/emulation.h"
#include "card/ioctl.h"
#include "card/wire_layout.h"
#include "platform/last_error.h"
#include "platform/sync.h"

namespace card {

IoResult EmulatedPort::Control(uint32_t code, const void* in, uint32_t inLength, void* out,
                               uint32_t outLength, Overlapped* ov, int64_t nowNs) {
    IoResult fits = Serves(code);
    if (fits.kind == IoResult::kDone)
        fits = CheckControl(code, in, inLength, out, outLength, Started());
    if (fits.kind == IoResult::kFailed) return fits;
    auto* record = static_cast<uint8_t*>(out);
    if (code == IOCTL_READ_CARD_INFO || code == IOCTL_GET_PORT_CONFIG ||
        code == IOCTL_GET_SERIAL_CONFIG) {
        IoResult known = CheckRecordVersion(code, wire::LoadU32(record, 0), SerialVersion5());
        if (known.kind == IoResult::kFailed) return known;
        return ReadVersioned(code, record, outLength);
    }
    return Dispatch(code, static_cast<const uint8_t*>(in), inLength, record, outLength, ov, nowNs);
}

void EmulatedDriver::StopThread(std::thread& thread) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    Wake();
    if (thread.joinable()) thread.join();
}

bool EmulatedDriver::Fail(uint32_t error) {
    platform::SetLastError(error);
    return false;
}

int64_t EmulatedDriver::NowNs() const { return platform::MonotonicNs(); }

bool EmulatedDriver::Refuse(PortHandle /*handle*/, uint32_t error, Overlapped* /*ov*/) {
    return Fail(error);
}

template <typename Serve>
bool EmulatedDriver::Run(PortHandle handle, Request request, uint32_t code, uint32_t* bytes,
                         Overlapped* ov, Serve serve) {
    IoResult result;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t error = 0;
        EmulatedPort* port = Admit(handle, request, code, &error);
        if (port == nullptr) return Refuse(handle, error, ov);
        result = serve(*port, NowNs());
        wake = NeedsWake(request, code, *port, result);
    }
    if (wake) Wake();
    return FinishRequest(result, bytes, ov);
}

bool EmulatedDriver::DeviceIoControl(PortHandle handle, uint32_t code, const void* in,
                                     uint32_t inLength, void* out, uint32_t outLength,
                                     uint32_t* bytesReturned, Overlapped* ov) {
    return Run(handle, Request::kControl, code, bytesReturned, ov,
               [&](EmulatedPort& port, int64_t nowNs) {
                   return port.Control(code, in, inLength, out, outLength, ov, nowNs);
               });
}

bool EmulatedDriver::ReadFile(PortHandle handle, void* buffer, uint32_t length, uint32_t* bytesRead,
                              Overlapped* ov) {
    return Run(handle, Request::kRead, 0, bytesRead, ov, [&](EmulatedPort& port, int64_t nowNs) {
        return port.Read(buffer, length, ov, nowNs);
    });
}

bool EmulatedDriver::WriteFile(PortHandle handle, const void* buffer, uint32_t length,
                               uint32_t* bytesWritten, Overlapped* ov) {
    return Run(
        handle, Request::kWrite, 0, bytesWritten, ov,
        [&](EmulatedPort& port, int64_t nowNs) { return port.Write(buffer, length, ov, nowNs); });
}

// Neither call completes a request of its own: no record, no byte count.
bool EmulatedDriver::CancelIo(PortHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t error = 0;
    EmulatedPort* port = Admit(handle, Request::kCancel, 0, &error);
    if (port == nullptr) return Fail(error);
    port->Cancel(platform::kErrorOperationAborted);
    return true;
}

bool EmulatedDriver::SetupComm(PortHandle handle, uint32_t inQueue, uint32_t /*outQueue*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t error = 0;
    EmulatedPort* port = Admit(handle, Request::kSetup, 0, &error);
    if (port == nullptr) return Fail(error);
    port->SetQueueSize(inQueue);
    return true;
}

}  // namespace card
