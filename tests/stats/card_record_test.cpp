#include "stats/card_record.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> RecordBytes() {
    std::vector<uint8_t> bytes(kCardBertRecordSize, 0);
    bytes[0] = 0xEE;  // not interpreted
    bytes[1] = kBertStatusNotInSync | kBertStatusRunEnded;
    for (size_t field = 0; field < 8; ++field) {
        // Distinct bytes in every position, so a wrong offset or order shows.
        for (size_t b = 0; b < 4; ++b)
            bytes[4 + field * 4 + b] = static_cast<uint8_t>(0x10 * (field + 1) + b);
    }
    return bytes;
}

TEST(CardRecordTest, DecodesLittleEndianFields) {
    const std::vector<uint8_t> bytes = RecordBytes();
    CardBertRecord r;
    ASSERT_TRUE(DecodeCardBertRecord(bytes.data(), bytes.size(), &r));
    EXPECT_EQ(r.bertStatus, 0x05);
    EXPECT_EQ(r.msecs, 0x13121110u);
    EXPECT_EQ(r.bit_count, 0x23222120u);
    EXPECT_EQ(r.block_count, 0x33323130u);
    EXPECT_EQ(r.bit_errors, 0x43424140u);
    EXPECT_EQ(r.block_errors, 0x53525150u);
    EXPECT_EQ(r.es, 0x63626160u);
    EXPECT_EQ(r.ses, 0x73727170u);
    EXPECT_EQ(r.as, 0x83828180u);
    EXPECT_FALSE(CardRecordInSync(r));
    EXPECT_FALSE(CardRecordRxInverted(r));
    EXPECT_TRUE(CardRecordRunEnded(r));
}

TEST(CardRecordTest, WrongLengthIsFlaggedAndNeverReadPast) {
    const std::vector<uint8_t> bytes = RecordBytes();
    CardBertRecord r;
    r.as = 99;  // a stale value must not survive
    // 11 bytes: msecs complete, bit_count cut.
    std::vector<uint8_t> shortRead(bytes.begin(), bytes.begin() + 11);
    EXPECT_FALSE(DecodeCardBertRecord(shortRead.data(), shortRead.size(), &r));
    EXPECT_EQ(r.msecs, 0x13121110u);
    EXPECT_EQ(r.bit_count, 0u);
    EXPECT_EQ(r.as, 0u);

    std::vector<uint8_t> longRead = bytes;
    longRead.push_back(0xFF);
    EXPECT_FALSE(DecodeCardBertRecord(longRead.data(), longRead.size(), &r));
    EXPECT_EQ(r.as, 0x83828180u);

    EXPECT_FALSE(DecodeCardBertRecord(nullptr, kCardBertRecordSize, &r));
    EXPECT_EQ(r.msecs, 0u);
    EXPECT_TRUE(CardRecordInSync(r));
}

}  // namespace
