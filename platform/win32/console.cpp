#include "platform/console.h"

#include <conio.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>

namespace platform {
namespace {

// Where the keys come from: the console itself (keys without echo through
// _kbhit/_getch), a pipe (bytes, checked with PeekNamedPipe), a file (bytes
// until its end), or nothing at all.
enum class Source { kNone, kConsole, kPipe, kFile };

enum SignalKeyState { kNoSignal = 0, kSignalKeyPending = 1, kSignalKeyTaken = 2 };

std::mutex g_keyLock;
std::deque<int> g_pushed;
bool g_inputEnded = false;
Source g_source = Source::kNone;
HANDLE g_input = INVALID_HANDLE_VALUE;
std::atomic<int> g_signalKey{kNoSignal};
std::atomic<bool> g_initialised{false};
// Set by PushKey and by Ctrl-C so that a waiting key loop wakes at once.
HANDLE g_wake = nullptr;
std::once_flag g_wakeOnce;

void MakeWakeEvent() { g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr); }

HANDLE WakeEvent() {
    std::call_once(g_wakeOnce, MakeWakeEvent);
    return g_wake;
}

Source SourceOf(HANDLE input) {
    if (input == INVALID_HANDLE_VALUE || input == nullptr) return Source::kNone;
    DWORD mode = 0;
    switch (GetFileType(input)) {
        case FILE_TYPE_CHAR:
            return GetConsoleMode(input, &mode) ? Source::kConsole : Source::kFile;
        case FILE_TYPE_PIPE:
            return Source::kPipe;
        case FILE_TYPE_DISK:
            return Source::kFile;
        default:
            return Source::kNone;
    }
}

void UseInput(HANDLE input) {
    g_input = input;
    g_source = SourceOf(input);
    g_inputEnded = g_source == Source::kNone;
}

// The first Ctrl-C or Ctrl-Break asks the test to end as 'x' would, so the
// final report and exit code still come; a further one means the user
// insists, and the system's own handler ends the process.
BOOL WINAPI OnCtrlEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    int expected = kNoSignal;
    if (g_signalKey.compare_exchange_strong(expected, kSignalKeyPending)) {
        SetEvent(WakeEvent());
        return TRUE;
    }
    return FALSE;
}

// Caller holds g_keyLock.
bool InputHasByte() {
    if (g_inputEnded) return false;
    switch (g_source) {
        case Source::kConsole:
            return _kbhit() != 0;
        case Source::kPipe: {
            DWORD available = 0;
            if (PeekNamedPipe(g_input, nullptr, 0, nullptr, &available, nullptr))
                return available > 0;
            return true;  // the writer has gone: the read sees the end
        }
        case Source::kFile:
            return true;
        case Source::kNone:
            return false;
    }
    return false;
}

// Caller holds g_keyLock and has seen InputHasByte.
int ReadInputByte() {
    if (g_source == Source::kConsole) return _getch();
    unsigned char c = 0;
    DWORD got = 0;
    if (ReadFile(g_input, &c, 1, &got, nullptr) && got == 1) return c;
    g_inputEnded = true;
    return -1;
}

}  // namespace

void ConsoleInit() {
    if (g_initialised.exchange(true)) return;
    WakeEvent();
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        if (g_source == Source::kNone && !g_inputEnded) UseInput(GetStdHandle(STD_INPUT_HANDLE));
    }
    SetConsoleCtrlHandler(OnCtrlEvent, TRUE);
}

// The console's modes are left alone: _getch reads without echo by itself.
void ConsoleRestore() {}

bool KeyWaiting() {
    std::lock_guard<std::mutex> lock(g_keyLock);
    if (!g_pushed.empty() || g_signalKey == kSignalKeyPending) return true;
    if (g_source == Source::kNone && !g_inputEnded) UseInput(GetStdHandle(STD_INPUT_HANDLE));
    return InputHasByte();
}

int ReadKey() {
    std::lock_guard<std::mutex> lock(g_keyLock);
    int expected = kSignalKeyPending;
    if (g_signalKey.compare_exchange_strong(expected, kSignalKeyTaken)) return 'x';
    if (!g_pushed.empty()) {
        int key = g_pushed.front();
        g_pushed.pop_front();
        return key;
    }
    if (g_source == Source::kNone && !g_inputEnded) UseInput(GetStdHandle(STD_INPUT_HANDLE));
    if (!InputHasByte()) return -1;
    return ReadInputByte();
}

void PushKey(int key) {
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        g_pushed.push_back(key);
    }
    SetEvent(WakeEvent());
}

void WaitForKeyActivity(int timeoutMs) {
    HANDLE wake = WakeEvent();
    Source source;
    HANDLE input;
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        if (!g_pushed.empty() || g_signalKey == kSignalKeyPending) return;
        source = g_inputEnded ? Source::kNone : g_source;
        input = g_input;
        if (source == Source::kFile || (source != Source::kNone && InputHasByte())) return;
    }
    const DWORD timeout = timeoutMs < 0 ? INFINITE : DWORD(timeoutMs);
    if (source == Source::kConsole) {
        // The console's handle is signalled by any input event, a key among them.
        HANDLE handles[2] = {wake, input};
        WaitForMultipleObjects(2, handles, FALSE, timeout);
        return;
    }
    if (source != Source::kPipe) {
        WaitForSingleObject(wake, timeout);
        return;
    }
    // A pipe cannot be waited on for data: look at it between short waits.
    const ULONGLONG until = GetTickCount64() + timeout;
    for (;;) {
        if (WaitForSingleObject(wake, 10) == WAIT_OBJECT_0) return;
        {
            std::lock_guard<std::mutex> lock(g_keyLock);
            if (InputHasByte()) return;
        }
        if (timeoutMs >= 0 && GetTickCount64() >= until) return;
    }
}

void ConsoleUseInput(int fd) {
    std::lock_guard<std::mutex> lock(g_keyLock);
    HANDLE input = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    UseInput(input);
    g_pushed.clear();
}

}  // namespace platform
