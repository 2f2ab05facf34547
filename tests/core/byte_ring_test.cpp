#include "core/byte_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace {

// A ring for `capacity` bytes in its own block, as the program makes them.
struct TestRing {
    explicit TestRing(uint32_t capacity)
        : block((RingBlockSize(capacity) + 3) / 4), ring(RingInit(block.data(), capacity)) {}
    uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(block.data()); }
    std::vector<uint32_t> block;
    ByteRing* ring;
};

std::vector<uint8_t> Sequence(uint32_t count, uint8_t first) {
    std::vector<uint8_t> v(count);
    std::iota(v.begin(), v.end(), first);
    return v;
}

std::vector<uint8_t> ReadAll(ByteRing* ring, uint32_t want, bool* drained = nullptr) {
    std::vector<uint8_t> out(want);
    bool flag = false;
    uint32_t count = want;
    RingRead(ring, out.data(), &count, drained ? drained : &flag);
    out.resize(count);
    return out;
}

TEST(ByteRing, NewRingHasTheSharedLayout) {
    TestRing t(8);
    const uint8_t* b = t.Bytes();
    auto word = [&](int offset) {
        return uint32_t(b[offset]) | b[offset + 1] << 8 | b[offset + 2] << 16 |
               uint32_t(b[offset + 3]) << 24;
    };
    EXPECT_EQ(word(0), 9u);
    EXPECT_EQ(word(4), 7u);
    EXPECT_EQ(word(8), 7u);
    EXPECT_EQ(word(12), 0xFFFFFFFFu);
    // The first byte goes to the last position before the wrap.
    uint8_t first = 0x5C;
    ASSERT_TRUE(RingWrite(t.ring, &first, 1, 8));
    EXPECT_EQ(b[16 + 8], 0x5C);
    EXPECT_EQ(word(8), 8u);
}

TEST(ByteRing, WriteOfExactlyTheRoomFillsTheRingAndOneMoreIsRefused) {
    TestRing t(8);
    auto data = Sequence(8, 1);
    ASSERT_TRUE(RingWrite(t.ring, data.data(), 8, 8));
    EXPECT_EQ(RingHeld(t.ring), 8u);
    uint32_t writeIndex = t.ring->uWriteIndex;
    uint8_t extra = 0xEE;
    EXPECT_FALSE(RingWrite(t.ring, &extra, 1, 8));
    EXPECT_EQ(t.ring->uWriteIndex, writeIndex);
    EXPECT_EQ(ReadAll(t.ring, 100), data);
}

TEST(ByteRing, LimitBoundsTheRingButNeverBeyondItsRoom) {
    TestRing t(8);
    auto data = Sequence(9, 1);
    ASSERT_TRUE(RingWrite(t.ring, data.data(), 3, 5));
    EXPECT_FALSE(RingWrite(t.ring, data.data(), 3, 5));
    EXPECT_TRUE(RingWrite(t.ring, data.data(), 2, 5));
    // More held than the limit allows must refuse, not wrap around to "room".
    EXPECT_FALSE(RingWrite(t.ring, data.data(), 1, 2));
    TestRing u(8);
    EXPECT_FALSE(RingWrite(u.ring, data.data(), 9, 1000));
    EXPECT_EQ(RingHeld(u.ring), 0u);
}

TEST(ByteRing, DataCrossingTheEndComesBackInOrder) {
    TestRing t(8);
    auto head = Sequence(5, 1);
    ASSERT_TRUE(RingWrite(t.ring, head.data(), 5, 8));
    EXPECT_EQ(ReadAll(t.ring, 5), head);
    auto wrapped = Sequence(7, 100);
    ASSERT_TRUE(RingWrite(t.ring, wrapped.data(), 7, 8));
    // Positions 4..8 then 0..1 of the data area.
    EXPECT_EQ(t.ring->uWriteIndex, 1u);
    EXPECT_EQ(t.Bytes()[16 + 0], 105);
    EXPECT_EQ(ReadAll(t.ring, 3), Sequence(3, 100));
    EXPECT_EQ(ReadAll(t.ring, 10), Sequence(4, 103));
    EXPECT_EQ(RingHeld(t.ring), 0u);
}

TEST(ByteRing, ReadingAnEmptyRingTakesNothing) {
    TestRing t(4);
    uint8_t out[4];
    uint32_t count = 4;
    bool drained = true;
    EXPECT_FALSE(RingRead(t.ring, out, &count, &drained));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(drained);
}

TEST(ByteRing, MarkedRingRefusesWritesUntilDrained) {
    TestRing t(8);
    auto data = Sequence(4, 1);
    ASSERT_TRUE(RingWrite(t.ring, data.data(), 4, 8));
    t.ring->iMark = 3;
    EXPECT_FALSE(RingWrite(t.ring, data.data(), 1, 8));

    bool drained = true;
    EXPECT_EQ(ReadAll(t.ring, 2, &drained).size(), 2u);
    EXPECT_FALSE(drained);
    EXPECT_EQ(t.ring->iMark, 3);

    EXPECT_EQ(ReadAll(t.ring, 8, &drained).size(), 2u);
    EXPECT_TRUE(drained);
    EXPECT_EQ(t.ring->iMark, kRingMarkClear);
    EXPECT_TRUE(RingWrite(t.ring, data.data(), 1, 8));
}

TEST(ByteRing, SkipDropsBytesAndClearsTheMark) {
    TestRing t(16);
    auto data = Sequence(10, 1);
    ASSERT_TRUE(RingWrite(t.ring, data.data(), 10, 16));
    t.ring->iMark = 0;
    EXPECT_EQ(RingSkip(t.ring, 3), 3u);
    EXPECT_EQ(t.ring->iMark, kRingMarkClear);
    EXPECT_EQ(ReadAll(t.ring, 1), Sequence(1, 4));
    EXPECT_EQ(RingSkip(t.ring, 100), 6u);
    ASSERT_TRUE(RingWrite(t.ring, data.data(), 5, 16));
    EXPECT_EQ(RingSkip(t.ring, 0), 5u);
    EXPECT_EQ(RingHeld(t.ring), 0u);
}

TEST(ByteRing, MissingRingIsHandled) {
    uint8_t buf[4] = {};
    uint32_t count = 4;
    bool drained = true;
    EXPECT_FALSE(RingRead(nullptr, buf, &count, &drained));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(drained);
    EXPECT_EQ(RingSkip(nullptr, 7), 7u);
    EXPECT_FALSE(RingWrite(nullptr, buf, 1, 4));
}

// The driver writes the index words; the consumer must survive any value.
TEST(ByteRing, IndexesOutsideTheRingCountAsCorruptionAndEmptyIt) {
    TestRing t(8);
    auto data = Sequence(4, 1);
    ASSERT_TRUE(RingWrite(t.ring, data.data(), 4, 8));
    uint32_t before = RingCorruptionCount();

    t.ring->uReadIndex = 0xFFFFFFF0u;
    uint8_t out[16];
    uint32_t count = 16;
    bool drained = true;
    EXPECT_FALSE(RingRead(t.ring, out, &count, &drained));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(t.ring->uReadIndex, t.ring->uWriteIndex);
    EXPECT_EQ(RingCorruptionCount(), before + 1);

    t.ring->uWriteIndex = 9;  // one past the last position
    count = 16;
    EXPECT_FALSE(RingRead(t.ring, out, &count, &drained));
    EXPECT_EQ(RingSkip(t.ring, 0), 0u);
    EXPECT_FALSE(RingWrite(t.ring, data.data(), 1, 8));
    EXPECT_EQ(RingCorruptionCount(), before + 4);

    t.ring->uSize = 0;
    t.ring->uWriteIndex = 0;
    count = 16;
    EXPECT_FALSE(RingRead(t.ring, out, &count, &drained));
    EXPECT_EQ(RingCorruptionCount(), before + 5);
}

TEST(ByteRing, ProducerAndConsumerThreadsKeepTheStreamIntact) {
    TestRing t(61);
    constexpr uint32_t kTotal = 200000;
    std::thread producer([&] {
        uint32_t sent = 0;
        uint8_t chunk[23];
        while (sent < kTotal) {
            uint32_t n = std::min<uint32_t>(sizeof chunk, kTotal - sent);
            for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) * 7);
            if (RingWrite(t.ring, chunk, n, 61))
                sent += n;
            else
                std::this_thread::yield();
        }
    });
    uint32_t received = 0;
    uint32_t mismatches = 0;
    uint8_t buf[17];
    while (received < kTotal) {
        uint32_t count = sizeof buf;
        bool drained = false;
        if (!RingRead(t.ring, buf, &count, &drained)) {
            std::this_thread::yield();
            continue;
        }
        for (uint32_t i = 0; i < count; ++i)
            if (buf[i] != static_cast<uint8_t>((received + i) * 7)) ++mismatches;
        received += count;
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(RingHeld(t.ring), 0u);
}

}  // namespace
