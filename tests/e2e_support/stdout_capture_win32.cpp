// The test process's own stdout (or stderr) caught in a temporary file, with
// the C runtime's descriptors of Windows. The file has a name, so that a peek
// reads it through a descriptor of its own and leaves the writers' file
// position alone.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "tests/e2e_support/stdout_capture.h"

namespace e2e {

namespace {

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (int n; (n = _read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
}

}  // namespace

StdoutCapture::StdoutCapture(FILE* stream) : stream_(stream) {
    fflush(stream_);
    char* name = _tempnam(nullptr, "ondrel-capture");
    if (name == nullptr) return;
    path_ = name;
    free(name);
    fileFd_ = _open(path_.c_str(), _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fileFd_ < 0) return;
    savedFd_ = _dup(_fileno(stream_));
    _dup2(fileFd_, _fileno(stream_));
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
    if (savedFd_ < 0) return text_;
    fflush(stream_);
    _dup2(savedFd_, _fileno(stream_));
    _close(savedFd_);
    savedFd_ = -1;
    _lseek(fileFd_, 0, SEEK_SET);
    text_ = ReadAll(fileFd_);
    _close(fileFd_);
    fileFd_ = -1;
    _unlink(path_.c_str());
    return text_;
}

std::string StdoutCapture::Peek() {
    if (savedFd_ < 0) return text_;
    fflush(stream_);
    const int fd = _open(path_.c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) return std::string();
    std::string text = ReadAll(fd);
    _close(fd);
    return text;
}

}  // namespace e2e
