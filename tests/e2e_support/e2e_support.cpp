#include "tests/e2e_support/e2e_support.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

double TimeScale() {
    static const double scale = [] {
        const char* text = std::getenv("ONDREL_TEST_TIME_SCALE");
        if (text == nullptr) return 1.0;
        char* end = nullptr;
        double value = std::strtod(text, &end);
        return end != text && value >= 1.0 && value <= 100.0 ? value : 1.0;
    }();
    return scale;
}

int ScaledMs(int ms) { return static_cast<int>(ms * TimeScale()); }

double ScaledSeconds(double seconds) { return seconds * TimeScale(); }

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

bool RunResult::HasLine(const std::string& line) const {
    for (const std::string& l : Lines())
        if (l == line) return true;
    return false;
}

bool RunResult::HasEvent(const std::string& text) const {
    for (const std::string& line : Lines()) {
        size_t stamp = EventStampLength(line);
        if (stamp > 0 && line.compare(stamp, std::string::npos, text) == 0) return true;
    }
    return false;
}

size_t EventStampLength(const std::string& line) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // d = digit; the month is checked apart.
    static const char kShape[] = "dd MMM dddd dd:dd:dd: ";
    constexpr size_t kLength = sizeof kShape - 1;
    if (line.size() < kLength) return 0;
    for (size_t i = 0; i < kLength; ++i) {
        const char want = kShape[i];
        const char got = line[i];
        if (want == 'd' ? !std::isdigit(static_cast<unsigned char>(got))
                        : (want != 'M' && want != got))
            return 0;
    }
    for (const char* month : kMonths)
        if (line.compare(3, 3, month) == 0) return kLength;
    return 0;
}

int RunResult::Count(const std::string& text) const {
    int count = 0;
    for (size_t at = out.find(text); !text.empty() && at != std::string::npos;
         at = out.find(text, at + text.size()))
        ++count;
    return count;
}

std::vector<std::string> RunResult::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

double RunResult::LastValue(const std::string& label) const {
    double value = -1;
    for (const std::string& line : Lines()) {
        const size_t at = line.find(label);
        if (at != std::string::npos) value = std::strtod(line.c_str() + at + label.size(), nullptr);
    }
    return value;
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    return WaitForAnyOutput({text}, timeoutMs);
}

bool ChildProcess::WaitForAnyOutput(const std::vector<std::string>& texts, int timeoutMs) {
    return WaitForOutputThat(
        [&](const std::string& out) {
            for (const std::string& text : texts)
                if (out.find(text) != std::string::npos) return true;
            return false;
        },
        timeoutMs);
}

bool ChildProcess::WaitForOutputThat(const std::function<bool(const std::string& out)>& condition,
                                     int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
    while (!condition(result_.out)) {
        int left = RemainingMs(deadline);
        if (left == 0 || !Pump(left)) return condition(result_.out);
    }
    return true;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    ChildProcess child(program, args, options);
    return child.Finish(options.timeoutMs);
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

RunOptions SimRunOptions(const TempDir& dir, const std::string& name, const std::string& config) {
    const std::string path = dir.File(name);
    WriteFile(path, config);
    RunOptions options;
    options.setEnv = {
        {"HOME", dir.path()}, {"ZVBERTLOGPATH", dir.path()}, {"ONDREL_CARD_CONFIG", path}};
    options.unsetEnv = {"ONDREL_SIM_CONTROL"};
    options.timeoutMs = 20000;
    return options;
}

}  // namespace e2e
