#include "frontend/run_model.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frontend/json.h"
#include "gui/tags.h"

namespace {

constexpr size_t kMaxNotes = 2000;
constexpr size_t kMaxSegments = 16;
constexpr size_t kRecentPoints = 1000;

struct Figure {
    uint16_t uTag;
    const char* pszKey;
};

const Figure kFigures[] = {
    {ZVBERT_ELAPSED_USECS, "elapsedUsecs"},
    {ZVBERT_TX_BITS, "txBits"},
    {ZVBERT_RX_BITS, "rxBits"},
    {ZVBERT_RX_BLOCKS, "rxBlocks"},
    {ZVBERT_RATE, "rate"},
    {ZVBERT_BIT_ERRORS, "bitErrors"},
    {ZVBERT_BLOCK_ERRORS, "blockErrors"},
    {ZVBERT_ES, "erroredSeconds"},
    {ZVBERT_SES, "severelyErroredSeconds"},
    {ZVBERT_AS, "availableSeconds"},
    {ZVBERT_ERRORED_SAMPLES, "erroredSamples"},
    {ZVBERT_SEVERELY_ERRORED_SAMPLES, "severelyErroredSamples"},
    {ZVBERT_LOS_COUNT, "losCount"},
    {ZVBERT_SYNC_COUNT, "syncCount"},
    {ZVBERT_LOS_USECS, "losUsecs"},
    {ZVBERT_CRC_ERRORS, "crcErrors"},
    {ZVBERT_FRAMING_ERRORS, "framingErrors"},
    {ZVBERT_RTD_LAST, "rtdLastMs"},
    {ZVBERT_RTD_RX, "rtdReturned"},
    {ZVBERT_RTD_LOST, "rtdLost"},
    {ZVBERT_RTD_TX, "rtdSent"},
    {ZVBERT_RTD_LATE, "rtdLate"},
    {ZVBERT_RTD_MIN, "rtdMinMs"},
    {ZVBERT_RTD_MAX, "rtdMaxMs"},
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

// Keys of a JSON row, in this order.
const char* const kColumns[] = {
    "slave",
    "sync",
    "elapsedUsecs",
    "txBits",
    "rxBits",
    "rxBlocks",
    "rate",
    "bitErrors",
    "blockErrors",
    "erroredSeconds",
    "severelyErroredSeconds",
    "availableSeconds",
    "availableUsecs",
    "erroredSamples",
    "severelyErroredSamples",
    "errorFreeSeconds",
    "efsPercent",
    "losCount",
    "syncCount",
    "losUsecs",
    "crcErrors",
    "framingErrors",
    "berPercent",
    "ber",
    "esrPercent",
    "sesrPercent",
    "asrPercent",
    "losrPercent",
    "rtdSent",
    "rtdReturned",
    "rtdLost",
    "rtdLate",
    "rtdLastMs",
    "rtdMinMs",
    "rtdMaxMs",
    "rtdTrendMs",
};

// The CSV's columns for each kind of test: fixed from the first row on, as
// the file is written while the test runs.
const std::vector<const char*> kSingleColumns = {"sync",
                                                 "elapsedUsecs",
                                                 "txBits",
                                                 "rxBits",
                                                 "rxBlocks",
                                                 "rate",
                                                 "bitErrors",
                                                 "blockErrors",
                                                 "erroredSeconds",
                                                 "severelyErroredSeconds",
                                                 "availableSeconds",
                                                 "erroredSamples",
                                                 "severelyErroredSamples",
                                                 "errorFreeSeconds",
                                                 "efsPercent",
                                                 "losCount",
                                                 "syncCount",
                                                 "losUsecs",
                                                 "crcErrors",
                                                 "framingErrors",
                                                 "berPercent",
                                                 "ber",
                                                 "esrPercent",
                                                 "sesrPercent",
                                                 "asrPercent",
                                                 "losrPercent"};
const std::vector<const char*> kDelayColumns = {"elapsedUsecs", "rtdSent",  "rtdReturned",
                                                "rtdLost",      "rtdLate",  "rtdLastMs",
                                                "rtdMinMs",     "rtdMaxMs", "rtdTrendMs"};
const std::vector<const char*> kSlaveColumns = {
    "slave",          "sync",           "elapsedUsecs",
    "rxBits",         "rxBlocks",       "bitErrors",
    "blockErrors",    "erroredSeconds", "severelyErroredSeconds",
    "availableUsecs", "losCount",       "syncCount",
    "losUsecs",       "berPercent",     "ber"};

const std::map<uint8_t, const char*> kSignalNames = {
    {SIGNAL_ITEM_DTR, "dtr"},
    {SIGNAL_ITEM_RTS, "rts"},
    {SIGNAL_ITEM_CTS, "cts"},
    {SIGNAL_ITEM_DCD, "dcd"},
    {SIGNAL_ITEM_TIV, "tiv"},
    {SIGNAL_ITEM_RX_INVERTED, "rxInverted"},
    {SIGNAL_ITEM_MANUAL_INVERT, "manualInvert"},
};

using Fields = std::map<std::string, std::string>;  // key -> JSON number, or "" for none

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

int64_t ValueOr(const std::map<uint16_t, int64_t>& v, uint16_t tag, int64_t otherwise = -1) {
    const auto found = v.find(tag);
    return found == v.end() ? otherwise : found->second;
}

// The ratios as the program's report prints them (the same types and
// rounding), so that page, files and console show the same digits.
void AddRatios(const std::map<uint16_t, int64_t>& v, uint16_t base, Fields& f) {
    auto at = [&](uint16_t tag) { return ValueOr(v, static_cast<uint16_t>(base + tag - 3000)); };
    const int64_t bits = at(ZVBERT_RX_BITS), errors = at(ZVBERT_BIT_ERRORS);
    if (bits >= 0 && errors >= 0) {
        // A single link has no ratio before a whole block has come; a
        // slave's is over what arrived in sync, however short of a block.
        const bool measured = bits > 0 && (base != 3000 || at(ZVBERT_RX_BLOCKS) > 0);
        const double percent = measured ? static_cast<double>(errors) * 100.0 / bits : 0.0;
        f["berPercent"] = Format("%.2f", static_cast<float>(percent));
        f["ber"] = Format("%.3e", percent / 100.0);
    }
    if (base != 3000) return;
    const int64_t available = at(ZVBERT_AS), errored = at(ZVBERT_ES);
    if (available >= 0 && errored >= 0) {
        // Error-free seconds: available seconds that held no errored second.
        const int64_t errorFree = std::max<int64_t>(0, available - errored);
        f["errorFreeSeconds"] = std::to_string(errorFree);
        if (available > 0) f["efsPercent"] = Format("%.2f", errorFree * 100.0 / available);
    }
    const int64_t elapsed = at(ZVBERT_ELAPSED_USECS);
    if (elapsed <= 1000000 || errored < 0) return;
    const double seconds = static_cast<double>(elapsed / 1000000);
    f["esrPercent"] = Format("%.2f", errored * 100.0 / seconds);
    f["sesrPercent"] = Format("%.2f", at(ZVBERT_SES) * 100.0 / seconds);
    f["asrPercent"] = Format("%.2f", available * 100.0 / seconds);
    if (at(ZVBERT_LOS_USECS) >= 0)
        f["losrPercent"] = Format(
            "%.2f", static_cast<float>(at(ZVBERT_LOS_USECS) * 100) / static_cast<float>(elapsed));
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
    JsonObject(out)
        .Int("id", id)
        .Known("polled", s.iPolled)
        .Known("sync", s.iSync)
        .Known("rxInverted", s.iRxInverted)
        .Known("txInverted", s.iTxInverted)
        .Raw("everInSync", s.bEverInSync ? "true" : "false")
        .Raw("figures", RowJson({id, s.iSync, s.values}))
        .End();
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

std::string Number(double value) { return Format("%.10g", value); }

std::string PointsJson(const std::vector<HistoryPoint>& points) {
    return JsonArray(
        points, [](const HistoryPoint& p) { return "[" + Number(p.x) + "," + Number(p.y) + "]"; });
}

// What each plot draws of a report.
std::map<std::string, double> PlotValues(const ReportRow& row) {
    std::map<std::string, double> y;
    const Fields f = RowFields(row);
    auto add = [&](const char* name, const char* key) {
        if (f.count(key) && !f.at(key).empty()) y[name] = std::stod(f.at(key));
    };
    add("ber", "ber");
    add("es", "erroredSeconds");
    add("ses", "severelyErroredSeconds");
    add("rtdTrend", "rtdTrendMs");
    add("rtdLast", "rtdLastMs");
    return y;
}

struct VerdictWords {
    int iCode;
    const char* pszTitle;
    const char* pszReason;  // for the codes whose reason needs no figures
};

const VerdictWords kVerdicts[] = {
    {1, "Clean line", ""},
    {0, "Bit errors", ""},
    {7, "Lost sync or signal", ""},
    {8, "Never in sync", ""},
    {2, "Configuration unreadable", "the simulated driver's configuration could not be read"},
    {3, "Could not start", "the port could not be set up"},
    {4, "Card removed", "the card was removed during the test"},
    {5, "Card refused a request", "the card refused a transmit or a statistics read"},
    {6, "No front end", "ondrel found no front end at the pipe"},
    {255, "Bad command line", "ondrel did not accept its command line"},
};

// Whole numbers go out as numbers, for the page's progress bar.
std::string SettingsJson(const SettingWords& settings) {
    if (settings.empty()) return "null";
    std::string out;
    JsonObject o(out);
    for (const auto& [key, text] : settings) {
        const bool number = !text.empty() && text.size() < 16 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        o.Raw(key, number ? text : JsonQuote(text));
    }
    o.End();
    return out;
}

std::string Seconds(int64_t usecs) { return Format("%.1f s", usecs / 1e6); }

}  // namespace

void RunModel::SetCommand(const std::vector<std::string>& command, const SettingWords& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_ = command;
    settings_ = settings;
    // A multi-drop master's slaves are in the table from the start, so that
    // one that never answers is seen as such.
    for (const auto& [key, text] : settings) {
        if (key != "slaves") continue;
        size_t at = 0;
        while (at < text.size()) {
            const int id = std::atoi(text.c_str() + at);
            if (id > 0) slaves_[id].iPolled = 1;
            const size_t comma = text.find(',', at);
            at = comma == std::string::npos ? text.size() : comma + 1;
        }
    }
    started_ = Now("%Y-%m-%dT%H:%M:%S%z");
}

bool RunModel::StreamCsvTo(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    csv_.open(path, std::ios::binary | std::ios::trunc);
    if (!csv_) {
        *error = "cannot write " + path;
        return false;
    }
    csvPath_ = path;
    return true;
}

void RunModel::Changed() {
    ++version_;
    changed_.notify_all();
}

void RunModel::Apply(const TlvRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    ApplyLocked(record);
    Changed();
}

void RunModel::ApplyLocked(const TlvRecord& r) {
    const uint32_t tag = r.uTag;
    if (tag >= ZVBERT_ELAPSED_USECS && tag <= ZVBERT_SEVERELY_ERRORED_SAMPLES) {
        values_[tag] = static_cast<int64_t>(r.U64(0));
        // A single-link report ends with its sync count, a delay report with
        // its test time.
        const bool reportEnds = roundTrip_ ? tag == ZVBERT_ELAPSED_USECS : tag == ZVBERT_SYNC_COUNT;
        if (reportEnds) AddRow({-1, sync_, values_});
        return;
    }
    if (tag >= ZVBERT_RTD_LAST && tag <= ZVBERT_RTD_MAX) {
        roundTrip_ = true;
        if (tag == ZVBERT_RTD_HISTOGRAM)
            histogram_[r.U32(0)] = r.U32(4);
        else if (tag == ZVBERT_RTD_RX || tag == ZVBERT_RTD_LOST || tag == ZVBERT_RTD_TX ||
                 tag == ZVBERT_RTD_LATE)
            values_[tag] = static_cast<int64_t>(r.U64(0));
        else
            values_[tag] = r.U32(0);
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
            everInSync_ = everInSync_ || sync_ == 1;
            return;
        default:
            return NoteLocked("Message " + std::to_string(tag) + " not known");
    }
}

void RunModel::ApplySignal(uint8_t item, uint8_t state) {
    auto name = kSignalNames.find(item);
    if (name == kSignalNames.end())
        return NoteLocked("Signal item " + std::to_string(item) + " not known");
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
            everInSync_ = everInSync_ || sync_ == 1;
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
            slave.bEverInSync = slave.bEverInSync || slave.iSync == 1;
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
        if (!slave.values.empty()) AddRow({id, slave.iSync, slave.values});
}

void RunModel::AddRow(const ReportRow& row) {
    ++reportCount_;
    WriteCsvRow(row);
    if (row.iSlave < 0) AddToHistory(row);
}

void RunModel::WriteCsvRow(const ReportRow& row) {
    if (!csv_.is_open()) return;
    if (csvColumns_.empty()) {
        csvColumns_ = row.iSlave >= 0 ? kSlaveColumns : roundTrip_ ? kDelayColumns : kSingleColumns;
        for (size_t i = 0; i < csvColumns_.size(); ++i) csv_ << (i ? "," : "") << csvColumns_[i];
        csv_ << "\n";
    }
    const Fields f = RowFields(row);
    for (size_t i = 0; i < csvColumns_.size(); ++i) {
        const auto cell = f.find(csvColumns_[i]);
        csv_ << (i ? "," : "") << (cell == f.end() ? "" : cell->second);
    }
    // Flushed row by row: the download and a reader of the file see every report.
    csv_ << "\n" << std::flush;
}

// A statistics reset starts the test time afresh: the plots start new
// series after the old ones instead of drawing over them. The figures before
// the first sync are about to be reset, so they are not kept.
void RunModel::AddToHistory(const ReportRow& row) {
    const int64_t elapsed = ValueOr(row.values, ZVBERT_ELAPSED_USECS);
    if (elapsed < 0) return;
    const bool restarted = elapsed < lastElapsed_;
    if (history_.empty() || (restarted && history_.back().bSynced)) {
        double offset = 0;
        if (!history_.empty()) offset = history_.back().dOffset + lastElapsed_ / 1e6;
        history_.push_back({offset, false, {}});
        if (history_.size() > kMaxSegments) {
            history_.erase(history_.begin());
            ++segmentsDropped_;
        }
    } else if (restarted) {
        history_.back().series.clear();
    }
    lastElapsed_ = elapsed;
    HistorySegment& segment = history_.back();
    segment.bSynced = segment.bSynced || row.iSync == 1 || roundTrip_;
    const double x = segment.dOffset + elapsed / 1e6;
    std::string event = "event: point\ndata: ";
    JsonObject o(event);
    o.Int("segment", static_cast<int64_t>(segmentsDropped_ + history_.size() - 1))
        .Raw("x", Number(x));
    for (const auto& [name, y] : PlotValues(row)) {
        segment.series[name].Add(x, y);
        o.Raw(name, Number(y));
    }
    o.End();
    recentPoints_.push_back(event + "\n\n");
    if (recentPoints_.size() > kRecentPoints) recentPoints_.pop_front();
    ++pointCount_;
}

std::string RunModel::HistoryJson() const {
    return JsonArray(history_, [&, index = segmentsDropped_](const HistorySegment& s) mutable {
        std::string out;
        JsonObject o(out);
        o.Int("segment", static_cast<int64_t>(index++)).Raw("offset", Number(s.dOffset));
        for (const auto& [name, series] : s.series) o.Raw(name, PointsJson(series.Points()));
        o.End();
        return out;
    });
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
    Changed();
}

void RunModel::SetConnected(bool connected) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = connected;
    CloseSlaveReport();
    NoteLocked(connected ? "ondrel connected" : "ondrel disconnected");
    Changed();
}

void RunModel::SetExitCode(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    exitCode_ = code;
    NoteLocked("ondrel ended with exit code " + std::to_string(code));
    Changed();
}

void RunModel::Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    NoteLocked(text);
    Changed();
}

// The oldest notes go first: a line that flaps for days must not fill the memory.
void RunModel::NoteLocked(const std::string& text) {
    notes_.push_back(Now("%H:%M:%S ") + text);
    if (notes_.size() <= kMaxNotes) return;
    notes_.erase(notes_.begin(), notes_.begin() + kMaxNotes / 4);
    notesDropped_ += kMaxNotes / 4;
}

std::map<uint16_t, int64_t> RunModel::Values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

uint64_t RunModel::ReportCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reportCount_;
}

std::map<uint32_t, uint32_t> RunModel::Histogram() {
    std::lock_guard<std::mutex> lock(mutex_);
    return histogram_;
}

std::map<int, SlaveState> RunModel::Slaves() {
    std::lock_guard<std::mutex> lock(mutex_);
    return slaves_;
}

std::vector<HistorySegment> RunModel::History() {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_;
}

const char* RunModel::TestKind() const {
    return !slaves_.empty() ? "multidrop" : roundTrip_ ? "rtd" : "single";
}

Verdict RunModel::CurrentVerdict() {
    std::lock_guard<std::mutex> lock(mutex_);
    return VerdictLocked();
}

// From the exit code when ondrel was started here; from the figures while
// the test runs, and at the end of an ondrel started by hand.
Verdict RunModel::VerdictLocked() const {
    const std::string kind = TestKind();
    int64_t errors = 0, losses = 0;
    bool everySlaveSynced = true;
    for (const auto& [id, s] : slaves_) {
        errors += ValueOr(s.values, ZVBERT_SLAVE_BIT_ERRORS, 0);
        losses += ValueOr(s.values, ZVBERT_SLAVE_LOS_COUNT, 0);
        everySlaveSynced = everySlaveSynced && s.bEverInSync;
    }
    if (kind == "single") {
        errors = ValueOr(values_, ZVBERT_BIT_ERRORS, 0);
        losses = ValueOr(values_, ZVBERT_LOS_COUNT, 0);
    }
    const int64_t sent = ValueOr(values_, ZVBERT_RTD_TX, 0),
                  returned = ValueOr(values_, ZVBERT_RTD_RX, 0),
                  lost = ValueOr(values_, ZVBERT_RTD_LOST, 0);
    const bool synced = kind == "rtd"         ? returned > 0
                        : kind == "multidrop" ? everySlaveSynced && everInSync_
                                              : everInSync_;

    Verdict v;
    v.bFinal = exitCode_ >= 0 || testEnded_ || (testStarted_ && !connected_);
    v.iCode = exitCode_;
    if (v.iCode < 0) {
        if (!testStarted_ && !v.bFinal) return v;
        if (!synced) {
            if (!v.bFinal) {
                v.title = kind == "rtd" ? "Waiting for a frame" : "Looking for the pattern";
                return v;
            }
            v.iCode = 8;
        } else {
            v.iCode = (kind == "rtd" ? lost : losses) > 0 ? 7 : errors > 0 && kind != "rtd" ? 0 : 1;
        }
    }
    for (const VerdictWords& w : kVerdicts)
        if (w.iCode == v.iCode) v.title = w.pszTitle, v.reason = w.pszReason;
    if (v.title.empty()) v.title = "Ended with exit code " + std::to_string(v.iCode);
    const int64_t elapsed = ValueOr(values_, ZVBERT_ELAPSED_USECS, 0);
    const Fields latest = RowFields({-1, sync_, values_});
    const std::string ber = latest.count("ber") ? latest.at("ber") : "";
    switch (v.iCode) {
        case 1:
            v.reason =
                kind == "rtd" ? "every frame came back (" + std::to_string(returned) + " frames)"
                : kind == "multidrop"
                    ? "every slave in sync, no bit error"
                    : "found the pattern, stayed in sync, no bit error in " + Seconds(elapsed);
            break;
        case 0:
            v.reason = std::to_string(errors) + " bit errors in sync" +
                       (kind == "single" && !ber.empty() ? ", BER " + ber
                                                         : std::string(" over the slaves"));
            break;
        case 7:
            v.reason = kind == "rtd"
                           ? std::to_string(lost) + " of " + std::to_string(sent) + " frames lost"
                           : "lost sync " + std::to_string(losses) +
                                 " times after first finding the pattern";
            break;
        case 8:
            v.reason = kind == "rtd"         ? "no frame came back"
                       : kind == "multidrop" ? "a slave never came in sync"
                                             : "the pattern was never found";
            break;
        default:
            break;
    }
    if (!v.bFinal) v.reason = "so far: " + v.reason;
    return v;
}

void RunModel::WriteState(std::string& out, bool whole) {
    const char* phase = !testStarted_ && !testEnded_ ? (connected_ ? "starting" : "waiting")
                        : testEnded_ || !connected_  ? "ended"
                                                     : "running";
    std::string signals;
    JsonObject s(signals);
    for (const auto& [item, state] : signals_)
        s.Int(kSignalNames.at(item), state == SIGNAL_STATE_ON);
    s.End();
    // The page shows the latest notes; the results keep them all.
    const size_t shown = whole ? notes_.size() : std::min<size_t>(notes_.size(), 50);
    const std::vector<std::string> notes(notes_.end() - static_cast<std::ptrdiff_t>(shown),
                                         notes_.end());
    const Verdict v = VerdictLocked();
    std::string verdict;
    JsonObject(verdict)
        .Known("code", v.iCode)
        .Raw("final", v.bFinal ? "true" : "false")
        .Text("title", v.title)
        .Text("reason", v.reason)
        .End();

    JsonObject o(out);
    o.Text("program", "ondrel")
        .Raw("command", JsonArray(command_, JsonQuote))
        .Raw("settings", SettingsJson(settings_));
    o.Text("started", started_)
        .Text("phase", phase)
        .Raw("connected", connected_ ? "true" : "false");
    o.Raw("exitStatus", exitStatus_ < 0 ? "null" : std::to_string(exitStatus_));
    o.Known("exitCode", exitCode_)
        .Known("sync", sync_)
        .Raw("signals", signals)
        .Raw("verdict", verdict);
    o.Text("test", TestKind());
    o.Raw("latest", RowJson({-1, sync_, values_}));
    o.Raw("histogram", JsonArray(histogram_, [](const auto& h) {
              return "[" + std::to_string(h.first) + "," + std::to_string(h.second) + "]";
          }));
    o.Raw("slaves", JsonArray(slaves_, [](const auto& slave) {
              return SlaveJson(slave.first, slave.second);
          }));
    o.Raw("notes", JsonArray(notes, JsonQuote))
        .Int("notesDropped", static_cast<int64_t>(notesDropped_));
    o.Int("reportCount", static_cast<int64_t>(reportCount_));
    if (whole) o.Text("reportsFile", csvPath_).Raw("history", HistoryJson());
    o.End();
}

std::string RunModel::ResultsJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    WriteState(out, true);
    return out + "\n";
}

std::string RunModel::NextEvents(FeedCursor& cursor, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string out;
    // A reader that fell behind the points kept starts over from a snapshot.
    if (!cursor.bSnapshotSent || pointCount_ - cursor.uPointsSent > recentPoints_.size()) {
        cursor.bSnapshotSent = true;
        cursor.uPointsSent = pointCount_;
        cursor.uVersionSent = version_;
        out = "event: snapshot\ndata: ";
        WriteState(out, true);
        return out + "\n\n";
    }
    auto news = [&] { return closed_ || version_ != cursor.uVersionSent; };
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), news)) return ": idle\n\n";
    // The state goes out at most every 100 ms however fast the records come.
    changed_.wait_until(lock, cursor.lastState + std::chrono::milliseconds(100),
                        [&] { return closed_; });
    const size_t first =
        recentPoints_.size() - static_cast<size_t>(pointCount_ - cursor.uPointsSent);
    for (size_t i = first; i < recentPoints_.size(); ++i) out += recentPoints_[i];
    cursor.uPointsSent = pointCount_;
    out += "event: state\ndata: ";
    WriteState(out, false);
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
