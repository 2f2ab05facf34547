#include "app/main_flow.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "platform/console.h"
#include "platform/event.h"
#include "platform/sync.h"
#include "tests/card/fake_driver.h"
#include "tests/e2e_support/e2e_support.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

using e2e::StdoutCapture;

void ResetRunState() {
    ResetSettings();
    g_bQuit = false;
    dwStatus = STATUS_OK;
    g_uInjectErrors = 0;
    g_bResetStatsPending = false;
    g_bShowStatsNow = false;
    g_bCapture = false;
    for (auto* flag : {&g_bRxStop, &g_bTxStop, &g_bModbusStop, &g_bModbusRunning,
                       &g_bStatsUpdateStop, &g_bStatsUpdateRunning, &g_bRTDStop, &g_bRTDRunning})
        *flag = false;
}

class MainFlow : public ::testing::Test {
   protected:
    void SetUp() override {
        ResetRunState();
        setenv("ZVBERTLOGPATH", logDir_.path().c_str(), 1);
        platform::ConsoleUseInput(-1);  // keys only from PushKey
    }
    void TearDown() override {
        unsetenv("ZVBERTLOGPATH");
        platform::ConsoleUseInput(-1);
        ResetRunState();
    }
    static void Push(const std::string& keys) {
        for (char key : keys) platform::PushKey(static_cast<unsigned char>(key));
    }
    e2e::TempDir logDir_;
};

TEST_F(MainFlow, KeysInjectErrorsAndRequestAResetUntilX) {
    g_Settings.bDataLogging = true;
    g_Settings.uVerbosity = 3;
    Push("1i234r?x");
    StdoutCapture capture;
    RunKeyLoop();
    std::string out = capture.Stop();
    EXPECT_EQ(g_uInjectErrors.load(), 11u);
    EXPECT_TRUE(g_bResetStatsPending);
    EXPECT_TRUE(g_bQuit);
    e2e::RunResult shown;
    shown.out = out;
    EXPECT_EQ(shown.Count(": Inject 1 bit error\n\n"), 2);
    EXPECT_EQ(shown.Count(": Inject 4 bit error\n\n"), 1);
    EXPECT_EQ(shown.Count(": Stats reset\n\n"), 1);
    EXPECT_TRUE(shown.HasLine("?: Key Help"));
}

TEST_F(MainFlow, CapitalKeysDoNothingAndEscapeEnds) {
    Push("XRS");
    platform::PushKey(27);
    RunKeyLoop();
    EXPECT_FALSE(g_bResetStatsPending);
    EXPECT_FALSE(g_bShowStatsNow);
    EXPECT_TRUE(g_bQuit);
}

TEST_F(MainFlow, OnlyTheLowByteOfAKeyCounts) {
    platform::PushKey(0x100 + '2');
    platform::PushKey(0x100 + 'x');
    RunKeyLoop();
    EXPECT_EQ(g_uInjectErrors.load(), 2u);
}

TEST_F(MainFlow, QuitRequestedByAThreadEndsTheLoopAfterTheNextKey) {
    g_bQuit = true;
    Push("r");
    RunKeyLoop();
    EXPECT_TRUE(g_bResetStatsPending);
}

TEST_F(MainFlow, KeySWakesTheReceiveSide) {
    g_hRxEvent = new platform::Event(false, false);
    platform::Event* rxEvent = g_hRxEvent;
    std::thread loop(RunKeyLoop);
    Push("s");
    EXPECT_EQ(platform::WaitForEvent(*rxEvent, 5000), platform::kWaitObject0);
    EXPECT_TRUE(g_bShowStatsNow);
    g_hRxEvent = nullptr;
    Push("x");
    loop.join();
    delete rxEvent;
}

TEST_F(MainFlow, CaptureKeyNeedsAFileName) {
    StdoutCapture withoutName;
    Push("cx");
    RunKeyLoop();
    EXPECT_EQ(withoutName.Stop(), "Cannot capture data, filename isn't specified\n");
    EXPECT_FALSE(g_bCapture);

    g_bQuit = false;
    g_Settings.pszCaptureFile = "data.cap";
    StdoutCapture notOpen;
    Push("cx");
    RunKeyLoop();
    EXPECT_FALSE(g_bCapture);
    EXPECT_EQ(notOpen.Stop(), "Cannot capture data, filename data.cap isn't open\n");

    g_bQuit = false;
    g_pCaptureFile = tmpfile();
    StdoutCapture withName;
    Push("cx");
    RunKeyLoop();
    EXPECT_TRUE(g_bCapture);
    g_bQuit = false;
    Push("cx");
    RunKeyLoop();
    EXPECT_FALSE(g_bCapture);
    EXPECT_EQ(withName.Stop(), "Start capture\nStop capture\n");
    fclose(g_pCaptureFile);
    g_pCaptureFile = nullptr;
}

TEST_F(MainFlow, WaitForKeyOutlivesTheEndOfInput) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    platform::ConsoleUseInput(fds[0]);
    ASSERT_EQ(write(fds[1], "a", 1), 1);
    close(fds[1]);
    EXPECT_EQ(WaitForKey(), 'a');
    std::thread pusher([] {
        // Late on purpose: the case is a key that comes after the input
        // ended, so there is nothing to wait for but a while.
        platform::SleepMs(30);
        platform::PushKey('x');
    });
    EXPECT_EQ(WaitForKey(), 'x');
    pusher.join();
    platform::ConsoleUseInput(-1);
    close(fds[0]);
}

// A worker that waits on its event until its stop flag is set, as the real
// ones do, and notes whether the event woke it.
// It waits at least once, so a stop asked for before it began still has to
// come with the wake-up.
struct Worker {
    void Run(std::atomic<bool>& stop, platform::Event* event) {
        started = true;
        do {
            if (platform::WaitForEvent(*event, 5000) == platform::kWaitObject0) woken = true;
        } while (!stop);
    }
    std::atomic<bool> started{false};
    std::atomic<bool> woken{false};
};

TEST_F(MainFlow, StopThreadsWakesAndJoinsTheSingleLinkThreads) {
    g_hRxEvent = new platform::Event(false, false);
    g_hTxEvent = new platform::Event(false, false);
    Worker rx, tx;
    platform::Event* rxEvent = g_hRxEvent;
    platform::Event* txEvent = g_hTxEvent;
    g_hRxThread = std::thread([&] { rx.Run(g_bRxStop, rxEvent); });
    g_hTxThread = std::thread([&] { tx.Run(g_bTxStop, txEvent); });
    ASSERT_TRUE(e2e::WaitUntil([&] { return rx.started && tx.started; }));
    StopThreads();
    EXPECT_FALSE(g_hRxThread.joinable());
    EXPECT_FALSE(g_hTxThread.joinable());
    EXPECT_TRUE(rx.woken);
    EXPECT_TRUE(tx.woken);
    StopThreads();      // nothing left to stop: returns at once
    delete g_hRxEvent;  // the port set-up may have closed it already
    g_hRxEvent = nullptr;
    delete txEvent;
    g_hTxEvent = nullptr;
}

TEST_F(MainFlow, StopThreadsWatchesTheMultiDropRunningFlags) {
    g_Settings.bMultiDrop = true;
    g_Settings.uVerbosity = 3;
    g_bModbusRunning = true;
    StdoutCapture capture;
    // Ends once the stop has seen it still running.
    g_hModbusThread = std::thread([&capture] {
        EXPECT_TRUE(e2e::WaitUntil([&] {
            return g_bModbusStop && capture.Peek().find("ModbusThread Active") != std::string::npos;
        }));
        g_bModbusRunning = false;
    });
    StopThreads();
    std::string out = capture.Stop();
    EXPECT_TRUE(g_bStatsUpdateStop);
    EXPECT_FALSE(g_hModbusThread.joinable());
    EXPECT_EQ(out.rfind("ModbusThread Active, UpdateThread is Stopped", 0), 0u) << out;
    const std::string last = "ModbusThread Stopped, UpdateThread is Stopped\n";
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
}

TEST_F(MainFlow, StopThreadsOfTheRoundTripTestLogsItsOwnLine) {
    g_Settings.bRoundTripDelay = true;
    g_Settings.uVerbosity = 3;
    StdoutCapture capture;
    StopThreads();
    EXPECT_EQ(capture.Stop(), "RTDThread Stopped, UpdateThread Stopped\n");
    EXPECT_TRUE(g_bRTDStop);
}

std::unique_ptr<card::Driver> BrokenConfiguration(std::string* error) {
    *error = "ondrel-sim.toml: line 3: unknown key";
    return nullptr;
}
std::unique_ptr<card::Driver> NothingToSay(std::string*) { return nullptr; }
// No cards: what the installation does with a driver is no matter here.
std::unique_ptr<card::Driver> WorkingDriver(std::string*) {
    return std::make_unique<fake::FakeDriver>();
}

TEST_F(MainFlow, DriverInstallationReportsAConfigurationError) {
    card::SetDriver(nullptr);
    StdoutCapture capture;
    EXPECT_FALSE(InstallDriver(BrokenConfiguration));
    EXPECT_EQ(capture.Stop(), "ERROR: Card configuration ondrel-sim.toml: line 3: unknown key\n");
    EXPECT_EQ(card::GetDriver(), nullptr);
    EXPECT_TRUE(InstallDriver(NothingToSay));
    EXPECT_EQ(card::GetDriver(), nullptr);
}

TEST_F(MainFlow, DriverInstallationKeepsAnInstalledDriver) {
    card::SetDriver(nullptr);
    ASSERT_TRUE(InstallDriver(WorkingDriver));
    card::Driver* installed = card::GetDriver();
    ASSERT_NE(installed, nullptr);
    EXPECT_TRUE(InstallDriver(BrokenConfiguration));
    EXPECT_EQ(card::GetDriver(), installed);
    card::SetDriver(nullptr);
}

}  // namespace
