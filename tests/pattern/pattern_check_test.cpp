#include <algorithm>
#include <numeric>

#include "pattern_test_support.h"

namespace {

class PatternCheckTest : public PatternTest {
   protected:
    uint16_t Check(uint8_t byte) { return CheckPatternByte(byte, count_, mask_); }

    std::vector<uint16_t> Feed(const std::vector<uint8_t>& bytes) {
        std::vector<uint16_t> out;
        for (uint8_t b : bytes) out.push_back(Check(b));
        return out;
    }
    std::vector<uint16_t> FeedRepeated(uint8_t byte, size_t n) {
        return Feed(std::vector<uint8_t>(n, byte));
    }
    void Use(uint32_t type) { g_Settings.uPatternType = type; }

    uint32_t count_ = 0;
    uint8_t mask_ = 0x5A;  // a value no tested path writes by chance
};

std::vector<uint16_t> Repeat(uint16_t v, size_t n) { return std::vector<uint16_t>(n, v); }

std::vector<uint16_t> Then(std::vector<uint16_t> a, const std::vector<uint16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> Repeating(const std::vector<uint8_t>& unit, size_t times) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

// The stream with its first `bits` bits dropped (a receiver out of byte step).
std::vector<uint8_t> ShiftedByBits(const std::vector<uint8_t>& in, unsigned bits) {
    std::vector<uint8_t> out(in.size() - 1);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(in[i] << bits | in[i + 1] >> (8 - bits));
    return out;
}

TEST_F(PatternCheckTest, OneIn7LocksOnTwelfthByteAndLosesOnTenthBad) {
    Use(PATTERN_1_7);
    EXPECT_EQ(FeedRepeated(0x20, 12), Then(Repeat(8, 11), {0}));
    EXPECT_EQ(Check(0x04), 2);
    EXPECT_EQ(mask_, 0x5A);
    EXPECT_EQ(Check(0x00), 1);
    EXPECT_EQ(mask_, 0x20);
    EXPECT_EQ(FeedRepeated(0x21, 7), Repeat(1, 7));
    EXPECT_TRUE(g_FixedCheck.bInStep);
    EXPECT_EQ(Check(0x21), 8);  // the tenth bad byte in a row
    EXPECT_FALSE(g_FixedCheck.bInStep);
}

TEST_F(PatternCheckTest, TwoIn8NeedsARotationOf42AndKeepsTheMask) {
    Use(PATTERN_2_8);
    EXPECT_EQ(FeedRepeated(0x81, 40), Repeat(8, 40));
    EXPECT_EQ(FeedRepeated(0x24, 12), Then(Repeat(8, 11), {0}));
    EXPECT_EQ(Feed({0x42, 0x24, 0x07}), (std::vector<uint16_t>{2, 0, 3}));
    EXPECT_EQ(FeedRepeated(0x42, 8), Repeat(2, 8));
    EXPECT_EQ(Check(0x42), 8);
    EXPECT_EQ(mask_, 0x5A);
}

TEST_F(PatternCheckTest, OneToOneLocksOnEitherPhaseAndWritesTheMask) {
    Use(PATTERN_1_1);
    EXPECT_EQ(FeedRepeated(0x55, 12), Then(Repeat(8, 11), {0}));
    EXPECT_EQ(Check(0x54), 1);
    EXPECT_EQ(mask_, 0x01);
    EXPECT_EQ(Check(0x55), 0);
    EXPECT_EQ(FeedRepeated(0xAA, 9), Repeat(8, 9));  // every bit wrong, still in step
    EXPECT_TRUE(g_FixedCheck.bInStep);
    EXPECT_EQ(Check(0xAA), 8);
    EXPECT_FALSE(g_FixedCheck.bInStep);
}

TEST_F(PatternCheckTest, OneIn16LocksOnTwentySecondGoodByteAndLosesOnMarkedByte) {
    Use(PATTERN_1_16);
    EXPECT_EQ(Feed(Repeating({0x40, 0x00}, 12)), Then(Repeat(8, 22), {0, 0}));
    EXPECT_EQ(Feed({0x08, 0x00, 0x40, 0x01, 0x40}), (std::vector<uint16_t>{2, 0, 0, 1, 0}));
    // Bad bytes from the zero phase on: the twentieth falls on a marked byte.
    std::vector<uint16_t> expected;
    for (int k = 1; k < 20; ++k) expected.push_back(k % 2 ? 2 : 3);
    expected.push_back(8);
    EXPECT_EQ(FeedRepeated(0x03, 20), expected);
    EXPECT_EQ(mask_, 0x5A);
}

TEST_F(PatternCheckTest, ThreeIn24LocksOnShiftedStreamAndLosesOnThirtyFirstBad) {
    Use(PATTERN_3_24);
    const auto line = Repeating({0x44, 0x40, 0x00}, 20);  // 22 20 00 one bit early
    const auto results = Feed(std::vector<uint8_t>(line.begin(), line.begin() + 32));
    EXPECT_EQ(results, Then(Repeat(8, 31), {0}));
    EXPECT_EQ(g_FixedCheck.uRotation, 1u);
    EXPECT_EQ(Feed(std::vector<uint8_t>(line.begin() + 32, line.end())), Repeat(0, 28));
    EXPECT_EQ(Feed({0x44, 0x41, 0x00}), (std::vector<uint16_t>{0, 1, 0}));
    FeedRepeated(0x55, 30);
    EXPECT_TRUE(g_FixedCheck.bInStep);
    EXPECT_EQ(Check(0x55), 8);
    EXPECT_FALSE(g_FixedCheck.bInStep);
    EXPECT_EQ(mask_, 0x5A);
}

TEST_F(PatternCheckTest, FoxFindsBitShiftAndChecksAcrossByteBoundaries) {
    Use(PATTERN_FOX);
    const auto line =
        ShiftedByBits(Repeating(std::vector<uint8_t>(g_abFoxText7, g_abFoxText7 + 56), 6), 3);
    const auto hunting = Feed(std::vector<uint8_t>(line.begin(), line.begin() + 112));
    EXPECT_TRUE(g_FixedCheck.bInStep);
    EXPECT_EQ(g_FixedCheck.uShift, 3u);
    EXPECT_EQ(hunting.front(), 8);
    auto rest = std::vector<uint8_t>(line.begin() + 112, line.end());
    rest[20] ^= 0x40;  // one flipped line bit shows in exactly one table byte
    const auto checked = Feed(rest);
    EXPECT_EQ(std::accumulate(checked.begin(), checked.end(), 0), 1);
    EXPECT_EQ(CountBits(mask_), 1u);
    // The eleventh bad byte in a row loses.
    const uint8_t tenthExpected = g_pFoxText[(g_FixedCheck.uPosition + 9) % 56];
    EXPECT_EQ(FeedRepeated(0xFF, 10).back(), CountBits(0xFF ^ tenthExpected));
    EXPECT_EQ(Check(0xFF), 8);
    EXPECT_FALSE(g_FixedCheck.bInStep);
    EXPECT_FALSE(g_FixedCheck.bAligned);
}

TEST_F(PatternCheckTest, UserPatternChecksAndIsCappedAtBitsPerChar) {
    Use(PATTERN_USER);
    g_uBitsPerChar = 5;
    EXPECT_EQ(Check(0x12), 5);  // no user data: never in step
    const uint8_t user[] = {0x01, 0x02, 0x03};
    SetUserPattern(user, 3);
    const auto results = Feed(Repeating({0x01, 0x02, 0x03}, 5));
    EXPECT_EQ(results.back(), 0);
    EXPECT_EQ(Check(0xFE), 5);  // table byte 01: all 8 bits wrong
    EXPECT_EQ(mask_, 0xFF);
}

TEST_F(PatternCheckTest, MarkAndSpaceCountTheirWrongBits) {
    Use(PATTERN_MK);
    EXPECT_EQ(Check(0xFE), 1);
    EXPECT_EQ(mask_, 0x01);
    for (uint32_t type : {PATTERN_SP, 12u, 40u}) {
        Use(type);
        EXPECT_EQ(Check(0x81), 2);
        EXPECT_EQ(mask_, 0x81);
    }
    const FixedCheckState before = g_FixedCheck;
    uint8_t mask = 0x33;
    for (uint32_t type : {1u, 12u, 15u, 16u, 18u})
        EXPECT_EQ(FixedPatternCheck(type, 0x40, mask), 8);
    EXPECT_EQ(mask, 0x33);
    EXPECT_EQ(g_FixedCheck.uMatchCount, before.uMatchCount);
    EXPECT_EQ(g_FixedCheck.wPrevious, before.wPrevious);
}

TEST_F(PatternCheckTest, PrbsInSyncCountsWrongBitsAgainstReference) {
    Use(PATTERN_2047);
    g_bInSync = true;
    auto line = GenerateBytes(PATTERN_2047, 100);
    line[40] ^= 0x24;
    const auto results = Feed(line);
    EXPECT_EQ(std::accumulate(results.begin(), results.end(), 0), 2);
    EXPECT_EQ(results[40], 2);
    EXPECT_EQ(mask_, 0x24);
    EXPECT_EQ(count_, 0u);
}

// Once more mismatching bytes than the register length follow each other,
// the self-synchronising checker takes over until the caller re-syncs.
TEST_F(PatternCheckTest, PrbsSlipFallsBackToCheckerUntilResync) {
    Use(PATTERN_2047);
    g_bInSync = true;
    const auto line = GenerateBytes(PATTERN_2047, 400);
    Feed(std::vector<uint8_t>(line.begin(), line.begin() + 100));
    const auto slipped = ShiftedByBits(std::vector<uint8_t>(line.begin() + 100, line.end()), 1);
    const auto results = Feed(std::vector<uint8_t>(slipped.begin(), slipped.begin() + 12));
    EXPECT_EQ(count_, 12u);
    const uint32_t frozen = g_aScram[1].dwRegister;
    const auto later = Feed(std::vector<uint8_t>(slipped.begin() + 12, slipped.end()));
    EXPECT_EQ(g_aScram[1].dwRegister, frozen);
    EXPECT_EQ(count_, 12u);
    for (uint16_t r : later) ASSERT_TRUE(r == 0 || r == 8);
    EXPECT_EQ(std::vector<uint16_t>(later.end() - 100, later.end()), Repeat(0, 100));
    // The caller declares sync again: the reference now follows the slipped line.
    count_ = 0;
    LoadScramFromRx(1);
    const auto longer = GenerateBytes(PATTERN_2047, 402);
    const auto next = ShiftedByBits(std::vector<uint8_t>(longer.begin() + 100, longer.end()), 1);
    EXPECT_EQ(Check(next[299]), 0);
    EXPECT_EQ(Check(next[300] ^ 0x10), 1);
}

TEST_F(PatternCheckTest, StuckLineWhileHuntingFailsEightBytesOfEleven) {
    Use(PATTERN_2047);
    const auto results = FeedRepeated(0x00, 22 + 110);
    for (size_t start = 22; start + 11 <= results.size(); start += 11) {
        const auto eights = std::count(results.begin() + start, results.begin() + start + 11, 8);
        EXPECT_EQ(eights, 8) << start;
    }
}

SlaveCheckView SlaveNine(int32_t slaveId) { return {slaveId == 3, 9}; }

TEST_F(PatternCheckTest, MultiDropUsesTheCurrentSlavesView) {
    Use(PATTERN_2_15);
    g_Settings.bMultiDrop = true;
    g_pfnSlaveCheckView = SlaveNine;
    g_iCurrentSlaveId = 3;
    const auto line = GenerateBytes(PATTERN_2_15, 50);
    EXPECT_EQ(Feed(line), Repeat(0, 50));
    EXPECT_EQ(g_aScram[1].dwRegister, 1u);
    EXPECT_EQ(g_aScram[9].dwRegister, g_aScram[300].dwRegister);
}

}  // namespace
