// The serial-port driver on a pseudo-terminal made here: the test holds the
// far end (the master) and sees what the driver sends and when.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "card/driver_error.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "sim/config.h"
#include "tests/e2e_support/e2e_support.h"
#include "tty/line_settings.h"
#include "tty/tty.h"

namespace {

// A pseudo-terminal whose slave device the driver opens.
struct FarEnd {
    int master = -1;
    std::string device;
    FarEnd() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) device = ptsname(master);
    }
    ~FarEnd() { Hangup(); }
    void Hangup() {
        if (master >= 0) close(master);
        master = -1;
    }
    // Everything that arrives within ms.
    std::string Collect(int ms) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, size_t(n));
        }
        return got;
    }
};

struct Io {
    platform::Event event{true, false};
    card::Overlapped ov;
    Io() { ov.hEvent = &event; }
    bool Wait(int ms = 3000) {
        return platform::WaitForEvent(event, uint32_t(e2e::ScaledMs(ms))) ==
                   platform::kWaitObject0 &&
               card::HasOverlappedIoCompleted(ov);
    }
};

uint32_t Control(card::Driver& driver, card::PortHandle h, uint32_t code, const void* in,
                 uint32_t inLength, void* out = nullptr, uint32_t outLength = 0) {
    Io io;
    uint32_t count = 0;
    if (driver.DeviceIoControl(h, code, in, inLength, out, outLength, &count, &io.ov)) return 0;
    return platform::GetLastError();
}

std::unique_ptr<card::Driver> DriverFor(const std::vector<std::string>& devices) {
    return tty::CreateDriver({tty::TtyCard{"test ports", devices}});
}

// Asynchronous, the given rate and data bits, started.
void StartPort(card::Driver& driver, card::PortHandle h, uint32_t rate, uint32_t dataBitsCode) {
    ZvSerialConfig serial = tty::DefaultSerialConfig();
    serial.uPortRate = rate;
    serial.uPortAsyncDataBits = dataBitsCode;
    ASSERT_EQ(Control(driver, h, IOCTL_SET_SERIAL_CONFIG, &serial, sizeof serial), 0u);
    ASSERT_EQ(Control(driver, h, IOCTL_START_PORT, nullptr, 0), 0u);
}

TEST(TtyLineSettings, SerialRecordWordsBecomeTheLine) {
    struct Case {
        uint32_t dataBitsCode, parity, stopBits;
        unsigned dataBits, bitsPerChar;
        uint8_t mask;
    } cases[] = {
        {0, 0, 0, 8, 10, 0xFF}, {1, 2, 0, 7, 10, 0x7F}, {3, 1, 2, 5, 9, 0x1F},
        {2, 4, 2, 6, 10, 0x3F}, {9, 7, 1, 8, 10, 0xFF},  // unknown codes: 8N1
    };
    for (const Case& c : cases) {
        ZvSerialConfig record = tty::DefaultSerialConfig();
        record.uPortAsyncDataBits = c.dataBitsCode;
        record.uPortAsyncParity = c.parity;
        record.uPortAsyncStopBits = c.stopBits;
        tty::LineSettings line = tty::ReadLineSettings(record);
        EXPECT_EQ(line.dataBits, c.dataBits) << c.dataBitsCode;
        EXPECT_EQ(line.BitsPerChar(), c.bitsPerChar) << c.dataBitsCode;
        EXPECT_EQ(line.CharMask(), c.mask);
    }
}

TEST(TtyConfig, CardsOfSerialPortsAndTheirMistakes) {
    sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(sim::ParseConfig(
        "[[card]]\nbackend = \"tty\"\ndevices = [\"/dev/ttyS0\", \"/dev/ttyUSB0\"]\n", "t.toml",
        &config, &error))
        << error;
    EXPECT_TRUE(sim::UsesTtyBackend(config));
    EXPECT_EQ(config.cards[0].ports, 2u);
    EXPECT_EQ(config.cards[0].devices[1], "/dev/ttyUSB0");
    struct Case {
        const char* toml;
        const char* problem;
    } cases[] = {
        {"[[card]]\nbackend = \"tty\"\n", "card[0]: a tty card needs \"devices\""},
        {"[[card]]\nbackend = \"tty\"\ndevices = []\n", "card[0].devices: must name 1..64 devices"},
        {"[[card]]\nbackend = \"tty\"\ndevices = [\"\"]\n",
         "card[0].devices[0]: must not be empty"},
        {"[[card]]\nbackend = \"tty\"\ndevices = [\"/dev/ttyS0\"]\nline = \"shared\"\n",
         "card[0].line: not a key of a tty card (devices, description)"},
        {"[[card]]\nbackend = \"uart\"\n",
         "card[0].backend: unknown backend \"uart\" (sim, tty, zorvan)"},
        {"[[card]]\n[[card]]\nbackend = \"tty\"\ndevices = [\"/dev/ttyS0\"]\n",
         "card[1].backend: every card of a file has the same backend"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(sim::ParseConfig(c.toml, "t.toml", &config, &error)) << c.toml;
        EXPECT_NE(error.find(c.problem), std::string::npos) << error;
    }
}

TEST(TtyDriver, CardIsASerialPortWithoutEngineOrClock) {
    FarEnd far;
    ASSERT_FALSE(far.device.empty());
    auto driver = DriverFor({far.device});
    auto list = driver->EnumerateInterfaces();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].deviceName, "TTYS0");
    auto h = driver->Open(tty::CardPath(0) + "/0");
    ASSERT_NE(h, card::kInvalidHandle);
    ZvCardInfo info{};
    info.uVersion = CARD_INFO_VERSION;
    ASSERT_EQ(Control(*driver, h, IOCTL_READ_CARD_INFO, nullptr, 0, &info, sizeof info), 0u);
    EXPECT_EQ(info.wCardType >> 8, CARD_MODEL_SERIAL_PORT);
    EXPECT_EQ(info.uBertPresent, 0u);
    ZvBertConfig bert{};
    EXPECT_EQ(Control(*driver, h, IOCTL_SET_BERT_CONFIG, &bert, sizeof bert),
              ZV_ERROR_INVALID_IOCTL);
    ZvSerialConfig sync = tty::DefaultSerialConfig();
    sync.uPortTransparentMode = MODE_SYNC;
    ASSERT_EQ(Control(*driver, h, IOCTL_SET_SERIAL_CONFIG, &sync, sizeof sync), 0u);
    EXPECT_EQ(Control(*driver, h, IOCTL_START_PORT, nullptr, 0), platform::kErrorNotSupported);
    // A pseudo-terminal has no modem lines and no counters: all read as none.
    std::array<uint8_t, kInterfaceRecordSize> record{};
    ASSERT_EQ(Control(*driver, h, IOCTL_READ_INTERFACE_RECORD, nullptr, 0, record.data(),
                      kInterfaceRecordSize),
              0u);
    EXPECT_EQ(record[12], 0);
    uint8_t lines = 3;
    EXPECT_EQ(Control(*driver, h, IOCTL_SET_V24, &lines, 1), 0u);
    driver->Close(h);
}

TEST(TtyDriver, MissingAndBusyDevicesGiveTheSystemsText) {
    FarEnd far;
    auto driver = DriverFor({"/nonexistent/tty0", far.device});
    EXPECT_EQ(driver->Open(tty::CardPath(0) + "/0"), card::kInvalidHandle);
    EXPECT_EQ(platform::SystemErrorText(platform::GetLastError()), "No such file or directory\r\n");
    EXPECT_EQ(driver->Open(tty::CardPath(0) + "/2"), card::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    auto h = driver->Open(tty::CardPath(0) + "/1");
    ASSERT_NE(h, card::kInvalidHandle);
    auto other = DriverFor({far.device});  // as another process would
    EXPECT_EQ(other->Open(tty::CardPath(0) + "/0"), card::kInvalidHandle);
    EXPECT_EQ(platform::SystemErrorText(platform::GetLastError()), "Device or resource busy\r\n");
    driver->Close(h);
    auto again = other->Open(tty::CardPath(0) + "/0");
    EXPECT_NE(again, card::kInvalidHandle) << "a closed port is free again";
    other->Close(again);
}

TEST(TtyDriver, TransmitsArePacedAtTheLineRateAndMasked) {
    FarEnd far;
    auto driver = DriverFor({far.device});
    auto h = driver->Open(tty::CardPath(0) + "/0");
    ASSERT_NE(h, card::kInvalidHandle);
    StartPort(*driver, h, 9600, 1);  // 7 data bits, 10 line bits per character
    uint32_t three = 3;
    ASSERT_EQ(Control(*driver, h, IOCTL_INJECT_ERRORS, &three, 4), 0u);
    std::vector<uint8_t> data(2000, 0xF0);
    Io io;
    uint32_t bytes = 0;
    EXPECT_FALSE(driver->DeviceIoControl(h, IOCTL_TRANSMIT_DATA, data.data(), uint32_t(data.size()),
                                         nullptr, 0, &bytes, &io.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    std::string got = far.Collect(500);
    // 960 characters a second: about 480 in half a second, never the lot.
    EXPECT_GT(got.size(), 380u);
    EXPECT_LT(got.size(), 560u);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(uint8_t(got[0]), 0x71);  // the injected error in the lowest bit, then the 7 data bits
    EXPECT_EQ(uint8_t(got[2]), 0x71);
    EXPECT_EQ(uint8_t(got[3]), 0x70);
    driver->CancelIo(h);
    EXPECT_TRUE(io.Wait());
    EXPECT_EQ(io.ov.Internal.load(), platform::kErrorOperationAborted);
    driver->Close(h);
}

TEST(TtyDriver, ReceivedBytesReachBareReadsAndTheUnpluggedDeviceIsReported) {
    FarEnd far;
    auto driver = DriverFor({far.device});
    std::atomic<card::PortHandle> removed{card::kInvalidHandle};
    driver->SetRemovalHandler([&](card::PortHandle h) { removed = h; });
    auto h = driver->Open(tty::CardPath(0) + "/0+");
    ASSERT_NE(h, card::kInvalidHandle);
    StartPort(*driver, h, 115200, 0);
    uint8_t buffer[64] = {};
    Io read;
    EXPECT_FALSE(driver->ReadFile(h, buffer, sizeof buffer, nullptr, &read.ov));
    ASSERT_EQ(write(far.master, "pattern", 7), 7);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), read.ov.InternalHigh.load()), "pattern");
    Io pending;
    EXPECT_FALSE(driver->ReadFile(h, buffer, sizeof buffer, nullptr, &pending.ov));
    far.Hangup();
    ASSERT_TRUE(pending.Wait());
    EXPECT_EQ(pending.ov.Internal.load(), platform::kErrorDeviceRemoved);
    EXPECT_TRUE(e2e::WaitUntil([&] { return removed != card::kInvalidHandle; }));
    EXPECT_EQ(removed.load(), h);
    EXPECT_EQ(Control(*driver, h, IOCTL_GET_V24, nullptr, 0), platform::kErrorDeviceRemoved);
    EXPECT_TRUE(driver->Close(h));
}

}  // namespace
