// The slave table of the multi-drop test: one record per Modbus address
// 0..247 (0 is never polled) with the slave's link state, its generator
// states, inversion wishes and statistics.
//
// The Modbus thread updates a slave after every poll while the front end may
// add or remove slaves and reset the figures, and the ticker reports them:
// every reader and writer of the table holds g_csGlobal.
#pragma once

#include <cstdint>

#include "pattern/pattern_check.h"
#include "stats/bert_stats.h"

constexpr int kSlaveTableSize = 248;
constexpr int kFirstSlaveId = 1;
constexpr int kLastSlaveId = 247;
constexpr int kSlaveGuiValues = 11;

struct SlaveStats {
    bool bPoll = false;  // selected for polling by the master
    bool bActive = false;
    bool bSlaveInSync = false;
    bool bSlaveFirstSyncPending = false;
    int32_t txscram = 0;
    int32_t rxscram = 0;  // 0: no generator states yet
    uint32_t uPatternPos = 0;
    bool bTxInvert = false;
    bool bRxInvert = false;
    int32_t iRxInvertPeriodSecs = 0;
    bool bSecondEvaluated = false;
    // For the exit code: the slave was to be polled (and not taken off the
    // list from the front end), and it lost sync or was dropped after its
    // first sync.
    bool bCountsForExit = false;
    bool bLostAfterSync = false;
    // The fixed-pattern checker's hunt and position for this slave's echoes:
    // each slave's pattern runs on from where its last poll left it.
    FixedCheckState fixedCheck{};
    // Stats.i64SBitErrorCount before the current poll's data was checked.
    int64_t i64SBitErrorsBeforePoll = 0;
    BertStats Stats{};
    int64_t aLastSent[kSlaveGuiValues] = {};
};

extern SlaveStats g_aSlaveStats[kSlaveTableSize];
// The next free generator index; handed out in pairs, never returned.
extern int32_t g_iNextScramIndex;
// The transmit-inversion period and its automatic switch, set by the Modbus
// thread at its start.
extern int64_t g_i64TxInvertPeriodSecs;
extern bool g_bTxAutoInvert;

// Number of records whose poll flag is set.
uint32_t CountPolledSlaves();

// Clears every record (the command-line tests parse repeatedly).
void ResetSlaveTable();

// Before the first poll: generator pairs and first-sync state for every
// selected slave.
void PrepareSlaves();

void CheckSlaveData(const uint8_t* data, uint32_t length);
void EvaluateSlavePoll(uint32_t length, int64_t pollUsecs);
void ScheduleSlaveInversion();
void UpdateSlaveList(int slaveId, bool poll);
void ResetMultiStats();
void OutputMultiStats();

// When no slave still polled waits for its first sync, the test time starts
// (every polled slave's figures are cleared together). The first-sync wait
// ends so also when the last slave it waited for is dropped.
void EndFirstSyncWaitIfAllSynced();

// The worst sync outcome over the slaves that count for the exit code.
void NoteSlavesSyncOutcome();

// The bit errors counted in sync over every slave (the exit code's figure).
int64_t MultiDropBitErrors();
