#include "sim/line.h"

#include <algorithm>
#include <string>

#include "sim/records.h"

namespace sim {

void LoopbackLine::Carry(LineChunk chunk) {
    chunk.arrivalNs = chunk.endNs;
    if (!impairments_.Apply(chunk)) return;
    // A shorter delay set while a chunk is in flight must not overtake it.
    chunk.arrivalNs = std::max(chunk.arrivalNs, lastArrivalNs_);
    lastArrivalNs_ = chunk.arrivalNs;
    inFlight_.push_back(std::move(chunk));
}

bool LoopbackLine::Take(int64_t nowNs, LineChunk* chunk) {
    if (inFlight_.empty() || inFlight_.front().arrivalNs > nowNs) return false;
    *chunk = std::move(inFlight_.front());
    inFlight_.pop_front();
    return true;
}

uint8_t LoopbackLine::InputSignals(int64_t nowNs) const {
    // The plug wires RTS to CTS and DTR to DSR and DCD.
    uint8_t signals = 0;
    if (outputs_ & kV24Rts) signals |= kSignalCts;
    if (outputs_ & kV24Dtr) signals |= kSignalDsr | kSignalDcd;
    if (clockRunning_ && impairments_.CarrierPresent(nowNs)) signals |= kSignalCarrier;
    return signals;
}

std::unique_ptr<Line> MakeLine(const std::string& /*kind*/) { return std::make_unique<LoopbackLine>(); }

}  // namespace sim
