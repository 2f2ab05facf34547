// Configuration of the simulated cards: defaults, the TOML file, bad files.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "sim/sim.h"
#include "sim_test_util.h"

namespace {

using simtest::MakeDriver;

TEST(SimConfig, DefaultCardsAsDiscoverySeesThem) {
    auto driver = MakeDriver();
    auto list = driver->EnumerateInterfaces();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].path, "//sim/zorvan/card0");
    EXPECT_EQ(list[0].deviceName, "ZVCD0");
    EXPECT_EQ(list[0].ports, 2u);
    EXPECT_FALSE(list[0].miniportInstance.has_value());
    EXPECT_FALSE(list[0].netCfgInstanceId.has_value());
    EXPECT_EQ(list[1].deviceName, "ZVCD1");
    EXPECT_EQ(list[1].ports, 4u);
    EXPECT_FALSE(list[1].description.empty());
}

// What the set-up reads to decide on hardware mode and the V1 warning.
TEST(SimConfig, DefaultCardInformation) {
    auto driver = MakeDriver();
    struct Expect {
        unsigned card;
        uint8_t model;
        uint16_t revision;
        uint32_t bert;
    } cases[] = {{0, 7, 0x310, 1}, {1, 5, 0x200, 0}};
    for (const auto& c : cases) {
        auto h = driver->Open(simtest::PortPath(c.card, 0));
        ASSERT_NE(h, card::kInvalidHandle);
        std::array<uint8_t, kCardInfoSize> info{};
        sim::StoreU32(info.data(), 0, 1);
        ASSERT_EQ(simtest::Control(*driver, h, IOCTL_READ_CARD_INFO, nullptr, 0, info.data(),
                                   kCardInfoSize),
                  0u);
        EXPECT_EQ(info[5], c.model) << "card " << c.card;
        EXPECT_EQ(sim::LoadU16(info.data(), 6), c.revision);
        EXPECT_EQ(sim::LoadU32(info.data(), 24), c.bert);
        driver->Close(h);
    }
}

TEST(SimConfig, EveryCardFieldIsConfigurable) {
    auto driver = MakeDriver(R"(
        [[card]]
        model = 3
        type_low = 0x21
        revision = 0x103
        bert = 0
        generation = 2
        ports = 3
        description = "bench card"
        [card.registry]
        Ports = 9
        DeviceName = "ZVCD12"
        MiniportInstance = "7"
        NetCfgInstanceId = "{1234}"
        [[card]]
        ports = 1
        [card.registry]
        DeviceName = "ZVCD2"
    )");
    auto list = driver->EnumerateInterfaces();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].description, "bench card");
    EXPECT_EQ(list[0].ports, 9u);  // the registry says what it says, whatever the hardware has
    EXPECT_EQ(list[0].deviceName, "ZVCD12");
    EXPECT_EQ(list[0].miniportInstance, "7");
    EXPECT_EQ(list[0].netCfgInstanceId, "{1234}");
    EXPECT_FALSE(list[1].ports.has_value());  // a registry table lists exactly its values
    EXPECT_FALSE(list[1].miniportInstance.has_value());

    auto h = driver->Open(simtest::PortPath(0, 2));
    ASSERT_NE(h, card::kInvalidHandle);
    std::array<uint8_t, kCardInfoSize> info{};
    sim::StoreU32(info.data(), 0, 1);
    ASSERT_EQ(
        simtest::Control(*driver, h, IOCTL_READ_CARD_INFO, nullptr, 0, info.data(), kCardInfoSize),
        0u);
    EXPECT_EQ(sim::LoadU16(info.data(), 4), 0x0321);
    EXPECT_EQ(sim::LoadU16(info.data(), 6), 0x103);
    EXPECT_EQ(sim::LoadU32(info.data(), 24), 0u);
    EXPECT_EQ(sim::LoadU32(info.data(), 28), 2u);
    EXPECT_EQ(driver->Open(simtest::PortPath(0, 3)), card::kInvalidHandle);  // only 3 port devices
}

struct BadConfig {
    std::string text;
    std::string mentions;
};

std::string Cards(int count, int ports) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "[[card]]\nports = " + std::to_string(ports) + "\n";
    return text;
}

TEST(SimConfig, BadTextIsRefusedWithItsReason) {
    const BadConfig cases[] = {
        {"[[card]]\nrevision = \n", "line 2"},
        {"[[card]]\nrevison = 1\n", "card[0].revison: unknown key"},
        {"[[card]]\nmodel = 256\n", "card[0].model: value 256 out of range"},
        {"[[card]]\nports = \"two\"\n", "card[0].ports: must be an integer"},
        {"[[card]]\n[[card]]\ncan_invert = 1\n", "card[1].can_invert: must be true or false"},
        {"[[card]]\n[[card.fault]]\nerror = 5\n", "needs \"ioctl\" or \"request\""},
        {"[[card]]\n[[card.fault]]\nrequest = \"close\"\n", "unknown request \"close\""},
        {"[[card]]\n[card.registry]\nPort = 2\n", "card[0].registry.Port: unknown registry value"},
        {"[[card]]\nline = \"radio\"\n", "unknown line kind"},
        {"tick_ms = 0\n", "tick_ms: value 0 out of range 1..50"},
        {"tick_ms = 51\n", "tick_ms: value 51 out of range 1..50"},
        {"[[card]]\nports = 65\n", "card[0].ports: value 65 out of range 0..64"},
        {Cards(65, 1), "card: 65 cards, at most 64"},
        {Cards(8, 64) + "[[card]]\nports = 1\n",
         "card[8].ports: makes 513 ports in all, at most 512"},
        {"card = 3\n", "card: must be an array of tables"},
    };
    for (const auto& c : cases) {
        sim::SimConfig config;
        std::string error;
        EXPECT_FALSE(sim::ParseConfig(c.text, "cards.toml", &config, &error)) << c.text;
        EXPECT_NE(error.find("cards.toml"), std::string::npos) << error;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

class SimEnvironmentConfig : public ::testing::Test {
   protected:
    void TearDown() override {
        unsetenv(sim::kConfigVariable);
        std::remove(path_.c_str());
    }
    void Write(const std::string& text) {
        std::ofstream(path_) << text;
        setenv(sim::kConfigVariable, path_.c_str(), 1);
    }
    // Unique per test and process: ctest runs the tests of this file side by side.
    std::string path_ = ::testing::TempDir() + "sim_config_" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                        std::to_string(getpid()) + ".toml";
};

TEST_F(SimEnvironmentConfig, UnsetVariableGivesTheDefaultCards) {
    unsetenv(sim::kConfigVariable);
    std::string error;
    auto driver = sim::CreateDriverFromEnvironment(&error);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->EnumerateInterfaces().size(), 2u);
}

TEST_F(SimEnvironmentConfig, FileNamedByTheVariableIsUsed) {
    Write("[[card]]\nports = 1\n[[card]]\n[[card]]\n");
    std::string error;
    auto driver = sim::CreateDriverFromEnvironment(&error);
    ASSERT_NE(driver, nullptr) << error;
    EXPECT_EQ(driver->EnumerateInterfaces().size(), 3u);
}

TEST_F(SimEnvironmentConfig, MalformedOrMissingFileGivesNoDriverAndNamesTheFile) {
    Write("[[card]\n");
    std::string error;
    EXPECT_EQ(sim::CreateDriverFromEnvironment(&error), nullptr);
    EXPECT_NE(error.find(path_), std::string::npos) << error;

    std::string missing = path_ + ".absent";
    setenv(sim::kConfigVariable, missing.c_str(), 1);
    error.clear();
    EXPECT_EQ(sim::CreateDriverFromEnvironment(&error), nullptr);
    EXPECT_NE(error.find(missing), std::string::npos) << error;

    EXPECT_NE(error.find(": no such file"), std::string::npos) << error;
}

// A name that is no regular file says what it is, and a FIFO is never waited on.
TEST_F(SimEnvironmentConfig, NameThatIsNoRegularFileSaysWhatItIs) {
    const std::string fifo = path_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string mentions;
    } cases[] = {{::testing::TempDir(), ": is a directory"}, {fifo, ": not a regular file"}};
    for (const auto& c : cases) {
        setenv(sim::kConfigVariable, c.path.c_str(), 1);
        std::string error;
        EXPECT_EQ(sim::CreateDriverFromEnvironment(&error), nullptr);
        EXPECT_NE(error.find(c.path + c.mentions), std::string::npos) << error;
    }
    std::remove(fifo.c_str());
}

}  // namespace
