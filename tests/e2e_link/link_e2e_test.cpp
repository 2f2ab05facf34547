// Software-mode tests of the real binary on the simulated card: sync and
// reports, injected errors, asynchronous characters, capture and the stop
// rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/settings.h"
#include "pattern/pattern.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

constexpr int kRunTimeoutMs = 20000;
constexpr int kSyncTimeoutMs = 8000;

class SoftwareLink : public ::testing::Test {
   protected:
    e2e::RunOptions Options(const std::string& simConfig = "") const {
        e2e::RunOptions options;
        options.setEnv = {{"HOME", home_.path()}, {"ZVBERTLOGPATH", home_.path()}};
        if (simConfig.empty()) {
            options.unsetEnv = {"ONDREL_SIM_CONFIG"};
        } else {
            const std::string path = home_.File("sim.toml");
            e2e::WriteFile(path, simConfig);
            options.setEnv.emplace_back("ONDREL_SIM_CONFIG", path);
        }
        options.timeoutMs = kRunTimeoutMs;
        return options;
    }

    // Runs with the keys typed once the test is in sync.
    RunResult RunWithKeysAfterSync(const std::vector<std::string>& args, const std::string& keys,
                                   const std::string& simConfig = "") {
        e2e::ChildProcess child(ONDREL_BINARY, args, Options(simConfig));
        EXPECT_TRUE(child.WaitForOutput("In sync", kSyncTimeoutMs)) << child.Output();
        child.Type(keys);
        return child.Finish(kRunTimeoutMs);
    }

    // The errors line of the last report.
    static std::string LastErrorsLine(const RunResult& r) {
        std::string last;
        for (const std::string& line : r.Lines())
            if (line.rfind("BitErr=", 0) == 0) last = line;
        return last;
    }

    static int64_t LastRxCount(const RunResult& r) {
        int64_t count = -1;
        for (const std::string& line : r.Lines()) {
            const size_t at = line.find(" RxCount=");
            if (line.rfind("TxCount=", 0) == 0 && at != std::string::npos)
                count = std::strtoll(line.c_str() + at + 9, nullptr, 10);
        }
        return count;
    }

    static void ExpectCleanRun(const RunResult& r) {
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.HasEvent("In sync")) << r.out;
        EXPECT_EQ(LastErrorsLine(r).rfind("BitErr=0 BlockErr=0 ", 0), 0u) << r.out;
        EXPECT_FALSE(r.HasEvent("LOS")) << r.out;
        EXPECT_FALSE(r.Contains("no clock/data")) << r.out;
        EXPECT_TRUE(r.HasEvent("Test completed")) << r.out;
    }

    e2e::TempDir home_;
};

TEST_F(SoftwareLink, DefaultTestSyncsReportsAndEndsOnTime) {
    RunResult r = e2e::RunOndrel({"+S", "-L3", "+l", "-v4"}, Options());
    ExpectCleanRun(r);
    EXPECT_GE(r.Count("Duration(s)="), 4) << r.out;
    EXPECT_TRUE(r.HasLine("Stop on Time 3")) << r.out;
    EXPECT_TRUE(r.HasLine("KVIOEventThread exit"));
    EXPECT_TRUE(r.HasLine("TxEventThread exit"));
    EXPECT_GT(LastRxCount(r), 3 * 19200 * 9 / 10) << r.out;
}

TEST_F(SoftwareLink, ReceiveRequestsReplaceARingTheDriverRefuses) {
    RunResult r = e2e::RunOndrel({"+S", "-L2", "+l"},
                                 Options("[[card]]\n[[card.fault]]\nrequest = \"ring_read\"\n"));
    ExpectCleanRun(r);
    EXPECT_GT(LastRxCount(r), 2 * 19200 * 9 / 10) << r.out;
}

const char kInjectKeys[] = "1234i";  // 1 + 2 + 3 + 4 + 1 = 11 errors

TEST_F(SoftwareLink, KeysInjectExactlyElevenErrorsThroughTheCard) {
    RunResult r = RunWithKeysAfterSync({"+S", "-L4", "-q1", "-k64000", "+l", "-v3"}, kInjectKeys);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(LastErrorsLine(r).rfind("BitErr=11 ", 0), 0u) << r.out;
    EXPECT_FALSE(r.Contains("Failed to inject errors"));
    EXPECT_TRUE(r.Contains("errors injected")) << r.out;
}

TEST_F(SoftwareLink, KeysInjectExactlyElevenErrorsByTheHostOnAnOldCard) {
    RunResult r = RunWithKeysAfterSync({"+S", "-L4", "-q1", "-k64000", "+l", "-v3"}, kInjectKeys,
                                       "[[card]]\nrevision = 0x103\n");
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(LastErrorsLine(r).rfind("BitErr=11 ", 0), 0u) << r.out;
    // A card without an injector is no failure: the host flips the bits.
    EXPECT_FALSE(r.Contains("Failed to inject errors")) << r.out;
    EXPECT_EQ(r.Count("errors injected in the transmitted data"), 2) << r.out;
}

TEST_F(SoftwareLink, SevenBitAsynchronousCharactersCarryThePattern) {
    ExpectCleanRun(e2e::RunOndrel({"+S", "-mASYNC", "-a7", "-L2", "+l"}, Options()));
}

TEST_F(SoftwareLink, FiveBitTextRunsInSync) {
    ExpectCleanRun(e2e::RunOndrel({"+S", "-mASYNC", "-a5", "-tFOX", "-L2", "+l"}, Options()));
}

TEST_F(SoftwareLink, InvertedLineIsUndoneInSoftwareWhenTheCardCannotInvert) {
    // The card cannot invert: the automatic inversion has to undo an
    // inverted line in software.
    RunResult r =
        e2e::RunOndrel({"+S", "+v", "-L2", "+l"},
                       Options("[[card]]\ncan_invert = false\n[card.impairment]\ninvert = true\n"));
    ExpectCleanRun(r);
    EXPECT_TRUE(r.HasEvent("*^Rx Inverted")) << r.out;
    EXPECT_EQ(r.Count("Rx Inverted"), 1) << r.out;
}

// ---- capture ------------------------------------------------------------------

// True when bytes are one unbroken stretch of the 2^11-1 sequence.
::testing::AssertionResult IsUnbrokenSequence(const std::string& bytes) {
    constexpr uint32_t kPeriod = 2047;
    if (bytes.size() < 2)
        return ::testing::AssertionFailure() << "only " << bytes.size() << " bytes";
    std::vector<uint8_t> period(kPeriod);
    SeedScram(2, 1, 0);
    uint32_t position = 0;
    FillPatternBufferFrom(PATTERN_2047, period.data(), kPeriod, 2, position);
    // Sixteen bits fix the place in the sequence.
    uint32_t start = kPeriod;
    for (uint32_t i = 0; i < kPeriod && start == kPeriod; ++i)
        if (period[i] == uint8_t(bytes[0]) && period[(i + 1) % kPeriod] == uint8_t(bytes[1]))
            start = i;
    if (start == kPeriod) return ::testing::AssertionFailure() << "not the sequence";
    for (size_t i = 0; i < bytes.size(); ++i)
        if (uint8_t(bytes[i]) != period[(start + i) % kPeriod])
            return ::testing::AssertionFailure() << "break at byte " << i << " of " << bytes.size();
    return ::testing::AssertionSuccess();
}

TEST_F(SoftwareLink, BinaryCaptureHoldsTheReceivedStream) {
    const std::string file = home_.File("capture.bin");
    RunResult r = RunWithKeysAfterSync({"+S", "-L2", "+l", "+c" + file}, "c");
    ExpectCleanRun(r);
    EXPECT_TRUE(r.HasLine("Start capture"));
    const std::string bytes = e2e::ReadFile(file);
    EXPECT_GT(bytes.size(), 1000u);
    EXPECT_TRUE(IsUnbrokenSequence(bytes));
}

TEST_F(SoftwareLink, HexCaptureWritesLinesOfSixteenItems) {
    const std::string file = home_.File("capture.txt");
    RunResult r = RunWithKeysAfterSync({"+S", "-L2", "+l", "+c" + file, "+CHEX"}, "c");
    ExpectCleanRun(r);
    const std::string text = e2e::ReadFile(file);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    std::string bytes;
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t end = text.find('\n', lineStart);
        const bool last = end == std::string::npos;
        if (last) end = text.size();
        const std::string line = text.substr(lineStart, end - lineStart);
        if (!last) {
            ASSERT_EQ(line.size(), 48u) << "line at " << lineStart;
        }
        ASSERT_TRUE(line.size() % 3 == 0 && !line.empty() && line.size() <= 48) << line;
        for (size_t i = 0; i < line.size(); i += 3) {
            ASSERT_EQ(line[i + 2], ' ');
            ASSERT_TRUE(isxdigit(line[i]) && isxdigit(line[i + 1]) && !islower(line[i]) &&
                        !islower(line[i + 1]));
            bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
        lineStart = end + 1;
    }
    EXPECT_GT(bytes.size(), 1000u);
    EXPECT_TRUE(IsUnbrokenSequence(bytes));
}

// ---- stop rules -----------------------------------------------------------------

TEST_F(SoftwareLink, StopOnErrorEndsAtTheFirstErrorAfterSync) {
    RunResult r = RunWithKeysAfterSync({"+S", "-s", "-q1", "-k64000", "+l", "-v4"}, "1");
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.HasLine("Stop on Error 1")) << r.out;
    EXPECT_EQ(LastErrorsLine(r).rfind("BitErr=1 ", 0), 0u) << r.out;
}

TEST_F(SoftwareLink, TestLengthStopsOnceThatManyBitsWereCountedInSync) {
    RunResult r = e2e::RunOndrel({"+S", "-l1000000", "-k1000000", "+l", "-v4"}, Options());
    ExpectCleanRun(r);
    const int64_t counted = LastRxCount(r);
    EXPECT_GE(counted, 1000000) << r.out;
    // One pass further at most.
    EXPECT_LT(counted, 1000000 + 8 * 8192) << r.out;
    EXPECT_TRUE(r.Contains("Stop on Bits ")) << r.out;
}

TEST_F(SoftwareLink, ReceiveOnlyWithoutDataStopsAtTheNoSyncTimeOut) {
    RunResult r = e2e::RunOndrel({"+S", "-d3", "-L5", "-S1", "+l", "-v4"}, Options());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 8);  // never in sync: not a clean line
    EXPECT_TRUE(r.HasLine("Stop on Sync Time 1")) << r.out;
    EXPECT_FALSE(r.HasEvent("In sync"));
    EXPECT_FALSE(r.Contains("TxEventThread"));
    EXPECT_EQ(LastRxCount(r), 0) << r.out;
}

}  // namespace
