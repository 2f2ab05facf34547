// Windows has no abstract socket names: a line's name picks a TCP port on the
// loopback address instead, and binding it with exclusive use is the one
// atomic step that decides which process listens.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "sim/line_socket.h"

namespace sim {
namespace {

// Below the system's dynamic range (49152 and up), so that the port of a
// line is not handed to some other program's outgoing connection.
constexpr uint16_t kFirstLinePort = 20000;
constexpr uint32_t kLinePortCount = 24000;
// A loopback connect to a listener completes at once; Windows retries a
// refused one for seconds, which here only means nobody listens.
constexpr long kConnectWaitMicroseconds = 250000;

bool StartSockets() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

uint16_t PortOf(const std::string& name) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
    return uint16_t(kFirstLinePort + hash % kLinePortCount);
}

sockaddr_in LoopbackAddress(const std::string& name) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(PortOf(name));
    return address;
}

bool MakeNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Line traffic is many small writes: Nagle's delay would slow every bit.
void SendAtOnce(SOCKET socket) {
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

SOCKET NewSocket() {
    if (!StartSockets()) return INVALID_SOCKET;
    SOCKET fd =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (fd == INVALID_SOCKET) return fd;
    if (!MakeNonBlocking(fd)) {
        closesocket(fd);
        return INVALID_SOCKET;
    }
    return fd;
}

bool Connected(SOCKET fd) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(fd, &writable);
    FD_SET(fd, &failed);
    timeval wait{0, kConnectWaitMicroseconds};
    if (select(0, nullptr, &writable, &failed, &wait) <= 0) return false;
    return FD_ISSET(fd, &writable) && !FD_ISSET(fd, &failed);
}

std::string UserName() {
    char name[256];
    DWORD length = sizeof name;
    return GetUserNameA(name, &length) ? std::string(name) : std::string("user");
}

}  // namespace

std::string LineSocketName(const std::string& lineName) {
    return "ondrel-line/" + UserName() + "/" + lineName;
}

int LineSocketConnect(const std::string& name) {
    SOCKET fd = NewSocket();
    if (fd == INVALID_SOCKET) return -1;
    sockaddr_in address = LoopbackAddress(name);
    const int result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0 && !(WSAGetLastError() == WSAEWOULDBLOCK && Connected(fd))) {
        closesocket(fd);
        return -1;
    }
    SendAtOnce(fd);
    return int(fd);
}

int LineSocketListen(const std::string& name) {
    SOCKET fd = NewSocket();
    if (fd == INVALID_SOCKET) return -1;
    BOOL exclusive = TRUE;
    setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address = LoopbackAddress(name);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        closesocket(fd);
        return -1;
    }
    return int(fd);
}

int LineSocketAccept(int listener) {
    SOCKET fd = accept(SOCKET(listener), nullptr, nullptr);
    if (fd == INVALID_SOCKET) return -1;
    if (!MakeNonBlocking(fd)) {
        closesocket(fd);
        return -1;
    }
    SendAtOnce(fd);
    return int(fd);
}

long LineSocketSend(int socket, const uint8_t* data, size_t length) {
    const int count = length > 65536 ? 65536 : int(length);
    const int sent = send(SOCKET(socket), reinterpret_cast<const char*>(data), count, 0);
    if (sent >= 0) return long(sent);
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long LineSocketReceive(int socket, uint8_t* data, size_t length) {
    const int count = length > 65536 ? 65536 : int(length);
    const int got = recv(SOCKET(socket), reinterpret_cast<char*>(data), count, 0);
    if (got > 0) return long(got);
    if (got == 0) return -1;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void LineSocketClose(int socket) {
    if (socket >= 0) closesocket(SOCKET(socket));
}

// Only this machine can reach the loopback address; which local user owns
// the peer is not checked on Windows (see README).
bool LineSocketPeerIsSameUser(int socket) {
    sockaddr_in peer{};
    int length = sizeof peer;
    if (getpeername(SOCKET(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    return peer.sin_family == AF_INET && ntohl(peer.sin_addr.s_addr) == INADDR_LOOPBACK;
}

void SharpenThreadTimers() {}

// Windows keeps the clock thread's own timed wait.
LineSocketWaiter::LineSocketWaiter() = default;
LineSocketWaiter::~LineSocketWaiter() = default;
bool LineSocketWaiter::usable() const { return false; }
void LineSocketWaiter::Wake() {}
void LineSocketWaiter::Wait(const std::vector<int>&, int64_t) {}

}  // namespace sim
