// Randomized line scenarios: a seed draws what the simulated line does and
// how the program tests it; the real binary runs against it and its report
// is held against what the line's truth record says an ideal tester saw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/e2e_support/truth_oracle.h"

namespace scenario {

struct Scenario {
    uint64_t seed = 0;
    bool hardware = false;
    uint64_t rate = 64000;
    std::string pattern = "2047";
    unsigned registerBits = 11;
    // -d: 1 transmit and receive, 2 transmit only, 3 receive only, 4 echo;
    // without a receive thread (2, 4) nothing judges the line.
    int threads = 1;
    double bitErrorRate = 0;
    uint32_t burstEveryMs = 0, burstBits = 0;
    uint32_t slipAfterMs = 0;
    int32_t slipBits = 0;
    uint32_t outageAfterMs = 0, outageMs = 0;
    // Inversion switched on through the control file this long after the
    // start, and off again after invertForMs (0: left on).
    uint32_t invertAtMs = 0, invertForMs = 0;
    // The loopback replaced by an echo responder, a second program on a
    // shared line, that dies (SIGKILL) or freezes (SIGSTOP, then SIGCONT
    // farEndForMs later) farEndAtMs after the tester started.
    enum class FarEnd { None, Killed, Frozen } farEnd = FarEnd::None;
    uint32_t farEndAtMs = 0, farEndForMs = 0;
    // The tester itself kept from running this long (a loaded host):
    // its line goes on, so this is no loss of signal.
    uint32_t stallAtMs = 0, stallMs = 0;
    int testSeconds = 5;    // -L
    int noSyncSeconds = 3;  // -S

    bool Checked() const { return hardware || threads == 1 || threads == 3; }
    std::string Config(const std::string& truthFile, const std::string& controlFile,
                       const std::string& lineName) const;
    std::vector<std::string> Args() const;
    std::string Describe() const;
};

Scenario Draw(uint64_t seed);

struct Outcome {
    bool passed = false;
    std::vector<std::string> failures;
    std::string reproducer;  // configuration and command line
};

// Runs the scenario in a fresh folder and checks every figure.
Outcome Run(const Scenario& s);

}  // namespace scenario
