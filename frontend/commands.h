// The page's steering requests, turned into messages to the program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Command {
    uint32_t uTag = 0;
    std::vector<uint8_t> value;
};

// param(name) gives a request parameter, empty when absent. False, with a
// message for the user, for a request that makes no sense:
//   cmd=inject&count=1..255   cmd=reset   cmd=stop
//   cmd=signal&item=dtr|rts|tiv&on=0|1   cmd=poll&slave=1..247&on=0|1
bool ParseCommand(const std::function<std::string(const char*)>& param, Command* command,
                  std::string* error);
