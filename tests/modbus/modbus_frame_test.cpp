// The Modbus frame: its CRC, what the master takes as a confirmation and
// what it refuses.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "modbus/modbus.h"

namespace {

std::vector<uint8_t> Frame(int address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> frame(MODBUS_MAX_FRAME);
    const int length = ModbusBuildFrame(frame.data(), address, 8, 0, data.data(), int(data.size()));
    frame.resize(size_t(length < 0 ? 0 : length));
    return frame;
}

TEST(ModbusFrame, CrcIsTheModbusOne) {
    // The standard check value of CRC-16/MODBUS.
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ModbusCrc16(text, 9), 0x4B37);
}

TEST(ModbusFrame, BuiltFramesCarryTheirDataAtFiveAndSevenMoreBytes) {
    const std::vector<uint8_t> data = {0x10, 0x20, 0x30};
    const auto frame = Frame(9, data);
    ASSERT_EQ(frame.size(), data.size() + MODBUS_FRAME_OVERHEAD);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + MODBUS_DATA_OFFSET, frame.end() - 2), data);
    EXPECT_EQ(ModbusCheckFrame(frame.data(), int(frame.size()), 9), 0);
    EXPECT_EQ(Frame(9, std::vector<uint8_t>(MODBUS_MAX_DATA)).size(), size_t(MODBUS_MAX_FRAME));
    EXPECT_TRUE(Frame(9, std::vector<uint8_t>(MODBUS_MAX_DATA + 1)).empty());
}

TEST(ModbusFrame, ABrokenReplyIsAFailedConfirmationNeverData) {
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> spoil;
        int expected;
    } cases[] = {
        {"a bit flipped in the data", [](auto& f) { f[6] ^= 0x04; }, EMBBADCRC},
        {"a bit flipped in the CRC", [](auto& f) { f.back() ^= 0x80; }, EMBBADCRC},
        {"cut short", [](auto& f) { f.resize(3); }, EMBSHORTFRAME},
        {"from another slave",
         [](auto& f) {
             f = Frame(4, {1, 2, 3});
         },
         EMBBADSLAVE},
        {"another function",
         [](auto& f) {
             f[2] = 3;
             const uint16_t crc = ModbusCrc16(f.data(), int(f.size()) - 2);
             f[f.size() - 2] = uint8_t(crc);
             f.back() = uint8_t(crc >> 8);
         },
         EMBBADFUNCTION},
    };
    for (const Case& c : cases) {
        auto frame = Frame(9, {1, 2, 3});
        c.spoil(frame);
        EXPECT_EQ(ModbusCheckFrame(frame.data(), int(frame.size()), 9), c.expected) << c.name;
        EXPECT_NE(std::string(modbus_strerror(c.expected)), "") << c.name;
    }
}

}  // namespace
