#include "platform/environment.h"

#include <windows.h>

#include <ctime>
#include <string>

namespace platform {

bool GetEnvironment(const char* name, char* buf, size_t cap) {
    if (cap == 0) return false;
    buf[0] = '\0';
    // The process block, not the C library's copy, so that a variable set
    // through the system is seen as well.
    const DWORD length = GetEnvironmentVariableA(name, nullptr, 0);
    if (length <= 1) return false;  // unset, or set to an empty text
    std::string value(length, '\0');
    const DWORD got = GetEnvironmentVariableA(name, value.data(), length);
    if (got == 0 || got >= length) return false;
    size_t n = got < cap ? got : cap - 1;
    value.copy(buf, n);
    buf[n] = '\0';
    return true;
}

void DebugOutput(const char* text) { OutputDebugStringA(text); }

void FormatLocalTime(const char* format, char* buf, size_t cap) {
    std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_s(&local, &now);
    if (std::strftime(buf, cap, format, &local) == 0 && cap > 0) buf[0] = '\0';
}

std::string HomeFolder() {
    char drive[MAX_PATH];
    char path[MAX_PATH];
    if (GetEnvironment("HOMEDRIVE", drive, sizeof drive) &&
        GetEnvironment("HOMEPATH", path, sizeof path)) {
        std::string home = std::string(drive) + path;
        while (home.size() > 1 && (home.back() == '\\' || home.back() == '/')) home.pop_back();
        return home;
    }
    return GetEnvironment("USERPROFILE", path, sizeof path) ? std::string(path) : std::string();
}

}  // namespace platform
