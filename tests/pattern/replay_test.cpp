// Whole-buffer paths against the per-byte steps: same bytes, same counts and
// the same states left behind.
#include <random>
#include <thread>

#include "pattern/prbs_replay.h"
#include "pattern_test_support.h"

namespace {

using ReplayTest = PatternTest;

// Fills through the whole-buffer path on index 0 and by single generator
// steps on index 1, in uneven pieces, over more than one byte period.
void ExpectFillMatchesSteps(uint32_t type, uint32_t startRegister, uint16_t mask) {
    const PrbsGenerateFn generate = DescribePattern(type).pfnGenerate;
    const size_t period = DescribePattern(type).uPatternLengthBits;
    const size_t total = period + 20000;
    SeedScram(0, startRegister, mask);
    SeedScram(1, startRegister, mask);
    std::vector<uint8_t> bulk(8192 + 13), single(bulk.size());
    const uint32_t pieces[] = {1, 3, 4, 5, 8192, 7, 8192 + 13, 2, 4096};
    uint32_t position = 0;
    for (size_t done = 0, k = 0; done < total; ++k) {
        const uint32_t len = pieces[k % std::size(pieces)];
        FillPatternBufferFrom(type, bulk.data(), len, 0, position);
        for (uint32_t i = 0; i < len; ++i) {
            uint16_t v;
            generate(1, &v);
            single[i] = static_cast<uint8_t>(v);
        }
        ASSERT_TRUE(std::equal(single.begin(), single.begin() + len, bulk.begin()))
            << "at byte " << done;
        ASSERT_EQ(g_aScram[0].dwRegister, g_aScram[1].dwRegister) << "at byte " << done;
        done += len;
    }
    EXPECT_EQ(position, 0u);
}

TEST_F(ReplayTest, FillMatchesGeneratorStepsOverAPeriod) {
    for (const PrbsCase& c : kPrbsCases) {
        SCOPED_TRACE(c.name);
        ExpectFillMatchesSteps(c.type, 1, 0);
        // Stale bits above the window, as a seed or a loaded register leaves them.
        ExpectFillMatchesSteps(c.type, 0xDEAD0000u | 0x25u, 0);
        ExpectFillMatchesSteps(c.type, 0x12345678u, 0x0F);  // a mask is never replayed
    }
    ExpectFillMatchesSteps(PATTERN_QRSS, 1, 0);
}

TEST_F(ReplayTest, OnlyPlainStatesAreReplayed) {
    uint8_t out[16];
    uint32_t processed = 0, count = 0;
    uint8_t wrongBits = 0, errors[16];
    uint64_t sum = 0;
    SeedScram(5, 0x00000400, 0);
    EXPECT_TRUE(ReplayFill(PrbsKind::k2047, 5, out, 16));
    EXPECT_TRUE(ReplayCheckInSync(PrbsKind::k2047, 5, out, 16, count, 11, wrongBits, errors, sum,
                                  processed));
    SeedScram(5, 0xFFFFF800, 0);  // window all zero
    EXPECT_FALSE(ReplayFill(PrbsKind::k2047, 5, out, 16));
    SeedScram(5, 1, 1);
    EXPECT_FALSE(ReplayFill(PrbsKind::k2047, 5, out, 16));
    EXPECT_FALSE(ReplayCheckInSync(PrbsKind::k2047, 5, out, 16, count, 11, wrongBits, errors, sum,
                                   processed));
    EXPECT_FALSE(ReplayFill(PrbsKind::k2047, kScramCount, out, 16));
}

// The transmit and receive threads may both be the first to need a table.
TEST_F(ReplayTest, TwoThreadsShareTheTablesSafely) {
    std::vector<uint8_t> a(50000), b(50000);
    std::thread tx(
        [&] { FillPatternBufferFrom(PATTERN_2_15, a.data(), a.size(), 0, g_uTxFillPosition); });
    uint32_t position = 0;
    std::thread rx([&] { FillPatternBufferFrom(PATTERN_2_15, b.data(), b.size(), 1, position); });
    tx.join();
    rx.join();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, GenerateBytes(PATTERN_2_15, a.size()));
}

TEST_F(ReplayTest, TransmitFillUsesGeneratorZero) {
    const auto expected = GenerateBytes(PATTERN_2_23, 20000);
    std::vector<uint8_t> out(20000);
    FillPatternBuffer(PATTERN_2_23, out.data(), 12345);
    FillPatternBuffer(PATTERN_2_23, out.data() + 12345, 20000 - 12345);
    EXPECT_EQ(out, expected);
}

struct CheckerSnapshot {
    std::vector<uint8_t> errors;
    uint64_t sum = 0;
    uint32_t count = 0;
    uint8_t wrongBits = 0;
    uint32_t reference = 0, rxRegister = 0, zeroRun = 0;
    std::vector<uint32_t> fixed;
    bool operator==(const CheckerSnapshot&) const = default;
};

// Runs the stream through per-byte checks and through block checks (in the
// given pieces) from the same start and compares everything they leave.
void ExpectBlockMatchesBytes(const std::vector<uint8_t>& stream, bool inSync, int reference,
                             uint32_t piece) {
    const ScramState ref0 = ScramIndexValid(reference) ? g_aScram[reference] : ScramState{};
    const ScramState rx0 = g_RxScram;
    const FixedCheckState fixed0 = g_FixedCheck;
    g_bInSync = inSync;
    auto snapshot = [&](CheckerSnapshot& s) {
        s.reference = ScramIndexValid(reference) ? g_aScram[reference].dwRegister : 0;
        s.rxRegister = g_RxScram.dwRegister;
        s.zeroRun = g_RxScram.wZeroRun;
        const FixedCheckState& f = g_FixedCheck;
        s.fixed = {f.bInStep,   f.bAligned, f.uMatchCount, f.uMissCount, f.uPosition,
                   f.uRotation, f.uShift,   f.wPrevious,   f.wReference};
    };
    CheckerSnapshot bytes, blocks;
    for (uint8_t b : stream) {
        bytes.errors.push_back(
            static_cast<uint8_t>(CheckPatternByte(b, bytes.count, bytes.wrongBits)));
        bytes.sum += bytes.errors.back();
    }
    snapshot(bytes);

    if (ScramIndexValid(reference)) g_aScram[reference] = ref0;
    g_RxScram = rx0;
    g_FixedCheck = fixed0;
    blocks.errors.resize(stream.size());
    for (size_t at = 0; at < stream.size(); at += piece) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(piece, stream.size() - at));
        blocks.sum += CheckPatternBlock(stream.data() + at, n, blocks.count, blocks.wrongBits,
                                        blocks.errors.data() + at);
    }
    snapshot(blocks);
    EXPECT_TRUE(bytes == blocks);
    EXPECT_EQ(bytes.count, blocks.count);
    EXPECT_EQ(bytes.sum, blocks.sum);
}

std::vector<uint8_t> WithErrors(std::vector<uint8_t> stream, std::mt19937& rng, int every) {
    for (size_t i = 0; i < stream.size(); ++i)
        if (rng() % every == 0) stream[i] ^= static_cast<uint8_t>(1u << (rng() % 8));
    return stream;
}

TEST_F(ReplayTest, InSyncBlockCheckMatchesByteChecks) {
    std::mt19937 rng(11);
    for (const PrbsCase& c : kPrbsCases) {
        SCOPED_TRACE(c.name);
        g_Settings.uPatternType = c.type;
        const auto clean = GenerateBytes(c.type, DescribePattern(c.type).uPatternLengthBits + 9000);
        SeedScram(1, 1, 0);
        ExpectBlockMatchesBytes(clean, true, 1, 8192);
        SeedScram(1, 1, 0);
        ExpectBlockMatchesBytes(WithErrors(clean, rng, 700), true, 1, 5000);
        // A slip: the reference falls behind, mismatches pile up past the
        // register length and the rest is checked by the checker.
        std::vector<uint8_t> slipped(clean.begin(), clean.begin() + 3000);
        slipped.insert(slipped.end(), clean.begin() + 2990, clean.begin() + 9000);
        SeedScram(1, 1, 0);
        SeedRxScram(1, 0);
        ExpectBlockMatchesBytes(slipped, true, 1, 8192);
    }
}

TEST_F(ReplayTest, HuntingBlockCheckMatchesByteChecks) {
    std::mt19937 rng(5);
    for (const PrbsCase& c : kPrbsCases) {
        SCOPED_TRACE(c.name);
        g_Settings.uPatternType = c.type;
        auto stream = WithErrors(GenerateBytes(c.type, 30000), rng, 300);
        std::fill(stream.begin() + 100, stream.begin() + 200, 0);  // dead line for a while
        SeedRxScram(1, 0);
        ExpectBlockMatchesBytes(stream, false, 1, 777);
        // Sparse ones: zero runs just below, at and above every guard limit.
        std::vector<uint8_t> sparse(20000);
        for (auto& b : sparse) b = rng() % 3 ? 0 : static_cast<uint8_t>(1u << (rng() % 8));
        g_RxScram.wZeroRun = 40;  // beyond any limit: the next zero fires
        ExpectBlockMatchesBytes(sparse, false, 1, 8192);
    }
}

SlaveCheckView SlaveSeven(int32_t slaveId) { return {slaveId == 7, slaveId == 7 ? 41 : 600}; }

TEST_F(ReplayTest, MultiDropViewAndRefusedReferenceMatchByteChecks) {
    g_Settings.uPatternType = PATTERN_2047;
    g_Settings.bMultiDrop = true;
    g_pfnSlaveCheckView = SlaveSeven;
    std::mt19937 rng(2);
    const auto stream = WithErrors(GenerateBytes(PATTERN_2047, 20000), rng, 500);
    g_iCurrentSlaveId = 7;
    SeedScram(41, 1, 0);
    ExpectBlockMatchesBytes(stream, false, 41, 4096);
    g_iCurrentSlaveId =
        8;  // not in sync by its own view, but g_bInSync is; its index 600 is refused
    SeedRxScram(1, 0);
    ExpectBlockMatchesBytes(stream, true, 600, 4096);
}

TEST_F(ReplayTest, FixedPatternBlockCheckMatchesByteChecks) {
    SetUserPattern(g_abFoxText8, sizeof g_abFoxText8);
    for (uint32_t type : {PATTERN_1_7, PATTERN_3_24, PATTERN_FOX, PATTERN_USER, PATTERN_MK}) {
        g_Settings.uPatternType = type;
        std::vector<uint8_t> stream(3000);
        uint32_t pos = 0;
        FillPatternBufferFrom(type, stream.data(), 3000, 2, pos);
        stream[1500] ^= 0x10;
        ResetFixedCheckState();
        ExpectBlockMatchesBytes(stream, false, 1, 1000);
    }
}

}  // namespace
