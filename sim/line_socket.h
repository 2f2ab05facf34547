// The sockets two processes' shared lines meet through: non-blocking
// Unix-domain stream sockets in Linux's abstract namespace, named after the
// user and the line. An abstract name needs no file, so nothing is left
// behind by a process that dies, and binding it is the one atomic step that
// decides which process listens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The socket name of a line for the current user (without the leading 0 byte).
std::string LineSocketName(const std::string& lineName);

// A connected socket, or -1 when nobody listens under the name.
int LineSocketConnect(const std::string& name);
// A listening socket, or -1 when the name is taken.
int LineSocketListen(const std::string& name);
// A socket for the next waiting peer, or -1 when none waits.
int LineSocketAccept(int listener);
// Bytes moved; 0 when the socket can take or give nothing now; -1 when the
// peer is gone (or, for a receive, closed its end).
long LineSocketSend(int socket, const uint8_t* data, size_t length);
long LineSocketReceive(int socket, uint8_t* data, size_t length);
void LineSocketClose(int socket);
// Whether the process at the other end of a connected socket runs as this
// process's user.
bool LineSocketPeerIsSameUser(int socket);

// Timed waits of the calling thread end within microseconds of their
// deadline rather than within the system's default slack (50 us on Linux),
// which a frame on a fast line would otherwise wait at every hop.
void SharpenThreadTimers();

// Lets the driver's clock thread sleep until a line socket has something to
// read, a deadline passes or another thread wakes it, so that a frame from
// another process is taken when it arrives rather than at the next tick.
class LineSocketWaiter {
   public:
    LineSocketWaiter();
    ~LineSocketWaiter();
    LineSocketWaiter(const LineSocketWaiter&) = delete;
    LineSocketWaiter& operator=(const LineSocketWaiter&) = delete;

    // False where sockets cannot be waited on with a wake-up: the caller
    // keeps to its own timed wait.
    bool usable() const;
    // Ends the current or the next Wait; from any thread.
    void Wake();
    // timeoutNs < 0: no deadline.
    void Wait(const std::vector<int>& sockets, int64_t timeoutNs);

   private:
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
};

}  // namespace sim
