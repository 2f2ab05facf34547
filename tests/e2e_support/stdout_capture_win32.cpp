// The test process's own stdout caught in a temporary file, with the C
// runtime's descriptors of Windows.
#include <io.h>
#include <stdio.h>

#include "tests/e2e_support/stdout_capture.h"

namespace e2e {

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    FILE* file = tmpfile();
    if (file == nullptr) return;
    fileFd_ = _dup(_fileno(file));
    fclose(file);
    savedFd_ = _dup(_fileno(stdout));
    _dup2(fileFd_, _fileno(stdout));
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
    if (savedFd_ < 0) return text_;
    fflush(stdout);
    _dup2(savedFd_, _fileno(stdout));
    _close(savedFd_);
    savedFd_ = -1;
    _lseek(fileFd_, 0, SEEK_SET);
    char buffer[4096];
    for (int n; (n = _read(fileFd_, buffer, sizeof buffer)) > 0;) text_.append(buffer, size_t(n));
    _close(fileFd_);
    fileFd_ = -1;
    return text_;
}

}  // namespace e2e
