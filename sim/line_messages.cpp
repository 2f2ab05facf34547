#include "sim/line_messages.h"

#include "sim/records.h"

namespace sim {
namespace {

constexpr uint8_t kFlagFrame = 0x01;
constexpr uint8_t kFlagParity = 0x02;
constexpr uint8_t kFlagCorrupted = 0x04;
constexpr uint8_t kFlagInverted = 0x08;
constexpr uint8_t kDataFlags = kFlagFrame | kFlagParity | kFlagCorrupted | kFlagInverted;
constexpr uint8_t kFlagClock = 0x80;
constexpr uint8_t kSignalFlags = kV24Rts | kV24Dtr | kFlagClock;
// A start bit, 8 data bits, parity and two stop bits at most; a frame's
// bytes are 8 bits each.
constexpr uint8_t kMaxBitsPerChar = 12;

void StoreI64(uint8_t* p, int64_t value) {
    StoreU32(p, 0, uint32_t(uint64_t(value)));
    StoreU32(p, 4, uint32_t(uint64_t(value) >> 32));
}

int64_t LoadI64(const uint8_t* p) {
    return int64_t(uint64_t(LoadU32(p, 0)) | uint64_t(LoadU32(p, 4)) << 32);
}

void AppendHeader(std::vector<uint8_t>& out, const uint8_t (&header)[kLineHeaderSize]) {
    out.insert(out.end(), header, header + kLineHeaderSize);
}

bool NearNow(int64_t timeNs, int64_t nowNs) {
    return timeNs >= nowNs - kMaxLineTimeSkewNs && timeNs <= nowNs + kMaxLineTimeSkewNs;
}

// Null when the data header is one a line carries, else what is wrong.
const char* CheckDataHeader(const uint8_t* header, uint32_t length, int64_t nowNs) {
    const uint8_t flags = header[1], bitsPerChar = header[2], dataBits = header[3];
    if ((flags & ~kDataFlags) != 0) return "unknown data flags";
    if (length == 0) return "a data chunk without data";
    if (dataBits == 0 || dataBits > 8) return "data bits out of range";
    if (bitsPerChar < dataBits || bitsPerChar > kMaxBitsPerChar)
        return "bits per character out of range";
    const int64_t startNs = LoadI64(header + 8), endNs = LoadI64(header + 16);
    // Checked apart, so that neither difference below can overflow.
    if (!NearNow(startNs, nowNs) || !NearNow(endNs, nowNs)) return "bit times far from now";
    if (endNs < startNs) return "last bit before the first";
    return nullptr;
}

void DecodeData(const uint8_t* header, uint32_t length, LineChunk* chunk) {
    const uint8_t* data = header + kLineHeaderSize;
    chunk->data.assign(data, data + length);
    chunk->frame = (header[1] & kFlagFrame) != 0;
    chunk->parity = (header[1] & kFlagParity) != 0;
    chunk->corrupted = (header[1] & kFlagCorrupted) != 0;
    chunk->inverted = (header[1] & kFlagInverted) != 0;
    chunk->bitsPerChar = header[2];
    chunk->dataBits = header[3];
    chunk->startNs = LoadI64(header + 8);
    chunk->endNs = LoadI64(header + 16);
    chunk->arrivalNs = chunk->endNs;
}

}  // namespace

void AppendDataMessage(std::vector<uint8_t>& out, const LineChunk& chunk) {
    uint8_t header[kLineHeaderSize] = {};
    header[0] = uint8_t(LineMessageKind::kData);
    header[1] =
        uint8_t((chunk.frame ? kFlagFrame : 0) | (chunk.parity ? kFlagParity : 0) |
                (chunk.corrupted ? kFlagCorrupted : 0) | (chunk.inverted ? kFlagInverted : 0));
    header[2] = chunk.bitsPerChar;
    header[3] = chunk.dataBits;
    StoreU32(header, 4, uint32_t(chunk.data.size()));
    StoreI64(header + 8, chunk.startNs);
    StoreI64(header + 16, chunk.endNs);
    AppendHeader(out, header);
    out.insert(out.end(), chunk.data.begin(), chunk.data.end());
}

void AppendSignalsMessage(std::vector<uint8_t>& out, uint8_t v24, bool clockRunning) {
    uint8_t header[kLineHeaderSize] = {};
    header[0] = uint8_t(LineMessageKind::kSignals);
    header[1] = uint8_t((v24 & (kV24Rts | kV24Dtr)) | (clockRunning ? kFlagClock : 0));
    AppendHeader(out, header);
}

void AppendTurnedAwayMessage(std::vector<uint8_t>& out) {
    uint8_t header[kLineHeaderSize] = {};
    header[0] = uint8_t(LineMessageKind::kTurnedAway);
    AppendHeader(out, header);
}

LineParse ParseLineMessage(const uint8_t* bytes, size_t size, int64_t nowNs, LineMessage* message,
                           size_t* used, const char** why) {
    if (size < kLineHeaderSize) return LineParse::kIncomplete;
    const uint32_t length = LoadU32(bytes, 4);
    const auto kind = LineMessageKind(bytes[0]);
    *why = nullptr;
    if (kind == LineMessageKind::kData) {
        if (length > kMaxLineMessageData) *why = "a data chunk longer than a message carries";
    } else if (kind == LineMessageKind::kSignals) {
        if (length != 0 || (bytes[1] & ~kSignalFlags) != 0) *why = "a malformed signals message";
    } else if (kind != LineMessageKind::kTurnedAway || length != 0) {
        *why = "an unknown message";
    }
    if (*why == nullptr && kind == LineMessageKind::kData)
        *why = CheckDataHeader(bytes, length, nowNs);
    if (*why != nullptr) return LineParse::kBad;
    if (size - kLineHeaderSize < length) return LineParse::kIncomplete;
    message->kind = kind;
    message->v24 = bytes[1] & (kV24Rts | kV24Dtr);
    message->clockRunning = (bytes[1] & kFlagClock) != 0;
    if (kind == LineMessageKind::kData) DecodeData(bytes, length, &message->chunk);
    *used = kLineHeaderSize + length;
    return LineParse::kMessage;
}

}  // namespace sim
