// Counting of received bytes: bit errors in and out of sync, and blocks with
// the rule for a byte that straddles two blocks.
#include "link/receive_pass.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "pattern/pattern.h"
#include "stats/bert_stats.h"

namespace {

constexpr int kTxIndex = 0;
constexpr int kRxIndex = 1;

class ReceivePassTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_ = g_Settings;
        g_Settings.uPatternType = PATTERN_2047;
        g_Settings.bMultiDrop = false;
        g_Settings.bDataLogging = false;
        SelectPattern(PATTERN_2047);
        g_uBitsPerChar = 8;
        g_BertStats = BertStats{};
        g_bRxStop = false;
        // Transmitter and receive reference start from the same state, as
        // after a sync on the first bits.
        SeedScram(kTxIndex, 1, 0);
        SeedScram(kRxIndex, 1, 0);
        SeedRxScram(1, 0);
    }

    void TearDown() override {
        g_bInSync = false;
        g_Settings = saved_;
        SelectPattern(g_Settings.uPatternType);
        g_BertStats = BertStats{};
    }

    static std::vector<uint8_t> Pattern(uint32_t length) {
        std::vector<uint8_t> bytes(length);
        uint32_t position = 0;
        FillPatternBufferFrom(g_Settings.uPatternType, bytes.data(), length, kTxIndex, position);
        return bytes;
    }

    uint64_t Check(const std::vector<uint8_t>& data) {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        return CheckReceivedData(data.data(), static_cast<uint32_t>(data.size()), state_);
    }

    RxCheckState state_;
    TestSettings saved_;
};

TEST_F(ReceivePassTest, OneFlippedBitInSyncCountsOneError) {
    g_bInSync = true;
    auto data = Pattern(4096);
    data[1000] ^= 0x10;
    EXPECT_EQ(Check(data), 1u);
    EXPECT_EQ(g_BertStats.BitErrorCount, 1);
    EXPECT_EQ(g_BertStats.i64SBitErrorCount, 1);
    // The reference runs on: the bytes after the error are good again.
    EXPECT_EQ(state_.uMismatchCount, 0u);
    EXPECT_EQ(Check(Pattern(1000)), 0u);
    EXPECT_EQ(g_BertStats.BitErrorCount, 1);
}

TEST_F(ReceivePassTest, HuntingCountsEightForEveryByteTheCheckerRejects) {
    g_bInSync = false;
    std::vector<uint8_t> inverted = Pattern(300);
    for (auto& b : inverted) b = static_cast<uint8_t>(~b);
    EXPECT_EQ(Check(inverted), 0u) << "no error is an in-sync error while hunting";
    EXPECT_EQ(g_BertStats.BitErrorCount, 8 * 300);
    EXPECT_EQ(g_BertStats.i64SBitErrorCount, 0);
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, 0);
    EXPECT_EQ(g_BertStats.i64BlockErrorCount, 1);
    EXPECT_EQ(g_BertStats.i64SBlockErrorCount, 0);
}

// A checker that runs off its reference inside a pass hunts for the rest of
// it: those bytes are no errors in sync, whether in this piece or the next.
TEST_F(ReceivePassTest, BytesCheckedAfterTheCheckerRanOffAreNoErrorsInSync) {
    g_bInSync = true;
    std::vector<uint8_t> data = Pattern(6000);
    for (size_t i = 1000; i < data.size(); ++i) data[i] = static_cast<uint8_t>(~data[i]);
    const uint64_t inSync = Check(data);
    // Twelve bytes of eight wrong bits run the checker off (a register of 11).
    EXPECT_EQ(inSync, 12u * 8);
    EXPECT_EQ(g_BertStats.i64SBitErrorCount, 12 * 8);
    EXPECT_GT(g_BertStats.BitErrorCount, 4900 * 8) << "the hunt counts its rejected bytes";
}

// A burst that a pass ends inside leaves the checker's register full of it:
// the in-step run says so, and counts on across passes once the pattern is back.
TEST_F(ReceivePassTest, InStepRunCountsTheLastBytesThatFollowedThePattern) {
    g_bInSync = false;
    std::vector<uint8_t> data = Pattern(600);
    for (size_t i = 500; i < 600; ++i) data[i] = static_cast<uint8_t>(~data[i]);
    Check(std::vector<uint8_t>(data.begin(), data.begin() + 550));
    EXPECT_EQ(state_.uInStepRun, 0u) << "the pass ended inside the burst";
    Check(std::vector<uint8_t>(data.begin() + 550, data.end()));
    EXPECT_EQ(state_.uInStepRun, 0u);
    // The hunt takes the first bytes after the burst to fill its register.
    std::vector<uint8_t> after = Pattern(2100);
    after.erase(after.begin(), after.begin() + 600);
    Check(after);
    EXPECT_GE(state_.uInStepRun, after.size() - 3);
    EXPECT_LT(state_.uInStepRun, after.size());
    const uint32_t run = state_.uInStepRun;
    Check(Pattern(5000));  // continues from where the generator is now: clean
    EXPECT_EQ(state_.uInStepRun, run + 5000);
}

TEST_F(ReceivePassTest, SoftwareInversionChecksTheComplement) {
    g_bInSync = true;
    state_.bSoftwareInvert = true;
    auto data = Pattern(3000);
    for (auto& b : data) b = static_cast<uint8_t>(~b);
    EXPECT_EQ(Check(data), 0u);
    EXPECT_EQ(g_BertStats.BitErrorCount, 0);
}

// 2047 bits end in the 256th byte with one bit left over.
class StraddlingTest : public ReceivePassTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(StraddlingTest, ABlockEndingByteWithSeveralErrorsMarksTheNextBlock) {
    const uint8_t flip = GetParam();
    const unsigned wrongBits = CountBits(flip);
    g_bInSync = true;
    auto first = Pattern(256);
    first[255] ^= flip;
    EXPECT_EQ(Check(first), wrongBits);
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, 1);
    EXPECT_EQ(g_BertStats.i64SBlockErrorCount, 1);
    // The second block is clean byte for byte; it counts as errored only
    // when the straddling byte had two or more wrong bits.
    Check(Pattern(256));
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, 2);
    EXPECT_EQ(g_BertStats.i64SBlockErrorCount, wrongBits >= 2 ? 2 : 1);
    EXPECT_EQ(g_BertStats.i64BlockErrorCount, g_BertStats.i64SBlockErrorCount);
    // And never the third.
    Check(Pattern(256));
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, 3);
    EXPECT_EQ(g_BertStats.i64SBlockErrorCount, wrongBits >= 2 ? 2 : 1);
    EXPECT_EQ(g_BertStats.i64SBitErrorCount, wrongBits);
}

INSTANTIATE_TEST_SUITE_P(WrongBits, StraddlingTest,
                         ::testing::Values(uint8_t{0x01}, uint8_t{0x81}));

TEST_F(ReceivePassTest, StraddlingRuleHoldsInsideOneBuffer) {
    g_bInSync = true;
    auto data = Pattern(768);
    data[255] ^= 0x03;
    Check(data);
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, 3);
    EXPECT_EQ(g_BertStats.i64SBlockErrorCount, 2);
    EXPECT_EQ(state_.uBlockBits, 768u * 8 - 3 * 2047);
}

TEST_F(ReceivePassTest, CleanDataCountsWholeBlocksAcrossCalls) {
    g_bInSync = true;
    // Uneven piece sizes, so that blocks end inside and across calls.
    uint32_t total = 0;
    for (uint32_t size : {1u, 255u, 4097u, 8192u, 3u, 700u}) {
        Check(Pattern(size));
        total += size;
    }
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, int64_t{total} * 8 / 2047);
    EXPECT_EQ(state_.uBlockBits, total * 8 % 2047);
    EXPECT_EQ(g_BertStats.BitErrorCount, 0);
    EXPECT_EQ(g_BertStats.i64BlockErrorCount, 0);
}

TEST_F(ReceivePassTest, TextPatternBlocksCountCharacterBits) {
    g_Settings.uPatternType = PATTERN_FOX;
    g_Settings.uDataBits = 7;
    g_uBitsPerChar = 7;
    SelectFoxTable(7);
    SelectPattern(PATTERN_FOX);
    ResetFixedCheckState();
    // Lock on the text first, then count from a clean block start.
    auto text = Pattern(56 * 4);
    Check(text);
    g_BertStats = BertStats{};
    state_.uBlockBits = 0;
    state_.uBlockErrors = 0;
    g_bInSync = true;
    Check(Pattern(56 * 3));
    EXPECT_EQ(g_BertStats.BitErrorCount, 0);
    EXPECT_EQ(g_BertStats.i64SRxBlockCount, 3);
    EXPECT_EQ(state_.uBlockBits, 0u);
    ResetFixedCheckState();
}

}  // namespace
