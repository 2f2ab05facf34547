#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace platform {

namespace {

std::atomic<int> g_stopSignals{0};

void CountSignal(int) { g_stopSignals.fetch_add(1); }

}  // namespace

int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 std::string* error) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // The child gets the default signal handling back, whatever this process set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (failed == 0) return pid;
    if (error) *error = program + ": " + std::strerror(failed);
    return -1;
}

bool WaitProcess(int pid, int timeoutMs, int* exitCode) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        if (done < 0 && errno != EINTR) return false;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void InterruptProcess(int pid) {
    if (pid > 0) kill(pid, SIGINT);
}

void CountStopSignals() {
    struct sigaction action {};
    action.sa_handler = CountSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int StopSignalCount() { return g_stopSignals.load(); }

int CurrentProcessId() { return int(getpid()); }

std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string folder(path, static_cast<size_t>(n));
    return folder.substr(0, folder.rfind('/') + 1);
}

}  // namespace platform
