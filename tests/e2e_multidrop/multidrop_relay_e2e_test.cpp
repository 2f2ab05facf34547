// The simulated multi-drop line when the member that relays it stops (SIGSTOP)
// with its sockets open: the others meet again without it, and it comes back
// once it runs again.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "tests/e2e_multidrop/multidrop_fixture.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;
using md::kLength;
using md::kRate;
using md::MultiDropE2e;

// Whether text comes in the child's output after its first `from` bytes
// within timeoutMs (scaled).
bool OutputAfter(e2e::ChildProcess& child, size_t from, const std::string& text, int timeoutMs) {
    return child.WaitForOutputThat(
        [&](const std::string& out) { return out.find(text, from) != std::string::npos; },
        timeoutMs);
}

size_t CountAfter(const std::string& out, size_t from, const std::string& text) {
    size_t count = 0;
    for (size_t at = out.find(text, from); at != std::string::npos; at = out.find(text, at + 1))
        ++count;
    return count;
}

// Slave 1 started first and relays the line. Stopped, it answers nobody; the
// master and slave 2 drop it from their line within the line's silence time
// and a poll time-out, and slave 2 is answered again. Let go on, slave 1
// rejoins and answers its polls again.
TEST_F(MultiDropE2e, AStoppedRelayLeavesTheOthersPolling) {
    for (int id : {1, 2}) StartSlave(id);
    // -v3: every poll says so ("SlaveId N, BER is").
    e2e::ChildProcess master(ONDREL_BINARY, {"+Mm1.2", kRate, kLength, "+q", "-L60", "-v3", "+l"},
                             Options());
    ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 8000)) << master.Output();
    slaves_[0]->Signal(SIGSTOP);
    ASSERT_TRUE(master.WaitForOutput("SlaveId 1, No Data", 8000)) << master.Output();
    const size_t stopped = master.Output().size();
    // 1.5 s of silence, a new meeting and a poll time-out or two.
    EXPECT_TRUE(OutputAfter(master, stopped, "SlaveId 2, In Sync", 6000)) << master.Output();
    const size_t polledAgain = master.Output().size();
    slaves_[0]->Signal(SIGCONT);
    EXPECT_TRUE(OutputAfter(master, polledAgain, "SlaveId 1, In Sync", 8000)) << master.Output();
    // Slave 2's figures count only polls after its return to sync: a few of
    // them before the end, however slowly a sanitizer lets them come.
    const size_t bothBack = master.Output().size();
    EXPECT_TRUE(master.WaitForOutputThat(
        [&](const std::string& out) { return CountAfter(out, bothBack, "SlaveId 2, BER is") >= 3; },
        8000))
        << master.Output();
    master.Type("x");
    RunResult r = master.Finish(20000);
    for (auto& slave : slaves_) slave->Signal(SIGTERM);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_FALSE(r.Contains("No Active Slaves")) << r.out;
    EXPECT_GT(Field(LastSlaveLine(r, 2), "Rx"), 0) << r.out;
    EXPECT_EQ(Field(LastSlaveLine(r, 2), "BitErr"), 0) << r.out;
    // Both slaves lost their sync once after finding it.
    EXPECT_EQ(r.exitCode, md::kExitLostSync) << r.out;
}

}  // namespace
