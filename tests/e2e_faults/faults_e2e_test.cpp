// Runs of the real binary against a simulated card whose line or driver
// fails: each run must end by itself within its time, and its closing report
// and exit code must describe what happened to the line.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

// Any exit code will do: the run is about its messages.
constexpr int kAnyExit = -100;

// The figures of the last statistics report of a run (-1 when none).
struct Report {
    explicit Report(const RunResult& r)
        : durationSecs(r.LastValue("Duration(s)=")),
          rate(r.LastValue(" Rate=")),
          bitErrors(r.LastValue("BitErr=")),
          blockErrors(r.LastValue("BlockErr=")),
          es(r.LastValue("ES(US)=")),
          ses(r.LastValue(" SES=")),
          as(r.LastValue(" AS=")),
          losCount(r.LastValue("->LOS=")),
          syncCount(r.LastValue("->SYNC=")),
          losr(r.LastValue("LOSR=")) {}
    double durationSecs, rate, bitErrors, blockErrors, es, ses, as, losCount, syncCount, losr;
};

// Every whole second of the test is errored, severely errored or available.
void ExpectSecondsAddUp(const Report& report) {
    EXPECT_EQ(report.es + report.ses + report.as, std::floor(report.durationSecs));
}

struct FaultRun {
    const char* name;
    const char* cardKeys;    // more keys of the card table
    const char* impairment;  // body of [card.impairment]
    const char* fault;       // body of one [[card.fault]]
    std::vector<std::string> args;
    const char* keys;   // typed at the start
    double maxSeconds;  // the run ends by itself within this
    int exitCode;
    std::function<void(const RunResult&, const Report&)> check;
};

void PrintTo(const FaultRun& run, std::ostream* os) { *os << run.name; }

std::string ConfigOf(const FaultRun& run) {
    std::string toml =
        "[[card]]\nmodel = 7\nrevision = 0x310\nbert = 1\ngeneration = 3\nports = 2\n";
    toml += run.cardKeys;
    if (*run.impairment) toml += std::string("[card.impairment]\n") + run.impairment;
    if (*run.fault) toml += std::string("[[card.fault]]\n") + run.fault;
    return toml;
}

// One run a line, as a table reads best.
// clang-format off
const std::vector<FaultRun> kRuns = {
    // A dead line is loss of signal however long the port queue is.
    {"DeadLineIsLossOfSignalWithALongQueue", "", "outage_after_ms = 1000\noutage_ms = 60000\n", "",
     {"+S", "-q4", "-L4", "+l"}, "", 7, 1,
     [](const RunResult& r, const Report& report) {
         EXPECT_EQ(r.Count("LOS - no clock/data: i64ElapseUsecs="), 1);
         EXPECT_EQ(report.losCount, 1);
         EXPECT_GT(report.losr, 0);
         EXPECT_GT(report.ses, 0);
     }},
    // Burst mode takes no sample on a silent line, but its stop rules hold.
    {"SilentLineInBurstModeStillStops", "", "outage_after_ms = 0\noutage_ms = 60000\n", "",
     {"+S", "-b", "-L3", "-S2", "-v4"}, "", 4, 1,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("Stop on Sync Time 2"));
         EXPECT_FALSE(r.Contains("LOS - no clock/data"));
     }},
    // Nothing is sent, so the test ends at once and claims no clean line.
    {"RefusedTransmitEndsTheTest", "", "", "ioctl = 0x441\nerror = 0xE0000008\n", {"+S", "-v4"}, "", 3,
     5,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("Tx Failed rc=0"));
         EXPECT_TRUE(r.HasLine("Error code returned was  \"Invalid length\" (0xe0000008)"));
         EXPECT_TRUE(r.HasLine("dwStatus=0xa"));
     }},
    {"RefusedCardReadEndsTheTest", "", "", "request = \"read\"\nerror = 0xE0000004\n", {"-L30", "-v4"},
     "", 3, 5,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("BERT stats read Failed :  \"Card not Started\" (0xe0000004)"));
         EXPECT_TRUE(r.HasLine("dwStatus=0xa"));
         EXPECT_FALSE(r.Contains("Stop on Time"));
     }},
    // Bytes checked while hunting belong to no block of the line in sync.
    // The outage outlasts a sample period, so a sample falls into it.
    {"ResyncStartsAFreshBlock", "", "outage_after_ms = 1000\noutage_ms = 2000\n", "",
     {"+S", "-L4", "+l"}, "", 7, 1,
     [](const RunResult&, const Report& report) {
         EXPECT_EQ(report.losCount, 1);
         EXPECT_EQ(report.syncCount, 1);
         EXPECT_EQ(report.bitErrors, 0);
         EXPECT_EQ(report.blockErrors, 0);
     }},
    // The closing report covers the outage up to the end of the test.
    {"ClosingReportCoversAnOutage", "", "outage_after_ms = 1500\noutage_ms = 60000\n", "",
     {"+S", "-k64000", "-L4", "+l"}, "", 7, 1,
     [](const RunResult&, const Report& report) {
         EXPECT_GE(report.durationSecs, 3.9);
         EXPECT_EQ(report.losCount, 1);
         EXPECT_GT(report.losr, 30);
         EXPECT_LE(report.losr, 100);
         EXPECT_GE(report.ses, 2);
         ExpectSecondsAddUp(report);
     }},
    // A report asked for early must not freeze the closing one.
    {"ClosingReportOfAHuntThatNeverEnds", "", "invert = true\n", "", {"+S", "-L10", "-S2", "+l"}, "s",
     4, 1,
     [](const RunResult&, const Report& report) {
         EXPECT_GE(report.durationSecs, 1.9);
         EXPECT_LE(report.rate, 19200 * 1.05);
         EXPECT_GE(report.losr, 99);
         EXPECT_LE(report.losr, 100);
         EXPECT_EQ(report.as, 0);
         ExpectSecondsAddUp(report);
     }},
    {"HardwareClosingReportOfAHuntThatNeverEnds", "can_invert = false\n", "invert = true\n", "",
     {"-L10", "-S2", "+l"}, "s", 4, 1,
     [](const RunResult&, const Report& report) {
         EXPECT_GE(report.durationSecs, 1.8);
         EXPECT_LE(report.rate, 19200 * 1.05);
         EXPECT_GE(report.losr, 95);
         EXPECT_LE(report.losr, 100);
     }},
    // Messages end their lines, and a failure shows the driver's error.
    {"RefusedInjectionIsALineOfItsOwn", "", "", "ioctl = 0xA00\nerror = 0xE0000008\n",
     {"+S", "-L2"}, "1", 4, kAnyExit,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("1 errors injected in the transmitted data instead"));
     }},
    {"HardwareRefusedInjectionIsALineOfItsOwn", "", "", "ioctl = 0xA00\nerror = 0xE0000008\n",
     {"-L2"}, "1", 4, kAnyExit,
     [](const RunResult& r, const Report&) { EXPECT_TRUE(r.HasLine("Failed to inject errors")); }},
    {"RefusedMonitoringIsALineOfItsOwn", "", "", "ioctl = 0x8C0\nerror = 0xE0000008\n", {"-L1"}, "",
     3, 1,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("Failed to start monitoring mode"));
     }},
    {"RateRefusalShowsNoDriverSuccess", "", "", "", {"+S", "-k2048001", "-L1", "-v3"}, "", 3, 3,
     [](const RunResult& r, const Report&) {
         EXPECT_FALSE(r.Contains("The operation completed successfully")) << r.out;
         EXPECT_TRUE(r.HasLine("ERROR: Unsupported Rate"));
     }},
    {"RefusedPortStartShowsTheDriverError", "", "", "ioctl = 0x750\nerror = 0xE0000008\n",
     {"+S", "-L1", "-v3"}, "", 3, 3,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("Failed to start port:  \"Invalid length\" (0xe0000008)"));
     }},
    // The exit code follows the bit errors counted in sync, as the report does.
    {"ExitCodeFollowsTheReportAfterAnOutage", "", "outage_after_ms = 700\noutage_ms = 2000\n", "",
     {"+S", "-k64000", "-L4", "+l"}, "", 7, 1,
     [](const RunResult&, const Report& report) {
         EXPECT_EQ(report.losCount, 1);
         EXPECT_EQ(report.syncCount, 1);
         EXPECT_EQ(report.bitErrors, 0);
     }},
    {"HardwareExitCodeFollowsTheReportAfterAnOutage", "",
     "outage_after_ms = 700\noutage_ms = 2000\n", "", {"-k64000", "-L4", "+l"}, "", 7, 1,
     [](const RunResult&, const Report& report) {
         EXPECT_EQ(report.losCount, 1);
         EXPECT_EQ(report.bitErrors, 0);
     }},
    // A test that never ran or was cut short is not "no bit errors".
    {"UnusablePortIsAFailedSetUp", "", "", "", {"+S", "-k16000000", "-L2"}, "", 3, 3,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("ERROR: Unable to use the selected port"));
         EXPECT_TRUE(r.HasLine("ERROR: Unsupported Rate"));
     }},
    {"UnknownCardIsAFailedSetUp", "", "", "", {"-c5", "-L2"}, "", 3, 3,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("ERROR: Unable to use the selected port"));
         EXPECT_TRUE(r.HasLine("ERROR: Failed to open port"));
     }},
    {"RemovedCardIsNotACleanLine", "remove_after_ms = 1500\n", "", "", {"-L5"}, "", 4, 4,
     [](const RunResult& r, const Report&) {
         EXPECT_TRUE(r.HasLine("ERROR: The card was removed during the test"));
     }},
};
// clang-format on

class FaultsE2e : public ::testing::TestWithParam<FaultRun> {
   protected:
    e2e::RunOptions Options(const FaultRun& run) const {
        e2e::RunOptions options = e2e::SimRunOptions(dir_, "sim.toml", ConfigOf(run));
        options.stdinText = run.keys;
        // A run that hangs is stopped soon after its time, so it fails fast.
        options.timeoutMs = int(run.maxSeconds * 1000) + 4000;
        return options;
    }
    e2e::TempDir dir_;
};

TEST_P(FaultsE2e, EndsInTimeWithFiguresThatAddUp) {
    const FaultRun& run = GetParam();
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = e2e::RunOndrel(run.args, Options(run));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_LE(seconds, e2e::ScaledSeconds(run.maxSeconds)) << r.out;
    EXPECT_EQ(r.err, "");
    if (run.exitCode != kAnyExit) {
        EXPECT_EQ(r.exitCode, run.exitCode) << r.out;
    }
    SCOPED_TRACE(r.out);
    run.check(r, Report(r));
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultsE2e, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<FaultRun>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
