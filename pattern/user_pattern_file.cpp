#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

#include "log/log.h"
#include "pattern/pattern.h"

namespace {

int ClampToInt(long value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

int HexDigit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum class HexRead { kValue, kEnd, kNotHex };

// Optional white space, then one or two hexadecimal digits.
HexRead ReadHexValue(FILE* file, uint8_t& value) {
    int c;
    do {
        c = fgetc(file);
    } while (c != EOF && isspace(c));
    if (c == EOF) return HexRead::kEnd;
    const int high = HexDigit(c);
    if (high < 0) return HexRead::kNotHex;
    int v = high;
    c = fgetc(file);
    const int low = c == EOF ? -1 : HexDigit(c);
    if (low >= 0)
        v = v * 16 + low;
    else if (c != EOF)
        ungetc(c, file);
    value = static_cast<uint8_t>(v);
    return HexRead::kValue;
}

// Values separated by white space can need more room than half the file
// (single digits: "1 2 3 4"); the buffer then grows up to the most values the
// file can hold, one digit and one separator each.
bool MakeRoom(uint8_t*& buffer, uint32_t& capacity, uint32_t needed, uint32_t mostValues) {
    if (needed <= capacity) return true;
    if (needed > mostValues) {  // the file grew while it was read
        LogPrint(1, "ReadPatternFile, file too long %d, max %d\n", static_cast<int>(needed) * 2,
                 static_cast<int>(kQuotedUserPatternLimit));
        return false;
    }
    const uint32_t grown = std::min(mostValues, std::max(needed, capacity + capacity / 2));
    auto* bigger = static_cast<uint8_t*>(realloc(buffer, grown));
    if (!bigger) {
        LogPrint(1, "ReadPatternFile, failed to allocate %u bytes of memory\n", grown);
        return false;
    }
    buffer = bigger;
    capacity = grown;
    return true;
}

// Reads values until a conversion fails; only the end of the file ends the
// values cleanly. Returns the number of values, or -1 on a failure.
long ReadHexValues(FILE* file, uint8_t*& buffer, uint32_t capacity, uint32_t mostValues) {
    uint32_t count = 0;
    for (;;) {
        uint8_t value = 0;
        const HexRead read = ReadHexValue(file, value);
        if (read == HexRead::kEnd) return ferror(file) ? -1 : static_cast<long>(count);
        if (read == HexRead::kNotHex) {
            LogPrint(1, "ReadPatternFile, not a hexadecimal value at offset %ld\n",
                     ftell(file) - 1);
            return -1;
        }
        if (!MakeRoom(buffer, capacity, count + 1, mostValues)) return -1;
        buffer[count++] = value;
    }
}

}  // namespace

int ReadPatternFile(FILE* file, uint8_t** data, uint32_t* length, bool hex) {
    if (!file) return 0;
    if (fseek(file, 0, SEEK_END) != 0) return -1;
    const long size = ftell(file);
    if (size < 0) return -1;
    rewind(file);
    if (size == 0) {
        LogPrint(1, "ReadPatternFile, file is empty\n");
        return -1;
    }
    if (size > static_cast<long>(kMaxUserPatternFileSize)) {
        LogPrint(1, "ReadPatternFile, file too long %d, max %d\n", ClampToInt(size),
                 static_cast<int>(kQuotedUserPatternLimit));
        return -1;
    }
    uint32_t bytes = static_cast<uint32_t>(size);
    if (hex) bytes /= 2;
    // A one-character hex file still holds one value.
    uint32_t capacity = bytes ? bytes : 1;
    auto* buffer = static_cast<uint8_t*>(malloc(capacity));
    if (!buffer) {
        LogPrint(1, "ReadPatternFile, failed to allocate %u bytes of memory\n", bytes);
        return -1;
    }
    long read;
    if (hex) {
        read = ReadHexValues(file, buffer, capacity, static_cast<uint32_t>((size + 1) / 2));
    } else {
        const size_t got = fread(buffer, 1, bytes, file);
        read = ferror(file) ? -1 : static_cast<long>(got);
    }
    if (read == 0 && hex) LogPrint(1, "ReadPatternFile, no hexadecimal values\n");
    if (read <= 0) {
        *length = 0;
        free(buffer);
        return -1;
    }
    *length = static_cast<uint32_t>(read);
    *data = buffer;
    return 0;
}
