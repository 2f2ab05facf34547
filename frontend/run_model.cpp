#include "frontend/run_model.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "frontend/json.h"
#include "gui/tags.h"

namespace {

struct Figure {
    uint16_t uTag;
    const char* pszKey;
};

const Figure kFigures[] = {
    {ZVBERT_ELAPSED_USECS, "elapsedUsecs"},
    {ZVBERT_RX_BITS, "rxBits"},
    {ZVBERT_RX_BLOCKS, "rxBlocks"},
    {ZVBERT_RATE, "rate"},
    {ZVBERT_BIT_ERRORS, "bitErrors"},
    {ZVBERT_BLOCK_ERRORS, "blockErrors"},
    {ZVBERT_ES, "erroredSeconds"},
    {ZVBERT_SES, "severelyErroredSeconds"},
    {ZVBERT_AS, "availableSeconds"},
    {ZVBERT_LOS_COUNT, "losCount"},
    {ZVBERT_SYNC_COUNT, "syncCount"},
    {ZVBERT_LOS_USECS, "losUsecs"},
    {ZVBERT_CRC_ERRORS, "crcErrors"},
    {ZVBERT_FRAMING_ERRORS, "framingErrors"},
    {ZVBERT_RTD_LAST, "rtdLastMs"},
    {ZVBERT_RTD_RX, "rtdReturned"},
    {ZVBERT_RTD_LOST, "rtdLost"},
    {ZVBERT_SLAVE_ELAPSED_USECS, "elapsedUsecs"},
    {ZVBERT_SLAVE_RX_BITS, "rxBits"},
    {ZVBERT_SLAVE_RX_BLOCKS, "rxBlocks"},
    {ZVBERT_SLAVE_BIT_ERRORS, "bitErrors"},
    {ZVBERT_SLAVE_BLOCK_ERRORS, "blockErrors"},
    {ZVBERT_SLAVE_ES, "erroredSeconds"},
    {ZVBERT_SLAVE_SES, "severelyErroredSeconds"},
    {ZVBERT_SLAVE_AS, "availableUsecs"},
    {ZVBERT_SLAVE_LOS_COUNT, "losCount"},
    {ZVBERT_SLAVE_SYNC_COUNT, "syncCount"},
    {ZVBERT_SLAVE_LOS_USECS, "losUsecs"},
};

// Columns of the CSV and keys of a JSON row, in this order.
const char* const kColumns[] = {
    "slave", "sync", "elapsedUsecs", "rxBits", "rxBlocks", "rate", "bitErrors", "blockErrors",
    "erroredSeconds", "severelyErroredSeconds", "availableSeconds", "availableUsecs", "losCount",
    "syncCount", "losUsecs", "crcErrors", "framingErrors", "berPercent", "ber", "esrPercent",
    "sesrPercent", "asrPercent", "losrPercent", "rtdLastMs", "rtdTrendMs", "rtdReturned",
    "rtdLost",
};

const std::map<uint8_t, const char*> kSignalNames = {
    {SIGNAL_ITEM_DTR, "dtr"}, {SIGNAL_ITEM_RTS, "rts"},
    {SIGNAL_ITEM_CTS, "cts"}, {SIGNAL_ITEM_DCD, "dcd"},
    {SIGNAL_ITEM_TIV, "tiv"}, {SIGNAL_ITEM_RX_INVERTED, "rxInverted"},
    {SIGNAL_ITEM_MANUAL_INVERT, "manualInvert"},
};

using Fields = std::map<std::string, std::string>;  // key -> JSON number, or "" for none

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The ratios as the program's report prints them (the same types and
// rounding), so that page, files and console show the same digits.
void AddRatios(const std::map<uint16_t, int64_t>& v, uint16_t base, Fields& f) {
    auto at = [&](uint16_t tag) {
        const auto found = v.find(static_cast<uint16_t>(base + tag - 3000));
        return found == v.end() ? int64_t{-1} : found->second;
    };
    const int64_t bits = at(ZVBERT_RX_BITS), errors = at(ZVBERT_BIT_ERRORS);
    if (bits >= 0 && errors >= 0) {
        // No ratio before a whole block has come.
        const bool measured = at(ZVBERT_RX_BLOCKS) > 0 && bits > 0;
        const double percent = measured ? static_cast<double>(errors) * 100.0 / bits : 0.0;
        f["berPercent"] = Format("%.2f", static_cast<float>(percent));
        f["ber"] = Format("%.3e", percent / 100.0);
    }
    const int64_t elapsed = at(ZVBERT_ELAPSED_USECS);
    if (base != 3000 || elapsed <= 1000000 || at(ZVBERT_ES) < 0) return;
    const double seconds = static_cast<double>(elapsed / 1000000);
    f["esrPercent"] = Format("%.2f", at(ZVBERT_ES) * 100.0 / seconds);
    f["sesrPercent"] = Format("%.2f", at(ZVBERT_SES) * 100.0 / seconds);
    f["asrPercent"] = Format("%.2f", at(ZVBERT_AS) * 100.0 / seconds);
    if (at(ZVBERT_LOS_USECS) >= 0)
        f["losrPercent"] = Format("%.2f", static_cast<float>(at(ZVBERT_LOS_USECS) * 100) /
                                              static_cast<float>(elapsed));
}

Fields RowFields(const ReportRow& row) {
    Fields f;
    if (row.iSlave >= 0) f["slave"] = std::to_string(row.iSlave);
    f["sync"] = row.iSync < 0 ? "" : std::to_string(row.iSync);
    for (const Figure& fig : kFigures)
        if (row.values.count(fig.uTag)) f[fig.pszKey] = std::to_string(row.values.at(fig.uTag));
    if (row.values.count(ZVBERT_RTD_TREND))
        f["rtdTrendMs"] = Format("%.3f", row.values.at(ZVBERT_RTD_TREND) / 10.0);
    AddRatios(row.values, row.iSlave >= 0 ? 5000 : 3000, f);
    return f;
}

std::string RowJson(const ReportRow& row) {
    const Fields f = RowFields(row);
    std::string out;
    JsonObject o(out);
    for (const char* key : kColumns)
        if (f.count(key)) o.Raw(key, f.at(key).empty() ? "null" : f.at(key));
    o.End();
    return out;
}

std::string SlaveJson(int id, const SlaveState& s) {
    std::string out;
    JsonObject(out).Int("id", id).Known("polled", s.iPolled).Known("sync", s.iSync)
        .Known("rxInverted", s.iRxInverted).Known("txInverted", s.iTxInverted)
        .Raw("figures", RowJson({id, s.iSync, s.values})).End();
    return out;
}

std::string Now(const char* format) {
    char text[64];
    const std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, format, &local);
    return text;
}

const char* OnOff(uint8_t state) { return state == SIGNAL_STATE_ON ? "on" : "off"; }

}  // namespace

void RunModel::SetCommand(const std::vector<std::string>& command) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_ = command;
    started_ = Now("%Y-%m-%dT%H:%M:%S%z");
}

void RunModel::Apply(const TlvRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    ApplyLocked(record);
    ++version_;
    changed_.notify_all();
}

void RunModel::ApplyLocked(const TlvRecord& r) {
    const uint32_t tag = r.uTag;
    if (tag >= ZVBERT_ELAPSED_USECS && tag <= ZVBERT_FRAMING_ERRORS) {
        values_[tag] = static_cast<int64_t>(r.U64(0));
        // A single-link report ends with its sync count, a delay report with
        // its test time.
        const bool reportEnds = roundTrip_ ? tag == ZVBERT_ELAPSED_USECS : tag == ZVBERT_SYNC_COUNT;
        if (reportEnds) rows_.push_back({-1, sync_, values_});
        return;
    }
    if (tag >= ZVBERT_RTD_LAST && tag <= ZVBERT_RTD_LOST) {
        roundTrip_ = true;
        if (tag == ZVBERT_RTD_HISTOGRAM)
            histogram_[r.U32(0)] = r.U32(4);
        else
            values_[tag] = tag == ZVBERT_RTD_RX || tag == ZVBERT_RTD_LOST
                               ? static_cast<int64_t>(r.U64(0))
                               : r.U32(0);
        return;
    }
    if (tag >= ZVBERT_MULTIDROP_INVERSION && tag <= ZVBERT_SLAVE_LOS_USECS) return ApplySlave(r);
    switch (tag) {
        case ZVBERT_TEST_STARTED:
            testStarted_ = true;
            return NoteLocked("Test started");
        case ZVBERT_TEST_ENDED:
            testEnded_ = true;
            CloseSlaveReport();
            return NoteLocked("Test ended");
        case ZVBERT_EXIT_STATUS:
            exitStatus_ = r.U32(0);
            CloseSlaveReport();
            return NoteLocked("Exit status " + std::to_string(exitStatus_));
        case ZVBERT_SIGNAL_CHANGE:
            return ApplySignal(r.Byte(0), r.Byte(1));
        case ZVBERT_SYNC_STATE:
            if (sync_ != r.Byte(0)) NoteLocked(r.Byte(0) ? "In sync" : "Not in sync");
            sync_ = r.Byte(0) ? 1 : 0;
            return;
        default:
            return NoteLocked("Message " + std::to_string(tag) + " not known");
    }
}

void RunModel::ApplySignal(uint8_t item, uint8_t state) {
    auto name = kSignalNames.find(item);
    if (name == kSignalNames.end()) return NoteLocked("Signal item " + std::to_string(item) + " not known");
    if (signals_[item] != state) NoteLocked(std::string(name->second) + " " + OnOff(state));
    signals_[item] = state;
}

void RunModel::ApplySlave(const TlvRecord& r) {
    const int id = r.Byte(0);
    const uint32_t tag = r.uTag;
    if (id == 0) {
        if (tag == ZVBERT_SLAVE_ELAPSED_USECS) {
            // Slave 0 opens each report with the test time.
            CloseSlaveReport();
            values_[ZVBERT_ELAPSED_USECS] = static_cast<int64_t>(r.U64(1));
        } else if (tag == ZVBERT_MULTIDROP_SYNC) {
            // Every slave past its first sync.
            if (r.Byte(1) && sync_ != 1) NoteLocked("All slaves in sync");
            sync_ = r.Byte(1) ? 1 : 0;
        }
        return;
    }
    SlaveState& slave = slaves_[id];
    switch (tag) {
        case ZVBERT_MULTIDROP_INVERSION:
            (r.Byte(1) == SIGNAL_ITEM_TIV ? slave.iTxInverted : slave.iRxInverted) = r.Byte(2) == 2;
            return;
        case ZVBERT_MULTIDROP_SYNC:
            if (slave.iSync != (r.Byte(1) ? 1 : 0))
                NoteLocked("Slave " + std::to_string(id) + (r.Byte(1) ? " in sync" : " lost sync"));
            slave.iSync = r.Byte(1) ? 1 : 0;
            return;
        case ZVBERT_MULTIDROP_SLAVE_ACTIVE:
            slave.iPolled = r.Byte(1) ? 1 : 0;
            return;
        default:
            // The program sends a slave's figure only when it changed from the
            // last sent, which starts at 0.
            if (slave.values.empty())
                for (uint16_t t = ZVBERT_SLAVE_ELAPSED_USECS; t <= ZVBERT_SLAVE_LOS_USECS; ++t)
                    if (t != ZVBERT_SLAVE_ELAPSED_USECS + 1) slave.values[t] = 0;
            slave.values[static_cast<uint16_t>(tag)] = static_cast<int64_t>(r.U64(1));
            slaveReportOpen_ = true;
    }
}

void RunModel::CloseSlaveReport() {
    if (!slaveReportOpen_) return;
    slaveReportOpen_ = false;
    for (const auto& [id, slave] : slaves_)
        if (!slave.values.empty()) rows_.push_back({id, slave.iSync, slave.values});
}

void RunModel::NoteSent(uint32_t tag, const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t b0 = value.size() > 0 ? value[0] : 0, b1 = value.size() > 1 ? value[1] : 0;
    switch (tag) {
        case ZVBERT_INJECT_ERRORS:
            NoteLocked("Inject " + std::to_string(b0) + " bit errors");
            break;
        case ZVBERT_RESET_STATS:
            // The program starts its histogram afresh and sends only changes.
            histogram_.clear();
            NoteLocked("Reset statistics");
            break;
        case ZVBERT_STOP:
            NoteLocked("Stop");
            break;
        case ZVBERT_SIGNAL_CHANGE:
            ApplySignal(b0, b1);
            break;
        case ZVBERT_MULTIDROP_POLL_SLAVE:
            NoteLocked((b1 ? "Poll slave " : "Stop polling slave ") + std::to_string(b0));
            break;
        default:
            break;
    }
    ++version_;
    changed_.notify_all();
}

void RunModel::SetConnected(bool connected) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = connected;
    CloseSlaveReport();
    NoteLocked(connected ? "ondrel connected" : "ondrel disconnected");
    ++version_;
    changed_.notify_all();
}

void RunModel::SetExitCode(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    exitCode_ = code;
    NoteLocked("ondrel ended with exit code " + std::to_string(code));
    ++version_;
    changed_.notify_all();
}

void RunModel::Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    NoteLocked(text);
    ++version_;
    changed_.notify_all();
}

void RunModel::NoteLocked(const std::string& text) { notes_.push_back(Now("%H:%M:%S ") + text); }

std::map<uint16_t, int64_t> RunModel::Values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

std::vector<ReportRow> RunModel::Rows() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_;
}

std::map<uint32_t, uint32_t> RunModel::Histogram() {
    std::lock_guard<std::mutex> lock(mutex_);
    return histogram_;
}

std::map<int, SlaveState> RunModel::Slaves() {
    std::lock_guard<std::mutex> lock(mutex_);
    return slaves_;
}

void RunModel::WriteState(std::string& out, bool withRows, const char* rowSeparator) {
    const char* phase = !testStarted_ && !testEnded_ ? (connected_ ? "starting" : "waiting")
                        : testEnded_ || !connected_  ? "ended"
                                                     : "running";
    std::string signals;
    JsonObject s(signals);
    for (const auto& [item, state] : signals_) s.Int(kSignalNames.at(item), state == SIGNAL_STATE_ON);
    s.End();
    // The page shows the latest notes; the results keep them all.
    const size_t shown = withRows ? notes_.size() : std::min<size_t>(notes_.size(), 50);
    const std::vector<std::string> notes(notes_.end() - static_cast<std::ptrdiff_t>(shown), notes_.end());

    JsonObject o(out);
    o.Text("program", "ondrel").Raw("command", JsonArray(command_, JsonQuote));
    o.Text("started", started_).Text("phase", phase).Raw("connected", connected_ ? "true" : "false");
    o.Raw("exitStatus", exitStatus_ < 0 ? "null" : std::to_string(exitStatus_));
    o.Known("exitCode", exitCode_).Known("sync", sync_).Raw("signals", signals);
    o.Text("test", !slaves_.empty() ? "multidrop" : roundTrip_ ? "rtd" : "single");
    o.Raw("latest", RowJson({-1, sync_, values_}));
    o.Raw("histogram", JsonArray(histogram_, [](const auto& h) {
        return "[" + std::to_string(h.first) + "," + std::to_string(h.second) + "]";
    }));
    o.Raw("slaves", JsonArray(slaves_, [](const auto& slave) { return SlaveJson(slave.first, slave.second); }));
    o.Raw("notes", JsonArray(notes, JsonQuote)).Int("reportCount", static_cast<int64_t>(rows_.size()));
    if (withRows) o.Raw("reports", JsonArray(rows_, RowJson, rowSeparator));
    o.End();
}

std::string RunModel::ResultsJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    WriteState(out, true, ",\n");
    return out + "\n";
}

std::string RunModel::ResultsCsv() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Fields> rows;
    for (const ReportRow& row : rows_) rows.push_back(RowFields(row));
    std::vector<const char*> columns;
    for (const char* key : kColumns)
        for (const Fields& f : rows)
            if (f.count(key)) {
                columns.push_back(key);
                break;
            }
    std::string out;
    for (const char* key : columns) out += std::string(out.empty() ? "" : ",") + key;
    out += "\n";
    for (const Fields& f : rows) {
        for (size_t i = 0; i < columns.size(); ++i)
            out += (i ? "," : "") + (f.count(columns[i]) ? f.at(columns[i]) : "");
        out += "\n";
    }
    return out;
}

std::string RunModel::NextEvents(FeedCursor& cursor, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string out;
    if (!cursor.bSnapshotSent) {
        cursor.bSnapshotSent = true;
        cursor.uRowsSent = rows_.size();
        cursor.uVersionSent = version_;
        out = "event: snapshot\ndata: ";
        WriteState(out, true, ",");
        return out + "\n\n";
    }
    auto news = [&] { return closed_ || version_ != cursor.uVersionSent; };
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), news)) return ": idle\n\n";
    // The state goes out at most every 100 ms however fast the records come.
    changed_.wait_until(lock, cursor.lastState + std::chrono::milliseconds(100), [&] { return closed_; });
    for (; cursor.uRowsSent < rows_.size(); ++cursor.uRowsSent) {
        out += "event: row\ndata: " + RowJson(rows_[cursor.uRowsSent]) + "\n\n";
    }
    out += "event: state\ndata: ";
    WriteState(out, false, "");
    out += "\n\n";
    cursor.uVersionSent = version_;
    cursor.lastState = std::chrono::steady_clock::now();
    return out;
}

void RunModel::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool RunModel::Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}
