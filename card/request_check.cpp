#include "card/request_check.h"

#include "card/driver_error.h"

namespace card {
namespace {

bool LengthFits(uint32_t expected, uint32_t given) {
    return expected == kAnyLength ? given != 0 : given == expected;
}

}  // namespace

IoResult CheckRequest(std::span<const RequestSizes> served, uint32_t code, uint32_t inLength,
                      uint32_t outLength, bool started) {
    for (const RequestSizes& sizes : served) {
        if (sizes.code != code) continue;
        if (!LengthFits(sizes.in, inLength)) return IoResult::Failed(ZV_ERROR_INVALID_INPUT_LENGTH);
        if (!LengthFits(sizes.out, outLength)) return IoResult::Failed(ZV_ERROR_INVALID_OUTPUT_LENGTH);
        if (sizes.needsStart && !started) return IoResult::Failed(ZV_ERROR_CARD_NOT_STARTED);
        return IoResult::Done();
    }
    return IoResult::Failed(ZV_ERROR_INVALID_IOCTL);
}

}  // namespace card
