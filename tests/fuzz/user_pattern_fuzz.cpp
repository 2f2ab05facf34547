// User pattern files: the first byte picks the hexadecimal (odd) or the
// binary (even) reader, the rest is the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "pattern/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool hex = (data[0] & 1) != 0;
    FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (size == 1) file = fopen("/dev/null", "rb");
    if (file == nullptr) return 0;
    uint8_t* pattern = nullptr;
    uint32_t length = 0;
    if (ReadPatternFile(file, &pattern, &length, hex) == 0 && length > 0) {
        // Every byte the reader claims must be readable.
        volatile uint8_t sum = 0;
        for (uint32_t i = 0; i < length; ++i) sum = sum + pattern[i];
    }
    free(pattern);
    fclose(file);
    return 0;
}
