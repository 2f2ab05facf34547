// Runs of the real binary against the simulated card where something other
// than the line misbehaves: a driver that never answers, a test without a
// receive thread, a far end that floods its line, a log file that can grow
// no more, the first moments of a run. Each must end in its time, with its
// closing report and a word on what happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "sim/line_messages.h"
#include "sim/line_socket.h"
#include "sim/records.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::ChildProcess;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::TempDir;
using Clock = std::chrono::steady_clock;

// A driver request gives up after 2 s; the rest is the run's own start and end
// (scaled for a sanitizer build).
constexpr double kRequestTimeoutSecs = 2;
constexpr double kSlackSecs = 4;
constexpr int kKillAfterMs = 40000;

const char* const kCard =
    "[[card]]\nmodel = 7\nrevision = 0x310\nbert = 1\ngeneration = 3\nports = 2\n";

std::string WithFault(const std::string& fault) {
    return std::string(kCard) + "[[card.fault]]\n" + fault;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The number after label in every report line that starts with lineStart.
std::vector<double> AllValues(const RunResult& r, const std::string& lineStart,
                              const std::string& label) {
    std::vector<double> values;
    for (const std::string& line : r.Lines()) {
        const size_t at = line.find(label);
        if (line.rfind(lineStart, 0) == 0 && at != std::string::npos)
            values.push_back(std::strtod(line.c_str() + at + label.size(), nullptr));
    }
    return values;
}

void ExpectEndedWithReport(const RunResult& r) {
    EXPECT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.signal, 0) << r.out;
    EXPECT_TRUE(r.HasEvent("Test completed")) << r.out;
    EXPECT_GE(r.LastValue("Duration(s)="), 0) << r.out;
}

// ---- a request the driver leaves pending ---------------------------------------

struct PendingCase {
    const char* name;
    const char* code;
};

void PrintTo(const PendingCase& c, std::ostream* os) { *os << c.name; }

class PendingRequest : public testing::TestWithParam<PendingCase> {};

// Whichever request the driver keeps, the call gives up on it, says so, and
// the test still ends by its rules with its closing report.
TEST_P(PendingRequest, GivesUpAndTheTestEndsByItsRules) {
    TempDir dir;
    RunOptions options = e2e::SimRunOptions(
        dir, "sim.toml",
        WithFault(std::string("ioctl = ") + GetParam().code + "\nerror = 0x3E5\n"));
    options.timeoutMs = kKillAfterMs;
    const auto start = Clock::now();
    const RunResult r = e2e::RunOndrel({"+S", "-k64000", "-L1", "-S1", "+l"}, options);
    ExpectEndedWithReport(r);
    EXPECT_GE(r.Count("!!! Timeout !!!"), 1) << r.out;
    EXPECT_LT(SecondsSince(start), e2e::ScaledSeconds(1 + 3 * kRequestTimeoutSecs + kSlackSecs))
        << r.out;
}

INSTANTIATE_TEST_SUITE_P(Codes, PendingRequest,
                         testing::Values(PendingCase{"InterfaceRecord", "0x642"},
                                         PendingCase{"StartMonitoring", "0x8C0"},
                                         PendingCase{"SerialConfig", "0x830"},
                                         PendingCase{"ResetStats", "0x7D0"},
                                         PendingCase{"GetV24", "0x623"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The receive thread waits on a request that never comes back; the first
// stop signal still ends the run in a few seconds, with its report.
TEST(StopSignal, EndsARunWhoseReceiverWaitsOnTheDriver) {
    TempDir dir;
    RunOptions options =
        e2e::SimRunOptions(dir, "sim.toml", WithFault("ioctl = 0x642\nerror = 0x3E5\n"));
    ChildProcess child(ONDREL_BINARY, {"+S", "-k64000", "+l"}, options);
    ASSERT_TRUE(child.WaitForOutput("!!! Timeout !!!", kKillAfterMs)) << child.Output();
    const auto start = Clock::now();
    child.Signal(SIGTERM);
    const RunResult r = child.Finish(kKillAfterMs);
    ExpectEndedWithReport(r);
    EXPECT_LT(SecondsSince(start), e2e::ScaledSeconds(kRequestTimeoutSecs + kSlackSecs)) << r.out;
}

// A signal while the port is still being set up (here held up by a request
// the driver keeps) finds its handler: the run ends as by the x key.
TEST(StopSignal, DuringSetUpEndsTheRunWithItsReport) {
    TempDir dir;
    RunOptions options =
        e2e::SimRunOptions(dir, "sim.toml", WithFault("ioctl = 0x830\nerror = 0x3E5\n"));
    ChildProcess child(ONDREL_BINARY, {"+S", "-k64000", "+l"}, options);
    ASSERT_TRUE(child.WaitForOutput("Command-line Params:", kKillAfterMs)) << child.Output();
    const auto start = Clock::now();
    child.Signal(SIGTERM);
    const RunResult r = child.Finish(kKillAfterMs);
    ExpectEndedWithReport(r);
    EXPECT_LT(SecondsSince(start), e2e::ScaledSeconds(2 * kRequestTimeoutSecs + kSlackSecs))
        << r.out;
}

// ---- -L without a receive thread ---------------------------------------------

class TestLengthWithoutReceiver : public testing::TestWithParam<const char*> {};

TEST_P(TestLengthWithoutReceiver, EndsTheTest) {
    TempDir dir;
    RunOptions options = e2e::SimRunOptions(dir, "sim.toml", kCard);
    options.timeoutMs = kKillAfterMs;
    const auto start = Clock::now();
    const RunResult r = e2e::RunOndrel({"+S", GetParam(), "-k64000", "-L2", "+l"}, options);
    const double seconds = SecondsSince(start);
    EXPECT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(r.HasEvent("Test completed")) << r.out;
    EXPECT_GE(seconds, 2);
    EXPECT_LT(seconds, e2e::ScaledSeconds(2 + kSlackSecs)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Threads, TestLengthWithoutReceiver, testing::Values("-d2", "-d4", "-d0"),
                         [](const auto& info) { return std::string("d") + (info.param + 2); });

// ---- a far end that sends ahead of its time --------------------------------------

// Reads the line's messages from socket until one says the sender's clock runs.
bool WaitForRunningClock(int socket) {
    std::vector<uint8_t> input;
    const auto start = Clock::now();
    while (SecondsSince(start) < e2e::ScaledSeconds(20)) {
        uint8_t block[4096];
        const long got = sim::LineSocketReceive(socket, block, sizeof block);
        if (got < 0) return false;
        if (got == 0) {
            platform::SleepMs(10);
            continue;
        }
        input.insert(input.end(), block, block + got);
        for (;;) {
            sim::LineMessage message;
            size_t used = 0;
            const char* why = nullptr;
            const sim::LineParse parse = sim::ParseLineMessage(
                input.data(), input.size(), platform::PerfCounter(), &message, &used, &why);
            if (parse == sim::LineParse::kBad) return false;
            if (parse == sim::LineParse::kIncomplete) break;
            input.erase(input.begin(), input.begin() + ptrdiff_t(used));
            if (message.kind == sim::LineMessageKind::kSignals && message.clockRunning) return true;
        }
    }
    return false;
}

// Valid records, 1 MiB each, timed nearly a minute ahead: no line carries
// that in its delay, so the far end is dropped with one message instead of
// being kept in memory.
TEST(SharedLine, AFarEndSendingAheadOfTheLineIsDropped) {
    TempDir dir;
    const std::string lineName = "robust" + std::to_string(getpid());
    RunOptions options = e2e::SimRunOptions(
        dir, "sim.toml",
        std::string(kCard) + "line = \"shared\"\nline_name = \"" + lineName + "\"\n");
    options.timeoutMs = kKillAfterMs;
    ChildProcess child(ONDREL_BINARY, {"+S", "-d3", "-k64000", "-L2", "-S2", "+l"}, options);
    ASSERT_TRUE(child.WaitForOutput("Test Started", kKillAfterMs)) << child.Output();
    int peer = -1;
    const auto start = Clock::now();
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return (peer = sim::LineSocketConnect(sim::LineSocketName(lineName + ".0"))) >= 0; },
        10000));
    // A receiver whose clock is not running yet hears nothing: the flood
    // starts once this end says its clock runs.
    ASSERT_TRUE(WaitForRunningClock(peer)) << child.Output();
    std::vector<uint8_t> bytes;
    sim::AppendSignalsMessage(bytes, sim::kV24Dtr | sim::kV24Rts, true);
    constexpr int kChunks = 32;
    for (int i = 0; i < kChunks; ++i) {
        sim::LineChunk chunk;
        chunk.data.assign(1u << 20, 0x55);
        chunk.startNs = platform::PerfCounter() + 58LL * 1000000000;
        chunk.endNs = chunk.startNs + 1000000000;
        sim::AppendDataMessage(bytes, chunk);
    }
    // Sends until all is gone or the far end hangs up.
    size_t sent = 0;
    while (sent < bytes.size() && SecondsSince(start) < e2e::ScaledSeconds(20)) {
        const long n = sim::LineSocketSend(peer, bytes.data() + sent, bytes.size() - sent);
        if (n < 0) break;
        if (n == 0) platform::SleepMs(5);
        sent += size_t(n > 0 ? n : 0);
    }
    const RunResult r = child.Finish(kKillAfterMs);
    sim::LineSocketClose(peer);
    EXPECT_FALSE(r.timedOut);
    const std::string message =
        "simulated shared line " + lineName +
        ".0: the far end sent more than the line carries in its delay; it is dropped\n";
    size_t first = r.err.find(message);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(message, first + 1), std::string::npos) << r.err;
    EXPECT_LT(sent, bytes.size()) << "the whole flood was taken in";
}

// ---- a log file that can grow no more --------------------------------------------

// The log file is already at the size the process may write (a full disk
// for it): said once, at level 1, with the reason; the test runs to its end
// and the console has the closing report.
TEST(LogFile, ThatCannotBeWrittenIsSaidOnceAndTheTestGoesOn) {
    TempDir dir;
    RunOptions options = e2e::SimRunOptions(dir, "sim.toml", kCard);
    options.timeoutMs = kKillAfterMs;
    const std::string log = dir.File("zvbert0.0.log");
    e2e::WriteFile(log, std::string(8192, 'a'));
    // 8 blocks: 4096 bytes in a shell that counts 512-byte blocks, 8192 in
    // one that counts kibibytes; the file has that much already.
    std::vector<std::string> args = {
        "-c", "ulimit -f 8 && exec \"$0\" \"$@\"", ONDREL_BINARY, "+S", "-k64000", "-L2", "+l"};
    const RunResult r = e2e::RunProgram("/bin/sh", args, options);
    ExpectEndedWithReport(r);
    EXPECT_EQ(r.Count("Log file " + log + " could not be written (errno"), 1) << r.out;
    EXPECT_GE(r.LastValue(" AS="), 1) << r.out;
    EXPECT_EQ(e2e::ReadFile(log).size(), 8192u);
}

// ---- the first moments and the limits of a line --------------------------------

TEST(Injection, RefusedByTheCardSaysTheErrorsWentOutAnyway) {
    TempDir dir;
    RunOptions options =
        e2e::SimRunOptions(dir, "sim.toml", WithFault("ioctl = 0xA00\nerror = 0xE0000008\n"));
    options.stdinText = "1";
    const RunResult r = e2e::RunOndrel({"+S", "-k64000", "-L2", "+l"}, options);
    ExpectEndedWithReport(r);
    EXPECT_TRUE(r.HasLine("1 errors injected in the transmitted data instead")) << r.out;
    EXPECT_FALSE(r.HasLine("Failed to inject errors")) << r.out;
}

TEST(Slip, LargerThanALineSlipsIsRefused) {
    TempDir dir;
    const RunResult r = e2e::RunOndrel(
        {"+S", "-k64000", "-L2", "+l"},
        e2e::SimRunOptions(
            dir, "sim.toml",
            std::string(kCard) + "[card.impairment]\nslip_after_ms = 500\nslip_bits = 1000000\n"));
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_TRUE(r.Contains("slip_bits: value 1000000 out of range -256..256")) << r.out;
}

struct RateCase {
    const char* name;
    std::vector<std::string> args;
    double lineRate;
    bool defaultCards;  // card 1 of the built-in configuration
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class ReportedRate : public testing::TestWithParam<RateCase> {};

// Bits waiting in the driver when the counts restart at the first sync are
// no reason for a rate above the line's, a duration of nothing or a report
// of bits received but none sent.
TEST_P(ReportedRate, NeverExceedsTheLineAndTheFirstReportHasBothSides) {
    const RateCase& c = GetParam();
    TempDir dir;
    RunOptions options = e2e::SimRunOptions(dir, "sim.toml", kCard);
    if (c.defaultCards) {
        std::erase_if(options.setEnv, [](const auto& e) {
            return e.first == "ONDREL_CARD_CONFIG" || e.first == "ONDREL_SIM_CONFIG";
        });
        options.unsetEnv.push_back("ONDREL_CARD_CONFIG");
        options.unsetEnv.push_back("ONDREL_SIM_CONFIG");
    }
    const RunResult r = e2e::RunOndrel(c.args, options);
    ExpectEndedWithReport(r);
    const std::vector<double> rates = AllValues(r, "TxCount=", " Rate=");
    const std::vector<double> durations = AllValues(r, "", " Duration(s)=");
    const std::vector<double> sent = AllValues(r, "TxCount=", "TxCount=");
    ASSERT_GE(rates.size(), 3u) << r.out;
    ASSERT_EQ(durations.size(), rates.size());
    ASSERT_EQ(sent.size(), rates.size());
    for (size_t i = 0; i < rates.size(); ++i) {
        EXPECT_LE(rates[i], c.lineRate) << "report " << i << "\n" << r.out;
        EXPECT_GT(durations[i], 0) << "report " << i << "\n" << r.out;
        EXPECT_GT(sent[i], 0) << "report " << i << "\n" << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReportedRate,
    testing::Values(RateCase{"Sync64k", {"+S", "-k64000", "-L2", "+l"}, 64000, false},
                    RateCase{"Card1At8M", {"+S", "-c1", "-k8192000", "-L2", "+l"}, 8192000, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
