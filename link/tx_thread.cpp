// The transmitting half of a software-mode test: a ring of transmit slots
// kept queued at the driver, refilled with the pattern as they complete.
#include <algorithm>
#include <new>
#include <vector>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "link/threads.h"
#include "log/log.h"
#include "pattern/pattern.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/sync.h"
#include "stats/bert_stats.h"

namespace {

constexpr uint32_t kSlotFree = 1;
constexpr uint32_t kSlotQueued = 0;
constexpr uint16_t kFirstInjectingRevision = 0x104;
constexpr uint32_t kMaxInjectPerBuffer = 8;

// Host-injected errors: the mask for n errors has n bits set.
constexpr uint8_t kInjectMasks[kMaxInjectPerBuffer + 1] = {0x00, 0x80, 0x88, 0x98, 0x99,
                                                           0xB9, 0xBB, 0xFB, 0xFF};

struct TxSlot {
    uint32_t uState = kSlotFree;
    card::Overlapped ov;
    uint8_t* pData = nullptr;
};

// The slots outlive the thread: requests still queued at the driver use
// them until StopThreads has cancelled the port's I/O and calls FreeTxSlots.
TxSlot* g_pTxSlots = nullptr;
uint32_t g_uTxSlotCount = 0;
uint32_t g_uTxFillIndex = 0;
uint32_t g_uTxDoneIndex = 0;

struct TxThreadState {
    bool bCardInjects = false;
    bool bLastTxInvert = false;
    std::vector<uint8_t> stream;  // pattern bytes before they are packed into characters
    uint32_t uFillLength = 0;
};

bool AllocateSlots(uint32_t count, uint32_t length) {
    FreeTxSlots();
    TxSlot* slots = new (std::nothrow) TxSlot[count];
    if (slots == nullptr) return false;
    for (uint32_t i = 0; i < count; ++i) {
        slots[i].pData = new (std::nothrow) uint8_t[length];
        if (slots[i].pData == nullptr) {
            // A slot without a buffer cannot be sent: no slots at all.
            for (uint32_t j = 0; j < i; ++j) delete[] slots[j].pData;
            delete[] slots;
            return false;
        }
    }
    g_pTxSlots = slots;
    g_uTxSlotCount = count;
    g_uTxFillIndex = 0;
    g_uTxDoneIndex = 0;
    return true;
}

bool NeedsStreamBuffer() {
    const TestSettings& s = g_Settings;
    return s.uMode == MODE_ASYNC && s.uDataBits < 8 && s.uPatternType != PATTERN_FOX;
}

uint32_t Next(uint32_t index) { return index + 1 == g_uTxSlotCount ? 0 : index + 1; }

// Errors wanted by a key or the front end go into this buffer, at most 8:
// through the card when it can, else flipped here in its first byte.
void InjectErrors(uint8_t* target, const TxThreadState& st) {
    const uint32_t pending = g_uInjectErrors.load();
    if (pending == 0) return;
    const uint32_t n = std::min(pending, kMaxInjectPerBuffer);
    if (!st.bCardInjects) {
        LogPrint(3, "%u errors injected in the transmitted data\n", n);
        target[0] ^= kInjectMasks[n];
    } else if (DriverIoctl(g_hPort.load(), IOCTL_INJECT_ERRORS, &n, sizeof n, nullptr, 0,
                           nullptr)) {
        LogPrint(3, "%u errors injected\n", pending);
    } else {
        // The errors still go out: the user must not read the message as
        // errors that never were sent.
        LogLastError(1, "The card did not inject errors: ");
        LogPrint(1, "%u errors injected in the transmitted data instead\n", n);
        target[0] ^= kInjectMasks[n];
    }
    g_uInjectErrors -= n;
}

void InvertForLine(uint8_t* data, uint32_t length, TxThreadState& st) {
    if (!ManualTxInvert) return;
    if (!st.bLastTxInvert) {
        st.bLastTxInvert = true;
        DriverIoctl(g_hPort.load(), IOCTL_TX_INVERT_CHANGED, nullptr, 0, nullptr, 0, nullptr);
    }
    for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(~data[i]);
}

void CountSent(uint32_t length) {
    BertStats& stats = g_BertStats;
    stats.i64TxByteCount += length;
    stats.i64TxBitCount = stats.i64TxByteCount * static_cast<int64_t>(g_uBitsPerChar);
}

// Fills the slot and hands it to the driver. False when the driver refused it.
bool SendSlot(TxSlot& slot, TxThreadState& st) {
    uint8_t* target = st.stream.empty() ? slot.pData : st.stream.data();
    slot.ov.Clear();
    slot.ov.hEvent = g_hTxDoneEvent;
    FillPatternBuffer(g_Settings.uPatternType, target, st.uFillLength);
    uint32_t sendLength = st.uFillLength;
    InjectErrors(target, st);
    if (!st.stream.empty())
        sendLength =
            PackAsyncChars(g_Settings.uDataBits, target, sendLength, slot.pData, g_uBufferLength);
    InvertForLine(slot.pData, sendLength, st);
    uint32_t bytes = 0;
    card::Driver* driver = card::GetDriver();
    const bool done = driver != nullptr &&
                      driver->DeviceIoControl(g_hPort.load(), IOCTL_TRANSMIT_DATA, slot.pData,
                                              sendLength, nullptr, 0, &bytes, &slot.ov);
    if (!done && (driver == nullptr || platform::GetLastError() != platform::kErrorIoPending)) {
        LogPrint(1, "Tx Failed rc=%d\n", 0);
        LogLastError(1, "Error code returned was ");
        return false;
    }
    // Completed at once or later: either way the data is on its way and the
    // completion scan frees the slot in its turn, so it is never sent twice.
    slot.uState = kSlotQueued;
    g_uTxFillIndex = Next(g_uTxFillIndex);
    CountSent(sendLength);
    if (done && g_hTxDoneEvent != nullptr) g_hTxDoneEvent->Set();
    return true;
}

void FillFreeSlots(TxThreadState& st) {
    while (g_pTxSlots[g_uTxFillIndex].uState == kSlotFree && !g_bTxStop) {
        if (!SendSlot(g_pTxSlots[g_uTxFillIndex], st)) {
            // Nothing more is sent, so nothing more can be measured: the
            // test ends now, and its exit code says it was cut short. The
            // thread pushes no quit key as it ends, so it wakes the main flow
            // here.
            if (RequestWorkerStop(g_bTxStop, STATUS_LINK_FAILED))
                LogPrint(1, "%s", kCardRemovedMessage);
            PushQuitKey();
            return;
        }
    }
}

void CollectCompletions() {
    g_hTxDoneEvent->Reset();
    bool freed = false;
    for (;;) {
        TxSlot& slot = g_pTxSlots[g_uTxDoneIndex];
        if (slot.uState != kSlotQueued || !card::HasOverlappedIoCompleted(slot.ov)) break;
        slot.uState = kSlotFree;
        g_uTxDoneIndex = Next(g_uTxDoneIndex);
        freed = true;
        if (g_bTxStop) break;
    }
    if (freed) g_hTxEvent->Set();
}

}  // namespace

uint32_t TxEventThread() {
    TxThreadState st;
    st.bCardInjects = g_wCardRevision >= kFirstInjectingRevision;
    LogPrint(3, "%s Starting Tx thread\n", LogTimestamp());
    SeedScram(0, 1, 0);
    ResetTxFillPosition();
    const uint32_t count = std::max<uint32_t>(g_uNumBuffers, 1);
    if (g_hTxEvent == nullptr || g_hTxDoneEvent == nullptr ||
        !AllocateSlots(count, g_uBufferLength))
        return 0;
    st.uFillLength = g_uBufferLength;
    if (NeedsStreamBuffer()) {
        st.uFillLength =
            static_cast<uint32_t>(uint64_t{g_uBufferLength} * g_Settings.uDataBits / 8);
        st.stream.assign(st.uFillLength, 0);
    }
    platform::Event* const events[] = {g_hTxEvent, g_hTxDoneEvent};
    while (!g_bTxStop) {
        const uint32_t wait = platform::WaitForEventArray(events, 2, platform::kInfinite);
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        if (wait == platform::kWaitObject0 + 1)
            CollectCompletions();
        else if (wait == platform::kWaitObject0)
            FillFreeSlots(st);
        else
            break;
    }
    st.stream.clear();
    LogPrint(3, "TxEventThread exit\n");
    return 0;
}

void FreeTxSlots() {
    TxSlot* slots = g_pTxSlots;
    if (slots == nullptr) return;
    for (uint32_t i = 0; i < g_uTxSlotCount; ++i) delete[] slots[i].pData;
    delete[] slots;
    g_pTxSlots = nullptr;
    g_uTxSlotCount = 0;
}
