// The command line: arguments separated by newlines, parsed into the
// settings as a run would parse them, then printed back through the usage
// of every setting a later step reads.
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "core/settings.h"

namespace {

constexpr size_t kMostArguments = 64;

std::vector<std::string> SplitArguments(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"ondrel"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < kMostArguments; ++i) {
        if (data[i] == '\n') {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty() && arguments.size() < kMostArguments) arguments.push_back(current);
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments = SplitArguments(data, size);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ResetSettings();
    ParseCommandLine(static_cast<int>(arguments.size()), argv.data());
    ResetSettings();  // the settings keep pointers into this call's arguments
    return 0;
}
