// Child processes and temporary folders on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "tests/e2e_support/e2e_support.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Build paths are the build machine's; under wine its root is drive Z:.
std::string WindowsPath(const std::string& path) {
    std::string converted = !path.empty() && path[0] == '/' ? "Z:" + path : path;
    std::replace(converted.begin(), converted.end(), '/', '\\');
    return converted;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// The block CreateProcess takes: "name=value" texts, each 0-ended, sorted
// by name without regard to case, and a final 0.
std::string BuildEnvironmentBlock(const RunOptions& options) {
    std::vector<std::string> env;
    auto overridden = [&options](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('=', 1));
        for (const auto& unset : options.unsetEnv)
            if (SameName(unset, name)) return true;
        for (const auto& [setName, value] : options.setEnv)
            if (SameName(setName, name)) return true;
        return false;
    };
    char* strings = GetEnvironmentStringsA();
    for (const char* p = strings; p != nullptr && *p != '\0'; p += std::strlen(p) + 1)
        if (!overridden(p)) env.emplace_back(p);
    if (strings != nullptr) FreeEnvironmentStringsA(strings);
    for (const auto& [name, value] : options.setEnv) env.push_back(name + "=" + value);
    std::stable_sort(env.begin(), env.end(), [](const std::string& a, const std::string& b) {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    });
    std::string block;
    for (const std::string& entry : env) block.append(entry).push_back('\0');
    block.push_back('\0');
    return block;
}

// Quotes one argument the way the C runtime's command-line parser reads it back.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// A pipe whose one end (parentEnd) stays here and is not inherited.
bool MakePipe(HANDLE* read, HANDLE* write, bool parentReads) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(read, write, &inherit, 65536)) return false;
    SetHandleInformation(parentReads ? *read : *write, HANDLE_FLAG_INHERIT, 0);
    return true;
}

HANDLE HandleOf(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : HANDLE(_get_osfhandle(fd)); }

int FdOf(HANDLE handle, int flags) { return _open_osfhandle(intptr_t(handle), flags | _O_BINARY); }

void CloseFd(int& fd) {
    if (fd >= 0) _close(fd);
    fd = -1;
}

constexpr DWORD kKilledExitCode = 0x9;
// What RunResult::signal says for a child this side terminated (SIGKILL's number).
constexpr int kKillSignal = 9;

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const RunOptions& options) {
    std::string commandLine = Quoted(WindowsPath(program));
    for (const std::string& arg : args) commandLine += " " + Quoted(arg);
    std::string environment = BuildEnvironmentBlock(options);
    HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!MakePipe(&inRead, &inWrite, false)) return;
    if (!MakePipe(&outRead, &outWrite, true)) {
        CloseHandle(inRead);
        CloseHandle(inWrite);
        return;
    }
    if (!MakePipe(&errRead, &errWrite, true)) {
        for (HANDLE h : {inRead, inWrite, outRead, outWrite}) CloseHandle(h);
        return;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION child{};
    const std::string workDir = WindowsPath(options.workDir);
    const BOOL started = CreateProcessA(
        nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, environment.data(),
        workDir.empty() ? nullptr : workDir.c_str(), &startup, &child);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    stdinFd_ = FdOf(inWrite, _O_WRONLY);
    stdoutFd_ = FdOf(outRead, _O_RDONLY);
    stderrFd_ = FdOf(errRead, _O_RDONLY);
    if (!started) {
        CloseFd(stdinFd_);
        CloseFd(stdoutFd_);
        CloseFd(stderrFd_);
        return;
    }
    CloseHandle(child.hThread);
    pid_ = int(child.dwProcessId);
    processHandle_ = intptr_t(child.hProcess);
    if (!options.stdinText.empty()) Type(options.stdinText);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exited_) {
        TerminateProcess(HANDLE(processHandle_), kKilledExitCode);
        Reap(true);
    }
    if (processHandle_ != 0) CloseHandle(HANDLE(processHandle_));
    CloseFd(stdinFd_);
    CloseFd(stdoutFd_);
    CloseFd(stderrFd_);
}

bool ChildProcess::Type(const std::string& text) {
    size_t done = 0;
    while (stdinFd_ >= 0 && done < text.size()) {
        DWORD written = 0;
        if (!::WriteFile(HandleOf(stdinFd_), text.data() + done, DWORD(text.size() - done),
                         &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
    return stdinFd_ >= 0;
}

void ChildProcess::CloseStdin() { CloseFd(stdinFd_); }

void ChildProcess::Signal(int sig) {
    if (pid_ <= 0 || exited_) return;
    if (sig == kKillSignal) {
        TerminateProcess(HANDLE(processHandle_), kKilledExitCode);
        if (Reap(true)) {
            result_.exitCode = -1;
            result_.signal = kKillSignal;
        }
        return;
    }
    Type("x");
}

// Pipes cannot be polled here: look at each between short waits.
bool ChildProcess::Pump(int waitMs) {
    std::string* sinks[2] = {&result_.out, &result_.err};
    int* owners[2] = {&stdoutFd_, &stderrFd_};
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (stdoutFd_ < 0 && stderrFd_ < 0) return false;
        bool moved = false;
        for (int i = 0; i < 2; ++i) {
            if (*owners[i] < 0) continue;
            HANDLE pipe = HandleOf(*owners[i]);
            DWORD available = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
                CloseFd(*owners[i]);  // the child's end is closed
                moved = true;
                continue;
            }
            if (available == 0) continue;
            char buffer[4096];
            DWORD got = 0;
            const DWORD want = available < sizeof buffer ? available : DWORD(sizeof buffer);
            if (::ReadFile(pipe, buffer, want, &got, nullptr) && got > 0) {
                sinks[i]->append(buffer, got);
            } else {
                CloseFd(*owners[i]);
            }
            moved = true;
        }
        if (moved || RemainingMs(deadline) == 0) return stdoutFd_ >= 0 || stderrFd_ >= 0;
        Sleep(2);
    }
}

bool ChildProcess::Reap(bool block) {
    if (processHandle_ == 0) return false;
    if (WaitForSingleObject(HANDLE(processHandle_), block ? INFINITE : 0) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(HANDLE(processHandle_), &code);
    exited_ = true;
    result_.exitCode = int(code & 0xFF);
    return true;
}

RunResult ChildProcess::Finish(int timeoutMs) {
    CloseStdin();
    if (pid_ <= 0) return result_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
    while (!exited_) {
        int left = RemainingMs(deadline);
        if (left == 0) {
            result_.timedOut = true;
            TerminateProcess(HANDLE(processHandle_), kKilledExitCode);
            Reap(true);
            result_.exitCode = -1;
            result_.signal = kKillSignal;
            break;
        }
        Pump(left < 20 ? left : 20);
        Reap(false);
    }
    while (Pump(100)) {
    }
    return result_;
}

TempDir::TempDir() {
    char base[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base) return;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string candidate =
            std::string(base) + "ondrel-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount64() % 1000000) + "-" + std::to_string(attempt);
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            std::replace(candidate.begin(), candidate.end(), '\\', '/');
            path_ = candidate;
            return;
        }
    }
}

}  // namespace e2e
