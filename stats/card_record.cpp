#include "stats/card_record.h"

#include <utility>

namespace {

using namespace card::wire;

uint32_t ReadWord(const uint8_t* bytes, size_t length, size_t offset) {
    return offset + 4 > length ? 0 : LoadU32(bytes, offset);
}

}  // namespace

bool DecodeCardBertRecord(const uint8_t* bytes, size_t length, CardBertRecord* record) {
    *record = CardBertRecord{};
    if (bytes == nullptr) return false;
    if (length > kBertStatus) record->bertStatus = bytes[kBertStatus];
    const std::pair<uint32_t*, size_t> fields[] = {{&record->msecs, kBertMsecs},
                                                   {&record->bit_count, kBertBitCount},
                                                   {&record->block_count, kBertBlockCount},
                                                   {&record->bit_errors, kBertBitErrors},
                                                   {&record->block_errors, kBertBlockErrors},
                                                   {&record->es, kBertEs},
                                                   {&record->ses, kBertSes},
                                                   {&record->as, kBertAs}};
    for (const auto& [field, offset] : fields) *field = ReadWord(bytes, length, offset);
    return length == kCardBertRecordSize;
}
