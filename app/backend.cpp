#include "app/backend.h"

#include "app/serial_backend.h"
#include "platform/environment.h"
#include "sim/sim.h"
#include "zorvan/zorvan.h"

namespace {

// The configuration file's name; empty when none is named.
std::string ConfigurationNamed() {
    char value[1024];
    if (platform::GetEnvironment(sim::kConfigVariable, value, sizeof value) ||
        platform::GetEnvironment(sim::kOldConfigVariable, value, sizeof value))
        return value;
    return "";
}

// Its problems are the file's, and say so as the file's other problems do.
std::unique_ptr<card::Driver> CreateZorvanBackend(const sim::SimConfig& config,
                                                  std::string* error) {
    std::string guid = config.cards[0].interfaceGuid;
    if (guid.empty()) guid = zorvan::kDefaultInterfaceGuid;
    std::string problem;
    std::unique_ptr<card::Driver> driver = zorvan::CreateSystemDriver(guid, &problem);
    if (driver == nullptr && error) *error = ConfigurationNamed() + ": " + problem;
    return driver;
}

}  // namespace

std::unique_ptr<card::Driver> CreateBackendFromEnvironment(std::string* error) {
    // A card of the real driver in the system wins over the simulated
    // default; a configuration file always says which it is.
    if (ConfigurationNamed().empty() && zorvan::CardPresent(zorvan::kDefaultInterfaceGuid))
        return zorvan::CreateSystemDriver(zorvan::kDefaultInterfaceGuid, error);
    sim::SimConfig config;
    if (!sim::LoadConfigFromEnvironment(&config, error)) return nullptr;
    if (sim::UsesZorvanBackend(config)) return CreateZorvanBackend(config, error);
    if (!sim::UsesTtyBackend(config)) return sim::CreateDriver(std::move(config));
    return CreateSerialBackend(config, error);
}
