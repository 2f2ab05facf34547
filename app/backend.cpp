#include "app/backend.h"

#include "app/serial_backend.h"
#include "sim/sim.h"

std::unique_ptr<card::Driver> CreateBackendFromEnvironment(std::string* error) {
    sim::SimConfig config;
    if (!sim::LoadConfigFromEnvironment(&config, error)) return nullptr;
    if (!sim::UsesTtyBackend(config)) return sim::CreateDriver(std::move(config));
    return CreateSerialBackend(config, error);
}
