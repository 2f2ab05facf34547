#include "stats/card_record.h"

namespace {

constexpr size_t kStatusOffset = 1;
constexpr size_t kMsecsOffset = 4;

uint32_t ReadWord(const uint8_t* bytes, size_t length, size_t offset) {
    if (offset + 4 > length) return 0;
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

bool DecodeCardBertRecord(const uint8_t* bytes, size_t length, CardBertRecord* record) {
    *record = CardBertRecord{};
    if (bytes == nullptr) return false;
    if (length > kStatusOffset) record->bertStatus = bytes[kStatusOffset];
    uint32_t* const fields[] = {&record->msecs,        &record->bit_count,    &record->block_count,
                                &record->bit_errors,   &record->block_errors, &record->es,
                                &record->ses,          &record->as};
    size_t offset = kMsecsOffset;
    for (uint32_t* field : fields) {
        *field = ReadWord(bytes, length, offset);
        offset += 4;
    }
    return length == kCardBertRecordSize;
}
