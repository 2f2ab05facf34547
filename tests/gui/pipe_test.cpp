// The pipe on Unix-domain sockets: the program's overlapped client against
// the front end's listener.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/pipe.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

class Pipe : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
    // Listens and connects the client; the front end's stream in *stream.
    void Connect(platform::PipeClient& client, platform::PipeStream* stream) {
        std::string error;
        ASSERT_TRUE(listener_.Listen("TestPipe", &error)) << error;
        ASSERT_TRUE(client.Open("TestPipe"));
        *stream = platform::PipeStream(listener_.Accept(2000));
        ASSERT_TRUE(stream->IsOpen());
    }
    e2e::TempDir runtime_;
    platform::PipeListener listener_;
};

TEST_F(Pipe, PathIsInTheRuntimeFolderAndAnAbsentFrontEndIsFileNotFound) {
    EXPECT_EQ(platform::PipePath("TestPipe"), runtime_.path() + "/TestPipe");
    EXPECT_EQ(platform::PipePath(std::string(200, 'p')), "");
    platform::PipeClient client;
    EXPECT_FALSE(client.Open("TestPipe"));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
}

TEST_F(Pipe, ASecondFrontEndOnTheSameNameIsRefused) {
    std::string error;
    ASSERT_TRUE(listener_.Listen("TestPipe", &error)) << error;
    platform::PipeListener second;
    EXPECT_FALSE(second.Listen("TestPipe", &error));
    EXPECT_NE(error.find("another front end"), std::string::npos) << error;
}

TEST_F(Pipe, ReadsAndWritesCompleteOnTheirEventsAndThePeersEndFailsTheRead) {
    platform::PipeClient client;
    platform::PipeStream stream;
    Connect(client, &stream);
    platform::Event done(false, false);

    const char hello[] = "to the front end";
    ASSERT_TRUE(client.StartWrite(hello, sizeof hello, &done));
    ASSERT_EQ(platform::WaitForEvent(done, 2000), platform::kWaitObject0);
    uint32_t bytes = 0;
    EXPECT_TRUE(client.WriteResult(&bytes));
    EXPECT_EQ(bytes, sizeof hello);
    char got[64] = {};
    EXPECT_EQ(stream.Read(got, sizeof got, 2000), static_cast<long>(sizeof hello));
    EXPECT_STREQ(got, hello);

    uint8_t buffer[64] = {};
    ASSERT_TRUE(client.StartRead(buffer, sizeof buffer, &done));
    ASSERT_TRUE(stream.WriteAll("abc", 3));
    ASSERT_EQ(platform::WaitForEvent(done, 2000), platform::kWaitObject0);
    EXPECT_TRUE(client.ReadResult(&bytes));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);

    ASSERT_TRUE(client.StartRead(buffer, sizeof buffer, &done));
    stream.Close();
    ASSERT_EQ(platform::WaitForEvent(done, 2000), platform::kWaitObject0);
    EXPECT_FALSE(client.ReadResult(&bytes));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
    EXPECT_FALSE(client.StartRead(buffer, sizeof buffer, &done));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
}

TEST_F(Pipe, CloseEndsAReadThatWouldNeverComplete) {
    platform::PipeClient client;
    platform::PipeStream stream;
    Connect(client, &stream);
    platform::Event done(false, false);
    uint8_t buffer[16];
    ASSERT_TRUE(client.StartRead(buffer, sizeof buffer, &done));
    client.Close();  // returns: the helper blocked in the read was woken
    EXPECT_EQ(platform::WaitForEvent(done, 0), platform::kWaitObject0);
    EXPECT_EQ(stream.Read(buffer, sizeof buffer, 2000), 0);  // the front end sees the end
}

}  // namespace
