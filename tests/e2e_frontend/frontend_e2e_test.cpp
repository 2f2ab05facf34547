// The real `ondrel -g` against a scripted front end on the real pipe: every
// message both ways, the end-of-test exchange, bad records, a front end that
// goes away mid-test and one that is not there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gui/tags.h"
#include "tests/e2e_frontend/scripted_front_end.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

constexpr int kWaitMs = 8000;
constexpr int kPumpMs = 20;

// The report figures the front end gets, beside their console labels.
struct ReportFigure {
    uint16_t tag;
    const char* label;
};
const ReportFigure kReportFigures[] = {
    {ZVBERT_RX_BITS, "RxCount="},
    {ZVBERT_RX_BLOCKS, "BlockCount="},
    {ZVBERT_RATE, "Rate="},
    {ZVBERT_BIT_ERRORS, "BitErr="},
    {ZVBERT_BLOCK_ERRORS, "BlockErr="},
    {ZVBERT_ES, "ES(US)="},
    {ZVBERT_SES, "SES="},
    {ZVBERT_AS, "AS="},
    {ZVBERT_LOS_COUNT, "->LOS="},
    {ZVBERT_SYNC_COUNT, "->SYNC="},
    {ZVBERT_TX_BITS, "TxCount="},
    {ZVBERT_ERRORED_SAMPLES, " es="},
    {ZVBERT_SEVERELY_ERRORED_SAMPLES, " ses="},
};

class FrontEndLink : public ::testing::Test {
   protected:
    void Start(const std::vector<std::string>& args, const std::string& simConfig = "[[card]]\n") {
        frontEnd_ = std::make_unique<ScriptedFrontEnd>(runtime_.path());
        e2e::RunOptions options = e2e::SimRunOptions(home_, "sim.toml", simConfig);
        options.setEnv.push_back({"XDG_RUNTIME_DIR", runtime_.path()});
        std::vector<std::string> all = {"-g", "+l", "-v4"};
        all.insert(all.end(), args.begin(), args.end());
        child_ = std::make_unique<e2e::ChildProcess>(ONDREL_BINARY, all, options);
        ASSERT_TRUE(frontEnd_->Accept(kWaitMs));
        ASSERT_TRUE(Await(ZVBERT_TEST_STARTED, kWaitMs));
    }
    // Waits for a record as ScriptedFrontEnd::WaitFor does, reading the
    // program's output meanwhile: a full pipe would hold the program.
    bool Await(uint32_t tag, int timeoutMs,
               const std::function<bool(const TlvRecord&)>& test = nullptr, size_t from = 0) {
        for (int waited = 0;; waited += kPumpMs) {
            if (frontEnd_->WaitFor(tag, 0, test, from)) return true;
            if (waited >= timeoutMs) return false;
            child_->WaitForOutput("\x01", kPumpMs);
        }
    }
    // Waits until a report has come with the test in sync.
    void WaitForSyncedReport() {
        ASSERT_TRUE(
            Await(ZVBERT_SYNC_STATE, kWaitMs, [](const TlvRecord& r) { return r.Byte(0) == 1; }));
        ASSERT_TRUE(Await(ZVBERT_SYNC_COUNT, kWaitMs, nullptr, frontEnd_->Mark()));
    }
    void ExpectEvent(const std::string& text) {
        EXPECT_TRUE(child_->WaitForOutput(text, kWaitMs)) << "no \"" << text << "\"";
    }
    // The last figures the front end got are those of the console's last report.
    void ExpectLastReportOnBothSides(const RunResult& r) {
        for (const ReportFigure& f : kReportFigures)
            EXPECT_EQ(frontEnd_->Last64(f.tag), static_cast<int64_t>(r.LastValue(f.label)))
                << f.label;
        const double seconds = r.LastValue("Duration(s)=");
        EXPECT_NEAR(frontEnd_->Last64(ZVBERT_ELAPSED_USECS) / 1e6, seconds, 0.0006);
    }
    void ExpectClosingExchange(uint32_t status) {
        ASSERT_TRUE(Await(ZVBERT_EXIT_STATUS, kWaitMs));
        EXPECT_EQ(frontEnd_->Last64(ZVBERT_EXIT_STATUS), status);
    }
    e2e::TempDir runtime_;
    e2e::TempDir home_;
    std::unique_ptr<ScriptedFrontEnd> frontEnd_;
    std::unique_ptr<e2e::ChildProcess> child_;
};

TEST_F(FrontEndLink, SoftwareTestEveryMessageBothWays) {
    Start({"+S", "-k64000", "-L30", "+v"}, "[[card]]\n[card.impairment]\ninvert = true\n");
    WaitForSyncedReport();
    EXPECT_TRUE(Await(ZVBERT_SIGNAL_CHANGE, 0, [](const TlvRecord& r) {
        return r.Byte(0) == SIGNAL_ITEM_RX_INVERTED && r.Byte(1) == SIGNAL_STATE_ON;
    }));
    // Output items from the port: CTS and DCD.
    for (uint8_t item : {SIGNAL_ITEM_CTS, SIGNAL_ITEM_DCD})
        EXPECT_TRUE(Await(ZVBERT_SIGNAL_CHANGE, 0, [&](const TlvRecord& r) {
            return r.Byte(0) == item;
        })) << int(item);

    frontEnd_->Send(ZVBERT_RESET_STATS);
    ExpectEvent("Stats reset");
    frontEnd_->Send(ZVBERT_INJECT_ERRORS, {3});
    frontEnd_->Send(ZVBERT_INJECT_ERRORS, {0});  // changes nothing
    EXPECT_TRUE(
        Await(ZVBERT_BIT_ERRORS, kWaitMs, [](const TlvRecord& r) { return r.U64(0) == 3; }));
    frontEnd_->Send(ZVBERT_SIGNAL_CHANGE, {SIGNAL_ITEM_DTR, SIGNAL_STATE_ON});
    ExpectEvent("Output Signals: DTR \n");
    frontEnd_->Send(ZVBERT_SIGNAL_CHANGE, {SIGNAL_ITEM_RTS, SIGNAL_STATE_ON});
    ExpectEvent("Output Signals: DTR RTS \n");
    frontEnd_->Send(ZVBERT_SIGNAL_CHANGE, {SIGNAL_ITEM_TIV, SIGNAL_STATE_OFF});
    ExpectEvent("~Tx Inverted");
    ExpectEvent("ManualTxInvert->0");
    frontEnd_->Send(ZVBERT_SIGNAL_CHANGE, {SIGNAL_ITEM_CTS, SIGNAL_STATE_OFF});  // only re-sends
    ExpectEvent("ZVBERT_SIGNAL_CHANGE=3");
    frontEnd_->Send(ZVBERT_STOP);

    RunResult r = child_->Finish(kWaitMs);
    EXPECT_EQ(r.exitCode, 0);  // bit errors were counted
    // After the RTS item, the TIV and CTS items each send the signals again.
    EXPECT_EQ(r.Count("Output Signals: DTR RTS \n"), 3);
    EXPECT_EQ(r.LastValue("BitErr="), 3);
    EXPECT_EQ(frontEnd_->Received(ZVBERT_TEST_ENDED).size(), 1u);
    ExpectClosingExchange(0);
    ExpectLastReportOnBothSides(r);
}

TEST_F(FrontEndLink, HardwareTestValuesAndAnEarlyEndAck) {
    Start({"-k64000", "-L2", "+v"},
          "[[card]]\ncan_invert = false\n[card.impairment]\ninvert = true\n");
    frontEnd_->Send(ZVBERT_END_ACK);  // early: the program skips its end message
    WaitForSyncedReport();
    EXPECT_TRUE(Await(ZVBERT_SIGNAL_CHANGE, 0, [](const TlvRecord& r) {
        return r.Byte(0) == SIGNAL_ITEM_RX_INVERTED && r.Byte(1) == SIGNAL_STATE_ON;
    }));
    frontEnd_->Send(ZVBERT_INJECT_ERRORS, {2});
    // A card that cannot invert leaves the transmit inversion to the program.
    frontEnd_->Send(ZVBERT_SIGNAL_CHANGE, {SIGNAL_ITEM_TIV, SIGNAL_STATE_ON});
    EXPECT_TRUE(Await(ZVBERT_SIGNAL_CHANGE, kWaitMs, [](const TlvRecord& r) {
        return r.Byte(0) == SIGNAL_ITEM_MANUAL_INVERT && r.Byte(1) == SIGNAL_STATE_ON;
    }));
    ExpectEvent("*^Tx Inverted");
    RunResult r = child_->Finish(kWaitMs);  // the test ends by itself after 2 s
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.LastValue("BitErr="), 2);
    EXPECT_TRUE(frontEnd_->Received(ZVBERT_TEST_ENDED).empty());
    ExpectClosingExchange(0);
    ExpectLastReportOnBothSides(r);
}

TEST_F(FrontEndLink, RoundTripDelayTestSendsItsDelaysAndAResetClearsThem) {
    Start({"+R", "+d31", "-k64000", "-L30"}, "[[card]]\n[card.impairment]\ndelay_ms = 20\n");
    // The trend needs ten delays.
    ASSERT_TRUE(Await(ZVBERT_RTD_TREND, kWaitMs));
    EXPECT_TRUE(frontEnd_->Received(ZVBERT_SYNC_STATE).empty());  // no sync in this test
    const size_t beforeReset = frontEnd_->Mark();
    frontEnd_->Send(ZVBERT_RESET_STATS);
    EXPECT_TRUE(Await(
        ZVBERT_RTD_RX, kWaitMs, [](const TlvRecord& r) { return r.U64(0) == 0; }, beforeReset));
    ASSERT_TRUE(Await(
        ZVBERT_RTD_RX, kWaitMs, [](const TlvRecord& r) { return r.U64(0) >= 3; }, beforeReset));
    frontEnd_->Send(ZVBERT_STOP);
    RunResult r = child_->Finish(kWaitMs);
    EXPECT_EQ(r.exitCode, 1);
    ExpectClosingExchange(0);

    // The last figures sent are those of the console's last summary.
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_RX), r.LastValue(", rx "));
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_LOST), r.LastValue(", lost "));
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_LAST), r.LastValue(", last "));
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_TX), r.LastValue("tx "));
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_LATE), r.LastValue(", late "));
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_MIN), r.LastValue(", min "));
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_RTD_MAX), r.LastValue(", max "));
    EXPECT_NEAR(frontEnd_->Last64(ZVBERT_RTD_TREND) / 10.0, r.LastValue(", trend "), 0.0005);
    // Since the reset, the histogram holds the returned frames at the line's delay.
    std::map<uint32_t, uint32_t> histogram;
    for (const TlvRecord& rec : frontEnd_->Since(beforeReset))
        if (rec.uTag == ZVBERT_RTD_HISTOGRAM) histogram[rec.U32(0)] = rec.U32(4);
    ASSERT_FALSE(histogram.empty());
    EXPECT_GE(histogram.begin()->first, 19u);
    EXPECT_LE(histogram.rbegin()->first, 21u);
}

TEST_F(FrontEndLink, MultiDropMasterSendsEachSlaveAndTakesPollResetAndInject) {
    const std::string line = "[[card]]\nports = 1\nline = \"multidrop\"\nline_name = \"fe" +
                             std::to_string(getpid()) + "\"\n";
    std::vector<std::unique_ptr<e2e::ChildProcess>> slaves;
    for (const char* id : {"+Ms1", "+Ms3"}) {
        slaves.push_back(std::make_unique<e2e::ChildProcess>(
            ONDREL_BINARY, std::vector<std::string>{id, "-k64000", "+l"},
            e2e::SimRunOptions(home_, "slave.toml", line)));
        ASSERT_TRUE(slaves.back()->WaitForOutput("Test Started", kWaitMs));
    }
    auto slave = [](uint8_t id, auto test) {
        return [id, test](const TlvRecord& r) { return r.Byte(0) == id && test(r); };
    };
    auto any = [](const TlvRecord&) { return true; };
    // Without the traces of every poll.
    Start({"+Mm1", "-k64000", "-L30", "-v2"}, line);
    ASSERT_TRUE(
        Await(ZVBERT_MULTIDROP_SYNC, kWaitMs, slave(0, [](auto& r) { return r.Byte(1) == 1; })));
    ASSERT_TRUE(Await(ZVBERT_SLAVE_RX_BITS, kWaitMs, slave(1, any)));
    EXPECT_TRUE(
        Await(ZVBERT_MULTIDROP_SLAVE_ACTIVE, 0, slave(1, [](auto& r) { return r.Byte(1) == 1; })));

    const size_t polled = frontEnd_->Mark();
    frontEnd_->Send(ZVBERT_MULTIDROP_POLL_SLAVE, {3, 1});
    ExpectEvent("ZVBERT_MULTIDROP_POLL_SLAVE, slave 3, poll 1");
    // Slave 3 finds its pattern; the slaves already polled keep their figures.
    ASSERT_TRUE(Await(ZVBERT_SLAVE_RX_BITS, kWaitMs, slave(3, any), polled));
    ASSERT_TRUE(Await(ZVBERT_MULTIDROP_SYNC, kWaitMs,
                      slave(3, [](auto& r) { return r.Byte(1) == 1; }), polled));

    const int64_t beforeReset = frontEnd_->Last64(ZVBERT_SLAVE_RX_BITS);
    const size_t mark = frontEnd_->Mark();
    frontEnd_->Send(ZVBERT_RESET_STATS);
    ExpectEvent("ResetMultiStats called");
    EXPECT_TRUE(Await(
        ZVBERT_SLAVE_RX_BITS, kWaitMs,
        [&](const TlvRecord& r) { return static_cast<int64_t>(r.U64(1)) < beforeReset; }, mark));

    frontEnd_->Send(ZVBERT_INJECT_ERRORS, {2});
    EXPECT_TRUE(
        Await(ZVBERT_SLAVE_BIT_ERRORS, kWaitMs, [](const TlvRecord& r) { return r.U64(1) == 2; }));
    frontEnd_->Send(ZVBERT_STOP);
    RunResult r = child_->Finish(kWaitMs);
    for (auto& s : slaves) s->Signal(SIGTERM);
    EXPECT_EQ(r.exitCode, 0);  // bit errors were counted
    ExpectClosingExchange(0);
    // Each slave's last figures are those of its last console line.
    for (uint8_t id : {1, 3}) {
        std::string last;
        for (const std::string& l : r.Lines())
            if (l.find("Slave=" + std::to_string(id) + " ") != std::string::npos) last = l;
        ASSERT_FALSE(last.empty()) << r.out;
        RunResult one;
        one.out = last;
        for (auto [tag, label] :
             {std::pair{ZVBERT_SLAVE_RX_BITS, " Rx="}, {ZVBERT_SLAVE_BIT_ERRORS, " BitErr="}}) {
            int64_t sent = 0;  // each value goes only when it changes, from 0 on
            for (const TlvRecord& rec : frontEnd_->Received(tag))
                if (rec.Byte(0) == id) sent = static_cast<int64_t>(rec.U64(1));
            EXPECT_EQ(sent, static_cast<int64_t>(one.LastValue(label))) << int(id) << label << "\n"
                                                                        << last;
        }
    }
    for (auto& s : slaves) EXPECT_FALSE(s->Finish(kWaitMs).timedOut);
}

TEST_F(FrontEndLink, BadRecordsAreSkippedAndAFrontEndThatGoesEndsTheTest) {
    Start({"+S", "-k64000", "-L30"});
    WaitForSyncedReport();
    // A record claiming 10 value bytes: it and the rest of its write go.
    std::vector<uint8_t> bad = TlvBytes(ZVBERT_INJECT_ERRORS, {1}, 10);
    std::vector<uint8_t> dropped = TlvBytes(ZVBERT_INJECT_ERRORS, {1}, 1);
    bad.insert(bad.end(), dropped.begin(), dropped.end());
    frontEnd_->SendBytes(bad);
    ExpectEvent("IPC:Bad record length 10, 34 bytes dropped");
    frontEnd_->Send(9999, {7});
    ExpectEvent("MessageReceived: tag=9999 length=0x1\nvalue[0]=0x07\n");
    frontEnd_->Send(ZVBERT_INJECT_ERRORS);  // no value: nothing to inject
    ExpectEvent("Front-end message 1005 without its value (length 0), skipped");
    // One record cut across two writes.
    std::vector<uint8_t> split = TlvBytes(ZVBERT_INJECT_ERRORS, {2}, 1);
    frontEnd_->SendBytes({split.begin(), split.begin() + 9});
    ASSERT_TRUE(child_->WaitForOutput("Read complete: len=9", kWaitMs));
    frontEnd_->SendBytes({split.begin() + 9, split.end()});
    EXPECT_TRUE(
        Await(ZVBERT_BIT_ERRORS, kWaitMs, [](const TlvRecord& r) { return r.U64(0) == 2; }));
    // Half a record, then the front end is gone.
    frontEnd_->SendBytes({split.begin(), split.begin() + 8});
    const auto closed = std::chrono::steady_clock::now();
    frontEnd_->Close();
    RunResult r = child_->Finish(kWaitMs);
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
    EXPECT_LT(secs, e2e::ScaledSeconds(5.0));
    // Seen by a read or by a write, whichever comes first.
    EXPECT_TRUE(r.Contains("zvbert is now disconnected") || r.Contains("Write Error2"));
    EXPECT_TRUE(r.Contains("Test completed"));
    EXPECT_EQ(r.Count("BitErr="), r.Count("Duration(s)="));  // the final report is whole
    EXPECT_EQ(r.LastValue("BitErr="), 2);
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FrontEndLink, NoFrontEndEndsTheRunAtOnceWithStatusFive) {
    e2e::RunOptions options;
    options.setEnv = {{"HOME", home_.path()}, {"XDG_RUNTIME_DIR", runtime_.path()}};
    options.unsetEnv = {"ONDREL_SIM_CONFIG"};
    options.timeoutMs = kWaitMs;
    RunResult r = e2e::RunOndrel({"-g", "+S", "-v4", "-L30"}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(r.Contains("CreateFile failed, GLE=2\n"));
    EXPECT_TRUE(
        r.Contains("ERROR: No front end listens at " + runtime_.path() + "/ZorvanBERTPipe"));
    EXPECT_FALSE(r.Contains("Unable to use the selected port"));  // no port was opened
    EXPECT_TRUE(r.HasLine("dwStatus=0x5"));
    EXPECT_EQ(r.exitCode, 6);
}

}  // namespace
