#include "card/port_path.h"

namespace card {
namespace {

// Advances pos past the digits.
bool ParseIndex(const std::string& text, size_t* pos, uint32_t* value) {
    size_t start = *pos;
    size_t end = start;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    size_t digits = end - start;
    if (digits == 0 || digits > 4 || (digits > 1 && text[start] == '0')) return false;
    *value = uint32_t(std::stoul(text.substr(start, digits)));
    *pos = end;
    return true;
}

}  // namespace

bool ParsePortPath(const std::string& path, const std::string& prefix, PortPath* parsed) {
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    size_t pos = prefix.size();
    if (!ParseIndex(path, &pos, &parsed->card)) return false;
    if (pos >= path.size() || (path[pos] != '/' && path[pos] != '\\')) return false;
    ++pos;
    if (!ParseIndex(path, &pos, &parsed->port)) return false;
    if (pos < path.size() && path[pos] == '+') {
        parsed->plus = true;
        ++pos;
    }
    return pos == path.size();
}

}  // namespace card
