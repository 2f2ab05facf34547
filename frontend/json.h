// Just enough JSON writing for the front end's feed and results.
#pragma once

#include <cstdint>
#include <string>

std::string JsonQuote(const std::string& text);

// [item, item...] with each item written by write(item) as JSON.
template <class Items, class Write>
std::string JsonArray(const Items& items, Write write, const char* separator = ",") {
    std::string out = "[";
    for (const auto& item : items) out += (out.size() > 1 ? separator : "") + write(item);
    return out + "]";
}

// Appends one object to out: Key(...) pairs, then End().
class JsonObject {
   public:
    explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
    // value is already JSON (a number, an array, an object, null...).
    JsonObject& Raw(const std::string& key, const std::string& value);
    JsonObject& Text(const std::string& key, const std::string& value) {
        return Raw(key, JsonQuote(value));
    }
    JsonObject& Int(const std::string& key, int64_t value) {
        return Raw(key, std::to_string(value));
    }
    // -1 stands for "not known yet": null.
    JsonObject& Known(const std::string& key, int value) {
        return Raw(key, value < 0 ? "null" : std::to_string(value));
    }
    void End() { out_ += '}'; }

   private:
    std::string& out_;
    bool first_ = true;
};
