// The records exchanged with the front end: 17 bytes, little-endian,
//   offset 0  tag      message number (gui/tags.h)
//   offset 4  length   meaningful value bytes, 0..9
//   offset 8  value    9 bytes, the first `length` of which carry the value.
// Both ends read a byte stream: a record may arrive in pieces, so a reader
// keeps the piece until the record is whole.
#pragma once

#include <cstdint>
#include <cstring>

constexpr uint32_t kTlvRecordSize = 17;
constexpr uint32_t kTlvMaxValue = 9;
constexpr uint32_t kTlvHeaderSize = 8;

struct TlvRecord {
    uint32_t uTag = 0;
    uint32_t uLength = 0;
    uint8_t abValue[kTlvMaxValue] = {};

    // Little-endian value fields at a byte offset of the value; 0 for bytes
    // beyond the meaningful length, so nothing stale is ever read.
    uint8_t Byte(uint32_t offset) const { return offset < uLength ? abValue[offset] : 0; }
    uint32_t U32(uint32_t offset) const;
    uint64_t U64(uint32_t offset) const;
};

// A length above 9 is clipped: a record never claims bytes it does not carry.
void EncodeTlv(uint32_t tag, const uint8_t* value, uint32_t length, uint8_t* out);
TlvRecord DecodeTlv(const uint8_t* bytes);

struct TlvFeedResult {
    uint32_t uRecords = 0;    // whole records handed on
    bool bBadLength = false;  // a record claimed more than 9 value bytes
    uint32_t uBadLength = 0;  // its length field
    uint32_t uDropped = 0;    // bytes dropped with it (the bad record and the rest)
};

class TlvAssembler {
   public:
    // Hands every whole record of the stream so far to handle(const TlvRecord&),
    // the piece kept from the previous call first. A record with a length above
    // 9 is not handed on: it and the rest of these bytes are dropped, since
    // nothing after it can be trusted to start a record.
    template <class Handle>
    TlvFeedResult Feed(const uint8_t* data, uint32_t count, Handle&& handle);
    // Bytes of a record still waiting for the rest.
    uint32_t Pending() const { return have_; }
    void Clear() { have_ = 0; }

   private:
    uint8_t partial_[kTlvRecordSize] = {};
    uint32_t have_ = 0;
};

template <class Handle>
TlvFeedResult TlvAssembler::Feed(const uint8_t* data, uint32_t count, Handle&& handle) {
    TlvFeedResult result;
    uint32_t offset = 0;
    while (offset < count) {
        uint32_t take = kTlvRecordSize - have_;
        if (take > count - offset) take = count - offset;
        std::memcpy(partial_ + have_, data + offset, take);
        have_ += take;
        offset += take;
        if (have_ < kTlvRecordSize) break;
        have_ = 0;
        TlvRecord record = DecodeTlv(partial_);
        if (record.uLength > kTlvMaxValue) {
            result.bBadLength = true;
            result.uBadLength = record.uLength;
            result.uDropped = kTlvRecordSize + (count - offset);
            return result;
        }
        ++result.uRecords;
        handle(record);
    }
    return result;
}
