// The front end's picture of a run: which records make a report row in each
// kind of test, the figures derived as the console prints them, the CSV,
// and the live feed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/run_model.h"
#include "gui/tags.h"

namespace {

TlvRecord Rec(uint16_t tag, std::vector<uint8_t> value) {
    uint8_t bytes[kTlvRecordSize];
    EncodeTlv(tag, value.data(), static_cast<uint32_t>(value.size()), bytes);
    return DecodeTlv(bytes);
}

TlvRecord U64(uint16_t tag, uint64_t v) {
    std::vector<uint8_t> value;
    for (int i = 0; i < 8; ++i) value.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return Rec(tag, value);
}

TlvRecord U32(uint16_t tag, uint32_t v, std::vector<uint8_t> more = {}) {
    std::vector<uint8_t> value;
    for (int i = 0; i < 4; ++i) value.push_back(static_cast<uint8_t>(v >> (8 * i)));
    value.insert(value.end(), more.begin(), more.end());
    return Rec(tag, value);
}

TlvRecord Slave(uint16_t tag, uint8_t id, uint64_t v) {
    std::vector<uint8_t> value = {id};
    for (int i = 0; i < 8; ++i) value.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return Rec(tag, value);
}

// One software-mode report as the program sends it, sync count last.
std::vector<TlvRecord> Report(int64_t usecs, int64_t bits, int64_t blocks, int64_t errors,
                              int64_t es) {
    return {U64(ZVBERT_ELAPSED_USECS, usecs), U64(ZVBERT_RX_BITS, bits),
            U64(ZVBERT_RX_BLOCKS, blocks),    U64(ZVBERT_RATE, 64000),
            U64(ZVBERT_BIT_ERRORS, errors),   U64(ZVBERT_BLOCK_ERRORS, errors),
            U64(ZVBERT_ES, es),               U64(ZVBERT_SES, 0),
            U64(ZVBERT_AS, 1),                U64(ZVBERT_LOS_USECS, 250000),
            U64(ZVBERT_LOS_COUNT, 1),         U64(ZVBERT_SYNC_COUNT, 1)};
}

void Feed(RunModel& model, const std::vector<TlvRecord>& records) {
    for (const TlvRecord& r : records) model.Apply(r);
}

TEST(RunModel, EachKindOfTestClosesItsReportsOnItsOwnLastRecord) {
    struct Case {
        const char* name;
        std::vector<TlvRecord> records;
        size_t rows;
    };
    const std::vector<Case> cases = {
        {"a report", Report(540000, 34560, 16, 0, 0), 1},
        {"the test time alone, before the first sync", {U64(ZVBERT_ELAPSED_USECS, 5000)}, 0},
        {"a delay report ends with its test time",
         {U32(ZVBERT_RTD_HISTOGRAM, 20, {3, 0, 0, 0}), U32(ZVBERT_RTD_LAST, 21),
          U64(ZVBERT_RTD_RX, 3), U64(ZVBERT_RTD_LOST, 0), U64(ZVBERT_ELAPSED_USECS, 500000)},
         1},
        {"slave 0 opens the next multi-drop report: one row per slave",
         {Slave(ZVBERT_SLAVE_ELAPSED_USECS, 0, 500000), Slave(ZVBERT_SLAVE_RX_BITS, 1, 800),
          Slave(ZVBERT_SLAVE_RX_BITS, 2, 900), Slave(ZVBERT_SLAVE_ELAPSED_USECS, 0, 1000000)},
         2},
        {"the end closes the last multi-drop report",
         {Slave(ZVBERT_SLAVE_ELAPSED_USECS, 0, 500000), Slave(ZVBERT_SLAVE_RX_BITS, 1, 800),
          U32(ZVBERT_EXIT_STATUS, 0)},
         1},
    };
    for (const Case& c : cases) {
        RunModel model;
        Feed(model, c.records);
        EXPECT_EQ(model.Rows().size(), c.rows) << c.name;
    }
}

TEST(RunModel, FiguresAreDerivedAsTheConsolePrintsThem) {
    RunModel model;
    Feed(model, Report(2091000, 133800, 65, 158, 2));
    const std::string json = model.ResultsJson();
    // BER=%.2f of a float, ESR over whole seconds, LOSR of the loss time.
    for (const char* field : {"\"berPercent\":0.12,", "\"ber\":1.181e-03,", "\"esrPercent\":100.00,",
                              "\"asrPercent\":50.00,", "\"losrPercent\":11.96", "\"bitErrors\":158,"})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
    // No ratio before a whole block, none of the seconds before one second.
    RunModel early;
    Feed(early, Report(900000, 1000, 0, 5, 0));
    const std::string first = early.ResultsJson();
    EXPECT_NE(first.find("\"berPercent\":0.00,"), std::string::npos) << first;
    EXPECT_EQ(first.find("esrPercent"), std::string::npos) << first;
}

}  // namespace
