// Random argument lists against the real binary: option letters with edge
// values, drawn with a fixed seed. Whatever the list, the run ends in time
// (x is typed at once) with one of the documented exit codes and without a
// sanitizer report.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

constexpr unsigned kSeed = 20261209;
constexpr int kMostLists = 2000;
constexpr auto kTimeBound = std::chrono::seconds(60);
constexpr int kRunTimeoutMs = 20000;

// 0 and 1 test outcomes, 2 driver configuration, 3 to 5 a test that could
// not run, lost its card or was refused by it, 255 a command line that is not
// understood.
const std::set<int> kDocumentedExitCodes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 255};

const std::vector<std::string> kLetters = {
    "-c", "-C", "-p",  "-P",  "-m", "-M", "-i", "-I", "-n", "-k", "-K", "-a", "-y", "-z", "-X",
    "-N", "-e", "-E",  "-x",  "-r", "-R", "-q", "-Q", "-t", "-T", "-l", "-L", "-S", "-s", "-b",
    "-B", "-o", "-O",  "-d",  "-D", "-v", "-V", "-w", "-g", "+x", "+v", "+S", "+l", "+u", "+U",
    "+c", "+C", "+Mm", "+Ms", "+q", "+d", "+D", "+R", "+r", "+t", "-A", "+Z", "-",  "+"};

const std::vector<std::string> kValues = {"",
                                          "0",
                                          "1",
                                          "2",
                                          "3",
                                          "4",
                                          "7",
                                          "-1",
                                          "31",
                                          "32",
                                          "247",
                                          "248",
                                          "249",
                                          "250",
                                          "255",
                                          "65535",
                                          "2147483647",
                                          "2147483648",
                                          "4294967295",
                                          "4294967296",
                                          "99999999999999999999",
                                          "-2147483649",
                                          "SYNC",
                                          "ASYNC",
                                          "V.24",
                                          "X.21",
                                          "RS485-2W",
                                          "RS485-4W",
                                          "NRZ",
                                          "MAN",
                                          "DMAN",
                                          "NONE",
                                          "ODD",
                                          "MARK",
                                          "RTS",
                                          "XON",
                                          "2047",
                                          "2^23",
                                          "QRSS",
                                          "1:7",
                                          "FOX",
                                          "USER",
                                          "MK",
                                          "BIN",
                                          "HEX",
                                          "1.4,6,8",
                                          "1.",
                                          ".5",
                                          "1,,2",
                                          "0.300",
                                          "!",
                                          "1.3!",
                                          "5.2",
                                          "abc",
                                          "%s%n",
                                          "pattern.bin",
                                          "1000000000"};

std::vector<std::string> RandomArguments(std::mt19937& random) {
    std::uniform_int_distribution<int> count(0, 6);
    std::uniform_int_distribution<size_t> letter(0, kLetters.size() - 1);
    std::uniform_int_distribution<size_t> value(0, kValues.size() - 1);
    std::vector<std::string> arguments;
    for (int n = count(random); n > 0; --n)
        arguments.push_back(kLetters[letter(random)] + kValues[value(random)]);
    // Short lines and fast rates keep each test that starts brief.
    arguments.push_back("-L1");
    return arguments;
}

std::string Joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& a : arguments) text += a + " ";
    return text;
}

bool HasSanitizerReport(const std::string& err) {
    return err.find("Sanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos;
}

TEST(CommandLineRandom, EveryListEndsInTimeWithADocumentedCode) {
    e2e::TempDir dir;
    e2e::RunOptions options;
    options.stdinText = "x";
    options.workDir = dir.path();
    options.setEnv = {{"HOME", dir.path()}, {"ZVBERTLOGPATH", dir.path()}};
    options.unsetEnv = {"ONDREL_SIM_CONFIG", "ONDREL_SIM_CONTROL"};
    options.timeoutMs = kRunTimeoutMs;

    std::mt19937 random(kSeed);
    const auto start = std::chrono::steady_clock::now();
    int runs = 0;
    for (; runs < kMostLists && std::chrono::steady_clock::now() - start < kTimeBound; ++runs) {
        const std::vector<std::string> arguments = RandomArguments(random);
        const e2e::RunResult r = e2e::RunOndrel(arguments, options);
        ASSERT_FALSE(r.timedOut) << Joined(arguments);
        ASSERT_EQ(r.signal, 0) << Joined(arguments) << "\n" << r.err;
        ASSERT_TRUE(kDocumentedExitCodes.count(r.exitCode))
            << r.exitCode << ": " << Joined(arguments);
        ASSERT_FALSE(HasSanitizerReport(r.err)) << Joined(arguments) << "\n" << r.err;
    }
    RecordProperty("runs", runs);
    EXPECT_GT(runs, 100) << "too few lists within the time bound";
}

}  // namespace
