// The card's on-board BERT engine, as the port sees it.
//
// Once SetBERTConfig has armed it, the port's transmitter takes its bytes
// from Generate (instead of TransmitData requests) at the line rate, the
// receiver hands every byte that arrives to Receive, and every tick the port
// calls TakeRecord, which closes the engine's sample of that tick and hands
// out the statistics records that fell due; they complete the reads of the
// port's "+" device in order. Error injection goes through the engine, which
// spreads the flipped bits so that each one is counted once; the port still
// applies its data inversion around the engine. All calls run under the
// driver lock, on the driver thread or the requesting thread.
//
// Checking follows the host's software-mode rules: while hunting, a pseudo-
// random pattern goes through the self-synchronising checker (behind the
// zero-run guard) and a byte counts 0 or 8 wrong bits; once in sync, each
// byte is compared with a reference generator, until more bytes than the
// register length in a row mismatch. Each tick's bytes are one sample: 50 %
// wrong bits or more lose sync, 10 % or less gain it (the reference then
// continues from the received bits, once the hunt holds a register length of
// them, or a run of fixed-pattern bytes), 30 % or more make the sample severely
// errored. Only bits checked in sync count as bit errors. A second is
// errored when it held in-sync errors, severely errored when one of its
// samples was severely errored or ended out of sync, else available. The
// hunt before the first sync marks no second, but a second that ends before
// the pattern was ever found is severely errored, never available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "card/ioctl.h"

namespace sim {

constexpr size_t kBertRecordBytes = kBertStatsRecordSize;

class BertEngine {
   public:
    virtual ~BertEngine() = default;

    // The next count bytes to send; each travels as 8 line bits.
    virtual void Generate(uint8_t* out, size_t count) = 0;
    // Bytes that arrived from the line, in order.
    virtual void Receive(const uint8_t* data, size_t count) = 0;
    // Closes the sample of the bytes received since the last call, then
    // fills record (36 bytes) when one is due by nowNs; false when none is.
    // Called at least once per tick.
    virtual bool TakeRecord(int64_t nowNs, uint8_t* record) = 0;
    // InjectErrors: count more bits to flip in what is sent.
    virtual void InjectErrors(uint32_t count) = 0;
    // ResetStats: the counts of the record in progress start from zero.
    virtual void ResetStats() = 0;
    // ResetBERT: the counters and the run start over at nowNs; the sync and
    // the inversion found stay.
    virtual void Reset(int64_t nowNs) = 0;
};

// The engine for a 128-byte BERT configuration record (pattern in word 1, test
// length in word 2, burst, auto-invert and stop-on-error in words 3..5),
// delivering a record every recordMs from nowNs on.
std::unique_ptr<BertEngine> MakeBertEngine(const uint8_t* config, uint32_t recordMs, int64_t nowNs);

}  // namespace sim
