// What the master does with one poll's reply: the bit and block counting of
// the echoed data and the sync and seconds evaluation of the poll.
#include <cinttypes>
#include <mutex>
#include <utility>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "multidrop/slave_table.h"
#include "pattern/pattern.h"
#include "pattern/pattern_check.h"
#include "pattern/prbs.h"

void ClearSlaveFigures(int id);

namespace {

constexpr int64_t kUsecsPerSec = 1000000;

// Bits the block counter advances by per byte, and the most errors a byte
// can carry: the FOX text counts characters, the others whole bytes.
uint32_t BitsPerCheckedByte() {
    return g_Settings.uPatternType == PATTERN_FOX ? g_uBitsPerChar : 8;
}

// The wrong bits of m at positions from..7 (counted from the least significant).
int64_t BitsFrom(uint8_t m, uint32_t from) {
    return from >= 8 ? 0 : CountBits(uint32_t(m) >> from);
}

void EndBlock(SlaveStats& slave, int id, uint8_t wrongBits, int64_t& r, uint32_t blockLength) {
    BertStats& st = slave.Stats;
    r -= blockLength;
    const uint32_t split = uint32_t(r);
    const int64_t oldBits = BitsFrom(wrongBits, split);
    const int64_t newBits = CountBits(wrongBits) - oldBits;
    st.BadBitsInCurrentBlock += oldBits;
    LogPrint(2, "SlaveId %d, oldBlockBitErrors %d\n", id, int(oldBits));
    if (st.BadBitsInCurrentBlock != 0) {
        ++st.i64BlockErrorCount;
        LogPrint(2, "SlaveId %d, i64BlockErrorCount %" PRId64 "\n", id, st.i64BlockErrorCount);
        LogEvent(2, "SlaveId %d, +1 block error\n", id);
        if (slave.bSlaveInSync) {
            ++st.i64SBlockErrorCount;
            LogPrint(2, "SlaveId %d, i64SBlockErrorCount %" PRId64 "\n", id,
                     st.i64SBlockErrorCount);
        }
        st.BadBitsInCurrentBlock = 0;
    }
    st.BadBitsInCurrentBlock += newBits;
    LogPrint(2, "SlaveId %d, newBlockBitErrors %d\n", id, int(newBits));
    if (slave.bSlaveInSync) ++st.i64SRxBlockCount;
}

// The first polled slave still waiting for its first sync, or 0.
int FirstSyncPendingSlave() {
    for (int other = kFirstSlaveId; other <= kLastSlaveId; ++other)
        if (g_aSlaveStats[other].bPoll && g_aSlaveStats[other].bSlaveFirstSyncPending) return other;
    return 0;
}

void FirstSync(SlaveStats& slave, int id) {
    slave.bSlaveFirstSyncPending = false;
    LogPrint(2, "SlaveId %d, First Sync\n", id);
    LogEvent(2, "SlaveId %d, First Sync\n", id);
    const int pending = FirstSyncPendingSlave();
    // A slave added once the test time runs starts its own figures; the
    // others' must not be wiped nor the test time restarted.
    if (pending != 0 || !g_bFirstSyncPending) {
        if (pending != 0) LogPrint(4, "SlaveId %d, not sync'd yet\n", pending);
        LogPrint(2, "SlaveId %d, First Sync, Resetting Stats\n", id);
        ClearSlaveFigures(id);
        return;
    }
    EndFirstSyncWaitIfAllSynced();
}

void Classify(SlaveStats& slave, int id, int64_t p) {
    BertStats& st = slave.Stats;
    if (p >= 50) {
        if (!slave.bSlaveInSync) return;
        LogPrint(2, "SlaveId %d, LOS\n", id);
        LogEvent(1, "SlaveId %d, LOS\n", id);
        ++st.i64LosCount;
        if (!slave.bSlaveFirstSyncPending) slave.bLostAfterSync = true;
        slave.bSlaveInSync = false;
        GuiSend2(ZVBERT_MULTIDROP_SYNC, uint8_t(id), 0);
    } else if (p <= 10) {
        // A return to sync is counted once, when it happens, not at every
        // clean poll after it.
        if (slave.bSlaveInSync) return;
        slave.bSlaveInSync = true;
        // What the block holds so far was checked while hunting: the block
        // goes on with the in-sync bits only, as a fresh one.
        st.BadBitsInCurrentBlock = 0;
        LoadScramFromRx(slave.rxscram);
        GuiSend2(ZVBERT_MULTIDROP_SYNC, uint8_t(id), 1);
        if (slave.bSlaveFirstSyncPending) {
            FirstSync(slave, id);
        } else {
            LogPrint(2, "SlaveId %d, In Sync\n", id);
            LogEvent(2, "SlaveId %d, In Sync\n", id);
            ++st.i64SyncCount;
        }
    } else if (p >= 30 && slave.bSlaveInSync) {
        ++st.i64SErrorInSampleCount;
        LogPrint(1, "SlaveId %d, increment i64SErrorInSampleCount %" PRId64 "\n", id,
                 st.i64SErrorInSampleCount);
    }
}

void EvaluateSecond(SlaveStats& slave, int id) {
    BertStats& st = slave.Stats;
    const int64_t gained = st.i64SlaveElapsedUsecs - st.i64PrevSlaveElapsedUsecs;
    if (gained < kUsecsPerSec) return;
    if (st.i64ErrorInSampleCount > 0) {
        ++st.i64ErroredSecCount;
        LogPrint(2, "SlaveId %d, i64ErroredSecCount %" PRId64 "\n", id, st.i64ErroredSecCount);
    }
    if (st.i64SErrorInSampleCount > 0) {
        ++st.i64SeverlyErroredSecCount;
        LogPrint(2, "SlaveId %d, i64SeverlyErroredSecCount %" PRId64 "\n", id,
                 st.i64SeverlyErroredSecCount);
    }
    if (st.i64ErrorInSampleCount == 0 && st.i64SErrorInSampleCount == 0)
        st.i64AvailableUsecs += gained;
    st.PrevBitErrorCount = st.BitErrorCount;
    st.i64PrevCheckedCharCount = st.i64CheckedCharCount;
    st.i64ErrorInSampleCount = st.i64SErrorInSampleCount = 0;
    st.i64PrevSlaveElapsedUsecs = st.i64SlaveElapsedUsecs;
    slave.bSecondEvaluated = true;
}

}  // namespace

void EndFirstSyncWaitIfAllSynced() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    if (!g_bFirstSyncPending || FirstSyncPendingSlave() != 0) return;
    bool anySynced = false;
    for (int id = kFirstSlaveId; id <= kLastSlaveId; ++id)
        anySynced =
            anySynced || (g_aSlaveStats[id].bPoll && !g_aSlaveStats[id].bSlaveFirstSyncPending);
    if (!anySynced) return;
    LogPrint(2, "All slaves now in Sync\n");
    LogEvent(2, "All Slaves Now Sync'd\n");
    ResetMultiStats();
    OutputMultiStats();
    g_bFirstSyncPending = false;
    GuiSend2(ZVBERT_MULTIDROP_SYNC, 0, 1);
}

void CheckSlaveData(const uint8_t* data, uint32_t length) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    const int id = g_iCurrentSlaveId;
    SlaveStats& slave = g_aSlaveStats[id];
    BertStats& st = slave.Stats;
    slave.i64SBitErrorsBeforePoll = st.i64SBitErrorCount;
    // The checker's fixed-pattern state is the polled slave's own while its
    // echo is checked.
    std::swap(g_FixedCheck, slave.fixedCheck);
    const uint32_t blockLength = g_PatternSelection.uPatternLengthBits;
    const uint32_t step = BitsPerCheckedByte();
    int64_t r = blockLength == 0 ? 0 : st.i64RxBitCount % blockLength;
    st.i64RxBitCount = st.i64RxByteCount * g_uBitsPerChar;
    st.i64CheckedCharCount += length;
    uint32_t mismatches = 0;
    for (uint32_t i = 0; i < length && !g_bModbusStop; ++i) {
        uint8_t wrongBits = 0;
        uint32_t e = CheckPatternByte(data[i], mismatches, wrongBits);
        if (e > step) e = step;
        r += step;
        if (e > 0) LogPrint(2, "SlaveId %d, dwBitErrors %u\n", id, e);
        if (blockLength != 0 && r > int64_t{blockLength}) {
            EndBlock(slave, id, e > 0 ? wrongBits : 0, r, blockLength);
        } else if (e > 0) {
            LogPrint(2, "SlaveId %d, BadBitsInCurrentBlock %" PRId64 "\n", id,
                     st.BadBitsInCurrentBlock);
            st.BadBitsInCurrentBlock += e;
        }
        if (e > 0) {
            st.BitErrorCount += e;
            LogPrint(2, "SlaveId %d, +%u bit errors\n", id, e);
            LogEvent(2, "SlaveId %d, +%u bit errors\n", id, e);
            if (slave.bSlaveInSync) st.i64SBitErrorCount += e;
        }
    }
    std::swap(g_FixedCheck, slave.fixedCheck);
}

void EvaluateSlavePoll(uint32_t length, int64_t pollUsecs) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    const int id = g_iCurrentSlaveId;
    SlaveStats& slave = g_aSlaveStats[id];
    BertStats& st = slave.Stats;
    if (length == 0) {
        st.i64NoDataUsecs += pollUsecs;
    } else {
        if (st.i64CheckedCharCount == 0) return;
        st.i64SlaveElapsedUsecs += pollUsecs;
        LogPrint(3, "SlaveId %d, ElapsedUsecs %" PRId64 "\n", id, st.i64SlaveElapsedUsecs);
        const int64_t e = st.BitErrorCount - st.PrevBitErrorCount;
        const int64_t n = (st.i64CheckedCharCount - st.i64PrevCheckedCharCount) * g_uBitsPerChar;
        // Nothing checked since the last evaluated second: no evidence either way.
        const int64_t p = n == 0 ? 0 : e * 100 / n;
        LogPrint(3,
                 "SlaveId %d, Bit Errors %" PRId64 ", BitErrorCount %" PRId64
                 ", PrevBitErrorCount %" PRId64 "\n",
                 id, e, st.BitErrorCount, st.PrevBitErrorCount);
        LogPrint(3, "SlaveId %d, 8bitCount %" PRId64 ", Prev8bitCount %" PRId64 "\n", id,
                 st.i64CheckedCharCount, st.i64PrevCheckedCharCount);
        LogPrint(3, "SlaveId %d, BER is %d\n", id, int(p));
        // A sample is errored by the errors of its own poll: the second's
        // count would make every later poll of the second errored too.
        const int64_t pollErrors = st.i64SBitErrorCount - slave.i64SBitErrorsBeforePoll;
        if (slave.bSlaveInSync && pollErrors > 0) {
            ++st.i64ErrorInSampleCount;
            LogPrint(1, "i64ErrorInSampleCount, now %" PRId64 "\n", st.i64ErrorInSampleCount);
        }
        Classify(slave, id, p);
    }
    if (!slave.bSlaveInSync) {
        st.i64LosUsecs += pollUsecs;
        LogPrint(3, "SlaveId %d, adding %" PRId64 " to LOS, now %" PRId64 "\n", id, pollUsecs,
                 st.i64LosUsecs);
    }
    EvaluateSecond(slave, id);
}
