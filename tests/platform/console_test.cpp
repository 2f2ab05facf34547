#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "tests/e2e_support/e2e_support.h"

namespace {

class PipeInput : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(pipe(fds_), 0);
        platform::ConsoleUseInput(fds_[0]);
    }
    void TearDown() override {
        platform::ConsoleUseInput(-1);
        CloseWriter();
        close(fds_[0]);
    }
    void Type(const char* text) {
        ASSERT_EQ(write(fds_[1], text, strlen(text)), (ssize_t)strlen(text));
    }
    void CloseWriter() {
        if (fds_[1] >= 0) close(fds_[1]);
        fds_[1] = -1;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(PipeInput, PushedKeysComeBeforeTypedOnes) {
    Type("ab");
    platform::PushKey('x');
    platform::PushKey('r');
    EXPECT_TRUE(platform::KeyWaiting());
    EXPECT_EQ(platform::ReadKey(), 'x');
    EXPECT_EQ(platform::ReadKey(), 'r');
    EXPECT_EQ(platform::ReadKey(), 'a');
    EXPECT_EQ(platform::ReadKey(), 'b');
}

TEST_F(PipeInput, NothingTypedMeansNoKeyAndNoBlocking) {
    EXPECT_FALSE(platform::KeyWaiting());
    EXPECT_EQ(platform::ReadKey(), -1);
    Type("\x1b");
    EXPECT_TRUE(platform::KeyWaiting());
    EXPECT_EQ(platform::ReadKey(), 27);
}

TEST_F(PipeInput, EndOfInputIsNotAKeyButPushedKeysStillCome) {
    Type("q");
    CloseWriter();
    EXPECT_EQ(platform::ReadKey(), 'q');
    EXPECT_EQ(platform::ReadKey(), -1);
    EXPECT_FALSE(platform::KeyWaiting());
    platform::PushKey('x');
    EXPECT_TRUE(platform::KeyWaiting());
    EXPECT_EQ(platform::ReadKey(), 'x');
    EXPECT_FALSE(platform::KeyWaiting());
}

// The probe runs on a pseudo-terminal as the foreground process, so Ctrl-C
// typed there arrives as the terminal's SIGINT.
class Terminal : public ::testing::Test {
   protected:
    void Start(const char* mode = nullptr) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            execl(CONSOLE_PROBE, CONSOLE_PROBE, mode, static_cast<char*>(nullptr));
            _exit(127);
        }
        // Held open here so the terminal's settings can be read after the
        // probe has gone.
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        ASSERT_TRUE(WaitFor("ready"));
    }
    void TearDown() override {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    bool WaitFor(const std::string& text, int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd p = {master_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return output_.find(text) != std::string::npos;
            output_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    void Type(const char* text) { ASSERT_GT(write(master_, text, strlen(text)), 0); }
    int Wait() {
        int status = 0;
        e2e::WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; });
        reaped_ = true;
        return status;
    }
    tcflag_t LocalFlags() {
        struct termios t;
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t.c_lflag;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    bool reaped_ = false;
    std::string output_;
};

// ThreadSanitizer intercepts asynchronous signals and hands them to the
// program at points of its own choosing, so whether the probe sees one within
// the test's time is up to it; the other builds run these tests.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

TEST_F(Terminal, KeysAreReadRawWithoutEcho) {
    Start();
    EXPECT_EQ(LocalFlags() & (ECHO | ICANON), 0u);
    Type("a");
    ASSERT_TRUE(WaitFor("key 97"));
    // The only a is the one of "ready": the typed one was not echoed.
    EXPECT_EQ(std::count(output_.begin(), output_.end(), 'a'), 1);
    Type("x");
    ASSERT_TRUE(WaitFor("done"));
    int status = Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(LocalFlags() & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
}

TEST_F(Terminal, CtrlCEndsAsTheKeyXAndGivesTheTerminalBack) {
    if (kThreadSanitizer) GTEST_SKIP() << "signal delivery is deferred by ThreadSanitizer";
    Start();
    Type("\x03");
    ASSERT_TRUE(WaitFor("key 120"));
    ASSERT_TRUE(WaitFor("done"));
    int status = Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(LocalFlags() & ECHO);
}

TEST_F(Terminal, SigtermEndsAsTheKeyX) {
    if (kThreadSanitizer) GTEST_SKIP() << "signal delivery is deferred by ThreadSanitizer";
    Start();
    kill(pid_, SIGTERM);
    ASSERT_TRUE(WaitFor("key 120"));
    int status = Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(LocalFlags() & ECHO);
}

TEST_F(Terminal, SecondCtrlCEndsAtOnceWithTheTerminalRestored) {
    if (kThreadSanitizer) GTEST_SKIP() << "signal delivery is deferred by ThreadSanitizer";
    Start("keep-going");
    Type("\x03");
    ASSERT_TRUE(WaitFor("key 120"));
    Type("\x03");
    int status = Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_TRUE(LocalFlags() & ECHO);
    EXPECT_TRUE(LocalFlags() & ICANON);
}

TEST_F(Terminal, CrashStillGivesTheTerminalBack) {
    Start();
    Type("f");
    int status = Wait();
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(LocalFlags() & ECHO);
}

}  // namespace
