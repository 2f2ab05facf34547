// A multi-drop line: any number of ports of processes on this machine
// (`line = "multidrop"` with one `line_name`), where every frame or chunk one
// member sends reaches every other member, each impairing what it receives.
//
// The members meet through the same abstract socket name as a shared line.
// The first member listens and becomes the hub: it takes what each member
// sends, hands it to every other member and takes it itself. The others
// connect to it. A member that leaves takes only itself off the line; when
// the hub leaves, the rest meet again within 100 ms and one of them becomes
// the hub (what was in flight then is lost, as on a line being re-cabled).
//
// A member that is still there but no longer answers (a process stopped, or
// kept from running) is taken for gone: every member says it is alive every
// 100 ms, and a link silent for 1.5 s is dropped. A stopped hub keeps its
// name, so the members that lost it meet under the line's next name (up to
// 15 times in a line's life); a hub left alone looks for a later meeting
// under the names after its own and joins it, which is how a hub that was
// stopped comes back to the line.
//
// On a two-wire line (half duplex) a member's receiver is off while it
// sends: it hears nothing of what another member sent during its own sending,
// and loses what it was hearing when it began to send, as a transceiver whose
// driver takes the pair. Taking turns, as a master and its slaves do, loses
// nothing.
//
// Nothing here blocks: every call does what the sockets allow and leaves the
// rest for the next tick of the driver thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/line.h"

namespace sim {

class MultiDropLine : public Line {
   public:
    MultiDropLine(const std::string& lineName, const ImpairmentConfig& settings);
    ~MultiDropLine() override;

    void Carry(LineChunk chunk) override;
    bool Take(int64_t nowNs, LineChunk* chunk) override;
    void Flush() override { inFlight_.Clear(); }
    int64_t NextArrivalNs() const override { return inFlight_.NextArrivalNs(); }
    void AddWaitSockets(std::vector<int>& sockets) const override;
    void SetOutputSignals(uint8_t v24) override { outputs_ = v24; }
    void SetClockRunning(bool running) override;
    bool SuppliesClock() const override { return true; }
    uint8_t InputSignals(int64_t nowNs) const override;
    void Start(int64_t nowNs) override;
    void SetHalfDuplex(bool on) override;

    void AddressTruths(std::vector<std::pair<unsigned, const TruthRecord*>>& out) const override;

    size_t members() const;  // the other members this end reaches

   private:
    struct Link {
        int socket = -1;
        std::vector<uint8_t> input;
        std::vector<uint8_t> output;
        size_t sent = 0;
        int64_t heardNs = 0;  // when it last sent anything
    };

    struct Span {
        int64_t startNs;
        int64_t endNs;
    };

    void RememberSending(const LineChunk& chunk);
    bool HeardWhileSending(const LineChunk& chunk) const;
    void Pump(int64_t nowNs);
    void Attach(int64_t nowNs);
    void SayAlive(int64_t nowNs);
    void DropSilent(int64_t nowNs);
    void JoinLaterMeeting(int64_t nowNs);
    std::string MeetingName(unsigned generation) const;
    void AcceptMembers();
    void AddLink(int socket, int64_t nowNs);
    void SendTo(Link& link, const std::vector<uint8_t>& message);
    bool Flush(Link& link);
    bool ReadFrom(Link& link, size_t from, int64_t nowNs);
    void Arrived(LineChunk chunk);
    void BookAddressTruth(uint8_t address, const std::vector<uint8_t>& sent,
                          const LineChunk& arrived);
    void Drop(size_t index);
    void Report(const char* why);

    const std::string lineName_;
    const std::string socketName_;
    int listener_ = -1;
    std::vector<Link> links_;  // the hub's members, or the one link to the hub
    int64_t nextAttemptNs_ = 0;
    unsigned generation_ = 0;  // which of the line's names it meets under
    unsigned failedAttempts_ = 0;
    int64_t nextAliveNs_ = 0;
    InFlight inFlight_;
    uint8_t outputs_ = 0;
    bool clockRunning_ = false;
    bool reported_ = false;
    bool halfDuplex_ = false;
    std::map<uint8_t, TruthRecord> addressTruth_;  // from the port's start on
    int64_t startNs_ = 0;
    std::deque<Span> sending_;  // own recent sending, joined where it runs on
};

}  // namespace sim
