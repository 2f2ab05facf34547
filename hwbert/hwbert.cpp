// Hardware mode: the card's BERT engine sends and checks the pattern; this
// thread reads the engine's statistics records one at a time, counts them,
// carries out the key requests and decides when the test is over.
#include "hwbert/hwbert.h"

#include <memory>
#include <mutex>
#include <vector>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "hwbert/card_stats.h"
#include "link/interface_record.h"
#include "log/log.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "stats/bert_stats.h"
#include "stats/measures.h"
#include "stats/report.h"

namespace {

constexpr uint32_t kRecordWaitMs = 1000;
constexpr uint16_t kFirstInjectingRevision = 0x104;
// How long the end of the thread waits for a cancelled read to come back.
constexpr uint32_t kCancelWaitMs = 2000;

// One read of a statistics record. The driver writes the buffer, the request
// record and the event until the read has ended, so they live together on
// the heap and go only once it has.
struct CardRead {
    uint8_t abRecord[kCardBertRecordSize] = {};
    card::Overlapped ov;
    platform::Event event{false, true};  // signalled: the first pass reads at once
    card::PortHandle hPort = card::kInvalidHandle;
    bool bPending = false;
};

// Reads the driver never gave back: kept reachable for the rest of the
// process, since the driver may still write into them.
std::mutex g_AbandonedLock;
std::vector<CardRead*>* g_pAbandonedReads = nullptr;

void Abandon(std::unique_ptr<CardRead> read) {
    std::lock_guard<std::mutex> lock(g_AbandonedLock);
    if (g_pAbandonedReads == nullptr) g_pAbandonedReads = new std::vector<CardRead*>;
    g_pAbandonedReads->push_back(read.release());
}

struct HwThreadState {
    std::unique_ptr<CardRead> read = std::make_unique<CardRead>();
    bool bNeedRead = true;
    bool bExitByStop = false;
    bool bCardInjects = false;
    int64_t i64Now = 0;  // the time the stop rules judge by
    CardStatusMemory memory;
    CardBertRecord lastRecord;
};

void StopByRule(HwThreadState& st) {
    g_bRxStop = true;
    st.bExitByStop = true;
}

void StartRead(HwThreadState& st) {
    CardRead& r = *st.read;
    r.ov.Clear();
    r.ov.hEvent = &r.event;
    r.event.Reset();
    const card::PortHandle port = g_hPort.load();
    card::Driver* driver = card::GetDriver();
    uint32_t bytes = 0;
    if (driver != nullptr && port != card::kInvalidHandle &&
        (driver->ReadFile(port, r.abRecord, kCardBertRecordSize, &bytes, &r.ov) ||
         platform::GetLastError() == platform::kErrorIoPending)) {
        r.hPort = port;
        r.bPending = true;
        st.bNeedRead = false;
        return;
    }
    // The port is gone or refuses reads: nothing more will come. A port
    // closed by a removal or by the end of the test says so elsewhere; a
    // refusal is a card fault that ends the test here.
    if (g_bRxStop || g_hPort.load() == card::kInvalidHandle) {
        g_bRxStop = true;
        return;
    }
    LogLastError(1, "BERT stats read Failed : ");
    if (NoteRequestFailure(STATUS_LINK_FAILED)) LogPrint(1, "%s", kCardRemovedMessage);
    StopByRule(st);
}

void CollectRecord(HwThreadState& st) {
    CardRead& r = *st.read;
    if (!r.bPending) return;
    uint32_t bytes = 0;
    const bool done = card::GetOverlappedResult(r.hPort, &r.ov, &bytes, true);
    r.bPending = false;
    st.bNeedRead = true;
    if (!done) return;  // a failed read is dropped; the next one follows
    st.i64Now = GetTicks();
    bool runEnded = false;
    ProcessCardRecord(r.abRecord, bytes, st.i64Now, st.memory, &st.lastRecord, &runEnded);
    if (runEnded) StopByRule(st);
}

// No record for a while: the stop rules still need the time, and before
// the first sync the front end shows the test time running.
void NoteTimeWithoutRecord(HwThreadState& st) {
    st.i64Now = GetTicks();
    if (!g_bFirstSyncPending || !GuiConnected()) return;
    int64_t startTicks = 0;
    {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        startTicks = g_BertStats.i64StartTicks;
    }
    GuiSend64(ZVBERT_ELAPSED_USECS, TicksToUsecs(st.i64Now - startTicks));
}

bool DurationPassed(int64_t runUsecs, uint32_t seconds) {
    return runUsecs > int64_t{seconds} * kUsecsPerSec;
}

bool StopRuleMet(int64_t now) {
    const TestSettings& s = g_Settings;
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    const BertStats& stats = g_BertStats;
    if (s.bStopOnError && stats.BitErrorCount > 0) {
        LogPrint(4, "Stop on Error %" PRId64 "\n", stats.BitErrorCount);
        return true;
    }
    const int64_t runUsecs = TicksToUsecs(now - stats.i64StartTicks);
    if (s.bTestDurationGiven) {
        if (g_bFirstSyncPending) {
            if (!DurationPassed(runUsecs, s.uNoSyncTimeoutSecs)) return false;
            LogPrint(4, "Stop on Sync Time %lu\n",
                     static_cast<unsigned long>(s.uNoSyncTimeoutSecs));
            return true;
        }
        if (s.uTestDurationSecs == 0 || !DurationPassed(runUsecs, s.uTestDurationSecs))
            return false;
        LogPrint(4, "Stop on Time %lu\n", static_cast<unsigned long>(s.uTestDurationSecs));
        return true;
    }
    if (s.uTestLengthBits == 0 || stats.i64SRxBitCount < int64_t{s.uTestLengthBits}) return false;
    LogPrint(4, "Stop on Bits %" PRId64 "\n", stats.i64SRxBitCount);
    return true;
}

// A read still out when the thread ends is cancelled, and its memory goes
// only once the driver has signalled its end (the driver sets the status
// word first and the event last).
void EndRead(HwThreadState& st) {
    CardRead& r = *st.read;
    if (!r.bPending) return;
    if (card::Driver* driver = card::GetDriver()) driver->CancelIo(r.hPort);
    const bool ended = platform::WaitForEvent(r.event, kCancelWaitMs) == platform::kWaitObject0 &&
                       card::HasOverlappedIoCompleted(r.ov);
    r.bPending = false;
    if (ended) return;
    LogPrint(1, "%s BERT stats read still pending at exit\n", LogTimestamp());
    Abandon(std::move(st.read));
}

void RunLoop(HwThreadState& st) {
    while (!g_bRxStop) {
        if (platform::WaitForEvent(st.read->event, kRecordWaitMs) == platform::kWaitObject0) {
            InjectPendingErrors(st.bCardInjects);
            CollectRecord(st);
        } else {
            NoteTimeWithoutRecord(st);
        }
        if (st.bNeedRead && !g_bRxStop) StartRead(st);
        if (!g_bRxStop) PollInterfaceRecord(true, false);
        if (StopRuleMet(st.i64Now)) StopByRule(st);
    }
}

}  // namespace

uint32_t HardwareBERTRxThread() {
    LogPrint(3, "%s Starting hardware BERT rx thread\n", LogTimestamp());
    HwThreadState st;
    st.bCardInjects = g_wCardRevision >= kFirstInjectingRevision;
    st.i64Now = GetTicks();
    RunLoop(st);
    EndRead(st);
    OutputStats(GetTicks(), true, &st.lastRecord, false);
    if (st.bExitByStop) PushQuitKey();
    LogPrint(3, "HardwareBERTRxThread exit\n");
    return 1;
}
