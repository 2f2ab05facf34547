#include "sim/shared_line.h"

#include <algorithm>
#include <cstdio>

#include "platform/sync.h"
#include "sim/line_socket.h"
#include "sim/records.h"

namespace sim {
namespace {

// Every message: a 24-byte header, then `length` data bytes.
//   0  kind     1 = data chunk, 2 = signals, 3 = turned away (the line has two ends)
//   1  flags    data: bit 0 a frame, bit 1 a parity bit, bit 2 its check failed; signals: the SetV24 bits, 0x80 clock running
//   2  bits per character, 3 data bits of them (data)
//   4  length   (32 bits)
//   8  first bit's time, 16 last bit's time (64 bits each, ns)
constexpr size_t kHeaderSize = 24;
constexpr uint8_t kKindData = 1;
constexpr uint8_t kKindSignals = 2;
constexpr uint8_t kKindTurnedAway = 3;
constexpr uint8_t kFlagFrame = 0x01;
constexpr uint8_t kFlagParity = 0x02;
constexpr uint8_t kFlagCorrupted = 0x04;
constexpr uint8_t kFlagClock = 0x80;
constexpr uint32_t kMaxMessageData = 4u << 20;
constexpr size_t kOutputLimit = 2u << 20;
constexpr size_t kReadPerPump = 8u << 20;
constexpr int64_t kRetryNs = 100 * 1000000;
// The random errors of the two directions must differ even when both ends
// are configured with one seed, or an echo would take back every error.
constexpr uint64_t kListenerSalt = 0x4C495354;
constexpr uint64_t kConnectorSalt = 0x434F4E4E;

void StoreI64(uint8_t* p, int64_t value) {
    StoreU32(p, 0, uint32_t(uint64_t(value)));
    StoreU32(p, 4, uint32_t(uint64_t(value) >> 32));
}

int64_t LoadI64(const uint8_t* p) {
    return int64_t(uint64_t(LoadU32(p, 0)) | uint64_t(LoadU32(p, 4)) << 32);
}

}  // namespace

SharedLine::SharedLine(const std::string& lineName, const ImpairmentConfig& settings)
    : Line(settings, kListenerSalt), lineName_(lineName), socketName_(LineSocketName(lineName)) {}

SharedLine::~SharedLine() {
    LineSocketClose(peer_);
    LineSocketClose(listener_);
}

void SharedLine::Start(int64_t nowNs) {
    // What came while the port was stopped is no longer on the line.
    Pump(nowNs);
    inFlight_.Clear();
    bitsUnsent_ = 0;
    Line::Start(nowNs);
}

LineStats SharedLine::stats() const {
    LineStats stats = stage_.stats();
    stats.bitsUnsent = bitsUnsent_;
    return stats;
}

void SharedLine::SetOutputSignals(uint8_t v24) {
    outputs_ = v24;
    Pump(platform::PerfCounter());
    SendSignals();
}

void SharedLine::SetClockRunning(bool running) {
    clockRunning_ = running;
    Pump(platform::PerfCounter());
    SendSignals();
}

uint8_t SharedLine::InputSignals(int64_t nowNs) const {
    uint8_t signals = 0;
    if (peer_ < 0) return signals;
    if (peerOutputs_ & kV24Rts) signals |= kSignalCts;
    if (peerOutputs_ & kV24Dtr) signals |= kSignalDsr | kSignalDcd;
    if (peerClockRunning_ && stage_.CarrierPresent(nowNs)) signals |= kSignalCarrier;
    return signals;
}

void SharedLine::Carry(LineChunk chunk) {
    // Only a far end whose receiver runs hears anything; what it has not
    // taken yet waits, but not for long, or a far end that comes back to
    // life would get seconds of old bits at once.
    const uint64_t bits = uint64_t(chunk.data.size()) * (chunk.frame ? 8 : chunk.bitsPerChar);
    if (peer_ < 0 || !peerClockRunning_ || chunk.data.size() > kMaxMessageData ||
        output_.size() - outputSent_ > kOutputLimit) {
        bitsUnsent_ += bits;
        return;
    }
    uint8_t header[kHeaderSize] = {};
    header[0] = kKindData;
    header[1] = uint8_t((chunk.frame ? kFlagFrame : 0) | (chunk.parity ? kFlagParity : 0) |
                         (chunk.corrupted ? kFlagCorrupted : 0));
    header[2] = chunk.bitsPerChar;
    header[3] = chunk.dataBits;
    StoreU32(header, 4, uint32_t(chunk.data.size()));
    StoreI64(header + 8, chunk.startNs);
    StoreI64(header + 16, chunk.endNs);
    Send(header, chunk.data.data(), chunk.data.size());
    FlushOutput();
}

bool SharedLine::Take(int64_t nowNs, LineChunk* chunk) {
    Pump(nowNs);
    return inFlight_.Pop(nowNs, chunk);
}

// ---- the connection -------------------------------------------------------------

void SharedLine::Pump(int64_t nowNs) {
    Attach(nowNs);
    if (listener_ >= 0) {
        // A third end on a point-to-point line is turned away.
        for (int socket; (socket = LineSocketAccept(listener_)) >= 0;) {
            if (peer_ < 0) {
                Connected(socket, true);
                continue;
            }
            // Told why, so that it does not take the silence for a dead line.
            uint8_t header[kHeaderSize] = {};
            header[0] = kKindTurnedAway;
            LineSocketSend(socket, header, kHeaderSize);
            LineSocketClose(socket);
        }
    }
    if (peer_ >= 0) FlushOutput();
    if (peer_ >= 0) ReadInput();
}

void SharedLine::Attach(int64_t nowNs) {
    if (peer_ >= 0 || listener_ >= 0 || nowNs < nextAttemptNs_) return;
    nextAttemptNs_ = nowNs + kRetryNs;
    int socket = LineSocketConnect(socketName_);
    if (socket >= 0) {
        Connected(socket, false);
        return;
    }
    // Taken meanwhile by an end that has not begun to listen: try again later.
    listener_ = LineSocketListen(socketName_);
}

void SharedLine::Connected(int socket, bool asListener) {
    peer_ = socket;
    salt_ = asListener ? kListenerSalt : kConnectorSalt;
    stage_.Reseed(salt_);
    SendSignals();
}

void SharedLine::Disconnect() {
    LineSocketClose(peer_);
    peer_ = -1;
    output_.clear();
    outputSent_ = 0;
    input_.clear();
    peerOutputs_ = 0;
    peerClockRunning_ = false;
    // A listener that turns this end away must not be asked again at once.
    nextAttemptNs_ = platform::PerfCounter() + kRetryNs;
}

// ---- messages -------------------------------------------------------------------

void SharedLine::Send(const uint8_t* header, const uint8_t* data, size_t length) {
    output_.insert(output_.end(), header, header + kHeaderSize);
    output_.insert(output_.end(), data, data + length);
}

void SharedLine::SendSignals() {
    if (peer_ < 0) return;
    uint8_t header[kHeaderSize] = {};
    header[0] = kKindSignals;
    header[1] = uint8_t((outputs_ & (kV24Rts | kV24Dtr)) | (clockRunning_ ? kFlagClock : 0));
    Send(header, nullptr, 0);
    FlushOutput();
}

void SharedLine::FlushOutput() {
    while (peer_ >= 0 && outputSent_ < output_.size()) {
        long sent =
            LineSocketSend(peer_, output_.data() + outputSent_, output_.size() - outputSent_);
        if (sent < 0) {
            Disconnect();
            return;
        }
        if (sent == 0) break;
        outputSent_ += size_t(sent);
    }
    if (outputSent_ == output_.size()) {
        output_.clear();
        outputSent_ = 0;
    } else if (outputSent_ > (1u << 20)) {
        output_.erase(output_.begin(), output_.begin() + ptrdiff_t(outputSent_));
        outputSent_ = 0;
    }
}

void SharedLine::ReadInput() {
    uint8_t block[16 * 1024];
    size_t total = 0;
    while (peer_ >= 0 && total < kReadPerPump) {
        long got = LineSocketReceive(peer_, block, sizeof block);
        if (got < 0) {
            ParseInput();  // its last words may say why it went
            Disconnect();
            return;
        }
        if (got == 0) break;
        input_.insert(input_.end(), block, block + got);
        total += size_t(got);
    }
    if (!ParseInput()) Disconnect();
}

// Takes every whole message; false when the far end sent something no end
// of a line sends.
bool SharedLine::ParseInput() {
    size_t at = 0;
    while (input_.size() - at >= kHeaderSize) {
        const uint8_t* header = input_.data() + at;
        uint32_t length = LoadU32(header, 4);
        if (length > kMaxMessageData) return false;
        if (input_.size() - at - kHeaderSize < length) break;
        const uint8_t* data = header + kHeaderSize;
        if (header[0] == kKindTurnedAway) {
            if (!turnedAwayReported_)
                std::fprintf(stderr,
                             "simulated shared line %s: two ends are on it already, this port is turned away\n",
                             lineName_.c_str());
            turnedAwayReported_ = true;
            return false;
        }
        if (header[0] == kKindSignals) {
            turnedAwayReported_ = false;
            peerOutputs_ = header[1] & (kV24Rts | kV24Dtr);
            peerClockRunning_ = (header[1] & kFlagClock) != 0;
        } else if (header[0] == kKindData) {
            if (header[3] == 0 || header[3] > 8 || header[2] < header[3] || header[2] > 16)
                return false;
            LineChunk chunk;
            chunk.data.assign(data, data + length);
            chunk.frame = (header[1] & kFlagFrame) != 0;
            chunk.parity = (header[1] & kFlagParity) != 0;
            chunk.corrupted = (header[1] & kFlagCorrupted) != 0;
            chunk.bitsPerChar = header[2];
            chunk.dataBits = header[3];
            chunk.startNs = LoadI64(header + 8);
            chunk.endNs = LoadI64(header + 16);
            chunk.arrivalNs = chunk.endNs;
            // A stopped receiver hears nothing.
            if (clockRunning_ && stage_.Apply(chunk)) inFlight_.Push(std::move(chunk));
        } else {
            return false;
        }
        at += kHeaderSize + length;
    }
    input_.erase(input_.begin(), input_.begin() + ptrdiff_t(at));
    return true;
}

}  // namespace sim
