#include "core/settings.h"
#include "pattern/pattern.h"

PatternSelection g_PatternSelection;

PatternSelection DescribePattern(uint32_t patternType) {
    switch (patternType) {
        case PATTERN_63:
            return {Gen63, Chk63, 63, 6};
        case PATTERN_511:
            return {Gen511, Chk511, 511, 9};
        case PATTERN_2047:
            return {Gen2047, Chk2047, 2047, 11};
        case PATTERN_2_15:
            return {Gen2e15, Chk2e15, 32767, 15};
        case PATTERN_2_20:
        case PATTERN_QRSS:
            return {Gen2e20, Chk2e20, 1048575, 20};
        case PATTERN_2_23:
            return {Gen2e23, Chk2e23, 8388607, 23};
        case PATTERN_1_7:
        case PATTERN_2_8:
        case PATTERN_1_1:
        case PATTERN_MK:
        case PATTERN_SP:
            return {nullptr, nullptr, 8, 0};
        case PATTERN_1_16:
            return {nullptr, nullptr, 16, 0};
        case PATTERN_3_24:
            return {nullptr, nullptr, 24, 0};
        case PATTERN_FOX:
            return {nullptr, nullptr, g_uFoxTextBits, 0};
        case PATTERN_USER:
            return {nullptr, nullptr, g_uUserPatternLength * 8, 0};
        default:
            return {};
    }
}

void SelectPattern(uint32_t patternType) { g_PatternSelection = DescribePattern(patternType); }
