// Impairments on a port's line through the driver: configured, changed by
// the control file while the port runs, and counted in the counters file.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/line_control.h"
#include "sim/sim.h"
#include "sim_test_util.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

using simtest::Io;
using simtest::MakeDriver;
using simtest::PortPath;
using simtest::WaitFor;

// Sends data and collects what the port receives until as many bytes came
// or the time is up.
std::vector<uint8_t> RoundTrip(card::Driver& driver, card::PortHandle h,
                               const std::vector<uint8_t>& data, size_t expect,
                               int timeoutMs = 3000) {
    Io io;
    simtest::Transmit(driver, h, data, io);
    std::vector<uint8_t> received;
    std::array<uint8_t, kReceiveDataMax> buffer;
    WaitFor(
        [&] {
            // A transmit is reported done in the tick that delivers its last
            // byte over a loopback line, so a drain after seeing it done
            // finds everything.
            bool done = io.Done();
            uint32_t got = 0;
            while (simtest::Control(driver, h, IOCTL_RECEIVE_DATA, nullptr, 0, buffer.data(),
                                    kReceiveDataMax, &got) == 0 &&
                   got > 0)
                received.insert(received.end(), buffer.begin(), buffer.begin() + got);
            return done && received.size() >= expect;
        },
        timeoutMs);
    EXPECT_TRUE(io.Wait());
    return received;
}

// RoundTrip on a line that may have been left idle: what arrived before is
// dropped, and so are the idle characters (as received) that lead the data.
std::vector<uint8_t> AfterIdle(card::Driver& driver, card::PortHandle h,
                               const std::vector<uint8_t>& data, size_t expect, uint8_t idle,
                               int timeoutMs = 3000) {
    std::array<uint8_t, kReceiveDataMax> buffer;
    uint32_t got = 0;
    while (simtest::Control(driver, h, IOCTL_RECEIVE_DATA, nullptr, 0, buffer.data(),
                            kReceiveDataMax, &got) == 0 &&
           got > 0) {
    }
    std::vector<uint8_t> back = RoundTrip(driver, h, data, expect, timeoutMs);
    back.erase(back.begin(),
               std::find_if(back.begin(), back.end(), [&](uint8_t b) { return b != idle; }));
    return back;
}

uint64_t OnesIn(const std::vector<uint8_t>& data) {
    uint64_t ones = 0;
    for (uint8_t byte : data) ones += unsigned(std::popcount(unsigned(byte)));
    return ones;
}

bool Carrier(card::Driver& driver, card::PortHandle h) {
    return (simtest::InterfaceRecord(driver, h)[sim::kIfSignals] & sim::kSignalCarrier) != 0;
}

std::string TempPath(const std::string& what) {
    return ::testing::TempDir() + "sim_line_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(getpid()) + "." + what;
}

// Written whole, so the driver never reads half of it.
void WriteControl(const std::string& path, const std::string& text) {
    std::string temporary = path + ".new";
    std::ofstream(temporary) << text;
    ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
}

TEST(SimLineImpairment, ConfiguredErrorsArriveAndEveryFlipIsCounted) {
    auto driver =
        MakeDriver("[[card]]\nports = 1\n[card.impairment]\nbit_error_rate = 1e-3\nseed = 5\n");
    auto h = driver->Open(PortPath(0, 0));
    simtest::StartPort(*driver, h, {.rate = 1600000});
    std::vector<uint8_t> received = RoundTrip(*driver, h, std::vector<uint8_t>(40000, 0x00), 40000);
    ASSERT_EQ(received.size(), 40000u);
    auto stats = driver->LineStatsOf(0, 0);
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(OnesIn(received), stats->bitsFlipped);
    EXPECT_NEAR(double(stats->bitsFlipped), 320.0, 5 * std::sqrt(320.0));
    EXPECT_EQ(stats->bitsCarried, 320000u);
    EXPECT_FALSE(driver->LineStatsOf(0, 1).has_value());
    EXPECT_FALSE(driver->LineStatsOf(1, 0).has_value());
    driver->Close(h);
}

TEST(SimLineImpairment, InvertedLineIsUndoneByTheCardsReceiveInversion) {
    auto driver = MakeDriver("[[card]]\nports = 1\n[card.impairment]\ninvert = true\n");
    auto h = driver->Open(PortPath(0, 0));
    simtest::StartPort(*driver, h, {.rate = 800000});
    std::vector<uint8_t> data(100, 0x3C);
    EXPECT_EQ(RoundTrip(*driver, h, data, 100), std::vector<uint8_t>(100, 0xC3));
    ASSERT_EQ(simtest::ControlWord(*driver, h, IOCTL_SET_INVERSION, sim::kInvertRx), 0u);
    EXPECT_EQ(RoundTrip(*driver, h, data, 100), data);
    driver->Close(h);
}

TEST(SimLineImpairment, OutageTakesCarrierAndDataForItsTime) {
    auto driver = MakeDriver(
        "[[card]]\nports = 1\n[card.impairment]\noutage_after_ms = 200\noutage_ms = 300\n");
    auto h = driver->Open(PortPath(0, 0));
    auto start = std::chrono::steady_clock::now();
    simtest::StartPort(*driver, h, {.rate = 80000});  // 10000 bytes a second
    auto at = [&](int ms) { std::this_thread::sleep_until(start + std::chrono::milliseconds(ms)); };
    std::vector<uint8_t> data(8000, 0x55);  // 800 ms of line
    Io io;
    simtest::Transmit(*driver, h, data, io);
    at(100);
    EXPECT_TRUE(Carrier(*driver, h));
    at(350);
    EXPECT_FALSE(Carrier(*driver, h));
    ASSERT_TRUE(io.Wait());
    EXPECT_TRUE(Carrier(*driver, h));
    std::vector<uint8_t> received = RoundTrip(*driver, h, {0x55}, 0, 100);
    auto stats = driver->LineStatsOf(0, 0);
    // What was sent into the outage is lost, the rest arrives.
    EXPECT_EQ(uint64_t(received.size()) * 8 + stats->bitsLost, 8001u * 8);
    EXPECT_NEAR(double(stats->bitsLost), 300 * 80.0, 40 * 80.0);
    for (uint8_t byte : received) EXPECT_EQ(byte, 0x55);
    driver->Close(h);
}

class SimControlFile : public ::testing::Test {
   protected:
    void TearDown() override {
        unsetenv(sim::kControlVariable);
        std::remove(control_.c_str());
        std::remove(stats_.c_str());
    }
    std::string control_ = TempPath("ctl");
    std::string stats_ = TempPath("stats");
};

TEST_F(SimControlFile, ChangesTheLineWhileItRunsAndItsRemovalRestoresTheConfiguration) {
    setenv(sim::kControlVariable, control_.c_str(), 1);
    unsetenv(sim::kConfigVariable);
    std::string error;
    auto driver = sim::CreateDriverFromEnvironment(&error);
    ASSERT_NE(driver, nullptr) << error;
    auto h = driver->Open(PortPath(1, 0));
    simtest::StartPort(*driver, h, {.rate = 800000});
    std::vector<uint8_t> data(100, 0x3C);
    EXPECT_EQ(RoundTrip(*driver, h, data, 100), data);

    WriteControl(control_, "invert = true\n");
    EXPECT_TRUE(WaitFor([&] {
        std::vector<uint8_t> received =
            AfterIdle(*driver, h, data, 100, 0x00);  // idle ones, inverted
        return received.size() == 100 && received[50] == 0xC3;
    }));

    WriteControl(control_, "outage_ms = 60000\n");  // from now on, and no longer inverted
    EXPECT_TRUE(WaitFor([&] { return !Carrier(*driver, h); }));
    // Bits may be stamped up to a tick before they were queued (the tick
    // that reported the line idle), so a round trip or two may still get
    // through; then none does.
    EXPECT_TRUE(WaitFor([&] { return AfterIdle(*driver, h, data, 0, 0xFF, 50).empty(); }));

    {
        // Does not parse: the driver says so when it reads it, and the line
        // stays as it is.
        e2e::StdoutCapture errors(stderr);
        WriteControl(control_, "outage_ms = [\n");
        EXPECT_TRUE(WaitFor([&] { return errors.Peek().find(control_) != std::string::npos; }));
        EXPECT_FALSE(Carrier(*driver, h));
    }

    std::remove(control_.c_str());
    EXPECT_TRUE(WaitFor([&] { return Carrier(*driver, h); }));
    EXPECT_EQ(AfterIdle(*driver, h, data, 100, 0xFF), data);
    driver->Close(h);
}

TEST_F(SimControlFile, CountersFileHasEveryLineAndTheLastWordAfterClose) {
    auto driver =
        MakeDriver("stats_file = \"" + stats_ +
                   "\"\n[[card]]\nports = 2\n[card.impairment]\nbit_error_rate = 1e-2\nseed = 3\n");
    auto h = driver->Open(PortPath(0, 1));
    simtest::StartPort(*driver, h, {.rate = 800000});
    std::vector<uint8_t> received = RoundTrip(*driver, h, std::vector<uint8_t>(2000, 0), 2000);
    driver->Close(h);
    std::ifstream in(stats_);
    std::stringstream text;
    text << in.rdbuf();
    std::string expected =
        sim::FormatLineStats(0, 0, sim::LineStats()) +
        "card=0 port=1 carried=16000 flipped=" + std::to_string(OnesIn(received)) +
        " framing_hits=0 lost=0 inserted=0 dropped=0 unsent=0 frames_lost=0\n";
    EXPECT_EQ(text.str(), expected);
    EXPECT_GT(OnesIn(received), 0u);
}

}  // namespace
