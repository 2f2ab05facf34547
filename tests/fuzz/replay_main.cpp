// Replays fuzz inputs through a target in the normal builds: every file of
// the folders (or files) named on the command line, one call each. A crash
// or a sanitizer report fails the test; a missing folder is no input.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    unsigned replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (fs::is_regular_file(argv[i], error)) {
            Replay(argv[i]);
            ++replayed;
            continue;
        }
        if (!fs::is_directory(argv[i], error)) continue;
        for (const auto& entry : fs::directory_iterator(argv[i])) {
            if (!entry.is_regular_file()) continue;
            Replay(entry.path());
            ++replayed;
        }
    }
    fprintf(stderr, "replayed %u inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
