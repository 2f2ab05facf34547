// The messages the two ends of a shared line exchange over their socket.
// Every message is a 24-byte header and `length` data bytes:
//   0  kind     1 = data chunk, 2 = signals, 3 = turned away (the line has two ends)
//   1  flags    data: bit 0 a frame, bit 1 a parity bit, bit 2 its check failed;
//               signals: the SetV24 bits, 0x80 clock running
//   2  bits per character, 3 data bits of them (data)
//   4  length   (32 bits)
//   8  first bit's time, 16 last bit's time (64 bits each, ns of the shared
//      monotonic clock)
//
// The far end is another process and is not trusted: a message is taken only
// when every field is one a line can carry, so that no time, length or size
// it names can make this end compute past a range or wait for ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/impairment.h"

namespace sim {

constexpr size_t kLineHeaderSize = 24;
// The most data one message carries; a sender keeps longer chunks back.
constexpr uint32_t kMaxLineMessageData = 4u << 20;
// How far a chunk's bit times may lie from the receiver's clock, and how long
// one chunk may take on the line: far beyond any real line's chunk, far below
// what 64-bit nanoseconds can add.
constexpr int64_t kMaxLineTimeSkewNs = 60LL * 1000 * 1000 * 1000;

enum class LineMessageKind : uint8_t { kData = 1, kSignals = 2, kTurnedAway = 3 };

struct LineMessage {
    LineMessageKind kind = LineMessageKind::kData;
    uint8_t v24 = 0;            // signals: the far end's RTS and DTR wishes
    bool clockRunning = false;  // signals
    LineChunk chunk;            // data
};

enum class LineParse { kIncomplete, kMessage, kBad };

void AppendDataMessage(std::vector<uint8_t>& out, const LineChunk& chunk);
void AppendSignalsMessage(std::vector<uint8_t>& out, uint8_t v24, bool clockRunning);
void AppendTurnedAwayMessage(std::vector<uint8_t>& out);

// Reads the message at the start of bytes. kMessage: *message and *used (its
// whole size) are set. kBad: *why names what no line carries.
LineParse ParseLineMessage(const uint8_t* bytes, size_t size, int64_t nowNs, LineMessage* message,
                           size_t* used, const char** why);

}  // namespace sim
