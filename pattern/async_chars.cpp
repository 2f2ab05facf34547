#include "pattern/async_chars.h"

#include <algorithm>

AsyncUnpackState g_AsyncUnpack;

uint32_t CopyBits(uint8_t source, uint32_t& sourcePos, uint8_t& dest, uint32_t& destPos,
                  uint32_t count) {
    if (sourcePos >= 8 || destPos >= 8) return 0;
    const uint32_t bits = std::min({8 - sourcePos, 8 - destPos, count});
    if (bits == 0) return 0;
    const uint32_t taken = (static_cast<uint32_t>(source) << sourcePos & 0xFF) >> (8 - bits);
    dest = static_cast<uint8_t>(dest | taken << (8 - destPos - bits));
    sourcePos += bits;
    destPos += bits;
    return bits;
}

uint32_t PackAsyncChars(uint32_t dataBits, const uint8_t* stream, uint32_t streamLength,
                        uint8_t* chars, uint32_t charCapacity) {
    if (dataBits < 1 || dataBits > 8) return 0;
    uint32_t made = 0;
    uint8_t character = 0;
    uint32_t charPos = 8 - dataBits;
    uint32_t source = 0;
    uint32_t sourcePos = 0;
    while (source < streamLength && made < charCapacity) {
        CopyBits(stream[source], sourcePos, character, charPos, 8 - charPos);
        if (sourcePos == 8) {
            ++source;
            sourcePos = 0;
        }
        if (charPos == 8) {
            chars[made++] = character;
            character = 0;
            charPos = 8 - dataBits;
        }
    }
    return made;
}

uint32_t UnpackAsyncChars(uint32_t dataBits, const uint8_t* chars, uint32_t charCount,
                          uint8_t* stream, uint32_t streamCapacity) {
    if (dataBits < 1 || dataBits > 8) return 0;
    AsyncUnpackState& st = g_AsyncUnpack;
    uint32_t made = 0;
    uint8_t current = st.bPartial;
    for (uint32_t i = 0; i < charCount && made < streamCapacity; ++i) {
        uint32_t charPos = 8 - dataBits;
        while (charPos < 8 && made < streamCapacity) {
            st.uBitsNeeded -= CopyBits(chars[i], charPos, current, st.uFillPos, st.uBitsNeeded);
            if (st.uBitsNeeded == 0) {
                stream[made++] = current;
                current = 0;
                st.uBitsNeeded = 8;
                st.uFillPos = 0;
            }
        }
    }
    st.bPartial = current;
    return made;
}

void ResetAsyncUnpack() { g_AsyncUnpack = AsyncUnpackState{}; }
