// What a driver backend checks of a request before it acts on it: that the
// card knows the control code, that the buffers have the sizes the code's
// record has, and that the port has been started where the request needs it.
// Each backend lists the requests it serves; the driver's error codes for
// what does not fit are the same on every backend.
#pragma once

#include <cstdint>
#include <span>

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

constexpr uint32_t kAnyLength = 0xFFFFFFFFu;  // any non-zero length

struct RequestSizes {
    uint32_t code;
    uint32_t in;   // input length, 0 for none
    uint32_t out;  // output length, 0 for none
    bool needsStart;
};

// Done when the request fits its entry of served, else the driver's error.
IoResult CheckRequest(std::span<const RequestSizes> served, uint32_t code, uint32_t inLength,
                      uint32_t outLength, bool started);

}  // namespace card
