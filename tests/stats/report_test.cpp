#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gui/sender.h"
#include "gui/tags.h"
#include "log/log.h"
#include "stats_fixture.h"

namespace {

// Stands for the front end: keeps the last value sent per tag.
class RecordingSender : public GuiSender {
   public:
    bool IsConnected() const override { return true; }
    void SendRecord(uint16_t tag, const uint8_t* value, uint8_t length) override {
        uint64_t v = 0;
        for (uint8_t i = 0; i < length && i < 8; ++i)
            v |= static_cast<uint64_t>(value[i]) << (8 * i);
        values[tag] = static_cast<int64_t>(v);
    }
    std::map<uint16_t, int64_t> values;
};

class ReportTest : public StatsTest {
   protected:
    void SetUp() override {
        StatsTest::SetUp();
        setenv("ZVBERTLOGPATH", testing::TempDir().c_str(), 1);
        ResetLogPaths();
        g_pMessenger = &sender_;
    }
    void TearDown() override {
        g_pMessenger = nullptr;
        ResetLogPaths();
        StatsTest::TearDown();
    }

    static std::vector<std::string> Capture(const std::function<void()>& action) {
        testing::internal::CaptureStdout();
        action();
        std::istringstream text(testing::internal::GetCapturedStdout());
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }
    static std::vector<std::string> Report(int64_t now, bool isFinal = false,
                                           const CardBertRecord* record = nullptr) {
        return Capture([&] { OutputStats(now, isFinal, record, false); });
    }
    // The line of a report that starts with prefix, or "" when none does.
    static std::string LineStarting(const std::vector<std::string>& lines,
                                    const std::string& prefix) {
        for (const std::string& line : lines)
            if (line.rfind(prefix, 0) == 0) return line;
        return "";
    }
    // The duration line starts with the local time, which only has to look like one.
    static void ExpectDuration(const std::vector<std::string>& lines, const std::string& seconds) {
        ASSERT_FALSE(lines.empty());
        const std::string& line = lines[0];
        const std::string suffix = " Duration(s)=" + seconds;
        ASSERT_GT(line.size(), suffix.size()) << line;
        EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix);
        EXPECT_TRUE(std::regex_match(line.substr(0, line.size() - suffix.size()),
                                     std::regex(R"(\d{2} \S+ \d{4} \d{2}:\d{2}:\d{2})")))
            << line;
    }

    RecordingSender sender_;
};

TEST_F(ReportTest, FullSoftwareReportText) {
    StartInSync();
    BertStats& s = g_BertStats;
    s.i64TxBitCount = 44000;
    s.i64RxBitCount = 45000;
    s.i64SRxBitCount = 40000;
    s.i64SRxBlockCount = 19;
    s.i64SBitErrorCount = 4;
    s.i64SBlockErrorCount = 3;
    s.i64ErroredSecCount = 1;
    s.i64LastEvalSecs = 3;
    s.i64ErrorInSampleCount = 2;
    s.i64SErrorInSampleCount = 1;
    s.i64LosCount = 1;
    s.i64SyncCount = 1;
    s.i64LosUsecs = 900 * kMs;

    const std::vector<std::string> lines = Report(kT0 + 4500 * kMs);

    // 4.5 s: one new whole second, errored and severely errored: it is
    // booked once, as severely errored.
    ASSERT_EQ(lines.size(), 6u);
    ExpectDuration(lines, "4.500");
    EXPECT_EQ(lines[1], "TxCount=44000 RxCount=40000 BlockCount=19 Rate=10000");
    EXPECT_EQ(lines[2], "BitErr=4 BlockErr=3 ES(US)=1 SES=1 AS=2 es=0 ses=0");
    EXPECT_EQ(lines[3], "BER=0.01 ESR=25.00 SESR=25.00 ASR=50.00");
    EXPECT_EQ(lines[4], "->LOS=1 ->SYNC=1 LOSR=20.00");
    EXPECT_EQ(lines[5], "");

    const std::map<uint16_t, int64_t> expected = {{ZVBERT_ELAPSED_USECS, 4500000},
                                                  {ZVBERT_RATE, 10000},
                                                  {ZVBERT_RX_BITS, 40000},
                                                  {ZVBERT_RX_BLOCKS, 19},
                                                  {ZVBERT_BIT_ERRORS, 4},
                                                  {ZVBERT_BLOCK_ERRORS, 3},
                                                  {ZVBERT_ES, 1},
                                                  {ZVBERT_SES, 1},
                                                  {ZVBERT_AS, 2},
                                                  {ZVBERT_LOS_COUNT, 1},
                                                  {ZVBERT_SYNC_COUNT, 1},
                                                  {ZVBERT_LOS_USECS, 900000},
                                                  {ZVBERT_TX_BITS, 44000},
                                                  {ZVBERT_ERRORED_SAMPLES, 0},
                                                  {ZVBERT_SEVERELY_ERRORED_SAMPLES, 0}};
    EXPECT_EQ(sender_.values, expected);
}

TEST_F(ReportTest, ErrorCountsReachFrontEndOnlyAfterFirstSync) {
    g_BertStats.i64SBitErrorCount = 5;
    g_BertStats.i64SErrorInSampleCount = 4;
    const std::vector<std::string> lines = Report(kT0 + 2 * kSec);
    EXPECT_EQ(LineStarting(lines, "BitErr="), "BitErr=5 BlockErr=0 ES(US)=0 SES=2 AS=0 es=0 ses=0");
    EXPECT_EQ(sender_.values.count(ZVBERT_ELAPSED_USECS), 1u);
    EXPECT_EQ(sender_.values.count(ZVBERT_LOS_USECS), 1u);
    for (uint16_t tag : {ZVBERT_BIT_ERRORS, ZVBERT_BLOCK_ERRORS, ZVBERT_ES, ZVBERT_SES, ZVBERT_AS,
                         ZVBERT_ERRORED_SAMPLES, ZVBERT_SEVERELY_ERRORED_SAMPLES})
        EXPECT_EQ(sender_.values.count(tag), 0u) << tag;
}

TEST_F(ReportTest, RatiosAppearOnlyPastOneSecond) {
    StartInSync();
    EXPECT_EQ(LineStarting(Report(kT0 + kSec), "BER="), "BER=0.00 ");
    ResetReportState();
    EXPECT_EQ(LineStarting(Report(kT0 + kSec + 1), "BER="),
              "BER=0.00 ESR=0.00 SESR=0.00 ASR=100.00");
    ResetReportState();
    EXPECT_TRUE(Report(kT0).empty());  // no duration yet
}

TEST_F(ReportTest, OneReportPer500Ms) {
    StartInSync();
    ExpectDuration(Report(kT0 + kSec), "1.000");
    EXPECT_TRUE(Report(kT0 + 1300 * kMs).empty());
    ExpectDuration(Report(kT0 + 1500 * kMs), "1.500");
}

// The closing report covers the whole test, not just up to the last
// periodic report: its rate and duration agree with the counts at the end.
TEST_F(ReportTest, FinalReportRunsToTheEnd) {
    StartInSync();
    g_Settings.bDataLogging = true;
    g_BertStats.i64RxBitCount = 25000;
    EXPECT_EQ(LineStarting(Report(kT0 + 2500 * kMs), "TxCount="),
              "TxCount=0 RxCount=0 BlockCount=0 Rate=10000");
    g_BertStats.i64RxBitCount = 30000;
    g_BertStats.i64SRxBitCount = 29000;
    const std::vector<std::string> lines = Report(kT0 + 2900 * kMs, true);
    ASSERT_EQ(lines.size(), 6u);
    ExpectDuration(lines, "2.900");
    EXPECT_EQ(lines[1], "TxCount=0 RxCount=29000 BlockCount=0 Rate=10344");

    g_Settings.bDataLogging = false;
    EXPECT_TRUE(Report(kT0 + 3 * kSec, true).empty());
}

TEST_F(ReportTest, FinalReportAfterResetMeasuresFromReset) {
    StartInSync();
    g_Settings.bDataLogging = true;
    ExpectDuration(Report(kT0 + 5 * kSec), "5.000");
    ResetSingleLinkStats(kT0 + 6 * kSec);
    ExpectDuration(Report(kT0 + 7 * kSec, true), "1.000");
}

TEST_F(ReportTest, LosrGrowsWhileOutOfSync) {
    g_bFirstSyncPending = false;
    g_BertStats.i64LosStartTicks = kT0 + 2 * kSec;
    EXPECT_EQ(LineStarting(Report(kT0 + 3 * kSec), "->LOS="), "->LOS=0 ->SYNC=0 LOSR=33.33");
    EXPECT_EQ(LineStarting(Report(kT0 + 4 * kSec), "->LOS="), "->LOS=0 ->SYNC=0 LOSR=50.00");
    EXPECT_EQ(sender_.values[ZVBERT_LOS_USECS], 2 * kSec);
}

TEST_F(ReportTest, CardAvailableSecondsCountOnceEach) {
    StartInSync();
    g_Settings.bDataLogging = true;
    CardBertRecord record;
    record.msecs = 1000;
    record.as = 1;
    EXPECT_EQ(LineStarting(Report(kT0 + kSec, false, &record), "BitErr="),
              "BitErr=0 BlockErr=0 ES(US)=0 SES=0 AS=1 es=0 ses=0");
    EXPECT_TRUE(Report(kT0 + 1100 * kMs, false, &record).empty());  // still counted
    std::vector<std::string> lines = Report(kT0 + 1600 * kMs, false, &record);
    ExpectDuration(lines, "3.000");
    EXPECT_EQ(LineStarting(lines, "BitErr="), "BitErr=0 BlockErr=0 ES(US)=0 SES=0 AS=3 es=0 ses=0");
    // The closing report gets the last record again and must not add it.
    lines = Report(kT0 + 1700 * kMs, true, &record);
    ExpectDuration(lines, "3.000");
    EXPECT_EQ(LineStarting(lines, "BitErr="), "BitErr=0 BlockErr=0 ES(US)=0 SES=0 AS=3 es=0 ses=0");
    // Nor after a reset, when the record belongs to the time before it.
    OutputStats(kT0 + 1800 * kMs, false, &record, true);
    EXPECT_TRUE(Report(kT0 + 1900 * kMs, true, &record).empty());
}

TEST_F(ReportTest, CardRecordsWithoutReportStillCount) {
    CardBertRecord outOfSync;
    outOfSync.bertStatus = kBertStatusNotInSync;
    outOfSync.msecs = 2000;
    outOfSync.as = 1;
    EXPECT_TRUE(Capture([&] { ReportAfterSample(kT0 + kSec, &outOfSync); }).empty());
    EXPECT_EQ(g_i64PendingCardMsecs, 2000);

    StartInSync();
    CardBertRecord inSync;
    inSync.msecs = 1000;
    std::vector<std::string> lines = Capture([&] { ReportAfterSample(kT0 + 2 * kSec, &inSync); });
    ExpectDuration(lines, "3.000");
    EXPECT_EQ(LineStarting(lines, "BitErr="), "BitErr=0 BlockErr=0 ES(US)=0 SES=0 AS=1 es=0 ses=0");
    EXPECT_EQ(g_i64PendingCardMsecs, 0);

    // A reset drops the card time still pending from before it.
    g_bInSync = false;
    ReportAfterSample(kT0 + 2100 * kMs, &outOfSync);
    OutputStats(kT0 + 2100 * kMs, false, &outOfSync, true);
    g_bInSync = true;
    lines = Capture([&] { ReportAfterSample(kT0 + 3 * kSec, &inSync); });
    ExpectDuration(lines, "1.000");
    EXPECT_EQ(LineStarting(lines, "BitErr="), "BitErr=0 BlockErr=0 ES(US)=0 SES=0 AS=0 es=0 ses=0");
}

TEST_F(ReportTest, ReportAfterSampleFollowsRequestsAndState) {
    // Out of sync and no front end: nothing, until s is pressed.
    EXPECT_TRUE(Capture([&] { ReportAfterSample(kT0 + kSec, nullptr); }).empty());
    g_bShowStatsNow = true;
    EXPECT_EQ(Capture([&] { ReportAfterSample(kT0 + kSec, nullptr); }).size(), 6u);
    EXPECT_FALSE(g_bShowStatsNow);

    // The front end sees reports even out of sync, but not before a reset.
    g_Settings.bGuiLink = true;
    g_bResetStatsPending = true;
    EXPECT_TRUE(Capture([&] { ReportAfterSample(kT0 + 2 * kSec, nullptr); }).empty());
    g_bResetStatsPending = false;
    EXPECT_EQ(Capture([&] { ReportAfterSample(kT0 + 2 * kSec, nullptr); }).size(), 6u);
}

}  // namespace
