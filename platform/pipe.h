// The named pipe to the graphical front end. On Windows it is the named pipe
// itself ("\\.\pipe\<name>"); elsewhere a Unix-domain stream socket named
// after the pipe in the user's runtime folder ($XDG_RUNTIME_DIR, or a private
// /tmp/ondrel-<uid> folder). The front end listens, the program connects.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event.h"

namespace platform {

constexpr uint32_t kErrorBrokenPipe = 109;

// A socket descriptor, or a Windows HANDLE; -1 for none.
using PipeHandle = intptr_t;
constexpr PipeHandle kNoPipe = -1;

// Socket or pipe path for the pipe name; empty when no folder can be had or the path
// is too long for a socket address.
std::string PipePath(const std::string& pipeName);
void ClosePipeHandle(PipeHandle handle);

// A connected stream with plain blocking calls, for the front end's side.
class PipeStream {
   public:
    explicit PipeStream(PipeHandle fd = kNoPipe) : fd_(fd) {}
    PipeStream(const PipeStream&) = delete;
    PipeStream& operator=(const PipeStream&) = delete;
    PipeStream(PipeStream&& other) noexcept : fd_(other.fd_) { other.fd_ = kNoPipe; }
    PipeStream& operator=(PipeStream&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = other.fd_;
            other.fd_ = kNoPipe;
        }
        return *this;
    }
    ~PipeStream() { Close(); }

    bool IsOpen() const { return fd_ != kNoPipe; }
    bool WriteAll(const void* data, size_t count);
    // Bytes read; 0 at the peer's end or on a failure; -1 when nothing came
    // within timeoutMs.
    long Read(void* buffer, size_t capacity, int timeoutMs);
    // Wakes a thread blocked in Read or WriteAll; the peer sees the end.
    void Shutdown();
    void Close();

   private:
    PipeHandle fd_;
};

// The front end's end: creates the socket and takes the program's connection.
class PipeListener {
   public:
    PipeListener() = default;
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;
    ~PipeListener() { Close(); }

    // False, with the reason in error, when the socket cannot be made.
    bool Listen(const std::string& pipeName, std::string* error);
    // The next connection; an unopened stream after timeoutMs.
    PipeHandle Accept(int timeoutMs);
    const std::string& Path() const { return path_; }
    // Removes the socket file; later connects find no pipe.
    void Close();

   private:
    PipeHandle fd_ = kNoPipe;
    int lockFd_ = -1;  // held while listening: tells a second front end
    std::string path_;
};

// The program's end, with overlapped reads and writes: each starts, runs on
// a helper thread and signals its event when done; the result is then taken
// once. Last errors follow the driver contract's numbering.
class PipeClient {
   public:
    PipeClient() = default;
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;
    ~PipeClient() { Close(); }

    // False with the last error 2 when no front end listens at the pipe, 5
    // when the fallback folder in /tmp is not this user's private one.
    bool Open(const std::string& pipeName);
    // True when the read is under way; false, with the last error, when the
    // pipe has already ended.
    bool StartRead(void* buffer, uint32_t capacity, Event* done);
    // Waits for the started read; false at the peer's end or on a failure.
    bool ReadResult(uint32_t* bytes);
    bool StartWrite(const void* data, uint32_t count, Event* done);
    bool WriteResult(uint32_t* bytes);
    // Ends the requests under way (they fail) and closes the socket.
    void Close();

   private:
    struct Request {
        bool bQueued = false;
        bool bBusy = false;
        bool bDone = false;
        bool bOk = false;
        uint32_t uError = 0;
        uint32_t uBytes = 0;
        uint8_t* pBuffer = nullptr;
        uint32_t uCount = 0;
        Event* pDone = nullptr;
    };
    void Serve(Request& request, bool reading);
    // The system's part: one blocking transfer, and waking a blocked one.
    void Perform(Request& request, bool reading);
    void InterruptTransfers();
    bool StartHelpers();
    bool Start(Request& request, uint8_t* buffer, uint32_t count, Event* done);
    bool Result(Request& request, uint32_t* bytes);

    PipeHandle fd_ = kNoPipe;
    bool closing_ = false;
    bool ended_ = false;  // the peer's end was seen
    std::mutex mutex_;
    std::condition_variable changed_;
    Request read_;
    Request write_;
    std::thread reader_;
    std::thread writer_;
};

}  // namespace platform
