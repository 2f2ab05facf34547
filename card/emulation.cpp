#include "card/emulation.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "card/driver_error.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "card/wire_layout.h"
#include "platform/last_error.h"

static_assert(std::endian::native == std::endian::little,
              "the ring index words are shared with the program as native words");

namespace card {

using namespace wire;

IoResult Pend(std::deque<PendingRequest>& queue, Overlapped* ov, uint8_t* buffer, uint32_t length) {
    ov->Internal.store(STATUS_PENDING);
    ov->InternalHigh.store(0);
    queue.push_back(PendingRequest{ov, buffer, length, 0});
    return IoResult::Pending();
}

IoResult CheckDataRequest(const void* buffer, uint32_t length, const Overlapped* ov, bool started) {
    if (ov == nullptr || (length && buffer == nullptr))
        return IoResult::Failed(platform::kErrorInvalidParameter);
    if (!started) return IoResult::Failed(ZV_ERROR_CARD_NOT_STARTED);
    return IoResult::Done();
}

void CancelRequests(std::deque<PendingRequest>& transmits, std::deque<PendingRequest>& reads,
                    ReceiveRing& ring, uint32_t status) {
    CompleteRequests(transmits, status);
    CompleteRequests(reads, status);
    ring.Cancel(status);
}

// ---- receive ring ------------------------------------------------------------

IoResult ReceiveRing::Start(uint8_t* block, uint32_t length, Overlapped* ov) {
    if (active_ || ov == nullptr) return IoResult::Failed(platform::kErrorInvalidParameter);
    if (length < kRingHeaderSize + 2 || reinterpret_cast<uintptr_t>(block) % alignof(uint32_t) != 0)
        return IoResult::Failed(platform::kErrorInvalidParameter);
    uint32_t size = LoadU32(block, kRingSize);
    uint32_t read = LoadU32(block, kRingReadIndex);
    uint32_t write = LoadU32(block, kRingWriteIndex);
    if (size < 2 || size > length - kRingHeaderSize || read >= size || write >= size)
        return IoResult::Failed(platform::kErrorInvalidParameter);
    size_ = size;
    write_ = write;
    ov->Internal.store(STATUS_PENDING);
    ov->InternalHigh.store(0);
    read_ = PendingRequest{ov, block, length, 0};
    active_ = true;
    return IoResult::Pending();
}

bool ReceiveRing::Append(const uint8_t* data, size_t count, uint32_t timestamp, uint8_t kind) {
    if (!active_) return false;
    uint8_t* block = read_.buffer;
    uint8_t* area = block + kRingHeaderSize;
    const uint32_t n = size_;
    uint32_t read = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block + kRingReadIndex))
                        .load(std::memory_order_acquire);
    if (read >= n) return false;  // the consumer broke its index: write nothing more
    uint32_t held = (write_ + n - read) % n;
    if (kReceiveRecordHeaderSize + count > n - 1 - held) return false;

    uint8_t header[kReceiveRecordHeaderSize] = {};
    StoreU32(header, kRecordTimestamp, timestamp);
    StoreU16(header, kRecordLength, uint16_t(count));
    header[kRecordPort] = kind;
    header[kRecordStatus] = 0;
    auto put = [&](const uint8_t* src, size_t length) {
        uint32_t pos = (write_ + 1) % n;
        size_t first = std::min<size_t>(length, n - pos);
        std::memcpy(area + pos, src, first);
        std::memcpy(area, src + first, length - first);
        write_ = uint32_t((write_ + length) % n);
    };
    put(header, sizeof header);
    put(data, count);
    // Published only now, when every byte of the record is in place.
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block + kRingWriteIndex))
        .store(write_, std::memory_order_release);
    return true;
}

void ReceiveRing::Cancel(uint32_t status) {
    if (!active_) return;
    active_ = false;
    CompleteRequest(read_, status, 0);
}

// ---- receive queue -----------------------------------------------------------

void ReceiveQueue::PopFront() {
    bytes_ -= items_.front().data.size();
    items_.pop_front();
}

void ReceiveQueue::Clear() {
    items_.clear();
    bytes_ = 0;
    wish_ = 0;
}

size_t ReceiveQueue::Limit(uint32_t rxNumBuffers, uint32_t rxBufferLength) const {
    uint64_t bytes = std::max<uint64_t>(uint64_t(rxNumBuffers) * rxBufferLength, wish_);
    return size_t(std::clamp<uint64_t>(bytes, kReceiveDataMax, 16u << 20));
}

bool ReceiveQueue::Push(ReceivedItem item, size_t limit) {
    if (bytes_ + item.data.size() > limit) return false;
    bytes_ += item.data.size();
    items_.push_back(std::move(item));
    return true;
}

uint32_t ReceiveQueue::Take(uint8_t* out, uint32_t room, bool oneItem) {
    uint32_t got = 0;
    while (got < room && !items_.empty()) {
        ReceivedItem& item = items_.front();
        uint32_t n = std::min<uint32_t>(room - got, uint32_t(item.data.size()) - item.taken);
        std::memcpy(out + got, item.data.data() + item.taken, n);
        got += n;
        item.taken += n;
        if (item.taken == item.data.size() || oneItem) PopFront();
        if (oneItem) break;
    }
    return got;
}

uint32_t ReceiveQueue::MoveToRing(ReceiveRing& ring) {
    uint32_t dropped = 0;
    while (!items_.empty()) {
        ReceivedItem& item = items_.front();
        if (!ring.Append(item.data.data() + item.taken, item.data.size() - item.taken,
                         item.timestamp, item.kind))
            ++dropped;
        PopFront();
    }
    return dropped;
}

uint32_t ReceiveRecordLimit(uint32_t rxBufferLength) {
    return rxBufferLength == 0 || rxBufferLength > kReceiveDataMax ? kReceiveDataMax
                                                                   : rxBufferLength;
}

// ---- versioned reads ------------------------------------------------------------

IoResult CheckRecordVersion(uint32_t code, uint32_t version, bool serialVersion5) {
    bool known = false;
    if (code == IOCTL_READ_CARD_INFO)
        known = version == CARD_INFO_VERSION;
    else if (code == IOCTL_GET_PORT_CONFIG)
        known = version == PORT_CONFIG_VERSION;
    else if (code == IOCTL_GET_SERIAL_CONFIG)
        known = version == SERIAL_CONFIG_VERSION_OLD ||
                (version == SERIAL_CONFIG_VERSION && serialVersion5);
    return known ? IoResult::Done() : IoResult::Failed(platform::kErrorNotSupported);
}

}  // namespace card
