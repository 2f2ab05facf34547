// The real front end starting the real ondrel, its page in headless
// Chromium: the page shows the console's figures, its stop button ends the
// test, and the results files hold the same figures. With
// ONDREL_SCREENSHOT_DIR set, the pictures of docs/ are taken on the way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e_page/headless_browser.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

constexpr int kWaitMs = 15000;
constexpr int kPumpMs = 50;

// The word after the last label in the text ("BER=0.10 " gives "0.10").
std::string LastWord(const std::string& text, const std::string& label) {
    const size_t at = text.rfind(label);
    if (at == std::string::npos) return "";
    const size_t from = at + label.size();
    return text.substr(from, text.find_first_of(" ,\n", from) - from);
}

// The last line of a CSV text, by column name.
std::map<std::string, std::string> LastCsvRow(const std::string& csv) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line);) {
        lines.emplace_back();
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) lines.back().push_back(cell);
    }
    std::map<std::string, std::string> row;
    if (lines.size() < 2) return row;
    for (size_t i = 0; i < lines[0].size() && i < lines.back().size(); ++i)
        row[lines[0][i]] = lines.back()[i];
    return row;
}

class FrontEndPage : public ::testing::Test {
   protected:
    // Starts the front end on a free port with these ondrel options and
    // opens its page; false when either fails.
    bool Start(const std::vector<std::string>& ondrelArgs, const std::string& simConfig) {
        e2e::RunOptions options = e2e::SimRunOptions(dir_, "sim.toml", simConfig);
        options.setEnv.push_back({"XDG_RUNTIME_DIR", dir_.path()});
        std::vector<std::string> args = {
            "--port", "0", "--results", dir_.File("results"), "--ondrel", ONDREL_BINARY};
        args.insert(args.end(), ondrelArgs.begin(), ondrelArgs.end());
        frontEnd_ = std::make_unique<e2e::ChildProcess>(ONDREL_FRONTEND, args, options);
        // The address ends with the session's token, and its line must be whole.
        if (!frontEnd_->WaitForOutput("token=", kWaitMs)) return false;
        for (int waited = 0; frontEnd_->Output().find('\n', frontEnd_->Output().find("token=")) ==
                             std::string::npos;
             waited += kPumpMs) {
            if (waited > kWaitMs) return false;
            frontEnd_->WaitForOutput("\x01", kPumpMs);
        }
        const std::string url = LastWord(frontEnd_->Output(), "the test is shown at ");
        return browser_.Started() && browser_.Open(url);
    }
    std::string Text(const std::string& id) {
        return browser_.Evaluate("document.getElementById('" + id + "').textContent");
    }
    std::string Figure(const std::string& key) {
        return browser_.Evaluate("document.getElementById('f-" + key + "').textContent");
    }
    void Screenshot(const std::string& name) {
        if (const char* dir = std::getenv("ONDREL_SCREENSHOT_DIR")) {
            EXPECT_TRUE(browser_.Screenshot(std::string(dir) + "/" + name));
        }
    }
    // Polls the page, reading the front end's output meanwhile: ondrel
    // writes there, and a full pipe would hold it.
    bool PageShows(const std::string& expression) {
        for (int waited = 0; waited < kWaitMs; waited += kPumpMs) {
            if (browser_.WaitUntil(expression, 0)) return true;
            frontEnd_->WaitForOutput("\x01", kPumpMs);
        }
        return false;
    }
    // Clicks a steering button of the page and waits for the front end's
    // answer to the request it sends: its text ("200" when taken, else the
    // status and the message the page shows).
    std::string Steer(const std::string& button) {
        browser_.Evaluate(
            "if (!window.answers) { window.answers = []; const send = window.fetch;"
            " window.fetch = async (...args) => { const r = await send(...args);"
            " window.answers.push(r.ok ? '200' : r.status + ' ' + await r.clone().text()); return "
            "r; }; }");
        const std::string before = browser_.Evaluate("String(window.answers.length)");
        browser_.Evaluate("document.getElementById('" + button + "').click()");
        if (!PageShows("window.answers.length > " + before)) return "no answer";
        return browser_.Evaluate("window.answers[" + before + "]");
    }
    bool WaitForRunning() {
        return PageShows("document.getElementById('phase').textContent == 'running'");
    }
    bool WaitForExitCode() {
        return PageShows("document.getElementById('exit').textContent.includes('Exit code')");
    }
    // The page stays up after the test until the front end is told to end.
    e2e::RunResult EndFrontEnd() {
        frontEnd_->Signal(SIGTERM);
        return frontEnd_->Finish(kWaitMs);
    }
    e2e::TempDir dir_;
    e2e::TempDir profile_;
    HeadlessBrowser browser_{profile_.path()};
    std::unique_ptr<e2e::ChildProcess> frontEnd_;
};

TEST_F(FrontEndPage, SoftwareTestShowsTheConsolesFiguresAndStopsFromThePage) {
    ASSERT_TRUE(Start({"+S", "-k64000", "-L30", "+l"},
                      "[[card]]\n[card.impairment]\nbit_error_rate = 1e-3\nseed = 3\n"))
        << frontEnd_->Output();
    ASSERT_TRUE(PageShows("Number(document.getElementById('f-erroredSeconds')?.textContent) >= 2"))
        << frontEnd_->Output();
    // While it runs: the outcome so far, the settings in words, the time left.
    EXPECT_EQ(Text("verdict"), "Bit errors");
    EXPECT_EQ(browser_.Evaluate("document.getElementById('verdict').className"), "pending");
    EXPECT_EQ(Text("verdictReason").rfind("so far: ", 0), 0u) << Text("verdictReason");
    const std::map<std::string, std::string> settings = {
        {"mode", "software"},           {"rate", "64,000 bit/s"},
        {"pattern", "2^11-1 (2047)"},   {"interface", "V.24"},
        {"clocking", "internal clock"}, {"plannedSecs", "30 s"},
        {"noSyncSecs", "60 s"},         {"port", "0"}};
    for (const auto& [key, text] : settings) EXPECT_EQ(Text("set-" + key), text) << key;
    EXPECT_EQ(browser_.Evaluate("document.getElementById('progressRow').offsetParent !== null"),
              "true");
    EXPECT_NE(Text("timeLeft").find(" s left"), std::string::npos) << Text("timeLeft");
    // The inversion is known from the start: nothing inverted yet.
    EXPECT_EQ(Text("s-rxInverted"), "not inverted");
    EXPECT_EQ(Text("s-manualInvert"), "not inverted by the program");

    // The plots read as a test set's: BER on a log axis labelled in powers of
    // ten with 0 apart, whole seconds, nothing below zero.
    ASSERT_TRUE(PageShows("Chart.getChart('berChart').scales.y.ticks.length > 1"));
    EXPECT_EQ(browser_.Evaluate("Chart.getChart('berChart').options.scales.y.type"), "logarithmic");
    EXPECT_EQ(browser_.Evaluate("Chart.getChart('berChart').scales.y.ticks.map(t => t.label)"
                                ".every(l => l === '' || l === '0' || /^1e-\\d+$/.test(l))"),
              "true")
        << browser_.Evaluate(
               "Chart.getChart('berChart').scales.y.ticks.map(t => t.label).join(' ')");
    EXPECT_EQ(browser_.Evaluate(
                  "Chart.getChart('berChart').scales.y.ticks.some(t => /^1e-\\d+$/.test(t.label))"),
              "true");
    EXPECT_EQ(browser_.Evaluate("Chart.getChart('secondsChart').scales.y.ticks"
                                ".every(t => Number.isInteger(t.value) && t.value >= 0)"),
              "true");
    EXPECT_EQ(browser_.Evaluate(
                  "['berChart', 'secondsChart'].every(c => Chart.getChart(c).scales.x.min >= 0)"),
              "true");
    EXPECT_EQ(browser_.Evaluate("Chart.getChart('secondsChart').options.scales.y.title.text"),
              "seconds (s)");

    // A reset starts new series after the old ones.
    ASSERT_EQ(Steer("reset"), "200");
    ASSERT_TRUE(PageShows(
        "Chart.getChart('berChart').data.datasets.some(d => d.segment == 1 && d.data.length > 1)"));
    EXPECT_EQ(browser_.Evaluate(
                  "(() => { const d = Chart.getChart('berChart').data.datasets;"
                  " const old = d.find(s => s.segment == 0), now = d.find(s => s.segment == 1);"
                  " return old.data.length > 0 && now.data[0].x >= old.data[old.data.length - "
                  "1].x; })()"),
              "true");

    EXPECT_EQ(Steer("stop"), "200");
    ASSERT_TRUE(WaitForExitCode()) << frontEnd_->Output();
    EXPECT_EQ(Text("verdict"), "Bit errors");
    EXPECT_EQ(browser_.Evaluate("document.getElementById('verdict').className"), "bad");
    EXPECT_NE(Text("verdictReason").find("bit errors in sync, BER "), std::string::npos)
        << Text("verdictReason");
    Screenshot("software-test.png");
    std::map<std::string, std::string> shown;
    for (const char* key : {"bitErrors", "berPercent", "erroredSeconds", "txBits", "erroredSamples",
                            "severelyErroredSamples", "availableSeconds", "errorFreeSeconds"})
        shown[key] = Figure(key);
    e2e::RunResult r = EndFrontEnd();
    EXPECT_EQ(r.exitCode, 0) << r.out;  // ondrel's: bit errors were counted
    EXPECT_LT(r.LastValue("Duration(s)="), e2e::ScaledSeconds(20))
        << "the test did not stop from the page";

    // The console's last report is the closing one.
    const std::map<std::string, std::string> labels = {
        {"bitErrors", "BitErr="},   {"berPercent", "BER="},     {"erroredSeconds", "ES(US)="},
        {"txBits", "TxCount="},     {"erroredSamples", " es="}, {"severelyErroredSamples", " ses="},
        {"availableSeconds", "AS="}};
    for (const auto& [key, label] : labels) EXPECT_EQ(shown[key], LastWord(r.out, label)) << key;
    EXPECT_GT(std::stoll(shown["bitErrors"]), 0);
    EXPECT_EQ(std::stoll(shown["errorFreeSeconds"]),
              std::max<long long>(
                  0, std::stoll(shown["availableSeconds"]) - std::stoll(shown["erroredSeconds"])));

    const std::string json = e2e::ReadFile(dir_.File("results.json"));
    const std::string latest = json.substr(json.find("\"latest\":"), 900);
    for (const char* key : {"bitErrors", "berPercent", "erroredSeconds", "txBits"})
        EXPECT_NE(latest.find("\"" + std::string(key) + "\":" + shown[key] + ","),
                  std::string::npos)
            << latest;
    EXPECT_NE(json.find("\"title\":\"Bit errors\""), std::string::npos);
    auto csv = LastCsvRow(e2e::ReadFile(dir_.File("results.csv")));
    for (const char* key : {"bitErrors", "berPercent", "erroredSeconds", "txBits"})
        EXPECT_EQ(csv[key], shown[key]) << key;
}

TEST_F(FrontEndPage, RoundTripDelayTestShowsTheDelaysAndTheirHistogram) {
    ASSERT_TRUE(Start({"+R", "+d31", "-k64000", "-L2", "+l"},
                      "[[card]]\n[card.impairment]\ndelay_ms = 20\n"))
        << frontEnd_->Output();
    ASSERT_TRUE(WaitForExitCode()) << frontEnd_->Output();  // ends by itself
    Screenshot("rtd-test.png");
    EXPECT_EQ(Text("verdict"), "Clean line");
    EXPECT_NE(Text("verdictReason").find("every frame came back"), std::string::npos)
        << Text("verdictReason");
    EXPECT_EQ(Text("set-test"), "round-trip delay");
    // A delay test has no pattern to lose sync with and takes no injected errors.
    for (const char* hidden : {"stateBox", "injectRow", "berBox", "slavesBox"})
        EXPECT_EQ(browser_.Evaluate("document.getElementById('" + std::string(hidden) +
                                    "').offsetParent === null"),
                  "true")
            << hidden;
    const std::string returned = Figure("rtdReturned"), lost = Figure("rtdLost"),
                      last = Figure("rtdLastMs"), sent = Figure("rtdSent"),
                      late = Figure("rtdLate"), minimum = Figure("rtdMinMs"),
                      maximum = Figure("rtdMaxMs");
    const std::string bars = browser_.Evaluate(
        "Chart.getChart('histChart').data.datasets[0].data.reduce((a, b) => a + b, 0)");
    e2e::RunResult r = EndFrontEnd();
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(returned, LastWord(r.out, ", rx "));
    EXPECT_EQ(lost, LastWord(r.out, ", lost "));
    EXPECT_EQ(last, LastWord(r.out, ", last "));
    EXPECT_EQ(sent, LastWord(r.out, "tx "));
    EXPECT_EQ(late, LastWord(r.out, ", late "));
    EXPECT_EQ(minimum, LastWord(r.out, ", min "));
    EXPECT_EQ(maximum, LastWord(r.out, ", max "));
    EXPECT_EQ(bars, returned);  // every returned frame has its bar
    EXPECT_GT(std::stoll(returned), 10);
}

TEST_F(FrontEndPage, MultiDropMasterShowsEverySlaveAndInjectsFromThePage) {
    const std::string line = "[[card]]\nports = 1\nline = \"multidrop\"\nline_name = \"page" +
                             std::to_string(getpid()) + "\"\n";
    // A slave that misses one reply is dropped for good. At 9600 bit/s the
    // master waits 615 ms for a reply instead of 262 ms at 64000, room
    // enough for a slave process that a loaded host does not schedule.
    const char* rate = "-k9600";
    std::vector<std::unique_ptr<e2e::ChildProcess>> slaves;
    for (const char* id : {"+Ms1", "+Ms3"}) {
        slaves.push_back(std::make_unique<e2e::ChildProcess>(
            ONDREL_BINARY, std::vector<std::string>{id, rate, "+l"},
            e2e::SimRunOptions(dir_, "slave.toml", line)));
        ASSERT_TRUE(slaves.back()->WaitForOutput("Test Started", kWaitMs));
    }
    // A test long enough for any browser: the page stops it once the
    // injected errors are counted.
    ASSERT_TRUE(Start({"+Mm1,3", rate, "-L60", "+l"}, line)) << frontEnd_->Output();
    ASSERT_TRUE(WaitForRunning()) << frontEnd_->Output();
    ASSERT_TRUE(PageShows("document.getElementById('sync').textContent == 'in sync'"));
    browser_.Evaluate("document.getElementById('count').value = 3");
    ASSERT_EQ(Steer("inject"), "200");
    const std::string slaveErrors =
        "Number(document.getElementById('slave-1-bitErrors')?.textContent) +"
        " Number(document.getElementById('slave-3-bitErrors')?.textContent)";
    EXPECT_TRUE(PageShows(slaveErrors + " >= 3")) << frontEnd_->Output();
    // Inject and Poll are offered, the outputs of a single line are not.
    EXPECT_EQ(browser_.Evaluate("document.getElementById('outputsRow').offsetParent === null"),
              "true");
    EXPECT_EQ(browser_.Evaluate("document.getElementById('pollRow').offsetParent !== null"),
              "true");
    // Its latest report sums up the slaves'.
    EXPECT_EQ(Figure("bitErrors"), "3");
    EXPECT_EQ(Figure("slavesInSync"), "2 of 2");
    EXPECT_EQ(Steer("stop"), "200");
    ASSERT_TRUE(WaitForExitCode()) << frontEnd_->Output();
    EXPECT_EQ(Text("verdict"), "Bit errors");
    Screenshot("multidrop-master.png");
    std::map<std::string, std::string> cells;
    for (const char* id : {"1", "3"})
        for (const char* key : {"rxBits", "bitErrors", "ber"})
            cells[std::string(id) + key] = browser_.Evaluate(
                "document.getElementById('slave-" + std::string(id) + "-" + key + "').textContent");
    e2e::RunResult r = EndFrontEnd();
    for (auto& slave : slaves) slave->Signal(SIGTERM);
    EXPECT_EQ(r.exitCode, 0) << r.out;  // the injected errors were counted
    for (const char* id : {"1", "3"}) {
        const std::string slaveLine = "Slave=" + std::string(id) + " ";
        const std::string last = r.out.substr(r.out.rfind(slaveLine));
        EXPECT_EQ(cells[std::string(id) + "rxBits"],
                  LastWord(last.substr(0, last.find('\n')), " Rx="))
            << last;
        EXPECT_EQ(cells[std::string(id) + "bitErrors"],
                  LastWord(last.substr(0, last.find('\n')), "BitErr="));
        // The table gives the ratio itself, in scientific notation; the console a percentage.
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.2f",
                      std::stod(cells[std::string(id) + "ber"]) * 100);
        EXPECT_EQ(percent, LastWord(last.substr(0, last.find('\n')), "BER="));
    }
    EXPECT_EQ(std::stoll(cells["1bitErrors"]) + std::stoll(cells["3bitErrors"]), 3);
    for (auto& slave : slaves) EXPECT_FALSE(slave->Finish(kWaitMs).timedOut);
}

TEST_F(FrontEndPage, APolledSlaveThatNeverAnsweredIsShownAsSuch) {
    const std::string line = "[[card]]\nports = 1\nline = \"multidrop\"\nline_name = \"silent" +
                             std::to_string(getpid()) + "\"\n";
    e2e::ChildProcess slave(ONDREL_BINARY, {"+Ms1", "-k64000", "+l"},
                            e2e::SimRunOptions(dir_, "slave.toml", line));
    ASSERT_TRUE(slave.WaitForOutput("Test Started", kWaitMs));
    ASSERT_TRUE(Start({"+Mm1,5", "-k64000", "+l"}, line)) << frontEnd_->Output();
    ASSERT_TRUE(
        PageShows("document.getElementById('slave-1-sync')?.textContent == 'yes' && "
                  "document.getElementById('slave-5-polled')?.textContent == 'yes'"))
        << browser_.Evaluate("document.getElementById('slaves').innerText");
    EXPECT_EQ(Text("slave-5-sync"), "never answered");
    EXPECT_EQ(Steer("stop"), "200");
    ASSERT_TRUE(WaitForExitCode()) << frontEnd_->Output();
    EXPECT_EQ(Text("slave-5-sync"), "never answered");
    EndFrontEnd();
    slave.Signal(SIGTERM);
    EXPECT_FALSE(slave.Finish(kWaitMs).timedOut);
}

}  // namespace
