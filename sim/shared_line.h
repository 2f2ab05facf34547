// A line to a port of another process on the same machine (or of another
// simulated driver in this one): configuration `line = "shared"` with the
// same `line_name` on both sides, and the same port number.
//
// The ends meet through a socket named after the user, the line and the
// port (line_socket.h). When a port is set up, its line connects to the name;
// when nobody listens there it takes the name and listens itself, so the
// first end to come listens and the second connects, whichever process
// starts first. An end whose peer goes away waits for the next one: the
// listener goes on listening, the other tries again every 100 ms (and
// listens itself when the name has become free).
//
// Each end's transmitter paces its own bits at its line rate (the port does
// that); the line sends each chunk with its bit times to the other end, whose
// impairment stage (the receiving process's settings) decides what arrives.
// Both ends run on one machine's monotonic clock, so the bit times keep
// their meaning across processes. Bits sent while the far end's port is not
// running, or while there is no far end, are lost as on an unplugged cable.
// The far end's RTS shows as CTS, its DTR as DSR and DCD, its running clock
// as CARRIER.
//
// Nothing here blocks: every call does what the socket allows and leaves the
// rest for the next tick of the driver thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/line.h"

namespace sim {

struct LineMessage;

class SharedLine : public Line {
   public:
    SharedLine(const std::string& lineName, const ImpairmentConfig& settings);
    ~SharedLine() override;

    void Carry(LineChunk chunk) override;
    bool Take(int64_t nowNs, LineChunk* chunk) override;
    void Flush() override { inFlight_.Clear(); }
    int64_t NextArrivalNs() const override { return inFlight_.NextArrivalNs(); }
    void AddWaitSockets(std::vector<int>& sockets) const override;
    void SetOutputSignals(uint8_t v24) override;
    void SetClockRunning(bool running) override;
    // The far end is taken to drive the clock of a port that takes it from the line.
    bool SuppliesClock() const override { return true; }
    uint8_t InputSignals(int64_t nowNs) const override;
    void Start(int64_t nowNs) override;
    LineStats stats() const override;

    bool connected() const { return peer_ >= 0; }
    bool listening() const { return listener_ >= 0; }

   private:
    void Pump(int64_t nowNs);
    void Attach(int64_t nowNs);
    void Connected(int socket, bool asListener);
    void Disconnect();
    void SendSignals();
    void FlushOutput();
    void ReadInput();
    bool ParseInput();
    bool TakeMessage(LineMessage& message, int64_t nowNs);
    uint64_t InFlightCapacityBits() const;
    bool TrustedPeer(int socket);

    const std::string lineName_;
    const std::string socketName_;
    bool turnedAwayReported_ = false;  // said once until an end takes this one
    bool strangerReported_ = false;    // said once for the line's life
    int listener_ = -1;
    int peer_ = -1;
    int64_t nextAttemptNs_ = 0;

    std::vector<uint8_t> output_;  // encoded messages the socket has not taken yet
    size_t outputSent_ = 0;
    std::vector<uint8_t> input_;  // received bytes not yet parsed
    InFlight inFlight_;

    uint8_t outputs_ = 0;
    bool clockRunning_ = false;
    uint8_t peerOutputs_ = 0;
    bool peerClockRunning_ = false;
    uint64_t bitsUnsent_ = 0;
};

}  // namespace sim
