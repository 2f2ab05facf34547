// The multi-drop end-to-end fixture: one simulated multi-drop line per test,
// slave processes that answer until the test takes them down, and the
// per-slave report lines of the master.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace md {

using e2e::RunResult;

// Exit codes of a test that lost its pattern after finding it, and of one
// that never found it.
constexpr int kExitLostSync = 7;
constexpr int kExitNeverInSync = 8;

// A slow line with short polls: the master's reply time-out (about 0.6 s)
// leaves room for slaves slowed down by a sanitizer on a busy machine.
const std::string kRate = "-k9600";
const std::string kLength = "+d32";

class MultiDropE2e : public ::testing::Test {
   protected:
    // One line per test and process: ctest runs tests side by side.
    // extra: more of the configuration after the card's keys ([[card.fault]]).
    // top: keys of the simulator before the card (truth_file).
    e2e::RunOptions Options(const std::string& impairments = "", const std::string& extra = "",
                            const std::string& top = "") const {
        const std::string name = "md" + std::to_string(getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string config =
            top + "[[card]]\nports = 1\nline = \"multidrop\"\nline_name = \"" + name + "\"\n";
        if (!impairments.empty()) config += "[card.impairment]\n" + impairments;
        config += extra;
        return e2e::SimRunOptions(dir_, "md.toml", config);
    }
    // Slaves answer until the test takes them down.
    void StartSlave(int id, const std::string& impairments = "",
                    const std::vector<std::string>& more = {}, const std::string& extra = "",
                    const std::string& top = "") {
        std::vector<std::string> args{"+Ms" + std::to_string(id), kRate, "+l"};
        args.insert(args.end(), more.begin(), more.end());
        slaves_.push_back(std::make_unique<e2e::ChildProcess>(ONDREL_BINARY, args,
                                                              Options(impairments, extra, top)));
        ASSERT_TRUE(slaves_.back()->WaitForOutput("Test Started", 5000))
            << slaves_.back()->Output();
    }
    RunResult RunMaster(const std::vector<std::string>& args) {
        RunResult r = e2e::RunOndrel(args, Options());
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

    e2e::TempDir dir_;
    std::vector<std::unique_ptr<e2e::ChildProcess>> slaves_;
};

}  // namespace md
