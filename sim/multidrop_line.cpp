#include "sim/multidrop_line.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "platform/process.h"
#include "platform/sync.h"
#include "sim/line_messages.h"
#include "sim/line_socket.h"
#include "sim/records.h"

namespace sim {
namespace {

constexpr int64_t kRetryNs = 100 * 1000000;
constexpr size_t kOutputLimit = 2u << 20;
constexpr size_t kReadPerPump = 8u << 20;
// What another member sent reaches this one within this time (the hub's
// relaying), so older own sending cannot overlap it.
constexpr int64_t kSendingMemoryNs = 2000 * 1000000LL;

// A member stopped for longer than this is off the line; a busy machine
// keeps a running one from its driver thread for far less.
constexpr int64_t kAliveEveryNs = 100 * 1000000;
constexpr int64_t kSilentNs = 1500 * 1000000LL;
constexpr unsigned kGenerations = 16;
// Neither joining nor listening worked this many times in a row: the name is
// held by a hub that takes nobody in.
constexpr unsigned kAttemptsPerName = 10;

}  // namespace

MultiDropLine::MultiDropLine(const std::string& lineName, const ImpairmentConfig& settings)
    // The random errors of each member must differ even when all are
    // configured with one seed.
    : Line(settings, uint64_t(platform::CurrentProcessId())),
      lineName_(lineName),
      socketName_(LineSocketName(lineName)) {}

MultiDropLine::~MultiDropLine() {
    for (Link& link : links_) LineSocketClose(link.socket);
    LineSocketClose(listener_);
}

void MultiDropLine::Start(int64_t nowNs) {
    Pump(nowNs);
    inFlight_.Clear();
    Line::Start(nowNs);
    addressTruth_.clear();
    startNs_ = nowNs;
}

void MultiDropLine::AddressTruths(std::vector<std::pair<unsigned, const TruthRecord*>>& out) const {
    for (const auto& [address, record] : addressTruth_) out.emplace_back(address, &record);
}

void MultiDropLine::SetClockRunning(bool running) {
    clockRunning_ = running;
    Pump(platform::MonotonicNs());
}

size_t MultiDropLine::members() const { return links_.size(); }

uint8_t MultiDropLine::InputSignals(int64_t nowNs) const {
    return !links_.empty() && clockRunning_ && stage_.CarrierPresent(nowNs) ? kSignalCarrier : 0;
}

void MultiDropLine::SetHalfDuplex(bool on) {
    halfDuplex_ = on;
    sending_.clear();
}

void MultiDropLine::Carry(LineChunk chunk) {
    if (chunk.data.empty() || chunk.data.size() > kMaxLineMessageData) return;
    if (halfDuplex_) {
        RememberSending(chunk);
        inFlight_.DropOverlapping(chunk.startNs, chunk.endNs);
    }
    std::vector<uint8_t> message;
    AppendDataMessage(message, chunk);
    for (Link& link : links_) SendTo(link, message);
    Pump(platform::MonotonicNs());
}

bool MultiDropLine::Take(int64_t nowNs, LineChunk* chunk) {
    Pump(nowNs);
    return inFlight_.Pop(nowNs, chunk);
}

void MultiDropLine::AddWaitSockets(std::vector<int>& sockets) const {
    if (listener_ >= 0) sockets.push_back(listener_);
    for (const Link& link : links_) sockets.push_back(link.socket);
}

void MultiDropLine::Pump(int64_t nowNs) {
    Attach(nowNs);
    JoinLaterMeeting(nowNs);
    if (listener_ >= 0) AcceptMembers();
    SayAlive(nowNs);
    for (size_t i = 0; i < links_.size();) {
        if (Flush(links_[i]) && ReadFrom(links_[i], i, nowNs))
            ++i;
        else
            Drop(i);
    }
    // What the hub relayed goes on now, also to the links flushed before it came.
    for (size_t i = 0; i < links_.size();) {
        if (Flush(links_[i]))
            ++i;
        else
            Drop(i);
    }
    DropSilent(nowNs);
}

std::string MultiDropLine::MeetingName(unsigned generation) const {
    return generation == 0 ? socketName_ : socketName_ + "#" + std::to_string(generation);
}

void MultiDropLine::Attach(int64_t nowNs) {
    if (listener_ >= 0 || !links_.empty() || nowNs < nextAttemptNs_) return;
    nextAttemptNs_ = nowNs + kRetryNs;
    const int socket = LineSocketConnect(MeetingName(generation_));
    if (socket >= 0) {
        failedAttempts_ = 0;
        if (LineSocketPeerIsSameUser(socket)) {
            AddLink(socket, nowNs);
            return;
        }
        LineSocketClose(socket);
        Report("a process of another user holds the line");
        return;
    }
    listener_ = LineSocketListen(MeetingName(generation_));
    if (listener_ >= 0) {
        failedAttempts_ = 0;
    } else if (++failedAttempts_ >= kAttemptsPerName && generation_ + 1 < kGenerations) {
        failedAttempts_ = 0;
        ++generation_;
    }
}

// A hub with nobody on its line may be one that was stopped while the others
// met again under a later name.
void MultiDropLine::JoinLaterMeeting(int64_t nowNs) {
    if (listener_ < 0 || !links_.empty() || nowNs < nextAttemptNs_) return;
    nextAttemptNs_ = nowNs + kRetryNs;
    for (unsigned later = generation_ + 1; later < kGenerations; ++later) {
        const int socket = LineSocketConnect(MeetingName(later));
        if (socket < 0) continue;
        if (!LineSocketPeerIsSameUser(socket)) {
            LineSocketClose(socket);
            continue;
        }
        LineSocketClose(listener_);
        listener_ = -1;
        generation_ = later;
        AddLink(socket, nowNs);
        return;
    }
}

void MultiDropLine::SayAlive(int64_t nowNs) {
    if (nowNs < nextAliveNs_) return;
    nextAliveNs_ = nowNs + kAliveEveryNs;
    std::vector<uint8_t> message;
    AppendSignalsMessage(message, outputs_, clockRunning_);
    for (Link& link : links_) SendTo(link, message);
}

void MultiDropLine::DropSilent(int64_t nowNs) {
    for (size_t i = 0; i < links_.size();) {
        if (nowNs - links_[i].heardNs <= kSilentNs) {
            ++i;
            continue;
        }
        // The hub is stopped and keeps its name: the others meet under the next.
        if (listener_ < 0 && generation_ + 1 < kGenerations) ++generation_;
        Drop(i);
        if (listener_ < 0) nextAttemptNs_ = nowNs;
    }
}

void MultiDropLine::AddLink(int socket, int64_t nowNs) {
    Link link;
    link.socket = socket;
    link.heardNs = nowNs;
    links_.push_back(std::move(link));
}

void MultiDropLine::AcceptMembers() {
    const int64_t nowNs = platform::MonotonicNs();
    for (int socket; (socket = LineSocketAccept(listener_)) >= 0;) {
        if (LineSocketPeerIsSameUser(socket)) {
            AddLink(socket, nowNs);
            continue;
        }
        LineSocketClose(socket);
        Report("a process of another user tried to join; it is refused");
    }
}

void MultiDropLine::SendTo(Link& link, const std::vector<uint8_t>& message) {
    // A member that takes nothing for long loses what it missed, as a
    // receiver that was not listening.
    if (link.output.size() - link.sent > kOutputLimit) return;
    link.output.insert(link.output.end(), message.begin(), message.end());
}

bool MultiDropLine::Flush(Link& link) {
    while (link.sent < link.output.size()) {
        const long sent = LineSocketSend(link.socket, link.output.data() + link.sent,
                                         link.output.size() - link.sent);
        if (sent < 0) return false;
        if (sent == 0) break;
        link.sent += size_t(sent);
    }
    if (link.sent == link.output.size()) {
        link.output.clear();
        link.sent = 0;
    }
    return true;
}

// Takes the whole messages that came over one link; the hub hands every
// data message on to the other members as it came, before its own stage
// impairs its copy. False when the link is gone or sent what no line carries.
bool MultiDropLine::ReadFrom(Link& link, size_t from, int64_t nowNs) {
    uint8_t block[16 * 1024];
    bool gone = false;
    for (size_t total = 0; total < kReadPerPump;) {
        const long got = LineSocketReceive(link.socket, block, sizeof block);
        if (got <= 0) {
            gone = got < 0;
            break;
        }
        link.input.insert(link.input.end(), block, block + got);
        link.heardNs = nowNs;
        total += size_t(got);
    }
    size_t at = 0;
    LineMessage message;
    for (;;) {
        size_t used = 0;
        const char* why = nullptr;
        const LineParse parse = ParseLineMessage(link.input.data() + at, link.input.size() - at,
                                                 nowNs, &message, &used, &why);
        if (parse == LineParse::kIncomplete) break;
        if (parse == LineParse::kBad) {
            Report((std::string("a member sent ") + why + "; it is dropped").c_str());
            return false;
        }
        if (message.kind == LineMessageKind::kData) {
            if (listener_ >= 0) {
                const std::vector<uint8_t> raw(link.input.begin() + ptrdiff_t(at),
                                               link.input.begin() + ptrdiff_t(at + used));
                for (size_t i = 0; i < links_.size(); ++i)
                    if (i != from) SendTo(links_[i], raw);
            }
            Arrived(std::move(message.chunk));
        }
        at += used;
    }
    link.input.erase(link.input.begin(), link.input.begin() + ptrdiff_t(at));
    return !gone;
}

void MultiDropLine::Arrived(LineChunk chunk) {
    // A stopped receiver hears nothing.
    if (!clockRunning_ || (halfDuplex_ && HeardWhileSending(chunk))) return;
    if (!chunk.frame || chunk.data.empty()) {
        if (stage_.Apply(chunk)) inFlight_.Push(std::move(chunk));
        return;
    }
    const std::vector<uint8_t> sent = chunk.data;
    if (!stage_.Apply(chunk)) return;
    BookAddressTruth(sent[0], sent, chunk);
    inFlight_.Push(std::move(chunk));
}

// The frame is booked under the address it was sent to, whatever the line
// did to that byte, at its arrival.
void MultiDropLine::BookAddressTruth(uint8_t address, const std::vector<uint8_t>& sent,
                                     const LineChunk& arrived) {
    auto [it, added] = addressTruth_.try_emplace(address);
    if (added) it->second.Start(startNs_);
    const int64_t spanNs = arrived.endNs - arrived.startNs;
    it->second.Delivered(arrived.arrivalNs - spanNs, arrived.arrivalNs,
                         uint64_t(arrived.data.size()) * 8, arrived.inverted);
    uint64_t flipped = 0;
    const size_t common = std::min(sent.size(), arrived.data.size());
    for (size_t i = 0; i < common; ++i)
        flipped += uint64_t(std::popcount(unsigned(sent[i] ^ arrived.data[i])));
    if (flipped > 0) it->second.Flipped(arrived.arrivalNs, flipped);
}

void MultiDropLine::RememberSending(const LineChunk& chunk) {
    // A transmitter that keeps sending hands the line one chunk after
    // another; one span keeps the memory small.
    if (!sending_.empty() && chunk.startNs <= sending_.back().endNs)
        sending_.back().endNs = std::max(sending_.back().endNs, chunk.endNs);
    else
        sending_.push_back({chunk.startNs, chunk.endNs});
    while (!sending_.empty() && sending_.front().endNs < chunk.endNs - kSendingMemoryNs)
        sending_.pop_front();
}

bool MultiDropLine::HeardWhileSending(const LineChunk& chunk) const {
    for (const Span& span : sending_)
        if (span.startNs < chunk.endNs && chunk.startNs < span.endNs) return true;
    return false;
}

void MultiDropLine::Drop(size_t index) {
    LineSocketClose(links_[index].socket);
    links_.erase(links_.begin() + ptrdiff_t(index));
    if (listener_ < 0) nextAttemptNs_ = platform::MonotonicNs() + kRetryNs;
}

void MultiDropLine::Report(const char* why) {
    if (reported_) return;
    reported_ = true;
    std::fprintf(stderr, "simulated multi-drop line %s: %s\n", lineName_.c_str(), why);
}

}  // namespace sim
