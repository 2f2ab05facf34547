#include "frontend/options.h"

const char* const kFrontEndUsage =
    "Usage: ondrel-frontend [front-end options] [ondrel options]\n"
    "Starts `ondrel -g` with the ondrel options and shows the test on a page at\n"
    "http://127.0.0.1:<port>/, where it can also be steered and its results downloaded.\n"
    "  --port N          port of the page on 127.0.0.1 (default 8470; 0: any free one)\n"
    "  --ondrel PATH     the ondrel program (default: beside this one, else on the PATH)\n"
    "  --attach          start no ondrel: wait for one started by hand with -g\n"
    "  --results PREFIX  write the results to PREFIX.json and PREFIX.csv\n"
    "                    (default ondrel-<date>-<time> in the current folder)\n"
    "  --exit            end as soon as the test has ended and the results are written\n"
    "                    (otherwise the page stays up until Ctrl-C)\n"
    "  --metrics HOST:PORT  serve /metrics (read only, no token) on this address too,\n"
    "                    for a Prometheus on another machine (e.g. 0.0.0.0:9470)\n"
    "  --help            this text\n"
    "The page's address carries a token for this run: other users of the machine\n"
    "reach 127.0.0.1 too. The page's /metrics needs it as well (?token=...).\n"
    "Example: ondrel-frontend --port 8080 +S -k64000 -L60\n";

namespace {

bool ReadPort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(text);
    return *port <= 65535;
}

}  // namespace

bool ParseFrontEndOptions(int argc, char** argv, FrontEndOptions* options, std::string* error) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) break;  // ondrel's options from here on
        const bool hasValue =
            arg == "--port" || arg == "--ondrel" || arg == "--results" || arg == "--metrics";
        if (hasValue && i + 1 >= argc) return *error = arg + " needs a value", false;
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--port") {
            if (!ReadPort(argv[++i], &options->iPort))
                return *error = "--port: a number from 0 to 65535", false;
        } else if (arg == "--metrics") {
            const std::string value = argv[++i];
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !ReadPort(value.substr(colon + 1), &options->iMetricsPort))
                return *error = "--metrics: HOST:PORT, e.g. 0.0.0.0:9470", false;
            options->metricsAddress = value.substr(0, colon);
        } else if (arg == "--ondrel") {
            options->ondrel = argv[++i];
        } else if (arg == "--results") {
            options->resultsPrefix = argv[++i];
        } else if (arg == "--attach") {
            options->bAttach = true;
        } else if (arg == "--exit") {
            options->bExitAtEnd = true;
        } else if (arg == "--help") {
            options->bHelp = true;
        } else {
            return *error = "unknown option " + arg, false;
        }
    }
    for (; i < argc; ++i) options->ondrelArgs.push_back(argv[i]);
    if (options->bAttach && !options->ondrelArgs.empty())
        return *error = "--attach starts no ondrel: its options go to the ondrel started by hand",
               false;
    return true;
}
