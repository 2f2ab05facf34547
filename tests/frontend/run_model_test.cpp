// The front end's picture of a run: which records make a report row in each
// kind of test, the figures derived as the console prints them, the CSV,
// and the live feed.
#include "frontend/run_model.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gui/tags.h"
#include "tests/e2e_support/e2e_support.h"

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
    return {U64(ZVBERT_ELAPSED_USECS, usecs),
            U64(ZVBERT_RX_BITS, bits),
            U64(ZVBERT_RX_BLOCKS, blocks),
            U64(ZVBERT_RATE, 64000),
            U64(ZVBERT_BIT_ERRORS, errors),
            U64(ZVBERT_BLOCK_ERRORS, errors),
            U64(ZVBERT_ES, es),
            U64(ZVBERT_SES, 0),
            U64(ZVBERT_AS, 1),
            U64(ZVBERT_LOS_USECS, 250000),
            U64(ZVBERT_LOS_COUNT, 1),
            U64(ZVBERT_SYNC_COUNT, 1)};
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
        EXPECT_EQ(model.ReportCount(), c.rows) << c.name;
    }
}

TEST(RunModel, FiguresAreDerivedAsTheConsolePrintsThem) {
    RunModel model;
    Feed(model, Report(2091000, 133800, 65, 158, 2));
    const std::string json = model.ResultsJson();
    // BER=%.2f of a float, ESR over whole seconds, LOSR of the loss time.
    for (const char* field :
         {"\"berPercent\":0.12,", "\"ber\":1.181e-03,", "\"esrPercent\":100.00,",
          "\"asrPercent\":50.00,", "\"losrPercent\":11.96", "\"bitErrors\":158,"})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
    // No ratio before a whole block, none of the seconds before one second.
    RunModel early;
    Feed(early, Report(900000, 1000, 0, 5, 0));
    const std::string first = early.ResultsJson();
    EXPECT_NE(first.find("\"berPercent\":0.00,"), std::string::npos) << first;
    EXPECT_EQ(first.find("esrPercent"), std::string::npos) << first;
    // A slave's ratio is over what arrived in sync, however short of a block.
    RunModel master;
    Feed(master, {Slave(ZVBERT_SLAVE_ELAPSED_USECS, 0, 500000), Slave(ZVBERT_SLAVE_RX_BITS, 1, 640),
                  Slave(ZVBERT_SLAVE_RX_BLOCKS, 1, 0), Slave(ZVBERT_SLAVE_BIT_ERRORS, 1, 1),
                  U32(ZVBERT_EXIT_STATUS, 0)});
    const std::string slave = master.ResultsJson();
    EXPECT_NE(slave.find("\"berPercent\":0.16,"), std::string::npos) << slave;
}

std::vector<TlvRecord> Plus(std::vector<TlvRecord> a, const std::vector<TlvRecord>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TlvRecord Byte(uint16_t tag, uint8_t b) { return Rec(tag, {b}); }

// A report of a line that never lost sync.
std::vector<TlvRecord> Steady(int64_t usecs, int64_t bits, int64_t blocks, int64_t errors,
                              int64_t es) {
    std::vector<TlvRecord> report = Report(usecs, bits, blocks, errors, es);
    report[10] = U64(ZVBERT_LOS_COUNT, 0);
    return report;
}

TEST(RunModel, TheVerdictFollowsTheExitCodeOrElseTheFigures) {
    struct Case {
        const char* name;
        std::vector<TlvRecord> records;
        int exitCode;  // -1: ondrel started by hand
        int code;
        const char* title;
        const char* reasonPart;
    };
    const std::vector<TlvRecord> synced = {Rec(ZVBERT_TEST_STARTED, {}),
                                           Byte(ZVBERT_SYNC_STATE, 1)};
    const std::vector<TlvRecord> clean = Steady(5000000, 320000, 156, 0, 0);
    std::vector<TlvRecord> lost = Steady(5000000, 320000, 156, 0, 0);
    lost[10] = U64(ZVBERT_LOS_COUNT, 2);
    const std::vector<TlvRecord> ended = {Rec(ZVBERT_TEST_ENDED, {})};
    const std::vector<Case> cases = {
        {"clean, by the exit code", Plus(synced, clean), 1, 1, "Clean line",
         "no bit error in 5.0 s"},
        {"bit errors, by the exit code", Plus(synced, Steady(5000000, 320000, 156, 32, 3)), 0, 0,
         "Bit errors", "32 bit errors in sync, BER 1.000e-04"},
        {"lost sync, by the exit code", Plus(synced, lost), 7, 7, "Lost sync or signal",
         "lost sync 2 times"},
        {"never in sync, by the exit code",
         {Rec(ZVBERT_TEST_STARTED, {})},
         8,
         8,
         "Never in sync",
         "never found"},
        {"could not start", {}, 3, 3, "Could not start", "port could not be set up"},
        {"card removed", Plus(synced, clean), 4, 4, "Card removed", "removed"},
        {"card refused", Plus(synced, clean), 5, 5, "Card refused a request",
         "transmit or a statistics read"},
        {"configuration", {}, 2, 2, "Configuration unreadable", "simulated driver's configuration"},
        {"bad command line", {}, 255, 255, "Bad command line", "command line"},
        {"by hand: clean", Plus(Plus(synced, clean), ended), -1, 1, "Clean line", "stayed in sync"},
        {"by hand: bit errors", Plus(Plus(synced, Steady(5000000, 320000, 156, 3, 1)), ended), -1,
         0, "Bit errors", "3 bit errors"},
        {"by hand: lost sync", Plus(Plus(synced, lost), ended), -1, 7, "Lost sync or signal",
         "2 times"},
        {"by hand: never in sync",
         {Rec(ZVBERT_TEST_STARTED, {}), Byte(ZVBERT_SYNC_STATE, 0), Rec(ZVBERT_TEST_ENDED, {})},
         -1,
         8,
         "Never in sync",
         "never found"},
        {"by hand, delay test: frames lost",
         {Rec(ZVBERT_TEST_STARTED, {}), U64(ZVBERT_RTD_TX, 10), U64(ZVBERT_RTD_RX, 7),
          U64(ZVBERT_RTD_LOST, 3), U64(ZVBERT_ELAPSED_USECS, 5000000), Rec(ZVBERT_TEST_ENDED, {})},
         -1,
         7,
         "Lost sync or signal",
         "3 of 10 frames lost"},
        {"by hand, delay test: none back",
         {Rec(ZVBERT_TEST_STARTED, {}), U64(ZVBERT_RTD_TX, 10), U64(ZVBERT_RTD_RX, 0),
          U64(ZVBERT_RTD_LOST, 10), U64(ZVBERT_ELAPSED_USECS, 5000000), Rec(ZVBERT_TEST_ENDED, {})},
         -1,
         8,
         "Never in sync",
         "no frame came back"},
    };
    for (const Case& c : cases) {
        RunModel model;
        model.SetConnected(true);
        Feed(model, c.records);
        if (c.exitCode >= 0) model.SetExitCode(c.exitCode);
        const Verdict v = model.CurrentVerdict();
        EXPECT_EQ(v.iCode, c.code) << c.name;
        EXPECT_EQ(v.title, c.title) << c.name;
        EXPECT_NE(v.reason.find(c.reasonPart), std::string::npos) << c.name << ": " << v.reason;
        EXPECT_TRUE(v.bFinal) << c.name;
    }
}

TEST(RunModel, WhileTheTestRunsTheVerdictIsTheOutcomeSoFar) {
    RunModel model;
    model.SetConnected(true);
    Feed(model, {Rec(ZVBERT_TEST_STARTED, {}), Byte(ZVBERT_SYNC_STATE, 0)});
    EXPECT_EQ(model.CurrentVerdict().iCode, -1);  // still hunting: nothing to say yet
    EXPECT_EQ(model.CurrentVerdict().title, "Looking for the pattern");
    Feed(model, Plus({Byte(ZVBERT_SYNC_STATE, 1)}, Steady(2000000, 128000, 62, 4, 1)));
    const Verdict v = model.CurrentVerdict();
    EXPECT_EQ(v.iCode, 0);
    EXPECT_FALSE(v.bFinal);
    EXPECT_EQ(v.reason.rfind("so far: ", 0), 0u) << v.reason;
}

TEST(RunModel, EveryReportGoesToTheCsvAsItComesAndThePlotsRestartAfterAReset) {
    e2e::TempDir dir;
    RunModel model;
    std::string error;
    ASSERT_TRUE(model.StreamCsvTo(dir.File("run.csv"), &error)) << error;
    Feed(model, {Byte(ZVBERT_SYNC_STATE, 1)});
    for (int i = 1; i <= 4; ++i) Feed(model, Report(i * 500000, i * 32000, i * 15, i, 1));
    // Written before the end: a crash or a power cut loses no report.
    std::ifstream in(dir.File("run.csv"));
    std::string header, line;
    std::getline(in, header);
    int rows = 0;
    while (std::getline(in, line)) ++rows;
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(header.rfind("sync,elapsedUsecs,txBits,rxBits,", 0), 0u) << header;
    EXPECT_NE(header.find(",errorFreeSeconds,efsPercent,"), std::string::npos) << header;

    Feed(model, Report(500000, 32000, 15, 0, 0));  // the test time starts again: a reset
    const std::vector<HistorySegment> history = model.History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].series.at("ber").Added(), 4u);
    EXPECT_DOUBLE_EQ(history[1].dOffset, 2.0);  // after the old series, not over them
    EXPECT_EQ(history[1].series.at("ber").Points().front().x, 2.5);
    // The results name the file instead of holding every report.
    const std::string json = model.ResultsJson();
    EXPECT_EQ(json.find("\"reports\""), std::string::npos);
    EXPECT_NE(json.find("\"reportCount\":5"), std::string::npos) << json;
}

TEST(RunModel, ErrorFreeSecondsAreTheAvailableSecondsWithoutAnError) {
    RunModel model;
    std::vector<TlvRecord> report = Report(10000000, 640000, 312, 5, 2);
    report[8] = U64(ZVBERT_AS, 8);
    Feed(model, report);
    const std::string json = model.ResultsJson();
    EXPECT_NE(json.find("\"errorFreeSeconds\":6,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"efsPercent\":75.00,"), std::string::npos) << json;
}

TEST(RunModel, MetricsCarryTheFiguresTheSlavesAndTheSettings) {
    RunModel model;
    model.SetCommand({"ondrel", "+S"}, {{"mode", "software"}, {"pattern", "say \"2047\""}});
    model.SetConnected(true);
    Feed(model, Plus({Rec(ZVBERT_TEST_STARTED, {}), Byte(ZVBERT_SYNC_STATE, 1)},
                     Report(2000000, 128000, 62, 64, 1)));
    std::string text = model.MetricsText();
    for (const char* line :
         {"ondrel_bit_errors_total 64\n", "ondrel_received_bits_total 128000\n",
          "ondrel_errored_seconds_total 1\n", "ondrel_in_sync 1\n",
          "ondrel_bit_error_ratio 0.0005\n", "ondrel_loss_of_sync_total 1\n",
          "# TYPE ondrel_bit_errors_total counter\n",
          "ondrel_test_info{kind=\"single\",mode=\"software\",pattern=\"say \\\"2047\\\"\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    RunModel master;
    Feed(master, {Slave(ZVBERT_SLAVE_ELAPSED_USECS, 0, 500000),
                  Slave(ZVBERT_SLAVE_BIT_ERRORS, 3, 7), Rec(ZVBERT_MULTIDROP_SYNC, {3, 1})});
    text = master.MetricsText();
    EXPECT_NE(text.find("ondrel_slave_bit_errors_total{slave=\"3\"} 7\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("ondrel_slave_in_sync{slave=\"3\"} 1\n"), std::string::npos) << text;
    // Each family is declared once.
    EXPECT_EQ(text.find("# TYPE ondrel_slave_bit_errors_total"),
              text.rfind("# TYPE ondrel_slave_bit_errors_total"));
}

}  // namespace
