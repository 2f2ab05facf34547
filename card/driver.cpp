#include "card/driver.h"

#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/sync.h"

namespace card {
namespace {
std::unique_ptr<Driver> g_driver;
}

Driver* GetDriver() { return g_driver.get(); }
void SetDriver(std::unique_ptr<Driver> driver) { g_driver = std::move(driver); }

bool GetOverlappedResult(PortHandle /*handle*/, Overlapped* ov, uint32_t* bytes, bool wait) {
    while (ov->Internal.load() == STATUS_PENDING) {
        if (!wait) {
            platform::SetLastError(platform::kErrorIoIncomplete);
            return false;
        }
        // The event may be auto-reset and already consumed by another waiter,
        // so the status word, not the event, decides when the wait is over.
        if (ov->hEvent)
            platform::WaitForEvent(*ov->hEvent, 10);
        else
            platform::SleepMs(1);
    }
    if (bytes) *bytes = ov->InternalHigh.load();
    uint32_t status = ov->Internal.load();
    if (status != 0) {
        platform::SetLastError(status);
        return false;
    }
    return true;
}

bool WaitForRequest(Overlapped* ov, uint32_t timeoutMs) {
    const int64_t deadlineNs = platform::MonotonicNs() + int64_t(timeoutMs) * 1000000;
    while (!HasOverlappedIoCompleted(*ov)) {
        const int64_t leftNs = deadlineNs - platform::MonotonicNs();
        if (leftNs <= 0) return false;
        if (ov->hEvent == nullptr) {
            platform::SleepMs(1);
            continue;
        }
        const auto leftMs = uint32_t((leftNs + 999999) / 1000000);
        // Signalled with the request still pending: the signal was another's,
        // and a completion from now on sets the event again.
        if (platform::WaitForEvent(*ov->hEvent, leftMs) == platform::kWaitObject0 &&
            !HasOverlappedIoCompleted(*ov))
            ov->hEvent->Reset();
    }
    return true;
}

}  // namespace card
