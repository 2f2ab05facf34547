// The front end's slave list and statistics reset against a real multi-drop
// master and its slaves, and the slave-list message sent to a test that has
// no slaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
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
const std::string kRate = "-k9600";
const std::string kLength = "+d32";

class MultiDropFrontEnd : public ::testing::Test {
   protected:
    std::string LineConfig() const {
        const std::string name = "mdfe" + std::to_string(getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        return "[[card]]\nports = 1\nline = \"multidrop\"\nline_name = \"" + name + "\"\n";
    }
    void StartSlave(int id) {
        slaves_.push_back(std::make_unique<e2e::ChildProcess>(
            ONDREL_BINARY, std::vector<std::string>{"+Ms" + std::to_string(id), kRate, "+l"},
            e2e::SimRunOptions(home_, "slave.toml", LineConfig())));
        ASSERT_TRUE(slaves_.back()->WaitForOutput("Test Started", kWaitMs))
            << slaves_.back()->Output();
    }
    void StartWithFrontEnd(const std::vector<std::string>& args, const std::string& config) {
        frontEnd_ = std::make_unique<ScriptedFrontEnd>(runtime_.path());
        e2e::RunOptions options = e2e::SimRunOptions(home_, "sim.toml", config);
        options.setEnv.push_back({"XDG_RUNTIME_DIR", runtime_.path()});
        std::vector<std::string> all = {"-g", "+l"};
        all.insert(all.end(), args.begin(), args.end());
        child_ = std::make_unique<e2e::ChildProcess>(ONDREL_BINARY, all, options);
        ASSERT_TRUE(frontEnd_->Accept(kWaitMs));
        ASSERT_TRUE(Await(ZVBERT_TEST_STARTED, kWaitMs));
    }
    // Reads the program's output while waiting: a full pipe would hold it.
    bool Await(uint32_t tag, int timeoutMs,
               const std::function<bool(const TlvRecord&)>& test = nullptr, size_t from = 0) {
        for (int waited = 0;; waited += kPumpMs) {
            if (frontEnd_->WaitFor(tag, 0, test, from)) return true;
            if (waited >= timeoutMs) return false;
            child_->WaitForOutput("\x01", kPumpMs);
        }
    }
    // Waits for text in the output from the offset from on.
    bool WaitForOutputAfter(const std::string& text, size_t from, int timeoutMs) {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::ScaledMs(timeoutMs));
        while (child_->Output().find(text, from) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            child_->WaitForOutput("\x01", kPumpMs);
        }
        return true;
    }
    static std::function<bool(const TlvRecord&)> SlaveValue(uint8_t slave, int64_t value) {
        return [=](const TlvRecord& r) { return r.Byte(0) == slave && int64_t(r.U64(1)) == value; };
    }
    RunResult Finish() {
        RunResult r = child_->Finish(20000);
        for (auto& slave : slaves_) slave->Signal(SIGTERM);
        for (auto& slave : slaves_) EXPECT_FALSE(slave->Finish(10000).timedOut);
        return r;
    }
    static std::string LastSlaveLine(const RunResult& r, int id) {
        std::string found;
        const std::string key = "Slave=" + std::to_string(id) + " ";
        for (const std::string& line : r.Lines()) {
            const size_t at = line.find(key);
            if (at != std::string::npos) found = line.substr(at);
        }
        return found;
    }
    static int64_t Field(const std::string& line, const std::string& label) {
        const size_t at = line.find(" " + label + "=");
        return at == std::string::npos ? -1 : std::stoll(line.substr(at + label.size() + 2));
    }

    e2e::TempDir runtime_;
    e2e::TempDir home_;
    std::unique_ptr<ScriptedFrontEnd> frontEnd_;
    std::unique_ptr<e2e::ChildProcess> child_;
    std::vector<std::unique_ptr<e2e::ChildProcess>> slaves_;
};

// A single-link test has no slave list: a poll request must leave its own
// generators alone.
TEST_F(MultiDropFrontEnd, PollRequestOutsideAMasterChangesNothing) {
    StartWithFrontEnd({"+S", "-k64000", "-L3"}, "[[card]]\n");
    ASSERT_TRUE(
        Await(ZVBERT_SYNC_STATE, kWaitMs, [](const TlvRecord& r) { return r.Byte(0) == 1; }));
    frontEnd_->Send(ZVBERT_MULTIDROP_POLL_SLAVE, {1, 1});
    frontEnd_->Send(ZVBERT_MULTIDROP_POLL_SLAVE, {2, 1});
    ASSERT_TRUE(Await(ZVBERT_TEST_ENDED, kWaitMs * 2));
    frontEnd_->Send(ZVBERT_END_ACK);
    RunResult r = Finish();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.LastValue("BitErr="), 0) << r.out;
    EXPECT_FALSE(r.Contains("UpdateSlaveList")) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
}

// After a reset every figure goes to the front end again, those back at 0
// too, so the page shows what the console shows.
TEST_F(MultiDropFrontEnd, ResetSendsEveryFigureAgain) {
    StartSlave(1);
    StartWithFrontEnd({"+Mm1", kRate, kLength, "-L20"}, LineConfig());
    ASSERT_TRUE(child_->WaitForOutput("All Slaves Now Sync'd", kWaitMs)) << child_->Output();
    frontEnd_->Send(ZVBERT_INJECT_ERRORS, {3});
    ASSERT_TRUE(Await(ZVBERT_SLAVE_BIT_ERRORS, kWaitMs, SlaveValue(1, 3))) << child_->Output();
    const size_t mark = frontEnd_->Mark();
    frontEnd_->Send(ZVBERT_RESET_STATS);
    EXPECT_TRUE(Await(ZVBERT_SLAVE_BIT_ERRORS, kWaitMs, SlaveValue(1, 0), mark))
        << child_->Output();
    frontEnd_->Send(ZVBERT_STOP);
    RunResult r = Finish();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(Field(LastSlaveLine(r, 1), "BitErr"), 0) << r.out;
    EXPECT_EQ(frontEnd_->Last64(ZVBERT_SLAVE_BIT_ERRORS, 1), 0);
}

// A slave added while the test runs starts its own figures; the others keep
// theirs and the test time goes on.
TEST_F(MultiDropFrontEnd, AddingASlaveKeepsTheOthersFigures) {
    StartSlave(1);
    StartSlave(2);
    StartWithFrontEnd({"+Mm1", kRate, kLength, "-L20"}, LineConfig());
    ASSERT_TRUE(child_->WaitForOutput("All Slaves Now Sync'd", kWaitMs)) << child_->Output();
    frontEnd_->Send(ZVBERT_INJECT_ERRORS, {3});
    ASSERT_TRUE(Await(ZVBERT_SLAVE_BIT_ERRORS, kWaitMs, SlaveValue(1, 3))) << child_->Output();
    frontEnd_->Send(ZVBERT_MULTIDROP_POLL_SLAVE, {2, 1});
    ASSERT_TRUE(child_->WaitForOutput("SlaveId 2, First Sync", kWaitMs)) << child_->Output();
    // A report of both after the first sync of slave 2.
    EXPECT_TRUE(WaitForOutputAfter("Slave=2 ", child_->Output().size(), kWaitMs))
        << child_->Output();
    frontEnd_->Send(ZVBERT_STOP);
    RunResult r = Finish();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.Count("All Slaves Now Sync'd"), 1) << r.out;
    EXPECT_EQ(Field(LastSlaveLine(r, 1), "BitErr"), 3) << r.out;
    EXPECT_EQ(Field(LastSlaveLine(r, 2), "BitErr"), 0) << r.out;
    EXPECT_GT(Field(LastSlaveLine(r, 2), "Rx"), 0) << r.out;
    EXPECT_EQ(r.exitCode, 0) << r.out;
}

// A slave taken off the list while its poll waits for a reply that never
// comes is counted off once: the other slave is polled to the end.
TEST_F(MultiDropFrontEnd, RemovingASlaveWhileItsPollWaitsKeepsTheCount) {
    StartSlave(1);
    StartSlave(2);
    StartWithFrontEnd({"+Mm1.2", kRate, kLength, "-L4", "-v4"}, LineConfig());
    ASSERT_TRUE(child_->WaitForOutput("All Slaves Now Sync'd", kWaitMs)) << child_->Output();
    // Slave 1 relays the line; slave 2 goes, and its next poll waits in vain.
    slaves_[1]->Signal(SIGKILL);
    ASSERT_TRUE(WaitForOutputAfter("SlaveId now 2", child_->Output().size(), kWaitMs))
        << child_->Output();
    frontEnd_->Send(ZVBERT_MULTIDROP_POLL_SLAVE, {2, 0});
    ASSERT_TRUE(Await(ZVBERT_TEST_ENDED, kWaitMs * 2)) << child_->Output();
    frontEnd_->Send(ZVBERT_END_ACK);
    RunResult r = Finish();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_FALSE(r.Contains("No Active Slaves")) << r.out;
    EXPECT_TRUE(r.HasLine("active slaves is now 1")) << r.out;
    EXPECT_TRUE(r.HasLine("StatsUpdateThread, Stop on Time 4")) << r.out;
    EXPECT_GT(Field(LastSlaveLine(r, 1), "Duration"), 0) << r.out;
}

}  // namespace
