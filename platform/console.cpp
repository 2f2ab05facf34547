#include "platform/console.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace platform {
namespace {

std::mutex g_keyLock;
std::deque<int> g_pushed;
bool g_stdinEnded = false;
volatile sig_atomic_t g_signalKeys = 0;
volatile sig_atomic_t g_termSaved = 0;
struct termios g_savedTerm;

void RestoreTerminal() {
    if (g_termSaved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerm);
        g_termSaved = 0;
    }
}

// The first signal asks the test to end as 'x' would, so the final report and
// exit code still come; a second one means the user insists.
void OnStopSignal(int sig) {
    if (g_signalKeys > 0) {
        RestoreTerminal();
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    g_signalKeys = g_signalKeys + 1;
}

void OnFatalSignal(int sig) {
    RestoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

bool StdinHasByte() {
    if (g_stdinEnded) return false;
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

}  // namespace

void ConsoleInit() {
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &g_savedTerm) == 0) {
        struct termios raw = g_savedTerm;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        g_termSaved = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        std::atexit(ConsoleRestore);
    }
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = OnFatalSignal;
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &sa, nullptr);
}

void ConsoleRestore() { RestoreTerminal(); }

bool KeyWaiting() {
    std::lock_guard<std::mutex> lock(g_keyLock);
    if (!g_pushed.empty() || g_signalKeys == 1) return true;
    return StdinHasByte();
}

int ReadKey() {
    std::lock_guard<std::mutex> lock(g_keyLock);
    if (g_signalKeys == 1) {
        g_signalKeys = 2;  // later signals terminate at once
        return 'x';
    }
    if (!g_pushed.empty()) {
        int key = g_pushed.front();
        g_pushed.pop_front();
        return key;
    }
    if (g_stdinEnded) return -1;
    unsigned char c = 0;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    g_stdinEnded = true;
    return -1;
}

void PushKey(int key) {
    std::lock_guard<std::mutex> lock(g_keyLock);
    g_pushed.push_back(key);
}

}  // namespace platform
