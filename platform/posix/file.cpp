#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

int OpenFlags(const char* mode) {
    const bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'w':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        case 'a':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        default:
            return plus ? O_RDWR : O_RDONLY;
    }
}

// O_NONBLOCK keeps the open of a FIFO from waiting for its far end; once the
// file is known to be regular the flag is dropped, as it means nothing there.
int OpenRegular(const char* path, int flags, FileProblem* problem) {
    const int fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        *problem = FileProblem{false, std::strerror(errno)};
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *problem =
            FileProblem{true, S_ISDIR(info.st_mode) ? "is a directory" : "not a regular file"};
        ::close(fd);
        errno = 0;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

FILE* OpenRegularFile(const char* path, const char* mode, FileProblem* problem) {
    if (path == nullptr || mode == nullptr || mode[0] == '\0') {
        *problem = FileProblem{false, std::strerror(EINVAL)};
        return nullptr;
    }
    const int flags = OpenFlags(mode);
    // Truncation waits until the file is known to be regular: a device
    // named by mistake must not be touched.
    const int fd = OpenRegular(path, flags & ~O_TRUNC, problem);
    if (fd < 0) return nullptr;
    if ((flags & O_TRUNC) && ::ftruncate(fd, 0) != 0) {
        *problem = FileProblem{false, std::strerror(errno)};
        ::close(fd);
        return nullptr;
    }
    FILE* file = ::fdopen(fd, mode);
    if (file == nullptr) {
        *problem = FileProblem{false, std::strerror(errno)};
        ::close(fd);
    }
    return file;
}

std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxBytes,
                                           FileProblem* problem) {
    const int fd = OpenRegular(path.c_str(), O_RDONLY, problem);
    if (fd < 0) return std::nullopt;
    std::string text;
    char block[4096];
    while (text.size() <= maxBytes) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *problem = FileProblem{false, std::strerror(errno)};
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(block, size_t(got));
    }
    ::close(fd);
    if (text.size() > maxBytes + 1) text.resize(maxBytes + 1);
    return text;
}

bool PathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool RenameReplacing(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace platform

namespace platform {

bool FileInFolder(const std::string& folder, const char* name, const char* extension) {
    struct stat status {};
    std::string path = folder + "/" + name + extension;
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The X.25 pseudo-card's driver is a Windows kernel file; Linux has no
// drivers folder for it to lie in.
bool SystemDriverFilePresent(const char* /*name*/, const char* /*extension*/) { return false; }

}  // namespace platform
