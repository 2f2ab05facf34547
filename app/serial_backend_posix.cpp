#include "app/serial_backend.h"
#include "tty/tty.h"

std::unique_ptr<card::Driver> CreateSerialBackend(const sim::SimConfig& config, std::string*) {
    std::vector<tty::TtyCard> cards;
    for (const sim::CardConfig& card : config.cards)
        cards.push_back({card.description, card.devices});
    return tty::CreateDriver(std::move(cards));
}
