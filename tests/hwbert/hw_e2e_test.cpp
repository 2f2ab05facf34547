// Hardware-mode runs of the real binary on the simulated card: its BERT
// engine on a loopback line, with keys, stop rules, line impairments and the
// fall-backs to software mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

bool HasEvent(const RunResult& r, const std::string& text) {
    for (const std::string& line : r.Lines())
        if (line.size() > text.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0 &&
            line.find(": ") != std::string::npos)
            return true;
    return false;
}

class HwE2e : public ::testing::Test {
   protected:
    // Keys on stdin, a private home and log folder, and the simulator as
    // configured by toml (the default cards when empty).
    e2e::RunOptions Options(const std::string& toml = "", const std::string& keys = "") {
        e2e::RunOptions options;
        options.stdinText = keys;
        options.setEnv = {{"HOME", home_.path()}, {"ZVBERTLOGPATH", logs_.path()}};
        if (toml.empty()) {
            options.unsetEnv = {"ONDREL_SIM_CONFIG"};
        } else {
            const std::string path = home_.File("sim.toml");
            e2e::WriteFile(path, toml);
            options.setEnv.emplace_back("ONDREL_SIM_CONFIG", path);
        }
        options.timeoutMs = 30000;
        return options;
    }
    RunResult Run(const std::vector<std::string>& args, const std::string& toml = "") {
        return Checked(e2e::RunOndrel(args, Options(toml)));
    }
    // The program writes nothing to stderr; a sanitizer's report lands there.
    static RunResult Checked(RunResult r) {
        EXPECT_EQ(r.err, "");
        return r;
    }

    e2e::TempDir home_;
    e2e::TempDir logs_;
};

TEST_F(HwE2e, CleanLoopbackRunsInHardwareModeWithoutErrors) {
    RunResult r = Run({"-L3", "+l", "-v3"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(HasEvent(r, "Test Started [Hardware Mode]:"));
    EXPECT_TRUE(r.Contains(" Starting hardware BERT rx thread\n"));
    EXPECT_TRUE(HasEvent(r, "In sync"));
    EXPECT_GE(r.Count(" Duration(s)="), 5);  // periodic reports and the closing one
    EXPECT_EQ(r.LastValue("BitErr="), 0);
    EXPECT_EQ(r.LastValue("->LOS="), 0);
    EXPECT_EQ(r.LastValue("LOSR="), 0);
    // Three seconds at the default 19200 bit/s, all received in sync.
    EXPECT_NEAR(r.LastValue("Duration(s)="), 3.0, 0.15);
    EXPECT_NEAR(r.LastValue(" RxCount="), 3 * 19200, 3 * 19200 * 0.05);
    EXPECT_NEAR(r.LastValue(" Rate="), 19200, 100);
    EXPECT_EQ(r.LastValue("SES="), 0);
    EXPECT_GE(r.LastValue("AS="), 2);
    EXPECT_TRUE(r.Contains("HardwareBERTRxThread exit\n"));
}

TEST_F(HwE2e, NoOptionRunsAHardwareTestOnCardZeroUntilX) {
    e2e::ChildProcess child(ONDREL_BINARY, {}, Options());
    ASSERT_TRUE(child.WaitForOutput(" RxCount=", 10000)) << child.Output();
    child.Type("x");
    RunResult r = Checked(child.Finish(10000));
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 0);
}

TEST_F(HwE2e, KeysOneToFourInjectTenErrorsThroughTheCard) {
    e2e::ChildProcess child(ONDREL_BINARY, {"-L3", "+l", "-v3"}, Options());
    ASSERT_TRUE(child.WaitForOutput("In sync", 10000)) << child.Output();
    child.Type("1234");
    RunResult r = Checked(child.Finish(15000));
    EXPECT_EQ(r.exitCode, 0);  // bit errors were counted
    EXPECT_EQ(r.LastValue("BitErr="), 10) << r.out;
    EXPECT_EQ(r.LastValue("->LOS="), 0);
    for (const char* line :
         {"Inject 1 bit error", "Inject 2 bit error", "Inject 3 bit error", "Inject 4 bit error"})
        EXPECT_TRUE(HasEvent(r, line)) << line;
}

TEST_F(HwE2e, ElevenPendingErrorsAreServedAsEightThenThree) {
    e2e::ChildProcess child(ONDREL_BINARY, {"-L3", "+l", "-v3"}, Options());
    ASSERT_TRUE(child.WaitForOutput("In sync", 10000)) << child.Output();
    child.Type("443");
    RunResult r = Checked(child.Finish(15000));
    // The line names the count pending when the request went out.
    EXPECT_TRUE(r.HasLine("11 errors injected")) << r.out;
    EXPECT_TRUE(r.HasLine("3 errors injected"));
    EXPECT_EQ(r.Count(" errors injected\n"), 2);
    EXPECT_EQ(r.LastValue("BitErr="), 11);
}

TEST_F(HwE2e, StopOnErrorEndsTheTestAtTheFirstError) {
    e2e::ChildProcess child(ONDREL_BINARY, {"-s", "+l", "-v4"}, Options());
    ASSERT_TRUE(child.WaitForOutput("In sync", 10000)) << child.Output();
    child.Type("1");
    RunResult r = Checked(child.Finish(10000));  // no x: the test must end by itself
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.HasLine("Stop on Error 1")) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 1);
}

TEST_F(HwE2e, TestLengthWithoutDurationStopsOnBits) {
    RunResult r = Run({"-l20000", "+l", "-v4"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    const double bits = r.LastValue("Stop on Bits ");
    EXPECT_GE(bits, 20000) << r.out;
    EXPECT_LT(bits, 20000 + 19200 / 5);  // within the record that passed it
}

TEST_F(HwE2e, CardEndsItsRunAfterTheTestLengthEvenWhenTheDurationRules) {
    // With -L the program does not stop on bits itself: the card's end of run does.
    RunResult r = Run({"-L30", "-l20000", "+l", "-v4"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.Contains("Stop on")) << r.out;
    EXPECT_TRUE(r.Contains("bertStatus=4\n"));
    EXPECT_LT(r.LastValue("Duration(s)="), e2e::ScaledSeconds(5));
    const double rx = r.LastValue(" RxCount=");
    EXPECT_GE(rx, 20000);
    EXPECT_LT(rx, 20000 + 19200 / 5);
}

TEST_F(HwE2e, CardWithoutTheEngineRevisionFallsBackToSoftwareMode) {
    RunResult r = Run({"-L3", "+l", "-v3"}, "[[card]]\nrevision = 0x2FF\n");
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(HasEvent(r, "WARNING: Switching to Software Mode")) << r.out;
    EXPECT_FALSE(r.Contains("Starting hardware BERT rx thread"));
    EXPECT_TRUE(HasEvent(r, "In sync"));
    EXPECT_EQ(r.LastValue("BitErr="), 0);
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(HwE2e, AsyncModeSwitchesToSoftwareBeforeThePortOpens) {
    RunResult r = Run({"-mASYNC", "-L2", "+l", "-v3"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(HasEvent(r, "Switching to (Async) Software Mode")) << r.out;
    EXPECT_TRUE(HasEvent(r, "Test Started:"));
    EXPECT_FALSE(r.Contains("[Hardware Mode]"));
    EXPECT_FALSE(r.Contains("WARNING: Switching to Software Mode"));
    EXPECT_FALSE(r.Contains("Starting hardware BERT rx thread"));
}

// ---- line impairments ------------------------------------------------------

TEST_F(HwE2e, LineErrorRateIsMeasuredWithinItsStatisticalBound) {
    const double rate = 1e-4;
    RunResult r = Run({"-k1000000", "-L3", "+l"},
                      "[[card]]\n[card.impairment]\nbit_error_rate = 1e-4\nseed = 11\n");
    ASSERT_FALSE(r.timedOut);
    const double bits = r.LastValue(" RxCount=");
    const double errors = r.LastValue("BitErr=");
    ASSERT_GT(bits, 2e6) << r.out;
    // Binomial count: 99.9 % of runs fall within 3.29 standard deviations.
    const double expected = bits * rate;
    EXPECT_NEAR(errors, expected, 3.29 * std::sqrt(expected * (1 - rate))) << r.out;
    EXPECT_EQ(r.LastValue("->LOS="), 0);
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(HwE2e, OutageIsOneLossOfSyncWhoseTimeCoversIt) {
    RunResult r = Run({"-L4", "+l"},
                      "[[card]]\n[card.impairment]\noutage_after_ms = 1200\noutage_ms = 1000\n");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.LastValue("->LOS="), 1) << r.out;
    EXPECT_EQ(r.LastValue("->SYNC="), 1);
    EXPECT_TRUE(HasEvent(r, "LOS"));
    const double duration = r.LastValue("Duration(s)=");
    const double losSeconds = r.LastValue("LOSR=") * duration / 100;
    // The card notices the silence within a tenth of a second and finds the
    // line again at once; the host sees both at its next record.
    EXPECT_GT(losSeconds, 0.75) << r.out;
    EXPECT_LT(losSeconds, 1.25) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 0);
    // The seconds the outage touched, and no others: one or two, as the
    // outage happens to fall across the card's second boundaries.
    EXPECT_GE(r.LastValue("SES="), 1) << r.out;
    EXPECT_LE(r.LastValue("SES="), 2) << r.out;
    EXPECT_EQ(r.LastValue("ES(US)="), 0);
}

}  // namespace
