#include "sim/sim.h"

#include "platform/environment.h"
#include "sim/driver.h"
#include "sim/line_control.h"

namespace sim {

bool LoadConfigFromEnvironment(SimConfig* config, std::string* error) {
    char path[4096];
    *config = DefaultConfig();
    if (platform::GetEnvironment(kConfigVariable, path, sizeof path) ||
        platform::GetEnvironment(kOldConfigVariable, path, sizeof path)) {
        std::string problem;
        if (!LoadConfigFile(path, config, &problem)) {
            if (error) *error = problem;
            return false;
        }
    }
    char control[4096];
    if (platform::GetEnvironment(kControlVariable, control, sizeof control) && control[0] != '\0')
        config->controlFile = control;
    return true;
}

std::unique_ptr<card::Driver> CreateDriver(SimConfig config) {
    return std::make_unique<SimDriver>(std::move(config));
}

std::unique_ptr<card::Driver> CreateDriverFromEnvironment(std::string* error) {
    SimConfig config;
    if (!LoadConfigFromEnvironment(&config, error)) return nullptr;
    return CreateDriver(std::move(config));
}

}  // namespace sim
