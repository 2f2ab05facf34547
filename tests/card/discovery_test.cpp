#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "card/card_handler.h"
#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "platform/console.h"
#include "tests/card/fake_driver.h"

namespace {

card::CardInterface Iface(std::string path, std::optional<std::string> deviceName,
                          std::optional<uint32_t> ports,
                          std::optional<std::string> miniport = std::nullopt) {
    card::CardInterface i;
    i.path = std::move(path);
    i.description = "card at " + i.path;
    i.deviceName = std::move(deviceName);
    i.ports = ports;
    i.miniportInstance = std::move(miniport);
    return i;
}

class CountingHandler : public ZvCardHandler {
   public:
    void CardChanged(ZvCard& card) override { changed.push_back(card.Path()); }
    std::vector<std::string> changed;
};

class Discovery : public testing::Test {
   protected:
    void SetUp() override {
        auto driver = std::make_unique<fake::FakeDriver>();
        fake_ = driver.get();
        card::SetDriver(std::move(driver));
    }
    void TearDown() override { card::SetDriver(nullptr); }

    std::vector<std::string> Paths(ZvCardHandler& handler) {
        std::vector<std::string> paths;
        for (const ZvCard* c : handler.Cards()) paths.push_back(c->Path());
        return paths;
    }

    fake::FakeDriver* fake_ = nullptr;
};

TEST_F(Discovery, CardsAreOrderedByDeviceNameBytesAndNumberedFromIt) {
    fake_->interfaces = {Iface("/dev/zv/a", "ZVCD2", 2), Iface("/dev/zv/b", "ZVCD10", 2)};
    CountingHandler handler;
    ASSERT_TRUE(handler.Discover());
    EXPECT_EQ(Paths(handler), (std::vector<std::string>{"/dev/zv/b", "/dev/zv/a"}));
    auto cards = handler.Cards();
    EXPECT_EQ(cards[0]->Number(), 10u);
    EXPECT_EQ(cards[1]->Number(), 2u);
    ZvPort* port = handler.FindPort(2, 1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->DeviceName(), "/dev/zv/a/1");
    EXPECT_EQ(handler.FindPort(2, 2), nullptr);
    EXPECT_EQ(handler.FindPort(3, 0), nullptr);
    // Discovery itself reports no changes.
    EXPECT_TRUE(handler.changed.empty());
}

TEST_F(Discovery, EqualNamesKeepArrivalOrder) {
    fake_->interfaces = {Iface("/x/1", "ZVCD1", 1), Iface("/x/2", "ZVCD1", 1),
                         Iface("/x/0", "ZVCD0", 1)};
    ZvCardHandler handler;
    handler.Discover();
    EXPECT_EQ(Paths(handler), (std::vector<std::string>{"/x/0", "/x/1", "/x/2"}));
    // The first card with the number wins, even when its index is out of range.
    EXPECT_EQ(handler.FindPort(1, 0)->Card().Path(), "/x/1");
}

TEST_F(Discovery, MiniportInstanceGivesTheNumber) {
    fake_->interfaces = {Iface("/x/m", "ZVCD3", 1, "7"), Iface("/x/short", "ZVC", 1),
                         Iface("/x/none", std::nullopt, 1)};
    ZvCardHandler handler;
    handler.Discover();
    EXPECT_NE(handler.FindPort(7, 0), nullptr);
    EXPECT_EQ(handler.FindPort(3, 0), nullptr);
    // Names of four characters or fewer, and missing names, give card 0.
    ASSERT_NE(handler.FindPort(0, 0), nullptr);
    EXPECT_EQ(handler.FindPort(0, 0)->Card().Path(), "/x/none");
}

TEST_F(Discovery, PortCountComesFromTheDriverKey) {
    card::CardInterface net = Iface("/x/net", "ZVCD5", 4);
    net.netCfgInstanceId = "{0000}";
    fake_->interfaces = {Iface("/x/noports", "ZVCD4", std::nullopt), net,
                         Iface("/x/huge", "ZVCD6", 0xFFFFFFFFu)};
    ZvCardHandler handler;
    testing::internal::CaptureStdout();
    handler.Discover();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(handler.FindPort(4, 0), nullptr);
    EXPECT_NE(handler.FindPort(5, 0), nullptr);
    EXPECT_EQ(handler.FindPort(5, 1), nullptr);
    // A corrupt count is bounded instead of building billions of ports.
    EXPECT_LE(handler.Cards()[2]->PortCount(), 256u);
    EXPECT_NE(out.find("WARNING: card /x/huge reports 4294967295 ports"), std::string::npos);
}

TEST_F(Discovery, ArrivalsAddNewCardsOnceAndReportChanges) {
    fake_->interfaces = {Iface("/x/a", "ZVCD1", 1), Iface("", "ZVCD9", 1)};
    CountingHandler handler;
    handler.Discover();
    EXPECT_EQ(handler.Cards().size(), 1u);  // no path, no card
    ASSERT_TRUE(fake_->interfaceChange);
    std::thread([&] {
        fake_->interfaceChange(Iface("/x/b", "ZVCD0", 1), true);
        fake_->interfaceChange(Iface("/x/a", "ZVCD1", 1), true);
        fake_->interfaceChange(Iface("/X/B", "ZVCD0", 1), false);
        fake_->interfaceChange(Iface("/x/gone", "ZVCD0", 1), false);
    }).join();
    EXPECT_EQ(Paths(handler), (std::vector<std::string>{"/x/b", "/x/a"}));
    EXPECT_EQ(handler.changed, (std::vector<std::string>{"/x/b", "/x/a", "/x/b"}));
}

TEST_F(Discovery, PlusPathIsTriedFirstAndFallsBack) {
    fake_->interfaces = {Iface("/x/a", "ZVCD1", 2)};
    fake_->devices["/x/a/0"] = {};
    fake_->devices["/x/a/1"] = {};
    fake_->devices["/x/a/1+"] = {};
    ZvCardHandler handler;
    handler.Discover();

    bool plus = true;
    ZvPort* port0 = handler.FindPort(1, 0);
    ASSERT_TRUE(port0->Open(&plus));
    EXPECT_FALSE(plus);
    EXPECT_EQ(fake_->openAttempts, (std::vector<std::string>{"/x/a/0+", "/x/a/0"}));

    plus = true;
    ZvPort* port1 = handler.FindPort(1, 1);
    ASSERT_TRUE(port1->Open(&plus));
    EXPECT_TRUE(plus);
    EXPECT_EQ(fake_->PathOf(port1->Handle()), "/x/a/1+");

    port0->Close();
    EXPECT_EQ(port0->Handle(), card::kInvalidHandle);
    EXPECT_EQ(fake_->OpenCount(), 1u);
}

TEST_F(Discovery, RemovingTheOpenPortEndsTheTest) {
    fake_->interfaces = {Iface("/x/a", "ZVCD1", 1)};
    fake_->devices["/x/a/0"] = {};
    CardHandler handler;
    handler.Discover();
    ZvPort* port = handler.FindPort(1, 0);
    bool plus = false;
    ASSERT_TRUE(port->Open(&plus));
    card::PortHandle handle = port->Handle();
    g_pOpenPort = port;
    g_hPort = handle;
    g_bQuit = g_bRxStop = g_bTxStop = g_bModbusStop = false;

    ASSERT_TRUE(fake_->removal);
    std::thread([&] { fake_->removal(handle); }).join();

    EXPECT_TRUE(g_bQuit);
    EXPECT_TRUE(g_bRxStop);
    EXPECT_TRUE(g_bTxStop);
    EXPECT_TRUE(g_bModbusStop);
    EXPECT_EQ(g_hPort.load(), card::kInvalidHandle);
    EXPECT_EQ(g_pOpenPort, nullptr);
    EXPECT_EQ(port->Handle(), card::kInvalidHandle);
    EXPECT_EQ(fake_->OpenCount(), 0u);
    // Pushed keys come before anything typed.
    EXPECT_EQ(platform::ReadKey(), 'x');
    EXPECT_EQ(fake_->closed, (std::vector<card::PortHandle>{handle}));

    // A second notice for the same device finds nothing left to do.
    g_bQuit = false;
    fake_->removal(handle);
    EXPECT_FALSE(g_bQuit);
    EXPECT_EQ(fake_->closed.size(), 1u);
    g_bQuit = g_bRxStop = g_bTxStop = g_bModbusStop = false;
}

}  // namespace
