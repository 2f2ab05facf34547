#include "frontend/commands.h"

#include <map>

#include "gui/tags.h"

namespace {

// Whole decimal numbers in [low, high] only.
bool ReadNumber(const std::string& text, int low, int high, int* value) {
    if (text.empty() || text.size() > 3) return false;
    int n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    *value = n;
    return n >= low && n <= high;
}

const std::map<std::string, uint8_t> kOutputItems = {
    {"dtr", SIGNAL_ITEM_DTR}, {"rts", SIGNAL_ITEM_RTS}, {"tiv", SIGNAL_ITEM_TIV}};

}  // namespace

bool ParseCommand(const std::function<std::string(const char*)>& param, Command* command,
                  std::string* error) {
    const std::string cmd = param("cmd");
    int n = 0, on = 0;
    if (cmd == "reset") {
        *command = {ZVBERT_RESET_STATS, {}};
    } else if (cmd == "stop") {
        *command = {ZVBERT_STOP, {}};
    } else if (cmd == "inject") {
        if (!ReadNumber(param("count"), 1, 255, &n))
            return *error = "count: 1 to 255 bit errors", false;
        *command = {ZVBERT_INJECT_ERRORS, {static_cast<uint8_t>(n)}};
    } else if (cmd == "signal") {
        auto item = kOutputItems.find(param("item"));
        if (item == kOutputItems.end()) return *error = "item: dtr, rts or tiv", false;
        if (!ReadNumber(param("on"), 0, 1, &on)) return *error = "on: 0 or 1", false;
        *command = {ZVBERT_SIGNAL_CHANGE, {item->second, on ? SIGNAL_STATE_ON : SIGNAL_STATE_OFF}};
    } else if (cmd == "poll") {
        if (!ReadNumber(param("slave"), 1, 247, &n)) return *error = "slave: 1 to 247", false;
        if (!ReadNumber(param("on"), 0, 1, &on)) return *error = "on: 0 or 1", false;
        *command = {ZVBERT_MULTIDROP_POLL_SLAVE,
                    {static_cast<uint8_t>(n), static_cast<uint8_t>(on)}};
    } else {
        return *error = "cmd: inject, reset, stop, signal or poll", false;
    }
    return true;
}
