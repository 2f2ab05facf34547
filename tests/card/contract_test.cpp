// The driver contract, case by case, against every backend: the simulated
// card (card 1, no BERT engine, its line in loopback), a serial port on a
// pseudo-terminal whose far end sends back what it hears, and the backend of
// the card's own driver with the simulated card behind its calls. A backend that
// answers a request otherwise than the others fails here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "card/wire_layout.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "sim/config.h"
#include "sim/driver.h"
#include "sim/sim.h"
#include "tests/e2e_support/e2e_support.h"
#include "tests/zorvan/replay_io.h"
#include "tty/tty.h"
#include "zorvan/driver.h"

namespace {

constexpr uint32_t kRate = 115200;

class SimBackend {
   public:
    SimBackend() : driver_(sim::CreateDriver(sim::DefaultConfig())) {}
    card::Driver& driver() { return *driver_; }
    std::string PortPath(bool plus) const { return sim::CardPath(1) + "/0" + (plus ? "+" : ""); }

   private:
    std::unique_ptr<card::Driver> driver_;
};

// The backend of the card's own driver with the simulated card answering
// its calls: what the contract asks of it, it asks of the driver unchanged.
class ZorvanBackend {
   public:
    ZorvanBackend()
        : far_(sim::CreateDriver(sim::DefaultConfig())),
          driver_(zorvan::CreateDriver(std::make_unique<replay::Io>(*far_), nullptr)) {}
    ~ZorvanBackend() { driver_.reset(); }
    card::Driver& driver() { return *driver_; }
    std::string PortPath(bool plus) const { return sim::CardPath(1) + "/0" + (plus ? "+" : ""); }

   private:
    std::unique_ptr<card::Driver> far_;
    std::unique_ptr<card::Driver> driver_;
};

// The far end of the pseudo-terminal echoes on a thread of its own, as the
// simulated card's loopback does.
class TtyBackend {
   public:
    TtyBackend() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            device_ = ptsname(master_);
        driver_ = tty::CreateDriver({tty::TtyCard{"contract", {device_}}});
        echo_ = std::thread([this] { Echo(); });
    }
    ~TtyBackend() {
        stop_ = true;
        echo_.join();
        driver_.reset();
        if (master_ >= 0) close(master_);
    }
    card::Driver& driver() { return *driver_; }
    std::string PortPath(bool plus) const { return tty::CardPath(0) + "/0" + (plus ? "+" : ""); }

   private:
    void Echo() {
        char buffer[4096];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || (p.revents & POLLIN) == 0) continue;
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0 && write(master_, buffer, size_t(n)) != n) return;
        }
    }

    int master_ = -1;
    std::string device_;
    std::unique_ptr<card::Driver> driver_;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

struct Io {
    platform::Event event{true, false};
    card::Overlapped ov;
    Io() { ov.hEvent = &event; }
    bool Wait(int ms = 5000) {
        return platform::WaitForEvent(event, uint32_t(e2e::ScaledMs(ms))) ==
                   platform::kWaitObject0 &&
               card::HasOverlappedIoCompleted(ov);
    }
};

template <typename Backend>
class DriverContract : public ::testing::Test {
   protected:
    void TearDown() override {
        for (card::PortHandle h : open_) driver().Close(h);
    }
    card::Driver& driver() { return backend_.driver(); }

    card::PortHandle Open(bool plus = false) {
        card::PortHandle h = driver().Open(backend_.PortPath(plus));
        EXPECT_NE(h, card::kInvalidHandle) << platform::GetLastError();
        if (h != card::kInvalidHandle) open_.push_back(h);
        return h;
    }

    // The request run to its end: 0, or the error it failed with.
    uint32_t Control(card::PortHandle h, uint32_t code, const void* in, uint32_t inLength,
                     void* out = nullptr, uint32_t outLength = 0, uint32_t* bytes = nullptr) {
        Io io;
        uint32_t count = 0;
        if (!driver().DeviceIoControl(h, code, in, inLength, out, outLength, &count, &io.ov)) {
            uint32_t error = platform::GetLastError();
            if (error != platform::kErrorIoPending) return error;
            if (!card::GetOverlappedResult(h, &io.ov, &count, true))
                return platform::GetLastError();
        }
        if (bytes) *bytes = count;
        return 0;
    }

    // Asynchronous 8N1 at kRate, started, as the program sets a port up.
    void StartAsync(card::PortHandle h) {
        ZvSerialConfig serial{};
        serial.uVersion = SERIAL_CONFIG_VERSION_OLD;
        ASSERT_EQ(Control(h, IOCTL_GET_SERIAL_CONFIG, nullptr, 0, &serial, sizeof serial), 0u);
        serial.uPortTransparentMode = MODE_ASYNC;
        serial.uPortRate = kRate;
        serial.uPortAsyncDataBits = 0;
        serial.uPortAsyncParity = PARITY_NONE;
        serial.uPortAsyncStopBits = 0;
        serial.uPortAsyncFlowControl = FLOW_NONE;
        ASSERT_EQ(Control(h, IOCTL_SET_SERIAL_CONFIG, &serial, sizeof serial), 0u);
        ASSERT_EQ(Control(h, IOCTL_START_PORT, nullptr, 0), 0u);
    }

    // Sends data and waits until the port has taken all of it.
    void Transmit(card::PortHandle h, const std::string& data) {
        Io io;
        uint32_t bytes = 0;
        bool done = driver().WriteFile(h, data.data(), uint32_t(data.size()), &bytes, &io.ov);
        if (!done) {
            ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
            ASSERT_TRUE(io.Wait());
        }
        EXPECT_EQ(io.ov.Internal.load(), 0u);
        EXPECT_EQ(io.ov.InternalHigh.load(), data.size());
    }

    Backend backend_;
    std::vector<card::PortHandle> open_;
};

using Backends = ::testing::Types<SimBackend, TtyBackend, ZorvanBackend>;
class BackendNames {
   public:
    template <typename T>
    static std::string GetName(int) {
        if (std::is_same_v<T, SimBackend>) return "SimulatedCard";
        if (std::is_same_v<T, ZorvanBackend>) return "CardDriverOverTheSimulatedCard";
        return "SerialPort";
    }
};
TYPED_TEST_SUITE(DriverContract, Backends, BackendNames);

TYPED_TEST(DriverContract, RefusesRequestsThatDoNotFitWithTheSameErrors) {
    card::PortHandle h = this->Open();
    std::array<uint8_t, 512> buffer{};
    struct Case {
        const char* name;
        uint32_t code, inLength, outLength, error;
    };
    const Case cases[] = {
        {"unknown code", 0x999, 0, 0, ZV_ERROR_INVALID_IOCTL},
        {"short interface record", IOCTL_READ_INTERFACE_RECORD, 0, kInterfaceRecordSize - 4,
         ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {"long card information", IOCTL_READ_CARD_INFO, 0, kCardInfoSize + 4,
         ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {"short port configuration", IOCTL_SET_PORT_CONFIG, kPortConfigSize - 4, 0,
         ZV_ERROR_INVALID_INPUT_LENGTH},
        {"inversion without its word", IOCTL_SET_INVERSION, 0, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {"transmit before the start", IOCTL_TRANSMIT_DATA, 8, 0, ZV_ERROR_CARD_NOT_STARTED},
        {"receive before the start", IOCTL_RECEIVE_DATA, 0, 64, ZV_ERROR_CARD_NOT_STARTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(this->Control(h, c.code, buffer.data(), c.inLength, buffer.data(), c.outLength),
                  c.error);
    }
}

TYPED_TEST(DriverContract, FillsTheRecordVersionsItKnowsAndRefusesOthersAlike) {
    card::PortHandle h = this->Open();
    struct Case {
        const char* name;
        uint32_t code, size, version, error;
    };
    const Case cases[] = {
        {"card information", IOCTL_READ_CARD_INFO, kCardInfoSize, CARD_INFO_VERSION, 0},
        {"card information, unknown version", IOCTL_READ_CARD_INFO, kCardInfoSize, 2,
         platform::kErrorNotSupported},
        {"port configuration", IOCTL_GET_PORT_CONFIG, kPortConfigSize, PORT_CONFIG_VERSION, 0},
        {"port configuration, unknown version", IOCTL_GET_PORT_CONFIG, kPortConfigSize, 3,
         platform::kErrorNotSupported},
        {"short serial configuration", IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize,
         SERIAL_CONFIG_VERSION_OLD, 0},
        {"serial configuration, unknown version", IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize, 7,
         platform::kErrorNotSupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> record(c.size, 0xEE);
        card::wire::StoreU32(record.data(), 0, c.version);
        uint32_t bytes = 0;
        EXPECT_EQ(this->Control(h, c.code, nullptr, 0, record.data(), c.size, &bytes), c.error);
        if (c.error == 0) {
            EXPECT_EQ(bytes, c.size);
            EXPECT_EQ(card::wire::LoadU32(record.data(), 0), c.version);
        }
    }
}

TYPED_TEST(DriverContract, DataRequestsNeedARecordAndAStartedPort) {
    card::PortHandle h = this->Open(true);
    uint8_t buffer[64] = {};
    Io io;
    uint32_t bytes = 0;
    EXPECT_FALSE(this->driver().ReadFile(h, buffer, sizeof buffer, &bytes, &io.ov));
    EXPECT_EQ(platform::GetLastError(), ZV_ERROR_CARD_NOT_STARTED);
    EXPECT_FALSE(this->driver().WriteFile(h, buffer, sizeof buffer, &bytes, &io.ov));
    EXPECT_EQ(platform::GetLastError(), ZV_ERROR_CARD_NOT_STARTED);
    this->StartAsync(h);
    EXPECT_FALSE(this->driver().ReadFile(h, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    EXPECT_FALSE(this->driver().WriteFile(h, nullptr, 8, &bytes, &io.ov));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
}

TYPED_TEST(DriverContract, ThePlusHandleReadsTheBareCharacters) {
    card::PortHandle h = this->Open(true);
    this->StartAsync(h);
    std::array<char, 64> got{};
    Io read;
    uint32_t bytes = 0;
    ASSERT_FALSE(this->driver().ReadFile(h, got.data(), uint32_t(got.size()), &bytes, &read.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    this->Transmit(h, "contract");
    ASSERT_TRUE(read.Wait());
    ASSERT_EQ(read.ov.Internal.load(), 0u);
    // Characters may come in more than one read; the first ones start the text.
    const std::string first(got.data(), read.ov.InternalHigh.load());
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(std::string("contract").substr(0, first.size()), first);
}

TYPED_TEST(DriverContract, TheDataHandleWritesRecordsIntoTheRingAndCancelEndsIt) {
    card::PortHandle h = this->Open();
    this->StartAsync(h);
    constexpr uint32_t kSize = 1024;
    alignas(4) std::array<uint8_t, card::wire::kRingHeaderSize + kSize> block{};
    Io ring;
    uint32_t bytes = 0;
    // A ring whose size does not fit the block is refused, nothing pending.
    card::wire::StoreU32(block.data(), card::wire::kRingSize, kSize + 1);
    EXPECT_FALSE(
        this->driver().ReadFile(h, block.data(), uint32_t(block.size()), &bytes, &ring.ov));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);

    card::wire::StoreU32(block.data(), card::wire::kRingSize, kSize);
    ASSERT_FALSE(
        this->driver().ReadFile(h, block.data(), uint32_t(block.size()), &bytes, &ring.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    this->Transmit(h, "ring");

    // Records are published whole: the write index moves past a header and
    // its data at once.
    std::atomic_ref<uint32_t> write(
        *reinterpret_cast<uint32_t*>(block.data() + card::wire::kRingWriteIndex));
    std::string data;
    uint32_t read = 0;
    bool malformed = false;
    e2e::WaitUntil([&] {
        while (read != write.load(std::memory_order_acquire)) {
            uint8_t header[kReceiveRecordHeaderSize];
            for (uint8_t& byte : header)
                byte = block[card::wire::kRingHeaderSize + (read = (read + 1) % kSize)];
            uint16_t length = card::wire::LoadU16(header, card::wire::kRecordLength);
            EXPECT_GT(length, 0u);
            EXPECT_LE(length, 4u);
            if (length == 0 || length > 4) return malformed = true;
            for (uint16_t i = 0; i < length; ++i)
                data += char(block[card::wire::kRingHeaderSize + (read = (read + 1) % kSize)]);
        }
        return data.size() >= 4;
    });
    ASSERT_FALSE(malformed);
    EXPECT_EQ(data, "ring");
    EXPECT_FALSE(card::HasOverlappedIoCompleted(ring.ov));
    EXPECT_TRUE(this->driver().CancelIo(h));
    EXPECT_TRUE(card::HasOverlappedIoCompleted(ring.ov));
    EXPECT_EQ(ring.ov.Internal.load(), platform::kErrorOperationAborted);
}

TYPED_TEST(DriverContract, ReceiveDataTakesWhatArrivedWithoutARead) {
    card::PortHandle h = this->Open(true);
    this->StartAsync(h);
    this->Transmit(h, "queued");
    std::string got;
    uint32_t error = 0;
    e2e::WaitUntil([&] {
        char buffer[64];
        uint32_t bytes = 0;
        error = this->Control(h, IOCTL_RECEIVE_DATA, nullptr, 0, buffer, sizeof buffer, &bytes);
        got.append(buffer, bytes);
        return error != 0 || got.size() >= 6;
    });
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(got, "queued");
}

TYPED_TEST(DriverContract, ASecondOpenOfAPortIsRefusedUntilTheFirstCloses) {
    card::PortHandle h = this->Open();
    EXPECT_EQ(this->driver().Open(this->backend_.PortPath(false)), card::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    EXPECT_TRUE(this->driver().Close(h));
    this->open_.clear();
    EXPECT_NE(this->Open(), card::kInvalidHandle);
}

}  // namespace
