// One receive pass over a full buffer of in-sync data: the pattern check and
// the error, block and statistics counting that go with it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "link/receive_pass.h"
#include "pattern/pattern.h"
#include "stats/bert_stats.h"

namespace {

constexpr uint32_t kPassBytes = 8192;
// The 2^11-1 sequence repeats after 2047 bytes.
constexpr uint32_t kPeriodBytes = 2047;

// The line as received: one period plus a pass more, so that a pass starting
// anywhere inside the period continues the sequence exactly.
std::vector<uint8_t> MakeLine() {
    std::vector<uint8_t> line(kPeriodBytes + kPassBytes);
    SeedScram(0, 1, 0);
    uint32_t position = 0;
    FillPatternBufferFrom(PATTERN_2047, line.data(), static_cast<uint32_t>(line.size()), 0,
                          position);
    return line;
}

void StartInSync() {
    g_Settings.uPatternType = PATTERN_2047;
    SelectPattern(PATTERN_2047);
    g_uBitsPerChar = 8;
    g_BertStats = BertStats{};
    SeedScram(1, 1, 0);
    g_bInSync = true;
    g_bRxStop = false;
}

void Pass(const uint8_t* data, RxCheckState& check) {
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    CountReceivedChars(kPassBytes, kPassBytes);
    benchmark::DoNotOptimize(CheckReceivedData(data, kPassBytes, check));
}

void ReceivePass(benchmark::State& state) {
    const std::vector<uint8_t> line = MakeLine();
    StartInSync();
    RxCheckState check;
    uint32_t at = 0;
    for (auto _ : state) {
        Pass(line.data() + at, check);
        at = (at + kPassBytes) % kPeriodBytes;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPassBytes);
    if (g_BertStats.BitErrorCount != 0) state.SkipWithError("clean data counted errors");
}
BENCHMARK(ReceivePass);

// The same with one wrong bit in every pass, which takes the byte-by-byte
// block count.
void ReceivePassOneError(benchmark::State& state) {
    const std::vector<uint8_t> line = MakeLine();
    std::vector<uint8_t> pass(kPassBytes);
    StartInSync();
    RxCheckState check;
    uint32_t at = 0;
    for (auto _ : state) {
        std::memcpy(pass.data(), line.data() + at, kPassBytes);
        pass[kPassBytes / 2] ^= 0x08;
        Pass(pass.data(), check);
        at = (at + kPassBytes) % kPeriodBytes;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPassBytes);
    if (g_BertStats.i64SBitErrorCount != int64_t(state.iterations()))
        state.SkipWithError("one error per pass expected");
}
BENCHMARK(ReceivePassOneError);

}  // namespace
