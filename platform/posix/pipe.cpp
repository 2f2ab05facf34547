#include "platform/pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/last_error.h"
#include "platform/thread.h"

namespace platform {

namespace {

// A folder only this user can change: no socket in it is another user's.
bool FolderIsPrivate(const std::string& folder) {
    struct stat st {};
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool UsesFallbackFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime == nullptr || runtime[0] == '\0';
}

// The fallback folder lives in the shared /tmp: it must be the user's own
// directory, not something another user planted there.
bool EnsurePrivateFolder(const std::string& folder, std::string* error) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = folder + ": " + std::strerror(errno);
        return false;
    }
    if (!FolderIsPrivate(folder)) {
        if (error) *error = folder + ": not a private folder of this user";
        return false;
    }
    return true;
}

std::string RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return runtime;
    return "/tmp/ondrel-" + std::to_string(getuid());
}

bool MakeAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size());
    return true;
}

int ConnectTo(const std::string& path) {
    sockaddr_un address;
    if (!MakeAddress(path, &address)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

uint32_t ConnectError(int error) {
    switch (error) {
        case ENOENT:
        case ECONNREFUSED:
        case ENAMETOOLONG:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        default:
            return kErrorGenFailure;
    }
}

// Waits until fd is readable; false after timeoutMs (negative: no limit).
bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

long ReceiveSome(int fd, void* buffer, size_t capacity) {
    ssize_t n;
    do {
        n = recv(fd, buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<long>(n) : 0;
}

bool SendAll(int fd, const void* data, size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string PipePath(const std::string& pipeName) {
    std::string path = RuntimeFolder() + "/" + pipeName;
    sockaddr_un address;
    return MakeAddress(path, &address) ? path : std::string();
}

bool PipeStream::WriteAll(const void* data, size_t count) {
    return fd_ >= 0 && SendAll(fd_, data, count);
}

long PipeStream::Read(void* buffer, size_t capacity, int timeoutMs) {
    if (fd_ < 0) return 0;
    if (!WaitReadable(fd_, timeoutMs)) return -1;
    return ReceiveSome(fd_, buffer, capacity);
}

void PipeStream::Shutdown() {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void PipeStream::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool PipeListener::Listen(const std::string& pipeName, std::string* error) {
    Close();
    std::string folder = RuntimeFolder();
    if (UsesFallbackFolder() && !EnsurePrivateFolder(folder, error)) return false;
    std::string path = PipePath(pipeName);
    sockaddr_un address;
    if (!MakeAddress(path, &address)) {
        if (error) *error = folder + "/" + pipeName + ": path too long for a socket";
        return false;
    }
    // A lock beside the socket tells whether another front end has it; a
    // test connection would be taken by that one as its program's.
    lockFd_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (error)
            *error = path + (lockFd_ < 0 ? ": " + std::string(std::strerror(errno))
                                         : std::string(": another front end listens there"));
        if (lockFd_ >= 0) close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    unlink(path.c_str());  // a socket left by a front end that died
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 1) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    path_ = path;
    return true;
}

// Only a program of this user is taken.
PipeHandle PipeListener::Accept(int timeoutMs) {
    if (fd_ < 0 || !WaitReadable(fd_, timeoutMs)) return -1;
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -1;
    struct ucred peer {};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid())
        return fd;
    close(fd);
    return -1;
}

void PipeListener::Close() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
        fd_ = -1;
        path_.clear();
    }
    if (lockFd_ >= 0)
        close(lockFd_);  // the lock file stays: removing it would race a new front end
    lockFd_ = -1;
}

bool PipeClient::Open(const std::string& pipeName) {
    Close();
    // In the shared /tmp, a folder of another user could hold a listener
    // that would take the test's figures and steer it.
    struct stat st {};
    const std::string folder = RuntimeFolder();
    if (UsesFallbackFolder() && lstat(folder.c_str(), &st) != 0) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    if (UsesFallbackFolder() && !FolderIsPrivate(folder)) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    int fd = ConnectTo(PipePath(pipeName));
    if (fd < 0) {
        SetLastError(ConnectError(errno));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = fd;
    }
    return StartHelpers();
}

void PipeClient::Perform(Request& request, bool reading) {
    bool ok;
    uint32_t bytes = 0;
    if (reading) {
        long n = ReceiveSome(fd_, request.pBuffer, request.uCount);
        ok = n > 0;
        bytes = static_cast<uint32_t>(n);
    } else {
        ok = SendAll(fd_, request.pBuffer, request.uCount);
        bytes = ok ? request.uCount : 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    request.bOk = ok;
    request.uBytes = bytes;
    request.uError = ok ? kErrorSuccess : kErrorBrokenPipe;
    if (!ok) ended_ = true;
}

// Wakes a helper blocked in recv or send.
void PipeClient::InterruptTransfers() { shutdown(int(fd_), SHUT_RDWR); }

void ClosePipeHandle(PipeHandle handle) {
    if (handle != kNoPipe) close(int(handle));
}

}  // namespace platform
