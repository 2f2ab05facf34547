#include "sim/port.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>

#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/settings.h"
#include "platform/last_error.h"
#include "sim/records.h"

namespace sim {
namespace {

// Words the program keeps as read get values nobody would write by chance,
// so a record written back with them changed shows at once.
void FillKeptWords(uint8_t* record, size_t size, uint32_t tag, unsigned port) {
    for (size_t offset = 0; offset + 4 <= size; offset += 4)
        StoreU32(record, offset, tag | port << 12 | uint32_t(offset / 4));
}

constexpr uint32_t kDefaultRate = 64000;
constexpr uint32_t kDefaultBufferLength = 8192;
constexpr uint32_t kDefaultBuffers = 8;
constexpr size_t kBertRecordsKept = 256;

uint32_t AsyncDataBits(uint32_t code) {
    switch (code) {
        case 1:
            return 7;
        case 2:
            return 6;
        case 3:
            return 5;
        default:
            return 8;
    }
}

}  // namespace

Port::Port(const CardConfig& card, unsigned index, const CardClock& clock)
    : card_(card), index_(index), clock_(clock), line_(MakeLine(card, index)) {
    FillKeptWords(portConfig_.data(), portConfig_.size(), 0xA5100000u, index);
    StoreU32(portConfig_.data(), 0, kPortConfigVersion);
    StoreU32(portConfig_.data(), kPortTxNumBuffers, kDefaultBuffers);
    StoreU32(portConfig_.data(), kPortRxNumBuffers, kDefaultBuffers);
    StoreU32(portConfig_.data(), kPortTxBufferLength, kDefaultBufferLength);
    StoreU32(portConfig_.data(), kPortRxBufferLength, kDefaultBufferLength);
    StoreU32(portConfig_.data(), kPortTxMsb, 1);
    StoreU32(portConfig_.data(), kPortRxMsb, 1);
    StoreU32(portConfig_.data(), kPortTermination, 0);

    FillKeptWords(serialConfig_.data(), serialConfig_.size(), 0x5A200000u, index);
    StoreU32(serialConfig_.data(), 0, SERIAL_CONFIG_VERSION);
    StoreU32(serialConfig_.data(), kSerialInterface, 1);
    StoreU32(serialConfig_.data(), kSerialRate, kDefaultRate);
    StoreU32(serialConfig_.data(), kSerialClocking, 1);
    StoreU32(serialConfig_.data(), kSerialTransparentMode, kTransparentSync);
    StoreU32(serialConfig_.data(), kSerialInvertRxClock, 0);
    StoreU32(serialConfig_.data(), kSerialEncoding, 0x80);
    for (size_t word = 0; word < kSerialTimingWords; ++word)
        StoreU32(serialConfig_.data(), kSerialTiming + 4 * word, 0);
    StoreU32(serialConfig_.data(), kSerialNrziClocking, 0);
    StoreU32(serialConfig_.data(), kSerialAsyncDataBits, 0);
    StoreU32(serialConfig_.data(), kSerialAsyncParity, 0);
    StoreU32(serialConfig_.data(), kSerialAsyncStopBits, 0);
    StoreU32(serialConfig_.data(), kSerialAsyncFlowControl, 1);
    StoreU32(serialConfig_.data(), kSerialFixed24, kSerialFixed24Value);
    StoreU32(serialConfig_.data(), kSerialExtendedConfig, 0);
    ApplySerialConfig(0);
}

// ---- session ---------------------------------------------------------------

void Port::Open(bool plus) {
    open_ = true;
    plus_ = plus;
    started_ = false;
}

void Port::Stall(card::Overlapped* ov) { card::Pend(stalled_, ov, nullptr, 0); }

void Port::Cancel(uint32_t status) {
    card::CompleteRequests(stalled_, status);
    card::CancelRequests(transmits_, reads_, ring_, status);
}

void Port::Close() {
    Cancel(platform::kErrorOperationAborted);
    open_ = plus_ = started_ = false;
    portEvent_ = nullptr;
    v24_ = 0;
    inversion_ = injectPending_ = delayMode_ = monitoring_ = 0;
    bert_.reset();
    bertRecords_.clear();
    rxQueue_.Clear();
    line_->Flush();
    line_->SetOutputSignals(0);
    line_->SetClockRunning(false);
}

void Port::Remove() {
    Cancel(platform::kErrorDeviceRemoved);
    removed_ = true;
    started_ = false;
    portEvent_ = nullptr;
    line_->SetClockRunning(false);
}

// ---- control requests ------------------------------------------------------

IoResult Port::Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                        uint32_t outLength, card::Overlapped* ov, int64_t nowNs) {
    switch (code) {
        case IOCTL_SET_PORT_EVENT:
            return SetPortEvent(ov);
        case IOCTL_SET_V24:
            v24_ = in[0] & (kV24Rts | kV24Dtr);
            line_->SetOutputSignals(v24_);
            return IoResult::Done();
        case IOCTL_TRANSMIT_DATA:
            return QueueTransmit(in, inLength, ov, nowNs);
        case IOCTL_RECEIVE_DATA:
            return ReceiveData(out, outLength);
        case IOCTL_READ_INTERFACE_RECORD:
            FillInterfaceRecord(out, nowNs);
            return IoResult::Done(kInterfaceRecordSize);
        case IOCTL_START_PORT:
            started_ = true;
            RestartLine(nowNs);
            if (bert_) bert_->Reset(nowNs);
            return IoResult::Done();
        case IOCTL_RESET_STATS:
            counters_.fill(0);
            ++changeWord_;
            if (bert_) bert_->ResetStats();
            return IoResult::Done();
        case IOCTL_SET_PORT_CONFIG:
            std::memcpy(portConfig_.data(), in, portConfig_.size());
            return IoResult::Done();
        case IOCTL_SET_SERIAL_CONFIG:
            std::memcpy(serialConfig_.data(), in, serialConfig_.size());
            ApplySerialConfig(nowNs);
            return IoResult::Done();
        case IOCTL_START_MONITORING:
            monitoring_ = LoadU32(in, 0);
            return IoResult::Done();
        case IOCTL_INJECT_ERRORS: {
            uint32_t count = LoadU32(in, 0);
            if (count < 1 || count > 8) return IoResult::Failed(platform::kErrorInvalidParameter);
            // The BERT engine places its errors itself, one per byte.
            if (bert_)
                bert_->InjectErrors(count);
            else
                injectPending_ += count;
            return IoResult::Done();
        }
        case IOCTL_SET_DELAY_MODE:
            delayMode_ = LoadU32(in, 0);
            return IoResult::Done();
        case IOCTL_SET_INVERSION:
            if (!card_.canInvert) return IoResult::Failed(ZV_ERROR_INVALID_IOCTL);
            inversion_ = LoadU32(in, 0) & (kInvertRx | kInvertTx);
            return IoResult::Done();
        case IOCTL_SET_BERT_CONFIG:
            return SetBertConfig(in, nowNs);
        case IOCTL_RESET_BERT:
            if (bert_) bert_->Reset(nowNs);
            bertRecords_.clear();
            return IoResult::Done();
        default:  // TxInvertChanged, GetV24: nothing to do beyond accepting them
            return IoResult::Done();
    }
}

IoResult Port::ReadVersioned(uint32_t code, uint8_t* out, uint32_t outLength) {
    uint32_t version = LoadU32(out, 0);
    if (code == IOCTL_READ_CARD_INFO) {
        std::memset(out, 0, outLength);
        StoreU32(out, 0, kCardInfoVersion);
        StoreU16(out, kCardInfoType, uint16_t(card_.model << 8 | card_.typeLow));
        StoreU16(out, kCardInfoRevision, card_.revision);
        StoreU32(out, kCardInfoBert, card_.bert);
        StoreU32(out, kCardInfoGeneration, card_.generation);
        return IoResult::Done(outLength);
    }
    if (code == IOCTL_GET_PORT_CONFIG) {
        std::memcpy(out, portConfig_.data(), portConfig_.size());
        StoreU32(out, 0, version);
        return IoResult::Done(outLength);
    }
    std::memcpy(out, serialConfig_.data(), serialConfig_.size());
    StoreU32(out, 0, version);
    return IoResult::Done(outLength);
}

IoResult Port::SetPortEvent(card::Overlapped* ov) {
    if (ov == nullptr || ov->hEvent == nullptr)
        return IoResult::Failed(platform::kErrorInvalidParameter);
    portEvent_ = ov->hEvent;
    return IoResult::Done();  // completing signals the event: data may already wait
}

IoResult Port::SetBertConfig(const uint8_t* config, int64_t nowNs) {
    if (card_.bert == 0) return IoResult::Failed(ZV_ERROR_INVALID_IOCTL);
    std::memcpy(bertConfig_.data(), config, bertConfig_.size());
    bert_ = MakeBertEngine(bertConfig_.data(), card_.bertRecordMs, nowNs);
    bertRecords_.clear();
    return IoResult::Done();
}

void Port::FillInterfaceRecord(uint8_t* out, int64_t nowNs) const {
    std::memset(out, 0, kInterfaceRecordSize);
    StoreU32(out, kIfChangeWord, changeWord_);
    uint8_t signals = line_->InputSignals(nowNs);
    out[kIfSignals] = started_ ? signals : uint8_t(signals & ~kSignalCarrier);
    for (unsigned i = 0; i < kIfCounterCount; ++i) StoreU32(out, kIfCounters + 4 * i, counters_[i]);
}

void Port::Count(IfCounter counter, uint32_t times) {
    if (times == 0) return;
    counters_[counter] += times;
    ++changeWord_;
}

// A parity error has no counter of its own in the interface record; the
// card counts it with the check-sequence errors of the framed modes.
void Port::CountLineErrors(const LineChunk& chunk) {
    Count(kCounterFraming, chunk.framingErrors);
    Count(kCounterCrc, chunk.parityErrors);
}

// ---- line settings -----------------------------------------------------------

void Port::ApplySerialConfig(int64_t nowNs) {
    const uint8_t* s = serialConfig_.data();
    rate_ = LoadU32(s, kSerialRate);
    mode_ = LoadU32(s, kSerialTransparentMode);
    // An asynchronous port times its characters itself; a synchronous one
    // told to take its clock from the line gets none from a loopback plug.
    lineClock_ = mode_ != kTransparentAsync && LoadU32(s, kSerialClocking) == 0;
    line_->SetHalfDuplex(LoadU32(s, kSerialInterface) == INTERFACE_RS485_2W);
    // The extended word's inversion bits are line settings of the port; a
    // card without inverters (it refuses SetInversion) cannot honour them, so
    // the program inverts by hand and the data must not be inverted twice.
    inversion_ = card_.canInvert ? LoadU32(s, kSerialExtendedConfig) & (kInvertRx | kInvertTx) : 0;
    if (mode_ == kTransparentAsync) {
        uint32_t dataBits = AsyncDataBits(LoadU32(s, kSerialAsyncDataBits));
        uint32_t parityBits = LoadU32(s, kSerialAsyncParity) != 0 ? 1 : 0;
        parity_ = parityBits != 0;
        uint32_t stopBits = LoadU32(s, kSerialAsyncStopBits) == 2 ? 2 : 1;
        bitsPerChar_ = 1 + dataBits + parityBits + stopBits;
        charMask_ = uint8_t((1u << dataBits) - 1);
    } else {
        bitsPerChar_ = 8;
        charMask_ = 0xFF;
        parity_ = false;
    }
    if (started_) RestartLine(nowNs);
}

void Port::RestartLine(int64_t nowNs) {
    bitClock_.Start(nowNs, lineClock_ && !line_->SuppliesClock() ? 0 : rate_);
    txBit_ = 0;
    idleSinceBit_ = 0;
    txStarted_ = false;
    underrunCounted_ = false;
    line_->SetRate(rate_);
    line_->Start(nowNs);
    line_->SetClockRunning(started_ && bitClock_.rate() > 0);
}

bool Port::framed() const { return mode_ == kTransparentFramed; }

uint32_t Port::RecordLimit() const {
    return card::ReceiveRecordLimit(LoadU32(portConfig_.data(), kPortRxBufferLength));
}

size_t Port::QueueLimit() const {
    return rxQueue_.Limit(LoadU32(portConfig_.data(), kPortRxNumBuffers),
                          LoadU32(portConfig_.data(), kPortRxBufferLength));
}

void Port::MoveQueueToRing() { Count(kCounterRxO, rxQueue_.MoveToRing(ring_)); }

// ---- data requests -----------------------------------------------------------

IoResult Port::QueueTransmit(const uint8_t* data, uint32_t length, card::Overlapped* ov,
                             int64_t nowNs) {
    if (ov == nullptr) return IoResult::Failed(platform::kErrorInvalidParameter);
    if (length > kMaxTransmitBytes || (framed() && length > kMaxFrameBytes))
        return IoResult::Failed(ZV_ERROR_INVALID_LENGTH);
    // An idle line owes nothing for the time it had nothing to send, except
    // the time between the last bit and the tick that reported it sent: a
    // card reports at once, and a host that answers at once sends without a gap.
    if (transmits_.empty() && IdleFillsLine()) {
        SendIdle(nowNs);
    } else if (transmits_.empty() && framed()) {
        // From the next bit time on, not the one under way: a frame that
        // answers at once must not begin before what it answers ended.
        txBit_ = std::max(txBit_, bitClock_.BitsBy(nowNs) + 1);
    } else if (transmits_.empty()) {
        uint64_t late = idleSinceBit_ > txBit_ ? idleSinceBit_ - txBit_ : 0;
        uint64_t now = bitClock_.BitsBy(nowNs);
        txBit_ = std::max(txBit_, now > late ? now - late : 0);
    }
    return card::Pend(transmits_, ov, const_cast<uint8_t*>(data), length);
}

IoResult Port::Write(const void* buffer, uint32_t length, card::Overlapped* ov, int64_t nowNs) {
    IoResult fits = card::CheckDataRequest(buffer, length, ov, started_);
    if (fits.kind == IoResult::kFailed || length == 0) return fits;
    return QueueTransmit(static_cast<const uint8_t*>(buffer), length, ov, nowNs);
}

IoResult Port::Read(void* buffer, uint32_t length, card::Overlapped* ov, int64_t /*nowNs*/) {
    IoResult fits = card::CheckDataRequest(buffer, length, ov, started_);
    if (fits.kind == IoResult::kFailed) return fits;
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (!plus_) {
        IoResult started = ring_.Start(bytes, length, ov);
        if (started.kind == IoResult::kPending) MoveQueueToRing();
        return started;
    }
    if (length == 0) return IoResult::Done(0);
    uint32_t least = bert_ ? kBertRecordBytes : framed() ? kReceiveRecordHeaderSize : 1;
    if (length < least) return IoResult::Failed(ZV_ERROR_INVALID_LENGTH);
    IoResult pending = card::Pend(reads_, ov, bytes, length);
    if (bert_)
        ServeBertReads();
    else
        ServeReads();
    return pending;
}

IoResult Port::ReceiveData(uint8_t* out, uint32_t outLength) {
    // A frame is one delivery: what does not fit is lost, as the card would lose it.
    return IoResult::Done(rxQueue_.Take(out, std::min(outLength, kReceiveDataMax), framed()));
}

// ---- the driver thread's step -------------------------------------------------

void Port::Tick(int64_t nowNs) {
    if (!active()) return;
    Transmit(nowNs);
    Receive(nowNs);
    if (signalDue_) {
        signalDue_ = false;
        SignalPortEvent();
    }
}

// Only framed ports: a stream is carried a tick at a time, and waking it at
// each arrival would only cut it into smaller chunks.
int64_t Port::NextDueNs() const {
    if (!active() || !framed()) return std::numeric_limits<int64_t>::max();
    int64_t due = line_->NextArrivalNs();
    if (!transmits_.empty() && bitClock_.rate() > 0) {
        const uint64_t cost = uint64_t(transmits_.front().length) * 8 + kFrameOverheadBits;
        // A microsecond on, so that the clock's rounding has the bit done.
        due = std::min(due, bitClock_.TimeOfBit(txBit_ + cost) + 1000);
    }
    return due;
}

void Port::Transmit(int64_t nowNs) {
    uint64_t owed = bitClock_.BitsBy(nowNs);
    if (owed <= txBit_) return;
    if (bert_) {
        // A stalled clock thread does not make the engine owe seconds of data,
        // but a loaded host's pause is caught up: skipped bits would be a
        // silence of the line that its own checker never sees.
        uint64_t backlogLimit = std::max<uint64_t>(bitClock_.rate(), bitsPerChar_);
        if (owed - txBit_ > backlogLimit) txBit_ = owed - backlogLimit;
    } else if (framed()) {
        TransmitFrames(owed);
        return;
    } else if (transmits_.empty() && IdleFillsLine()) {
        SendIdle(nowNs);
        return;
    }
    int64_t startNs = bitClock_.TimeOfBit(txBit_);
    std::vector<uint8_t> out;
    if (bert_) {
        uint64_t chars = (owed - txBit_) / bitsPerChar_;
        out.resize(chars);
        bert_->Generate(out.data(), out.size());
        txBit_ += chars * bitsPerChar_;
    } else {
        TransmitCharacters(owed, out);
    }
    if (out.empty()) return;
    PrepareForLine(out.data(), out.size());
    LineChunk chunk;
    chunk.data = std::move(out);
    chunk.bitsPerChar = uint8_t(bitsPerChar_);
    chunk.dataBits = uint8_t(std::popcount(charMask_));
    chunk.parity = parity_;
    chunk.startNs = startNs;
    chunk.endNs = bitClock_.TimeOfBit(txBit_);
    line_->Carry(std::move(chunk));
}

void Port::TransmitCharacters(uint64_t owed, std::vector<uint8_t>& out) {
    uint64_t chars = (owed - txBit_) / bitsPerChar_;
    while (chars > 0 && !transmits_.empty()) {
        Pending& io = transmits_.front();
        uint32_t n = uint32_t(std::min<uint64_t>(chars, io.length - io.done));
        out.insert(out.end(), io.buffer + io.done, io.buffer + io.done + n);
        txStarted_ = true;
        underrunCounted_ = false;
        io.done += n;
        chars -= n;
        txBit_ += uint64_t(n) * bitsPerChar_;
        if (io.done == io.length) {
            card::CompleteRequest(io, 0, io.length);
            transmits_.pop_front();
            if (transmits_.empty()) idleSinceBit_ = owed;
        }
    }
}

// A frame goes onto the line when its last bit is sent (the driver thread
// wakes then), and its request completes with it.
void Port::TransmitFrames(uint64_t owed) {
    while (!transmits_.empty()) {
        Pending& io = transmits_.front();
        const uint64_t cost = uint64_t(io.length) * 8 + kFrameOverheadBits;
        if (txBit_ + cost > owed) return;
        CarryFrame(io, cost);
        txBit_ += cost;
        card::CompleteRequest(io, 0, io.length);
        transmits_.pop_front();
    }
    txBit_ = std::max(txBit_, owed);
}

void Port::CarryFrame(Pending& io, uint64_t cost) {
    LineChunk chunk;
    chunk.frame = true;
    chunk.startNs = bitClock_.TimeOfBit(txBit_);
    chunk.endNs = bitClock_.TimeOfBit(txBit_ + cost);
    chunk.data.assign(io.buffer, io.buffer + io.length);
    PrepareForLine(chunk.data.data(), chunk.data.size());
    chunk.inverted = (inversion_ & kInvertTx) != 0;
    if (delayMode_ != 0)
        Deliver(io.buffer, io.length, clock_.StampMs(chunk.startNs),
                uint8_t(kRecordKindTransmit | index_));
    line_->Carry(std::move(chunk));
}

bool Port::IdleFillsLine() const { return mode_ == kTransparentSync && !bert_ && txStarted_; }

// The transmitter ran dry: a synchronous line goes on with idle ones, which
// the far end receives like any data. The host is given kUnderrunLagNs to
// answer, since the card reports sent requests only at its ticks; the line
// time it is then behind is filled, and the underrun counted once per dry spell.
void Port::SendIdle(int64_t nowNs) {
    const uint64_t owed = bitClock_.BitsBy(nowNs);
    const uint64_t lag = uint64_t(kUnderrunLagNs / 1000000) * bitClock_.rate() / 1000;
    if (owed <= lag || owed - lag <= txBit_) return;
    const uint64_t chars = (owed - lag - txBit_) / bitsPerChar_;
    if (chars == 0) return;
    if (!underrunCounted_) Count(kCounterTxU);
    underrunCounted_ = true;
    LineChunk chunk;
    chunk.data.assign(size_t(chars), (inversion_ & kInvertTx) ? 0x00 : 0xFF);
    chunk.startNs = bitClock_.TimeOfBit(txBit_);
    txBit_ += chars * bitsPerChar_;
    chunk.endNs = bitClock_.TimeOfBit(txBit_);
    line_->Carry(std::move(chunk));
}

void Port::PrepareForLine(uint8_t* data, size_t count) {
    // Injected errors flip the lowest bit, which every character carries.
    for (size_t i = 0; i < count && injectPending_ > 0; ++i, --injectPending_) data[i] ^= 0x01;
    uint8_t flip = (inversion_ & kInvertTx) ? 0xFF : 0x00;
    if (flip || charMask_ != 0xFF)
        for (size_t i = 0; i < count; ++i) data[i] = uint8_t((data[i] ^ flip) & charMask_);
}

namespace {

// When the byte before index end arrived: the chunk's bytes came evenly over
// its line time, so a record cut from a long chunk is stamped with its own
// last byte and the silence before the next one stays the line's.
int64_t ArrivalOfByte(const LineChunk& chunk, size_t end) {
    const size_t size = chunk.data.size();
    if (size == 0 || end >= size || chunk.endNs <= chunk.startNs) return chunk.arrivalNs;
    const int64_t spanNs = chunk.endNs - chunk.startNs;
    const auto left =
        static_cast<int64_t>(static_cast<double>(spanNs) * double(size - end) / double(size));
    return chunk.arrivalNs - left;
}

}  // namespace

void Port::Receive(int64_t nowNs) {
    LineChunk chunk;
    while (line_->Take(nowNs, &chunk)) {
        CountLineErrors(chunk);
        if (!AcceptArrival(chunk)) continue;
        uint8_t flip = (inversion_ & kInvertRx) ? 0xFF : 0x00;
        if (flip)
            for (auto& byte : chunk.data) byte = uint8_t((byte ^ flip) & charMask_);
        if (bert_) {
            bert_->Receive(chunk.data.data(), chunk.data.size());
            continue;
        }
        size_t limit = chunk.frame ? chunk.data.size() : RecordLimit();
        for (size_t at = 0; at < chunk.data.size(); at += limit) {
            const size_t count = std::min(limit, chunk.data.size() - at);
            Deliver(chunk.data.data() + at, count, clock_.StampMs(ArrivalOfByte(chunk, at + count)),
                    uint8_t(index_));
        }
    }
    if (bert_) {
        std::array<uint8_t, kBertRecordBytes> record;
        while (bert_->TakeRecord(nowNs, record.data())) {
            if (bertRecords_.size() >= kBertRecordsKept) bertRecords_.pop_front();
            bertRecords_.push_back(record);
            signalDue_ = true;
        }
        ServeBertReads();
    }
}

void Port::Deliver(const uint8_t* data, size_t count, uint32_t timestamp, uint8_t kind) {
    signalDue_ = true;
    if (ring_.active()) {
        if (!ring_.Append(data, count, timestamp, kind)) Count(kCounterRxO);
        return;
    }
    card::ReceivedItem item{std::vector<uint8_t>(data, data + count), 0, timestamp, kind, 0};
    if (!rxQueue_.Push(std::move(item), QueueLimit())) {
        Count(kCounterRxO);
        return;
    }
    ServeReads();
}

void Port::ServeReads() {
    while (!reads_.empty() && !rxQueue_.empty() && !bert_) {
        Pending& io = reads_.front();
        uint32_t got = 0;
        if (framed()) {
            card::ReceivedItem& item = rxQueue_.front();
            uint32_t n = std::min<uint32_t>(uint32_t(item.data.size()),
                                            io.length - kReceiveRecordHeaderSize);
            StoreU32(io.buffer, kRecordTimestamp, item.timestamp);
            StoreU16(io.buffer, kRecordLength, uint16_t(n));
            io.buffer[kRecordPort] = item.kind;
            io.buffer[kRecordStatus] = item.status;
            std::memcpy(io.buffer + kReceiveRecordHeaderSize, item.data.data(), n);
            got = kReceiveRecordHeaderSize + n;
            rxQueue_.PopFront();
        } else {
            got = rxQueue_.Take(io.buffer, io.length);
        }
        card::CompleteRequest(io, 0, got);
        reads_.pop_front();
    }
}

void Port::ServeBertReads() {
    while (!reads_.empty() && !bertRecords_.empty()) {
        Pending& io = reads_.front();
        std::memcpy(io.buffer, bertRecords_.front().data(), kBertRecordBytes);
        bertRecords_.pop_front();
        card::CompleteRequest(io, 0, kBertRecordBytes);
        reads_.pop_front();
    }
}

void Port::SignalPortEvent() {
    if (portEvent_) portEvent_->Set();
}

}  // namespace sim
