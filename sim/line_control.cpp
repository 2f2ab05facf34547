#include "sim/line_control.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/file.h"
#include "platform/process.h"

namespace sim {
namespace {

constexpr size_t kMaxControlBytes = 64 * 1024;

}  // namespace

ControlFile::ControlFile(std::string path, std::vector<ImpairmentConfig> configured)
    : path_(std::move(path)), configured_(std::move(configured)) {}

// The file as it is now; nullopt when there is none to read. A name that
// is not a regular file is reported once and then read as absent: the
// driver thread that polls it must never wait on it.
std::optional<std::string> ControlFile::Read() {
    platform::FileProblem problem;
    std::optional<std::string> text = platform::ReadRegularFile(path_, kMaxControlBytes, &problem);
    if (text || !platform::PathExists(path_)) {
        reported_.clear();
        return text;
    }
    if (problem.text != reported_)
        std::fprintf(stderr, "impairment control %s: %s, ignored\n", path_.c_str(),
                     problem.text.c_str());
    reported_ = problem.text;
    return std::nullopt;
}

std::optional<std::vector<ImpairmentConfig>> ControlFile::Poll() {
    std::optional<std::string> text = Read();
    if (text == lastText_) return std::nullopt;
    bool hadFile = lastText_.has_value();
    lastText_ = text;
    if (!text) {
        if (!hadFile) return std::nullopt;
        return configured_;
    }
    if (text->size() > size_t(kMaxControlBytes)) {
        std::fprintf(stderr, "impairment control %s: larger than %d bytes, ignored\n",
                     path_.c_str(), int(kMaxControlBytes));
        return std::nullopt;
    }
    std::vector<ImpairmentConfig> settings(configured_.size());
    for (size_t i = 0; i < configured_.size(); ++i) {
        std::string error;
        if (!ParseImpairmentOverlay(*text, path_, configured_[i], &settings[i], &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return std::nullopt;
        }
    }
    return settings;
}

std::string FormatLineStats(unsigned card, unsigned port, const LineStats& s) {
    char line[320];
    std::snprintf(line, sizeof line,
                  "card=%u port=%u carried=%" PRIu64 " flipped=%" PRIu64 " framing_hits=%" PRIu64
                  " lost=%" PRIu64 " inserted=%" PRIu64 " dropped=%" PRIu64 " unsent=%" PRIu64
                  " frames_lost=%" PRIu64 "\n",
                  card, port, s.bitsCarried, s.bitsFlipped, s.framingBitsHit, s.bitsLost,
                  s.bitsInserted, s.bitsDropped, s.bitsUnsent, s.framesLost);
    return line;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp" + std::to_string(platform::CurrentProcessId());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out.flush()) return false;
    }
    if (!platform::RenameReplacing(temporary, path)) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace sim
