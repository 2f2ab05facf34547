// What one end of a shared line takes from the other: every field is checked
// before it is used, since the far end is another process.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sim/line_messages.h"
#include "sim/records.h"

namespace {

constexpr int64_t kNow = 5'000'000'000'000;  // an hour and a half of uptime

std::vector<uint8_t> DataMessage(int64_t startNs, int64_t endNs, size_t length = 4) {
    sim::LineChunk chunk;
    chunk.data.assign(length, 0x5A);
    chunk.startNs = startNs;
    chunk.endNs = endNs;
    std::vector<uint8_t> out;
    sim::AppendDataMessage(out, chunk);
    return out;
}

TEST(SimLineMessages, EveryFieldIsCheckedAgainstWhatALineCarries) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::function<void(std::vector<uint8_t>&)> spoil;
        sim::LineParse expected;
    };
    const auto good = DataMessage(kNow - 1000, kNow);
    const std::vector<Case> cases = {
        {"a chunk sent just now", good, nullptr, sim::LineParse::kMessage},
        {"a header not yet whole", good, [](auto& b) { b.resize(10); },
         sim::LineParse::kIncomplete},
        {"data not yet whole", good, [](auto& b) { b.pop_back(); }, sim::LineParse::kIncomplete},
        {"end time near the 64-bit end", DataMessage(kNow, INT64_MAX - 5), nullptr,
         sim::LineParse::kBad},
        {"start time before the clock began", DataMessage(INT64_MIN, kNow), nullptr,
         sim::LineParse::kBad},
        {"last bit before the first", DataMessage(kNow, kNow - 1000), nullptr,
         sim::LineParse::kBad},
        {"no data", DataMessage(kNow, kNow, 0), nullptr, sim::LineParse::kBad},
        {"length beyond a message", good, [](auto& b) { b[7] = 0x7F; }, sim::LineParse::kBad},
        {"unknown kind", good, [](auto& b) { b[0] = 9; }, sim::LineParse::kBad},
        {"unknown data flag", good, [](auto& b) { b[1] |= 0x40; }, sim::LineParse::kBad},
        {"no data bits", good, [](auto& b) { b[3] = 0; }, sim::LineParse::kBad},
        {"more data bits than a byte", good, [](auto& b) { b[3] = 9; }, sim::LineParse::kBad},
        {"fewer line bits than data bits", good, [](auto& b) { b[2] = 7; }, sim::LineParse::kBad},
        {"a character of 200 bits", good, [](auto& b) { b[2] = 200; }, sim::LineParse::kBad},
        {"signals with data", good, [](auto& b) { b[0] = 2; }, sim::LineParse::kBad},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.bytes;
        if (c.spoil) c.spoil(bytes);
        sim::LineMessage message;
        size_t used = 0;
        const char* why = nullptr;
        const auto parse =
            sim::ParseLineMessage(bytes.data(), bytes.size(), kNow, &message, &used, &why);
        EXPECT_EQ(parse, c.expected) << c.name;
        EXPECT_EQ(why != nullptr, c.expected == sim::LineParse::kBad) << c.name;
        if (parse == sim::LineParse::kMessage) {
            EXPECT_EQ(used, bytes.size()) << c.name;
            EXPECT_EQ(message.chunk.data, std::vector<uint8_t>(4, 0x5A)) << c.name;
            EXPECT_EQ(message.chunk.endNs, kNow) << c.name;
        }
    }
}

TEST(SimLineMessages, SignalsAndTurnedAwayRoundTrip) {
    std::vector<uint8_t> bytes;
    sim::AppendSignalsMessage(bytes, sim::kV24Dtr, true);
    sim::AppendTurnedAwayMessage(bytes);
    sim::LineMessage message;
    size_t used = 0;
    const char* why = nullptr;
    ASSERT_EQ(sim::ParseLineMessage(bytes.data(), bytes.size(), kNow, &message, &used, &why),
              sim::LineParse::kMessage);
    EXPECT_EQ(message.kind, sim::LineMessageKind::kSignals);
    EXPECT_EQ(message.v24, sim::kV24Dtr);
    EXPECT_TRUE(message.clockRunning);
    ASSERT_EQ(sim::ParseLineMessage(bytes.data() + used, bytes.size() - used, kNow, &message, &used,
                                    &why),
              sim::LineParse::kMessage);
    EXPECT_EQ(message.kind, sim::LineMessageKind::kTurnedAway);
}

}  // namespace
