// What a driver backend checks of a request before it acts on it: that the
// card knows the control code, that the buffers have the sizes the code's
// record has, and that the port has been started where the request needs it.
// The driver's error codes for what does not fit are the same on every
// backend; a backend refuses the requests it does not serve before this.
#pragma once

#include <cstdint>
#include <deque>

#include "card/driver.h"

namespace card {

// Outcome of one request: completed at once, left pending, or refused.
struct IoResult {
    enum Kind { kDone, kPending, kFailed };
    Kind kind = kDone;
    uint32_t error = 0;
    uint32_t bytes = 0;

    static IoResult Done(uint32_t bytes = 0) { return {kDone, 0, bytes}; }
    static IoResult Pending() { return {kPending, 0, 0}; }
    static IoResult Failed(uint32_t error) { return {kFailed, error, 0}; }
};

// A request a backend left pending: the program's record and buffer, kept
// until the request is completed, exactly once.
struct PendingRequest {
    Overlapped* ov = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t done = 0;  // bytes already on the line (transmits)
};

// Completes a pending request with status and byte count, signals its event
// and forgets it.
void CompleteRequest(PendingRequest& io, uint32_t status, uint32_t bytes);
// Completes every request of list with status and what each had done.
void CompleteRequests(std::deque<PendingRequest>& list, uint32_t status);

// Done when the request fits the contract, else the driver's error.
IoResult CheckRequest(uint32_t code, uint32_t inLength, uint32_t outLength, bool started);
// CheckRequest, and a buffer behind every length that is not zero.
IoResult CheckControl(uint32_t code, const void* in, uint32_t inLength, const void* out,
                      uint32_t outLength, bool started);

// Hands an outcome to the program as the driver's calls do: true with the
// byte count (and the caller's record completed and signalled) when done,
// else false with the last error set (pending, or the refusal's code).
bool FinishRequest(const IoResult& result, uint32_t* bytes, Overlapped* ov);

}  // namespace card
