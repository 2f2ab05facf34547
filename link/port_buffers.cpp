#include "link/port_buffers.h"

#include <algorithm>
#include <new>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/settings.h"
#include "log/log.h"
#include "platform/last_error.h"

std::atomic<bool> g_bSharedRxRing{false};
std::atomic<ByteRing*> g_pRxRing{nullptr};

namespace {

constexpr uint32_t kMaxBufferLength = 8192;

// The ring's one read request: the driver owns it, and the ring's memory,
// until the port's I/O is cancelled, so it outlives every call here.
card::Overlapped g_RxRingRequest;

uint32_t RoundUp(uint32_t value, uint32_t step) { return (value + step - 1) / step * step; }

uint32_t StepLength(uint32_t length) {
    if (length <= 8) return 8;
    if (length <= 16) return 16;
    if (length <= 32) return 32;
    return RoundUp(length, 32);
}

// A buffer of asynchronous characters has to carry whole pattern bytes.
uint32_t WholeAsyncChars(uint32_t length) {
    const TestSettings& s = g_Settings;
    if (s.uMode != MODE_ASYNC || s.uDataBits == 0 || s.uDataBits >= 8 ||
        s.uPatternType == PATTERN_FOX)
        return length;
    return RoundUp(length, 8 * s.uDataBits);
}

uint32_t BufferCount(uint32_t length, uint32_t totalQueueBytes) {
    // 64-bit so that a queue near 4 GB does not wrap to a tiny count.
    uint64_t wanted = (uint64_t{length} + totalQueueBytes - 1) / length;
    if (wanted <= 2) return 2;
    if (wanted > 64) return 128;
    uint32_t count = 4;
    while (count < wanted) count *= 2;
    return count;
}

}  // namespace

void SizePortBuffers(uint32_t totalQueueBytes, uint32_t* bufferLength, uint32_t* numBuffers) {
    LogPrint(3, "TotalQLength=%u\n", totalQueueBytes);
    uint32_t eighth = static_cast<uint32_t>((uint64_t{totalQueueBytes} + 7) / 8);
    uint32_t length = WholeAsyncChars(StepLength(std::min(eighth, kMaxBufferLength)));
    uint32_t count = BufferCount(length, totalQueueBytes);
    LogPrint(3, "NumBuffers=%u BufferLength=%u QLength=%u\n", count, length, count * length);
    uint32_t rate = g_Settings.uClockRate;
    double seconds = rate == 0 ? 0.0 : double(g_uBitsPerChar) * count * length / rate;
    LogPrint(3, "Duration = %.3f secs\n", seconds);
    *bufferLength = length;
    *numBuffers = count;
}

int StartReceiveRing(card::PortHandle handle, uint32_t numBuffers, uint32_t bufferLength) {
    card::Driver* driver = card::GetDriver();
    uint64_t capacity = (uint64_t{bufferLength} + kReceiveRecordHeaderSize) * numBuffers;
    if (driver == nullptr || capacity == 0 || capacity + kRxRingSlack > UINT32_MAX) return 0;
    uint32_t blockBytes = static_cast<uint32_t>(capacity) + kRxRingSlack;
    // Whole words keep the header's index words aligned for atomic access.
    auto* block = new (std::nothrow) uint32_t[(blockBytes + 3) / 4];
    if (block == nullptr) return 0;
    ByteRing* ring = RingInit(block, static_cast<uint32_t>(capacity));
    g_pRxRing = ring;
    g_RxRingRequest.Clear();
    uint32_t bytesRead = 0;
    if (!driver->ReadFile(handle, block, blockBytes, &bytesRead, &g_RxRingRequest) &&
        platform::GetLastError() == platform::kErrorIoPending)
        return 1;
    FreeReceiveRing();
    return 0;
}

void FreeReceiveRing() {
    ByteRing* ring = g_pRxRing.exchange(nullptr);
    delete[] reinterpret_cast<uint32_t*>(ring);
}
