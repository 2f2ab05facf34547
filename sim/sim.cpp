#include "sim/sim.h"

#include "platform/environment.h"
#include "sim/config.h"
#include "sim/driver.h"
#include "sim/line_control.h"

namespace sim {

std::unique_ptr<card::Driver> CreateDriverFromEnvironment(std::string* error) {
    char path[4096];
    SimConfig config = DefaultConfig();
    if (platform::GetEnvironment(kConfigVariable, path, sizeof path)) {
        std::string problem;
        if (!LoadConfigFile(path, &config, &problem)) {
            if (error) *error = problem;
            return nullptr;
        }
    }
    char control[4096];
    if (platform::GetEnvironment(kControlVariable, control, sizeof control) && control[0] != '\0')
        config.controlFile = control;
    return std::make_unique<SimDriver>(std::move(config));
}

}  // namespace sim
