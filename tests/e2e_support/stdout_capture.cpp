#include "tests/e2e_support/stdout_capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace e2e {

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    FILE* file = tmpfile();
    if (file == nullptr) return;
    fileFd_ = dup(fileno(file));
    fclose(file);
    savedFd_ = dup(STDOUT_FILENO);
    dup2(fileFd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
    if (savedFd_ < 0) return text_;
    fflush(stdout);
    dup2(savedFd_, STDOUT_FILENO);
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

}  // namespace e2e
