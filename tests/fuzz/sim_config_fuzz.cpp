// The simulated driver's configuration file and its live control file.
#include <cstdint>
#include <string>

#include "sim/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::SimConfig config;
    std::string error;
    sim::ParseConfig(text, "fuzz.toml", &config, &error);
    sim::ImpairmentConfig overlay;
    sim::ParseImpairmentOverlay(text, "control", sim::ImpairmentConfig{}, &overlay, &error);
    return 0;
}
