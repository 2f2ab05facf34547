#include "log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "core/settings.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/last_error.h"

namespace {

constexpr size_t kPathRoom = 260;

// Open, size test, rotation, write and close happen as one sequence, so two
// threads never rotate the same file twice or write into a closed one.
std::recursive_mutex g_fileLock;
bool g_pathsBuilt = false;
std::string g_logPath;
std::string g_backupPath;
FILE* g_logFile = nullptr;

bool LevelPasses(unsigned level) { return level <= g_Settings.uVerbosity; }

// vsnprintf cuts a message longer than the buffer; it never writes past it.
void Format(char* buf, const char* format, va_list args) {
    if (vsnprintf(buf, kLogMessageSize, format, args) < 0) buf[0] = '\0';
}

void WriteConsole(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

void WriteDebugger(const char* text) {
    if (g_Settings.bDebugOutput) platform::DebugOutput(text);
}

void BuildPaths() {
    char folder[kPathRoom + 1];
    char name[64];
    snprintf(name, sizeof name, "zvbert%u.%u", g_Settings.uCard, g_Settings.uPort);
    std::string base;
    if (platform::GetEnvironment("ZVBERTLOGPATH", folder, sizeof folder)) {
        base = std::string(folder) + "/" + name;
    } else {
        std::string home = platform::HomeFolder();
        if (home.size() > kPathRoom) home.resize(kPathRoom);
        base = home + "/My Documents/" + name;
    }
    g_logPath = base + ".log";
    g_backupPath = base + ".bak.log";
    g_pathsBuilt = true;
}

bool g_writeFailureReported = false;

// The console still has every line; the log's reader must learn that the
// file does not, and why, but not at every line.
void ReportWriteFailure(int error) {
    if (g_writeFailureReported || !LevelPasses(1)) return;
    g_writeFailureReported = true;
    char line[kPathRoom + 160];
    snprintf(line, sizeof line, "Log file %s could not be written (errno %d, %s)\n",
             g_logPath.c_str(), error, strerror(error));
    WriteConsole(line);
    WriteDebugger(line);
}

void WriteFile(const char* text) {
    std::lock_guard<std::recursive_mutex> lock(g_fileLock);
    FILE* f = OpenLogFile();
    if (f == nullptr) return;
    errno = 0;
    bool written = fputs(text, f) >= 0;
    written = fflush(f) == 0 && written;
    const int error = errno;
    CloseLogFile();
    if (!written) ReportWriteFailure(error != 0 ? error : EIO);
}

}  // namespace

// Only a regular file is logged into: a FIFO or a device would stall every
// thread that logs an event.
static FILE* OpenLog() {
    platform::FileProblem problem;
    return platform::OpenRegularFile(g_logPath.c_str(), "a", &problem);
}

FILE* OpenLogFile() {
    std::lock_guard<std::recursive_mutex> lock(g_fileLock);
    if (g_logFile) return g_logFile;
    if (!g_pathsBuilt) BuildPaths();
    g_logFile = OpenLog();
    if (!g_logFile) return nullptr;
    fseek(g_logFile, 0, SEEK_END);
    long size = ftell(g_logFile);
    if (g_Settings.iMaxLogSize != 0 && size > g_Settings.iMaxLogSize) {
        fclose(g_logFile);
        remove(g_backupPath.c_str());
        rename(g_logPath.c_str(), g_backupPath.c_str());
        g_logFile = OpenLog();
    }
    return g_logFile;
}

void CloseLogFile() {
    std::lock_guard<std::recursive_mutex> lock(g_fileLock);
    if (g_logFile) {
        fclose(g_logFile);
        g_logFile = nullptr;
    }
}

void ResetLogPaths() {
    std::lock_guard<std::recursive_mutex> lock(g_fileLock);
    CloseLogFile();
    g_pathsBuilt = false;
    g_writeFailureReported = false;
}

const char* LogTimestamp() {
    thread_local char stamp[32];
    platform::FormatLocalTime("%d %b %Y %H:%M:%S", stamp, sizeof stamp);
    return stamp;
}

void LogPrint(unsigned level, const char* format, ...) {
    if (!LevelPasses(level)) return;
    char msg[kLogMessageSize];
    va_list args;
    va_start(args, format);
    Format(msg, format, args);
    va_end(args);
    WriteConsole(msg);
    WriteDebugger(msg);
}

void LogData(unsigned level, const char* format, ...) {
    if (!g_Settings.bDataLogging || !LevelPasses(level)) return;
    char msg[kLogMessageSize];
    va_list args;
    va_start(args, format);
    Format(msg, format, args);
    va_end(args);
    WriteConsole(msg);
    WriteFile(msg);
    WriteDebugger(msg);
}

void LogEvent(unsigned level, const char* format, ...) {
    if (!g_Settings.bDataLogging || !LevelPasses(level)) return;
    char msg[kLogMessageSize];
    va_list args;
    va_start(args, format);
    Format(msg, format, args);
    va_end(args);
    char line[kLogMessageSize + 40];
    snprintf(line, sizeof line, "%s: %s", LogTimestamp(), msg);
    WriteConsole(line);
    snprintf(line, sizeof line, "%s: %s", LogTimestamp(), msg);
    WriteFile(line);
    WriteDebugger(msg);
}

void DumpHex(const void* data, uint32_t length) {
    if (length == 0 || !LevelPasses(5)) return;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (uint32_t row = 0; row < length; row += 16) {
        LogPrint(5, "%04X : ", row);
        for (uint32_t col = 0; col < 16; ++col) {
            if (row + col < length)
                LogPrint(5, "%02X ", bytes[row + col]);
            else
                LogPrint(5, "   ");
        }
        for (uint32_t col = 0; col < 16 && row + col < length; ++col) {
            unsigned char c = bytes[row + col];
            LogPrint(5, "%c", (c >= 0x20 && c <= 0x7A) ? c : '.');
        }
        LogPrint(5, "\n");
    }
}
