// Runs N scenario seeds from a first one and prints each failing seed's
// reproducer: scenario_runner N [first-seed] [list] (tools/scenarios builds and
// runs it); with "list" it only says what each seed draws.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e_scenarios/scenario.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s N [first-seed] [list]\n", argv[0]);
        return 2;
    }
    const uint64_t count = std::strtoull(argv[1], nullptr, 10);
    const uint64_t first = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    if (argc > 3 && std::string(argv[3]) == "list") {
        for (uint64_t seed = first; seed < first + count; ++seed)
            std::printf("%s\n", scenario::Draw(seed).Describe().c_str());
        return 0;
    }
    uint64_t failed = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const scenario::Scenario s = scenario::Draw(seed);
        const scenario::Outcome outcome = scenario::Run(s);
        std::printf("%s %s\n", outcome.passed ? "ok  " : "FAIL", s.Describe().c_str());
        if (!outcome.passed) {
            ++failed;
            for (const auto& failure : outcome.failures) std::printf("    %s\n", failure.c_str());
            std::printf("  reproducer:\n%s\n", outcome.reproducer.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%llu of %llu scenarios failed\n", (unsigned long long)failed,
                (unsigned long long)count);
    return failed == 0 ? 0 : 1;
}
