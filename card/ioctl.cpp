#include "card/ioctl.h"

#include <cstdio>
#include <memory>

#include "core/run_state.h"
#include "platform/last_error.h"

int DriverIoctl(card::PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                void* out, uint32_t outLength, uint32_t* bytesReturned, uint32_t timeoutMs,
                platform::Event* event) {
    card::Driver* driver = card::GetDriver();
    if (driver == nullptr) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return 0;
    }
    uint32_t count = bytesReturned ? *bytesReturned : 0;
    std::unique_ptr<platform::Event> ownEvent;
    if (event == nullptr) {
        ownEvent = std::make_unique<platform::Event>(false, false);
        event = ownEvent.get();
    }
    // Lives on the stack until the request is over: after a time-out the
    // cancellation completes it before GetOverlappedResult returns.
    card::Overlapped ov;
    ov.hEvent = event;
    bool ok = driver->DeviceIoControl(handle, code, in, inLength, out, outLength, &count, &ov);
    if (ok || platform::GetLastError() == platform::kErrorIoPending) {
        const unsigned held = ok ? 0 : g_csGlobal.LeaveAll();
        if (platform::WaitForEvent(*event, timeoutMs) != platform::kWaitObject0) {
            fputs("!!! Timeout !!!\n", stdout);
            fflush(stdout);
            driver->CancelIo(handle);
        }
        ok = card::GetOverlappedResult(handle, &ov, &count, true);
        g_csGlobal.EnterAgain(held);
    }
    if (bytesReturned) *bytesReturned = count;
    return ok ? 1 : 0;
}
