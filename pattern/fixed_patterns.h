// Fixed bit patterns, the FOX text line, the user pattern and the cyclic fill
// of transmit buffers with any pattern.
#pragma once

#include <cstdint>

// The FOX line "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890\r\n"
// in four character codes.
extern const uint8_t g_abFoxText8[56];  // EBCDIC
extern const uint8_t g_abFoxText7[56];  // ASCII
extern const uint8_t g_abFoxText6[58];  // six-bit code with its shifts
extern const uint8_t g_abFoxText5[58];  // ITA2, starting at the H

// The selected FOX text (the 7-bit table until SelectFoxTable picks one).
// Fixed before the test threads start.
extern const uint8_t* g_pFoxText;
extern uint32_t g_uFoxTextBytes;
extern uint32_t g_uFoxTextBits;  // bytes x data bits

// The USER pattern (SetUserPattern); none loaded: null and 0.
extern const uint8_t* g_pUserPattern;
extern uint32_t g_uUserPatternLength;

constexpr uint32_t kMaxUserPatternFileSize = 1047999;
constexpr uint32_t kQuotedUserPatternLimit = 1048000;  // the limit as messages quote it

// The transmit thread's position in the 1/16, 3/24, FOX and USER tables; it
// runs on from buffer to buffer. Owned by the transmit thread.
extern uint32_t g_uTxFillPosition;
// The transmit thread calls this when it starts.
void ResetTxFillPosition();

// Writes length pattern bytes for the single-link transmitter: generator
// index 0 for the pseudo-random types, g_uTxFillPosition for the tables.
void FillPatternBuffer(uint32_t patternType, uint8_t* buffer, uint32_t length);

// The same fill on any generator index and fill position (the multi-drop
// master keeps one of each per slave). The position is kept reduced to the
// table it walks. Types 1..7 leave the position alone; type 17 without user
// data leaves the buffer alone; unknown types give zeros.
void FillPatternBufferFrom(uint32_t patternType, uint8_t* buffer, uint32_t length,
                           int generatorIndex, uint32_t& fillPosition);

// The byte every position of a single-byte pattern carries (types 8, 10, 12,
// 13, 15, 16); other types give 0.
uint8_t SingleBytePatternValue(uint32_t patternType);
