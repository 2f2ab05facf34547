#include "platform/process.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>

namespace platform {

namespace {

std::atomic<int> g_stopSignals{0};

// Handles of the children started here, by id: the id alone could be reused
// by an unrelated process once the child has ended.
std::mutex g_childLock;
std::map<int, HANDLE> g_children;

BOOL WINAPI CountCtrlEvent(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        g_stopSignals.fetch_add(1);
        return TRUE;
    }
    return FALSE;
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
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string SystemText(DWORD code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    return text;
}

}  // namespace

int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 std::string* error) {
    std::string commandLine = Quoted(program);
    for (const std::string& arg : args) commandLine += " " + Quoted(arg);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    // Its own process group, so that InterruptProcess can reach it alone.
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &child)) {
        if (error) *error = program + ": " + SystemText(::GetLastError());
        return -1;
    }
    CloseHandle(child.hThread);
    std::lock_guard<std::mutex> lock(g_childLock);
    g_children[int(child.dwProcessId)] = child.hProcess;
    return int(child.dwProcessId);
}

bool WaitProcess(int pid, int timeoutMs, int* exitCode) {
    HANDLE process;
    {
        std::lock_guard<std::mutex> lock(g_childLock);
        auto found = g_children.find(pid);
        if (found == g_children.end()) return false;
        process = found->second;
    }
    if (WaitForSingleObject(process, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs)) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    *exitCode = int(code);
    std::lock_guard<std::mutex> lock(g_childLock);
    g_children.erase(pid);
    CloseHandle(process);
    return true;
}

void InterruptProcess(int pid) {
    if (pid > 0) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, DWORD(pid));
}

void CountStopSignals() { SetConsoleCtrlHandler(CountCtrlEvent, TRUE); }

int StopSignalCount() { return g_stopSignals.load(); }

int CurrentProcessId() { return int(GetCurrentProcessId()); }

std::string ProgramFolder() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

}  // namespace platform
