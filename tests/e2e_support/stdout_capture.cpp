#include "tests/e2e_support/stdout_capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace e2e {

StdoutCapture::StdoutCapture(FILE* stream) : stream_(stream) {
    fflush(stream_);
    FILE* file = tmpfile();
    if (file == nullptr) return;
    fileFd_ = dup(fileno(file));
    fclose(file);
    savedFd_ = dup(fileno(stream_));
    dup2(fileFd_, fileno(stream_));
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
    if (savedFd_ < 0) return text_;
    fflush(stream_);
    dup2(savedFd_, fileno(stream_));
    close(savedFd_);
    savedFd_ = -1;
    lseek(fileFd_, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = read(fileFd_, buffer, sizeof buffer)) > 0;)
        text_.append(buffer, static_cast<size_t>(n));
    close(fileFd_);
    fileFd_ = -1;
    return text_;
}

// pread leaves the offset the writers share alone.
std::string StdoutCapture::Peek() {
    if (savedFd_ < 0) return text_;
    fflush(stream_);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = pread(fileFd_, buffer, sizeof buffer, off_t(text.size()))) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

}  // namespace e2e
