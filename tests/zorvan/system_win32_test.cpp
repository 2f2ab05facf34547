// The backend over the system's own driver where no card is installed (as
// under wine): discovery finds nothing and says so without failing, the
// driver key's values are read from a real registry key, and the X.25
// pseudo-card follows its driver file in the system's drivers folder.
// The contract's headers before windows.h, whose macros share their names.
// clang-format off
#include "card/card_handler.h"
#include "card/driver.h"
#include <windows.h>
// clang-format on
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/file.h"
#include "platform/last_error.h"
#include "tests/e2e_support/e2e_support.h"
#include "zorvan/registry_win32.h"
#include "zorvan/zorvan.h"

namespace {

// A key of its own under HKCU, removed again at the end.
class TestKey {
   public:
    TestKey() {
        name_ = "Software\\OndrelZorvanTest\\" + std::to_string(GetCurrentProcessId());
        RegCreateKeyExA(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key_, nullptr);
    }
    ~TestKey() {
        if (key_ != nullptr) RegCloseKey(key_);
        RegDeleteKeyA(HKEY_CURRENT_USER, name_.c_str());
    }
    HKEY get() const { return key_; }
    void SetText(const char* value, const std::string& text) {
        RegSetValueExA(key_, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       DWORD(text.size() + 1));
    }
    void SetWord(const char* value, DWORD word) {
        RegSetValueExA(key_, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word),
                       sizeof word);
    }

   private:
    std::string name_;
    HKEY key_ = nullptr;
};

std::string DriversFolder() {
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system, length) + "\\drivers";
}

TEST(ZorvanSystem, TheDriverKeysValuesAreReadFromTheRegistry) {
    TestKey key;
    ASSERT_NE(key.get(), nullptr);
    key.SetWord("Ports", 3);
    key.SetText("DeviceName", "ZVCD10");
    key.SetText("MiniportInstance", "71234");
    card::CardInterface iface;
    zorvan::ReadDriverKey(key.get(), &iface);
    EXPECT_EQ(iface.ports, 3u);
    EXPECT_EQ(iface.deviceName, "ZVCD10");
    EXPECT_EQ(iface.miniportInstance, "7123");  // four characters and the NUL
    EXPECT_FALSE(iface.netCfgInstanceId);

    key.SetText("NetCfgInstanceId", "{0F1E2D3C-0000-0000-0000-000000000001}");
    card::CardInterface network;
    zorvan::ReadDriverKey(key.get(), &network);
    EXPECT_EQ(network.netCfgInstanceId, "{0F1E2D3C-0000-0000-0000-000000000001}");
}

TEST(ZorvanSystem, AKeyWithoutValuesLeavesEveryValueAbsent) {
    TestKey key;
    ASSERT_NE(key.get(), nullptr);
    card::CardInterface iface;
    zorvan::ReadDriverKey(key.get(), &iface);
    EXPECT_FALSE(iface.ports);
    EXPECT_FALSE(iface.deviceName);
    EXPECT_FALSE(iface.miniportInstance);
    EXPECT_FALSE(iface.netCfgInstanceId);
}

TEST(ZorvanSystem, WithoutACardDiscoveryFindsNothingAndOpensFail) {
    EXPECT_FALSE(zorvan::CardPresent(zorvan::kDefaultInterfaceGuid));
    std::string error;
    std::unique_ptr<card::Driver> driver =
        zorvan::CreateSystemDriver(zorvan::kDefaultInterfaceGuid, &error);
    ASSERT_NE(driver, nullptr) << error;
    EXPECT_TRUE(driver->EnumerateInterfaces().empty());
    EXPECT_EQ(driver->Open("\\\\.\\OndrelNoSuchCard/0"), card::kInvalidHandle);
    uint32_t code = platform::GetLastError();
    EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) << code;
    // Its notice window and completion thread end with it.
    driver.reset();
}

TEST(ZorvanSystem, AMalformedInterfaceClassIsRefusedWithItsText) {
    std::string error;
    EXPECT_EQ(zorvan::CreateSystemDriver("{not-a-guid}", &error), nullptr);
    EXPECT_NE(error.find("{not-a-guid}"), std::string::npos) << error;
    EXPECT_FALSE(zorvan::CardPresent("{not-a-guid}"));
}

TEST(ZorvanSystem, TheX25PseudoCardFollowsItsDriverFile) {
    e2e::TempDir folder;
    EXPECT_FALSE(platform::FileInFolder(folder.path(), "zvxnet", ".sys"));
    std::ofstream(folder.path() + "\\zvxnet.sys") << "driver";
    EXPECT_TRUE(platform::FileInFolder(folder.path(), "zvxnet", ".sys"));
    EXPECT_FALSE(platform::FileInFolder(folder.path(), "zvxnet", ".inf"));

    const std::string file = DriversFolder() + "\\zvxnet.sys";
    if (platform::PathExists(file)) GTEST_SKIP() << "an X.25 driver is installed here";
    card::SetDriver(zorvan::CreateSystemDriver(zorvan::kDefaultInterfaceGuid, nullptr));
    {
        ZvCardHandler handler;
        ASSERT_TRUE(handler.Discover());
        EXPECT_TRUE(handler.Cards().empty());
    }
    ASSERT_TRUE(std::ofstream(file) << "driver") << file;
    {
        ZvCardHandler handler;
        ASSERT_TRUE(handler.Discover());
        auto cards = handler.Cards();
        ASSERT_EQ(cards.size(), 1u);
        EXPECT_EQ(cards[0]->Description(), "IP over X.25");
        EXPECT_EQ(cards[0]->Path(), "");
        EXPECT_EQ(cards[0]->PortCount(), 1u);
        EXPECT_NE(handler.FindPort(0, 0), nullptr);
    }
    DeleteFileA(file.c_str());
    card::SetDriver(nullptr);
}

}  // namespace
