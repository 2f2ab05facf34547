// The live figures in Prometheus' text exposition format, so that one
// Prometheus can watch the testers of many sites and alert on them.
#include <cstdio>

#include "frontend/run_model.h"
#include "gui/tags.h"

namespace {

std::string LabelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class Exposition {
   public:
    // One family: its help and type once, then its samples.
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& labels, double value) {
        char text[48];
        std::snprintf(text, sizeof text, "%.15g", value);
        out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + text + "\n";
    }
    void Sample(const std::string& labels, int64_t value) {
        out_ +=
            name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }
    std::string Text() const { return out_; }

   private:
    std::string out_;
    std::string name_;
};

struct Counter {
    uint16_t uTag;
    const char* pszName;
    const char* pszType;
    const char* pszHelp;
};

// The counters start again at a statistics reset, which Prometheus' rate()
// takes as a counter reset.
const Counter kLineFigures[] = {
    {ZVBERT_BIT_ERRORS, "ondrel_bit_errors_total", "counter", "Bit errors counted in sync."},
    {ZVBERT_RX_BITS, "ondrel_received_bits_total", "counter", "Bits received and checked."},
    {ZVBERT_TX_BITS, "ondrel_sent_bits_total", "counter", "Bits sent."},
    {ZVBERT_BLOCK_ERRORS, "ondrel_block_errors_total", "counter", "Blocks with a bit error."},
    {ZVBERT_RX_BLOCKS, "ondrel_received_blocks_total", "counter", "Blocks received."},
    {ZVBERT_ES, "ondrel_errored_seconds_total", "counter", "Errored seconds."},
    {ZVBERT_SES, "ondrel_severely_errored_seconds_total", "counter", "Severely errored seconds."},
    {ZVBERT_AS, "ondrel_available_seconds_total", "counter", "Available seconds."},
    {ZVBERT_LOS_COUNT, "ondrel_loss_of_sync_total", "counter",
     "Losses of sync after the first sync."},
    {ZVBERT_SYNC_COUNT, "ondrel_resync_total", "counter", "Returns to sync after the first sync."},
    {ZVBERT_RATE, "ondrel_rate_bits_per_second", "gauge", "Received bits per second of test time."},
    {ZVBERT_RTD_TX, "ondrel_rtd_sent_frames_total", "counter", "Round-trip delay frames sent."},
    {ZVBERT_RTD_RX, "ondrel_rtd_returned_frames_total", "counter",
     "Round-trip delay frames returned."},
    {ZVBERT_RTD_LOST, "ondrel_rtd_lost_frames_total", "counter", "Round-trip delay frames lost."},
    {ZVBERT_RTD_LATE, "ondrel_rtd_late_frames_total", "counter",
     "Round-trip delay frames returned late."},
    {ZVBERT_RTD_LAST, "ondrel_rtd_last_milliseconds", "gauge", "Delay of the last returned frame."},
    {ZVBERT_RTD_MIN, "ondrel_rtd_min_milliseconds", "gauge", "Shortest delay since the reset."},
    {ZVBERT_RTD_MAX, "ondrel_rtd_max_milliseconds", "gauge", "Longest delay since the reset."},
};

const Counter kSlaveFigures[] = {
    {ZVBERT_SLAVE_BIT_ERRORS, "ondrel_slave_bit_errors_total", "counter", "A slave's bit errors."},
    {ZVBERT_SLAVE_RX_BITS, "ondrel_slave_received_bits_total", "counter",
     "A slave's bits received."},
    {ZVBERT_SLAVE_BLOCK_ERRORS, "ondrel_slave_block_errors_total", "counter",
     "A slave's errored blocks."},
    {ZVBERT_SLAVE_ES, "ondrel_slave_errored_seconds_total", "counter",
     "A slave's errored seconds."},
    {ZVBERT_SLAVE_SES, "ondrel_slave_severely_errored_seconds_total", "counter",
     "A slave's severely errored seconds."},
    {ZVBERT_SLAVE_LOS_COUNT, "ondrel_slave_loss_of_sync_total", "counter",
     "A slave's losses of sync."},
    {ZVBERT_SLAVE_SYNC_COUNT, "ondrel_slave_resync_total", "counter", "A slave's returns to sync."},
};

}  // namespace

std::string RunModel::MetricsText() {
    std::lock_guard<std::mutex> lock(mutex_);
    Exposition e;
    std::string info = "kind=\"" + std::string(TestKind()) + "\"";
    for (const auto& [key, text] : settings_) info += "," + key + "=\"" + LabelValue(text) + "\"";
    e.Family("ondrel_test_info", "gauge", "The test's settings, as labels.");
    e.Sample(info, int64_t{1});
    e.Family("ondrel_connected", "gauge", "1 while ondrel is connected to this front end.");
    e.Sample("", int64_t{connected_ ? 1 : 0});
    e.Family("ondrel_test_running", "gauge", "1 while the test runs.");
    e.Sample("", int64_t{testStarted_ && !testEnded_ && connected_ ? 1 : 0});
    if (sync_ >= 0) {
        e.Family("ondrel_in_sync", "gauge", "1 while the receiver is in sync with the pattern.");
        e.Sample("", int64_t{sync_});
    }
    if (values_.count(ZVBERT_ELAPSED_USECS)) {
        e.Family("ondrel_test_seconds", "gauge", "Test time since the start or the last reset.");
        e.Sample("", values_.at(ZVBERT_ELAPSED_USECS) / 1e6);
    }
    for (const Counter& c : kLineFigures) {
        if (!values_.count(c.uTag)) continue;
        e.Family(c.pszName, c.pszType, c.pszHelp);
        e.Sample("", values_.at(c.uTag));
    }
    if (values_.count(ZVBERT_LOS_USECS)) {
        e.Family("ondrel_loss_of_sync_seconds_total", "counter",
                 "Time out of sync after the first sync.");
        e.Sample("", values_.at(ZVBERT_LOS_USECS) / 1e6);
    }
    const int64_t bits = values_.count(ZVBERT_RX_BITS) ? values_.at(ZVBERT_RX_BITS) : 0;
    if (bits > 0 && values_.count(ZVBERT_BIT_ERRORS)) {
        e.Family("ondrel_bit_error_ratio", "gauge", "Bit errors per bit received.");
        e.Sample("",
                 static_cast<double>(values_.at(ZVBERT_BIT_ERRORS)) / static_cast<double>(bits));
    }
    if (values_.count(ZVBERT_RTD_TREND)) {
        e.Family("ondrel_rtd_trend_milliseconds", "gauge", "Smoothed round-trip delay.");
        e.Sample("", values_.at(ZVBERT_RTD_TREND) / 10.0);
    }
    if (!slaves_.empty()) {
        e.Family("ondrel_slave_in_sync", "gauge", "1 while a slave is in sync.");
        for (const auto& [id, s] : slaves_)
            if (s.iSync >= 0) e.Sample("slave=\"" + std::to_string(id) + "\"", int64_t{s.iSync});
        e.Family("ondrel_slave_polled", "gauge", "1 while a slave is polled.");
        for (const auto& [id, s] : slaves_)
            if (s.iPolled >= 0)
                e.Sample("slave=\"" + std::to_string(id) + "\"", int64_t{s.iPolled});
        for (const Counter& c : kSlaveFigures) {
            e.Family(c.pszName, c.pszType, c.pszHelp);
            for (const auto& [id, s] : slaves_)
                if (s.values.count(c.uTag))
                    e.Sample("slave=\"" + std::to_string(id) + "\"", s.values.at(c.uTag));
        }
    }
    const Verdict v = VerdictLocked();
    if (v.iCode >= 0) {
        e.Family("ondrel_verdict", "gauge",
                 "The outcome's exit code (1 clean line, 0 bit errors, ...).");
        e.Sample("verdict=\"" + LabelValue(v.title) + "\",final=\"" + (v.bFinal ? "1" : "0") + "\"",
                 int64_t{v.iCode});
    }
    return e.Text();
}
