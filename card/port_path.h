// The names a driver backend gives its ports: "<card path><card>/<port>",
// with "+" appended for the port's second handle, the one read without a
// receive ring (card/driver.h says what its reads return). The Windows form
// with a backslash is taken too.
#pragma once

#include <cstdint>
#include <string>

namespace card {

struct PortPath {
    uint32_t card = 0;
    uint32_t port = 0;
    bool plus = false;
};

// False unless path is prefix, a card number, a separator, a port number and
// at most a "+"; numbers have 1 to 4 digits and no sign or leading zero.
bool ParsePortPath(const std::string& path, const std::string& prefix, PortPath* parsed);

}  // namespace card
