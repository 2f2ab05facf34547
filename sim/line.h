// The line between a port's transmitter and a receiver.
//
//   port transmitter --Carry--> [impairment stage] --> in flight --Take--> port receiver
//
// The transmitter paces itself (bit_clock.h) and hands the line what left the
// port, stamped with the bit times it took; the line decides what arrives and
// when. The impairment stage (impairment.h) acts on the passing data; its
// settings may change while the line runs. LoopbackLine wires the port back
// to itself as a loopback plug does; SharedLine (shared_line.h) joins it to
// a port of another process.
//
// Every call runs under the driver lock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/config.h"
#include "sim/impairment.h"

namespace sim {

class Line {
   public:
    Line(const ImpairmentConfig& settings, uint64_t salt) : settings_(settings), salt_(salt) {}
    virtual ~Line() = default;

    // Transmit end: the port's bytes as they left it, in order.
    virtual void Carry(LineChunk chunk) = 0;
    // Receive end: the next chunk that has arrived by nowNs, in order.
    virtual bool Take(int64_t nowNs, LineChunk* chunk) = 0;
    // Forgets whatever is in flight (the port was closed or reconfigured).
    virtual void Flush() = 0;
    // When the next chunk in flight arrives (INT64_MAX: none is), so that
    // the receiver is woken then rather than at its next tick.
    virtual int64_t NextArrivalNs() const = 0;
    // The sockets whose input the driver thread waits for besides its deadlines.
    virtual void AddWaitSockets(std::vector<int>&) const {}

    // The port's output signals (SetV24 byte) and whether its transmit clock runs.
    virtual void SetOutputSignals(uint8_t v24) = 0;
    virtual void SetClockRunning(bool running) = 0;
    // A two-wire line is half duplex: what the port sends and what it hears
    // share one pair. Only a line with more than one other end models it.
    virtual void SetHalfDuplex(bool) {}
    // Whether a port set to take its clock from the line gets one.
    virtual bool SuppliesClock() const = 0;
    // Input signal bits of the interface record (CTS, DSR, DCD, RI, CARRIER).
    virtual uint8_t InputSignals(int64_t nowNs) const = 0;

    // The port (re)started its line at nowNs: the impairments, their times
    // and their counters start over.
    virtual void Start(int64_t nowNs);
    // Other impairment settings from nowNs on; the counters run on.
    void SetImpairments(const ImpairmentConfig& settings, int64_t nowNs);
    const ImpairmentConfig& impairments() const { return settings_; }
    virtual LineStats stats() const { return stage_.stats(); }
    // The bit rate the port runs the line at (0: not set).
    void SetRate(uint64_t bitsPerSec) { rateBitsPerSec_ = bitsPerSec; }
    // What arrived at this end since Start, per 100 ms.
    const TruthRecord& truth() const { return stage_.truth(); }
    // A multi-drop line's records per station address (a frame's first byte).
    virtual void AddressTruths(std::vector<std::pair<unsigned, const TruthRecord*>>&) const {}

   protected:
    ImpairmentStage stage_;
    ImpairmentConfig settings_;
    uint64_t salt_;
    uint64_t rateBitsPerSec_ = 0;
};

// Keeps chunks in arrival order: a delay shortened while chunks are in
// flight must not let later ones overtake them.
class InFlight {
   public:
    void Push(LineChunk chunk);
    bool Pop(int64_t nowNs, LineChunk* chunk);
    void Clear() { chunks_.clear(); }
    int64_t NextArrivalNs() const;
    // Forgets the chunks that were on the line during [startNs, endNs).
    void DropOverlapping(int64_t startNs, int64_t endNs);
    // Line bits of the chunks still on their way at nowNs.
    uint64_t BitsArrivingAfter(int64_t nowNs) const;

   private:
    std::deque<LineChunk> chunks_;
    int64_t lastArrivalNs_ = 0;
};

class LoopbackLine : public Line {
   public:
    using Line::Line;
    void Carry(LineChunk chunk) override;
    bool Take(int64_t nowNs, LineChunk* chunk) override;
    void Flush() override { inFlight_.Clear(); }
    int64_t NextArrivalNs() const override { return inFlight_.NextArrivalNs(); }
    void SetOutputSignals(uint8_t v24) override { outputs_ = v24; }
    void SetClockRunning(bool running) override { clockRunning_ = running; }
    // A loopback plug has no clock source: only the port's own clock runs.
    bool SuppliesClock() const override { return false; }
    uint8_t InputSignals(int64_t nowNs) const override;

   private:
    InFlight inFlight_;
    uint8_t outputs_ = 0;
    bool clockRunning_ = false;
};

// The line of port number port of a card as configured.
std::unique_ptr<Line> MakeLine(const CardConfig& card, unsigned port);

}  // namespace sim
