// The capture file: raw bytes, or hex text in lines of sixteen items whose
// count runs on from call to call.
#include "link/capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

class CaptureTest : public ::testing::Test {
   protected:
    void SetUp() override { g_uCaptureByteCount = 0; }
    void TearDown() override { g_uCaptureByteCount = 0; }

    std::string Written(const char* mode, const std::vector<std::vector<uint8_t>>& calls,
                        bool hex) {
        const std::string path = dir_.File("capture");
        FILE* file = fopen(path.c_str(), mode);
        EXPECT_NE(file, nullptr);
        for (const auto& data : calls)
            EXPECT_EQ(CaptureWrite(file, data.data(), static_cast<uint32_t>(data.size()), hex), 0);
        fclose(file);
        return e2e::ReadFile(path);
    }

    static std::vector<uint8_t> Counting(uint8_t first, size_t count) {
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
        return bytes;
    }

    e2e::TempDir dir_;
};

const char kTwentyHexBytes[] =
    "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \n"
    "00 01 02 03 ";

TEST_F(CaptureTest, HexPutsSixteenItemsOnALineAndNoLineEndAfterTheLast) {
    EXPECT_EQ(Written("w", {Counting(0xF0, 20)}, true), kTwentyHexBytes);
    EXPECT_EQ(g_uCaptureByteCount, 20u);
}

TEST_F(CaptureTest, HexLineBreaksFollowTheCountAcrossCalls) {
    EXPECT_EQ(Written("w", {Counting(0xF0, 7), Counting(0xF7, 9), {}, Counting(0x00, 4)}, true),
              kTwentyHexBytes);
}

TEST_F(CaptureTest, HexOfALongBlockKeepsEveryByte) {
    const auto data = Counting(0, 5000);
    const std::string text = Written("w", {data}, true);
    ASSERT_EQ(text.size(), 5000u * 3 + 5000 / 16 - (5000 % 16 == 0));
    for (size_t i = 0; i < data.size(); ++i) {
        char item[4];
        snprintf(item, sizeof item, "%02X ", data[i]);
        ASSERT_EQ(text.substr(i * 3 + i / 16, 3), item) << "byte " << i;
    }
}

TEST_F(CaptureTest, BinaryHoldsExactlyTheBytes) {
    const auto data = Counting(0x80, 300);
    EXPECT_EQ(Written("wb", {data, data}, false),
              std::string(data.begin(), data.end()) + std::string(data.begin(), data.end()));
}

TEST_F(CaptureTest, NoFileOrAFailingWriteIsReported) {
    const uint8_t byte = 0x55;
    EXPECT_EQ(CaptureWrite(nullptr, &byte, 1, false), -1);
    EXPECT_EQ(CaptureWrite(nullptr, &byte, 1, true), -1);
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(CaptureWrite(full, &byte, 1, false), -1);
    EXPECT_EQ(CaptureWrite(full, &byte, 1, true), -1);
    EXPECT_EQ(g_uCaptureByteCount, 0u);
    fclose(full);
}

}  // namespace
