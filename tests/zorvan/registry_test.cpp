// The driver key's values as the backend reads them, and the interface
// class it is told to look under.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "sim/config.h"
#include "zorvan/zorvan.h"

namespace {

using Values = std::map<std::string, std::string>;

card::CardInterface Read(const Values& values) {
    card::CardInterface iface;
    zorvan::ReadDriverKeyValues(
        [&](const char* name) -> std::optional<std::string> {
            auto it = values.find(name);
            if (it == values.end()) return std::nullopt;
            return it->second;
        },
        &iface);
    return iface;
}

std::string Word(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[size_t(i)] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

TEST(ZorvanDriverKey, ValuesAreReadIntoTheRoomsTheDriverGivesThem) {
    struct Case {
        const char* name;
        Values values;
        std::optional<uint32_t> ports;
        std::optional<std::string> deviceName, miniportInstance, netCfgInstanceId;
    };
    const std::string longName(300, 'N');
    const Case cases[] = {
        {"nothing set", {}, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {"a card of four ports",
         {{"Ports", Word(4)}, {"DeviceName", std::string("ZVCD2\0", 6)}},
         4,
         "ZVCD2",
         std::nullopt,
         std::nullopt},
        {"a port count above one byte",
         {{"Ports", Word(0x0102)}},
         0x0102,
         std::nullopt,
         std::nullopt,
         std::nullopt},
        {"a short Ports value",
         {{"Ports", std::string("\x03", 1)}},
         3,
         std::nullopt,
         std::nullopt,
         std::nullopt},
        {"an instance with its NUL",
         {{"MiniportInstance", std::string("7\0", 2)}},
         std::nullopt,
         std::nullopt,
         "7",
         std::nullopt},
        {"an instance longer than its room",
         {{"MiniportInstance", "123456"}},
         std::nullopt,
         std::nullopt,
         "1234",
         std::nullopt},
        {"a name longer than its room",
         {{"DeviceName", longName}},
         std::nullopt,
         longName.substr(0, 259),
         std::nullopt,
         std::nullopt},
        {"an empty instance",
         {{"MiniportInstance", ""}},
         std::nullopt,
         std::nullopt,
         "",
         std::nullopt},
        {"a network card",
         {{"NetCfgInstanceId", std::string("{1234}\0", 7)}},
         std::nullopt,
         std::nullopt,
         std::nullopt,
         "{1234}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        card::CardInterface iface = Read(c.values);
        EXPECT_EQ(iface.ports, c.ports);
        EXPECT_EQ(iface.deviceName, c.deviceName);
        EXPECT_EQ(iface.miniportInstance, c.miniportInstance);
        EXPECT_EQ(iface.netCfgInstanceId, c.netCfgInstanceId);
    }
}

TEST(ZorvanInterfaceClass, GuidsAreTakenInTheRegistrysOwnForm) {
    auto guid = zorvan::ParseGuid("{8c5a2F31-7E0B-4d6a-9B1E-5A0F3C7D2E61}");
    ASSERT_TRUE(guid);
    EXPECT_EQ(guid->data1, 0x8C5A2F31u);
    EXPECT_EQ(guid->data2, 0x7E0B);
    EXPECT_EQ(guid->data3, 0x4D6A);
    const uint8_t tail[8] = {0x9B, 0x1E, 0x5A, 0x0F, 0x3C, 0x7D, 0x2E, 0x61};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(guid->data4[i], tail[i]) << i;
    EXPECT_TRUE(zorvan::ParseGuid(zorvan::kDefaultInterfaceGuid));
    for (const char* bad :
         {"", "8C5A2F31-7E0B-4D6A-9B1E-5A0F3C7D2E61", "{8C5A2F31-7E0B-4D6A-9B1E-5A0F3C7D2E6}",
          "{8C5A2F31-7E0B-4D6A-9B1E-5A0F3C7D2E6G}", "{8C5A2F31+7E0B-4D6A-9B1E-5A0F3C7D2E61}",
          "{8C5A2F31-7E0B-4D6A-9B1E-5A0F3C7D2E61}x"})
        EXPECT_FALSE(zorvan::ParseGuid(bad)) << bad;
}

}  // namespace

namespace {

TEST(ZorvanConfig, AConfigurationNamesTheCardsOwnDriver) {
    sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(sim::ParseConfig("[[card]]\nbackend = \"zorvan\"\n", "z.toml", &config, &error))
        << error;
    EXPECT_TRUE(sim::UsesZorvanBackend(config));
    EXPECT_FALSE(sim::UsesTtyBackend(config));
    EXPECT_EQ(config.cards[0].interfaceGuid, "");
    ASSERT_TRUE(
        sim::ParseConfig(std::string("[[card]]\nbackend = \"zorvan\"\ninterface_guid = \"") +
                             zorvan::kDefaultInterfaceGuid + "\"\n",
                         "z.toml", &config, &error))
        << error;
    EXPECT_EQ(config.cards[0].interfaceGuid, zorvan::kDefaultInterfaceGuid);
    ASSERT_TRUE(sim::ParseConfig("[[card]]\n", "z.toml", &config, &error)) << error;
    EXPECT_FALSE(sim::UsesZorvanBackend(config));

    struct Case {
        const char* toml;
        const char* problem;
    } cases[] = {
        {"[[card]]\nbackend = \"zorvan\"\nports = 2\n",
         "card[0].ports: not a key of a zorvan card (interface_guid)"},
        {"[[card]]\nbackend = \"zorvan\"\ninterface_guid = 7\n", "card[0].interface_guid"},
        {"[[card]]\n[[card]]\nbackend = \"zorvan\"\n",
         "card[1].backend: every card of a file has the same backend"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(sim::ParseConfig(c.toml, "z.toml", &config, &error)) << c.toml;
        EXPECT_NE(error.find(c.problem), std::string::npos) << error;
    }
}

}  // namespace
