#include "platform/pipe.h"

#include <windows.h>

#include "platform/last_error.h"

namespace platform {

namespace {

constexpr DWORD kPipeBufferBytes = 4096;

HANDLE AsHandle(PipeHandle handle) { return reinterpret_cast<HANDLE>(handle); }
PipeHandle AsPipe(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kNoPipe : reinterpret_cast<PipeHandle>(handle);
}

uint32_t OpenError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME:
            return kErrorFileNotFound;
        case ERROR_ACCESS_DENIED:
            return kErrorAccessDenied;
        default:
            return error;
    }
}

// One overlapped transfer on handle, waited for up to timeoutMs (INFINITE:
// no limit). A transfer still running at the time-out is cancelled; what it
// moved before is still counted. Returns the bytes moved, -1 on time-out
// with nothing moved, 0 at the pipe's end or on a failure.
long Transfer(HANDLE handle, void* buffer, DWORD count, bool reading, DWORD timeoutMs) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return 0;
    DWORD moved = 0;
    BOOL started = reading ? ReadFile(handle, buffer, count, nullptr, &overlapped)
                           : WriteFile(handle, buffer, count, nullptr, &overlapped);
    bool timedOut = false;
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(overlapped.hEvent);
        return 0;
    }
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) == WAIT_TIMEOUT) {
        CancelIoEx(handle, &overlapped);
        timedOut = true;
    }
    const BOOL done = GetOverlappedResult(handle, &overlapped, &moved, TRUE);
    CloseHandle(overlapped.hEvent);
    if (done) return long(moved);
    if (timedOut && ::GetLastError() == ERROR_OPERATION_ABORTED)
        return moved > 0 ? long(moved) : -1;
    return 0;
}

HANDLE NewInstance(const std::string& path, bool first) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    return CreateNamedPipeA(path.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
                            nullptr);
}

}  // namespace

std::string PipePath(const std::string& pipeName) { return "\\\\.\\pipe\\" + pipeName; }

void ClosePipeHandle(PipeHandle handle) {
    if (handle != kNoPipe) CloseHandle(AsHandle(handle));
}

bool PipeStream::WriteAll(const void* data, size_t count) {
    if (fd_ == kNoPipe) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const DWORD piece = count > kPipeBufferBytes ? kPipeBufferBytes : DWORD(count);
        const long n = Transfer(AsHandle(fd_), const_cast<uint8_t*>(bytes), piece, false, INFINITE);
        if (n <= 0) return false;
        bytes += n;
        count -= size_t(n);
    }
    return true;
}

long PipeStream::Read(void* buffer, size_t capacity, int timeoutMs) {
    if (fd_ == kNoPipe) return 0;
    const DWORD count = capacity > kPipeBufferBytes ? kPipeBufferBytes : DWORD(capacity);
    return Transfer(AsHandle(fd_), buffer, count, true,
                    timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
}

void PipeStream::Shutdown() {
    if (fd_ == kNoPipe) return;
    CancelIoEx(AsHandle(fd_), nullptr);
    DisconnectNamedPipe(AsHandle(fd_));
}

void PipeStream::Close() {
    ClosePipeHandle(fd_);
    fd_ = kNoPipe;
}

bool PipeListener::Listen(const std::string& pipeName, std::string* error) {
    Close();
    const std::string path = PipePath(pipeName);
    // Not every system honours the first-instance flag: look for a listener too.
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (other != INVALID_HANDLE_VALUE || ::GetLastError() == ERROR_PIPE_BUSY) {
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        if (error) *error = path + ": another front end listens there";
        return false;
    }
    HANDLE instance = NewInstance(path, true);
    if (instance == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (error) {
            *error = code == ERROR_ACCESS_DENIED ? path + ": another front end listens there"
                                                 : path + ": " + SystemErrorText(code);
        }
        return false;
    }
    fd_ = AsPipe(instance);
    path_ = path;
    return true;
}

// The waiting instance becomes the connection; a fresh one waits for the next.
PipeHandle PipeListener::Accept(int timeoutMs) {
    if (fd_ == kNoPipe) return kNoPipe;
    HANDLE instance = AsHandle(fd_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return kNoPipe;
    bool connected = ConnectNamedPipe(instance, &overlapped) != FALSE;
    const DWORD code = ::GetLastError();
    if (!connected && code == ERROR_PIPE_CONNECTED) connected = true;
    if (!connected && code == ERROR_IO_PENDING) {
        const DWORD timeout = timeoutMs < 0 ? INFINITE : DWORD(timeoutMs);
        if (WaitForSingleObject(overlapped.hEvent, timeout) != WAIT_OBJECT_0)
            CancelIoEx(instance, &overlapped);
        DWORD ignored = 0;
        connected = GetOverlappedResult(instance, &overlapped, &ignored, TRUE) != FALSE;
    }
    CloseHandle(overlapped.hEvent);
    if (!connected) return kNoPipe;
    fd_ = AsPipe(NewInstance(path_, false));
    return AsPipe(instance);
}

void PipeListener::Close() {
    ClosePipeHandle(fd_);
    fd_ = kNoPipe;
    path_.clear();
}

// Overlapped, so that the reader and the writer use the one handle at the
// same time; each helper waits for its own transfer.
bool PipeClient::Open(const std::string& pipeName) {
    Close();
    const std::string path = PipePath(pipeName);
    HANDLE pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        SetLastError(OpenError(::GetLastError()));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = AsPipe(pipe);
    }
    return StartHelpers();
}

void PipeClient::Perform(Request& request, bool reading) {
    const long n = Transfer(AsHandle(fd_), request.pBuffer, request.uCount, reading, INFINITE);
    const bool ok = n > 0 && (reading || uint32_t(n) == request.uCount);
    std::lock_guard<std::mutex> lock(mutex_);
    request.bOk = ok;
    request.uBytes = ok ? uint32_t(n) : 0;
    request.uError = ok ? kErrorSuccess : kErrorBrokenPipe;
    if (!ok) ended_ = true;
}

// A helper may be between its check and its ReadFile when the cancel comes:
// cancel again until neither has a transfer under way.
void PipeClient::InterruptTransfers() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 100 && (read_.bBusy || write_.bBusy); ++attempt) {
        CancelIoEx(AsHandle(fd_), nullptr);
        changed_.wait_for(lock, std::chrono::milliseconds(20),
                          [&] { return !read_.bBusy && !write_.bBusy; });
    }
}

}  // namespace platform
