// Writing received data to the capture file (+c), as raw bytes or as hex
// text in lines of sixteen items.
#pragma once

#include <cstdint>
#include <cstdio>

// Bytes written to a hex capture so far; the line breaks follow it across
// calls. Owned by the receive thread.
extern uint32_t g_uCaptureByteCount;

// 0 when every byte was written, -1 otherwise (also without a file).
// Hex: "%02X " per byte, a line end before every sixteenth byte after the
// first, none after the last.
int CaptureWrite(FILE* file, const uint8_t* data, uint32_t count, bool hex);
