#include "pattern/fixed_patterns.h"

#include <algorithm>
#include <cstring>

#include "core/settings.h"
#include "pattern/pattern.h"
#include "pattern/prbs_replay.h"

const uint8_t g_abFoxText8[56] = {
    0xE3, 0xC8, 0xC5, 0x40, 0xD8, 0xE4, 0xC9, 0xC3, 0xD2, 0x40, 0xC2, 0xD9, 0xD6, 0xE6,
    0xD5, 0x40, 0xC6, 0xD6, 0xE7, 0x40, 0xD1, 0xE4, 0xD4, 0xD7, 0xE2, 0x40, 0xD6, 0xE5,
    0xC5, 0xD9, 0x40, 0xE3, 0xC8, 0xC5, 0x40, 0xD3, 0xC1, 0xE9, 0xE8, 0x40, 0xC4, 0xD6,
    0xC7, 0x40, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xF0, 0x0D, 0x25};

const uint8_t g_abFoxText7[56] = {
    0x54, 0x48, 0x45, 0x20, 0x51, 0x55, 0x49, 0x43, 0x4B, 0x20, 0x42, 0x52, 0x4F, 0x57,
    0x4E, 0x20, 0x46, 0x4F, 0x58, 0x20, 0x4A, 0x55, 0x4D, 0x50, 0x53, 0x20, 0x4F, 0x56,
    0x45, 0x52, 0x20, 0x54, 0x48, 0x45, 0x20, 0x4C, 0x41, 0x5A, 0x59, 0x20, 0x44, 0x4F,
    0x47, 0x20, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x30, 0x0D, 0x0A};

const uint8_t g_abFoxText6[58] = {
    0x0E, 0x13, 0x38, 0x35, 0x00, 0x28, 0x14, 0x39, 0x33, 0x22, 0x00, 0x32, 0x29, 0x26, 0x16,
    0x25, 0x00, 0x36, 0x26, 0x17, 0x00, 0x21, 0x14, 0x24, 0x27, 0x12, 0x00, 0x26, 0x15, 0x35,
    0x29, 0x00, 0x13, 0x38, 0x35, 0x00, 0x23, 0x31, 0x19, 0x18, 0x00, 0x34, 0x26, 0x37, 0x00,
    0x3E, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x2D, 0x1D};

const uint8_t g_abFoxText5[58] = {
    0x14, 0x01, 0x04, 0x17, 0x07, 0x06, 0x0E, 0x0F, 0x04, 0x19, 0x0A, 0x18, 0x13, 0x0C, 0x04,
    0x0D, 0x18, 0x1D, 0x04, 0x0B, 0x07, 0x1C, 0x16, 0x05, 0x04, 0x18, 0x1E, 0x01, 0x0A, 0x04,
    0x10, 0x14, 0x01, 0x04, 0x12, 0x03, 0x11, 0x15, 0x04, 0x09, 0x18, 0x1A, 0x04, 0x1B, 0x17,
    0x13, 0x01, 0x0A, 0x10, 0x15, 0x07, 0x06, 0x18, 0x16, 0x08, 0x02, 0x1F, 0x10};

const uint8_t* g_pFoxText = g_abFoxText7;
uint32_t g_uFoxTextBytes = sizeof g_abFoxText7;
uint32_t g_uFoxTextBits = sizeof g_abFoxText7 * 7;

const uint8_t* g_pUserPattern = nullptr;
uint32_t g_uUserPatternLength = 0;

uint32_t g_uTxFillPosition = 0;

namespace {

constexpr uint8_t kOneIn16[2] = {0x40, 0x00};
constexpr uint8_t kThreeIn24[3] = {0x22, 0x20, 0x00};

// Copies length bytes of a repeating table from position, keeping position
// within the table.
void FillFromTable(const uint8_t* table, uint32_t tableLength, uint8_t* buffer, uint32_t length,
                   uint32_t& position) {
    uint32_t pos = position % tableLength;
    uint32_t done = 0;
    while (done < length) {
        const uint32_t chunk = std::min(length - done, tableLength - pos);
        memcpy(buffer + done, table + pos, chunk);
        done += chunk;
        pos += chunk;
        if (pos == tableLength) pos = 0;
    }
    position = pos;
}

void FillPrbs(uint32_t patternType, uint8_t* buffer, uint32_t length, int generatorIndex) {
    if (ReplayFill(PrbsKindOf(patternType), generatorIndex, buffer, length)) return;
    const PrbsGenerateFn generate = DescribePattern(patternType).pfnGenerate;
    for (uint32_t i = 0; i < length; ++i) {
        uint16_t out;
        generate(generatorIndex, &out);
        buffer[i] = static_cast<uint8_t>(out);
    }
}

}  // namespace

void ResetTxFillPosition() { g_uTxFillPosition = 0; }

uint8_t SingleBytePatternValue(uint32_t patternType) {
    switch (patternType) {
        case PATTERN_1_7:
            return 0x40;
        case PATTERN_2_8:
            return 0x42;
        case PATTERN_1_1:
            return 0xAA;
        case PATTERN_MK:
            return 0xFF;
        default:
            return 0x00;
    }
}

void SelectFoxTable(uint32_t dataBits) {
    switch (dataBits) {
        case 5:
            g_pFoxText = g_abFoxText5;
            g_uFoxTextBytes = sizeof g_abFoxText5;
            break;
        case 6:
            g_pFoxText = g_abFoxText6;
            g_uFoxTextBytes = sizeof g_abFoxText6;
            break;
        case 7:
            g_pFoxText = g_abFoxText7;
            g_uFoxTextBytes = sizeof g_abFoxText7;
            break;
        default:
            g_pFoxText = g_abFoxText8;
            g_uFoxTextBytes = sizeof g_abFoxText8;
            dataBits = 8;
            break;
    }
    g_uFoxTextBits = g_uFoxTextBytes * dataBits;
}

void SetUserPattern(const uint8_t* data, uint32_t length) {
    g_pUserPattern = data;
    g_uUserPatternLength = data ? length : 0;
}

void FillPatternBufferFrom(uint32_t patternType, uint8_t* buffer, uint32_t length,
                           int generatorIndex, uint32_t& fillPosition) {
    if (length == 0) return;
    if (PrbsKindOf(patternType) != PrbsKind::kNone) {
        FillPrbs(patternType, buffer, length, generatorIndex);
        return;
    }
    switch (patternType) {
        case PATTERN_1_16:
            FillFromTable(kOneIn16, sizeof kOneIn16, buffer, length, fillPosition);
            return;
        case PATTERN_3_24:
            FillFromTable(kThreeIn24, sizeof kThreeIn24, buffer, length, fillPosition);
            return;
        case PATTERN_FOX:
            if (g_pFoxText && g_uFoxTextBytes)
                FillFromTable(g_pFoxText, g_uFoxTextBytes, buffer, length, fillPosition);
            return;
        case PATTERN_USER:
            if (g_pUserPattern && g_uUserPatternLength)
                FillFromTable(g_pUserPattern, g_uUserPatternLength, buffer, length, fillPosition);
            return;
        default:
            memset(buffer, SingleBytePatternValue(patternType), length);
            return;
    }
}

void FillPatternBuffer(uint32_t patternType, uint8_t* buffer, uint32_t length) {
    FillPatternBufferFrom(patternType, buffer, length, 0, g_uTxFillPosition);
}
