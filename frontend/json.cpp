#include "frontend/json.h"

#include <cstdio>

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& value) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += JsonQuote(key);
    out_ += ':';
    out_ += value;
    return *this;
}
