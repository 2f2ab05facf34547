#include "core/run_state.h"

#include "platform/console.h"
#include "platform/last_error.h"

std::atomic<bool> g_bQuit{false};
std::atomic<uint32_t> dwStatus{STATUS_OK};
std::atomic<bool> g_bRxStop{false};
std::atomic<bool> g_bTxStop{false};
std::atomic<bool> g_bModbusStop{false};
std::atomic<bool> g_bModbusRunning{false};
std::atomic<bool> g_bStatsUpdateStop{false};
std::atomic<bool> g_bStatsUpdateRunning{false};
std::atomic<bool> g_bRTDStop{false};
std::atomic<bool> g_bRTDRunning{false};
std::atomic<uint32_t> g_uInjectErrors{0};
std::atomic<bool> g_bCapture{false};
std::atomic<bool> g_bGuiEndAck{false};
std::atomic<bool> g_bInSync{false};
std::atomic<bool> g_bFirstSyncPending{true};
std::atomic<bool> g_bSyncLostInRun{false};
std::atomic<bool> g_bResetStatsPending{false};
std::atomic<bool> g_bShowStatsNow{false};

platform::CriticalSection g_csGlobal;
FILE* g_pCaptureFile = nullptr;
int64_t g_i64PerfTicksPerMs = platform::PerfFrequency() / 1000;

platform::Event* g_hTxEvent = nullptr;
platform::Event* g_hTxDoneEvent = nullptr;

int64_t GetTicks() { return platform::PerfCounter(); }

int64_t TicksToUsecs(int64_t tickDifference) {
    // 128-bit product: a nanosecond counter times 1000 would pass 2^63 after
    // about 106 days of test.
    return static_cast<int64_t>(static_cast<__int128>(tickDifference) * 1000 / g_i64PerfTicksPerMs);
}

void RequestStatsReset() { g_bResetStatsPending = true; }

void PushQuitKey() { platform::PushKey('x'); }

void RequestStop(bool haltWorkers) {
    if (haltWorkers) {
        g_bRxStop = true;
        g_bTxStop = true;
        g_bModbusStop = true;
    }
    g_bQuit = true;
    PushQuitKey();
}

bool RequestWorkerStop(std::atomic<bool>& ownStop, uint32_t failure) {
    // Noted before the flags: a thread that sees g_bQuit finds the cause.
    const bool firstToLearnOfRemoval = failure != STATUS_OK && NoteRequestFailure(failure);
    ownStop = true;
    g_bQuit = true;
    return firstToLearnOfRemoval;
}

void NoteRunFailure(uint32_t status) {
    uint32_t expected = STATUS_OK;
    dwStatus.compare_exchange_strong(expected, status);
}

namespace {
std::atomic<int> g_iSyncOutcome{0};
}  // namespace

void NoteSyncOutcome(SyncOutcome outcome) {
    int seen = g_iSyncOutcome.load();
    while (int(outcome) > seen && !g_iSyncOutcome.compare_exchange_weak(seen, int(outcome))) {
    }
}

SyncOutcome TestSyncOutcome() { return SyncOutcome(g_iSyncOutcome.load()); }

int SyncExitCode(int bitErrorCode) {
    switch (TestSyncOutcome()) {
        case SyncOutcome::kNeverFound:
            return kExitNeverInSync;
        case SyncOutcome::kLost:
            return kExitLostSync;
        default:
            return bitErrorCode;
    }
}

bool NoteCardRemoved() { return dwStatus.exchange(STATUS_CARD_REMOVED) != STATUS_CARD_REMOVED; }

bool NoteRequestFailure(uint32_t failure) {
    if (platform::GetLastError() == platform::kErrorDeviceRemoved) return NoteCardRemoved();
    NoteRunFailure(failure);
    return false;
}
