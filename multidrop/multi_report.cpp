// The per-slave report of the multi-drop master, every 500 ms of test time
// and at the end; the front end gets only the values that changed.
#include <cinttypes>
#include <mutex>

#include "core/run_state.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "multidrop/slave_table.h"
#include "pattern/pattern.h"
#include "stats/measures.h"
#include "stats/stats_update.h"

namespace {

enum LastSent {
    kLos,
    kElapsed,
    kRxBits,
    kRxBlocks,
    kBitErr,
    kBlockErr,
    kLosCount,
    kSyncCount,
    kEs,
    kSes,
    kAvail
};

void SendIfChanged(SlaveStats& slave, int id, LastSent which, uint16_t tag, int64_t value) {
    if (slave.aLastSent[which] == value) return;
    slave.aLastSent[which] = value;
    GuiSendSlave64(tag, uint8_t(id), value);
}

void SendChanges(SlaveStats& slave, int id) {
    const BertStats& st = slave.Stats;
    SendIfChanged(slave, id, kElapsed, ZVBERT_SLAVE_ELAPSED_USECS, st.i64SlaveElapsedUsecs);
    SendIfChanged(slave, id, kRxBits, ZVBERT_SLAVE_RX_BITS, st.i64SRxBitCount);
    SendIfChanged(slave, id, kRxBlocks, ZVBERT_SLAVE_RX_BLOCKS, st.i64SRxBlockCount);
    if (slave.bSlaveFirstSyncPending) return;
    SendIfChanged(slave, id, kBitErr, ZVBERT_SLAVE_BIT_ERRORS, st.i64SBitErrorCount);
    SendIfChanged(slave, id, kBlockErr, ZVBERT_SLAVE_BLOCK_ERRORS, st.i64SBlockErrorCount);
    SendIfChanged(slave, id, kLosCount, ZVBERT_SLAVE_LOS_COUNT, st.i64LosCount);
    SendIfChanged(slave, id, kSyncCount, ZVBERT_SLAVE_SYNC_COUNT, st.i64SyncCount);
    if (!slave.bSecondEvaluated) return;
    SendIfChanged(slave, id, kEs, ZVBERT_SLAVE_ES, st.i64ErroredSecCount);
    SendIfChanged(slave, id, kSes, ZVBERT_SLAVE_SES, st.i64SeverlyErroredSecCount);
    SendIfChanged(slave, id, kAvail, ZVBERT_SLAVE_AS, st.i64AvailableUsecs);
    slave.bSecondEvaluated = false;
}

struct SlaveFigures {
    double duration = 0;
    int64_t rate = 0;
    double ber = 0;
    int64_t as = 0;
    double esr = 0, sesr = 0, asr = 0, losr = 0;
};

SlaveFigures Figures(const BertStats& st) {
    SlaveFigures f;
    f.duration = double(st.i64SlaveElapsedUsecs) / 1e6;
    f.rate =
        st.i64SlaveElapsedUsecs == 0 ? 0 : st.i64RxBitCount * 1000000 / st.i64SlaveElapsedUsecs;
    // Over what arrived in sync, however short of a pattern length: a long
    // pattern (QRSS) would otherwise show 0.00 with bit errors counted.
    f.ber = st.i64SRxBitCount == 0
                ? 0.0
                : double(st.i64SBitErrorCount) * 100.0 / double(st.i64SRxBitCount);
    f.as = st.i64AvailableUsecs / 1000000;
    const int64_t losSecs = st.i64LosUsecs / 1000000;
    const int64_t t = losSecs + st.i64ErroredSecCount + f.as;
    // Defined once any whole second is known, answered or not: a slave that
    // stopped answering has its loss-of-sync seconds before it has others.
    if (t == 0) return f;
    f.esr = double(st.i64ErroredSecCount) * 100.0 / double(t);
    f.sesr = double(st.i64SeverlyErroredSecCount) * 100.0 / double(t);
    f.asr = double(f.as) * 100.0 / double(t);
    f.losr = double(losSecs * 100 / t);
    return f;
}

void PrintSlave(int id, const BertStats& st) {
    const SlaveFigures f = Figures(st);
    LogEvent(2,
             "Slave=%d Duration=%.3f Tx=%" PRId64 " Rx=%" PRId64 " Block=%" PRId64 " Rate=%" PRId64
             " BitErr=%" PRId64 " BlockErr=%" PRId64 " ES(US)=%" PRId64 " SES=%" PRId64
             " AS=%" PRId64 " es=%" PRId64 " ses=%" PRId64
             " BER=%.2f ESR=%.2f SESR=%.2f ASR=%.2f LOS=%" PRId64 " SYNC=%" PRId64 " LOSR=%.2f\n",
             id, f.duration, st.i64TxBitCount, st.i64SRxBitCount, st.i64SRxBlockCount, f.rate,
             st.i64SBitErrorCount, st.i64SBlockErrorCount, st.i64ErroredSecCount,
             st.i64SeverlyErroredSecCount, f.as, st.i64ErrorInSampleCount,
             st.i64SErrorInSampleCount, f.ber, f.esr, f.sesr, f.asr, st.i64LosCount,
             st.i64SyncCount, f.losr);
    LogPrint(2,
             "SlaveId %d, ElapsedUsecs %" PRId64 ", Tx %" PRId64 ", SRxBit %" PRId64
             ", SRxBlock %" PRId64 ", RxRate %" PRId64 "\n",
             id, st.i64SlaveElapsedUsecs, st.i64TxBitCount, st.i64SRxBitCount, st.i64SRxBlockCount,
             f.rate);
    LogPrint(2,
             "SlaveId %d, BitErr %" PRId64 ", BlockErr %" PRId64 ", ES(US) %" PRId64
             ", SES %" PRId64 ", AS %" PRId64 ", es %" PRId64 ", ses %" PRId64 "\n",
             id, st.i64SBitErrorCount, st.i64SBlockErrorCount, st.i64ErroredSecCount,
             st.i64SeverlyErroredSecCount, f.as, st.i64ErrorInSampleCount,
             st.i64SErrorInSampleCount);
    LogPrint(2,
             "SlaveId %d, BER %.2f, ESR %.2f, SESR %.2f, ASR %.2f, ->LOS %" PRId64
             ", ->SYNC %" PRId64 ", ->LOSR %.2f\n",
             id, f.ber, f.esr, f.sesr, f.asr, st.i64LosCount, st.i64SyncCount, f.losr);
}

}  // namespace

void OutputMultiStats() {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    GuiSendSlave64(ZVBERT_SLAVE_ELAPSED_USECS, 0, g_i64MainElapsedUsecs);
    for (int id = kFirstSlaveId; id <= kLastSlaveId; ++id) {
        SlaveStats& slave = g_aSlaveStats[id];
        if (!slave.bPoll) continue;
        SendIfChanged(slave, id, kLos, ZVBERT_SLAVE_LOS_USECS, slave.Stats.i64LosUsecs);
        if (slave.Stats.i64SlaveElapsedUsecs == 0) {
            LogPrint(3, "SlaveId %d, stats->i64SlaveElapsedUsecs %" PRId64 "\n", id,
                     slave.Stats.i64SlaveElapsedUsecs);
            continue;
        }
        SendChanges(slave, id);
        PrintSlave(id, slave.Stats);
    }
}
