// The command line: options into g_Settings, the usage text and the key help.
#pragma once

#include <cstdint>

// 1 when every argument was a recognised option; 0 when some argument did
// not start with '-' or '+' (it is skipped); -1 at the first unrecognised
// option or malformed +M value (parsing stops there). Stops early at a null
// entry of argv.
int ParseCommandLine(int argc, char** argv);

// Written straight to stdout: neither the verbosity nor data logging apply.
void PrintUsage();
void PrintKeyHelp();

// Decimal number as the options read it: leading white space, a sign, then
// digits up to the first other character; no digits read as 0. A value past
// the 64-bit range saturates. *end (when given) points past the digits.
int64_t ReadNumber(const char* text, const char** end = nullptr);

// A read number as an unsigned option value: negative values keep their
// 32-bit two's complement (-1 gives 4294967295), values beyond 32 bits
// saturate at 4294967295 (and at -2147483648 below).
uint32_t ToUnsigned32(int64_t value);
// A read number as a signed option value, saturating at the 32-bit limits.
int32_t ToSigned32(int64_t value);
