#include "link/capture.h"

uint32_t g_uCaptureByteCount = 0;

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint32_t kItemsPerLine = 16;
// Formatted text is written in pieces; a byte costs at most 4 characters.
constexpr uint32_t kTextPiece = 4096;

int WriteHex(FILE* file, const uint8_t* data, uint32_t count) {
    char text[kTextPiece];
    uint32_t done = 0;
    while (done < count) {
        uint32_t used = 0;
        uint32_t written = g_uCaptureByteCount;
        while (done < count && used + 4 <= kTextPiece) {
            if (written != 0 && written % kItemsPerLine == 0) text[used++] = '\n';
            text[used++] = kHexDigits[data[done] >> 4];
            text[used++] = kHexDigits[data[done] & 0x0F];
            text[used++] = ' ';
            ++written;
            ++done;
        }
        if (fwrite(text, 1, used, file) != used) return -1;
        g_uCaptureByteCount = written;
    }
    return 0;
}

}  // namespace

int CaptureWrite(FILE* file, const uint8_t* data, uint32_t count, bool hex) {
    if (file == nullptr) return -1;
    if (count == 0) return 0;
    if (hex) return WriteHex(file, data, count);
    return fwrite(data, 1, count, file) == count ? 0 : -1;
}
