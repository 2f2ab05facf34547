#include "platform/environment.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace platform {

bool GetEnvironment(const char* name, char* buf, size_t cap) {
    if (cap == 0) return false;
    buf[0] = '\0';
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return false;
    size_t n = std::strlen(value);
    if (n >= cap) n = cap - 1;
    std::memcpy(buf, value, n);
    buf[n] = '\0';
    return true;
}

void DebugOutput(const char* text) { syslog(LOG_DEBUG, "%s", text); }

void FormatLocalTime(const char* format, char* buf, size_t cap) {
    std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (std::strftime(buf, cap, format, &local) == 0 && cap > 0) buf[0] = '\0';
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    return home ? std::string(home) : std::string();
}

}  // namespace platform
