#include "pattern/prbs_replay.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// Room after the period so that any position can be read this far without
// wrapping; it is filled by simply running the sequence on.
constexpr uint32_t kSlack = 8192;
// Every this many bytes the register window is noted, so that a position can
// be found from any window within that many steps.
constexpr uint32_t kCheckpointSpacing = 64;

struct ReplayTable {
    uint32_t period = 0;
    uint32_t windowMask = 0;
    uint8_t (*step)(ScramState&) = nullptr;
    std::vector<uint8_t> bytes;         // period + kSlack bytes from register 1
    std::vector<uint64_t> checkpoints;  // window << 32 | position, sorted
};

ReplayTable g_tables[kPrbsKindCount];
std::once_flag g_tableBuilt[kPrbsKindCount];

// Where each generator index was left by the last replay, so that the next
// one does not have to search for its position.
struct Cursor {
    uint32_t dwRegister;
    uint32_t uPosition;
    int iKindPlusOne;  // 0: nothing noted
};
Cursor g_aCursor[kScramCount];

template <class Steps>
void BuildTable(ReplayTable& table) {
    table.period = Steps::kPeriod;
    table.windowMask = Steps::kWindowMask;
    table.step = &Steps::Generate;
    table.bytes.resize(size_t{table.period} + kSlack);
    table.checkpoints.reserve(table.period / kCheckpointSpacing + 1);
    ScramState state{1, 0, 0};
    for (uint32_t i = 0; i < table.bytes.size(); ++i) {
        if (i < table.period && i % kCheckpointSpacing == 0)
            table.checkpoints.push_back(uint64_t{state.dwRegister & table.windowMask} << 32 | i);
        table.bytes[i] = Steps::Generate(state);
    }
    std::sort(table.checkpoints.begin(), table.checkpoints.end());
}

const ReplayTable& TableFor(PrbsKind kind) {
    const int k = static_cast<int>(kind);
    std::call_once(g_tableBuilt[k], [&] {
        WithPrbsSteps(kind, [&](auto steps) { BuildTable<decltype(steps)>(g_tables[k]); });
    });
    return g_tables[k];
}

// Steps a copy of the window forward until it meets a noted one. Every
// non-zero window lies on the sequence, so this ends within the spacing.
uint32_t FindPosition(const ReplayTable& table, uint32_t window) {
    ScramState state{window, 0, 0};
    for (uint32_t steps = 0; steps <= table.period; ++steps) {
        const uint64_t key = uint64_t{state.dwRegister & table.windowMask} << 32;
        auto it = std::lower_bound(table.checkpoints.begin(), table.checkpoints.end(), key);
        if (it != table.checkpoints.end() && (*it >> 32) == (key >> 32)) {
            const uint32_t noted = static_cast<uint32_t>(*it);
            return static_cast<uint32_t>((uint64_t{noted} + table.period - steps % table.period) %
                                         table.period);
        }
        table.step(state);
    }
    return 0;  // not reached for a maximal-length sequence
}

bool Replayable(PrbsKind kind, int index) {
    if (kind == PrbsKind::kNone || !ScramIndexValid(index)) return false;
    const ScramState& state = g_aScram[index];
    return state.wMask == 0 && (state.dwRegister & TableFor(kind).windowMask) != 0;
}

uint32_t PositionOf(PrbsKind kind, const ReplayTable& table, int index) {
    const Cursor& cursor = g_aCursor[index];
    const uint32_t reg = g_aScram[index].dwRegister;
    if (cursor.iKindPlusOne == static_cast<int>(kind) + 1 && cursor.dwRegister == reg)
        return cursor.uPosition;
    return FindPosition(table, reg & table.windowMask);
}

// Leaves the generator as count steps from start would: its register holds
// the last (up to four) bytes it made.
void Advance(PrbsKind kind, const ReplayTable& table, int index, uint32_t start, uint32_t count) {
    uint32_t reg = g_aScram[index].dwRegister;
    const uint32_t first = count > 4 ? count - 4 : 0;
    for (uint32_t i = first; i < count; ++i)
        reg = (reg << 8) | table.bytes[(uint64_t{start} + i) % table.period];
    const uint32_t end = static_cast<uint32_t>((uint64_t{start} + count) % table.period);
    g_aScram[index].dwRegister = reg;
    g_aCursor[index] = Cursor{reg, end, static_cast<int>(kind) + 1};
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t FirstDifferentByte(uint64_t difference) {
    if constexpr (std::endian::native == std::endian::little)
        return std::countr_zero(difference) / 8;
    else
        return std::countl_zero(difference) / 8;
}

// Number of leading bytes in which a and b agree.
uint32_t MatchingPrefix(const uint8_t* a, const uint8_t* b, uint32_t n) {
    uint32_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const uint64_t d =
            (Load64(a + i) ^ Load64(b + i)) | (Load64(a + i + 8) ^ Load64(b + i + 8)) |
            (Load64(a + i + 16) ^ Load64(b + i + 16)) | (Load64(a + i + 24) ^ Load64(b + i + 24));
        if (d) break;
    }
    for (; i + 8 <= n; i += 8) {
        const uint64_t d = Load64(a + i) ^ Load64(b + i);
        if (d) return i + FirstDifferentByte(d);
    }
    for (; i < n; ++i)
        if (a[i] != b[i]) return i;
    return n;
}

}  // namespace

void PrepareReplay(PrbsKind kind) {
    if (kind != PrbsKind::kNone) TableFor(kind);
}

bool ReplayFill(PrbsKind kind, int index, uint8_t* out, uint32_t length) {
    if (!Replayable(kind, index)) return false;
    const ReplayTable& table = TableFor(kind);
    const uint32_t start = PositionOf(kind, table, index);
    uint32_t pos = start;
    for (uint32_t done = 0; done < length;) {
        const uint32_t chunk = std::min(length - done, kSlack);
        memcpy(out + done, table.bytes.data() + pos, chunk);
        done += chunk;
        pos = (pos + chunk) % table.period;
    }
    Advance(kind, table, index, start, length);
    return true;
}

bool ReplayCheckInSync(PrbsKind kind, int index, const uint8_t* data, uint32_t length,
                       uint32_t& mismatchCount, uint32_t mismatchLimit, uint8_t& wrongBits,
                       uint8_t* errors, uint64_t& errorSum, uint32_t& processed) {
    if (!Replayable(kind, index)) return false;
    const ReplayTable& table = TableFor(kind);
    const uint8_t* expected = table.bytes.data();
    const uint32_t start = PositionOf(kind, table, index);
    uint32_t pos = start;
    uint32_t i = 0;
    while (i < length && mismatchCount <= mismatchLimit) {
        const uint32_t same =
            MatchingPrefix(data + i, expected + pos, std::min(length - i, kSlack));
        if (same) {
            memset(errors + i, 0, same);
            mismatchCount = 0;
            i += same;
            pos = (pos + same) % table.period;
            continue;
        }
        const uint8_t wrong = data[i] ^ expected[pos];
        ++mismatchCount;
        wrongBits = wrong;
        errors[i] = kBitsInByte.count[wrong];
        errorSum += errors[i];
        ++i;
        pos = (pos + 1) % table.period;
    }
    Advance(kind, table, index, start, i);
    processed = i;
    return true;
}
