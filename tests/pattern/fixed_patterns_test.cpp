#include <random>
#include <tuple>

#include "pattern_test_support.h"

namespace {

// Taken before any test can change it: the FOX choice the process starts with.
const auto kStartFox = std::make_tuple(g_pFoxText, g_uFoxTextBytes, g_uFoxTextBits);

using FixedPatternTest = PatternTest;

std::vector<uint8_t> Fill(uint32_t type, uint32_t length) {
    std::vector<uint8_t> out(length, 0xEE);
    FillPatternBuffer(type, out.data(), length);
    return out;
}

TEST_F(FixedPatternTest, SingleBytePatterns) {
    const std::pair<uint32_t, uint8_t> cases[] = {
        {PATTERN_1_7, 0x40}, {PATTERN_2_8, 0x42}, {PATTERN_1_1, 0xAA}, {PATTERN_MK, 0xFF},
        {PATTERN_SP, 0x00},  {12, 0x00},          {99, 0x00}};
    for (auto [type, byte] : cases) EXPECT_EQ(Fill(type, 5), std::vector<uint8_t>(5, byte)) << type;
}

TEST_F(FixedPatternTest, TablePatternsRunOnAcrossBuffers) {
    EXPECT_EQ(Fill(PATTERN_1_16, 3), (std::vector<uint8_t>{0x40, 0x00, 0x40}));
    EXPECT_EQ(Fill(PATTERN_1_16, 2), (std::vector<uint8_t>{0x00, 0x40}));
    ResetTxFillPosition();
    EXPECT_EQ(Fill(PATTERN_3_24, 4), (std::vector<uint8_t>{0x22, 0x20, 0x00, 0x22}));
    EXPECT_EQ(Fill(PATTERN_3_24, 5), (std::vector<uint8_t>{0x20, 0x00, 0x22, 0x20, 0x00}));

    ResetTxFillPosition();
    const auto first = Fill(PATTERN_FOX, 50), second = Fill(PATTERN_FOX, 70);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), g_abFoxText7));
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 6, g_abFoxText7 + 50));
    EXPECT_TRUE(std::equal(second.begin() + 6, second.begin() + 62, g_abFoxText7));
}

TEST_F(FixedPatternTest, UserPatternWrapsAndIsLeftAloneWhenMissing) {
    EXPECT_EQ(Fill(PATTERN_USER, 3), std::vector<uint8_t>(3, 0xEE));
    const uint8_t user[] = {1, 2, 3};
    SetUserPattern(user, 3);
    EXPECT_EQ(Fill(PATTERN_USER, 4), (std::vector<uint8_t>{1, 2, 3, 1}));
    EXPECT_EQ(Fill(PATTERN_USER, 4), (std::vector<uint8_t>{2, 3, 1, 2}));
}

TEST_F(FixedPatternTest, FoxTableFollowsDataBits) {
    EXPECT_EQ(kStartFox, std::make_tuple(static_cast<const uint8_t*>(g_abFoxText7), 56u, 392u));
    const std::tuple<uint32_t, const uint8_t*, uint32_t, uint32_t> cases[] = {
        {5, g_abFoxText5, 58, 290}, {6, g_abFoxText6, 58, 348}, {7, g_abFoxText7, 56, 392},
        {8, g_abFoxText8, 56, 448}, {0, g_abFoxText8, 56, 448}, {9, g_abFoxText8, 56, 448}};
    for (auto [bits, table, bytes, length] : cases) {
        SelectFoxTable(bits);
        EXPECT_EQ(std::make_tuple(g_pFoxText, g_uFoxTextBytes, g_uFoxTextBits),
                  std::make_tuple(table, bytes, length))
            << bits;
    }
    SelectFoxTable(5);
    EXPECT_EQ(Fill(PATTERN_FOX, 58), std::vector<uint8_t>(g_abFoxText5, g_abFoxText5 + 58));
    // Plain text codes, ending in CR LF.
    EXPECT_EQ(std::string(g_abFoxText7, g_abFoxText7 + 56),
              "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890\r\n");
}

TEST_F(FixedPatternTest, CopyBitsStopsAtTheEndOfEitherByte) {
    uint8_t dest = 0;
    uint32_t src = 5, dst = 1;
    EXPECT_EQ(CopyBits(0b00000101, src, dest, dst, 8), 3u);
    EXPECT_EQ(dest, 0b01010000);
    EXPECT_EQ(src, 8u);
    EXPECT_EQ(dst, 4u);
    src = 0;
    dest = 0;
    dst = 6;
    EXPECT_EQ(CopyBits(0xFF, src, dest, dst, 8), 2u);
    EXPECT_EQ(dest, 0x03);
}

TEST_F(FixedPatternTest, PackSevenBitCharacters) {
    const uint8_t stream[] = {0x54, 0x48};
    uint8_t chars[4] = {};
    EXPECT_EQ(PackAsyncChars(7, stream, 2, chars, 4), 2u);  // 16 bits: two full characters
    EXPECT_EQ(chars[0], 0x2A);
    EXPECT_EQ(chars[1], 0x12);
    EXPECT_EQ(PackAsyncChars(7, stream, 2, chars, 1), 1u);
}

// Characters made on the transmit side give back their stream on the receive
// side, whatever the pieces they arrive in.
TEST_F(FixedPatternTest, PackUnpackRoundTripAcrossCalls) {
    std::mt19937 rng(9);
    for (uint32_t bits : {5u, 6u, 7u}) {
        SCOPED_TRACE(bits);
        ResetAsyncUnpack();
        std::vector<uint8_t> stream(bits * 100);
        for (auto& b : stream) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> chars(stream.size() * 8 / bits);
        ASSERT_EQ(PackAsyncChars(bits, stream.data(), stream.size(), chars.data(), chars.size()),
                  chars.size());
        for (uint8_t c : chars) ASSERT_EQ(c >> bits, 0);
        std::vector<uint8_t> back(stream.size() + 8);
        size_t made = 0;
        for (size_t at = 0, piece = 1; at < chars.size(); at += piece, piece = piece % 9 + 1) {
            const uint32_t n = static_cast<uint32_t>(std::min(piece, chars.size() - at));
            made += UnpackAsyncChars(bits, chars.data() + at, n, back.data() + made,
                                     back.size() - made);
        }
        back.resize(made);
        EXPECT_EQ(back, stream);
    }
}

TEST_F(FixedPatternTest, UnpackStoppedByCapacityKeepsNoPartialByte) {
    const uint8_t chars[] = {0x7F, 0x7F, 0x7F, 0x00, 0x00};
    uint8_t out[1];
    EXPECT_EQ(UnpackAsyncChars(7, chars, 3, out, 1), 1u);  // the 5 bits left over are dropped
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(g_AsyncUnpack.uBitsNeeded, 8u);
    EXPECT_EQ(UnpackAsyncChars(7, chars + 3, 2, out, 1), 1u);
    EXPECT_EQ(out[0], 0x00);
}

}  // namespace
