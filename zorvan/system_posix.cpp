#include "zorvan/zorvan.h"

namespace zorvan {

bool CardPresent(const std::string&) { return false; }

std::unique_ptr<card::Driver> CreateSystemDriver(const std::string&, std::string* error) {
    if (error) *error = "the card's own driver (backend = \"zorvan\") runs on Windows only";
    return nullptr;
}

}  // namespace zorvan
