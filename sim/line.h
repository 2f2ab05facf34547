// The line between a port's transmitter and a receiver.
//
//   port transmitter --Carry--> [impairment stage] --> in flight --Take--> port receiver
//
// The transmitter paces itself (bit_clock.h) and hands the line what left the
// port, stamped with the bit times it took; the line decides what arrives and
// when. The impairment stage is where errors, bursts, inversion, slips,
// outages and delay act on the passing data; it may be changed while the line
// runs. LoopbackLine wires the port back to itself as a loopback plug does;
// a line shared with another process would be another Line.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct LineChunk {
    std::vector<uint8_t> data;
    bool frame = false;     // one whole frame (framed mode), else a run of characters
    int64_t startNs = 0;    // first bit onto the line
    int64_t endNs = 0;      // last bit onto the line
    int64_t arrivalNs = 0;  // last bit at the receiver; endNs unless delayed
};

// One element of the impairment stage. Runs under the line owner's lock.
class Impairment {
public:
    virtual ~Impairment() = default;
    // May change the data or arrivalNs; false drops the chunk (an outage).
    virtual bool Apply(LineChunk& chunk) = 0;
    // Carrier as this element lets the receiver see it at nowNs.
    virtual bool CarrierPresent(int64_t /*nowNs*/) const { return true; }
};

class ImpairmentStage {
public:
    void Add(std::unique_ptr<Impairment> element) { elements_.push_back(std::move(element)); }
    void Clear() { elements_.clear(); }
    bool Apply(LineChunk& chunk) {
        for (auto& element : elements_)
            if (!element->Apply(chunk)) return false;
        return true;
    }
    bool CarrierPresent(int64_t nowNs) const {
        for (const auto& element : elements_)
            if (!element->CarrierPresent(nowNs)) return false;
        return true;
    }

private:
    std::vector<std::unique_ptr<Impairment>> elements_;
};

class Line {
public:
    virtual ~Line() = default;

    // Transmit end: the port's bytes as they left it, in order.
    virtual void Carry(LineChunk chunk) = 0;
    // Receive end: the next chunk that has arrived by nowNs, in order.
    virtual bool Take(int64_t nowNs, LineChunk* chunk) = 0;
    // Forgets whatever is in flight (the port was closed or reconfigured).
    virtual void Flush() = 0;

    // The port's output signals (SetV24 byte) and whether its transmit clock runs.
    virtual void SetOutputSignals(uint8_t v24) = 0;
    virtual void SetClockRunning(bool running) = 0;
    // Input signal bits of the interface record (CTS, DSR, DCD, RI, CARRIER).
    virtual uint8_t InputSignals(int64_t nowNs) const = 0;

    ImpairmentStage& impairments() { return impairments_; }

protected:
    ImpairmentStage impairments_;
};

class LoopbackLine : public Line {
public:
    void Carry(LineChunk chunk) override;
    bool Take(int64_t nowNs, LineChunk* chunk) override;
    void Flush() override { inFlight_.clear(); }
    void SetOutputSignals(uint8_t v24) override { outputs_ = v24; }
    void SetClockRunning(bool running) override { clockRunning_ = running; }
    uint8_t InputSignals(int64_t nowNs) const override;

private:
    std::deque<LineChunk> inFlight_;
    int64_t lastArrivalNs_ = 0;
    uint8_t outputs_ = 0;
    bool clockRunning_ = false;
};

std::unique_ptr<Line> MakeLine(const std::string& kind);

}  // namespace sim
