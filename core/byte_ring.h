// Single-producer, single-consumer byte ring in one block of memory with a
// fixed little-endian layout, so that a producer outside the program (the
// card driver filling the shared receive ring) can write into it directly:
//
//   offset 0   uSize        N, byte positions; at most N - 1 bytes are held
//   offset 4   uReadIndex   position of the last byte taken out (consumer)
//   offset 8   uWriteIndex  position of the last byte put in (producer)
//   offset 12  iMark        -1 when clear; set by the producer, cleared by
//                           the consumer
//   offset 16  N data bytes
//
// The index words and the mark are accessed atomically: the producer
// publishes data with a release store of uWriteIndex, the consumer hands
// space back with a release store of uReadIndex. uSize is written once by
// the creator before the ring is handed to the producer.
//
// The consumer does not trust the producer: an index outside 0..N-1 is
// counted as corruption (RingCorruptionCount) and the ring is taken as empty;
// nothing is ever read or written outside the data area.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "the ring layout is shared with the driver in little-endian order");

struct ByteRing {
    uint32_t uSize;
    uint32_t uReadIndex;
    uint32_t uWriteIndex;
    int32_t iMark;

    uint8_t* Data() { return reinterpret_cast<uint8_t*>(this) + sizeof(ByteRing); }
};

static_assert(sizeof(ByteRing) == 16);
static_assert(offsetof(ByteRing, uSize) == 0);
static_assert(offsetof(ByteRing, uReadIndex) == 4);
static_assert(offsetof(ByteRing, uWriteIndex) == 8);
static_assert(offsetof(ByteRing, iMark) == 12);

constexpr int32_t kRingMarkClear = -1;

// Bytes a ring for `capacity` bytes needs: header plus capacity + 1 positions.
constexpr size_t RingBlockSize(uint32_t capacity) {
    return sizeof(ByteRing) + size_t{capacity} + 1;
}

// Makes an empty ring for `capacity` bytes in `block` (at least
// RingBlockSize(capacity) bytes, 4-byte aligned). capacity must be at least 1.
ByteRing* RingInit(void* block, uint32_t capacity);

// All or nothing: false when the ring is missing, the mark is set, or the
// bytes held plus count would exceed limit (or the ring's own room).
bool RingWrite(ByteRing* ring, const void* source, uint32_t count, uint32_t limit);

// Takes up to *count bytes. *count becomes the number taken; true when at
// least one was. *drained is set to false, or to true when this read emptied
// a marked ring (the mark is then cleared). A missing ring gives 0 and false
// and leaves *drained alone.
bool RingRead(ByteRing* ring, void* destination, uint32_t* count, bool* drained);

// Drops up to count bytes (0: everything held) and clears the mark. Returns
// the number dropped; a missing ring returns count.
uint32_t RingSkip(ByteRing* ring, uint32_t count);

// Bytes held as the consumer sees them; 0 for a missing or corrupted ring.
uint32_t RingHeld(ByteRing* ring);

// How many times a consumer or producer found an index outside the ring.
uint32_t RingCorruptionCount();
