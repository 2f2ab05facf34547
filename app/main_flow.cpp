#include "app/main_flow.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/backend.h"
#include "app/command_line.h"
#include "card/discovery.h"
#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/my_bert_messenger.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "hwbert/hwbert.h"
#include "link/threads.h"
#include "log/log.h"
#include "multidrop/modbus_thread.h"
#include "multidrop/slave_table.h"
#include "pattern/pattern.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "port/front_end_signals.h"
#include "port/port_setup.h"
#include "rtd/rtd_stats.h"
#include "rtd/rtd_thread.h"
#include "stats/bert_stats.h"
#include "stats/stats_update.h"

std::thread g_hRxThread;
std::thread g_hTxThread;
std::thread g_hModbusThread;
std::thread g_hStatsUpdateThread;
std::thread g_hRTDThread;

namespace {

constexpr const char* kVersionText = "Ondrel Version " ONDREL_VERSION;
constexpr uint32_t kMaxRoundTripDataLength = 31;
constexpr int kKeyEscape = 27;
constexpr uint32_t kEndAckTimeoutMs = 10000;
constexpr uint32_t kRunningFlagPollMs = 100;

using ThreadFn = uint32_t (*)();

constexpr ThreadFn kModbusThread = ModbusThread;
constexpr ThreadFn kStatsUpdateThread = StatsUpdateThread;
constexpr ThreadFn kRoundTripDelayThread = RoundTripDelayThread;

// What the run owns besides the globals, released at its very end.
struct RunFiles {
    FILE* pUserPatternFile = nullptr;
    uint8_t* pUserPattern = nullptr;
    uint32_t uUserPatternLength = 0;
};

// How the thread starts went.
enum class StartOutcome {
    AllStarted,
    SomeFailed,  // g_bQuit is set, the test is still to be stopped
    Ended,       // a start failed and the threads are already stopped
};

const char* ClockSource() { return g_Settings.bExternalClock ? "EXT" : "INT"; }

void Announce(int argc, char** argv) {
    LogPrint(2, "\n%s\n", kVersionText);
    LogPrint(3, "App=%s\n", (argc > 0 && argv[0] != nullptr) ? argv[0] : "");
    if (argc > 1 && argv[1] != nullptr) {
        LogPrint(2, "Command-line Params: ");
        for (int i = 1; i < argc && argv[i] != nullptr; ++i) LogPrint(2, "%s ", argv[i]);
        LogPrint(2, "\n");
    }
    LogData(2, "\n");
}

bool IsRs485(uint32_t interfaceType) {
    return interfaceType == INTERFACE_RS485_2W || interfaceType == INTERFACE_RS485_4W;
}

bool CheckInterfaceEncoding() {
    TestSettings& s = g_Settings;
    if (!IsRs485(s.uInterface)) return true;
    if (s.uMode == MODE_ASYNC) {
        s.uEncoding = ENCODING_NRZ;
        return true;
    }
    bool valid = true;
    if (s.uEncoding == ENCODING_NRZ) {
        LogPrint(1, "Invalid interface/encoding combination\n\n");
        valid = false;
    }
    if (s.bAutoInvert && s.uEncoding != ENCODING_MAN) {
        LogPrint(1, "RS485, Auto Invert can only be used with MAN encoding\n\n");
        valid = false;
    }
    return valid;
}

bool CheckUserPatternMode() {
    if (!g_Settings.bHardwareMode || g_Settings.uPatternType != PATTERN_USER) return true;
    LogPrint(1, "User Patterns can only be used in Software mode\n\n");
    return false;
}

bool LoadUserPattern(RunFiles& files) {
    if (g_Settings.uPatternType != PATTERN_USER) return true;
    const char* name = g_Settings.pszUserPatternFile;
    if (name == nullptr) {
        LogPrint(1, "User Test Pattern, unknown filename\n");
        return false;
    }
    platform::FileProblem problem;
    files.pUserPatternFile =
        platform::OpenRegularFile(name, g_Settings.UserPatternOpenMode(), &problem);
    if (files.pUserPatternFile == nullptr) {
        if (problem.notRegular)
            LogPrint(1, "User Test Pattern, filename %s: %s\n", name, problem.text.c_str());
        else
            LogPrint(1, "User Test Pattern, couldn't open filename %s\n", name);
        return false;
    }
    errno = 0;
    if (ReadPatternFile(files.pUserPatternFile, &files.pUserPattern, &files.uUserPatternLength,
                        g_Settings.bUserPatternHex) != 0) {
        // The reader has named a problem of the content; only a failed read has an errno.
        int error = errno;
        if (error == 0)
            LogPrint(1, "User Test Pattern, problem reading filename, %s\n", name);
        else
            LogPrint(1, "User Test Pattern, problem reading filename, %s (error %d, %s)\n", name,
                     error, std::strerror(error));
        return false;
    }
    return true;
}

// A capture file that cannot be opened is reported; the test runs without it.
void OpenCaptureFile() {
    const char* name = g_Settings.pszCaptureFile;
    if (name == nullptr) return;
    platform::FileProblem problem;
    g_pCaptureFile = platform::OpenRegularFile(name, g_Settings.CaptureOpenMode(), &problem);
    if (g_pCaptureFile == nullptr && problem.notRegular)
        LogPrint(1, "Capture data, filename %s: %s\n", name, problem.text.c_str());
    else if (g_pCaptureFile == nullptr)
        LogPrint(1, "Capture data, failed to open filename %s\n", name);
}

// Every check runs, so that all the reasons are shown at once.
bool CheckSettings(RunFiles& files) {
    bool valid = CheckInterfaceEncoding();
    valid = CheckUserPatternMode() && valid;
    valid = LoadUserPattern(files) && valid;
    OpenCaptureFile();
    return valid;
}

// Every check runs, so that all the reasons are shown at once.
bool MultiDropSettingsUsable() {
    const TestSettings& s = g_Settings;
    bool usable = true;
    // The master's time-outs follow from the rate.
    if (s.bMultiDropMaster && s.uClockRate == 0) {
        LogPrint(1, "Error: the multi-drop master needs a clock rate above 0 (-k)\n");
        usable = false;
    }
    // A request without data has nothing to echo: every reply would end the test.
    if (s.bMultiDropMaster && s.uDataLength == 0) {
        LogPrint(1,
                 "Error: Bad Data Length 0, the multi-drop master needs a data length of 1 to 249 "
                 "(+d)\n");
        usable = false;
    }
    // Modbus frames ride in the card's frames; an asynchronous port has none.
    if (s.uMode == MODE_ASYNC) {
        LogPrint(1,
                 "Error: the multi-drop test needs a synchronous port (-mSYNC or -mFRAMED), not "
                 "-mASYNC\n");
        usable = false;
    }
    if (!s.bMultiDropMaster && (s.iSlaveId < kFirstSlaveId || s.iSlaveId > kLastSlaveId)) {
        LogPrint(1, "Error: a slave address is 1 to 247 (+Ms%d)\n", int(s.iSlaveId));
        usable = false;
    }
    return usable;
}

bool AnnounceRoundTripDelay() {
    const TestSettings& s = g_Settings;
    if (s.uDataLength > kMaxRoundTripDataLength) {
        // A refusal is shown whatever +l, as every other refused setting; with
        // +l it is also an event of the log file, as it always was.
        if (s.bDataLogging)
            LogEvent(1, "Error: Number of packets (%u) exceeds maximum\n", s.uDataLength);
        else
            LogPrint(1, "Error: Number of packets (%u) exceeds maximum\n", s.uDataLength);
        return false;
    }
    // The frame's first byte is its sequence number: without it no frame can be matched.
    if (s.uDataLength == 0) {
        LogPrint(1, "Error: the round trip delay test needs a payload length of 1 to %u (+d)\n",
                 kMaxRoundTripDataLength);
        return false;
    }
    // The delay adjustment takes the frame's time on the line from the rate.
    if (s.uClockRate == 0) {
        LogPrint(1, "Error: the round trip delay test needs a clock rate above 0 (-k)\n");
        return false;
    }
    LogEvent(2, "Round Trip Delay Test Started\n\n");
    LogEvent(2, "Rate %u[%s] Payload Length %u, Transmit Delay %u, Receive Timeout %u\n",
             s.uClockRate, ClockSource(), s.uDataLength, s.uTxDelayMs, s.uRxTimeoutMs);
    return true;
}

void AnnounceTest() {
    const TestSettings& s = g_Settings;
    LogEvent(2, "Test Started%s:\n\n", s.bHardwareMode ? " [Hardware Mode]" : "");
    uint32_t length = s.bTestDurationGiven ? s.uTestDurationSecs : s.uTestLengthBits;
    LogEvent(2, "Rate=%u[%s] PatternLength=%u TestLength=%u%s\n\n", s.uClockRate, ClockSource(),
             g_PatternSelection.uPatternLengthBits, length, s.bTestDurationGiven ? "s" : "");
}

// False when the test cannot run (a round-trip payload too long).
bool PrepareTest(const RunFiles& files) {
    TestSettings& s = g_Settings;
    if (s.uPatternType == PATTERN_FOX) SelectFoxTable(s.uDataBits);
    if (files.pUserPattern != nullptr) SetUserPattern(files.pUserPattern, files.uUserPatternLength);
    SelectPattern(s.uPatternType);
    if (s.uMode == MODE_ASYNC && s.bHardwareMode) {
        LogEvent(1, "Switching to (Async) Software Mode\n");
        s.bHardwareMode = false;
    }
    if (s.bRoundTripDelay) return AnnounceRoundTripDelay();
    if (s.bMultiDrop && !MultiDropSettingsUsable()) return false;
    AnnounceTest();
    return true;
}

// The link to the front end; owned by the main flow, seen by the senders
// through g_pMessenger.
MyBertMessenger* g_pMyMessenger = nullptr;

// The statistics a front end's reset clears besides those of the key r.
// The round-trip delay thread takes the key r's request between two frames.
void ResetTestStatsForFrontEnd() {
    if (g_Settings.bMultiDropMaster) {
        ResetMultiStats();
        OutputMultiStats();
    }
}

// Only a multi-drop master has a slave list; in any other test the slave
// table's generator states are the test's own.
void PollSlaveForFrontEnd(uint8_t slave, uint8_t poll) {
    if (!g_Settings.bMultiDropMaster) {
        LogPrint(3, "Poll slave %d ignored, not a multi-drop master\n", int{slave});
        return;
    }
    UpdateSlaveList(slave, poll != 0);
}

GuiActions FrontEndActions() {
    GuiActions actions;
    actions.pfnSignalChange = ApplyFrontEndSignal;
    actions.pfnResetTestStats = ResetTestStatsForFrontEnd;
    actions.pfnPollSlave = PollSlaveForFrontEnd;
    return actions;
}

// Started even for rejected settings, so that the front end gets the status.
void StartFrontEndLink() {
    if (!g_Settings.bGuiLink) return;
    g_pMyMessenger = new MyBertMessenger(&g_csGlobal, FrontEndActions());
    g_pMessenger = g_pMyMessenger;
    g_pMyMessenger->Start();
}

// A test without its front end would end the moment it started, after the
// port had been set up for nothing.
bool FrontEndMissing() {
    if (!g_Settings.bGuiLink || dwStatus != STATUS_NO_FRONT_END) return false;
    LogPrint(1, "ERROR: No front end listens at %s (-g); start the front end first\n",
             platform::PipePath(kFrontEndPipeName).c_str());
    return true;
}

// Bounded, so that a front end that vanishes or never answers cannot keep the
// finished test from ending.
void WaitForEndAck() {
    for (uint32_t waited = 0; waited < kEndAckTimeoutMs; ++waited) {
        if (g_bGuiEndAck || !GuiConnected()) return;
        platform::SleepMs(1);
    }
}

void EndFrontEndLink() {
    if (GuiConnected()) {
        if (!g_bGuiEndAck) {
            GuiSend(ZVBERT_TEST_ENDED);
            WaitForEndAck();
        }
        GuiSend32(ZVBERT_EXIT_STATUS, dwStatus);
    }
    g_pMessenger = nullptr;
    delete g_pMyMessenger;
    g_pMyMessenger = nullptr;
}

void ApplyTestModes() {
    TestSettings& s = g_Settings;
    if (s.bRoundTripDelay || s.bMultiDrop) {
        s.bHardwareMode = false;
        if (s.uMode == MODE_SYNC) s.uMode = MODE_FRAMED;
    }
}

const char* PortFailureText(uint32_t status, char* buffer, size_t size) {
    switch (status) {
        case STATUS_OPEN_FAILED:
            return "Failed to open port";
        case STATUS_UNSUPPORTED_RATE:
            return "Unsupported Rate";
        case STATUS_UNSUPPORTED_MODE:
            return "Unsupported Mode";
        case STATUS_HW_MODE_UNSUPPORTED:
            return "Hardware Mode not supported";
        default:
            std::snprintf(buffer, size, "Initialisation Error = %u\n", status);
            return buffer;
    }
}

void ReportPortFailure() {
    if (dwStatus == STATUS_OK) dwStatus = STATUS_OPEN_FAILED;
    char text[64];
    const char* reason = PortFailureText(dwStatus, text, sizeof text);
    LogEvent(1, "ERROR: Unable to use the selected port\n");
    LogEvent(1, "ERROR: %s\n", reason);
    // Without data logging the events stay silent, and a test that never ran
    // must not end without a word.
    if (g_Settings.bDataLogging) return;
    LogPrint(1, "ERROR: Unable to use the selected port\n");
    LogPrint(1, "ERROR: %s\n", reason);
}

// A port the card cannot run its BERT engine on is tried once more with the
// test on the host.
bool OpenTestPort() {
    TestSettings& s = g_Settings;
    if (OpenPort(s.uCard, s.uPort)) return true;
    if (s.bHardwareMode && dwStatus == STATUS_HW_MODE_UNSUPPORTED) {
        dwStatus = STATUS_OK;
        s.bHardwareMode = false;
        LogEvent(1, "WARNING: Switching to Software Mode\n");
        if (OpenPort(s.uCard, s.uPort)) return true;
    }
    ReportPortFailure();
    return false;
}

bool StartWorker(std::thread& handle, std::atomic<bool>& stopFlag, ThreadFn fn) {
    stopFlag = false;
    if (fn == nullptr) return false;
    return platform::StartThread(handle, [fn] { fn(); });
}

// A thread that did not start is the run's status whatever came before: it
// is why nothing the test would have measured was measured.
void NoteFailedStart(const char* message, uint32_t status = STATUS_THREAD_FAILED) {
    LogPrint(1, "%s", message);
    dwStatus = status;
    g_bQuit = true;
}

StartOutcome EndAfterFailedStart(const char* message, uint32_t status) {
    NoteFailedStart(message, status);
    StopThreads();
    return StartOutcome::Ended;
}

StartOutcome StartHardwareThreads() {
    if (!StartWorker(g_hRxThread, g_bRxStop, HardwareBERTRxThread))
        return EndAfterFailedStart("Failed to start hardware BERT rx thread\n",
                                   STATUS_THREAD_FAILED);
    return StartOutcome::AllStarted;
}

StartOutcome StartMultiDropThreads() {
    StartOutcome outcome = StartOutcome::AllStarted;
    SetStatsUpdateOutput(OutputMultiStats);
    if (!StartWorker(g_hModbusThread, g_bModbusStop, kModbusThread)) {
        NoteFailedStart("Failed to start ModbusThread\n");
        outcome = StartOutcome::SomeFailed;
    }
    if (g_Settings.bMultiDropMaster &&
        !StartWorker(g_hStatsUpdateThread, g_bStatsUpdateStop, kStatsUpdateThread))
        return EndAfterFailedStart("Failed to start StatsUpdateThread\n", STATUS_THREAD_FAILED);
    return outcome;
}

StartOutcome StartRoundTripDelayThreads() {
    StartOutcome outcome = StartOutcome::AllStarted;
    SetStatsUpdateOutput(OutputRTDStats);
    if (!StartWorker(g_hRTDThread, g_bRTDStop, kRoundTripDelayThread)) {
        NoteFailedStart("Failed to start Round Trip Delay thread\n");
        outcome = StartOutcome::SomeFailed;
    }
    if (!StartWorker(g_hStatsUpdateThread, g_bStatsUpdateStop, kStatsUpdateThread))
        return EndAfterFailedStart("Failed to start StatsUpdate thread\n", STATUS_THREAD_FAILED);
    return outcome;
}

StartOutcome StartSoftwareThreads() {
    const int32_t select = g_Settings.iTestSelect;
    if ((select == TEST_TXRX || select == TEST_TX) &&
        !StartWorker(g_hTxThread, g_bTxStop, TxEventThread))
        return EndAfterFailedStart("Failed to start tx thread\n", STATUS_TX_THREAD_FAILED);
    if ((select == TEST_TXRX || select == TEST_RX) &&
        !StartWorker(g_hRxThread, g_bRxStop, KVIOEventThread))
        return EndAfterFailedStart("Failed to start rx thread\n", STATUS_THREAD_FAILED);
    if (select >= TEST_ECHO && !StartWorker(g_hRxThread, g_bRxStop, EchoThread))
        return EndAfterFailedStart("Failed to start echo thread\n", STATUS_THREAD_FAILED);
    return StartOutcome::AllStarted;
}

StartOutcome StartWorkerThreads() {
    if (g_Settings.bHardwareMode) return StartHardwareThreads();
    if (g_Settings.bMultiDrop) return StartMultiDropThreads();
    if (g_Settings.bRoundTripDelay) return StartRoundTripDelayThreads();
    return StartSoftwareThreads();
}

void AnnounceStartToFrontEnd() {
    if (!GuiConnected()) return;
    GuiSend(ZVBERT_TEST_STARTED);
    const bool multiDropSlave = g_Settings.bMultiDrop && !g_Settings.bMultiDropMaster;
    if (!g_Settings.bRoundTripDelay && !multiDropSlave)
        GuiSend8(ZVBERT_SYNC_STATE, g_bInSync ? 1 : 0);
}

void RunWorkers() {
    LogPrint(3, "Starting tx/rx threads %u\n", g_bQuit ? 1u : 0u);
    StartOutcome outcome = StartWorkerThreads();
    if (outcome == StartOutcome::Ended) return;
    if (outcome == StartOutcome::AllStarted) AnnounceStartToFrontEnd();
    if (g_bQuit)
        StopThreads();
    else
        RunKeyLoop();
}

void CreateTxEvents() {
    g_hTxEvent = new platform::Event(false, true);
    g_hTxDoneEvent = new platform::Event(true, false);
}

void CloseTxEvents() {
    platform::Event* tx = g_hTxEvent;
    platform::Event* txDone = g_hTxDoneEvent;
    g_hTxEvent = nullptr;
    g_hTxDoneEvent = nullptr;
    delete tx;
    delete txDone;
}

// The bit errors the reports show are those counted in sync; bytes checked
// while hunting for the pattern are not errors of the line. A line that was
// not in sync throughout is never clean, whatever it counted in sync.
int SingleLinkVerdict() {
    const int32_t select = g_Settings.iTestSelect;
    const bool checked = !g_Settings.bMultiDrop && !g_Settings.bRoundTripDelay &&
                         (g_Settings.bHardwareMode || select == TEST_TXRX || select == TEST_RX);
    const uint32_t status = dwStatus.load();
    // Without a checker (transmit or echo only), or when a worker could not
    // start, the sync state says nothing about the line.
    const bool syncJudged =
        checked && status != STATUS_THREAD_FAILED && status != STATUS_TX_THREAD_FAILED;
    if (syncJudged && g_bFirstSyncPending) return kExitNeverInSync;
    if (syncJudged && (g_bSyncLostInRun || !g_bInSync)) return kExitLostSync;
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    return g_BertStats.i64SBitErrorCount == 0 ? 1 : 0;
}

int ExitCodeOfTest() {
    switch (dwStatus.load()) {
        case STATUS_CARD_REMOVED:
            return kExitCardRemoved;
        case STATUS_LINK_FAILED:
            return kExitLinkFailed;
        // The multi-drop test opens and sets up its port in its own thread.
        case STATUS_BAD_PARAMETERS:
        case STATUS_OPEN_FAILED:
        case STATUS_UNSUPPORTED_RATE:
        case STATUS_UNSUPPORTED_MODE:
        case STATUS_HW_MODE_UNSUPPORTED:
            return kExitSetupFailed;
        default:
            break;
    }
    if (g_Settings.bMultiDropMaster) return SyncExitCode(MultiDropBitErrors() == 0 ? 1 : 0);
    if (g_Settings.bRoundTripDelay) return SyncExitCode(1);
    return SingleLinkVerdict();
}

int RunTest() {
    platform::ConsoleInit();
    // The modes are fixed before discovery starts its thread, which may log.
    ApplyTestModes();
    StartCardDiscovery();
    CreateTxEvents();
    // The multi-drop test reaches its line through the Modbus thread.
    const bool portReady = g_Settings.bMultiDrop || OpenTestPort();
    if (portReady) RunWorkers();
    CloseTxEvents();
    platform::ConsoleRestore();
    return portReady ? ExitCodeOfTest() : kExitSetupFailed;
}

bool InstallTestDriver() {
    // Fixed before the driver, discovery or any worker starts a thread.
    g_i64PerfTicksPerMs = platform::PerfFrequency() / 1000;
    if (InstallDriver(CreateBackendFromEnvironment)) return true;
    dwStatus = STATUS_BAD_PARAMETERS;
    return false;
}

void Finish(RunFiles& files, int iRet) {
    LogPrint(4, "dwStatus=0x%x\n", dwStatus.load());
    EndFrontEndLink();
    if (dwStatus != STATUS_BAD_PARAMETERS) LogEvent(2, "Test completed\n");
    LogPrint(3, "iRet=%d\n", iRet);
    if (g_pCaptureFile != nullptr) {
        std::fclose(g_pCaptureFile);
        g_pCaptureFile = nullptr;
    }
    if (files.pUserPatternFile != nullptr) std::fclose(files.pUserPatternFile);
    std::free(files.pUserPattern);
    files = RunFiles();
}

void InjectErrors(uint32_t count) {
    LogEvent(3, "Inject %u bit error\n\n", count);
    g_uInjectErrors += count;
}

void ToggleCapture() {
    if (g_Settings.pszCaptureFile == nullptr) {
        LogPrint(1, "Cannot capture data, filename isn't specified\n");
        return;
    }
    // Its open failed and was reported at the start; no capture can begin.
    if (g_pCaptureFile == nullptr) {
        LogPrint(1, "Cannot capture data, filename %s isn't open\n", g_Settings.pszCaptureFile);
        return;
    }
    const bool capturing = g_bCapture;
    LogPrint(2, "%s capture\n", capturing ? "Stop" : "Start");
    g_bCapture = !capturing;
}

void HandleKey(int key) {
    switch (key) {
        case '1':
        case 'i':
            InjectErrors(1);
            break;
        case '2':
            InjectErrors(2);
            break;
        case '3':
            InjectErrors(3);
            break;
        case '4':
            InjectErrors(4);
            break;
        case 'r':
            RequestStatsReset();
            LogEvent(2, "Stats reset\n\n");
            break;
        case 's':
            g_bShowStatsNow = true;
            if (g_hRxEvent != nullptr) g_hRxEvent->Set();
            break;
        case 'c':
            ToggleCapture();
            break;
        case '?':
            PrintKeyHelp();
            break;
        default:
            break;
    }
}

// The multi-drop and round-trip delay threads are watched by their running
// flags rather than waited for without a word.
void StopWatchedThreads(std::atomic<bool>& stop, std::atomic<bool>& running, std::thread& thread,
                        const char* format) {
    stop = true;
    g_bStatsUpdateStop = true;
    auto state = [](bool active) { return active ? "Active" : "Stopped"; };
    while (running || g_bStatsUpdateRunning) {
        LogPrint(3, format, state(running), state(g_bStatsUpdateRunning));
        platform::SleepMs(kRunningFlagPollMs);
    }
    LogPrint(3, format, state(false), state(false));
    platform::JoinThread(thread);
    platform::JoinThread(g_hStatsUpdateThread);
}

void StopSingleLinkThreads() {
    g_bRxStop = true;
    if (g_hRxEvent != nullptr) g_hRxEvent->Set();
    g_bTxStop = true;
    if (g_hTxEvent != nullptr) g_hTxEvent->Set();
    platform::JoinThread(g_hRxThread);
    platform::JoinThread(g_hTxThread);
}

}  // namespace

bool InstallDriver(DriverFactory factory) {
    if (card::GetDriver() != nullptr) return true;
    std::string error;
    std::unique_ptr<card::Driver> driver = factory(&error);
    if (driver == nullptr && !error.empty()) {
        LogPrint(1, "ERROR: Card configuration %s\n", error.c_str());
        return false;
    }
    card::SetDriver(std::move(driver));
    return true;
}

void StopThreads() {
    if (g_Settings.bMultiDrop)
        StopWatchedThreads(g_bModbusStop, g_bModbusRunning, g_hModbusThread,
                           "ModbusThread %s, UpdateThread is %s\n");
    else if (g_Settings.bRoundTripDelay)
        StopWatchedThreads(g_bRTDStop, g_bRTDRunning, g_hRTDThread,
                           "RTDThread %s, UpdateThread %s\n");
    else
        StopSingleLinkThreads();
    // Only now: no request still pending at the driver may use the ring, the
    // receive event or the slot buffers.
    ReleasePort();
    FreeTxSlots();
}

int WaitForKey() {
    for (;;) {
        // Sleeps on the console instead of checking every millisecond; the
        // time-out only bounds how late a signal's key can be noticed.
        while (!platform::KeyWaiting()) platform::WaitForKeyActivity(100);
        int key = platform::ReadKey();
        if (key >= 0) return key;
    }
}

namespace {

// Without a receive thread nothing else watches the clock, so the key loop
// ends a test of a given length itself. 0: no such end.
int64_t KeyLoopEndTicks() {
    const TestSettings& s = g_Settings;
    if (!s.bTestDurationGiven || s.uTestDurationSecs == 0) return 0;
    if (s.bHardwareMode || s.bMultiDrop || s.bRoundTripDelay) return 0;
    if (s.iTestSelect == TEST_TXRX || s.iTestSelect == TEST_RX) return 0;
    return GetTicks() + int64_t{s.uTestDurationSecs} * 1000 * g_i64PerfTicksPerMs;
}

// The next key, or 'x' once endTicks (when not 0) has passed.
int WaitForKeyUntil(int64_t endTicks) {
    for (;;) {
        while (!platform::KeyWaiting()) {
            if (endTicks != 0 && GetTicks() >= endTicks) {
                LogPrint(4, "Stop on Time %lu\n",
                         static_cast<unsigned long>(g_Settings.uTestDurationSecs));
                return 'x';
            }
            platform::WaitForKeyActivity(100);
        }
        int key = platform::ReadKey();
        if (key >= 0) return key;
    }
}

}  // namespace

void RunKeyLoop() {
    const int64_t endTicks = KeyLoopEndTicks();
    for (;;) {
        const int key = WaitForKeyUntil(endTicks) & 0xFF;
        if (key == 'x' || key == kKeyEscape) {
            g_bQuit = true;
            StopThreads();
            return;
        }
        {
            std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
            HandleKey(key);
        }
        if (g_bQuit) {
            StopThreads();
            return;
        }
    }
}

int RunOndrel(int argc, char** argv) {
    // A stop signal in the first milliseconds must find its handler, or the
    // process dies without a word.
    platform::ConsoleInit();
    RunFiles files;
    const int parsed = ParseCommandLine(argc, argv);
    Announce(argc, argv);
    int iRet = parsed;
    bool valid = false;
    if (parsed == 1) {
        valid = CheckSettings(files);
        iRet = 0;
    }
    if (parsed != 1 || !valid) {
        PrintUsage();
        dwStatus = STATUS_BAD_PARAMETERS;
    } else if (!InstallTestDriver()) {
        // Before the test is announced: a driver that cannot be had means
        // no test at all.
        valid = false;
        iRet = kExitDriverUnavailable;
    } else {
        valid = PrepareTest(files);
    }
    StartFrontEndLink();
    if (valid && FrontEndMissing()) {
        valid = false;
        iRet = kExitNoFrontEnd;
    }
    if (valid) iRet = RunTest();
    // The driver goes now, while everything that uses it is still alive; left
    // to the end of the process it would go in no particular order.
    card::SetDriver(nullptr);
    Finish(files, iRet);
    return iRet;
}
