// The files through which a test steers and watches the simulated lines
// while the program runs: the impairment control file, read every 100 ms by
// the driver thread, and the line counters file it writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/impairment.h"

namespace sim {

// Environment variable naming the control file; it wins over `control_file`.
constexpr const char* kControlVariable = "ONDREL_SIM_CONTROL";

class ControlFile {
   public:
    // configured: each card's impairments from the configuration, in card order.
    ControlFile(std::string path, std::vector<ImpairmentConfig> configured);

    // Each card's settings when the file changed since the last poll: the
    // configured ones overlaid with the file's keys, or the configured ones
    // alone once the file is gone. Nothing while it stays as it was, and
    // nothing for a text that does not parse (its reason goes to stderr once).
    std::optional<std::vector<ImpairmentConfig>> Poll();

   private:
    std::optional<std::string> Read();

    std::string path_;
    std::string reported_;  // the problem last reported, so it is reported once
    std::vector<ImpairmentConfig> configured_;
    std::optional<std::string> lastText_;  // nullopt: no file at the last poll
};

// One line of the counters file: "card=0 port=1 carried=... flipped=... ...".
std::string FormatLineStats(unsigned card, unsigned port, const LineStats& stats);

// Replaces the file's content at once, so a reader sees the old or the new.
bool WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace sim
