#include "sim/shared_line.h"

#include <algorithm>
#include <cstdio>

#include "platform/sync.h"
#include "sim/line_messages.h"
#include "sim/line_socket.h"
#include "sim/records.h"

namespace sim {
namespace {

constexpr size_t kOutputLimit = 2u << 20;
constexpr size_t kReadPerPump = 8u << 20;
constexpr int64_t kRetryNs = 100 * 1000000;
// The random errors of the two directions must differ even when both ends
// are configured with one seed, or an echo would take back every error.
constexpr uint64_t kListenerSalt = 0x4C495354;
constexpr uint64_t kConnectorSalt = 0x434F4E4E;
// What a far end may have on the line beyond its delay: its chunks come a
// tick at a time, late by however long its process was kept from running.
constexpr int64_t kInFlightSlackMs = 1000;
// A port that has not set its rate yet is taken at the fastest a card runs.
constexpr uint64_t kUnknownRateBitsPerSec = 100000000;

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
    Pump(platform::MonotonicNs());
    SendSignals();
}

void SharedLine::SetClockRunning(bool running) {
    clockRunning_ = running;
    Pump(platform::MonotonicNs());
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
    if (chunk.data.empty()) return;
    if (peer_ < 0 || !peerClockRunning_ || chunk.data.size() > kMaxLineMessageData ||
        output_.size() - outputSent_ > kOutputLimit) {
        bitsUnsent_ += bits;
        return;
    }
    AppendDataMessage(output_, chunk);
    FlushOutput();
}

bool SharedLine::Take(int64_t nowNs, LineChunk* chunk) {
    Pump(nowNs);
    return inFlight_.Pop(nowNs, chunk);
}

void SharedLine::AddWaitSockets(std::vector<int>& sockets) const {
    for (int socket : {listener_, peer_})
        if (socket >= 0) sockets.push_back(socket);
}

// ---- the connection -------------------------------------------------------------

void SharedLine::Pump(int64_t nowNs) {
    Attach(nowNs);
    if (listener_ >= 0) {
        // A third end on a point-to-point line is turned away.
        for (int socket; (socket = LineSocketAccept(listener_)) >= 0;) {
            if (!TrustedPeer(socket)) continue;
            if (peer_ < 0) {
                Connected(socket, true);
                continue;
            }
            // Told why, so that it does not take the silence for a dead line.
            std::vector<uint8_t> message;
            AppendTurnedAwayMessage(message);
            LineSocketSend(socket, message.data(), message.size());
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
    if (socket >= 0 && TrustedPeer(socket)) {
        Connected(socket, false);
        return;
    }
    // Taken meanwhile by an end that has not begun to listen: try again later.
    listener_ = LineSocketListen(socketName_);
}

// Only a process of this user may be the far end: the name is in the
// abstract namespace, which any local user can reach.
bool SharedLine::TrustedPeer(int socket) {
    if (LineSocketPeerIsSameUser(socket)) return true;
    LineSocketClose(socket);
    if (!strangerReported_)
        std::fprintf(
            stderr,
            "simulated shared line %s: a process of another user tried to join; it is refused\n",
            lineName_.c_str());
    strangerReported_ = true;
    return false;
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
    nextAttemptNs_ = platform::MonotonicNs() + kRetryNs;
}

// ---- messages -------------------------------------------------------------------

void SharedLine::SendSignals() {
    if (peer_ < 0) return;
    AppendSignalsMessage(output_, outputs_, clockRunning_);
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
// of a line sends (or told this end to go), after which it is dropped.
bool SharedLine::ParseInput() {
    const int64_t nowNs = platform::MonotonicNs();
    size_t at = 0;
    LineMessage message;
    for (;;) {
        size_t used = 0;
        const char* why = nullptr;
        const LineParse parse =
            ParseLineMessage(input_.data() + at, input_.size() - at, nowNs, &message, &used, &why);
        if (parse == LineParse::kIncomplete) break;
        if (parse == LineParse::kBad) {
            std::fprintf(stderr, "simulated shared line %s: the far end sent %s; it is dropped\n",
                         lineName_.c_str(), why);
            return false;
        }
        at += used;
        if (!TakeMessage(message, nowNs)) return false;
    }
    input_.erase(input_.begin(), input_.begin() + ptrdiff_t(at));
    return true;
}

// Bits a line holds at most between their sending and their arrival.
uint64_t SharedLine::InFlightCapacityBits() const {
    const uint64_t rate = rateBitsPerSec_ != 0 ? rateBitsPerSec_ : kUnknownRateBitsPerSec;
    const uint64_t spanMs = uint64_t(settings_.delayMs) + kInFlightSlackMs;
    return uint64_t((unsigned __int128)rate * spanMs / 1000);
}

bool SharedLine::TakeMessage(LineMessage& message, int64_t nowNs) {
    switch (message.kind) {
        case LineMessageKind::kTurnedAway:
            if (!turnedAwayReported_)
                std::fprintf(stderr,
                             "simulated shared line %s: two ends are on it already, this port is "
                             "turned away\n",
                             lineName_.c_str());
            turnedAwayReported_ = true;
            return false;
        case LineMessageKind::kSignals:
            turnedAwayReported_ = false;
            peerOutputs_ = message.v24;
            peerClockRunning_ = message.clockRunning;
            return true;
        case LineMessageKind::kData:
            // A stopped receiver hears nothing.
            if (!clockRunning_ || !stage_.Apply(message.chunk)) return true;
            inFlight_.Push(std::move(message.chunk));
            // Bits sent ahead of their time would pile up here without end.
            if (inFlight_.BitsArrivingAfter(nowNs) > InFlightCapacityBits()) {
                std::fprintf(
                    stderr,
                    "simulated shared line %s: the far end sent more than the line carries in its "
                    "delay; it is dropped\n",
                    lineName_.c_str());
                inFlight_.Clear();
                return false;
            }
            return true;
    }
    return false;
}

}  // namespace sim
