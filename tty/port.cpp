#include "tty/port.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "card/driver_error.h"
#include "platform/last_error.h"
#include "tty/records.h"

namespace tty {
namespace {

// A Zorvan card's BERT engine and delay mode have no serial-port
// counterpart: unknown requests here, as on a card without them.
constexpr uint32_t kNotServed[] = {IOCTL_SET_DELAY_MODE, IOCTL_SET_BERT_CONFIG, IOCTL_RESET_BERT};

constexpr uint32_t kMaxTransmitBytes = 1u << 20;
constexpr uint32_t kReadChunk = 65536;
constexpr uint32_t kWriteChunk = 4096;
// Time the pacing catches up after: a driver thread woken late (a busy
// machine) sends what fell due meanwhile, as a UART would have from its
// buffer, but a long idle gap is not paid back as a burst.
constexpr int64_t kPaceBacklogNs = 250000000;
// The driver thread wakes for the pacing no more often than this.
constexpr int64_t kPaceStepNs = 5000000;
constexpr uint32_t kSerialCardRevision = 0x200;  // 0x104 and later inject through the driver

}  // namespace

TtyPort::TtyPort(int fd, bool plus, int64_t epochNs) : fd_(fd), plus_(plus), epochNs_(epochNs) {
    portConfig_.uVersion = PORT_CONFIG_VERSION;
    portConfig_.uPortTxNumBuffers = portConfig_.uPortRxNumBuffers = 8;
    portConfig_.uPortTxBufferLength = portConfig_.uPortRxBufferLength = kReceiveDataMax;
    serialConfig_ = DefaultSerialConfig();
    line_ = ReadLineSettings(serialConfig_);
}

// Requests still pending here belong to a program that is exiting (Close
// cancels them first): their records may be gone, so they are dropped.
TtyPort::~TtyPort() { CloseDevice(fd_); }

// ---- requests ------------------------------------------------------------------

void TtyPort::Cancel(uint32_t status) { card::CancelRequests(transmits_, reads_, ring_, status); }

void TtyPort::Remove() {
    Cancel(platform::kErrorDeviceRemoved);
    removed_ = true;
    portEvent_ = nullptr;
}

IoResult TtyPort::Serves(uint32_t code) const {
    if (removed_) return IoResult::Failed(platform::kErrorDeviceRemoved);
    if (std::ranges::find(kNotServed, code) != std::end(kNotServed))
        return IoResult::Failed(ZV_ERROR_INVALID_IOCTL);
    return IoResult::Done();
}

IoResult TtyPort::Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                           uint32_t outLength, card::Overlapped* ov, int64_t nowNs) {
    nowNs_ = nowNs;
    switch (code) {
        case IOCTL_SET_PORT_EVENT:
            if (ov == nullptr || ov->hEvent == nullptr)
                return IoResult::Failed(platform::kErrorInvalidParameter);
            portEvent_ = ov->hEvent;
            return IoResult::Done();  // completing signals the event: data may already wait
        case IOCTL_SET_V24:
            SetV24(in[0]);
            return IoResult::Done();
        case IOCTL_TRANSMIT_DATA:
            return QueueTransmit(in, inLength, ov);
        case IOCTL_RECEIVE_DATA:
            return ReceiveData(out, outLength);
        case IOCTL_READ_INTERFACE_RECORD:
            FillInterfaceRecord(out);
            return IoResult::Done(kInterfaceRecordSize);
        case IOCTL_START_PORT:
            return Start(nowNs);
        case IOCTL_RESET_STATS:
            counterBase_ = ReadKernelCounters(fd_);
            lastCounters_ = counterBase_;
            overruns_ = 0;
            ++changeWord_;
            return IoResult::Done();
        case IOCTL_SET_PORT_CONFIG:
            std::memcpy(&portConfig_, in, sizeof portConfig_);
            return IoResult::Done();
        case IOCTL_SET_SERIAL_CONFIG:
            std::memcpy(&serialConfig_, in, sizeof serialConfig_);
            line_ = ReadLineSettings(serialConfig_);
            return IoResult::Done();
        case IOCTL_INJECT_ERRORS: {
            uint32_t count = LoadU32(in, 0);
            if (count < 1 || count > 8) return IoResult::Failed(platform::kErrorInvalidParameter);
            injectPending_ += count;
            return IoResult::Done();
        }
        case IOCTL_SET_INVERSION:
            inversion_ = LoadU32(in, 0);
            return IoResult::Done();
        default:
            return IoResult::Done();  // monitoring, the inversion notice: nothing to do
    }
}

IoResult TtyPort::Start(int64_t nowNs) {
    // A tty carries characters with start and stop bits and nothing else.
    if (line_.mode != MODE_ASYNC) return IoResult::Failed(platform::kErrorNotSupported);
    uint32_t error = 0;
    if (!ApplyLineSettings(fd_, line_, &error)) return IoResult::Failed(error);
    FlushDevice(fd_);
    started_ = true;
    paceStartNs_ = nowNs;
    charsPaced_ = 0;
    output_.clear();
    counterBase_ = ReadKernelCounters(fd_);
    lastCounters_ = counterBase_;
    return IoResult::Done();
}

IoResult TtyPort::ReadVersioned(uint32_t code, uint8_t* out, uint32_t outLength) {
    uint32_t asked = LoadU32(out, 0);
    if (code == IOCTL_READ_CARD_INFO) {
        ZvCardInfo info{};
        info.uVersion = CARD_INFO_VERSION;
        info.wCardType = uint16_t(CARD_MODEL_SERIAL_PORT << 8);
        info.wRevision = kSerialCardRevision;
        info.uBertPresent = 0;
        info.uGeneration = 3;
        std::memcpy(out, &info, outLength);
    } else if (code == IOCTL_GET_PORT_CONFIG) {
        std::memcpy(out, &portConfig_, outLength);
    } else {
        std::memcpy(out, &serialConfig_, outLength);
        StoreU32(out, 0, asked);
    }
    return IoResult::Done(outLength);
}

void TtyPort::SetV24(uint8_t lines) {
    SetOutputSignals(fd_, (lines & kV24Dtr) != 0, (lines & kV24Rts) != 0, line_.flow == FLOW_RTS);
}

void TtyPort::FillInterfaceRecord(uint8_t* out) {
    std::memset(out, 0, kInterfaceRecordSize);
    KernelCounters now = ReadKernelCounters(fd_);
    if (std::memcmp(&now, &lastCounters_, sizeof now) != 0) {
        lastCounters_ = now;
        ++changeWord_;
    }
    StoreU32(out, kIfChangeWord, changeWord_);
    out[kIfSignals] = ReadInputSignals(fd_);
    StoreU32(out, kIfCounters + 4 * kCounterCrc, now.parity - counterBase_.parity);
    StoreU32(out, kIfCounters + 4 * kCounterFraming, now.framing - counterBase_.framing);
    StoreU32(out, kIfCounters + 4 * kCounterRxO, now.overrun - counterBase_.overrun + overruns_);
    StoreU32(out, kIfCounters + 4 * kCounterRxA, now.breaks - counterBase_.breaks);
}

// ---- data requests ------------------------------------------------------------------

IoResult TtyPort::QueueTransmit(const uint8_t* data, uint32_t length, card::Overlapped* ov) {
    if (ov == nullptr) return IoResult::Failed(platform::kErrorInvalidParameter);
    if (length > kMaxTransmitBytes) return IoResult::Failed(ZV_ERROR_INVALID_LENGTH);
    return card::Pend(transmits_, ov, const_cast<uint8_t*>(data), length);
}

IoResult TtyPort::Write(const void* buffer, uint32_t length, card::Overlapped* ov,
                        int64_t /*nowNs*/) {
    if (removed_) return IoResult::Failed(platform::kErrorDeviceRemoved);
    IoResult fits = card::CheckDataRequest(buffer, length, ov, started_);
    if (fits.kind == IoResult::kFailed || length == 0) return fits;
    return QueueTransmit(static_cast<const uint8_t*>(buffer), length, ov);
}

IoResult TtyPort::Read(void* buffer, uint32_t length, card::Overlapped* ov, int64_t /*nowNs*/) {
    if (removed_) return IoResult::Failed(platform::kErrorDeviceRemoved);
    IoResult fits = card::CheckDataRequest(buffer, length, ov, started_);
    if (fits.kind == IoResult::kFailed) return fits;
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (!plus_) {
        IoResult started = ring_.Start(bytes, length, ov);
        if (started.kind == IoResult::kPending) overruns_ += rxQueue_.MoveToRing(ring_);
        return started;
    }
    if (length == 0) return IoResult::Done(0);
    IoResult pending = card::Pend(reads_, ov, bytes, length);
    ServeReads();
    return pending;
}

IoResult TtyPort::ReceiveData(uint8_t* out, uint32_t outLength) {
    return IoResult::Done(rxQueue_.Take(out, std::min(outLength, kReceiveDataMax)));
}

// ---- the driver thread's turn -------------------------------------------------------

short TtyPort::PollEvents() const {
    if (!started()) return 0;
    return short(POLLIN | (output_.empty() ? 0 : POLLOUT));
}

int64_t TtyPort::NextTransmitNs(int64_t nowNs) const {
    if (!started() || (transmits_.empty() && output_.empty()) || line_.rate == 0)
        return std::numeric_limits<int64_t>::max();
    if (!output_.empty()) return std::numeric_limits<int64_t>::max();  // POLLOUT says when
    // The time the next character is due, but not sooner than a pacing step.
    unsigned __int128 due =
        (unsigned __int128)(charsPaced_ + 1) * line_.BitsPerChar() * 1000000000u;
    int64_t dueNs = paceStartNs_ + int64_t(due / line_.rate);
    return std::max(dueNs, nowNs + kPaceStepNs);
}

bool TtyPort::Transfer(short revents, int64_t nowNs) {
    if (!started()) return true;
    nowNs_ = nowNs;
    if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) && !Receive()) return false;
    return Transmit(nowNs);
}

bool TtyPort::Receive() {
    readBuffer_.resize(kReadChunk);
    for (int turn = 0; turn < 16; ++turn) {
        long n = ReadDevice(fd_, readBuffer_.data(), kReadChunk);
        if (n < 0) return false;
        if (n == 0) break;
        Deliver(readBuffer_.data(), uint32_t(n));
        if (uint32_t(n) < kReadChunk) break;
    }
    return true;
}

// Characters the pacing lets out by now, the backlog of an idle line cut short.
uint64_t TtyPort::CharsAllowed(int64_t nowNs) {
    if (line_.rate == 0) return kWriteChunk;
    unsigned __int128 bits = (unsigned __int128)(nowNs - paceStartNs_) * line_.rate / 1000000000u;
    uint64_t total = uint64_t(bits / line_.BitsPerChar());
    uint64_t backlog = std::max<uint64_t>(
        1, uint64_t(line_.rate) * kPaceBacklogNs / 1000000000 / line_.BitsPerChar());
    if (total > charsPaced_ + backlog) charsPaced_ = total - backlog;
    return total - charsPaced_;
}

bool TtyPort::Transmit(int64_t nowNs) {
    if (output_.empty()) {
        uint64_t allowed = std::min<uint64_t>(CharsAllowed(nowNs), kWriteChunk);
        MoveToOutput(allowed);
    }
    if (output_.empty()) return true;
    long n = WriteDevice(fd_, output_.data(), uint32_t(output_.size()));
    if (n < 0) return false;
    output_.erase(output_.begin(), output_.begin() + n);
    return true;
}

// Takes up to count characters from the queued requests into the output, as
// the line carries them: injected errors in the lowest bit, every character
// carries, inversion, then the data bits only.
void TtyPort::MoveToOutput(uint64_t count) {
    const uint8_t flip = (inversion_ & kInvertTx) ? 0xFF : 0x00;
    const uint8_t mask = line_.CharMask();
    while (count > 0 && !transmits_.empty()) {
        Pending& io = transmits_.front();
        uint32_t n = uint32_t(std::min<uint64_t>(count, io.length - io.done));
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t byte = io.buffer[io.done + i];
            if (injectPending_ > 0) {
                byte ^= 0x01;
                --injectPending_;
            }
            output_.push_back(uint8_t((byte ^ flip) & mask));
        }
        io.done += n;
        count -= n;
        charsPaced_ += n;
        if (io.done == io.length) {
            card::CompleteRequest(io, 0, io.length);
            transmits_.pop_front();
        }
    }
}

uint32_t TtyPort::StampMs() const { return uint32_t((nowNs_ - epochNs_) / 1000000 + 1); }

uint32_t TtyPort::RecordLimit() const {
    return card::ReceiveRecordLimit(portConfig_.uPortRxBufferLength);
}

size_t TtyPort::QueueLimit() const {
    return rxQueue_.Limit(portConfig_.uPortRxNumBuffers, portConfig_.uPortRxBufferLength);
}

void TtyPort::Deliver(const uint8_t* data, uint32_t count) {
    const uint8_t flip = (inversion_ & kInvertRx) ? 0xFF : 0x00;
    const uint8_t mask = line_.CharMask();
    const uint32_t limit = RecordLimit();
    const uint32_t overrunsBefore = overruns_;
    for (uint32_t at = 0; at < count; at += limit) {
        uint32_t n = std::min(limit, count - at);
        std::vector<uint8_t> chunk(data + at, data + at + n);
        for (auto& byte : chunk) byte = uint8_t((byte ^ flip) & mask);
        if (ring_.active()) {
            if (!ring_.Append(chunk.data(), n, StampMs(), 0)) ++overruns_;
        } else if (!rxQueue_.Push(card::ReceivedItem{std::move(chunk), 0, StampMs(), 0, 0},
                                  QueueLimit())) {
            ++overruns_;
        }
    }
    if (overruns_ != overrunsBefore) ++changeWord_;
    ServeReads();
    if (portEvent_) portEvent_->Set();
}

void TtyPort::ServeReads() {
    while (!reads_.empty() && !rxQueue_.empty()) {
        Pending& io = reads_.front();
        card::CompleteRequest(io, 0, rxQueue_.Take(io.buffer, io.length));
        reads_.pop_front();
    }
}

}  // namespace tty
