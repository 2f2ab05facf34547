// Process environment and the debugger output channel.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Copies the variable into buf (room for cap bytes, terminator included),
// cutting a longer value; false and an empty buf when it is unset or empty.
bool GetEnvironment(const char* name, char* buf, size_t cap);

// The debugger channel: syslog at debug level. Never stdout.
void DebugOutput(const char* text);

// Local time through strftime into buf.
void FormatLocalTime(const char* format, char* buf, size_t cap);

// The folder that stands for the Windows home drive and path.
std::string HomeFolder();

}  // namespace platform
