#include "app/backend.h"

#include "sim/sim.h"
#include "tty/tty.h"

std::unique_ptr<card::Driver> CreateBackendFromEnvironment(std::string* error) {
    sim::SimConfig config;
    if (!sim::LoadConfigFromEnvironment(&config, error)) return nullptr;
    if (!sim::UsesTtyBackend(config)) return sim::CreateDriver(std::move(config));
    std::vector<tty::TtyCard> cards;
    for (const sim::CardConfig& card : config.cards)
        cards.push_back({card.description, card.devices});
    return tty::CreateDriver(std::move(cards));
}
