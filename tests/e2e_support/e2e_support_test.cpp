// The helper itself: exit codes, stdin, environment, time-out and stamps.
#include "tests/e2e_support/e2e_support.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace {

const char* const kShell = "/bin/sh";

TEST(RunProgram, GivesExitCodeOutputAndErrors) {
    e2e::RunResult r = e2e::RunProgram(kShell, {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_FALSE(r.timedOut);
}

TEST(RunProgram, FeedsStdinAndChangesTheEnvironment) {
    e2e::RunOptions options;
    options.stdinText = "typed";
    options.setEnv = {{"ONDREL_E2E_VALUE", "set"}};
    options.unsetEnv = {"HOME"};
    e2e::RunResult r =
        e2e::RunProgram(kShell, {"-c", "cat; echo \" $ONDREL_E2E_VALUE ${HOME-none}\""}, options);
    EXPECT_EQ(r.out, "typed set none\n");
}

TEST(RunProgram, KillsAProgramThatOverrunsItsTime) {
    e2e::RunOptions options;
    options.timeoutMs = 200;
    e2e::RunResult r = e2e::RunProgram(kShell, {"-c", "exec sleep 20"}, options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
}

TEST(ChildProcess, WaitsForOutputAndDeliversSignals) {
    e2e::ChildProcess child(
        kShell, {"-c", "trap 'echo term; exit 5' TERM; echo ready; while :; do sleep 0.01; done"});
    ASSERT_TRUE(child.WaitForOutput("ready", 5000));
    child.Signal(SIGTERM);
    e2e::RunResult r = child.Finish(5000);
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_TRUE(r.HasLine("term"));
}

TEST(EventStamp, RecognisesTheLogEventPrefix) {
    EXPECT_EQ(e2e::EventStampLength("08 Dec 2026 13:19:00: Test completed"), 22u);
    EXPECT_EQ(e2e::EventStampLength("08 Dek 2026 13:19:00: x"), 0u);
    EXPECT_EQ(e2e::EventStampLength("8 Dec 2026 13:19:00: x"), 0u);
    EXPECT_EQ(e2e::EventStampLength("08 Dec 2026 13:19:00"), 0u);
    e2e::RunResult r;
    r.out = "x\n08 Dec 2026 13:19:00: Stats reset\n";
    EXPECT_TRUE(r.HasEvent("Stats reset"));
    EXPECT_FALSE(r.HasEvent("Stats"));
}

}  // namespace
