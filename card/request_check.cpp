#include "card/request_check.h"

#include "card/driver_error.h"
#include "card/ioctl.h"
#include "platform/event.h"
#include "platform/last_error.h"

namespace card {
namespace {

constexpr uint32_t kAnyLength = 0xFFFFFFFFu;  // any non-zero length

struct RequestSizes {
    uint32_t code;
    uint32_t in;   // input length, 0 for none
    uint32_t out;  // output length, 0 for none
    bool needsStart;
};

constexpr RequestSizes kRequests[] = {
    {IOCTL_SET_PORT_EVENT, 0, 0, false},
    {IOCTL_SET_V24, 1, 0, false},
    {IOCTL_TRANSMIT_DATA, kAnyLength, 0, true},
    {IOCTL_TX_INVERT_CHANGED, 0, 0, false},
    {IOCTL_GET_V24, 0, 0, false},
    {IOCTL_RECEIVE_DATA, 0, kAnyLength, true},
    {IOCTL_READ_INTERFACE_RECORD, 0, kInterfaceRecordSize, false},
    {IOCTL_READ_CARD_INFO, 0, kCardInfoSize, false},
    {IOCTL_START_PORT, 0, 0, false},
    {IOCTL_RESET_STATS, 0, 0, false},
    {IOCTL_SET_PORT_CONFIG, kPortConfigSize, 0, false},
    {IOCTL_GET_PORT_CONFIG, 0, kPortConfigSize, false},
    {IOCTL_SET_SERIAL_CONFIG, kSerialConfigSize, 0, false},
    {IOCTL_GET_SERIAL_CONFIG, 0, kSerialConfigSize, false},
    {IOCTL_START_MONITORING, 4, 0, false},
    {IOCTL_INJECT_ERRORS, 4, 0, false},
    {IOCTL_SET_DELAY_MODE, 4, 0, false},
    {IOCTL_SET_INVERSION, 4, 0, false},
    {IOCTL_SET_BERT_CONFIG, kBertConfigSize, 0, false},
    {IOCTL_RESET_BERT, 0, 0, false},
};

bool LengthFits(uint32_t expected, uint32_t given) {
    return expected == kAnyLength ? given != 0 : given == expected;
}

}  // namespace

IoResult CheckRequest(uint32_t code, uint32_t inLength, uint32_t outLength, bool started) {
    for (const RequestSizes& sizes : kRequests) {
        if (sizes.code != code) continue;
        if (!LengthFits(sizes.in, inLength)) return IoResult::Failed(ZV_ERROR_INVALID_INPUT_LENGTH);
        if (!LengthFits(sizes.out, outLength))
            return IoResult::Failed(ZV_ERROR_INVALID_OUTPUT_LENGTH);
        if (sizes.needsStart && !started) return IoResult::Failed(ZV_ERROR_CARD_NOT_STARTED);
        return IoResult::Done();
    }
    return IoResult::Failed(ZV_ERROR_INVALID_IOCTL);
}

void CompleteRequest(PendingRequest& io, uint32_t status, uint32_t bytes) {
    Overlapped* ov = io.ov;
    platform::Event* event = ov->hEvent;
    ov->InternalHigh.store(bytes);
    ov->Internal.store(status);
    if (event) event->Set();
    io = PendingRequest{};
}

void CompleteRequests(std::deque<PendingRequest>& list, uint32_t status) {
    for (auto& io : list) CompleteRequest(io, status, io.done);
    list.clear();
}

bool FinishRequest(const IoResult& result, uint32_t* bytes, Overlapped* ov) {
    switch (result.kind) {
        case IoResult::kDone:
            if (bytes) *bytes = result.bytes;
            if (ov) {
                platform::Event* event = ov->hEvent;
                ov->InternalHigh.store(result.bytes);
                ov->Internal.store(0);
                if (event) event->Set();
            }
            platform::SetLastError(platform::kErrorSuccess);
            return true;
        case IoResult::kPending:
            platform::SetLastError(platform::kErrorIoPending);
            return false;
        case IoResult::kFailed:
        default:
            platform::SetLastError(result.error);
            return false;
    }
}

IoResult CheckControl(uint32_t code, const void* in, uint32_t inLength, const void* out,
                      uint32_t outLength, bool started) {
    IoResult sizes = CheckRequest(code, inLength, outLength, started);
    if (sizes.kind == IoResult::kFailed) return sizes;
    if ((inLength && in == nullptr) || (outLength && out == nullptr))
        return IoResult::Failed(platform::kErrorInvalidParameter);
    return sizes;
}

}  // namespace card
