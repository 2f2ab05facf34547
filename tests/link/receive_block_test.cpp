// Taking received records out of the shared ring, and the damaged ones that
// are dropped.
#include "link/receive_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "link/port_buffers.h"

namespace {

constexpr uint32_t kCapacity = 3 * (kRxBufferSize + kReceiveRecordHeaderSize);

class ReceiveBlockTest : public ::testing::Test {
   protected:
    void SetUp() override {
        block_.assign(RingBlockSize(kCapacity) / 4 + 1, 0);
        ring_ = RingInit(block_.data(), kCapacity);
        g_pRxRing = ring_;
        g_bSharedRxRing = true;
        g_hPort = 5;
    }
    void TearDown() override {
        g_pRxRing = nullptr;
        g_bSharedRxRing = false;
        g_hPort = card::kInvalidHandle;
    }

    void Put(const void* data, uint32_t length) {
        ASSERT_TRUE(RingWrite(ring_, data, length, kCapacity));
    }

    // A record header claiming `length` data bytes, followed by `data`.
    void PutRecord(uint32_t length, const std::vector<uint8_t>& data) {
        uint8_t header[kReceiveRecordHeaderSize] = {
            1, 2, 3, 4, uint8_t(length), uint8_t(length >> 8), 0, 0};
        Put(header, sizeof header);
        if (!data.empty()) Put(data.data(), static_cast<uint32_t>(data.size()));
    }

    static std::vector<uint8_t> Bytes(uint8_t value, size_t count) {
        return std::vector<uint8_t>(count, value);
    }

    std::vector<uint32_t> block_;
    ByteRing* ring_ = nullptr;
};

TEST_F(ReceiveBlockTest, ReturnsEachRecordsDataInTurn) {
    PutRecord(100, Bytes(0x11, 100));
    PutRecord(kRxBufferSize, Bytes(0x22, kRxBufferSize));
    ASSERT_EQ(ReceiveBlock(), 100u);
    EXPECT_EQ(g_abRxBuffer[0], 0x11);
    EXPECT_EQ(g_abRxBuffer[99], 0x11);
    ASSERT_EQ(ReceiveBlock(), kRxBufferSize);
    EXPECT_EQ(g_abRxBuffer[kRxBufferSize - 1], 0x22);
    EXPECT_EQ(ReceiveBlock(), 0u);
}

TEST_F(ReceiveBlockTest, ARecordTooLongForTheBufferIsSkipped) {
    PutRecord(kRxBufferSize + 1, Bytes(0x33, kRxBufferSize + 1));
    PutRecord(4, Bytes(0x44, 4));
    EXPECT_EQ(ReceiveBlock(), 0u);
    ASSERT_EQ(ReceiveBlock(), 4u);
    EXPECT_EQ(g_abRxBuffer[3], 0x44);
}

TEST_F(ReceiveBlockTest, ACutHeaderEmptiesTheRing) {
    const uint8_t partial[5] = {};
    Put(partial, sizeof partial);
    EXPECT_EQ(ReceiveBlock(), 0u);
    EXPECT_EQ(RingHeld(ring_), 0u);
    PutRecord(2, Bytes(0x55, 2));
    EXPECT_EQ(ReceiveBlock(), 2u);
}

TEST_F(ReceiveBlockTest, ARecordWithMissingDataIsDropped) {
    PutRecord(50, Bytes(0x66, 20));
    EXPECT_EQ(ReceiveBlock(), 0u);
    EXPECT_EQ(RingHeld(ring_), 0u);
}

}  // namespace
