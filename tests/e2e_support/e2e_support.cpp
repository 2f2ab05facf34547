#include "tests/e2e_support/e2e_support.h"

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

double TimeScale() {
    static const double scale = [] {
        const char* text = std::getenv("ONDREL_TEST_TIME_SCALE");
        if (text == nullptr) return 1.0;
        char* end = nullptr;
        double value = std::strtod(text, &end);
        return end != text && value >= 1.0 && value <= 100.0 ? value : 1.0;
    }();
    return scale;
}

int ScaledMs(int ms) { return static_cast<int>(ms * TimeScale()); }

double ScaledSeconds(double seconds) { return seconds * TimeScale(); }

bool RunResult::HasLine(const std::string& line) const {
    for (const std::string& l : Lines())
        if (l == line) return true;
    return false;
}

bool RunResult::HasEvent(const std::string& text) const {
    for (const std::string& line : Lines()) {
        size_t stamp = EventStampLength(line);
        if (stamp > 0 && line.compare(stamp, std::string::npos, text) == 0) return true;
    }
    return false;
}

size_t EventStampLength(const std::string& line) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // d = digit; the month is checked apart.
    static const char kShape[] = "dd MMM dddd dd:dd:dd: ";
    constexpr size_t kLength = sizeof kShape - 1;
    if (line.size() < kLength) return 0;
    for (size_t i = 0; i < kLength; ++i) {
        const char want = kShape[i];
        const char got = line[i];
        if (want == 'd' ? !std::isdigit(static_cast<unsigned char>(got))
                        : (want != 'M' && want != got))
            return 0;
    }
    for (const char* month : kMonths)
        if (line.compare(3, 3, month) == 0) return kLength;
    return 0;
}

int RunResult::Count(const std::string& text) const {
    int count = 0;
    for (size_t at = out.find(text); !text.empty() && at != std::string::npos;
         at = out.find(text, at + text.size()))
        ++count;
    return count;
}

std::vector<std::string> RunResult::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

double RunResult::LastValue(const std::string& label) const {
    double value = -1;
    for (const std::string& line : Lines()) {
        const size_t at = line.find(label);
        if (at != std::string::npos) value = std::strtod(line.c_str() + at + label.size(), nullptr);
    }
    return value;
}

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

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    return WaitForAnyOutput({text}, timeoutMs);
}

bool ChildProcess::WaitForAnyOutput(const std::vector<std::string>& texts, int timeoutMs) {
    auto seen = [&] {
        for (const std::string& text : texts)
            if (result_.out.find(text) != std::string::npos) return true;
        return false;
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
    while (!seen()) {
        int left = RemainingMs(deadline);
        if (left == 0 || !Pump(left)) return seen();
    }
    return true;
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

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    ChildProcess child(program, args, options);
    return child.Finish(options.timeoutMs);
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ondrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

RunOptions SimRunOptions(const TempDir& dir, const std::string& name, const std::string& config) {
    const std::string path = dir.File(name);
    WriteFile(path, config);
    RunOptions options;
    options.setEnv = {{"HOME", dir.path()}, {"ZVBERTLOGPATH", dir.path()}, {"ONDREL_CARD_CONFIG", path}};
    options.unsetEnv = {"ONDREL_SIM_CONTROL"};
    options.timeoutMs = 20000;
    return options;
}

}  // namespace e2e
