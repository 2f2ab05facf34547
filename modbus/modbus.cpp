#include "modbus/modbus.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "card/driver.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/sync.h"
#include "port/port_setup.h"

namespace {

constexpr uint8_t kControlUi = 0x03;
constexpr int kFunctionDiagnostics = 8;
constexpr uint8_t kExceptionBit = 0x80;
constexpr uint8_t kIllegalFunction = 1;
// A slave looks for the stop request this often while no request comes.
constexpr uint32_t kSlaveWaitMs = 100;
// A write the card has not sent within this much more than the frame's
// line time is taken as failed.
constexpr uint32_t kWriteGraceMs = 2000;

uint32_t ToMs(const modbus_timeout_t& t) {
    return uint32_t(t.sec) * 1000u + uint32_t(t.usec + 999) / 1000u;
}

}  // namespace

struct modbus_t {
    modbus_hdlc_line_t line;
    card::PortHandle* handle = nullptr;
    card::PortHandle port = card::kInvalidHandle;
    int slave = -1;
    bool debug = false;
    modbus_timeout_t byteTimeout{0, 500000};
    modbus_timeout_t responseTimeout{0, 500000};
    platform::Event rxEvent{true, false};
    platform::Event txEvent{true, false};
    card::Overlapped rxOv;
    card::Overlapped txOv;
    bool readPending = false;
    uint8_t record[kReceiveRecordHeaderSize + 2 * MODBUS_MAX_FRAME] = {};
    uint8_t frame[MODBUS_MAX_FRAME] = {};
    // The request a confirmation must answer: its address, function and data.
    int requestLength = -1;
    uint8_t request[MODBUS_MAX_FRAME] = {};
};

namespace {

card::Driver& Driver() { return *card::GetDriver(); }

void Trace(const modbus_t* ctx, const char* what, const uint8_t* frame, int length) {
    if (!ctx->debug) return;
    std::printf("%s", what);
    for (int i = 0; i < length; ++i) std::printf("[%.2X]", frame[i]);
    std::printf("\n");
}

// The next frame the card received, whole, waiting at most timeoutMs.
// Returns its length (frames longer than a Modbus frame are cut to one and
// then fail their CRC), 0 when none came in time, -1 when the port failed.
int ReadFrame(modbus_t* ctx, uint8_t* out, uint32_t timeoutMs) {
    if (!ctx->readPending) {
        ctx->rxOv.Clear();
        ctx->rxOv.hEvent = &ctx->rxEvent;
        ctx->rxEvent.Reset();
        uint32_t bytes = 0;
        if (!Driver().ReadFile(ctx->port, ctx->record, sizeof ctx->record, &bytes, &ctx->rxOv) &&
            platform::GetLastError() != platform::kErrorIoPending) {
            errno = EIO;
            return -1;
        }
        ctx->readPending = true;
    }
    if (!card::WaitForRequest(&ctx->rxOv, timeoutMs)) return 0;
    ctx->readPending = false;
    uint32_t bytes = 0;
    if (!card::GetOverlappedResult(ctx->port, &ctx->rxOv, &bytes, true)) {
        errno = EIO;
        return -1;
    }
    if (bytes < kReceiveRecordHeaderSize) return 0;
    int length = int(bytes - kReceiveRecordHeaderSize);
    if (length > MODBUS_MAX_FRAME) length = MODBUS_MAX_FRAME;
    std::memcpy(out, ctx->record + kReceiveRecordHeaderSize, size_t(length));
    return length;
}

int WriteFrame(modbus_t* ctx, const uint8_t* frame, int length) {
    Trace(ctx, "", frame, length);
    ctx->txOv.Clear();
    ctx->txOv.hEvent = &ctx->txEvent;
    ctx->txEvent.Reset();
    uint32_t bytes = 0;
    if (!Driver().WriteFile(ctx->port, frame, uint32_t(length), &bytes, &ctx->txOv) &&
        platform::GetLastError() != platform::kErrorIoPending) {
        errno = EIO;
        return -1;
    }
    const uint64_t lineMs =
        ctx->line.rate == 0 ? 0 : uint64_t(length + 8) * 8 * 1000 / ctx->line.rate;
    if (!card::WaitForRequest(&ctx->txOv, uint32_t(lineMs) + kWriteGraceMs)) {
        Driver().CancelIo(ctx->port);
        ctx->readPending = false;  // cancelled with the write
        errno = ETIMEDOUT;
        return -1;
    }
    if (!card::GetOverlappedResult(ctx->port, &ctx->txOv, &bytes, true)) {
        errno = EIO;
        return -1;
    }
    return length;
}

bool Connected(const modbus_t* ctx) {
    if (ctx != nullptr && ctx->port != card::kInvalidHandle) return true;
    errno = EBADF;
    return false;
}

}  // namespace

uint16_t ModbusCrc16(const uint8_t* data, int length) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

int ModbusBuildFrame(uint8_t* frame, int address, int function, int subfunction,
                     const uint8_t* data, int length) {
    if (length < 0 || length > MODBUS_MAX_DATA) return -1;
    frame[0] = uint8_t(address);
    frame[1] = kControlUi;
    frame[2] = uint8_t(function);
    frame[3] = uint8_t(subfunction >> 8);
    frame[4] = uint8_t(subfunction);
    if (length > 0) std::memcpy(frame + MODBUS_DATA_OFFSET, data, size_t(length));
    const int end = MODBUS_DATA_OFFSET + length;
    const uint16_t crc = ModbusCrc16(frame, end);
    frame[end] = uint8_t(crc);
    frame[end + 1] = uint8_t(crc >> 8);
    return end + 2;
}

int ModbusCheckFrame(const uint8_t* frame, int length, int address) {
    if (length < 4) return EMBSHORTFRAME;
    const uint16_t crc = ModbusCrc16(frame, length - 2);
    if (frame[length - 2] != uint8_t(crc) || frame[length - 1] != uint8_t(crc >> 8))
        return EMBBADCRC;
    if (address != 0 && frame[0] != address) return EMBBADSLAVE;
    if (frame[1] != kControlUi) return EMBBADDATA;
    if (frame[2] == (kFunctionDiagnostics | kExceptionBit)) return EMBEXCEPTION;
    if (frame[2] != kFunctionDiagnostics) return EMBBADFUNCTION;
    if (length < MODBUS_FRAME_OVERHEAD) return EMBSHORTFRAME;
    return 0;
}

modbus_t* modbus_new_hdlc(const modbus_hdlc_line_t& line, card::PortHandle* handle) {
    auto* ctx = new (std::nothrow) modbus_t;
    if (ctx == nullptr) return nullptr;
    ctx->line = line;
    ctx->handle = handle;
    if (handle != nullptr) *handle = card::kInvalidHandle;
    return ctx;
}

int modbus_connect(modbus_t* ctx) {
    if (ctx == nullptr || card::GetDriver() == nullptr ||
        !OpenPort(ctx->line.card, ctx->line.port)) {
        errno = ENODEV;
        return -1;
    }
    ctx->port = g_hPort;
    if (ctx->handle != nullptr) *ctx->handle = ctx->port;
    return 0;
}

int modbus_set_debug(modbus_t* ctx, int on) {
    if (ctx == nullptr) return -1;
    ctx->debug = on != 0;
    return 0;
}

namespace {

int SetTimeout(modbus_t* ctx, const modbus_timeout_t* timeout, modbus_timeout_t modbus_t::*field) {
    if (ctx == nullptr || timeout == nullptr || timeout->sec < 0 || timeout->usec < 0 ||
        timeout->usec > 999999 || (timeout->sec == 0 && timeout->usec == 0)) {
        errno = EINVAL;
        return -1;
    }
    ctx->*field = *timeout;
    return 0;
}

}  // namespace

int modbus_set_byte_timeout(modbus_t* ctx, const modbus_timeout_t* timeout) {
    return SetTimeout(ctx, timeout, &modbus_t::byteTimeout);
}

int modbus_set_response_timeout(modbus_t* ctx, const modbus_timeout_t* timeout) {
    return SetTimeout(ctx, timeout, &modbus_t::responseTimeout);
}

int modbus_set_slave(modbus_t* ctx, int slave) {
    if (ctx == nullptr || slave < 1 || slave > 247) {
        errno = EINVAL;
        return -1;
    }
    ctx->slave = slave;
    return 0;
}

namespace {

// Replies that came after their poll was given up would be read as the
// answer to this one.
void DiscardQueuedFrames(modbus_t* ctx) {
    uint8_t stale[MODBUS_MAX_FRAME];
    for (int discarded = 0; discarded < 64;) {
        const int length = ReadFrame(ctx, stale, 0);
        if (length <= 0) return;
        Trace(ctx, "~", stale, length);
        ++discarded;
    }
}

int CountDifferentBits(const uint8_t* a, const uint8_t* b, int length) {
    int count = 0;
    for (int i = 0; i < length; ++i) count += __builtin_popcount(unsigned(a[i] ^ b[i]));
    return count;
}

int64_t NowMs() { return platform::PerfCounter() / (platform::PerfFrequency() / 1000); }

}  // namespace

bool ModbusAnswersRequest(const uint8_t* request, int requestLength, const uint8_t* reply,
                          int replyLength) {
    if (requestLength < MODBUS_FRAME_OVERHEAD || replyLength != requestLength) return false;
    if (reply[0] != request[0] || reply[2] != request[2] || reply[3] != request[3] ||
        reply[4] != request[4])
        return false;
    // The data is the slave's pattern, which moves on with every request: an
    // older reply holds other data. A reply may carry bit errors the pattern
    // check is to count, or come back inverted, so only data that is neither
    // close to the request nor to its inverse is another request's.
    const int dataLength = requestLength - MODBUS_FRAME_OVERHEAD;
    const int bits = dataLength * 8;
    const int different =
        CountDifferentBits(request + MODBUS_DATA_OFFSET, reply + MODBUS_DATA_OFFSET, dataLength);
    return different * 4 <= bits || different * 4 >= bits * 3;
}

int modbus_send_diagnostic_request(modbus_t* ctx, int subfunction, const uint8_t* data,
                                   int length) {
    if (!Connected(ctx)) return -1;
    const int frameLength =
        ModbusBuildFrame(ctx->frame, ctx->slave, kFunctionDiagnostics, subfunction, data, length);
    if (ctx->slave < 1 || frameLength < 0) {
        errno = EINVAL;
        return -1;
    }
    DiscardQueuedFrames(ctx);
    std::memcpy(ctx->request, ctx->frame, size_t(frameLength));
    ctx->requestLength = frameLength;
    return WriteFrame(ctx, ctx->frame, frameLength);
}

// The reply is awaited for the response time-out; a frame arrives whole, so
// the byte time-out is the allowance for its last bytes.
// A whole frame from another slave, or an answer to an earlier request, is
// not this request's confirmation: it is passed over while the time lasts. A
// frame that fails its check is taken as this reply, broken on the line.
int modbus_receive_confirmation(modbus_t* ctx, uint8_t* rsp) {
    if (!Connected(ctx)) return -1;
    const int64_t deadline = NowMs() + ToMs(ctx->responseTimeout) + ToMs(ctx->byteTimeout);
    for (;;) {
        const int64_t left = deadline - NowMs();
        const int length = ReadFrame(ctx, rsp, uint32_t(left > 0 ? left : 0));
        if (length <= 0) {
            if (length == 0) errno = ETIMEDOUT;
            return -1;
        }
        Trace(ctx, "<", rsp, length);
        const int problem = ModbusCheckFrame(rsp, length, 0);
        if (problem != 0 && problem != EMBEXCEPTION) {
            errno = problem;
            return -1;
        }
        const bool fromThisSlave = rsp[0] == ctx->slave;
        if (fromThisSlave && problem == EMBEXCEPTION) {
            errno = problem;
            return -1;
        }
        if (fromThisSlave && (ctx->requestLength < 0 ||
                              ModbusAnswersRequest(ctx->request, ctx->requestLength, rsp, length)))
            return length;
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

modbus_mapping_t* modbus_mapping_new(int bits, int inputBits, int registers, int inputRegisters) {
    auto* mapping = new (std::nothrow) modbus_mapping_t;
    if (mapping == nullptr) return nullptr;
    mapping->nb_bits = bits;
    mapping->nb_input_bits = inputBits;
    mapping->nb_registers = registers;
    mapping->nb_input_registers = inputRegisters;
    mapping->tab_bits = new (std::nothrow) uint8_t[size_t(bits > 0 ? bits : 1)]();
    mapping->tab_input_bits = new (std::nothrow) uint8_t[size_t(inputBits > 0 ? inputBits : 1)]();
    mapping->tab_registers = new (std::nothrow) uint16_t[size_t(registers > 0 ? registers : 1)]();
    mapping->tab_input_registers =
        new (std::nothrow) uint16_t[size_t(inputRegisters > 0 ? inputRegisters : 1)]();
    return mapping;
}

void modbus_mapping_free(modbus_mapping_t* mapping) {
    if (mapping == nullptr) return;
    delete[] mapping->tab_bits;
    delete[] mapping->tab_input_bits;
    delete[] mapping->tab_registers;
    delete[] mapping->tab_input_registers;
    delete mapping;
}

// On a multi-drop line a slave hears the other slaves' traffic too: a frame
// for another address, or one that fails its check, is not for it.
int modbus_receive(modbus_t* ctx, uint8_t* req) {
    if (!Connected(ctx)) return -1;
    const int length = ReadFrame(ctx, req, kSlaveWaitMs);
    if (length <= 0) return length;
    const int problem = ModbusCheckFrame(req, length, ctx->slave);
    if (problem == EMBBADFUNCTION) return length;  // for us: answered with an exception
    if (problem != 0) return 0;
    Trace(ctx, "<", req, length);
    return length;
}

int modbus_reply(modbus_t* ctx, const uint8_t* req, int reqLength, modbus_mapping_t* mapping) {
    if (!Connected(ctx) || mapping == nullptr || reqLength < MODBUS_FRAME_OVERHEAD - 2) {
        errno = EINVAL;
        return -1;
    }
    const int function = req[2];
    const int subfunction = req[3] << 8 | req[4];
    int length = 0;
    if (function == kFunctionDiagnostics && subfunction == 0 &&
        reqLength >= MODBUS_FRAME_OVERHEAD) {
        length = ModbusBuildFrame(ctx->frame, ctx->slave, function, subfunction,
                                  req + MODBUS_DATA_OFFSET, reqLength - MODBUS_FRAME_OVERHEAD);
    } else {
        const uint8_t code = kIllegalFunction;
        length = ModbusBuildFrame(ctx->frame, ctx->slave, function | kExceptionBit, 0, &code, 1);
    }
    return WriteFrame(ctx, ctx->frame, length);
}

const char* modbus_strerror(int errnum) {
    switch (errnum) {
        case EMBBADCRC:
            return "Invalid CRC";
        case EMBBADSLAVE:
            return "Response from an unexpected slave";
        case EMBBADFUNCTION:
            return "Unexpected function in the response";
        case EMBSHORTFRAME:
            return "Frame too short";
        case EMBBADDATA:
            return "Invalid frame";
        case EMBEXCEPTION:
            return "Exception response from the slave";
        default:
            return std::strerror(errnum);
    }
}

void modbus_close(modbus_t* ctx) {
    if (ctx == nullptr || ctx->port == card::kInvalidHandle) return;
    // Ends the pending read before its buffer can go.
    Driver().CancelIo(ctx->port);
    ctx->readPending = false;
    ReleasePort();
    ctx->port = card::kInvalidHandle;
    if (ctx->handle != nullptr) *ctx->handle = card::kInvalidHandle;
}

void modbus_free(modbus_t* ctx) {
    modbus_close(ctx);
    delete ctx;
}
