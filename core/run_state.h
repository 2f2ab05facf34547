// The run state every thread shares: stop and running flags, key requests,
// the status code, the one lock, the transmit events and the time base.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/event.h"
#include "platform/sync.h"

constexpr uint32_t STATUS_OK = 0;
constexpr uint32_t STATUS_BAD_PARAMETERS = 1;
constexpr uint32_t STATUS_TX_THREAD_FAILED = 2;
constexpr uint32_t STATUS_THREAD_FAILED = 3;
constexpr uint32_t STATUS_OPEN_FAILED = 4;
// -g and no front end listening at the pipe.
constexpr uint32_t STATUS_NO_FRONT_END = 5;
constexpr uint32_t STATUS_UNSUPPORTED_RATE = 6;
constexpr uint32_t STATUS_UNSUPPORTED_MODE = 7;
constexpr uint32_t STATUS_HW_MODE_UNSUPPORTED = 8;
// The test started but could not go on: the card went away, or it refused a
// transmit or a statistics read. The figures then do not describe the line.
constexpr uint32_t STATUS_CARD_REMOVED = 9;
constexpr uint32_t STATUS_LINK_FAILED = 10;

extern std::atomic<bool> g_bQuit;
extern std::atomic<uint32_t> dwStatus;
extern std::atomic<bool> g_bRxStop;
extern std::atomic<bool> g_bTxStop;
extern std::atomic<bool> g_bModbusStop;
extern std::atomic<bool> g_bModbusRunning;
extern std::atomic<bool> g_bStatsUpdateStop;
extern std::atomic<bool> g_bStatsUpdateRunning;
extern std::atomic<bool> g_bRTDStop;
extern std::atomic<bool> g_bRTDRunning;
extern std::atomic<uint32_t> g_uInjectErrors;
extern std::atomic<bool> g_bCapture;
extern std::atomic<bool> g_bGuiEndAck;

// Companions of the single-link statistics record.
extern std::atomic<bool> g_bInSync;
extern std::atomic<bool> g_bFirstSyncPending;
extern std::atomic<bool> g_bResetStatsPending;
extern std::atomic<bool> g_bShowStatsNow;
// The single link lost sync or signal after its first sync; a statistics
// reset does not clear it, since the verdict of the run rests on it.
extern std::atomic<bool> g_bSyncLostInRun;

extern platform::CriticalSection g_csGlobal;

// The capture file (+c), opened by the main flow before the threads start;
// null when none was given or it could not be opened (the key c can still
// switch g_bCapture on, so writers check both).
extern FILE* g_pCaptureFile;

// Performance-counter ticks per millisecond, fixed once before threads start.
extern int64_t g_i64PerfTicksPerMs;

// Transmit events, created by the main flow.
extern platform::Event* g_hTxEvent;
extern platform::Event* g_hTxDoneEvent;

int64_t GetTicks();
// Microseconds between two counter values: multiply first, 64-bit.
int64_t TicksToUsecs(int64_t tickDifference);
void RequestStatsReset();
// Ends the test from a worker thread as the key x would.
void PushQuitKey();
// Ends the running test from any thread: g_bQuit for the threads that poll
// it, and the quit key that wakes the main flow, which then stops the
// workers. haltWorkers: the port is gone, so the workers stop at once as
// well instead of waiting for the main flow.
void RequestStop(bool haltWorkers = false);
// Ends the running test from inside a worker's loop: failure, unless STATUS_OK
// (the test met an end of its own), is noted as NoteRequestFailure notes it;
// ownStop ends the worker's loop and g_bQuit tells the threads that poll it.
// The main flow is woken by the quit key the worker pushes as it ends, so
// that it stops the others only once the worker's last figures are out.
// True as NoteRequestFailure.
bool RequestWorkerStop(std::atomic<bool>& ownStop, uint32_t failure = STATUS_OK);
// Records why a running test could not go on, unless an earlier cause was
// recorded already (the first failure is the one that explains the rest).
void NoteRunFailure(uint32_t status);
// The card under test is gone: that is the run's status from now on, since it
// is why whatever follows fails. True only the first time, so that the one
// who learns of it first prints kCardRemovedMessage.
bool NoteCardRemoved();
// A request that failed during the test: a removal when the driver's last
// error says so (requests can fail before the removal notice comes, and the
// test may be over by then), else the given failure. True as NoteCardRemoved.
bool NoteRequestFailure(uint32_t failure);

// Exit codes of tests that ran on a working card but did not measure the line
// throughout: the pattern (or the frames) came and then went, or never came.
// A multi-drop master takes the worst over its slaves; the order of all codes
// is 2..6 above 8 above 7 above 0 above 1.
constexpr int kExitLostSync = 7;
constexpr int kExitNeverInSync = 8;
enum class SyncOutcome : int { kHeld = 0, kLost = 1, kNeverFound = 2 };
// Keeps the worse of what was noted and outcome.
void NoteSyncOutcome(SyncOutcome outcome);
SyncOutcome TestSyncOutcome();
// The exit code for a test whose card worked: 8, 7, else the bit-error code.
int SyncExitCode(int bitErrorCode);
constexpr const char kCardRemovedMessage[] = "ERROR: The card was removed during the test\n";
