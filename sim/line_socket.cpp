#include "sim/line_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim {
namespace {

// The address of an abstract name and its length (the name is not 0-ended).
socklen_t AbstractAddress(const std::string& name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    size_t length = std::min(name.size(), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name.data(), length);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);
}

int NewSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

std::string LineSocketName(const std::string& lineName) {
    return "ondrel-line/" + std::to_string(::getuid()) + "/" + lineName;
}

int LineSocketConnect(const std::string& name) {
    sockaddr_un address;
    socklen_t length = AbstractAddress(name, &address);
    int fd = NewSocket();
    if (fd < 0) return -1;
    // A Unix-domain connect ends at once: accepted into the backlog or refused.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int LineSocketListen(const std::string& name) {
    sockaddr_un address;
    socklen_t length = AbstractAddress(name, &address);
    int fd = NewSocket();
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int LineSocketAccept(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

long LineSocketSend(int socket, const uint8_t* data, size_t length) {
    for (;;) {
        ssize_t sent = ::send(socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return long(sent);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

long LineSocketReceive(int socket, uint8_t* data, size_t length) {
    for (;;) {
        ssize_t got = ::recv(socket, data, length, MSG_DONTWAIT);
        if (got > 0) return long(got);
        if (got == 0) return -1;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void LineSocketClose(int socket) {
    if (socket >= 0) ::close(socket);
}

bool LineSocketPeerIsSameUser(int socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return length == sizeof credentials && credentials.uid == ::geteuid();
}

void SharpenThreadTimers() { ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

LineSocketWaiter::LineSocketWaiter() {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return;
    wakeRead_ = ends[0];
    wakeWrite_ = ends[1];
}

LineSocketWaiter::~LineSocketWaiter() {
    LineSocketClose(wakeRead_);
    LineSocketClose(wakeWrite_);
}

bool LineSocketWaiter::usable() const { return wakeRead_ >= 0; }

void LineSocketWaiter::Wake() {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up.
    if (wakeWrite_ >= 0 && ::write(wakeWrite_, &byte, 1) < 0) return;
}

void LineSocketWaiter::Wait(const std::vector<int>& sockets, int64_t timeoutNs) {
    std::vector<pollfd> watched;
    watched.reserve(sockets.size() + 1);
    watched.push_back({wakeRead_, POLLIN, 0});
    for (int socket : sockets) watched.push_back({socket, POLLIN, 0});
    timespec timeout{};
    if (timeoutNs >= 0) {
        timeout.tv_sec = time_t(timeoutNs / 1000000000);
        timeout.tv_nsec = long(timeoutNs % 1000000000);
    }
    if (::ppoll(watched.data(), nfds_t(watched.size()), timeoutNs >= 0 ? &timeout : nullptr,
                nullptr) <= 0)
        return;
    uint8_t drain[64];
    while (::read(wakeRead_, drain, sizeof drain) > 0) {
    }
}

}  // namespace sim
