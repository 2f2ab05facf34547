#include "log/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "card/driver_error.h"
#include "core/settings.h"
#include "platform/last_error.h"
#include "tests/e2e_support/e2e_support.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

using e2e::FileExists;
using e2e::ReadFile;
using e2e::StdoutCapture;

class Log : public ::testing::Test {
   protected:
    void SetUp() override {
        ResetSettings();
        savedHome_ = getenv("HOME") ? getenv("HOME") : "";
        setenv("ZVBERTLOGPATH", dir_.path().c_str(), 1);
        ResetLogPaths();
    }
    void TearDown() override {
        unsetenv("ZVBERTLOGPATH");
        setenv("HOME", savedHome_.c_str(), 1);
        ResetLogPaths();
        ResetSettings();
    }
    std::string LogFile(const char* name = "zvbert0.0.log") const { return dir_.File(name); }

    e2e::TempDir dir_;
    std::string savedHome_;
};

TEST_F(Log, DefaultVerbosityPassesLevelsOneAndTwoOnly) {
    StdoutCapture capture;
    LogPrint(1, "one\n");
    LogPrint(2, "two\n");
    LogPrint(3, "three\n");
    EXPECT_EQ(capture.Stop(), "one\ntwo\n");
}

TEST_F(Log, WithoutDataLoggingDataAndEventsAreSilentEverywhere) {
    StdoutCapture capture;
    LogData(1, "data\n");
    LogEvent(1, "event\n");
    EXPECT_EQ(capture.Stop(), "");
    EXPECT_FALSE(FileExists(LogFile()));
}

TEST_F(Log, VerbosityZeroSilencesEveryLevel) {
    g_Settings.uVerbosity = 0;
    g_Settings.bDataLogging = true;
    StdoutCapture capture;
    LogPrint(1, "print\n");
    LogData(1, "data\n");
    LogEvent(1, "event\n");
    uint8_t byte = 0x41;
    DumpHex(&byte, 1);
    EXPECT_EQ(capture.Stop(), "");
    EXPECT_FALSE(FileExists(LogFile()));
}

TEST_F(Log, NegativeVerbosityLetsEveryLevelThrough) {
    g_Settings.uVerbosity = static_cast<uint32_t>(-1);
    StdoutCapture capture;
    LogPrint(5, "raw\n");
    LogPrint(200, "any\n");
    EXPECT_EQ(capture.Stop(), "raw\nany\n");
}

TEST_F(Log, DataGoesToConsoleAndFileAndEventsCarryATimeStamp) {
    g_Settings.bDataLogging = true;
    g_Settings.uCard = 2;
    StdoutCapture capture;
    LogData(2, "data line\n");
    LogEvent(2, "event line\n");
    std::string console = capture.Stop();
    std::string file = ReadFile(LogFile("zvbert2.0.log"));
    EXPECT_EQ(console.substr(0, 10), "data line\n");
    EXPECT_EQ(file.substr(0, 10), "data line\n");
    for (const std::string& out : {console.substr(10), file.substr(10)}) {
        EXPECT_GT(e2e::EventStampLength(out), 0u) << out;
        EXPECT_EQ(out.substr(out.size() - 13), ": event line\n");
    }
}

TEST_F(Log, FileRotatesIntoOneBackupOnceOverTheLimit) {
    g_Settings.bDataLogging = true;
    g_Settings.iMaxLogSize = 100;
    const std::string sixty(59, 'a');
    StdoutCapture capture;
    LogData(2, "%s\n", sixty.c_str());  // 60 bytes
    LogData(2, "%s\n", sixty.c_str());  // 120: now over the limit
    EXPECT_FALSE(FileExists(LogFile("zvbert0.0.bak.log")));
    LogData(2, "first of new\n");  // rotates first
    LogData(2, "second of new\n");
    capture.Stop();
    EXPECT_EQ(ReadFile(LogFile("zvbert0.0.bak.log")), sixty + "\n" + sixty + "\n");
    EXPECT_EQ(ReadFile(LogFile()), "first of new\nsecond of new\n");
}

TEST_F(Log, OnlyOneBackupGenerationIsKept) {
    g_Settings.bDataLogging = true;
    g_Settings.iMaxLogSize = 10;
    StdoutCapture capture;
    for (const char* text : {"aaaaaaaaaaaa\n", "bbbbbbbbbbbb\n", "cccccccccccc\n"})
        LogData(2, "%s", text);
    capture.Stop();
    EXPECT_EQ(ReadFile(LogFile("zvbert0.0.bak.log")), "bbbbbbbbbbbb\n");
    EXPECT_EQ(ReadFile(LogFile()), "cccccccccccc\n");
}

TEST_F(Log, SizeZeroMeansNoLimit) {
    g_Settings.bDataLogging = true;
    g_Settings.iMaxLogSize = 0;
    StdoutCapture capture;
    for (int i = 0; i < 20; ++i) LogData(2, "line %02d of the log\n", i);  // 19 bytes
    capture.Stop();
    EXPECT_EQ(ReadFile(LogFile()).size(), 20u * 19u);
    EXPECT_FALSE(FileExists(LogFile("zvbert0.0.bak.log")));
}

TEST_F(Log, HomeFolderStandsInWhenNoLogPathIsSet) {
    unsetenv("ZVBERTLOGPATH");
    setenv("HOME", dir_.path().c_str(), 1);
    ASSERT_EQ(system(("mkdir -p '" + dir_.File("My Documents") + "'").c_str()), 0);
    g_Settings.bDataLogging = true;
    g_Settings.uPort = 3;
    StdoutCapture capture;
    LogData(2, "home\n");
    capture.Stop();
    EXPECT_EQ(ReadFile(dir_.File("My Documents/zvbert0.3.log")), "home\n");
}

TEST_F(Log, UnwritableLogPathLeavesTheConsoleWorking) {
    setenv("ZVBERTLOGPATH", dir_.File("no/such/folder").c_str(), 1);
    g_Settings.bDataLogging = true;
    StdoutCapture capture;
    LogData(1, "still shown\n");
    EXPECT_EQ(capture.Stop(), "still shown\n");
}

TEST_F(Log, LogPathLongerThanItsRoomIsCut) {
    // A folder whose path is exactly 260 characters; the variable goes on past it.
    std::string folder = dir_.path() + "/";
    folder += std::string(260 - folder.size(), 'd');
    ASSERT_EQ(folder.size(), 260u);
    ASSERT_EQ(system(("mkdir '" + folder + "'").c_str()), 0);
    setenv("ZVBERTLOGPATH", (folder + "/beyond/the/room").c_str(), 1);
    g_Settings.bDataLogging = true;
    StdoutCapture capture;
    LogData(2, "cut\n");
    capture.Stop();
    EXPECT_EQ(ReadFile(folder + "/zvbert0.0.log"), "cut\n");
}

TEST_F(Log, LongMessageIsCutToTheBuffer) {
    g_Settings.bDataLogging = true;
    const std::string longText(2000, 'm');
    const std::string cut(kLogMessageSize - 1, 'm');
    StdoutCapture capture;
    LogPrint(1, "%s", longText.c_str());
    EXPECT_EQ(capture.Stop(), cut);
    StdoutCapture eventCapture;
    LogEvent(1, "%s", longText.c_str());
    std::string event = eventCapture.Stop();
    EXPECT_GT(e2e::EventStampLength(event), 0u) << event;
    EXPECT_EQ(event.substr(event.find(": m") + 2), cut);
    std::string file = ReadFile(LogFile());
    EXPECT_EQ(file.substr(file.find(": m") + 2), cut);
}

TEST_F(Log, PercentSignsInValuesAreWrittenUnchanged) {
    g_Settings.bDataLogging = true;
    StdoutCapture capture;
    LogData(1, "file %s\n", "c:%s%d%n.bin");
    EXPECT_EQ(capture.Stop(), "file c:%s%d%n.bin\n");
    EXPECT_EQ(ReadFile(LogFile()), "file c:%s%d%n.bin\n");
}

TEST_F(Log, ConcurrentWritersLoseNoLine) {
    g_Settings.bDataLogging = true;
    g_Settings.iMaxLogSize = 0;
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    StdoutCapture capture;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) LogEvent(2, "writer %d line %02d\n", t, i);
        });
    for (auto& w : writers) w.join();
    std::string console = capture.Stop();
    std::string file = ReadFile(LogFile());
    for (const std::string& out : {console, file}) {
        e2e::RunResult written;
        written.out = out;
        int whole = 0;
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kLines; ++i) {
                char message[32];
                snprintf(message, sizeof message, "writer %d line %02d", t, i);
                whole += written.HasEvent(message);
            }
        EXPECT_EQ(whole, kThreads * kLines);
        EXPECT_EQ(written.Lines().size(), static_cast<size_t>(kThreads * kLines));
    }
}

TEST_F(Log, TimestampHasDayMonthYearAndTime) {
    const std::string stamp = LogTimestamp();
    EXPECT_EQ(stamp.size(), 20u);
    EXPECT_EQ(e2e::EventStampLength(stamp + ": "), 22u) << stamp;
}

TEST_F(Log, LastErrorShowsTheSystemTextOrTheDriverText) {
    StdoutCapture capture;
    platform::SetLastError(ZV_ERROR_CARD_NOT_STARTED);
    LogLastError(1, "SetV24 Failed : ");
    platform::SetLastError(platform::kErrorAccessDenied);
    LogLastError(1, "Open Failed : ");
    platform::SetLastError(0xE00000FF);
    LogLastError(1, "Odd : ");
    platform::SetLastError(platform::kErrorOperationAborted);
    LogLastError(3, "Rx Failed : ");
    EXPECT_EQ(capture.Stop(),
              "SetV24 Failed :  \"Card not Started\" (0xe0000004)\n"
              "Open Failed :  \"Access is denied.\" (0x5, 5)\n"
              "Odd :  \"Error=0xe00000ff\" (0xe00000ff)\n");
}

class HexDump : public Log {
   protected:
    void SetUp() override {
        Log::SetUp();
        g_Settings.uVerbosity = 5;
    }
    std::string Dump(const std::vector<uint8_t>& bytes) {
        StdoutCapture capture;
        DumpHex(bytes.data(), static_cast<uint32_t>(bytes.size()));
        return capture.Stop();
    }
};

TEST_F(HexDump, ShortRowIsPaddedAndShowsPrintableBytes) {
    std::string blanks;
    for (int i = 0; i < 11; ++i) blanks += "   ";
    EXPECT_EQ(Dump({0x41, 0x42, 0x00, 0x7B, 0x7A}), "0000 : 41 42 00 7B 7A " + blanks + "AB..z\n");
}

TEST_F(HexDump, RowsOfSixteenCountTheirOffset) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 17; ++i) bytes.push_back(static_cast<uint8_t>(0x20 + i));
    std::string blanks;
    for (int i = 0; i < 15; ++i) blanks += "   ";
    EXPECT_EQ(Dump(bytes),
              "0000 : 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F  !\"#$%&'()*+,-./\n"
              "0010 : 30 " +
                  blanks + "0\n");
}

TEST_F(HexDump, NothingForNoDataOrBelowLevelFive) {
    EXPECT_EQ(Dump({}), "");
    g_Settings.uVerbosity = 4;
    EXPECT_EQ(Dump({1, 2, 3}), "");
}

TEST_F(HexDump, BytesAboveSmallZAreDots) {
    EXPECT_EQ(Dump({0x7E, 0x80, 0xFF, 0x1F}).substr(7 + 48), "....\n");
}

}  // namespace
