// Record framing: whole records out of a byte stream cut anywhere, and a bad
// length field stops the reading of its chunk without reading past a record.
#include "gui/tlv.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A record whose length field may claim what its value does not hold.
std::vector<uint8_t> Record(uint32_t tag, std::vector<uint8_t> value, int64_t lengthField = -1) {
    std::vector<uint8_t> out(kTlvRecordSize);
    EncodeTlv(tag, value.data(), static_cast<uint32_t>(value.size()), out.data());
    const auto length = static_cast<uint32_t>(lengthField < 0 ? value.size() : lengthField);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    return out;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct Fed {
    std::vector<TlvRecord> records;
    TlvFeedResult last;
};

// Feeds the stream in chunks of the given sizes (the rest in one chunk).
Fed FeedInChunks(TlvAssembler& assembler, const std::vector<uint8_t>& stream,
                 std::vector<uint32_t> chunks) {
    Fed fed;
    uint32_t at = 0;
    chunks.push_back(static_cast<uint32_t>(stream.size()));
    for (uint32_t size : chunks) {
        size = std::min<uint32_t>(size, static_cast<uint32_t>(stream.size()) - at);
        fed.last = assembler.Feed(stream.data() + at, size,
                                  [&](const TlvRecord& r) { fed.records.push_back(r); });
        at += size;
        if (at == stream.size()) break;
    }
    return fed;
}

TEST(Tlv, LittleEndianValuesAndNoByteBeyondTheLength) {
    uint8_t value[9] = {9, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    uint8_t bytes[kTlvRecordSize];
    EncodeTlv(5005, value, 9, bytes);
    EXPECT_EQ(DecodeTlv(bytes).U64(1), 0xFEDCBA9876543210ull);
    EncodeTlv(2001, value, 2, bytes);
    EXPECT_EQ(DecodeTlv(bytes).Byte(2), 0);  // beyond the length: nothing
    EncodeTlv(3001, value, 12, bytes);       // clipped, never claiming 12
    EXPECT_EQ(DecodeTlv(bytes).uLength, 9u);
}

TEST(Tlv, WholeRecordsComeOutHoweverTheStreamIsCut) {
    const auto stream = Join({Record(1005, {3}), Record(2001, {1, 2}), Record(1007, {})});
    const std::vector<std::vector<uint32_t>> cuts = {
        {}, {34}, {1}, {16}, {17}, {18}, {8, 9, 17}, {5, 5, 5, 5, 5, 5, 5, 5, 5, 5}};
    for (const auto& cut : cuts) {
        TlvAssembler assembler;
        Fed fed = FeedInChunks(assembler, stream, cut);
        ASSERT_EQ(fed.records.size(), 3u) << "first cut " << (cut.empty() ? 0 : cut[0]);
        EXPECT_EQ(fed.records[0].uTag, 1005u);
        EXPECT_EQ(fed.records[0].Byte(0), 3);
        EXPECT_EQ(fed.records[1].uTag, 2001u);
        EXPECT_EQ(fed.records[1].Byte(1), 2);
        EXPECT_EQ(fed.records[2].uTag, 1007u);
        EXPECT_EQ(assembler.Pending(), 0u);
    }
}

TEST(Tlv, ALengthAboveNineDropsItsRecordAndTheRestOfTheChunk) {
    struct Case {
        uint32_t lengthField;
        bool bad;
    };
    for (Case c : {Case{9, false}, Case{10, true}, Case{0xFFFFFFFF, true}}) {
        const auto stream =
            Join({Record(1005, {1}), Record(1006, {}, c.lengthField), Record(1007, {})});
        TlvAssembler assembler;
        Fed fed = FeedInChunks(assembler, stream, {});
        EXPECT_EQ(fed.last.bBadLength, c.bad) << c.lengthField;
        EXPECT_EQ(fed.records.size(), c.bad ? 1u : 3u) << c.lengthField;
        if (c.bad) {
            EXPECT_EQ(fed.last.uBadLength, c.lengthField);
            EXPECT_EQ(fed.last.uDropped, 2 * kTlvRecordSize);
        }
        // The next chunk starts afresh.
        auto next = Record(1003, {});
        std::vector<TlvRecord> after;
        assembler.Feed(next.data(), kTlvRecordSize,
                       [&](const TlvRecord& r) { after.push_back(r); });
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].uTag, 1003u);
    }
}

}  // namespace
