// Runs of the real binary over impaired simulated lines: the figures it
// reports against what the line was told to do, and a tester and an echo
// responder in two processes on one shared line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

// Two-sided 99.9 % bound of a Poisson count around its mean.
constexpr double kZ999 = 3.29;

// The figures of the last statistics report of a run.
struct Report {
    double durationSecs = -1;
    int64_t rxBits = -1;
    int64_t bitErrors = -1;
    int64_t losCount = -1;
    int64_t syncCount = -1;
    double losr = -1;
    std::string berLine;
};

int64_t Field(const std::string& line, const std::string& name) {
    size_t at = line.find(name + "=");
    if (at == std::string::npos) return -1;
    return std::stoll(line.substr(at + name.size() + 1));
}

Report LastReport(const RunResult& r) {
    Report report;
    for (const std::string& line : r.Lines()) {
        size_t at = line.find("Duration(s)=");
        if (at != std::string::npos) report.durationSecs = std::stod(line.substr(at + 12));
        if (line.rfind("TxCount=", 0) == 0) report.rxBits = Field(line, "RxCount");
        if (line.rfind("BitErr=", 0) == 0) report.bitErrors = Field(line, "BitErr");
        if (line.rfind("BER=", 0) == 0) report.berLine = line;
        if (line.rfind("->LOS=", 0) == 0) {
            report.losCount = Field(line, "->LOS");
            report.syncCount = Field(line, "->SYNC");
            report.losr = std::stod(line.substr(line.find("LOSR=") + 5));
        }
    }
    return report;
}

// "card=0 port=0 carried=... flipped=..." lines of a counters file, by card and port.
std::map<std::string, int64_t> LineCounters(const std::string& text, const std::string& cardPort) {
    std::map<std::string, int64_t> counters;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(cardPort + " ", 0) != 0) continue;
        std::istringstream items(line);
        for (std::string item; items >> item;) {
            size_t eq = item.find('=');
            if (eq != std::string::npos)
                counters[item.substr(0, eq)] = std::stoll(item.substr(eq + 1));
        }
    }
    return counters;
}

bool HasEventEndingWith(const RunResult& r, const std::string& text) {
    static const std::regex kEvent(R"(\d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d: (.*))");
    for (const std::string& line : r.Lines()) {
        std::smatch m;
        if (std::regex_match(line, m, kEvent) && m[1] == text) return true;
    }
    return false;
}

class LineE2e : public ::testing::Test {
   protected:
    // Options for one process with its own simulator configuration.
    e2e::RunOptions Options(const std::string& configName, const std::string& config) const {
        return e2e::SimRunOptions(dir_, configName, config);
    }
    // A line of its own per test and process: ctest runs tests side by side.
    static std::string LineName() {
        return "e2e" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    e2e::TempDir dir_;
};

TEST_F(LineE2e, ReportedBitErrorRateMatchesTheLine) {
    RunResult r = e2e::RunOndrel(
        {"+S", "-k1000000", "-L3"},
        Options("ber.toml", "[[card]]\n[card.impairment]\nbit_error_rate = 1e-4\nseed = 7\n"));
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.out;  // bit errors were counted
    Report report = LastReport(r);
    ASSERT_GE(report.rxBits, 2000000) << r.out;
    double expected = 1e-4 * double(report.rxBits);
    EXPECT_NEAR(double(report.bitErrors), expected, kZ999 * std::sqrt(expected)) << r.out;
    EXPECT_EQ(report.berLine.rfind("BER=0.01 ", 0), 0u) << report.berLine;
}

TEST_F(LineE2e, OutageAfterSyncIsOneLossOfSignalAndItsTime) {
    std::string control = dir_.File("control.toml");
    e2e::RunOptions options = Options("los.toml", "control_file = \"" + control + "\"\n[[card]]\n");
    e2e::ChildProcess child(ONDREL_BINARY, {"+S", "-k64000", "-L5", "+l"}, options);
    ASSERT_TRUE(child.WaitForOutput("In sync", 5000)) << child.Output();
    e2e::WriteFile(control + ".new", "outage_ms = 2000\n");
    ASSERT_EQ(std::rename((control + ".new").c_str(), control.c_str()), 0);
    RunResult r = child.Finish(15000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.Count("LOS - no clock/data: i64ElapseUsecs="), 1) << r.out;
    Report report = LastReport(r);
    EXPECT_EQ(report.losCount, 1) << r.out;
    EXPECT_EQ(report.syncCount, 1) << r.out;
    EXPECT_EQ(report.bitErrors, 0);
    // Loss is declared at the first one-second sample without data and ends
    // with the first data after the outage: the 2 s less up to one sample.
    double losSecs = report.losr * report.durationSecs / 100;
    EXPECT_GE(losSecs, 0.8) << r.out;
    EXPECT_LE(losSecs, 2.2) << r.out;
}

TEST_F(LineE2e, BurstModeDeclaresNoLossOfSignalInAnOutage) {
    RunResult r = e2e::RunOndrel(
        // The bits the outage took put the pattern out of step: the test
        // runs on long enough for a burst-mode sample to find it again.
        {"+S", "-k64000", "-L6", "-b"},
        Options("los.toml",
                "[[card]]\n[card.impairment]\noutage_after_ms = 1000\noutage_ms = 2000\n"));
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.Count("LOS - no clock/data"), 0) << r.out;
    EXPECT_GT(LastReport(r).rxBits, 64000) << r.out;
}

TEST_F(LineE2e, InvertedLineIsFoundByAutomaticInversion) {
    RunResult r =
        e2e::RunOndrel({"+S", "-k64000", "-L2", "+v", "+l"},
                       Options("inv.toml", "[[card]]\n[card.impairment]\ninvert = true\n"));
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(HasEventEndingWith(r, "^Rx Inverted")) << r.out;
    EXPECT_FALSE(r.Contains("*^Rx Inverted"));
    EXPECT_TRUE(HasEventEndingWith(r, "In sync"));
    Report report = LastReport(r);
    EXPECT_EQ(report.bitErrors, 0) << r.out;
    EXPECT_EQ(report.losCount, 0);
    EXPECT_GT(report.rxBits, 64000);
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(LineE2e, CardThatRefusesInversionLeavesItToTheProgram) {
    RunResult r = e2e::RunOndrel(
        {"+S", "-k64000", "-L2", "+v", "+l"},
        Options("inv.toml", "[[card]]\ncan_invert = false\n[card.impairment]\ninvert = true\n"));
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(HasEventEndingWith(r, "*^Rx Inverted")) << r.out;
    EXPECT_TRUE(HasEventEndingWith(r, "In sync"));
    Report report = LastReport(r);
    EXPECT_EQ(report.bitErrors, 0) << r.out;
    EXPECT_GT(report.rxBits, 64000);
    EXPECT_EQ(r.exitCode, 1);
}

class EchoE2e : public LineE2e {
   protected:
    std::string Config(const std::string& statsName, const std::string& impairments) const {
        return "stats_file = \"" + dir_.File(statsName) +
               "\"\n[[card]]\nline = \"shared\"\nline_name = \"" + LineName() +
               "\"\n[card.impairment]\n" + impairments;
    }
    // A tester against an echo responder in another process; the echo's
    // counters file is complete once it has ended.
    RunResult RunAgainstEcho(const std::string& impairments) {
        e2e::ChildProcess echo(ONDREL_BINARY, {"+S", "-d4", "-k1000000", "-v3"},
                               Options("echo.toml", Config("echo.stats", impairments)));
        EXPECT_TRUE(echo.WaitForOutput("Starting ECHO thread", 5000)) << echo.Output();
        // -S bounds a run that never finds the pattern, so a failure shows
        // both sides' output instead of a time-out.
        RunResult r = e2e::RunOndrel({"+S", "-k1000000", "-L3", "-S6", "-v3"},
                                     Options("tester.toml", Config("tester.stats", impairments)));
        echo.Type("x");
        RunResult echoed = echo.Finish(10000);
        EXPECT_FALSE(echoed.timedOut);
        EXPECT_EQ(echoed.exitCode, 1) << echoed.out;
        EXPECT_FALSE(r.timedOut) << r.out << "\n--- echo ---\n" << echoed.out;
        return r;
    }
};

TEST_F(EchoE2e, CleanSharedLineGivesNoErrors) {
    RunResult r = RunAgainstEcho("");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    Report report = LastReport(r);
    EXPECT_EQ(report.bitErrors, 0) << r.out;
    EXPECT_EQ(report.losCount, 0);
    EXPECT_GE(report.rxBits, 2500000) << r.out;  // the bytes went out and came back at 1 Mbit/s
}

TEST_F(EchoE2e, ErrorsOfBothDirectionsAreCounted) {
    RunResult r = RunAgainstEcho("bit_error_rate = 1e-5\nseed = 11\n");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    Report report = LastReport(r);
    auto there = LineCounters(e2e::ReadFile(dir_.File("echo.stats")), "card=0 port=0");
    auto back = LineCounters(e2e::ReadFile(dir_.File("tester.stats")), "card=0 port=0");
    ASSERT_GT(there["flipped"], 0);
    ASSERT_GT(back["flipped"], 0);
    // Each flip is one wrong bit at most (flips before the first sync, and
    // those of bits still queued at the echo when the test ended, are not
    // counted); the way back alone does not account for them all.
    EXPECT_LE(report.bitErrors, there["flipped"] + back["flipped"]);
    EXPECT_GT(report.bitErrors, back["flipped"]) << r.out;
    double expected = 2e-5 * double(report.rxBits);
    EXPECT_NEAR(double(report.bitErrors), expected, kZ999 * std::sqrt(expected)) << r.out;
}

}  // namespace
