// ondrel-frontend: starts `ondrel -g` (or waits for one), shows its test on a
// page on 127.0.0.1, steers it from there and writes its results.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "frontend/options.h"
#include "frontend/program_link.h"
#include "frontend/run_model.h"
#include "frontend/test_settings.h"
#include "frontend/web_server.h"
#include "gui/tags.h"
#include "platform/process.h"

namespace {

constexpr int kPollMs = 100;
constexpr int kExitFrontEndFailed = 2;

struct Session {
    RunModel model;
    ProgramLink link{model};
    WebServer web{model, link};
    int pid = -1;  // the ondrel started here, until it has ended
    int exitCode = -1;
};

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string FindOndrel(const FrontEndOptions& options) {
    if (!options.ondrel.empty()) return options.ondrel;
    const std::string folder = platform::ProgramFolder();
    for (const std::string& candidate : {folder + "ondrel", folder + "../app/ondrel"})
        if (!folder.empty() && std::filesystem::exists(candidate)) return candidate;
    return "ondrel";  // on the PATH
}

std::string DefaultPrefix() {
    char text[64];
    const std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, "ondrel-%Y%m%d-%H%M%S", &local);
    return text;
}

void Say(const std::string& text) {
    std::printf("ondrel-frontend: %s\n", text.c_str());
    std::fflush(stdout);
}

bool ProgramEnded(Session& s, int waitMs) {
    if (s.pid < 0) return true;
    if (!platform::WaitProcess(s.pid, waitMs, &s.exitCode)) return false;
    s.pid = -1;
    s.model.SetExitCode(s.exitCode);
    return true;
}

// False when the program ended first or the user gave up.
bool WaitForProgram(Session& s, bool attached) {
    while (!s.link.Accept(kPollMs)) {
        if (platform::StopSignalCount() > 0) return false;
        if (!attached && ProgramEnded(s, 0)) return false;
    }
    return true;
}

// Until the pipe has closed and the program started here has ended. A first
// Ctrl-C asks the program to stop the test; another one interrupts it (or,
// attached, lets go of it).
void FollowRun(Session& s) {
    std::atomic<bool> served{false};
    std::thread reader([&] {
        s.link.Serve();
        served = true;
    });
    int signalsSeen = 0;
    while (!served || s.pid >= 0) {
        if (s.pid >= 0)
            ProgramEnded(s, kPollMs);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        const int signals = platform::StopSignalCount();
        if (signals == signalsSeen) continue;
        if (signalsSeen++ == 0) {
            s.link.Send(ZVBERT_STOP, {});
        } else if (s.pid >= 0) {
            platform::InterruptProcess(s.pid);
        } else {
            s.link.Shutdown();
        }
    }
    reader.join();
}

// The reports went to the CSV file as they came; the JSON holds the summary.
bool WriteResults(RunModel& model, const std::string& prefix) {
    std::ofstream json(prefix + ".json", std::ios::binary);
    json << model.ResultsJson();
    json.close();
    if (json.fail()) {
        Say("cannot write the results to " + prefix + ".json and .csv");
        return false;
    }
    Say("results in " + prefix + ".json and " + prefix + ".csv");
    return true;
}

bool StartSession(Session& s, const FrontEndOptions& options, const std::string& prefix) {
    std::string error;
    if (!s.model.StreamCsvTo(prefix + ".csv", &error)) return Say(error), false;
    if (!s.link.Listen(&error)) return Say("cannot make the pipe: " + error), false;
    std::string chart = ReadWholeFile(ONDREL_CHART_JS);
    if (chart.empty())
        Say(std::string("no plots: ") + ONDREL_CHART_JS +
            " is missing (Debian package libjs-chart.js)");
    if (!s.web.Start(options.iPort, std::move(chart), &error)) return Say(error), false;
    Say("the test is shown at " + s.web.PageUrl());
    if (!options.metricsAddress.empty()) {
        if (!s.web.StartMetrics(options.metricsAddress, options.iMetricsPort, &error))
            return Say(error), false;
        Say("metrics for Prometheus at http://" + options.metricsAddress + ":" +
            std::to_string(s.web.MetricsPort()) + "/metrics");
    }
    std::vector<std::string> args = {"-g"};
    args.insert(args.end(), options.ondrelArgs.begin(), options.ondrelArgs.end());
    if (options.bAttach) {
        s.model.SetCommand({"ondrel", "(started by hand)"});
        Say("waiting for `ondrel -g` (pipe " + s.link.Path() + ")");
        return true;
    }
    const std::string ondrel = FindOndrel(options);
    args.insert(args.begin(), ondrel);
    s.model.SetCommand(args, DescribeSettings(options.ondrelArgs));
    args.erase(args.begin());
    s.pid = platform::StartProcess(ondrel, args, &error);
    if (s.pid < 0) return Say("cannot start ondrel: " + error), false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    FrontEndOptions options;
    std::string error;
    if (!ParseFrontEndOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "ondrel-frontend: %s\n%s", error.c_str(), kFrontEndUsage);
        return kExitFrontEndFailed;
    }
    if (options.bHelp) return std::printf("%s", kFrontEndUsage), 0;
    platform::CountStopSignals();
    Session s;
    const std::string prefix =
        options.resultsPrefix.empty() ? DefaultPrefix() : options.resultsPrefix;
    if (!StartSession(s, options, prefix)) return kExitFrontEndFailed;
    if (WaitForProgram(s, options.bAttach)) {
        FollowRun(s);
    } else {
        Say("ondrel never connected");
        platform::InterruptProcess(s.pid);
    }
    ProgramEnded(s, -1);
    const bool written = WriteResults(s.model, prefix);
    if (!options.bExitAtEnd) {
        Say("the test is over; the page stays up until Ctrl-C");
        const int seen = platform::StopSignalCount();
        while (platform::StopSignalCount() == seen)
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    s.web.Stop();
    if (!written) return kExitFrontEndFailed;
    return options.bAttach ? 0 : s.exitCode;
}
