#include "core/run_state.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/console.h"
#include "platform/last_error.h"

namespace {

// Keys come from an empty pipe, so the only keys are the ones pushed.
class StopRequest : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(pipe(fds_), 0);
        platform::ConsoleUseInput(fds_[0]);
        ClearRunState();
    }
    void TearDown() override {
        ClearRunState();
        platform::ConsoleUseInput(-1);
        close(fds_[1]);
        close(fds_[0]);
    }
    static void ClearRunState() {
        g_bQuit = g_bRxStop = g_bTxStop = g_bModbusStop = g_bRTDStop = false;
        dwStatus = STATUS_OK;
        platform::SetLastError(platform::kErrorSuccess);
    }
    // Every key pushed since the last call.
    static std::string PushedKeys() {
        std::string keys;
        for (int key = platform::ReadKey(); key >= 0; key = platform::ReadKey()) keys += char(key);
        return keys;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(StopRequest, AWorkerNotesTheFirstFailureAndLeavesTheKeyToItsEnd) {
    struct Case {
        const char* name;
        uint32_t earlier;  // dwStatus before the request
        uint32_t failure;
        uint32_t lastError;
        uint32_t status;  // dwStatus after it
        bool learntOfRemoval;
    };
    const uint32_t gone = platform::kErrorDeviceRemoved;
    const uint32_t other = platform::kErrorGenFailure;
    const Case cases[] = {
        {"an end of its own notes nothing", STATUS_OK, STATUS_OK, gone, STATUS_OK, false},
        {"a failure", STATUS_OK, STATUS_LINK_FAILED, other, STATUS_LINK_FAILED, false},
        {"the first failure stays", STATUS_TX_THREAD_FAILED, STATUS_LINK_FAILED, other,
         STATUS_TX_THREAD_FAILED, false},
        {"a removal", STATUS_OK, STATUS_LINK_FAILED, gone, STATUS_CARD_REMOVED, true},
        {"a removal explains an earlier failure", STATUS_LINK_FAILED, STATUS_LINK_FAILED, gone,
         STATUS_CARD_REMOVED, true},
        {"a removal known already", STATUS_CARD_REMOVED, STATUS_LINK_FAILED, gone,
         STATUS_CARD_REMOVED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearRunState();
        dwStatus = c.earlier;
        platform::SetLastError(c.lastError);
        EXPECT_EQ(RequestWorkerStop(g_bModbusStop, c.failure), c.learntOfRemoval);
        EXPECT_EQ(dwStatus.load(), c.status);
        EXPECT_TRUE(g_bModbusStop);
        EXPECT_TRUE(g_bQuit);
        EXPECT_FALSE(g_bRxStop || g_bTxStop || g_bRTDStop);
        EXPECT_EQ(PushedKeys(), "");
    }
}

TEST_F(StopRequest, FromOutsideALoopItWakesTheMainFlowAtOnce) {
    for (const bool haltWorkers : {false, true}) {
        SCOPED_TRACE(haltWorkers ? "workers halted" : "workers left to the main flow");
        ClearRunState();
        dwStatus = STATUS_LINK_FAILED;
        RequestStop(haltWorkers);
        EXPECT_TRUE(g_bQuit);
        EXPECT_EQ(g_bRxStop, haltWorkers);
        EXPECT_EQ(g_bTxStop, haltWorkers);
        EXPECT_EQ(g_bModbusStop, haltWorkers);
        EXPECT_EQ(dwStatus.load(), STATUS_LINK_FAILED);
        EXPECT_EQ(PushedKeys(), "x");
    }
}

}  // namespace
