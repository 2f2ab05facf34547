// Randomized line scenarios against the real binary: each seed draws a line
// (errors, bursts, slips, outages, inversion switched mid-test) and a test
// of it; every figure of the report must agree with what the line's truth
// record says an ideal tester saw. tools/scenarios runs more seeds locally.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e_scenarios/scenario.h"
#include "tests/e2e_support/e2e_support.h"
#include "tests/e2e_support/truth_oracle.h"

namespace {

std::vector<uint64_t> Seeds() {
    // Sanitizer builds run the program a few times slower: fewer seeds keep
    // the suite within its time.
    if (e2e::TimeScale() > 1) return {1, 4, 7, 12};
    return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
}

class LineScenario : public testing::TestWithParam<uint64_t> {};

TEST_P(LineScenario, FiguresAgreeWithTheLinesTruth) {
    const scenario::Scenario s = scenario::Draw(GetParam());
    const scenario::Outcome outcome = scenario::Run(s);
    std::string failures;
    for (const auto& failure : outcome.failures) failures += "  " + failure + "\n";
    EXPECT_TRUE(outcome.passed) << s.Describe() << "\n"
                                << failures << "reproducer:\n"
                                << outcome.reproducer;
}

INSTANTIATE_TEST_SUITE_P(Seeds, LineScenario, testing::ValuesIn(Seeds()));

// The faults the scenarios found, each as a fixed line that failed before.
struct FixedCase {
    std::string name;
    scenario::Scenario line;
};

scenario::Scenario Line(bool hardware, uint64_t rate) {
    scenario::Scenario s;
    s.seed = 9;
    s.hardware = hardware;
    s.rate = rate;
    s.testSeconds = 6;
    return s;
}

std::vector<FixedCase> FixedCases() {
    std::vector<FixedCase> cases;
    for (bool hardware : {false, true}) {
        const std::string mode = hardware ? "Hardware" : "Software";
        // A slip multiplied every later error.
        scenario::Scenario slip = Line(hardware, 64000);
        slip.bitErrorRate = 1e-4;
        slip.slipAfterMs = 2000;
        slip.slipBits = 1;
        cases.push_back({mode + "SlipCostsAResyncThenEachErrorOnce", slip});
        // A long outage booked its seconds twice.
        scenario::Scenario outage = Line(hardware, 64000);
        outage.outageAfterMs = 1500;
        outage.outageMs = 3000;
        cases.push_back({mode + "OutageSecondsAreBookedOnce", outage});
        // A short outage went unnoticed at a high rate.
        scenario::Scenario shortOutage = Line(hardware, 2048000);
        shortOutage.outageAfterMs = 1500;
        shortOutage.outageMs = 900;
        cases.push_back({mode + "ShortOutageIsLossOfSignal", shortOutage});
        // Bursts long enough to throw the checker off: a loss every run.
        scenario::Scenario bursts = Line(hardware, 64000);
        bursts.burstEveryMs = 300;
        bursts.burstBits = 800;
        // A receive block that ended inside a burst (a loaded host) found
        // sync on the good bytes before it and lost it again on the rest.
        cases.push_back({mode + "LongBurstsLoseSyncEveryRun", bursts});
    }
    // A tester kept from running (a loaded host) took the wait for data as
    // a silence of its line: loss of signal on a line that never stopped.
    scenario::Scenario stall = Line(false, 2048000);
    stall.stallAtMs = 2000;
    stall.stallMs = 300;
    cases.push_back({"SoftwareStalledTesterLosesNoSignal", stall});
    // A far end that dies is lost signal to the end of the test; one that
    // freezes and wakes again is a test that was not in sync throughout.
    scenario::Scenario killed = Line(false, 64000);
    killed.farEnd = scenario::Scenario::FarEnd::Killed;
    killed.farEndAtMs = 2000;
    cases.push_back({"SoftwareDeadFarEndIsLostSignal", killed});
    scenario::Scenario frozen = killed;
    frozen.farEnd = scenario::Scenario::FarEnd::Frozen;
    frozen.farEndForMs = 2000;
    cases.push_back({"SoftwareFrozenFarEndIsLostSignal", frozen});
    scenario::Scenario never = Line(false, 64000);
    never.threads = 3;  // nothing sends on the loopback: never in sync
    cases.push_back({"NeverInSync", never});
    scenario::Scenario inverted = Line(true, 64000);
    inverted.invertAtMs = 2000;
    cases.push_back({"HardwareInversionMidTestLosesSync", inverted});
    return cases;
}

class FoundFault : public testing::TestWithParam<FixedCase> {};

TEST_P(FoundFault, FiguresAgreeWithTheLinesTruth) {
    const scenario::Outcome outcome = scenario::Run(GetParam().line);
    std::string failures;
    for (const auto& failure : outcome.failures) failures += "  " + failure + "\n";
    EXPECT_TRUE(outcome.passed) << GetParam().line.Describe() << "\n"
                                << failures << "reproducer:\n"
                                << outcome.reproducer;
}

INSTANTIATE_TEST_SUITE_P(Lines, FoundFault, testing::ValuesIn(FixedCases()),
                         [](const testing::TestParamInfo<FixedCase>& info) {
                             return info.param.name;
                         });

}  // namespace
