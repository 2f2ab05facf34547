// The front end's command line: its own options (long, "--"), then the
// options for ondrel, passed on as they are.
#pragma once

#include <string>
#include <vector>

constexpr int kDefaultWebPort = 8470;

struct FrontEndOptions {
    int iPort = kDefaultWebPort;
    std::string ondrel;         // empty: looked up
    bool bAttach = false;       // wait for an ondrel started by hand
    std::string resultsPrefix;  // empty: ondrel-<date>-<time> here
    bool bExitAtEnd = false;
    std::string metricsAddress;  // empty: /metrics on the page's port only
    int iMetricsPort = 0;
    bool bHelp = false;
    std::vector<std::string> ondrelArgs;
};

extern const char* const kFrontEndUsage;

// False with a message for the user on a bad command line.
bool ParseFrontEndOptions(int argc, char** argv, FrontEndOptions* options, std::string* error);
