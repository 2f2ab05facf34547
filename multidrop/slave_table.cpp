#include "multidrop/slave_table.h"

#include <cinttypes>
#include <cstdint>
#include <mutex>

#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "pattern/pattern_check.h"
#include "pattern/prbs.h"
#include "stats/stats_update.h"

SlaveStats g_aSlaveStats[kSlaveTableSize];
int32_t g_iNextScramIndex = 0;
int64_t g_i64TxInvertPeriodSecs = 2;
bool g_bTxAutoInvert = false;

namespace {

constexpr int32_t kInitialRxInvertSecs = 2;
constexpr int32_t kRs485RxInvertSecs = 4;

// The checker's view of the slave being polled.
SlaveCheckView ViewOfSlave(int32_t slaveId) {
    SlaveCheckView view;
    if (slaveId >= kFirstSlaveId && slaveId <= kLastSlaveId) {
        view.bSlaveInSync = g_aSlaveStats[slaveId].bSlaveInSync;
        view.iRxScram = g_aSlaveStats[slaveId].rxscram;
    }
    return view;
}

void AllocateGenerators(SlaveStats& slave) {
    SeedScram(g_iNextScramIndex, 1, 0);
    slave.txscram = g_iNextScramIndex++;
    SeedScram(g_iNextScramIndex, 1, 0);
    slave.rxscram = g_iNextScramIndex++;
}

// After a reset every figure is sent again: a value back at 0 would
// otherwise match a last-sent copy of 0 and the front end keep the old one.
void ClearFigures(SlaveStats& slave) {
    slave.Stats = BertStats{};
    slave.i64SBitErrorsBeforePoll = 0;
    for (int64_t& value : slave.aLastSent) value = INT64_MIN;
}

}  // namespace

uint32_t CountPolledSlaves() {
    uint32_t count = 0;
    for (const SlaveStats& slave : g_aSlaveStats)
        if (slave.bPoll) ++count;
    return count;
}

void ResetSlaveTable() {
    for (SlaveStats& slave : g_aSlaveStats) slave = SlaveStats();
    g_iNextScramIndex = 0;
}

void PrepareSlaves() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    for (int id = kFirstSlaveId; id <= kLastSlaveId; ++id) {
        SlaveStats& slave = g_aSlaveStats[id];
        if (!slave.bPoll) continue;
        AllocateGenerators(slave);
        slave.bSlaveFirstSyncPending = true;
        slave.bActive = false;
        slave.bCountsForExit = true;
        slave.iRxInvertPeriodSecs = kInitialRxInvertSecs;
        slave.Stats.i64RxInvertUsecs = 0;
    }
    SeedRxScram(1, 0);
    g_pfnSlaveCheckView = ViewOfSlave;
}

void ScheduleSlaveInversion() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    const TestSettings& s = g_Settings;
    const int id = g_iCurrentSlaveId;
    SlaveStats& slave = g_aSlaveStats[id];
    if (!slave.bSlaveFirstSyncPending || s.uPatternType == PATTERN_1_1 ||
        s.uEncoding != ENCODING_MAN)
        return;
    BertStats& st = slave.Stats;
    const int64_t t = st.i64SlaveElapsedUsecs + st.i64NoDataUsecs;
    if ((t - st.i64RxInvertUsecs) / 1000000 >= slave.iRxInvertPeriodSecs) {
        if (s.bAutoInvert) {
            slave.bRxInvert = !slave.bRxInvert;
            LogPrint(4, "SlaveId %d, rx inversion status: %s\n", id,
                     slave.bRxInvert ? "inverted" : "normal");
            GuiSend3(ZVBERT_MULTIDROP_INVERSION, uint8_t(id), 6, slave.bRxInvert ? 2 : 1);
        }
        st.i64RxInvertUsecs = t;
        if (s.uInterface == INTERFACE_RS485_4W) slave.iRxInvertPeriodSecs = kRs485RxInvertSecs;
    }
    if ((t - st.i64TxInvertUsecs) / 1000000 >= g_i64TxInvertPeriodSecs) {
        if (g_bTxAutoInvert) {
            slave.bTxInvert = !slave.bTxInvert;
            LogPrint(4, "SlaveId %d, tx inversion status: %s\n", id,
                     slave.bTxInvert ? "inverted" : "normal");
            GuiSend3(ZVBERT_MULTIDROP_INVERSION, uint8_t(id), 5, slave.bTxInvert ? 2 : 1);
        }
        st.i64TxInvertUsecs = t;
    }
}

void UpdateSlaveList(int slaveId, bool poll) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    LogPrint(3, "UpdateSlaveList, slave %d, poll? %s\n", slaveId, poll ? "Yes" : "No");
    LogEvent(2, "SlaveId %d, Poll Slave? %s\n", slaveId, poll ? "Yes" : "No");
    uint32_t& selected = g_Settings.uSelectedSlaves;
    if (slaveId >= kFirstSlaveId && slaveId <= kLastSlaveId) {
        SlaveStats& slave = g_aSlaveStats[slaveId];
        if (poll && !slave.bPoll) {
            if (slave.rxscram == 0) {
                AllocateGenerators(slave);
                LogPrint(3, "UpdateSlaveList, new slave %d, txscram %d, rxscram %d\n", slaveId,
                         slave.txscram, slave.rxscram);
                slave.bSlaveFirstSyncPending = true;
                slave.bActive = false;
            }
            slave.bPoll = true;
            slave.bCountsForExit = true;
            ++selected;
            LogPrint(3, "UpdateSlaveList, POLL YES, PollSlaves now %d\n", int(selected));
        } else if (!poll && slave.bPoll) {
            slave.bPoll = false;
            slave.bActive = false;
            // Taken off by the user, not by the line.
            slave.bCountsForExit = false;
            --selected;
            LogPrint(3, "UpdateSlaveList, POLL NO PollSlaves now %d\n", int(selected));
            GuiSend2(ZVBERT_MULTIDROP_SLAVE_ACTIVE, uint8_t(slaveId), 0);
            EndFirstSyncWaitIfAllSynced();
        }
    }
    LogPrint(2, "active slaves is now %d\n", int(selected));
}

void ResetMultiStats() {
    LogPrint(2, "ResetMultiStats called\n");
    LogEvent(2, "Resetting Stats\n");
    RestartStatsUpdatePeriod();
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    for (int id = kFirstSlaveId; id <= kLastSlaveId; ++id)
        if (g_aSlaveStats[id].bPoll) ClearFigures(g_aSlaveStats[id]);
    for (SlaveStats& slave : g_aSlaveStats) slave.bSecondEvaluated = false;
}

void NoteSlavesSyncOutcome() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    for (const SlaveStats& slave : g_aSlaveStats) {
        if (!slave.bCountsForExit) continue;
        if (slave.bSlaveFirstSyncPending)
            NoteSyncOutcome(SyncOutcome::kNeverFound);
        else if (slave.bLostAfterSync)
            NoteSyncOutcome(SyncOutcome::kLost);
    }
}

int64_t MultiDropBitErrors() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    int64_t sum = 0;
    for (const SlaveStats& slave : g_aSlaveStats) sum += slave.Stats.i64SBitErrorCount;
    return sum;
}

// Used by the evaluation when a slave's first sync is the last one missing.
void ClearSlaveFigures(int id) { ClearFigures(g_aSlaveStats[id]); }
