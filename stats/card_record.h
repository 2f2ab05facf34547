// The statistics record the card's BERT engine delivers on a plain read of
// the port device. Its counters cover the time since the previous record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/wire_layout.h"

constexpr size_t kCardBertRecordSize = kBertStatsRecordSize;

// Bits of bertStatus.
constexpr uint8_t kBertStatusNotInSync = card::wire::kBertNotInSync;
constexpr uint8_t kBertStatusRxInverted = card::wire::kBertInverted;
constexpr uint8_t kBertStatusRunEnded = card::wire::kBertEnded;

struct CardBertRecord {
    uint8_t bertStatus = 0;
    uint32_t msecs = 0;
    uint32_t bit_count = 0;
    uint32_t block_count = 0;
    uint32_t bit_errors = 0;
    uint32_t block_errors = 0;
    uint32_t es = 0;
    uint32_t ses = 0;
    uint32_t as = 0;
};

// Decodes the little-endian bytes of a record. A field the bytes do not
// fully cover reads 0, so a short read never adds stale counts. False when
// the length is not that of a record (the caller says so; the decoded
// fields are still usable).
bool DecodeCardBertRecord(const uint8_t* bytes, size_t length, CardBertRecord* record);

inline bool CardRecordInSync(const CardBertRecord& r) {
    return (r.bertStatus & kBertStatusNotInSync) == 0;
}
inline bool CardRecordRxInverted(const CardBertRecord& r) {
    return (r.bertStatus & kBertStatusRxInverted) != 0;
}
inline bool CardRecordRunEnded(const CardBertRecord& r) {
    return (r.bertStatus & kBertStatusRunEnded) != 0;
}
