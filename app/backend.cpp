#include "app/backend.h"

#include "app/serial_backend.h"
#include "platform/environment.h"
#include "sim/sim.h"
#include "zorvan/zorvan.h"

namespace {

bool ConfigurationNamed() {
    char value[8];
    return platform::GetEnvironment(sim::kConfigVariable, value, sizeof value) ||
           platform::GetEnvironment(sim::kOldConfigVariable, value, sizeof value);
}

std::unique_ptr<card::Driver> CreateZorvanBackend(const sim::SimConfig& config,
                                                  std::string* error) {
    std::string guid = config.cards[0].interfaceGuid;
    if (guid.empty()) guid = zorvan::kDefaultInterfaceGuid;
    return zorvan::CreateSystemDriver(guid, error);
}

}  // namespace

std::unique_ptr<card::Driver> CreateBackendFromEnvironment(std::string* error) {
    // A card of the real driver in the system wins over the simulated
    // default; a configuration file always says which it is.
    if (!ConfigurationNamed() && zorvan::CardPresent(zorvan::kDefaultInterfaceGuid))
        return zorvan::CreateSystemDriver(zorvan::kDefaultInterfaceGuid, error);
    sim::SimConfig config;
    if (!sim::LoadConfigFromEnvironment(&config, error)) return nullptr;
    if (sim::UsesZorvanBackend(config)) return CreateZorvanBackend(config, error);
    if (!sim::UsesTtyBackend(config)) return sim::CreateDriver(std::move(config));
    return CreateSerialBackend(config, error);
}
