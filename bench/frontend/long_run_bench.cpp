// A 72-hour test at one report every 500 ms, fed to the front end's model as
// the program sends it: the memory it then holds and what opening the page
// costs. The goal: under 50 MB of RSS and a page load under a second.
//   build/<preset>/bench/frontend/frontend_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "frontend/run_model.h"
#include "gui/tags.h"

namespace {

constexpr int64_t kReportUsecs = 500000;
constexpr int64_t kReports = 72LL * 3600 * 1000000 / kReportUsecs;

double RssMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return -1;
}

TlvRecord U64(uint16_t tag, uint64_t v) {
    uint8_t value[8], bytes[kTlvRecordSize];
    for (int i = 0; i < 8; ++i) value[i] = static_cast<uint8_t>(v >> (8 * i));
    EncodeTlv(tag, value, sizeof value, bytes);
    return DecodeTlv(bytes);
}

struct LongRun {
    std::unique_ptr<RunModel> model = std::make_unique<RunModel>();
    std::string csvPath = "/tmp/ondrel-bench-" + std::to_string(getpid()) + ".csv";
    double rssBefore = RssMegabytes();
    double rssAfter = 0;

    LongRun() {
        std::string error;
        model->StreamCsvTo(csvPath, &error);
        model->SetConnected(true);
        uint8_t start[kTlvRecordSize], sync[kTlvRecordSize];
        const uint8_t inSync = 1;
        EncodeTlv(ZVBERT_TEST_STARTED, nullptr, 0, start);
        EncodeTlv(ZVBERT_SYNC_STATE, &inSync, 1, sync);
        model->Apply(DecodeTlv(start));
        model->Apply(DecodeTlv(sync));
        int64_t errors = 0, es = 0;
        for (int64_t i = 1; i <= kReports; ++i) {
            // A few errors now and then, and one burst in the second hour.
            if (i % 997 == 0) ++errors;
            if (i == 9000) errors += 5000;
            if (i % 997 == 0 || i == 9000) ++es;
            const int64_t usecs = i * kReportUsecs, bits = usecs * 64 / 1000;
            for (const TlvRecord& r :
                 {U64(ZVBERT_ELAPSED_USECS, usecs), U64(ZVBERT_TX_BITS, bits),
                  U64(ZVBERT_RX_BITS, bits), U64(ZVBERT_RX_BLOCKS, bits / 2048),
                  U64(ZVBERT_RATE, 64000), U64(ZVBERT_BIT_ERRORS, errors),
                  U64(ZVBERT_BLOCK_ERRORS, errors), U64(ZVBERT_ES, es), U64(ZVBERT_SES, 1),
                  U64(ZVBERT_AS, usecs / 1000000), U64(ZVBERT_ERRORED_SAMPLES, es),
                  U64(ZVBERT_SEVERELY_ERRORED_SAMPLES, 1), U64(ZVBERT_LOS_USECS, 0),
                  U64(ZVBERT_LOS_COUNT, 0), U64(ZVBERT_SYNC_COUNT, 0)})
                model->Apply(r);
        }
        rssAfter = RssMegabytes();
    }
    ~LongRun() { std::remove(csvPath.c_str()); }
};

LongRun& Run() {
    static LongRun run;
    return run;
}

// Opening the page (or reconnecting): the snapshot the feed sends first.
void BM_PageOpenAfter72Hours(benchmark::State& state) {
    LongRun& run = Run();
    size_t bytes = 0;
    for (auto _ : state) {
        FeedCursor cursor;
        const std::string snapshot = run.model->NextEvents(cursor, 0);
        bytes = snapshot.size();
        benchmark::DoNotOptimize(snapshot.data());
    }
    state.counters["reports"] = static_cast<double>(run.model->ReportCount());
    state.counters["snapshot_kB"] = static_cast<double>(bytes) / 1024.0;
    state.counters["rss_MB"] = run.rssAfter;
    state.counters["rss_growth_MB"] = run.rssAfter - run.rssBefore;
}
BENCHMARK(BM_PageOpenAfter72Hours)->Unit(benchmark::kMillisecond);

// The figures for Prometheus after the same test.
void BM_MetricsAfter72Hours(benchmark::State& state) {
    LongRun& run = Run();
    for (auto _ : state) benchmark::DoNotOptimize(run.model->MetricsText());
}
BENCHMARK(BM_MetricsAfter72Hours)->Unit(benchmark::kMicrosecond);

// One report more, as the pipe reader applies it.
void BM_OneReport(benchmark::State& state) {
    RunModel model;
    int64_t i = 0;
    for (auto _ : state) {
        ++i;
        for (const TlvRecord& r :
             {U64(ZVBERT_ELAPSED_USECS, i * kReportUsecs), U64(ZVBERT_RX_BITS, i * 32000),
              U64(ZVBERT_RX_BLOCKS, i * 15), U64(ZVBERT_BIT_ERRORS, i / 100),
              U64(ZVBERT_ES, i / 1000), U64(ZVBERT_AS, i / 2), U64(ZVBERT_SYNC_COUNT, 0)})
            model.Apply(r);
    }
}
BENCHMARK(BM_OneReport);

}  // namespace
