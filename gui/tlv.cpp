#include "gui/tlv.h"

namespace {

void PutWord(uint8_t* out, uint32_t word) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(word >> (8 * i));
}

uint32_t GetWord(const uint8_t* in) {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) word |= uint32_t{in[i]} << (8 * i);
    return word;
}

}  // namespace

uint32_t TlvRecord::U32(uint32_t offset) const {
    uint32_t word = 0;
    for (uint32_t i = 0; i < 4; ++i) word |= uint32_t{Byte(offset + i)} << (8 * i);
    return word;
}

uint64_t TlvRecord::U64(uint32_t offset) const {
    return uint64_t{U32(offset)} | (uint64_t{U32(offset + 4)} << 32);
}

void EncodeTlv(uint32_t tag, const uint8_t* value, uint32_t length, uint8_t* out) {
    if (length > kTlvMaxValue) length = kTlvMaxValue;
    std::memset(out, 0, kTlvRecordSize);
    PutWord(out, tag);
    PutWord(out + 4, length);
    if (length > 0) std::memcpy(out + kTlvHeaderSize, value, length);
}

TlvRecord DecodeTlv(const uint8_t* bytes) {
    TlvRecord record;
    record.uTag = GetWord(bytes);
    record.uLength = GetWord(bytes + 4);
    std::memcpy(record.abValue, bytes + kTlvHeaderSize, kTlvMaxValue);
    return record;
}
