// The real binary on serial ports: pseudo-terminal pairs joined by socat
// stand in for cables, a second ondrel answers as the echo responder, and
// bit_relay, put in the middle, flips chosen bits or is killed to cut the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

constexpr int kReadyMs = 5000;
constexpr int kRunTimeoutMs = 20000;

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

bool WaitForFile(const std::string& path) {
    return e2e::WaitUntil([&] { return access(path.c_str(), F_OK) == 0; }, kReadyMs);
}

// A null-modem cable: two pseudo-terminals joined by socat, reached through
// the links a and b. Killing socat unplugs both ends.
class Cable {
   public:
    Cable(const std::string& a, const std::string& b)
        : socat_(FindProgram("socat"),
                 {"pty,link=" + a + ",raw,echo=0", "pty,link=" + b + ",raw,echo=0"}) {
        ready_ = socat_.Started() && WaitForFile(a) && WaitForFile(b);
    }
    bool ready() const { return ready_; }
    void Unplug() { socat_.Signal(SIGKILL); }

   private:
    e2e::ChildProcess socat_;
    bool ready_ = false;
};

class TtyE2e : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_FALSE(FindProgram("socat").empty()) << "socat is missing: tools/setup installs it";
        e2e::WriteFile(config_, "[[card]]\nbackend = \"tty\"\ndevices = [\"" + tester_ + "\", \"" +
                                    echo_ + "\"]\n");
    }
    e2e::RunOptions Options() const {
        e2e::RunOptions options;
        options.setEnv = {
            {"HOME", dir_.path()}, {"ZVBERTLOGPATH", dir_.path()}, {"ONDREL_SIM_CONFIG", config_}};
        options.timeoutMs = kRunTimeoutMs;
        return options;
    }
    // The tester's end joined straight to the echo's.
    void Connect() {
        cables_.push_back(std::make_unique<Cable>(tester_, echo_));
        ASSERT_TRUE(cables_.back()->ready());
    }
    // The tester's end and the echo's, each joined to a side of the relay.
    void ConnectThroughRelay(const std::string& skip, const std::string& every,
                             const std::string& count) {
        cables_.push_back(std::make_unique<Cable>(tester_, dir_.File("relay.in")));
        cables_.push_back(std::make_unique<Cable>(dir_.File("relay.out"), echo_));
        ASSERT_TRUE(cables_[0]->ready() && cables_[1]->ready());
        relay_ = std::make_unique<e2e::ChildProcess>(
            BIT_RELAY_BINARY, std::vector<std::string>{dir_.File("relay.in"),
                                                       dir_.File("relay.out"), skip, every, count});
        ASSERT_TRUE(relay_->WaitForOutput("relay ready", kReadyMs)) << relay_->Output();
    }
    void StartEcho(const std::vector<std::string>& line) {
        std::vector<std::string> args = {"+S", "-d4", "-p1", "-v3"};
        args.insert(args.end(), line.begin(), line.end());
        echo_process_ = std::make_unique<e2e::ChildProcess>(ONDREL_BINARY, args, Options());
        ASSERT_TRUE(echo_process_->WaitForOutput("Starting ECHO thread", kReadyMs))
            << echo_process_->Output();
    }
    // Ends the echo responder; it ran cleanly to the key x.
    void StopEcho() {
        echo_process_->Type("x");
        RunResult echoed = echo_process_->Finish(kRunTimeoutMs);
        EXPECT_FALSE(echoed.timedOut);
        EXPECT_TRUE(echoed.HasLine("EchoThread exit")) << echoed.out;
    }

    e2e::TempDir dir_;
    const std::string config_ = dir_.File("ports.toml");
    const std::string tester_ = dir_.File("tester");
    const std::string echo_ = dir_.File("echo");
    std::vector<std::unique_ptr<Cable>> cables_;
    std::unique_ptr<e2e::ChildProcess> relay_;
    std::unique_ptr<e2e::ChildProcess> echo_process_;
};

// ---- a clean cable at the usual rates and character sizes -------------------------

struct LineCase {
    const char* rate;
    const char* dataBits;
    int seconds;
    bool software;  // +S given; without it the asynchronous test switches itself
};

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << c.rate << " bit/s, " << c.dataBits << " data bits, " << c.seconds << " s";
}

class TtyCleanCable : public TtyE2e, public ::testing::WithParamInterface<LineCase> {};

TEST_P(TtyCleanCable, RunsInSyncWithoutErrors) {
    const LineCase& c = GetParam();
    const std::vector<std::string> line = {"-mASYNC", std::string("-k") + c.rate,
                                           std::string("-a") + c.dataBits};
    Connect();
    StartEcho(line);
    std::vector<std::string> args = line;
    args.insert(args.end(), {"-L" + std::to_string(c.seconds), "-S4", "+l"});
    if (c.software) args.push_back("+S");
    RunResult r = e2e::RunOndrel(args, Options());
    StopEcho();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.HasEvent("In sync")) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 0) << r.out;
    EXPECT_EQ(r.LastValue("->LOS="), 0) << r.out;
    EXPECT_EQ(r.Contains("Switching to (Async) Software Mode"), !c.software);
    // Data bits a second at the line rate, start and stop bits taken off.
    // A pseudo-terminal has no rate: only the pacing holds it to the line's,
    // give or take the quarter second a late sender may catch up on (and a
    // busy machine's slowness below).
    const double dataRate = std::atof(c.rate) * std::atoi(c.dataBits) / (std::atoi(c.dataBits) + 2);
    EXPECT_LE(r.LastValue("Rate="), dataRate * (1.02 + 0.25 / c.seconds)) << r.out;
    EXPECT_GE(r.LastValue("Rate="), dataRate * 0.5) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TtyCleanCable,
    ::testing::Values(LineCase{"115200", "8", 5, true}, LineCase{"9600", "7", 2, true},
                      LineCase{"115200", "7", 2, false}, LineCase{"9600", "8", 2, true}),
    [](const ::testing::TestParamInfo<LineCase>& info) {
        return std::string("At") + info.param.rate + "With" + info.param.dataBits + "Bits";
    });

// ---- errors the tester or the line puts in ------------------------------------------

TEST_F(TtyE2e, InjectedKeysAreCountedExactly) {
    const std::vector<std::string> line = {"-mASYNC", "-k115200", "-a7"};
    Connect();
    StartEcho(line);
    std::vector<std::string> args = line;
    args.insert(args.end(), {"+S", "-L2", "-S4", "+l", "-v3"});
    e2e::ChildProcess tester(ONDREL_BINARY, args, Options());
    ASSERT_TRUE(tester.WaitForOutput("In sync", kReadyMs)) << tester.Output();
    tester.Type("1234i");  // 1 + 2 + 3 + 4 + 1
    RunResult r = tester.Finish(kRunTimeoutMs);
    StopEcho();
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 11) << r.out;
    EXPECT_TRUE(r.Contains("errors injected")) << r.out;
    EXPECT_FALSE(r.Contains("Failed to inject errors"));
}

TEST_F(TtyE2e, EveryBitTheRelayFlipsIsCounted) {
    // About a second of bytes after the start, then a flip every 50 bytes:
    // all of them well after the first sync and before the end.
    ConnectThroughRelay("12000", "50", "100");
    const std::vector<std::string> line = {"-mASYNC", "-k115200"};
    StartEcho(line);
    std::vector<std::string> args = line;
    args.insert(args.end(), {"+S", "-L3", "-S4", "+l"});
    RunResult r = e2e::RunOndrel(args, Options());
    StopEcho();
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(relay_->WaitForOutput("flipped 100", 100)) << relay_->Output();
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 100) << r.out;
    EXPECT_EQ(r.LastValue("->LOS="), 0) << r.out;
}

TEST_F(TtyE2e, CutLineIsLossOfSignalAndTheTestEndsCleanly) {
    ConnectThroughRelay("0", "1", "0");
    const std::vector<std::string> line = {"-mASYNC", "-k115200"};
    StartEcho(line);
    std::vector<std::string> args = line;
    args.insert(args.end(), {"+S", "-L4", "-S4", "+l"});
    e2e::ChildProcess tester(ONDREL_BINARY, args, Options());
    ASSERT_TRUE(tester.WaitForOutput("In sync", kReadyMs)) << tester.Output();
    // A report asked for now shows the receiver counting the line in sync:
    // the cut comes after that.
    tester.Type("s");
    ASSERT_TRUE(tester.WaitForOutput("BitErr=0 ", kReadyMs)) << tester.Output();
    relay_->Signal(SIGKILL);
    RunResult r = tester.Finish(kRunTimeoutMs);
    StopEcho();
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.Count("LOS - no clock/data"), 1) << r.out;
    EXPECT_EQ(r.LastValue("->LOS="), 1) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 0) << r.out;
    EXPECT_GT(r.LastValue("LOSR="), 0) << r.out;
    EXPECT_TRUE(r.HasEvent("Test completed"));
    // The line was lost after sync: not a clean line.
    EXPECT_EQ(r.exitCode, 7);
}

// ---- ports that cannot run the test --------------------------------------------------

TEST_F(TtyE2e, UnpluggedDeviceEndsTheTestAsARemovedCard) {
    Connect();
    const auto start = std::chrono::steady_clock::now();
    e2e::ChildProcess tester(ONDREL_BINARY,
                             {"-mASYNC", "-k115200", "+S", "-d2", "-L20", "+l", "-v4"}, Options());
    ASSERT_TRUE(tester.WaitForOutput("Starting Tx thread", kReadyMs)) << tester.Output();
    cables_[0]->Unplug();
    RunResult r = tester.Finish(kRunTimeoutMs);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(r.timedOut);
    EXPECT_LT(seconds.count(), e2e::ScaledSeconds(5.0)) << r.out;
    EXPECT_FALSE(r.Contains("Stop on Time"));
    EXPECT_TRUE(r.HasLine("TxEventThread exit")) << r.out;
    EXPECT_TRUE(r.HasEvent("Test completed"));
    EXPECT_TRUE(r.Contains("ERROR: The card was removed during the test")) << r.out;
    EXPECT_EQ(r.exitCode, 4) << "removed, as a card pulled from its slot";
}

TEST_F(TtyE2e, PortsThatCannotRunTheTestSaySo) {
    Connect();
    // Held as another program holding the port would.
    int held = open(echo_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    e2e::WriteFile(dir_.File("missing.toml"),
                   "[[card]]\nbackend = \"tty\"\ndevices = [\"" + dir_.File("nothing") + "\"]\n");
    struct Case {
        std::vector<std::string> args;
        std::string config;
        std::vector<std::string> lines;
    } cases[] = {
        {{"+S", "-L1", "+l"},
         config_,
         {"ERROR: A serial port has no synchronous clock: use -mASYNC", "ERROR: Unsupported Mode"}},
        {{"-L1", "+l"}, config_, {"ERROR: A serial port has no synchronous clock: use -mASYNC"}},
        {{"-mASYNC", "+S", "-L1", "-p1", "+l"},
         config_,
         {"Error Opening Port :  \"Device or resource busy\" (0x20000010, 536870928)",
          "ERROR: Failed to open port"}},
        {{"-mASYNC", "+S", "-L1", "+l"},
         dir_.File("missing.toml"),
         {"Error Opening Port :  \"No such file or directory\" (0x20000002, 536870914)"}},
    };
    for (const Case& c : cases) {
        e2e::RunOptions options = Options();
        options.setEnv.back().second = c.config;
        RunResult r = e2e::RunOndrel(c.args, options);
        ASSERT_FALSE(r.timedOut);
        for (const std::string& text : c.lines)
            EXPECT_TRUE(r.Contains(text)) << text << "\n" << r.out;
        EXPECT_TRUE(r.HasEvent("ERROR: Unable to use the selected port")) << r.out;
        EXPECT_EQ(r.exitCode, 3) << "a port that cannot be set up";
    }
    close(held);
}

}  // namespace
