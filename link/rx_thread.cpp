// The receiving half of a software-mode single-link test.
#include "link/rx_thread.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "link/capture.h"
#include "link/interface_record.h"
#include "link/receive_block.h"
#include "link/receive_pass.h"
#include "link/threads.h"
#include "log/log.h"
#include "pattern/pattern.h"
#include "platform/event.h"
#include "platform/sync.h"
#include "stats/bert_stats.h"
#include "stats/report.h"

std::atomic<uint32_t> g_dwRxTimeout{100};
std::atomic<bool> bRxInverted{false};
uint32_t g_uIfCheckCount = 0;

namespace {

constexpr uint32_t kSyncedRxTimeoutMs = 1000;
constexpr int64_t kInvertStepUsecs = 2000000;
constexpr int64_t kFullInterfaceCheckUsecs = 1000000;
constexpr int64_t kNoClockTimeoutUsecs = 1000000;
constexpr int64_t kMinNoDataTimeoutUsecs = 100000;
constexpr uint32_t kNoEventPollMs = 100;

struct RxThreadState {
    RxCheckState check;
    int64_t i64NoDataTimeoutUsecs = kNoClockTimeoutUsecs;
    int64_t i64LastSampleTicks = 0;
    // The silence that makes a dead line is measured from here: samples
    // come every wait period, which may be shorter than the no-data time-out.
    int64_t i64LastDataTicks = 0;
    uint32_t uLastDataStampMs = 0;  // the card's stamp of the last data, 0 for none
    int64_t i64LastInvertTicks = 0;
    int64_t i64LastIfCheckTicks = 0;
    std::vector<uint8_t> stream;  // characters unpacked back into pattern bytes
    bool bStoppedByCondition = false;
};

// Two buffers' time on the line: no data for longer than that means the
// line is dead. A card hands received data over at its own ticks, so small
// buffers never make a silence shorter than kMinNoDataTimeoutUsecs a loss.
int64_t NoDataTimeoutUsecs() {
    const uint64_t rate = g_Settings.uClockRate;
    if (rate == 0) return kNoClockTimeoutUsecs;
    const auto buffers =
        static_cast<int64_t>(uint64_t{g_uBitsPerChar} * g_uBufferLength * 2000000 / rate);
    return std::max(buffers, kMinNoDataTimeoutUsecs);
}

bool NeedsStreamBuffer() {
    const TestSettings& s = g_Settings;
    return s.uMode == MODE_ASYNC && s.uDataBits < 8 && s.uPatternType != PATTERN_FOX;
}

// Room for the pattern bytes of the largest block ReceiveBlock can return,
// whatever the buffer length, plus the byte a previous call left incomplete.
size_t StreamBufferSize() {
    const uint64_t chars = std::max<uint64_t>(g_uBufferLength, kRxBufferSize);
    return static_cast<size_t>(chars * g_Settings.uDataBits / 8 + 1);
}

int64_t UsecsSince(int64_t then, int64_t now) { return TicksToUsecs(now - then); }

void SendSyncState(bool inSync) { GuiSend8(ZVBERT_SYNC_STATE, inSync ? 1 : 0); }

// ---- sample ----------------------------------------------------------------

// The loss of signal counts from the last data, not from when it was seen.
void DeclareSilence(int64_t now, int64_t silentUsecs, const RxThreadState& st) {
    if (silentUsecs < st.i64NoDataTimeoutUsecs) return;
    if (DeclareLossOfSync(now, st.i64LastDataTicks) == SyncTransition::None) return;
    LogPrint(1, "%s LOS - no clock/data: i64ElapseUsecs=%" PRId64 "\n", LogTimestamp(),
             silentUsecs);
    SendSyncState(false);
}

void DeclareNoData(int64_t now, const RxThreadState& st) {
    DeclareSilence(now, UsecsSince(st.i64LastDataTicks, now), st);
}

void ReportTransition(SyncTransition transition, int64_t now, RxThreadState& st) {
    switch (transition) {
        case SyncTransition::None:
            return;
        case SyncTransition::LossOfSync:
            LogEvent(1, "LOS\n\n");
            st.i64LastInvertTicks = now;
            SendSyncState(false);
            return;
        case SyncTransition::FirstSync:
            LogEvent(2, "In sync\n\n");
            g_dwRxTimeout = kSyncedRxTimeoutMs;
            LogPrint(4, "RxTimeout=%u\n", kSyncedRxTimeoutMs);
            break;
        case SyncTransition::ReturnToSync:
            LogEvent(2, "In sync\n\n");
            break;
    }
    // The reference generator continues from the last received bits.
    st.check.uMismatchCount = 0;
    // The block under way holds bytes checked while hunting; its errors are
    // not errors of the line in sync. The card's engine starts afresh too.
    st.check.uBlockBits = 0;
    st.check.uBlockErrors = 0;
    LoadScramFromRx(1);
    SendSyncState(true);
}

bool InversionStepDue(uint32_t m, int64_t now, const RxThreadState& st) {
    const TestSettings& s = g_Settings;
    if (g_bInSync || !s.bAutoInvert) return false;
    if (m == 0 && !g_bLineErrorsSeen) return false;
    if (s.uPatternType == PATTERN_1_1 || s.uEncoding == ENCODING_DMAN) return false;
    const int64_t since = UsecsSince(st.i64LastInvertTicks, now);
    return since > kInvertStepUsecs || since < 0;
}

// The card inverts the received data while it can; once it refuses, the
// bytes are complemented here for the rest of the run.
void StepReceiveInversion(int64_t now, RxThreadState& st) {
    const bool inverted = !bRxInverted;
    bRxInverted = inverted;
    const uint32_t config = g_dwExtendedConfig ^= EXT_RX_INVERTED;
    g_bLineErrorsSeen = false;
    st.i64LastInvertTicks = now;
    const char* sign = inverted ? "^" : "~";
    if (!g_bManualInvert && DriverIoctl(g_hPort.load(), IOCTL_SET_INVERSION, &config, sizeof config,
                                        nullptr, 0, nullptr)) {
        LogEvent(2, "%sRx Inverted\n\n", sign);
    } else {
        LogEvent(2, "*%sRx Inverted\n\n", sign);
        g_bManualInvert = true;
        st.check.bSoftwareInvert = inverted;
        GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_MANUAL_INVERT, SIGNAL_STATE_ON);
    }
    GuiSend2(ZVBERT_SIGNAL_CHANGE, SIGNAL_ITEM_RX_INVERTED,
             inverted ? SIGNAL_STATE_ON : SIGNAL_STATE_OFF);
}

void ResetStatsNow(int64_t now, RxThreadState& st) {
    LogPrint(3, "%s Resetting stats\n", LogTimestamp());
    ResetSingleLinkStats(now);
    st.check.uBlockBits = 0;
    st.check.uBlockErrors = 0;
    g_LastInterfaceRecord = InterfaceRecord{};
    DriverIoctl(g_hPort.load(), IOCTL_RESET_STATS, nullptr, 0, nullptr, 0, nullptr);
    g_bLineErrorsSeen = false;
}

// Whether the checker's register holds the pattern: its last bytes, a
// register's worth and one more, all followed it. The sync it finds is
// loaded from there.
bool CheckerInStep(const RxThreadState& st) {
    const uint32_t type = g_Settings.uPatternType;
    if (g_Settings.bMultiDrop || !IsPrbsType(type)) return true;
    return st.check.uInStepRun >= (kPrbsParams[type].registerBits + 7u) / 8u + 1u;
}

void TakeSample(int64_t now, uint32_t m, RxThreadState& st) {
    if (g_BertStats.i64CheckedCharCount == g_BertStats.i64PrevCheckedCharCount)
        DeclareNoData(now, st);
    ReportTransition(ClassifySample(now, CheckerInStep(st)), now, st);
    ReportAfterSample(now, nullptr);
    if (InversionStepDue(m, now, st)) StepReceiveInversion(now, st);
    TakeSampleSnapshots();
    st.i64LastSampleTicks = now;
    if (g_bResetStatsPending) ResetStatsNow(now, st);
}

// ---- pass ------------------------------------------------------------------

void Capture(const uint8_t* data, uint32_t m) {
    if (!g_bCapture) return;
    if (CaptureWrite(g_pCaptureFile, data, m, g_Settings.bCaptureHex) == 0) return;
    const int error = errno;
    const char* name = g_Settings.pszCaptureFile ? g_Settings.pszCaptureFile : "";
    LogPrint(1, "Capture data, failure writing to filename %s (errno %d, %s)\n", name, error,
             strerror(error));
    g_bCapture = false;
}

enum class PassEnd { Continue, Stop };

// Whether the pass is a sample; burst mode takes none while data is absent.
bool IsSample(int64_t elapsedUsecs, uint32_t m, PassEnd* end) {
    const int64_t period = int64_t{g_dwRxTimeout.load()} * 1000;
    if (g_Settings.bBurstMode) {
        if (elapsedUsecs < period || elapsedUsecs < 0) {
            *end = m > 0 ? PassEnd::Continue : PassEnd::Stop;
            return false;
        }
        if (m == 0) {
            *end = PassEnd::Stop;
            return false;
        }
        return true;
    }
    if (elapsedUsecs >= period || m > 0) return true;
    *end = PassEnd::Stop;
    return false;
}

// Data after a silence longer than the no-data time-out: the line was dead,
// however short the silence was next to the wait. Judged before the data is
// checked, since bytes lost in the silence put the reference out of step.
// With the card's stamps the silence is the line's: the gap between the last
// data and the first byte of this block, which a loaded host that kept this
// thread waiting does not lengthen.
void DeclareSilenceEnded(uint32_t n, RxThreadState& st) {
    const uint32_t lastStamp = st.uLastDataStampMs;
    st.uLastDataStampMs = g_uRxBlockStampMs;
    if (!g_bInSync || g_Settings.bBurstMode) return;
    const uint64_t rate = g_Settings.uClockRate;
    if (lastStamp == 0 || g_uRxBlockStampMs == 0 || rate == 0) {
        DeclareNoData(GetTicks(), st);
        return;
    }
    const auto blockUsecs = static_cast<int64_t>(uint64_t{n} * g_uBitsPerChar * 1000000 / rate);
    // Unsigned: the card's clock wraps.
    const auto sinceUsecs = static_cast<int64_t>(uint32_t(g_uRxBlockStampMs - lastStamp)) * 1000;
    DeclareSilence(GetTicks(), sinceUsecs - blockUsecs, st);
}

// A checker that ran off its reference while in sync (a slip, a long burst)
// is hunting again: that is a loss of sync, or every later line error
// would be counted once per byte the hunt's recurrence sees it in.
void DeclareCheckerAdrift(int64_t now, RxThreadState& st) {
    const uint32_t type = g_Settings.uPatternType;
    if (!g_bInSync || g_Settings.bMultiDrop || !IsPrbsType(type)) return;
    if (st.check.uMismatchCount <= kPrbsParams[type].registerBits) return;
    ReportTransition(DeclareLossOfSync(now), now, st);
}

PassEnd ReceivePass(RxThreadState& st) {
    const uint32_t n = ReceiveBlock();
    if (n > 0) DeclareSilenceEnded(n, st);
    const uint8_t* data = g_abRxBuffer;
    uint32_t m = n;
    if (!st.stream.empty()) {
        m = UnpackAsyncChars(g_Settings.uDataBits, g_abRxBuffer, n, st.stream.data(),
                             static_cast<uint32_t>(st.stream.size()));
        data = st.stream.data();
    }
    CountReceivedChars(n, m);
    Capture(data, m);
    const uint64_t inSyncErrors = CheckReceivedData(data, m, st.check);
    if (g_bInSync && inSyncErrors != 0)
        LogEvent(2, "+%u bit errors\n\n", static_cast<unsigned>(inSyncErrors));
    const int64_t now = GetTicks();
    if (n > 0) st.i64LastDataTicks = now;
    DeclareCheckerAdrift(now, st);
    // A stop request cuts the check short: bytes counted but never checked
    // would make a sample without errors, a false sync in the closing report.
    if (g_bRxStop) return PassEnd::Stop;
    const int64_t elapsedUsecs = UsecsSince(st.i64LastSampleTicks, now);
    PassEnd end = m > 0 ? PassEnd::Continue : PassEnd::Stop;
    if (IsSample(elapsedUsecs, m, &end)) TakeSample(now, m, st);
    return end;
}

// ---- after the passes --------------------------------------------------------

void PollInterface(RxThreadState& st) {
    const int64_t now = GetTicks();
    if (UsecsSince(st.i64LastIfCheckTicks, now) <= kFullInterfaceCheckUsecs) {
        PollInterfaceRecord(true, false);
        return;
    }
    if (g_uIfCheckCount < 2 && ++g_uIfCheckCount == 2) {
        // Counts from before the test are not the test's errors.
        g_LastInterfaceRecord = InterfaceRecord{};
        DriverIoctl(g_hPort.load(), IOCTL_RESET_STATS, nullptr, 0, nullptr, 0, nullptr);
        g_uIfCheckCount = 3;
    }
    PollInterfaceRecord(false, g_uIfCheckCount > 2);
    st.i64LastIfCheckTicks = now;
}

void CheckStopConditions(RxThreadState& st) {
    const TestSettings& s = g_Settings;
    const BertStats& stats = g_BertStats;
    bool stop = false;
    if (s.bStopOnError && stats.BitErrorCount > 0 && !g_bFirstSyncPending) {
        LogPrint(4, "Stop on Error %" PRId64 "\n", stats.BitErrorCount);
        stop = true;
    }
    const int64_t runUsecs = UsecsSince(stats.i64StartTicks, GetTicks());
    if (s.bTestDurationGiven) {
        if (g_bFirstSyncPending) {
            if (runUsecs > int64_t{s.uNoSyncTimeoutSecs} * 1000000) {
                LogPrint(4, "Stop on Sync Time %lu\n",
                         static_cast<unsigned long>(s.uNoSyncTimeoutSecs));
                stop = true;
            }
        } else if (s.uTestDurationSecs != 0 && runUsecs > int64_t{s.uTestDurationSecs} * 1000000) {
            LogPrint(4, "Stop on Time %lu\n", static_cast<unsigned long>(s.uTestDurationSecs));
            stop = true;
        }
    } else if (s.uTestLengthBits != 0 && stats.i64SRxBitCount >= int64_t{s.uTestLengthBits}) {
        LogPrint(4, "Stop on Bits %" PRId64 "\n", stats.i64SRxBitCount);
        stop = true;
    }
    if (!stop) return;
    g_bRxStop = true;
    st.bStoppedByCondition = true;
}

// A silent line would otherwise hold the end of the test back by up to a
// whole wait: the wait ends when -L or -S is due.
uint32_t WaitMs(uint32_t timeout) {
    const TestSettings& s = g_Settings;
    if (!s.bTestDurationGiven) return timeout;
    const bool hunting = g_bFirstSyncPending;
    if (!hunting && s.uTestDurationSecs == 0) return timeout;
    const int64_t limitUsecs =
        int64_t{hunting ? s.uNoSyncTimeoutSecs : s.uTestDurationSecs} * 1000000;
    int64_t startTicks = 0;
    {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        startTicks = g_BertStats.i64StartTicks;
    }
    const int64_t leftUsecs = limitUsecs - UsecsSince(startTicks, GetTicks());
    // One more millisecond: the stop rule wants the limit passed.
    const int64_t leftMs = std::max<int64_t>(leftUsecs / 1000 + 1, 1);
    return static_cast<uint32_t>(std::min<int64_t>(leftMs, timeout));
}

// Burst mode waits with the sample period too: a silent line takes no
// sample there (a gap is no loss of signal), but the -L and -S rules that
// follow each wait must still end the test.
void WaitForData() {
    const uint32_t timeout = WaitMs(g_dwRxTimeout.load());
    if (g_hRxEvent != nullptr)
        platform::WaitForEvent(*g_hRxEvent, timeout);
    else
        platform::SleepMs(g_Settings.bBurstMode ? std::min(kNoEventPollMs, timeout) : timeout);
}

void StartReceiving(RxThreadState& st) {
    st.i64NoDataTimeoutUsecs = NoDataTimeoutUsecs();
    LogPrint(3, "%s Starting KVIO thread\n", LogTimestamp());
    if (NeedsStreamBuffer()) st.stream.assign(StreamBufferSize(), 0);
    ResetAsyncUnpack();
    SeedRxScram(1, 0);
    // Whatever arrived before the thread ran is not part of the test.
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    while (ReceiveBlock() != 0) {
    }
    LogPrint(4, "%s Starting rx loop\n", LogTimestamp());
    st.i64LastSampleTicks = st.i64LastInvertTicks = st.i64LastIfCheckTicks =
        g_BertStats.i64StartTicks;
    st.i64LastDataTicks = g_BertStats.i64StartTicks;
}

}  // namespace

uint32_t KVIOEventThread() {
    RxThreadState st;
    StartReceiving(st);
    while (!g_bRxStop) {
        WaitForData();
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        while (ReceivePass(st) == PassEnd::Continue && !g_bRxStop) {
        }
        PollInterface(st);
        CheckStopConditions(st);
    }
    OutputStats(GetTicks(), true, nullptr, false);
    st.stream.clear();
    st.stream.shrink_to_fit();
    if (st.bStoppedByCondition) PushQuitKey();
    LogPrint(3, "KVIOEventThread exit\n");
    return 1;
}
