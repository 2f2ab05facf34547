// Leveled logging to the console, the rotating log file and the debugger
// channel. Level 1 errors and warnings, 2 results, 3 details, 4 traces,
// 5 raw data; a message is output when its level is not above -v.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#define ONDREL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

void LogPrint(unsigned level, const char* format, ...) ONDREL_PRINTF(2, 3);
void LogData(unsigned level, const char* format, ...) ONDREL_PRINTF(2, 3);
void LogEvent(unsigned level, const char* format, ...) ONDREL_PRINTF(2, 3);
void DumpHex(const void* data, uint32_t length);
// Current local time as "%d %b %Y %H:%M:%S"; the buffer is the calling
// thread's own and is overwritten by its next call.
const char* LogTimestamp();

FILE* OpenLogFile();
void CloseLogFile();

// For tests: forget the built log paths so the next write builds them anew.
void ResetLogPaths();

constexpr size_t kLogMessageSize = 512;
