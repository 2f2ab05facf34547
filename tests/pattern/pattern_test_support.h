// Shared helpers of the pattern tests: a clean pattern state per test and
// bit-level views of byte streams.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "pattern/pattern.h"

struct PrbsCase {
    uint32_t type;
    const char* name;
    unsigned registerBits;
    unsigned shortTap;  // the recurrence's shorter distance
};

inline const PrbsCase kPrbsCases[] = {
    {PATTERN_63, "63", 6, 5},       {PATTERN_511, "511", 9, 5},     {PATTERN_2047, "2047", 11, 9},
    {PATTERN_2_15, "2e15", 15, 14}, {PATTERN_2_20, "2e20", 20, 17}, {PATTERN_2_23, "2e23", 23, 18},
};

class PatternTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ResetSettings();
        g_bInSync = false;
        g_uBitsPerChar = 8;
        g_pfnSlaveCheckView = nullptr;
        ResetFixedCheckState();
        ResetAsyncUnpack();
        ResetTxFillPosition();
        SetUserPattern(nullptr, 0);
        SelectFoxTable(7);
        SeedRxScram(1, 0);
        for (int i = 0; i < kScramCount; ++i) SeedScram(i, 1, 0);
    }
};

// length bytes of a sequence from register 1, by the exported generator.
inline std::vector<uint8_t> GenerateBytes(uint32_t type, size_t length, int index = 300) {
    const PrbsGenerateFn generate = DescribePattern(type).pfnGenerate;
    SeedScram(index, 1, 0);
    std::vector<uint8_t> out(length);
    for (auto& b : out) {
        uint16_t v;
        generate(index, &v);
        b = static_cast<uint8_t>(v);
    }
    return out;
}

// Bit t of a stream, earliest bit of each byte first.
inline int BitAt(const std::vector<uint8_t>& bytes, size_t t) {
    return (bytes[t / 8] >> (7 - t % 8)) & 1;
}
