// What the main flow and the test threads use of the pattern subsystem.
#pragma once

#include <cstdint>
#include <cstdio>

using PrbsGenerateFn = void (*)(int index, uint16_t* out);
using PrbsCheckFn = void (*)(uint16_t* syndrome, uint16_t rxByte);

struct PatternSelection {
    PrbsGenerateFn pfnGenerate = nullptr;
    PrbsCheckFn pfnCheck = nullptr;
    uint32_t uPatternLengthBits = 0;
    uint32_t uRegisterLengthBits = 0;
};

// Fixed before the test threads start, read-only afterwards.
extern PatternSelection g_PatternSelection;

// Fills g_PatternSelection for a pattern type (after the FOX table and the
// user pattern are in place).
void SelectPattern(uint32_t patternType);

// The selection a pattern type gets, without storing it.
PatternSelection DescribePattern(uint32_t patternType);

// Picks the FOX table by the asynchronous data bits.
void SelectFoxTable(uint32_t dataBits);

// Reads a user pattern file (opened by the caller with the user pattern open
// mode). 0 with *data (malloc'ed, the caller frees it) and *length on
// success, -1 on failure.
int ReadPatternFile(FILE* file, uint8_t** data, uint32_t* length, bool hex);

// Makes loaded bytes the USER pattern; the caller keeps them alive for the run.
void SetUserPattern(const uint8_t* data, uint32_t length);

#include "pattern/async_chars.h"
#include "pattern/fixed_patterns.h"
#include "pattern/pattern_check.h"
#include "pattern/prbs.h"
