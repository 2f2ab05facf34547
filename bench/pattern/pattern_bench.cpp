// Throughput of the transmit fill and of the receive check, per sequence.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/run_state.h"
#include "core/settings.h"
#include "pattern/pattern.h"

namespace {

constexpr uint32_t kBufferBytes = 8192;

struct Sequence {
    const char* name;
    uint32_t type;
};
const Sequence kSequences[] = {
    {"63", PATTERN_63},     {"511", PATTERN_511},   {"2047", PATTERN_2047}, {"2^15", PATTERN_2_15},
    {"2^20", PATTERN_2_20}, {"2^23", PATTERN_2_23}, {"QRSS", PATTERN_QRSS}};

void Fill(benchmark::State& state, uint32_t type) {
    std::vector<uint8_t> buffer(kBufferBytes);
    SeedScram(0, 1, 0);
    FillPatternBuffer(type, buffer.data(),
                      kBufferBytes);  // builds the period table outside the timing
    for (auto _ : state) {
        FillPatternBuffer(type, buffer.data(), kBufferBytes);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}

// A received line: one byte period of the sequence plus a buffer more, so any
// buffer-sized window starting inside the period continues it exactly.
struct ReceivedLine {
    std::vector<uint8_t> bytes;
    uint32_t period = 0;
    uint32_t at = 0;

    explicit ReceivedLine(uint32_t type) {
        period = DescribePattern(type).uPatternLengthBits;  // bytes per byte period
        bytes.resize(size_t{period} + kBufferBytes);
        SeedScram(0, 1, 0);
        uint32_t pos = 0;
        FillPatternBufferFrom(type, bytes.data(), bytes.size(), 0, pos);
    }
    const uint8_t* Next() {
        const uint8_t* p = bytes.data() + at;
        at = (at + kBufferBytes) % period;
        return p;
    }
};

// The receiver in sync with the line, its reference at the line's start.
void StartChecking(uint32_t type, bool inSync) {
    ResetSettings();
    g_Settings.uPatternType = type;
    SelectPattern(type);
    g_bInSync = inSync;
    SeedScram(1, 1, 0);
    SeedRxScram(1, 0);
}

template <bool InSync>
void CheckBlocks(benchmark::State& state, uint32_t type) {
    ReceivedLine line(type);
    StartChecking(type, InSync);
    std::vector<uint8_t> errors(kBufferBytes);
    uint32_t count = 0;
    uint8_t wrongBits = 0;
    uint64_t total = 0;
    for (auto _ : state)
        total += CheckPatternBlock(line.Next(), kBufferBytes, count, wrongBits, errors.data());
    if (total != 0) state.SkipWithError("a clean line counted errors");
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}

template <bool InSync>
void CheckBytes(benchmark::State& state, uint32_t type) {
    ReceivedLine line(type);
    StartChecking(type, InSync);
    uint32_t count = 0;
    uint8_t wrongBits = 0;
    uint64_t total = 0;
    for (auto _ : state) {
        const uint8_t* data = line.Next();
        for (uint32_t i = 0; i < kBufferBytes; ++i)
            total += CheckPatternByte(data[i], count, wrongBits);
    }
    if (total != 0) state.SkipWithError("a clean line counted errors");
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}

// One wrong bit every 1000 bytes, in sync: the block path's cost per error.
void CheckErroredBlocks(benchmark::State& state, uint32_t type) {
    ReceivedLine line(type);
    for (size_t i = 500; i < line.bytes.size(); i += 1000) line.bytes[i] ^= 0x08;
    StartChecking(type, true);
    std::vector<uint8_t> errors(kBufferBytes);
    uint32_t count = 0;
    uint8_t wrongBits = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            CheckPatternBlock(line.Next(), kBufferBytes, count, wrongBits, errors.data()));
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}

const bool kRegistered = [] {
    for (const Sequence& s : kSequences) {
        const std::string name(s.name);
        benchmark::RegisterBenchmark(("BM_Fill_" + name).c_str(), Fill, s.type);
    }
    for (const Sequence& s : {kSequences[2], kSequences[5]}) {
        const std::string name(s.name);
        benchmark::RegisterBenchmark(("BM_CheckInSync_" + name).c_str(), CheckBlocks<true>, s.type);
        benchmark::RegisterBenchmark(("BM_CheckByteInSync_" + name).c_str(), CheckBytes<true>,
                                     s.type);
        benchmark::RegisterBenchmark(("BM_CheckHunting_" + name).c_str(), CheckBlocks<false>,
                                     s.type);
        benchmark::RegisterBenchmark(("BM_CheckByteHunting_" + name).c_str(), CheckBytes<false>,
                                     s.type);
        benchmark::RegisterBenchmark(("BM_CheckInSyncErrored_" + name).c_str(), CheckErroredBlocks,
                                     s.type);
    }
    return true;
}();

}  // namespace
