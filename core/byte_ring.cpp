#include "core/byte_ring.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

std::atomic<uint32_t> g_uRingCorruptions{0};

uint32_t Load(uint32_t& word, std::memory_order order) {
    return std::atomic_ref<uint32_t>(word).load(order);
}

void Store(uint32_t& word, uint32_t value, std::memory_order order) {
    std::atomic_ref<uint32_t>(word).store(value, order);
}

int32_t LoadMark(ByteRing* ring) {
    return std::atomic_ref<int32_t>(ring->iMark).load(std::memory_order_acquire);
}

void ClearMark(ByteRing* ring) {
    std::atomic_ref<int32_t>(ring->iMark).store(kRingMarkClear, std::memory_order_release);
}

// Indexes as one side sees them. The side's own index is re-read relaxed,
// the other side's with acquire so that the bytes it covers are visible.
struct RingView {
    uint32_t n = 0;
    uint32_t read = 0;
    uint32_t write = 0;

    uint32_t Held() const { return static_cast<uint32_t>((uint64_t{write} + n - read) % n); }
    bool Valid() const { return n != 0 && read < n && write < n; }
};

RingView ConsumerView(ByteRing* ring) {
    RingView v;
    v.n = Load(ring->uSize, std::memory_order_relaxed);
    v.read = Load(ring->uReadIndex, std::memory_order_relaxed);
    v.write = Load(ring->uWriteIndex, std::memory_order_acquire);
    return v;
}

RingView ProducerView(ByteRing* ring) {
    RingView v;
    v.n = Load(ring->uSize, std::memory_order_relaxed);
    v.write = Load(ring->uWriteIndex, std::memory_order_relaxed);
    v.read = Load(ring->uReadIndex, std::memory_order_acquire);
    return v;
}

// A consumer facing a bad index empties the ring as far as it may: it can
// only move its own index, and only onto a write index that is in range.
void RecoverFromCorruption(ByteRing* ring, const RingView& v) {
    g_uRingCorruptions.fetch_add(1, std::memory_order_relaxed);
    if (v.n != 0 && v.write < v.n) Store(ring->uReadIndex, v.write, std::memory_order_release);
}

uint32_t Advance(uint32_t index, uint32_t count, uint32_t n) {
    return static_cast<uint32_t>((uint64_t{index} + count) % n);
}

void CopyOut(ByteRing* ring, const RingView& v, uint8_t* dest, uint32_t count) {
    uint32_t start = Advance(v.read, 1, v.n);
    uint32_t first = std::min(count, v.n - start);
    memcpy(dest, ring->Data() + start, first);
    memcpy(dest + first, ring->Data(), count - first);
}

void CopyIn(ByteRing* ring, const RingView& v, const uint8_t* source, uint32_t count) {
    uint32_t start = Advance(v.write, 1, v.n);
    uint32_t first = std::min(count, v.n - start);
    memcpy(ring->Data() + start, source, first);
    memcpy(ring->Data(), source + first, count - first);
}

}  // namespace

ByteRing* RingInit(void* block, uint32_t capacity) {
    auto* ring = static_cast<ByteRing*>(block);
    // The first byte goes to position capacity, the last slot before the wrap.
    uint32_t start = capacity == 0 ? 0 : capacity - 1;
    ring->uSize = capacity + 1;
    ring->uReadIndex = start;
    ring->uWriteIndex = start;
    ring->iMark = kRingMarkClear;
    return ring;
}

bool RingWrite(ByteRing* ring, const void* source, uint32_t count, uint32_t limit) {
    if (ring == nullptr || LoadMark(ring) != kRingMarkClear) return false;
    RingView v = ProducerView(ring);
    if (!v.Valid()) {
        g_uRingCorruptions.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    // The caller's limit never lets the ring overrun its own room.
    uint32_t room = std::min(limit, v.n - 1);
    uint32_t held = v.Held();
    if (held > room || count > room - held) return false;
    if (count == 0) return true;
    CopyIn(ring, v, static_cast<const uint8_t*>(source), count);
    Store(ring->uWriteIndex, Advance(v.write, count, v.n), std::memory_order_release);
    return true;
}

bool RingRead(ByteRing* ring, void* destination, uint32_t* count, bool* drained) {
    if (ring == nullptr) {
        *count = 0;
        return false;
    }
    RingView v = ConsumerView(ring);
    uint32_t taken = 0;
    if (v.Valid()) {
        taken = std::min(*count, v.Held());
        if (taken > 0) {
            CopyOut(ring, v, static_cast<uint8_t*>(destination), taken);
            Store(ring->uReadIndex, Advance(v.read, taken, v.n), std::memory_order_release);
        }
    } else {
        RecoverFromCorruption(ring, v);
    }
    *count = taken;
    bool nowEmpty = Load(ring->uReadIndex, std::memory_order_relaxed) ==
                    Load(ring->uWriteIndex, std::memory_order_acquire);
    bool marked = LoadMark(ring) != kRingMarkClear;
    if (drained) *drained = nowEmpty && marked;
    if (nowEmpty && marked) ClearMark(ring);
    return taken > 0;
}

uint32_t RingSkip(ByteRing* ring, uint32_t count) {
    if (ring == nullptr) return count;
    RingView v = ConsumerView(ring);
    uint32_t skipped = 0;
    if (v.Valid()) {
        skipped = count == 0 ? v.Held() : std::min(count, v.Held());
        Store(ring->uReadIndex, Advance(v.read, skipped, v.n), std::memory_order_release);
    } else {
        RecoverFromCorruption(ring, v);
    }
    ClearMark(ring);
    return skipped;
}

uint32_t RingHeld(ByteRing* ring) {
    if (ring == nullptr) return 0;
    RingView v = ConsumerView(ring);
    return v.Valid() ? v.Held() : 0;
}

uint32_t RingCorruptionCount() { return g_uRingCorruptions.load(std::memory_order_relaxed); }
