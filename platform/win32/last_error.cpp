#include "platform/last_error.h"

#include <windows.h>

#include <cstring>

namespace platform {

std::string SystemErrorText(uint32_t code) {
    if ((code & 0xFFFF0000u) == kErrnoCodeBit) {
        char buffer[256];
        strerror_s(buffer, sizeof buffer, int(code & 0xFFFF));
        std::string text(buffer);
        text.append("\r\n");
        return text;
    }
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
        nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    if (text != nullptr) LocalFree(text);
    return message;
}

}  // namespace platform
