// Child processes and temporary folders on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e_support/e2e_support.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<std::string> BuildEnvironment(const RunOptions& options) {
    std::vector<std::string> env;
    auto overridden = [&options](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('='));
        for (const auto& unset : options.unsetEnv)
            if (unset == name) return true;
        for (const auto& [setName, value] : options.setEnv)
            if (setName == name) return true;
        return false;
    };
    for (char** p = environ; *p != nullptr; ++p)
        if (!overridden(*p)) env.emplace_back(*p);
    for (const auto& [name, value] : options.setEnv) env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, char** argv, char** envp, const int (&fds)[3],
                            const char* workDir) {
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int i = 0; i < 3; ++i) dup2(fds[i], i);
    if (workDir != nullptr && chdir(workDir) != 0) _exit(126);
    execve(program, argv, envp);
    _exit(127);
}

bool MakePipe(int (&fds)[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const RunOptions& options) {
    // A child that ends before reading its stdin must not take the test down.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argTexts{program};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = BuildEnvironment(options);
    std::vector<char*> argv = PointersTo(argTexts);
    std::vector<char*> envp = PointersTo(envTexts);
    int in[2], out[2], err[2];
    if (!MakePipe(in)) return;
    if (!MakePipe(out) || !MakePipe(err)) {
        close(in[0]);
        close(in[1]);
        return;
    }
    const char* workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();
    pid_ = fork();
    if (pid_ == 0)
        ExecChild(program.c_str(), argv.data(), envp.data(), {in[0], out[1], err[1]}, workDir);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    stderrFd_ = err[0];
    if (pid_ < 0) {
        CloseFd(stdinFd_);
        CloseFd(stdoutFd_);
        CloseFd(stderrFd_);
        return;
    }
    if (!options.stdinText.empty()) Type(options.stdinText);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        Reap(true);
    }
    CloseFd(stdinFd_);
    CloseFd(stdoutFd_);
    CloseFd(stderrFd_);
}

bool ChildProcess::Type(const std::string& text) {
    size_t done = 0;
    while (stdinFd_ >= 0 && done < text.size()) {
        ssize_t n = write(stdinFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return stdinFd_ >= 0;
}

void ChildProcess::CloseStdin() { CloseFd(stdinFd_); }

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

bool ChildProcess::Pump(int waitMs) {
    struct pollfd fds[2] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}};
    std::string* sinks[2] = {&result_.out, &result_.err};
    int* owners[2] = {&stdoutFd_, &stderrFd_};
    if (stdoutFd_ < 0 && stderrFd_ < 0) return false;
    if (poll(fds, 2, waitMs) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0)
            sinks[i]->append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            CloseFd(*owners[i]);
    }
    return stdoutFd_ >= 0 || stderrFd_ >= 0;
}

bool ChildProcess::Reap(bool block) {
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done != pid_) return false;
    exited_ = true;
    if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
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
            kill(pid_, SIGKILL);
            Reap(true);
            break;
        }
        if (!Pump(left < 20 ? left : 20)) {
            if (!Reap(false)) usleep(1000);
        } else {
            Reap(false);
        }
    }
    while (Pump(100)) {
    }
    return result_;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ondrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

}  // namespace e2e
