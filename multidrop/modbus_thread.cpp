#include "multidrop/modbus_thread.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "card/driver.h"
#include "card/driver_error.h"
#include "card/ioctl.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "modbus/modbus.h"
#include "multidrop/slave_table.h"
#include "pattern/fixed_patterns.h"
#include "pattern/pattern_check.h"
#include "platform/sync.h"
#include "port/port_config.h"
#include "stats/stats_update.h"

std::atomic<bool> g_bRxInvertedNow{false};
std::atomic<bool> g_bTxInvertedNow{false};

namespace {

constexpr uint32_t kMaxDataLength = 249;
constexpr uint32_t kRxInvertBit = 4;
constexpr uint32_t kTxInvertBit = 8;
constexpr uint8_t kInjectMasks[8] = {0x80, 0x88, 0x98, 0x99, 0xB9, 0xBB, 0xFB, 0xFF};

int64_t NowUsecs() { return TicksToUsecs(GetTicks()); }

modbus_hdlc_line_t LineOfSettings() {
    const TestSettings& s = g_Settings;
    modbus_hdlc_line_t line;
    line.card = s.uCard;
    line.port = s.uPort;
    line.mode = s.uMode;
    line.interface = s.uInterface;
    line.encoding = s.uEncoding;
    line.rate = s.uClockRate;
    line.externalClock = s.bExternalClock;
    line.termination = s.bTermination;
    line.nrziClocking = s.bNrziClocking;
    line.invertRxClock = s.bInvertRxClock;
    line.dataBits = s.uDataBits;
    line.parity = s.uParity;
    line.stopBits = s.uStopBits;
    line.flowControl = s.uFlowControl;
    line.dataLength = s.uDataLength;
    return line;
}

struct ModbusRun {
    modbus_t* ctx = nullptr;
    card::PortHandle handle = card::kInvalidHandle;
};

uint32_t EndThread(ModbusRun& run, uint32_t result) {
    modbus_free(run.ctx);
    run.ctx = nullptr;
    g_bModbusRunning = false;
    PushQuitKey();
    return result;
}

// Both modes: the context, the connection and the port's dumps.
bool Connect(ModbusRun& run) {
    LogPrint(3, "%s ModbusThread, Starting\n", LogTimestamp());
    run.ctx = modbus_new_hdlc(LineOfSettings(), &run.handle);
    if (run.ctx == nullptr || modbus_connect(run.ctx) != 0) {
        LogPrint(1, "ModbusThread, Exiting, modbus_connect failure\n");
        NoteRunFailure(STATUS_OPEN_FAILED);
        return false;
    }
    if (run.handle == card::kInvalidHandle) {
        LogPrint(1, "ModbusThread, Exiting, invalid handle\n");
        NoteRunFailure(STATUS_OPEN_FAILED);
        return false;
    }
    DumpPortConfig(run.handle);
    DumpSerialConfig(run.handle);
    ReadCardInfo(run.handle);
    if (g_Settings.uVerbosity == 4) modbus_set_debug(run.ctx, 1);
    // Twice the receiver's first period, so that the two inversions step on
    // different polls and every combination of them is tried; with equal
    // periods both flipped together and the echo's net inversion never changed.
    g_i64TxInvertPeriodSecs = 4;
    g_bTxAutoInvert = g_Settings.bAutoInvert;
    return true;
}

bool SetTimeouts(ModbusRun& run) {
    const TestSettings& s = g_Settings;
    modbus_timeout_t byteTimeout;
    byteTimeout.usec = int32_t(16000000 / s.uClockRate + (s.uMode == MODE_ASYNC ? 8000 : 0));
    // Above 16 Mbit/s two characters take less than a microsecond; a time-out
    // of 0 would be refused.
    if (byteTimeout.usec == 0) byteTimeout.usec = 1;
    LogPrint(3, "Setting byte timeout to sec %ld, usec %ld\n", long(byteTimeout.sec),
             long(byteTimeout.usec));
    if (modbus_set_byte_timeout(run.ctx, &byteTimeout) != 0) {
        const int error = errno;
        LogPrint(1, "Error setting byte timeout, errno %d, %s\n", error, std::strerror(error));
        NoteRunFailure(STATUS_BAD_PARAMETERS);
        return false;
    }
    const int64_t v = int64_t(8000000 / s.uClockRate) * 498 + 200000;
    modbus_timeout_t responseTimeout;
    responseTimeout.sec = int32_t(v / 1000000);
    responseTimeout.usec = int32_t(v % 1000000);
    LogPrint(3, "Setting response timeout to sec %ld, usec %ld\n", long(responseTimeout.sec),
             long(responseTimeout.usec));
    if (modbus_set_response_timeout(run.ctx, &responseTimeout) != 0) {
        LogPrint(1, "Error setting response timeout\n");
        NoteRunFailure(STATUS_BAD_PARAMETERS);
        return false;
    }
    return true;
}

// Each list is built first and written in one piece, so that the console
// and log copies cannot interleave.
void ListSlaves() {
    std::string list;
    for (int id = kFirstSlaveId; id <= kLastSlaveId; ++id)
        if (g_aSlaveStats[id].bPoll) list += " " + std::to_string(id);
    LogPrint(3, "Slaves To Poll:%s\n", list.c_str());
    LogEvent(2, "Slaves To Poll:%s\n", list.c_str());
}

void WaitForTicker() {
    LogPrint(3, "ModbusThread, Waiting for StatsUpdateThread to start\n");
    while (g_hStatsUpdateEvent.load() == nullptr && !g_bModbusStop) platform::SleepMs(10);
    if (platform::Event* event = g_hStatsUpdateEvent.load()) event->Set();
}

// Switches the card's receiver or transmitter inversion when the slave about
// to be polled wants the other state.
void ApplyInversion(card::PortHandle handle, int id, bool wanted, std::atomic<bool>& now,
                    uint32_t bit, const char* side, const char* eventSide, const char* failure) {
    if (wanted == now) return;
    const uint32_t word = g_dwExtendedConfig.fetch_xor(bit) ^ bit;
    if (!DriverIoctl(handle, IOCTL_SET_INVERSION, &word, sizeof word, nullptr, 0, nullptr)) {
        LogPrint(1, failure, id);
        return;
    }
    now = !now;
    const char* state = now ? "inverted" : "normal";
    LogPrint(4, "SlaveId %d, %s status: %s\n", id, side, state);
    LogEvent(2, "SlaveId %d, %s status: %s\n", id, eventSide, state);
}

void FillRequest(std::vector<uint8_t>& request, SlaveStats& slave) {
    FillPatternBufferFrom(g_Settings.uPatternType, request.data(), uint32_t(request.size()),
                          slave.txscram, slave.uPatternPos);
    const uint32_t pending = g_uInjectErrors.load();
    if (pending == 0 || request.empty()) return;
    const uint32_t n = pending < 8 ? pending : 8;
    request[0] ^= kInjectMasks[n - 1];
    g_uInjectErrors -= n;
}

// The next selected slave from next on, or 0 when none is selected.
int NextSlave(int& next) {
    for (int tried = 0; tried < kLastSlaveId; ++tried) {
        if (next > kLastSlaveId) next = kFirstSlaveId;
        const int candidate = next++;
        if (g_aSlaveStats[candidate].bPoll) return candidate;
    }
    return 0;
}

void OnReply(int id, const uint8_t* reply, int rc, int64_t pollStart) {
    SlaveStats& slave = g_aSlaveStats[id];
    if (slave.bPoll && !slave.bActive) {
        slave.bActive = true;
        LogPrint(2, "SlaveId %d, Setting Active\n", id);
        LogEvent(2, "SlaveId %d, Setting Active\n", id);
        GuiSend2(ZVBERT_MULTIDROP_SLAVE_ACTIVE, uint8_t(id), 1);
    }
    const int n = rc - MODBUS_FRAME_OVERHEAD;
    if (n <= 0) {
        LogPrint(1, "SlaveId %d, Bad Data Length %d\n", id, n);
        RequestWorkerStop(g_bModbusStop);
        return;
    }
    BertStats& st = slave.Stats;
    st.i64RxByteCount += n;
    if (slave.bSlaveInSync) {
        st.i64SRxByteCount += n;
        st.i64SRxBitCount = st.i64SRxByteCount * g_uBitsPerChar;
    }
    CheckSlaveData(reply + MODBUS_DATA_OFFSET, uint32_t(n));
    EvaluateSlavePoll(uint32_t(n), NowUsecs() - pollStart);
}

void OnNoReply(int id, int64_t pollStart) {
    SlaveStats& slave = g_aSlaveStats[id];
    LogPrint(2, "SlaveId %d, No Data\n", id);
    LogEvent(2, "SlaveId %d, No Data\n", id);
    if (slave.bActive) {
        slave.bActive = false;
        if (slave.bSlaveInSync) {
            slave.bSlaveInSync = false;
            GuiSend2(ZVBERT_MULTIDROP_SYNC, uint8_t(id), 0);
            ++slave.Stats.i64LosCount;
        }
        LogPrint(2, "SlaveId %d, Setting Not Active, Not In Sync\n", id);
        LogEvent(2, "SlaveId %d, Setting Not Active, Not In Sync\n", id);
        GuiSend2(ZVBERT_MULTIDROP_SLAVE_ACTIVE, uint8_t(id), 0);
    }
    EvaluateSlavePoll(0, NowUsecs() - pollStart);
    if (!slave.bSlaveFirstSyncPending) slave.bLostAfterSync = true;
    // Taken off the list from the front end while the poll waited.
    if (g_Settings.bPollQuietSlaves || !slave.bPoll) return;
    LogPrint(2, "SlaveId %d, Not Active, So Don't Poll\n", id);
    LogEvent(2, "SlaveId %d, Don't Poll Inactive Slaves\n", id);
    --g_Settings.uSelectedSlaves;
    slave.bPoll = false;
    EndFirstSyncWaitIfAllSynced();
}

// The stop rules of the master after each poll; true when polling ends.
bool StopRuleHit(int id) {
    const TestSettings& s = g_Settings;
    const SlaveStats& slave = g_aSlaveStats[id];
    // Bits checked while hunting are no errors of the line.
    if (s.bStopOnError && slave.Stats.i64SBitErrorCount > 0 && !slave.bSlaveFirstSyncPending) {
        LogPrint(1, "Stop On Error, %" PRId64 "\n", slave.Stats.i64SBitErrorCount);
        RequestWorkerStop(g_bModbusStop);
    }
    if (s.bTestDurationGiven || s.uTestLengthBits == 0) return false;
    int64_t bits = 0;
    for (const SlaveStats& each : g_aSlaveStats)
        if (each.bPoll && !each.bSlaveFirstSyncPending) bits += each.Stats.i64SRxBitCount;
    if (bits < int64_t{s.uTestLengthBits}) return false;
    LogPrint(4, "Stop On Bits %" PRId64 "\n", int64_t{s.uTestLengthBits});
    RequestWorkerStop(g_bModbusStop);
    return true;
}

// True when polling goes on; false when no slave is left and the test ends.
bool WaitForSlaves() {
    while (g_Settings.uSelectedSlaves == 0) {
        LogPrint(1, "ModbusThread, Warning - no active slaves\n");
        LogEvent(2, "Warning, No Active Slaves!\n");
        if (!g_Settings.bPollQuietSlaves) {
            LogPrint(1, "ModbusThread, Stopping - no active slaves!\n");
            LogEvent(2, "Test Terminating, No Active Slaves!\n");
            NoteSyncOutcome(SyncOutcome::kLost);
            g_bModbusStop = true;
            return false;
        }
        if (g_bModbusStop) return false;
        platform::SleepMs(1000);
    }
    return true;
}

// One poll of one slave; false when polling must end at once.
bool Poll(ModbusRun& run, int id, std::vector<uint8_t>& request, uint8_t* reply) {
    g_iCurrentSlaveId = id;
    LogPrint(4, "SlaveId now %d\n", id);
    const int64_t pollStart = NowUsecs();
    ScheduleSlaveInversion();
    SlaveStats& slave = g_aSlaveStats[id];
    ApplyInversion(run.handle, id, slave.bRxInvert, g_bRxInvertedNow, kRxInvertBit, "receiver",
                   "reciever", "SlaveId %d, Invert Receiver IOCTL failed\n");
    ApplyInversion(run.handle, id, slave.bTxInvert, g_bTxInvertedNow, kTxInvertBit, "transmitter",
                   "transmitter", "SlaveId %d, Invert Transmitter IOCTL failed\n");
    modbus_set_slave(run.ctx, id);
    {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        FillRequest(request, slave);
    }
    if (modbus_send_diagnostic_request(run.ctx, 0, request.data(), int(request.size())) == -1) {
        LogPrint(1, "Tx Failed, error %d\n", -1);
        LogLastError(1, "Error code returned was ");
        RequestWorkerStop(g_bModbusStop, STATUS_LINK_FAILED);
        return false;
    }
    {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        slave.Stats.i64TxByteCount += int64_t(request.size());
        slave.Stats.i64TxBitCount = slave.Stats.i64TxByteCount * g_uBitsPerChar;
    }
    const int rc = modbus_receive_confirmation(run.ctx, reply);
    LogPrint(5, "modbus_receive, rc was %d\n", rc);
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    if (rc > 0)
        OnReply(id, reply, rc, pollStart);
    else if (rc < 0)
        OnNoReply(id, pollStart);
    else
        LogPrint(1, "Received unexpected zero length message\n");
    return !StopRuleHit(id) && !g_bModbusStop;
}

uint32_t RunMaster(ModbusRun& run) {
    const TestSettings& s = g_Settings;
    g_i64MainStartTicks = GetTicks();
    if (s.uSelectedSlaves == 0) {
        LogPrint(1, "ModbusThread, Warning - no active slaves\n");
        if (!s.bPollQuietSlaves) {
            LogPrint(1, "ModbusThread, Exiting - no active slaves\n");
            return EndThread(run, 0);
        }
    }
    if (s.uDataLength > kMaxDataLength) {
        LogPrint(1, "ModbusThread, Exiting - data length too big %lu\n",
                 static_cast<unsigned long>(s.uDataLength));
        return EndThread(run, 0);
    }
    if (!SetTimeouts(run)) return EndThread(run, 0);
    WaitForTicker();
    ListSlaves();
    PrepareSlaves();
    LogPrint(4, "Modbus data length is %d\n", int(s.uDataLength));
    std::vector<uint8_t> request(s.uDataLength);
    uint8_t reply[MODBUS_MAX_FRAME];
    g_bModbusRunning = true;
    int next = kFirstSlaveId;
    while (!g_bModbusStop && WaitForSlaves()) {
        int id = 0;
        {
            std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
            id = NextSlave(next);
        }
        if (id != 0 && !Poll(run, id, request, reply)) break;
    }
    LogPrint(3, "ModbusThread, Exiting\n");
    OutputMultiStats();
    NoteSlavesSyncOutcome();
    return EndThread(run, 1);
}

uint32_t RunSlave(ModbusRun& run) {
    const int self = g_Settings.iSlaveId;
    uint8_t request[MODBUS_MAX_FRAME];
    modbus_mapping_t* mapping = modbus_mapping_new(2000, 2000, 125, 125);
    modbus_set_slave(run.ctx, self);
    if (g_Settings.uVerbosity == 5) modbus_set_debug(run.ctx, 1);
    LogPrint(3, "BertSlave %d, awaiting messages...\n", self);
    g_bModbusRunning = true;
    while (!g_bModbusStop) {
        int rc = 0;
        // Looks for the stop between waits, so that the end of the test is
        // not held up by a quiet line.
        while (rc == 0 && !g_bModbusStop) rc = modbus_receive(run.ctx, request);
        if (rc == 0) break;
        if (rc == -1) {
            const int error = errno;
            LogPrint(1, "BertSlave %d, modbus_receive, errno %d, %s\n", self, error,
                     modbus_strerror(error));
            RequestWorkerStop(g_bModbusStop);
            break;
        }
        LogPrint(4, "BertSlave %d, modbus_receive, len %d\n", self, rc);
        if (modbus_reply(run.ctx, request, rc, mapping) == -1) {
            const int error = errno;
            LogPrint(1, "BertSlave %d, modbus_reply, errno %d, %s\n", self, error,
                     modbus_strerror(error));
            RequestWorkerStop(g_bModbusStop, STATUS_LINK_FAILED);
            break;
        }
    }
    LogPrint(3, "Exiting ModbusThread\n");
    modbus_mapping_free(mapping);
    return EndThread(run, 1);
}

}  // namespace

uint32_t ModbusThread() {
    ModbusRun run;
    if (!Connect(run)) return EndThread(run, 0);
    return g_Settings.bMultiDropMaster ? RunMaster(run) : RunSlave(run);
}
