// The backend of the card's own driver, run against the simulated card's
// answers: every request reaches the far side as sent, and every answer,
// at once or later, comes back into the program's records as the simulated
// card gives it directly.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "card/wire_layout.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "sim/driver.h"
#include "sim/sim.h"
#include "tests/e2e_support/e2e_support.h"
#include "tests/zorvan/replay_io.h"
#include "zorvan/driver.h"

namespace {

constexpr uint32_t kRate = 115200;

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

// A result as the program sees it: the error (0 for success), the count and
// the output bytes.
struct Answer {
    uint32_t error = 0;
    uint32_t bytes = 0;
    std::vector<uint8_t> out;
    bool operator==(const Answer&) const = default;
};

Answer Ask(card::Driver& driver, card::PortHandle h, uint32_t code, std::vector<uint8_t> in,
           size_t outSize, uint32_t version) {
    Answer answer;
    answer.out.assign(outSize, 0xEE);
    if (outSize >= 4) card::wire::StoreU32(answer.out.data(), 0, version);
    Io io;
    if (!driver.DeviceIoControl(h, code, in.empty() ? nullptr : in.data(), uint32_t(in.size()),
                                answer.out.empty() ? nullptr : answer.out.data(), uint32_t(outSize),
                                &answer.bytes, &io.ov)) {
        answer.error = platform::GetLastError();
        if (answer.error == platform::kErrorIoPending) {
            answer.error = card::GetOverlappedResult(h, &io.ov, &answer.bytes, true)
                               ? 0
                               : platform::GetLastError();
        }
    }
    return answer;
}

// A DeviceSet whose notices the test sends itself.
class ScriptedDevices : public zorvan::DeviceSet {
   public:
    struct Seen {
        std::vector<zorvan::NativeHandle> watched, unwatched;
        Listener listener;
        std::vector<card::CardInterface> cards;
    };
    explicit ScriptedDevices(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
    std::vector<card::CardInterface> Enumerate() override { return seen_->cards; }
    void Listen(Listener listener) override { seen_->listener = std::move(listener); }
    void WatchHandle(zorvan::NativeHandle h) override { seen_->watched.push_back(h); }
    void UnwatchHandle(zorvan::NativeHandle h) override { seen_->unwatched.push_back(h); }

   private:
    std::shared_ptr<Seen> seen_;
};

class ZorvanReplay : public ::testing::Test {
   protected:
    ZorvanReplay()
        : far_(sim::CreateDriver(sim::DefaultConfig())),
          calls_(std::make_shared<replay::Calls>()),
          seen_(std::make_shared<ScriptedDevices::Seen>()),
          driver_(zorvan::CreateDriver(std::make_unique<replay::Io>(*far_, calls_),
                                       std::make_unique<ScriptedDevices>(seen_))) {}
    ~ZorvanReplay() override {
        driver_.reset();
        far_.reset();
    }

    std::string PortPath(bool plus = false) const {
        return sim::CardPath(1) + "/0" + (plus ? "+" : "");
    }

    card::PortHandle Open(bool plus = false) {
        card::PortHandle h = driver_->Open(PortPath(plus));
        EXPECT_NE(h, card::kInvalidHandle) << platform::GetLastError();
        return h;
    }

    void StartAsync(card::PortHandle h) {
        ZvSerialConfig serial{};
        serial.uVersion = SERIAL_CONFIG_VERSION_OLD;
        std::vector<uint8_t> none;
        Answer read = Ask(*driver_, h, IOCTL_GET_SERIAL_CONFIG, none, sizeof serial,
                          SERIAL_CONFIG_VERSION_OLD);
        ASSERT_EQ(read.error, 0u);
        std::memcpy(&serial, read.out.data(), sizeof serial);
        serial.uPortTransparentMode = MODE_ASYNC;
        serial.uPortRate = kRate;
        serial.uPortAsyncFlowControl = FLOW_NONE;
        std::vector<uint8_t> in(sizeof serial);
        std::memcpy(in.data(), &serial, sizeof serial);
        ASSERT_EQ(Ask(*driver_, h, IOCTL_SET_SERIAL_CONFIG, in, 0, 0).error, 0u);
        ASSERT_EQ(Ask(*driver_, h, IOCTL_START_PORT, none, 0, 0).error, 0u);
    }

    // Sends through the backend and waits for the completion it publishes.
    void Transmit(card::PortHandle h, const std::string& data) {
        Io io;
        uint32_t bytes = 0;
        if (!driver_->WriteFile(h, data.data(), uint32_t(data.size()), &bytes, &io.ov)) {
            ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
            ASSERT_TRUE(io.Wait());
        }
        EXPECT_EQ(io.ov.Internal.load(), 0u);
        EXPECT_EQ(io.ov.InternalHigh.load(), data.size());
    }

    std::unique_ptr<card::Driver> far_;
    std::shared_ptr<replay::Calls> calls_;
    std::shared_ptr<ScriptedDevices::Seen> seen_;
    std::unique_ptr<card::Driver> driver_;
};

TEST(ZorvanPortPath, TheLastSeparatorBecomesTheDriversBackslash) {
    struct Case {
        const char* contract;
        const char* native;
    };
    const Case cases[] = {
        {"\\\\?\\pci#zv&1#{guid}/0", "\\\\?\\pci#zv&1#{guid}\\0"},
        {"\\\\?\\pci#zv&1#{guid}/12+", "\\\\?\\pci#zv&1#{guid}\\12+"},
        {"a/b/3", "a/b\\3"},
        {"\\\\.\\ZVCD0\\1", "\\\\.\\ZVCD0\\1"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(zorvan::NativePortPath(c.contract), c.native);
}

TEST_F(ZorvanReplay, EveryRecordComesBackAsTheSimulatedCardGivesIt) {
    struct Case {
        const char* name;
        uint32_t code;
        size_t inSize, outSize;
        uint32_t version;
    };
    const Case cases[] = {
        {"card information", IOCTL_READ_CARD_INFO, 0, kCardInfoSize, CARD_INFO_VERSION},
        {"card information of an unknown version", IOCTL_READ_CARD_INFO, 0, kCardInfoSize, 2},
        {"port configuration", IOCTL_GET_PORT_CONFIG, 0, kPortConfigSize, PORT_CONFIG_VERSION},
        {"serial configuration", IOCTL_GET_SERIAL_CONFIG, 0, kSerialConfigSize,
         SERIAL_CONFIG_VERSION},
        {"old serial configuration", IOCTL_GET_SERIAL_CONFIG, 0, kSerialConfigSize,
         SERIAL_CONFIG_VERSION_OLD},
        {"interface record", IOCTL_READ_INTERFACE_RECORD, 0, kInterfaceRecordSize, 0},
        {"short interface record", IOCTL_READ_INTERFACE_RECORD, 0, kInterfaceRecordSize - 4, 0},
        {"short port configuration", IOCTL_SET_PORT_CONFIG, kPortConfigSize - 4, 0, 0},
        {"inversion word", IOCTL_SET_INVERSION, 4, 0, 0},
        {"unknown code", 0x999, 0, 0, 0},
        {"receive before the start", IOCTL_RECEIVE_DATA, 0, 64, 0},
    };
    // The same port asked directly first, then through the backend.
    std::vector<Answer> expected;
    card::PortHandle direct = far_->Open(PortPath());
    ASSERT_NE(direct, card::kInvalidHandle);
    for (const Case& c : cases)
        expected.push_back(
            Ask(*far_, direct, c.code, std::vector<uint8_t>(c.inSize, 0), c.outSize, c.version));
    far_->Close(direct);
    card::PortHandle viaBackend = Open();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        Answer got = Ask(*driver_, viaBackend, c.code, std::vector<uint8_t>(c.inSize, 0), c.outSize,
                         c.version);
        EXPECT_EQ(got.error, expected[i].error);
        EXPECT_EQ(got.bytes, expected[i].bytes);
        EXPECT_EQ(got.out, expected[i].out);
    }
    // Each request reached the driver once, with its own code.
    std::lock_guard<std::mutex> lock(calls_->lock);
    ASSERT_EQ(calls_->codes.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(calls_->codes[i], cases[i].code);
}

TEST_F(ZorvanReplay, PortsOpenUnderTheDriversNameAndOnlyOnce) {
    card::PortHandle h = Open(true);
    {
        std::lock_guard<std::mutex> lock(calls_->lock);
        ASSERT_EQ(calls_->opened.size(), 1u);
        EXPECT_EQ(calls_->opened[0], sim::CardPath(1) + "\\0+");
    }
    EXPECT_EQ(driver_->Open(PortPath(true)), card::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    EXPECT_EQ(driver_->Open(sim::CardPath(9) + "/0"), card::kInvalidHandle);
    EXPECT_NE(platform::GetLastError(), 0u);
    EXPECT_TRUE(driver_->Close(h));
    EXPECT_FALSE(driver_->Close(h));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
    EXPECT_NE(Open(true), card::kInvalidHandle);
}

TEST_F(ZorvanReplay, APendingWriteEndsInTheProgramsRecordAndEvent) {
    card::PortHandle h = Open(true);
    StartAsync(h);
    const std::string text(2000, 'z');  // long enough at 115200 bit/s to stay pending
    Io io;
    uint32_t bytes = 0;
    ASSERT_FALSE(driver_->WriteFile(h, text.data(), uint32_t(text.size()), &bytes, &io.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    EXPECT_FALSE(card::HasOverlappedIoCompleted(io.ov));
    ASSERT_TRUE(io.Wait());
    EXPECT_EQ(io.ov.Internal.load(), 0u);
    EXPECT_EQ(io.ov.InternalHigh.load(), text.size());
    EXPECT_TRUE(card::GetOverlappedResult(h, &io.ov, &bytes, false));
    EXPECT_EQ(bytes, text.size());
}

TEST_F(ZorvanReplay, ARefusedRequestLeavesNothingPendingAndSaysWhy) {
    card::PortHandle h = Open(true);
    uint8_t buffer[16] = {};
    Io io;
    uint32_t bytes = 0;
    EXPECT_FALSE(driver_->WriteFile(h, buffer, sizeof buffer, &bytes, &io.ov));
    EXPECT_EQ(platform::GetLastError(), ZV_ERROR_CARD_NOT_STARTED);
    EXPECT_TRUE(card::HasOverlappedIoCompleted(io.ov));
    EXPECT_FALSE(driver_->ReadFile(h, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    EXPECT_FALSE(driver_->WriteFile(card::PortHandle(12345), buffer, 1, &bytes, &io.ov));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

TEST_F(ZorvanReplay, ReadsCompleteWithTheArrivedCharactersAndCancelEndsTheRest) {
    card::PortHandle h = Open(true);
    StartAsync(h);
    Transmit(h, "replay");
    // Characters may come in more than one read.
    std::string got;
    while (got.size() < 6) {
        std::array<char, 64> buffer{};
        Io read;
        uint32_t bytes = 0;
        if (!driver_->ReadFile(h, buffer.data(), uint32_t(buffer.size()), &bytes, &read.ov)) {
            ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
            ASSERT_TRUE(read.Wait());
        }
        ASSERT_EQ(read.ov.Internal.load(), 0u);
        ASSERT_GT(read.ov.InternalHigh.load(), 0u);
        got.append(buffer.data(), read.ov.InternalHigh.load());
    }
    EXPECT_EQ(got, "replay");

    // Nothing more comes: the next read pends until CancelIo, which returns
    // only once the read has ended as aborted.
    std::array<char, 64> rest{};
    Io idle;
    uint32_t bytes = 0;
    ASSERT_FALSE(driver_->ReadFile(h, rest.data(), uint32_t(rest.size()), &bytes, &idle.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    EXPECT_TRUE(driver_->CancelIo(h));
    EXPECT_TRUE(card::HasOverlappedIoCompleted(idle.ov));
    EXPECT_EQ(idle.ov.Internal.load(), platform::kErrorOperationAborted);
    EXPECT_TRUE(idle.event.IsSignalled());
}

TEST_F(ZorvanReplay, TheReceiveEventIsPassedOnForEveryArrivalWhileThePortIsOpen) {
    card::PortHandle h = Open();
    StartAsync(h);
    auto received = std::make_unique<platform::Event>(false, false);
    card::Overlapped registration;
    registration.hEvent = received.get();
    uint32_t bytes = 0;
    bool done = driver_->DeviceIoControl(h, IOCTL_SET_PORT_EVENT, nullptr, 0, nullptr, 0, &bytes,
                                         &registration);
    ASSERT_TRUE(done || platform::GetLastError() == platform::kErrorIoPending);
    // The registration's own completion may set the event once; start clean.
    platform::WaitForEvent(*received, 0);
    alignas(4) std::array<uint8_t, card::wire::kRingHeaderSize + 1024> block{};
    card::wire::StoreU32(block.data(), card::wire::kRingSize, 1024);
    Io ring;
    ASSERT_FALSE(driver_->ReadFile(h, block.data(), uint32_t(block.size()), &bytes, &ring.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    for (const char* text : {"one", "two", "three"}) {
        SCOPED_TRACE(text);
        Transmit(h, text);
        EXPECT_EQ(platform::WaitForEvent(*received, uint32_t(e2e::ScaledMs(5000))),
                  platform::kWaitObject0);
        // The ring's write index has moved past what arrived.
        EXPECT_NE(card::wire::LoadU32(block.data(), card::wire::kRingWriteIndex), 0u);
    }
    EXPECT_TRUE(driver_->Close(h));
    EXPECT_TRUE(card::HasOverlappedIoCompleted(ring.ov));
    EXPECT_EQ(ring.ov.Internal.load(), platform::kErrorOperationAborted);
    // Once closed, nothing may touch the program's event any more (the
    // sanitizers see a use after this).
    received.reset();
}

TEST_F(ZorvanReplay, DeviceNoticesReachTheHandlersWithTheProgramsHandle) {
    card::CardInterface listed;
    listed.path = "\\\\?\\zv#1";
    listed.ports = 2;
    seen_->cards.push_back(listed);
    ASSERT_EQ(driver_->EnumerateInterfaces().size(), 1u);
    EXPECT_EQ(driver_->EnumerateInterfaces()[0].path, listed.path);

    card::PortHandle h = Open();
    ASSERT_EQ(seen_->watched.size(), 1u);
    EXPECT_EQ(seen_->watched[0], h);
    std::vector<card::PortHandle> removed;
    std::vector<std::pair<std::string, bool>> changed;
    driver_->SetRemovalHandler([&](card::PortHandle handle) { removed.push_back(handle); });
    driver_->SetInterfaceHandler([&](const card::CardInterface& iface, bool arrived) {
        changed.emplace_back(iface.path, arrived);
    });
    ASSERT_TRUE(seen_->listener.handleRemoved);
    seen_->listener.handleRemoved(h);
    seen_->listener.interfaceChanged(listed, false);
    seen_->listener.interfaceChanged(listed, true);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0], h);
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_FALSE(changed[0].second);
    EXPECT_TRUE(changed[1].second);
    driver_->SetRemovalHandler(nullptr);
    seen_->listener.handleRemoved(h);  // no handler: nothing to call
    EXPECT_EQ(removed.size(), 1u);
    EXPECT_TRUE(driver_->Close(h));
    ASSERT_EQ(seen_->unwatched.size(), 1u);
    EXPECT_EQ(seen_->unwatched[0], h);
}

TEST_F(ZorvanReplay, ClosingTheBackendEndsWhatIsStillPending) {
    card::PortHandle h = Open();
    StartAsync(h);
    alignas(4) std::array<uint8_t, card::wire::kRingHeaderSize + 1024> block{};
    card::wire::StoreU32(block.data(), card::wire::kRingSize, 1024);
    Io ring;
    uint32_t bytes = 0;
    ASSERT_FALSE(driver_->ReadFile(h, block.data(), uint32_t(block.size()), &bytes, &ring.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    driver_.reset();
    EXPECT_TRUE(card::HasOverlappedIoCompleted(ring.ov));
    EXPECT_EQ(ring.ov.Internal.load(), platform::kErrorOperationAborted);
    EXPECT_EQ(calls_->closes.load(), 1);
}

}  // namespace
