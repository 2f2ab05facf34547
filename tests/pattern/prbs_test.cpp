#include <bit>
#include <random>
#include <set>

#include "pattern/prbs_steps.h"
#include "pattern_test_support.h"

namespace {

using PrbsTest = PatternTest;

std::vector<uint8_t> FirstBytes(PrbsGenerateFn generate, size_t n) {
    SeedScram(0, 1, 0);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i) {
        uint16_t v = 0xFFFF;
        generate(0, &v);
        EXPECT_EQ(v >> 8, 0) << "high byte must be 0";
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

TEST_F(PrbsTest, WorkedExamplesFromRegisterOne) {
    EXPECT_EQ(FirstBytes(Gen2047, 16),
              (std::vector<uint8_t>{0x00, 0xA0, 0x44, 0x2A, 0x90, 0x1A, 0x0E, 0x46, 0xEB, 0xA8,
                                    0xA1, 0x44, 0x8A, 0xD4, 0x30, 0x9E}));
    EXPECT_EQ(FirstBytes(Gen63, 8),
              (std::vector<uint8_t>{0x0C, 0x53, 0xD1, 0xC9, 0x6E, 0xCD, 0x5F, 0x82}));
    EXPECT_EQ(FirstBytes(Gen511, 8),
              (std::vector<uint8_t>{0x08, 0xC2, 0x72, 0xAC, 0x37, 0xA6, 0xE4, 0x50}));
}

// The n-bit window must visit every non-zero value once per period, so the
// period is exactly 2^n-1 bits, and the stream must follow its recurrence.
TEST_F(PrbsTest, EverySequenceHasFullPeriodAndItsRecurrence) {
    for (const PrbsCase& c : kPrbsCases) {
        SCOPED_TRACE(c.name);
        const size_t period = (size_t{1} << c.registerBits) - 1;
        const auto bytes = GenerateBytes(c.type, 2 * period / 8 + 16);
        std::vector<bool> seen(size_t{1} << c.registerBits);
        uint32_t window = 0;
        bool repeatedEarly = false, recurrenceHolds = true, periodic = true;
        for (size_t t = 0; t < period + c.registerBits; ++t) {
            window = ((window << 1) | BitAt(bytes, t)) & ((1u << c.registerBits) - 1);
            if (t + 1 < c.registerBits) continue;
            if (t >= c.registerBits && BitAt(bytes, t) != (BitAt(bytes, t - c.shortTap) ^
                                                           BitAt(bytes, t - c.registerBits)))
                recurrenceHolds = false;
            if (t < period + c.registerBits - 1) {
                repeatedEarly |= seen[window];
                seen[window] = true;
            }
        }
        for (size_t t = 0; t < period; ++t) periodic &= BitAt(bytes, t) == BitAt(bytes, t + period);
        EXPECT_FALSE(seen[0]);
        EXPECT_FALSE(repeatedEarly);
        EXPECT_TRUE(recurrenceHolds);
        EXPECT_TRUE(periodic);
    }
}

TEST_F(PrbsTest, CheckerAcceptsItsGeneratorAndSeesInversion) {
    for (const PrbsCase& c : kPrbsCases) {
        SCOPED_TRACE(c.name);
        const PatternSelection sel = DescribePattern(c.type);
        const auto bytes = GenerateBytes(c.type, 5000);
        SeedRxScram(1, 0);
        int nonZero = 0;
        for (uint8_t b : bytes) {
            uint16_t syndrome;
            sel.pfnCheck(&syndrome, b);
            nonZero += syndrome != 0;
        }
        EXPECT_EQ(nonZero, 0);
        // Once the register holds n inverted bits, every syndrome is FF.
        SeedRxScram(1, 0);
        int notAllOnes = 0;
        for (size_t i = 0; i < bytes.size(); ++i) {
            uint16_t syndrome;
            sel.pfnCheck(&syndrome, static_cast<uint8_t>(~bytes[i]));
            if (i >= 3) notAllOnes += syndrome != 0xFF;
        }
        EXPECT_EQ(notAllOnes, 0);
    }
}

TEST_F(PrbsTest, OneWrongBitMakesThreeSyndromeBitsAtTheTaps) {
    for (const PrbsCase& c : kPrbsCases) {
        for (int bit = 0; bit < 8; ++bit) {
            SCOPED_TRACE(std::string(c.name) + " bit " + std::to_string(bit));
            auto bytes = GenerateBytes(c.type, 200);
            bytes[100] ^= static_cast<uint8_t>(0x80 >> bit);
            const size_t wrong = 100 * 8 + bit;
            SeedRxScram(1, 0);
            std::set<size_t> marked;
            for (size_t i = 0; i < bytes.size(); ++i) {
                uint16_t syndrome;
                DescribePattern(c.type).pfnCheck(&syndrome, bytes[i]);
                for (int k = 0; k < 8; ++k)
                    if (syndrome & (0x80 >> k)) marked.insert(i * 8 + k);
            }
            EXPECT_EQ(marked,
                      (std::set<size_t>{wrong, wrong + c.shortTap, wrong + c.registerBits}));
        }
    }
}

TEST_F(PrbsTest, ZeroRunGuardOn2047) {
    EXPECT_FALSE(ZeroRunExceeded(0x00, PATTERN_2047));
    EXPECT_EQ(g_RxScram.wZeroRun, 8);
    EXPECT_FALSE(ZeroRunExceeded(0x3F, PATTERN_2047));
    EXPECT_EQ(g_RxScram.wZeroRun, 0);

    SeedRxScram(1, 0);
    ZeroRunExceeded(0x00, PATTERN_2047);
    EXPECT_TRUE(ZeroRunExceeded(0x1F, PATTERN_2047));
    EXPECT_EQ(g_RxScram.wZeroRun, 0);
}

TEST_F(PrbsTest, ZeroRunGuardLimitsAndOtherPatterns) {
    g_RxScram.wZeroRun = 3;
    for (uint32_t type : {0u, 8u, 12u, 17u, 99u}) EXPECT_FALSE(ZeroRunExceeded(0x00, type));
    EXPECT_EQ(g_RxScram.wZeroRun, 3);
    const uint32_t limits[] = {0, 5, 8, 10, 14, 14, 22, 14};
    for (uint32_t type = 1; type <= 7; ++type) {
        EXPECT_EQ(ZeroRunLimit(type), limits[type]);
        SeedRxScram(1, 0);
        g_RxScram.wZeroRun = static_cast<uint16_t>(limits[type] - 1);
        EXPECT_FALSE(ZeroRunExceeded(0x7F, type)) << type;  // the zero reaches the limit, then ones
        g_RxScram.wZeroRun = static_cast<uint16_t>(limits[type]);
        EXPECT_TRUE(ZeroRunExceeded(0x7F, type)) << type;
        EXPECT_EQ(g_RxScram.wZeroRun, 0);
    }
}

// The byte-at-a-time guard against its bit-by-bit definition, exhaustively.
template <uint32_t Limit>
void ExpectGuardMatchesBits() {
    for (uint32_t run = 0; run <= Limit; ++run) {
        for (unsigned b = 0; b < 256; ++b) {
            uint32_t fast = run;
            const bool fired = zero_run::Guard<Limit>::Step(fast, static_cast<uint8_t>(b));
            const auto bits = zero_run::StepBits(run, static_cast<uint8_t>(b), Limit);
            ASSERT_EQ(fired, bits.fired) << "limit " << Limit << " run " << run << " byte " << b;
            ASSERT_EQ(fast, bits.run) << "limit " << Limit << " run " << run << " byte " << b;
        }
    }
}

TEST_F(PrbsTest, ByteGuardMatchesBitDefinition) {
    ExpectGuardMatchesBits<5>();
    ExpectGuardMatchesBits<8>();
    ExpectGuardMatchesBits<10>();
    ExpectGuardMatchesBits<14>();
    ExpectGuardMatchesBits<22>();
}

TEST_F(PrbsTest, SelectionTable) {
    struct Row {
        uint32_t type;
        PrbsGenerateFn gen;
        PrbsCheckFn chk;
        uint32_t bits, reg;
    };
    const Row rows[] = {
        {1, Gen63, Chk63, 63, 6},           {2, Gen511, Chk511, 511, 9},
        {3, Gen2047, Chk2047, 2047, 11},    {4, Gen2e15, Chk2e15, 32767, 15},
        {5, Gen2e20, Chk2e20, 1048575, 20}, {6, Gen2e23, Chk2e23, 8388607, 23},
        {7, Gen2e20, Chk2e20, 1048575, 20}, {8, nullptr, nullptr, 8, 0},
        {9, nullptr, nullptr, 16, 0},       {10, nullptr, nullptr, 8, 0},
        {11, nullptr, nullptr, 24, 0},      {12, nullptr, nullptr, 0, 0},
        {13, nullptr, nullptr, 8, 0},       {15, nullptr, nullptr, 8, 0},
        {16, nullptr, nullptr, 8, 0},       {0, nullptr, nullptr, 0, 0},
        {18, nullptr, nullptr, 0, 0},       {1000, nullptr, nullptr, 0, 0},
    };
    for (const Row& r : rows) {
        SelectPattern(r.type);
        EXPECT_EQ(g_PatternSelection.pfnGenerate, r.gen) << r.type;
        EXPECT_EQ(g_PatternSelection.pfnCheck, r.chk) << r.type;
        EXPECT_EQ(g_PatternSelection.uPatternLengthBits, r.bits) << r.type;
        EXPECT_EQ(g_PatternSelection.uRegisterLengthBits, r.reg) << r.type;
    }
    SelectFoxTable(5);
    SelectPattern(PATTERN_FOX);
    EXPECT_EQ(g_PatternSelection.uPatternLengthBits, 290u);
    static const uint8_t user[10] = {};
    SetUserPattern(user, sizeof user);
    SelectPattern(PATTERN_USER);
    EXPECT_EQ(g_PatternSelection.uPatternLengthBits, 80u);
}

TEST_F(PrbsTest, GeneratorIndexOutsideTableIsRefused) {
    SeedScram(493, 0x1234, 0);
    SeedRxScram(0x5678, 0);
    for (int index : {494, 495, 100000, -1}) {
        SeedScram(index, 0xFFFF, 0xFF);
        LoadScramFromRx(index);
        uint16_t out = 0xABCD;
        Gen2047(index, &out);
        EXPECT_EQ(out, 0);
        Gen63(index, &out);
        EXPECT_EQ(out, 0);
    }
    EXPECT_EQ(g_aScram[493].dwRegister, 0x1234u);
    EXPECT_EQ(g_aScram[0].dwRegister, 1u);
    EXPECT_EQ(g_RxScram.dwRegister, 0x5678u);
}

TEST_F(PrbsTest, CountBitsAgreesWithPopulationCount) {
    std::mt19937 rng(3);
    for (int i = 0; i < 10000; ++i) {
        const uint32_t v = rng();
        ASSERT_EQ(CountBits(v), static_cast<unsigned>(std::popcount(v))) << v;
    }
    EXPECT_EQ(CountBits(0), 0u);
    EXPECT_EQ(CountBits(0xFFFFFFFFu), 32u);
    for (unsigned b = 0; b < 256; ++b) ASSERT_EQ(kBitsInByte.count[b], std::popcount(b));
}

}  // namespace
