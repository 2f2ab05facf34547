#include "tests/e2e_scenarios/scenario.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "tests/e2e_support/e2e_support.h"

namespace scenario {
namespace {

struct PatternChoice {
    const char* name;
    unsigned registerBits;
};
constexpr PatternChoice kPatterns[] = {{"63", 6},    {"511", 9},   {"2047", 11}, {"2^15", 15},
                                       {"2^20", 20}, {"2^23", 23}, {"QRSS", 20}};
constexpr uint64_t kRates[] = {9600, 64000, 512000, 2048000};

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// The last "In sync" or loss of sync or signal in the output decides how
// the test ended.
bool EndedInSync(const e2e::RunResult& r) {
    bool inSync = false;
    for (const std::string& line : r.Lines()) {
        if (line.find(" LOS - no clock/data") != std::string::npos) inSync = false;
        const size_t stamp = e2e::EventStampLength(line);
        if (stamp == 0) continue;
        const std::string event = line.substr(stamp);
        if (event == "In sync") inSync = true;
        if (event == "LOS") inSync = false;
    }
    return inSync;
}

int64_t SoftwareNoDataMs(const e2e::RunResult& r, uint64_t rate) {
    for (const std::string& line : r.Lines()) {
        unsigned count = 0, length = 0;
        if (std::sscanf(line.c_str(), "NumBuffers=%u BufferLength=%u", &count, &length) == 2 &&
            rate > 0)
            return std::max<int64_t>(int64_t(8ull * length * 2000 / rate), 100);
    }
    return 1000;
}

}  // namespace

Scenario Draw(uint64_t seed) {
    std::mt19937_64 random(seed * 0x9E3779B97F4A7C15ull + 1);
    auto chance = [&](double p) {
        return std::uniform_real_distribution<double>(0, 1)(random) < p;
    };
    auto between = [&](int64_t lo, int64_t hi) {
        return std::uniform_int_distribution<int64_t>(lo, hi)(random);
    };
    Scenario s;
    s.seed = seed;
    s.hardware = chance(0.4);
    s.rate = kRates[between(0, 3)];
    const PatternChoice& pattern = kPatterns[between(0, 6)];
    s.pattern = pattern.name;
    s.registerBits = pattern.registerBits;
    s.threads = !s.hardware && chance(0.1) ? 3 : 1;
    if (chance(0.5)) s.bitErrorRate = std::pow(10.0, -double(between(30, 60)) / 10);
    if (chance(0.3)) {
        s.burstEveryMs = uint32_t(between(300, 1500));
        s.burstBits = uint32_t(chance(0.5) ? between(4, 64) : between(200, 1200));
    }
    if (chance(0.3)) {
        s.slipAfterMs = uint32_t(between(800, 3500));
        s.slipBits = int32_t(between(1, 7)) * (chance(0.5) ? 1 : -1);
    }
    if (chance(0.4)) {
        s.outageMs = uint32_t(between(200, 5000));
        s.outageAfterMs = uint32_t(chance(0.25) ? between(0, 50) : between(500, 3500));
    }
    if (chance(0.15)) {
        s.invertAtMs = uint32_t(between(1500, 3500));
        s.invertForMs = chance(0.5) ? uint32_t(between(300, 1500)) : 0;
    }
    s.testSeconds = int(between(4, 6));
    // Drawn last, so that the seeds drawn before keep their other choices.
    if (s.hardware || s.threads != 1) return s;
    if (chance(0.15)) {
        s.threads = chance(0.5) ? 2 : 4;
    } else if (chance(0.15)) {
        s.farEnd = chance(0.5) ? Scenario::FarEnd::Killed : Scenario::FarEnd::Frozen;
        s.farEndAtMs = uint32_t(between(1500, 2500));
        if (s.farEnd == Scenario::FarEnd::Frozen) s.farEndForMs = uint32_t(between(300, 2500));
        s.testSeconds = 6;
    } else if (chance(0.1)) {
        s.stallAtMs = uint32_t(between(1000, 3000));
        s.stallMs = uint32_t(between(150, 400));
    }
    return s;
}

std::string Scenario::Config(const std::string& truthFile, const std::string& controlFile,
                             const std::string& lineName) const {
    std::ostringstream c;
    c << "truth_file = \"" << truthFile << "\"\n";
    if (!controlFile.empty()) c << "control_file = \"" << controlFile << "\"\n";
    c << "[[card]]\nports = 2\n";
    if (!lineName.empty()) c << "line = \"shared\"\nline_name = \"" << lineName << "\"\n";
    c << "[card.impairment]\nseed = " << seed << "\n";
    if (bitErrorRate > 0) c << "bit_error_rate = " << Number(bitErrorRate) << "\n";
    if (burstBits > 0)
        c << "burst_every_ms = " << burstEveryMs << "\nburst_bits = " << burstBits << "\n";
    if (slipBits != 0)
        c << "slip_after_ms = " << slipAfterMs << "\nslip_bits = " << slipBits << "\n";
    if (outageMs > 0)
        c << "outage_after_ms = " << outageAfterMs << "\noutage_ms = " << outageMs << "\n";
    return c.str();
}

std::vector<std::string> Scenario::Args() const {
    std::vector<std::string> args;
    if (!hardware) args.push_back("+S");
    args.push_back("-k" + std::to_string(rate));
    args.push_back("-t" + pattern);
    args.push_back("-d" + std::to_string(threads));
    args.push_back("-L" + std::to_string(testSeconds));
    args.push_back("-S" + std::to_string(noSyncSeconds));
    args.push_back("+l");
    args.push_back("-v3");
    return args;
}

std::string Scenario::Describe() const {
    std::ostringstream d;
    d << "seed " << seed << ": " << (hardware ? "hardware" : "software") << " " << rate
      << " bit/s, pattern " << pattern << ", -d" << threads;
    if (bitErrorRate > 0) d << ", errors " << Number(bitErrorRate);
    if (burstBits > 0) d << ", bursts of " << burstBits << " every " << burstEveryMs << " ms";
    if (slipBits != 0) d << ", slip " << slipBits << " at " << slipAfterMs << " ms";
    if (outageMs > 0) d << ", outage " << outageMs << " ms at " << outageAfterMs << " ms";
    if (invertAtMs > 0) {
        d << ", inverted at " << invertAtMs << " ms";
        if (invertForMs > 0) d << " for " << invertForMs << " ms";
    }
    if (farEnd == FarEnd::Killed) d << ", echo far end killed at " << farEndAtMs << " ms";
    if (farEnd == FarEnd::Frozen)
        d << ", echo far end frozen at " << farEndAtMs << " ms for " << farEndForMs << " ms";
    if (stallMs > 0) d << ", tester stopped at " << stallAtMs << " ms for " << stallMs << " ms";
    return d.str();
}

namespace {

// Without a receive thread only the time, the exit code (1: nothing judged
// the line) and, when there is one, the report's arithmetic apply.
template <class Fail>
void CheckWithoutChecker(const Scenario& s, const e2e::RunResult& r, double wallSecs, Fail fail) {
    if (wallSecs > e2e::ScaledSeconds(s.testSeconds + 2.0) + 1.0)
        fail("ran " + std::to_string(wallSecs) + " s for -L" + std::to_string(s.testSeconds));
    if (r.exitCode != 1) fail("exit code " + std::to_string(r.exitCode) + " without a checker");
    const e2e::ReportFigures report = e2e::ParseReport(r.out);
    if (!report.found) return;
    if (report.losr < 0 || report.losr > 100) fail("LOSR " + std::to_string(report.losr));
    if (report.es + report.ses + report.as > int64_t(report.durationSecs))
        fail("ES+SES+AS exceed the duration " + std::to_string(report.durationSecs) + " s");
}

// The figures of a report held against the ideal tester's.
std::vector<std::string> FigureFailures(const Scenario& s, const e2e::PortTruth& truth,
                                        const e2e::OracleSettings& settings,
                                        const e2e::RunResult& r, const e2e::ReportFigures& report,
                                        double wallSecs) {
    std::vector<std::string> failures;
    auto fail = [&](const std::string& what) { failures.push_back(what); };
    const e2e::IdealReport ideal = e2e::Judge(truth, settings);
    auto range = [](const e2e::Range& range) {
        return "[" + std::to_string(range.lo) + ", " + std::to_string(range.hi) + "]";
    };
    const std::string judged = " (ideal: " + ideal.explanation + ")";
    const bool synced = r.HasEvent("In sync");
    const bool endedInSync = EndedInSync(r);
    if (synced != ideal.everInSync)
        fail(std::string("program ") + (synced ? "found" : "never found") +
             " the pattern, the ideal tester " + (ideal.everInSync ? "did" : "did not") + judged);
    const double syncSecs = synced ? double(ideal.firstSyncPeriod) / 10 : 0;
    const double lengthSecs =
        synced ? (s.hardware ? s.testSeconds : s.testSeconds + syncSecs) : s.noSyncSeconds;
    // -L plus 2 s, and a second to start the program and set up its port.
    if (wallSecs - double(s.stallMs) / 1000 > e2e::ScaledSeconds(lengthSecs + 2.0) + 1.0)
        fail("ran " + std::to_string(wallSecs) + " s for -L" + std::to_string(s.testSeconds));
    // A dead far end is lost signal; what a frozen one sends when it wakes
    // (its queued data, idle, a jump in the pattern) no line record can know.
    if (s.farEnd == Scenario::FarEnd::Killed && synced && report.los == 0)
        fail("the far end died and the tester lost neither sync nor signal");
    if (synced && ideal.everInSync && s.farEnd != Scenario::FarEnd::Frozen) {
        if (!ideal.bitErrors.Holds(report.bitErrors))
            fail("BitErr=" + std::to_string(report.bitErrors) + ", ideal " +
                 range(ideal.bitErrors) + judged);
        if (!ideal.lossEvents.Holds(report.los))
            fail("->LOS=" + std::to_string(report.los) + ", ideal " + range(ideal.lossEvents) +
                 judged);
        const int64_t lossMs = int64_t(report.losr * report.durationSecs * 10);
        if (!ideal.lossMs.Holds(lossMs))
            fail("LOS time " + std::to_string(lossMs) + " ms, ideal " + range(ideal.lossMs) +
                 judged);
        if (!ideal.severeSeconds.Holds(report.ses))
            fail("SES=" + std::to_string(report.ses) + ", ideal " + range(ideal.severeSeconds) +
                 judged);
        if (!ideal.mayEndOutOfSync && !endedInSync)
            fail("ended out of sync on a clean tail" + judged);
    }
    return failures;
}

struct TimedAction {
    uint32_t atMs;
    std::function<void()> act;
};

// The scenario's actions at their times on the line, not waits for an event.
void RunActions(std::vector<TimedAction> actions, std::chrono::steady_clock::time_point started) {
    std::stable_sort(actions.begin(), actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.atMs < b.atMs; });
    for (const TimedAction& action : actions) {
        std::this_thread::sleep_until(started + std::chrono::milliseconds(action.atMs));
        action.act();
    }
}

std::string LineNameOf(const Scenario& s) {
    if (s.farEnd == Scenario::FarEnd::None) return "";
    return "scenario-" + std::to_string(s.seed) + "-" + std::to_string(getpid());
}

}  // namespace

Outcome Run(const Scenario& s) {
    Outcome outcome;
    e2e::TempDir dir;
    const std::string truthFile = dir.File("truth.txt");
    const std::string controlFile = s.invertAtMs > 0 ? dir.File("control.toml") : "";
    if (!controlFile.empty()) e2e::WriteFile(controlFile, "");
    const std::string lineName = LineNameOf(s);
    const std::string config = s.Config(truthFile, controlFile, lineName);
    e2e::RunOptions options = e2e::SimRunOptions(dir, "sim.toml", config);
    std::string command = "ondrel";
    for (const auto& arg : s.Args()) command += " " + arg;
    const std::vector<std::string> echoArgs = {"+S", "-d4", "-k" + std::to_string(s.rate), "-v3"};
    const std::string echoConfig =
        "[[card]]\nports = 2\nline = \"shared\"\nline_name = \"" + lineName + "\"\n";
    outcome.reproducer = "# " + s.Describe() + "\n";
    if (!lineName.empty())
        outcome.reproducer += "# first the far end: ONDREL_CARD_CONFIG=echo.toml ondrel +S -d4 -k" +
                              std::to_string(s.rate) + " -v3 &, with echo.toml:\n" + echoConfig;
    outcome.reproducer +=
        "# ONDREL_CARD_CONFIG=sim.toml " + command + "\n" +
        s.Config("truth.txt", controlFile.empty() ? "" : "control.toml", lineName);
    if (s.invertAtMs > 0) {
        outcome.reproducer +=
            "# control.toml: \"invert = true\" at " + std::to_string(s.invertAtMs) + " ms";
        if (s.invertForMs > 0)
            outcome.reproducer += ", emptied " + std::to_string(s.invertForMs) + " ms later";
        outcome.reproducer += "\n";
    }
    auto fail = [&](const std::string& what) { outcome.failures.push_back(what); };

    std::unique_ptr<e2e::ChildProcess> echo;
    if (!lineName.empty()) {
        echo = std::make_unique<e2e::ChildProcess>(
            ONDREL_BINARY, echoArgs, e2e::SimRunOptions(dir, "echo.toml", echoConfig));
        if (!echo->WaitForOutput("Starting ECHO thread", 5000)) {
            fail("the echo far end did not start: " + echo->Output());
            return outcome;
        }
    }
    const auto started = std::chrono::steady_clock::now();
    e2e::ChildProcess child(ONDREL_BINARY, s.Args(), options);
    if (!child.Started()) {
        fail("the program did not start");
        return outcome;
    }
    std::vector<TimedAction> actions;
    if (s.invertAtMs > 0) {
        actions.push_back({s.invertAtMs, [&] { e2e::WriteFile(controlFile, "invert = true\n"); }});
        if (s.invertForMs > 0)
            actions.push_back({s.invertAtMs + s.invertForMs,
                               [&] { e2e::WriteFile(controlFile, "invert = false\n"); }});
    }
    if (s.farEnd == Scenario::FarEnd::Killed)
        actions.push_back({s.farEndAtMs, [&] { echo->Signal(SIGKILL); }});
    if (s.farEnd == Scenario::FarEnd::Frozen) {
        actions.push_back({s.farEndAtMs, [&] { echo->Signal(SIGSTOP); }});
        actions.push_back({s.farEndAtMs + s.farEndForMs, [&] { echo->Signal(SIGCONT); }});
    }
    if (s.stallMs > 0) {
        actions.push_back({s.stallAtMs, [&] { child.Signal(SIGSTOP); }});
        actions.push_back({s.stallAtMs + s.stallMs, [&] { child.Signal(SIGCONT); }});
    }
    RunActions(std::move(actions), started);
    const int boundMs = (s.testSeconds + s.noSyncSeconds + 8) * 1000 + int(s.stallMs);
    e2e::RunResult r = child.Finish(boundMs);  // scaled by Finish
    const double wallSecs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (echo) {
        echo->Type("x");
        const e2e::RunResult echoed = echo->Finish(10000);
        if (s.farEnd != Scenario::FarEnd::Killed && echoed.exitCode != 1)
            fail("the echo far end ended with " + std::to_string(echoed.exitCode));
    }
    if (r.timedOut) {
        fail("did not end within " + std::to_string(e2e::ScaledMs(boundMs)) + " ms");
        return outcome;
    }
    if (!r.err.empty()) fail("stderr: " + r.err.substr(0, 2000));
    const double stallSecs = double(s.stallMs) / 1000;
    if (!s.Checked()) {
        CheckWithoutChecker(s, r, wallSecs - stallSecs, fail);
        outcome.passed = outcome.failures.empty();
        return outcome;
    }

    std::vector<e2e::PortTruth> ports;
    std::string error;
    if (!e2e::ParseTruth(e2e::ReadFile(truthFile), &ports, &error)) {
        fail("truth file: " + error);
        return outcome;
    }
    const e2e::PortTruth* truth = e2e::FindPortTruth(ports, 0, 0);
    if (truth == nullptr) {
        fail("no truth for port 0 of card 0");
        return outcome;
    }
    e2e::OracleSettings settings;
    settings.noDataTimeoutMs = s.hardware ? 100 : SoftwareNoDataMs(r, s.rate);
    settings.registerBits = s.registerBits;
    settings.burstBits = s.burstBits;
    settings.testSeconds = s.testSeconds;
    settings.fromFirstSync = !s.hardware;
    if (s.farEnd != Scenario::FarEnd::Killed)
        settings.lineQuietAfter = (s.outageMs > 0 ? (s.outageAfterMs + s.outageMs) / 100 : 0) + 1;
    const e2e::ReportFigures report = e2e::ParseReport(r.out);
    const bool synced = r.HasEvent("In sync");
    const bool endedInSync = EndedInSync(r);
    if (!report.found) {
        fail("no closing report");
        return outcome;
    }
    const int verdict = e2e::VerdictOf(report, synced, endedInSync);
    if (r.exitCode != verdict)
        fail("exit code " + std::to_string(r.exitCode) + ", the report calls for " +
             std::to_string(verdict));
    if (report.losr < 0 || report.losr > 100) fail("LOSR " + std::to_string(report.losr));
    const int64_t seconds = int64_t(report.durationSecs);
    const int64_t booked = report.es + report.ses + report.as;
    if (booked > seconds || booked < seconds - (s.hardware ? 1 : 0))
        fail("ES+SES+AS = " + std::to_string(booked) + " in a test of " +
             std::to_string(report.durationSecs) + " s");
    // A sync in the few milliseconds before an early outage is the program's
    // luck, either way right: the figures must agree with one of the two.
    std::vector<std::string> figures = FigureFailures(s, *truth, settings, r, report, wallSecs);
    if (!figures.empty() && s.outageMs > 0 && s.outageAfterMs < 100) {
        settings.syncAtFirstData = true;
        std::vector<std::string> early = FigureFailures(s, *truth, settings, r, report, wallSecs);
        if (early.empty()) figures.clear();
    }
    for (const auto& failure : figures) fail(failure);
    outcome.passed = outcome.failures.empty();
    return outcome;
}

}  // namespace scenario
