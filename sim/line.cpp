#include "sim/line.h"

#include <algorithm>
#include <limits>
#include <string>

#include "sim/multidrop_line.h"
#include "sim/records.h"
#include "sim/shared_line.h"

namespace sim {

void Line::Start(int64_t nowNs) {
    stage_ = ImpairmentStage();
    stage_.Configure(settings_, nowNs, salt_);
    stage_.StartTruth(nowNs);
}

void Line::SetImpairments(const ImpairmentConfig& settings, int64_t nowNs) {
    settings_ = settings;
    stage_.Configure(settings, nowNs, salt_);
}

void InFlight::Push(LineChunk chunk) {
    chunk.arrivalNs = std::max(chunk.arrivalNs, lastArrivalNs_);
    lastArrivalNs_ = chunk.arrivalNs;
    chunks_.push_back(std::move(chunk));
}

bool InFlight::Pop(int64_t nowNs, LineChunk* chunk) {
    if (chunks_.empty() || chunks_.front().arrivalNs > nowNs) return false;
    *chunk = std::move(chunks_.front());
    chunks_.pop_front();
    return true;
}

int64_t InFlight::NextArrivalNs() const {
    return chunks_.empty() ? std::numeric_limits<int64_t>::max() : chunks_.front().arrivalNs;
}

void InFlight::DropOverlapping(int64_t startNs, int64_t endNs) {
    std::erase_if(chunks_,
                  [&](const LineChunk& c) { return c.startNs < endNs && startNs < c.endNs; });
}

uint64_t InFlight::BitsArrivingAfter(int64_t nowNs) const {
    uint64_t bits = 0;
    for (auto it = chunks_.rbegin(); it != chunks_.rend() && it->arrivalNs > nowNs; ++it)
        bits +=
            uint64_t(it->data.size()) * (it->frame ? 8 : std::max<uint32_t>(it->bitsPerChar, 1));
    return bits;
}

void LoopbackLine::Carry(LineChunk chunk) {
    chunk.arrivalNs = chunk.endNs;
    if (stage_.Apply(chunk)) inFlight_.Push(std::move(chunk));
}

bool LoopbackLine::Take(int64_t nowNs, LineChunk* chunk) { return inFlight_.Pop(nowNs, chunk); }

uint8_t LoopbackLine::InputSignals(int64_t nowNs) const {
    // The plug wires RTS to CTS and DTR to DSR and DCD.
    uint8_t signals = 0;
    if (outputs_ & kV24Rts) signals |= kSignalCts;
    if (outputs_ & kV24Dtr) signals |= kSignalDsr | kSignalDcd;
    if (clockRunning_ && stage_.CarrierPresent(nowNs)) signals |= kSignalCarrier;
    return signals;
}

std::unique_ptr<Line> MakeLine(const CardConfig& card, unsigned port) {
    if (card.line == "multidrop")
        return std::make_unique<MultiDropLine>(card.lineName + "." + std::to_string(port),
                                               card.impairment);
    if (card.line == "shared")
        return std::make_unique<SharedLine>(card.lineName + "." + std::to_string(port),
                                            card.impairment);
    return std::make_unique<LoopbackLine>(card.impairment, port);
}

}  // namespace sim
