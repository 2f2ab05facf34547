// The Windows side of the platform layer: the front end's named pipe, the
// file checks, the home folder, the clock and keys from a pipe.
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/console.h"
#include "platform/environment.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/last_error.h"
#include "platform/pipe.h"
#include "platform/sync.h"

namespace {

std::string UniquePipeName(const char* what) {
    return std::string("OndrelTest-") + what + "-" + std::to_string(GetCurrentProcessId());
}

std::string TempPath(const char* name) {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    return std::string(base) + "ondrel-platform-" + std::to_string(GetCurrentProcessId()) + "-" +
           name;
}

TEST(Win32Pipe, PathIsTheSystemsPipeNamespace) {
    EXPECT_EQ(platform::PipePath("ZorvanBERTPipe"), "\\\\.\\pipe\\ZorvanBERTPipe");
}

TEST(Win32Pipe, OpenWithoutAListenerFailsWithFileNotFound) {
    platform::PipeClient client;
    EXPECT_FALSE(client.Open(UniquePipeName("absent")));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
}

TEST(Win32Pipe, SecondListenerOnTheSameNameIsRefused) {
    const std::string name = UniquePipeName("twice");
    platform::PipeListener first, second;
    std::string error;
    ASSERT_TRUE(first.Listen(name, &error)) << error;
    EXPECT_FALSE(second.Listen(name, &error));
    EXPECT_NE(error.find("another front end listens there"), std::string::npos) << error;
}

// Records cross both ways at once on the one overlapped handle, and the
// listener's close reaches a read that is under way.
TEST(Win32Pipe, ClientAndListenerExchangeBothWaysThenTheEndIsSeen) {
    const std::string name = UniquePipeName("exchange");
    platform::PipeListener listener;
    std::string error;
    ASSERT_TRUE(listener.Listen(name, &error)) << error;
    platform::PipeClient client;
    ASSERT_TRUE(client.Open(name));
    platform::PipeStream server(listener.Accept(5000));
    ASSERT_TRUE(server.IsOpen());

    platform::Event readDone(false, false), writeDone(false, false);
    char incoming[64] = {};
    ASSERT_TRUE(client.StartRead(incoming, sizeof incoming, &readDone));
    const char outgoing[] = "from the program";
    ASSERT_TRUE(client.StartWrite(outgoing, sizeof outgoing, &writeDone));
    ASSERT_EQ(platform::WaitForEvent(writeDone, 5000), platform::kWaitObject0);
    uint32_t bytes = 0;
    ASSERT_TRUE(client.WriteResult(&bytes));
    EXPECT_EQ(bytes, sizeof outgoing);

    char received[64] = {};
    ASSERT_EQ(server.Read(received, sizeof received, 5000), long(sizeof outgoing));
    EXPECT_STREQ(received, outgoing);
    const char reply[] = "from the front end";
    ASSERT_TRUE(server.WriteAll(reply, sizeof reply));
    ASSERT_EQ(platform::WaitForEvent(readDone, 5000), platform::kWaitObject0);
    ASSERT_TRUE(client.ReadResult(&bytes));
    EXPECT_EQ(bytes, sizeof reply);
    EXPECT_STREQ(incoming, reply);

    ASSERT_TRUE(client.StartRead(incoming, sizeof incoming, &readDone));
    server.Close();
    ASSERT_EQ(platform::WaitForEvent(readDone, 5000), platform::kWaitObject0);
    EXPECT_FALSE(client.ReadResult(&bytes));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
    EXPECT_FALSE(client.StartRead(incoming, sizeof incoming, &readDone));
}

TEST(Win32Pipe, StreamReadTimesOutWhenNothingComes) {
    const std::string name = UniquePipeName("quiet");
    platform::PipeListener listener;
    std::string error;
    ASSERT_TRUE(listener.Listen(name, &error)) << error;
    platform::PipeClient client;
    ASSERT_TRUE(client.Open(name));
    platform::PipeStream server(listener.Accept(5000));
    char buffer[8];
    EXPECT_EQ(server.Read(buffer, sizeof buffer, 50), -1);
    client.Close();
    EXPECT_EQ(server.Read(buffer, sizeof buffer, 5000), 0);
}

TEST(Win32File, DirectoryAndDeviceAreRefusedRegularFileIsWrittenAndAppended) {
    platform::FileProblem problem;
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    EXPECT_EQ(platform::OpenRegularFile(folder, "r", &problem), nullptr);
    EXPECT_TRUE(problem.notRegular);
    EXPECT_EQ(problem.text, "is a directory");

    problem = {};
    EXPECT_EQ(platform::OpenRegularFile("NUL", "w", &problem), nullptr);
    EXPECT_TRUE(problem.notRegular);
    EXPECT_EQ(problem.text, "not a regular file");

    const std::string path = TempPath("file.txt");
    for (const char* mode : {"wb", "ab", "ab"}) {
        FILE* file = platform::OpenRegularFile(path.c_str(), mode, &problem);
        ASSERT_NE(file, nullptr) << mode << ": " << problem.text;
        std::fputs("ab", file);
        std::fclose(file);
    }
    auto text = platform::ReadRegularFile(path, 100, &problem);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "ababab");
    FILE* again = platform::OpenRegularFile(path.c_str(), "wb", &problem);
    ASSERT_NE(again, nullptr);
    std::fclose(again);
    EXPECT_EQ(platform::ReadRegularFile(path, 100, &problem).value_or("gone"), "");

    const std::string other = TempPath("other.txt");
    FILE* file = platform::OpenRegularFile(other.c_str(), "wb", &problem);
    ASSERT_NE(file, nullptr);
    std::fputs("new", file);
    std::fclose(file);
    EXPECT_TRUE(platform::RenameReplacing(other, path));
    EXPECT_FALSE(platform::PathExists(other));
    EXPECT_EQ(platform::ReadRegularFile(path, 100, &problem).value_or(""), "new");
    DeleteFileA(path.c_str());
    EXPECT_FALSE(platform::PathExists(path));

    problem = {};
    EXPECT_FALSE(platform::ReadRegularFile(path, 100, &problem).has_value());
    EXPECT_FALSE(problem.notRegular);
}

struct HomeCase {
    const char* drive;
    const char* path;
    const char* profile;
    const char* expected;
};

class Win32Home : public ::testing::TestWithParam<HomeCase> {};

TEST_P(Win32Home, FolderFromHomeDriveAndPathElseTheProfile) {
    const HomeCase& c = GetParam();
    SetEnvironmentVariableA("HOMEDRIVE", c.drive);
    SetEnvironmentVariableA("HOMEPATH", c.path);
    SetEnvironmentVariableA("USERPROFILE", c.profile);
    EXPECT_EQ(platform::HomeFolder(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Win32Home,
    ::testing::Values(HomeCase{"D:", "\\Users\\ann", "C:\\p", "D:\\Users\\ann"},
                      HomeCase{"D:", "\\Users\\ann\\", nullptr, "D:\\Users\\ann"},
                      HomeCase{"D:", "\\", nullptr, "D:"},
                      HomeCase{nullptr, "\\x", "C:\\Users\\bo", "C:\\Users\\bo"},
                      HomeCase{nullptr, nullptr, nullptr, ""}));

TEST(Win32ErrorText, SystemCodesHaveTheSystemsTextErrnoCodesTheRuntimes) {
    const std::string missing = platform::SystemErrorText(platform::kErrorFileNotFound);
    ASSERT_GE(missing.size(), 2u);
    EXPECT_EQ(missing.substr(missing.size() - 2), "\r\n");
    const std::string errnoText = platform::SystemErrorText(platform::ErrorFromErrno(ENOENT));
    EXPECT_EQ(errnoText, std::string(std::strerror(ENOENT)) + "\r\n");
    EXPECT_EQ(platform::SystemErrorText(0xE0000001u), "");
}

TEST(Win32Clock, NanosecondsFollowTheCounter) {
    ASSERT_GT(platform::PerfFrequency(), 0);
    const int64_t startNs = platform::MonotonicNs();
    const int64_t startTicks = platform::PerfCounter();
    platform::SleepMs(30);  // the time that passes is what is measured
    const int64_t elapsedNs = platform::MonotonicNs() - startNs;
    const int64_t elapsedTicks = platform::PerfCounter() - startTicks;
    EXPECT_GE(elapsedNs, 25 * 1000000LL);
    const int64_t fromTicksNs = elapsedTicks * 1000000000LL / platform::PerfFrequency();
    EXPECT_LT(std::llabs(fromTicksNs - elapsedNs), 5 * 1000000LL);
}

TEST(Win32Console, PipeBytesAreKeysAfterPushedOnesAndItsEndIsNoKey) {
    int fds[2];
    ASSERT_EQ(_pipe(fds, 256, 0x8000 /* _O_BINARY */), 0);
    platform::ConsoleUseInput(fds[0]);
    EXPECT_FALSE(platform::KeyWaiting());
    ASSERT_EQ(_write(fds[1], "ab", 2), 2);
    platform::PushKey('z');
    platform::WaitForKeyActivity(1000);
    ASSERT_TRUE(platform::KeyWaiting());
    EXPECT_EQ(platform::ReadKey(), 'z');
    EXPECT_EQ(platform::ReadKey(), 'a');
    EXPECT_EQ(platform::ReadKey(), 'b');
    EXPECT_EQ(platform::ReadKey(), -1);
    std::thread typist([&] {
        // Late on purpose: the case is a key that comes while the wait runs.
        platform::SleepMs(20);
        _write(fds[1], "x", 1);
    });
    platform::WaitForKeyActivity(5000);
    typist.join();
    EXPECT_EQ(platform::ReadKey(), 'x');
    _close(fds[1]);
    EXPECT_EQ(platform::ReadKey(), -1);
    EXPECT_FALSE(platform::KeyWaiting());
    platform::ConsoleUseInput(-1);
    _close(fds[0]);
}

}  // namespace
