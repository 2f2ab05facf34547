// The delay statistics fed with fixed sequences of card records.
#include "rtd/rtd_stats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/settings.h"
#include "gui/sender.h"
#include "gui/tags.h"

namespace {

// Stands for the front end: keeps every record in order.
class RecordingSender : public GuiSender {
   public:
    struct Record {
        uint16_t tag;
        std::vector<uint8_t> value;
        uint32_t Word(size_t at) const {
            return uint32_t(value[at]) | uint32_t(value[at + 1]) << 8 |
                   uint32_t(value[at + 2]) << 16 | uint32_t(value[at + 3]) << 24;
        }
    };
    bool IsConnected() const override { return true; }
    void SendRecord(uint16_t tag, const uint8_t* value, uint8_t length) override {
        records.push_back({tag, std::vector<uint8_t>(value, value + length)});
    }
    std::vector<Record> Tagged(uint16_t tag) const {
        std::vector<Record> found;
        for (const Record& r : records)
            if (r.tag == tag) found.push_back(r);
        return found;
    }
    std::vector<Record> records;
};

RtdRecordHeader Record(uint32_t timestamp, uint16_t length, uint8_t port) {
    return RtdRecordHeader{timestamp, length, port, 0};
}

class RtdStatsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ForgetRtdStats();
        g_Settings.uClockRate = 64000;
        g_pMessenger = &sender_;
    }
    void TearDown() override {
        g_pMessenger = nullptr;
        ResetSettings();
        ForgetRtdStats();
    }
    // One frame's transmit record and its return, 31 bytes long.
    static void Pair(uint32_t departure, uint32_t arrival, uint16_t length = 31) {
        RtdRecordHeader tx = Record(departure, length, 0x10);
        RtdRecordHeader rx = Record(arrival, length, 0x00);
        UpdateRTDStats(&tx, RTD_KIND_TRANSMIT);
        UpdateRTDStats(&rx, RTD_KIND_RETURNED);
    }
    // The histogram records one output sends, as (delay, count).
    std::vector<std::pair<uint32_t, uint32_t>> OutputHistogram() {
        sender_.records.clear();
        testing::internal::CaptureStdout();
        OutputRTDStats();
        testing::internal::GetCapturedStdout();
        std::vector<std::pair<uint32_t, uint32_t>> sent;
        for (const auto& r : sender_.Tagged(ZVBERT_RTD_HISTOGRAM))
            sent.push_back({r.Word(0), r.Word(4)});
        return sent;
    }
    RecordingSender sender_;
};

struct AdjustCase {
    const char* name;
    uint32_t rate;
    uint16_t length;
    uint32_t departure;
    uint32_t arrival;
    int64_t delay;  // -1: dropped as negative
};

TEST_F(RtdStatsTest, DelayIsTheStampSpanLessTheFramesTimeOnTheLine) {
    const AdjustCase cases[] = {
        {"64k, 31 bytes: 4 ms on the line", 64000, 31, 100, 125, 21},
        {"9600, 31 bytes: 31 ms", 9600, 31, 100, 200, 69},
        {"2 Mbit/s: nothing to take off", 2048000, 31, 100, 120, 20},
        {"rate 0: no time to take off", 0, 31, 100, 125, 25},
        {"span across the clock's wrap", 64000, 31, 0xFFFFFFF0u, 0x10, 28},
        {"span shorter than the line time", 64000, 31, 100, 102, -1},
        {"zero delay is kept", 64000, 31, 100, 104, 0},
    };
    for (const AdjustCase& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetRtdStats();
        g_Settings.uClockRate = c.rate;
        testing::internal::CaptureStdout();
        Pair(c.departure, c.arrival, c.length);
        std::string out = testing::internal::GetCapturedStdout();
        RtdStats st = RtdStatsSnapshot();
        if (c.delay < 0) {
            EXPECT_NE(out.find("UpdateRTDStats, RTD was negative! -2\n"), std::string::npos) << out;
            EXPECT_TRUE(st.histogram.empty());
            EXPECT_EQ(st.dwMinRtd, kRtdNoMinimum);
            EXPECT_EQ(st.dwLastRtd, 0u);
        } else {
            EXPECT_EQ(st.dwLastRtd, uint32_t(c.delay));
            EXPECT_EQ(st.dwMinRtd, uint32_t(c.delay));
            EXPECT_EQ(st.dwMaxRtd, uint32_t(c.delay));
            EXPECT_EQ(st.histogram.at(uint32_t(c.delay)), 1u);
        }
        EXPECT_EQ(st.RTDStart, 0u);  // the pair is used up either way
        EXPECT_EQ(st.RTDEnd, 0u);
    }
}

TEST_F(RtdStatsTest, HalfPairsGiveNoDelayAndALossDiscardsThem) {
    RtdRecordHeader tx = Record(100, 31, 0x10);
    RtdRecordHeader rx = Record(150, 31, 0x00);
    testing::internal::CaptureStdout();
    UpdateRTDStats(&tx, RTD_KIND_TRANSMIT);
    EXPECT_TRUE(RtdStatsSnapshot().histogram.empty());
    UpdateRTDStats(nullptr, RTD_KIND_LOST);
    UpdateRTDStats(&rx, RTD_KIND_RETURNED);  // alone after the loss
    testing::internal::GetCapturedStdout();
    RtdStats st = RtdStatsSnapshot();
    EXPECT_TRUE(st.histogram.empty());
    EXPECT_EQ(st.RTDStart, 0u);
    EXPECT_EQ(st.RTDEnd, 150u);
}

TEST_F(RtdStatsTest, TrendIsValidOnlyAfterTenDelaysSinceTheReset) {
    testing::internal::CaptureStdout();
    for (uint32_t i = 0; i < 10; ++i) Pair(1000 * i + 100, 1000 * i + 100 + 4 + 10 + i);  // 10..19
    RtdStats st = RtdStatsSnapshot();
    EXPECT_TRUE(st.bTrendValid);
    EXPECT_EQ(st.TrendTime, 145u);
    ResetRtdStats();
    for (uint32_t i = 0; i < 3; ++i) Pair(50000 + 1000 * i, 50000 + 1000 * i + 4 + 30);  // 30 x 3
    testing::internal::GetCapturedStdout();
    st = RtdStatsSnapshot();
    EXPECT_FALSE(st.bTrendValid);
    // Slots 0..2 hold the new delays, 3..9 still the old 13..19.
    EXPECT_EQ(st.TrendTime, 90u + 13 + 14 + 15 + 16 + 17 + 18 + 19);
    EXPECT_EQ(st.dwMinRtd, 30u);  // minimum and maximum start over
    EXPECT_EQ(st.dwMaxRtd, 30u);

    OutputHistogram();
    EXPECT_TRUE(sender_.Tagged(ZVBERT_RTD_TREND).empty());
    testing::internal::CaptureStdout();
    for (uint32_t i = 3; i < 10; ++i) Pair(60000 + 1000 * i, 60000 + 1000 * i + 4 + 30);
    testing::internal::GetCapturedStdout();
    OutputHistogram();
    auto trend = sender_.Tagged(ZVBERT_RTD_TREND);
    ASSERT_EQ(trend.size(), 1u);
    EXPECT_EQ(trend[0].Word(0), 300u);
}

TEST_F(RtdStatsTest, HistogramEntriesAreSentAgainOnlyWhenTheirCountChanged) {
    testing::internal::CaptureStdout();
    Pair(100, 124);  // 20
    Pair(200, 224);  // 20
    Pair(300, 325);  // 21
    testing::internal::GetCapturedStdout();
    using Sent = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(OutputHistogram(), (Sent{{20, 2}, {21, 1}}));
    EXPECT_EQ(OutputHistogram(), Sent{});
    testing::internal::CaptureStdout();
    Pair(400, 425);  // 21
    Pair(500, 523);  // 19
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(OutputHistogram(), (Sent{{19, 1}, {21, 2}}));
    // A reset empties both maps: the same delay is news again.
    testing::internal::CaptureStdout();
    ResetRtdStats();
    Pair(600, 624);  // 20
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(OutputHistogram(), (Sent{{20, 1}}));
}

TEST_F(RtdStatsTest, OutputSendsTheFiguresAndPrintsTheSummary) {
    CountRtdSent();
    CountRtdSent();
    CountRtdReturned();
    CountRtdLost();
    CountRtdLate();
    testing::internal::CaptureStdout();
    OutputRTDStats();
    std::string empty = testing::internal::GetCapturedStdout();
    EXPECT_NE(empty.find("tx 2, rx 1, lost 1, late 1, last 0, min 0, max 0, trend 0.000\n"),
              std::string::npos)
        << empty;
    sender_.records.clear();
    testing::internal::CaptureStdout();
    Pair(100, 130);  // 26: the trend is the mean of the one delay there is
    OutputRTDStats();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("tx 2, rx 1, lost 1, late 1, last 26, min 26, max 26, trend 26.000\n"),
              std::string::npos)
        << out;
    std::vector<uint16_t> tags;
    for (const auto& r : sender_.records) tags.push_back(r.tag);
    EXPECT_EQ(tags, (std::vector<uint16_t>{ZVBERT_RTD_HISTOGRAM, ZVBERT_RTD_LAST, ZVBERT_RTD_RX,
                                           ZVBERT_RTD_LOST, ZVBERT_RTD_TX, ZVBERT_RTD_LATE,
                                           ZVBERT_RTD_MIN, ZVBERT_RTD_MAX, ZVBERT_ELAPSED_USECS}));
    EXPECT_EQ(sender_.Tagged(ZVBERT_RTD_LAST)[0].Word(0), 26u);
    EXPECT_EQ(sender_.Tagged(ZVBERT_RTD_MIN)[0].Word(0), 26u);
    EXPECT_EQ(sender_.Tagged(ZVBERT_RTD_MAX)[0].Word(0), 26u);
    // The late count survives a reset; the others start over.
    ResetRtdStats();
    RtdStats st = RtdStatsSnapshot();
    EXPECT_EQ(st.i64TxPackets, 0);
    EXPECT_EQ(st.i64LatePackets, 1);
    EXPECT_EQ(seqNo.load(), 1);
}

}  // namespace
