#include "platform/last_error.h"

#include <cstring>

namespace platform {

std::string SystemErrorText(uint32_t code) {
    std::string known = KnownSystemErrorText(code);
    if (!known.empty()) return known;
    if ((code & 0xFFFF0000u) == kErrnoCodeBit) {
        char buffer[256];
        // The GNU strerror_r may return its own static text instead of filling buffer.
        const char* text = strerror_r(int(code & 0xFFFF), buffer, sizeof buffer);
        return std::string(text) + "\r\n";
    }
    return std::string();
}

}  // namespace platform
