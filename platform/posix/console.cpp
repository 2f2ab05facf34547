#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace platform {
namespace {

// Touched from signal handlers, which may run on any thread: lock-free atomics
// are both signal-safe and free of data races.
static_assert(std::atomic<int>::is_always_lock_free);

enum SignalKeyState { kNoSignal = 0, kSignalKeyPending = 1, kSignalKeyTaken = 2 };

std::mutex g_keyLock;
std::deque<int> g_pushed;
bool g_inputEnded = false;
std::atomic<int> g_inputFd{STDIN_FILENO};
std::atomic<int> g_signalKey{kNoSignal};
std::atomic<int> g_termSaved{0};
std::atomic<bool> g_initialised{false};
struct termios g_savedTerm;
// Written by PushKey and the stop signals so a waiting key loop wakes at once
// instead of polling; both ends non-blocking.
int g_wakePipe[2] = {-1, -1};
std::once_flag g_wakePipeOnce;

void OpenWakePipe() {
    if (pipe(g_wakePipe) != 0) {
        g_wakePipe[0] = g_wakePipe[1] = -1;
        return;
    }
    for (int fd : g_wakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

void WakeKeyWaiter() {
    std::call_once(g_wakePipeOnce, OpenWakePipe);
    if (g_wakePipe[1] >= 0) {
        char one = 1;
        ssize_t ignored = write(g_wakePipe[1], &one, 1);
        (void)ignored;
    }
}

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kEndingSignals[] = {SIGHUP,  SIGQUIT, SIGABRT, SIGPIPE, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGXCPU, SIGSYS};
constexpr int kMaxSignal = 65;
struct sigaction g_previous[kMaxSignal];

void RestoreTerminal() {
    if (g_termSaved.exchange(0) != 0) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerm);
}

void RaiseWithPreviousHandler(int sig) {
    sigaction(sig, &g_previous[sig], nullptr);
    raise(sig);
}

// The first signal asks the test to end as 'x' would, so the final report and
// exit code still come; a further one means the user insists.
void OnStopSignal(int sig) {
    int expected = kNoSignal;
    if (g_signalKey.compare_exchange_strong(expected, kSignalKeyPending)) {
        if (g_wakePipe[1] >= 0) {
            char one = 1;
            ssize_t ignored = write(g_wakePipe[1], &one, 1);  // async-signal-safe
            (void)ignored;
        }
        return;
    }
    RestoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

// A real fault re-executes its instruction on return and so reaches the
// previous handler (a sanitizer's, for one) with its own details; one sent by
// kill() has to be raised again.
void OnFaultSignal(int sig, siginfo_t* info, void*) {
    RestoreTerminal();
    if (info != nullptr && info->si_code > 0) {
        sigaction(sig, &g_previous[sig], nullptr);
        return;
    }
    RaiseWithPreviousHandler(sig);
}

void OnEndingSignal(int sig) {
    RestoreTerminal();
    RaiseWithPreviousHandler(sig);
}

// Installs the handler unless the signal was ignored when the process started.
bool KeepPrevious(int sig) {
    struct sigaction previous;
    if (sigaction(sig, nullptr, &previous) != 0) return false;
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) return false;
    g_previous[sig] = previous;
    return true;
}

void Install(int sig, void (*handler)(int), int flags) {
    if (!KeepPrevious(sig)) return;
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sa.sa_flags = flags;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void InstallFaultHandler(int sig) {
    if (!KeepPrevious(sig)) return;
    struct sigaction sa = {};
    sa.sa_sigaction = OnFaultSignal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// A background process leaves the terminal alone: changing it would stop the
// process (SIGTTOU), and its keys belong to the foreground job anyway.
void MakeTerminalRaw() {
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
    if (tcgetattr(STDIN_FILENO, &g_savedTerm) != 0) return;
    struct termios raw = g_savedTerm;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_termSaved = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

bool InputHasByte() {
    if (g_inputEnded) return false;
    struct pollfd p = {g_inputFd.load(), POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

}  // namespace

void ConsoleInit() {
    if (g_initialised.exchange(true)) return;
    std::call_once(g_wakePipeOnce, OpenWakePipe);  // before the handlers use it
    MakeTerminalRaw();
    std::atexit(ConsoleRestore);
    // Restarted system calls keep the stop signals from failing other
    // threads' reads and writes with EINTR.
    Install(SIGINT, OnStopSignal, SA_RESTART);
    Install(SIGTERM, OnStopSignal, SA_RESTART);
    for (int sig : kFaultSignals) InstallFaultHandler(sig);
    for (int sig : kEndingSignals) Install(sig, OnEndingSignal, 0);
    // A file that may grow no more is a write that fails and is reported by
    // its writer (the log file, a capture); the test goes on.
    signal(SIGXFSZ, SIG_IGN);
}

void ConsoleRestore() { RestoreTerminal(); }

bool KeyWaiting() {
    std::lock_guard<std::mutex> lock(g_keyLock);
    if (!g_pushed.empty() || g_signalKey == kSignalKeyPending) return true;
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
    if (!InputHasByte()) return -1;
    unsigned char c = 0;
    ssize_t n = read(g_inputFd.load(), &c, 1);
    if (n == 1) return c;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return -1;
    g_inputEnded = true;
    return -1;
}

void PushKey(int key) {
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        g_pushed.push_back(key);
    }
    WakeKeyWaiter();
}

void WaitForKeyActivity(int timeoutMs) {
    std::call_once(g_wakePipeOnce, OpenWakePipe);
    struct pollfd fds[2];
    nfds_t count = 0;
    if (g_wakePipe[0] >= 0) fds[count++] = {g_wakePipe[0], POLLIN, 0};
    bool inputOpen;
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        inputOpen = !g_inputEnded;
    }
    if (inputOpen) fds[count++] = {g_inputFd.load(), POLLIN, 0};
    if (poll(fds, count, timeoutMs) > 0 && g_wakePipe[0] >= 0 && (fds[0].revents & POLLIN)) {
        char drain[64];
        while (read(g_wakePipe[0], drain, sizeof drain) > 0) {
        }
    }
}

void ConsoleUseInput(int fd) {
    std::lock_guard<std::mutex> lock(g_keyLock);
    g_inputFd = fd;
    g_inputEnded = false;
    g_pushed.clear();
}

}  // namespace platform
