#include "platform/pipe.h"

#include "platform/last_error.h"
#include "platform/thread.h"

// The request bookkeeping of the program's end, the same on every system:
// each direction has a helper thread that performs one transfer at a time.
namespace platform {

bool PipeClient::StartHelpers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = false;
        ended_ = false;
        read_ = Request();
        write_ = Request();
    }
    if (StartThread(reader_, [this] { Serve(read_, true); }) &&
        StartThread(writer_, [this] { Serve(write_, false); }))
        return true;
    Close();
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

void PipeClient::Serve(Request& request, bool reading) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return closing_ || request.bQueued; });
        if (!request.bQueued) return;
        request.bQueued = false;
        if (closing_) {
            request.bOk = false;
            request.uError = kErrorOperationAborted;
        } else {
            request.bBusy = true;
            lock.unlock();
            Perform(request, reading);
            lock.lock();
            request.bBusy = false;
        }
        request.bDone = true;
        Event* done = request.pDone;
        changed_.notify_all();
        if (done != nullptr) done->Set();
    }
}

bool PipeClient::Start(Request& request, uint8_t* buffer, uint32_t count, Event* done) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ == kNoPipe || closing_ || request.bQueued || request.bBusy) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (ended_) {
        SetLastError(kErrorBrokenPipe);
        return false;
    }
    request.pBuffer = buffer;
    request.uCount = count;
    request.pDone = done;
    request.bDone = false;
    request.bQueued = true;
    changed_.notify_all();
    return true;
}

bool PipeClient::Result(Request& request, uint32_t* bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return request.bDone || (!request.bQueued && !request.bBusy); });
    *bytes = request.bDone ? request.uBytes : 0;
    bool ok = request.bDone && request.bOk;
    if (!ok) SetLastError(request.bDone ? request.uError : kErrorIoIncomplete);
    request.bDone = false;
    return ok;
}

bool PipeClient::StartRead(void* buffer, uint32_t capacity, Event* done) {
    return Start(read_, static_cast<uint8_t*>(buffer), capacity, done);
}

bool PipeClient::ReadResult(uint32_t* bytes) { return Result(read_, bytes); }

bool PipeClient::StartWrite(const void* data, uint32_t count, Event* done) {
    return Start(write_, static_cast<uint8_t*>(const_cast<void*>(data)), count, done);
}

bool PipeClient::WriteResult(uint32_t* bytes) { return Result(write_, bytes); }

void PipeClient::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ == kNoPipe) return;
        closing_ = true;
        changed_.notify_all();
    }
    InterruptTransfers();
    JoinThread(reader_);
    JoinThread(writer_);
    std::lock_guard<std::mutex> lock(mutex_);
    ClosePipeHandle(fd_);
    fd_ = kNoPipe;
}

}  // namespace platform
