// The card's on-board BERT engine, as the port sees it.
//
// Once SetBERTConfig has armed it, the port's transmitter takes its bytes
// from Generate (instead of TransmitData requests) at the line rate, the
// receiver hands every byte that arrives to Receive, and every tick the port
// asks TakeRecord for the statistics records that fell due, which complete
// the reads of the port's "+" device in order. The port still applies error
// injection and data inversion around the engine, as the card's line
// interface does. All calls run under the driver lock, on the driver thread
// or the requesting thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sim {

constexpr size_t kBertRecordBytes = 36;

class BertEngine {
public:
    virtual ~BertEngine() = default;

    // The next count bytes to send; each travels as 8 line bits.
    virtual void Generate(uint8_t* out, size_t count) = 0;
    // Bytes that arrived from the line, in order.
    virtual void Receive(const uint8_t* data, size_t count) = 0;
    // Fills record (36 bytes) when one is due by nowNs; false when none is.
    virtual bool TakeRecord(int64_t nowNs, uint8_t* record) = 0;
    // ResetBERT: the counters and the run start over at nowNs.
    virtual void Reset(int64_t nowNs) = 0;
};

// The engine for a 128-byte BERT configuration record (pattern in word 1, test
// length in word 2, burst, auto-invert and stop-on-error in words 3..5),
// delivering a record every recordMs from nowNs on.
std::unique_ptr<BertEngine> MakeBertEngine(const uint8_t* config, uint32_t recordMs, int64_t nowNs);

}  // namespace sim
