#include "link/receive_pass.h"

#include <algorithm>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "log/log.h"
#include "pattern/pattern.h"
#include "stats/bert_stats.h"

namespace {

// Bytes checked at a time: bounds the scratch room and how late a stop
// request is seen.
constexpr uint32_t kPiece = 2048;

struct PassContext {
    bool bInSync;
    uint32_t uBlockLength;
    uint32_t uBitsPerByte;  // block bits one checked byte stands for
    bool bCapErrors;        // a text character cannot have more wrong bits than it has bits
};

PassContext MakeContext() {
    const bool text = g_Settings.uPatternType == PATTERN_FOX;
    return PassContext{g_bInSync.load(std::memory_order_relaxed),
                       g_PatternSelection.uPatternLengthBits, text ? g_uBitsPerChar : 8u, text};
}

void CountBlock(RxCheckState& state, const PassContext& ctx) {
    BertStats& stats = g_BertStats;
    if (ctx.bInSync) ++stats.i64SRxBlockCount;
    if (state.uBlockErrors != 0) {
        ++stats.i64BlockErrorCount;
        if (ctx.bInSync) {
            ++stats.i64SBlockErrorCount;
            LogEvent(2, "+1 block errors\n\n");
            // Keys, the front end and the transmitter get a turn.
            g_csGlobal.Leave();
            g_csGlobal.Enter();
        }
    }
    state.uBlockBits -= ctx.uBlockLength;
}

// A piece without a single wrong bit: only the block ends matter, and of
// them only the first can close an errored block.
void CountCleanPiece(RxCheckState& state, const PassContext& ctx, uint32_t count) {
    const uint64_t bits = uint64_t{state.uBlockBits} + uint64_t{ctx.uBitsPerByte} * count;
    if (bits < ctx.uBlockLength) {
        state.uBlockBits = static_cast<uint32_t>(bits);
        return;
    }
    const uint64_t blocks = bits / ctx.uBlockLength;
    state.uBlockBits = ctx.uBlockLength + static_cast<uint32_t>(bits % ctx.uBlockLength);
    CountBlock(state, ctx);
    state.uBlockErrors = 0;
    if (ctx.bInSync) g_BertStats.i64SRxBlockCount += static_cast<int64_t>(blocks - 1);
}

// Byte by byte, with the wrong bits of each already known. Returns the
// (capped) errors of the piece.
uint64_t CountErroredPiece(RxCheckState& state, const PassContext& ctx, const uint8_t* errors,
                           uint32_t count) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t e = errors[i];
        if (ctx.bCapErrors) e = std::min(e, ctx.uBitsPerByte);
        sum += e;
        state.uBlockBits += ctx.uBitsPerByte;
        state.uBlockErrors += e;
        if (state.uBlockBits >= ctx.uBlockLength) {
            CountBlock(state, ctx);
            state.uBlockErrors = e >= 2 ? state.uBlockBits : 0;
        }
    }
    return sum;
}

void TrackInStepRun(RxCheckState& state, const uint8_t* errors, uint32_t count, bool clean) {
    if (clean) {
        state.uInStepRun =
            count > UINT32_MAX - state.uInStepRun ? UINT32_MAX : state.uInStepRun + count;
        return;
    }
    uint32_t run = 0;
    while (run < count && errors[count - 1 - run] == 0) ++run;
    state.uInStepRun = run;
}

// The complement of a piece, for a line whose inversion the program undoes.
const uint8_t* Complemented(const uint8_t* data, uint32_t count) {
    thread_local uint8_t inverted[kPiece];
    for (uint32_t i = 0; i < count; ++i) inverted[i] = static_cast<uint8_t>(~data[i]);
    return inverted;
}

// Of a piece checked in sync, the errors up to the byte at which the checker
// ran off its reference (a slip, a long burst, a far end that jumped in the
// pattern): the bytes after it were checked hunting, whose eights are no
// errors of the line in sync. The pass declares the loss once it is done.
uint64_t InSyncShare(const uint8_t* errors, uint32_t count, uint32_t countBefore,
                     uint32_t countAfter, uint64_t sum) {
    const uint32_t type = g_Settings.uPatternType;
    if (g_Settings.bMultiDrop || !IsPrbsType(type)) return sum;
    const uint32_t limit = kPrbsParams[type].registerBits;
    if (countAfter <= limit) return sum;
    if (countBefore > limit) return 0;
    uint64_t share = 0;
    uint32_t run = countBefore;
    for (uint32_t i = 0; i < count && run <= limit; ++i) {
        run = errors[i] != 0 ? run + 1 : 0;
        share += errors[i];
    }
    return share;
}

uint64_t CheckPiece(const uint8_t* data, uint32_t count, RxCheckState& state,
                    const PassContext& ctx) {
    uint8_t errors[kPiece];
    if (state.bSoftwareInvert) data = Complemented(data, count);
    const uint32_t countBefore = state.uMismatchCount;
    uint64_t sum = CheckPatternBlock(data, count, state.uMismatchCount, state.bWrongBits, errors);
    TrackInStepRun(state, errors, count, sum == 0);
    // Block lengths below a byte's worth of bits complete a block per byte,
    // which only the byte-by-byte count does.
    if (sum == 0 && ctx.uBlockLength >= ctx.uBitsPerByte)
        CountCleanPiece(state, ctx, count);
    else
        sum = CountErroredPiece(state, ctx, errors, count);
    BertStats& stats = g_BertStats;
    stats.BitErrorCount += static_cast<int64_t>(sum);
    if (!ctx.bInSync || sum == 0) return 0;
    const uint64_t inSync = InSyncShare(errors, count, countBefore, state.uMismatchCount, sum);
    stats.i64SBitErrorCount += static_cast<int64_t>(inSync);
    return inSync;
}

}  // namespace

void CountReceivedChars(uint32_t n, uint32_t m) {
    BertStats& stats = g_BertStats;
    const int64_t bitsPerChar = g_uBitsPerChar;
    stats.i64RxByteCount += n;
    stats.i64RxBitCount = stats.i64RxByteCount * bitsPerChar;
    stats.i64CheckedCharCount += m;
    if (g_bInSync) {
        stats.i64SRxByteCount += n;
        stats.i64SRxBitCount = stats.i64SRxByteCount * bitsPerChar;
    }
}

uint64_t CheckReceivedData(const uint8_t* data, uint32_t m, RxCheckState& state) {
    const PassContext ctx = MakeContext();
    uint64_t inSyncErrors = 0;
    for (uint32_t done = 0; done < m && !g_bRxStop.load(std::memory_order_relaxed);) {
        const uint32_t count = std::min(kPiece, m - done);
        inSyncErrors += CheckPiece(data + done, count, state, ctx);
        done += count;
    }
    return inSyncErrors;
}
