#include "zorvan/driver.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "card/ioctl.h"
#include "platform/last_error.h"
#include "platform/thread.h"

namespace zorvan {
namespace {

// How long the completion thread sleeps between looks at the stop flag.
constexpr uint32_t kCompletionWaitMs = 50;
// WaitForMultipleObjects takes at most 64 events; one is the wake-up.
constexpr size_t kMaxWatched = 63;
// A cancelled request the driver does not give back within this is reported
// as aborted; its record is kept, since the driver may still write it.
constexpr uint32_t kCancelWaitMs = 5000;
constexpr uint32_t kCancelPollMs = 20;

struct Pending {
    std::shared_ptr<NativeRequest> request;
    NativeHandle handle = card::kInvalidHandle;
    card::Overlapped* ov = nullptr;
    platform::Event* event = nullptr;
    // SetPortEvent: its event means "data arrived" for as long as the port is
    // open, whether the request itself still runs or not.
    bool forwards = false;
    bool finished = false;
};

void Publish(card::Overlapped* ov, platform::Event* event, uint32_t status, uint32_t bytes) {
    ov->InternalHigh = bytes;
    ov->Internal = status;
    if (event != nullptr) event->Set();
}

class RealDriver : public card::Driver {
   public:
    RealDriver(std::unique_ptr<NativeIo> io, std::unique_ptr<DeviceSet> devices)
        : io_(std::move(io)), devices_(std::move(devices)), wake_(io_->NewRequest()) {
        wake_->Reset();
        if (!platform::StartThread(completer_, [this] { CompletionThread(); }))
            completerFailed_ = true;
        if (devices_) {
            DeviceSet::Listener listener;
            listener.interfaceChanged = [this](const card::CardInterface& iface, bool arrived) {
                std::lock_guard<std::mutex> lock(handlerLock_);
                if (interfaceHandler_) interfaceHandler_(iface, arrived);
            };
            listener.handleRemoved = [this](NativeHandle handle) {
                std::lock_guard<std::mutex> lock(handlerLock_);
                if (removalHandler_) removalHandler_(handle);
            };
            devices_->Listen(std::move(listener));
        }
    }

    ~RealDriver() override {
        // The notices stop first, so none reaches a handle closed below.
        devices_.reset();
        std::vector<NativeHandle> open;
        {
            std::lock_guard<std::mutex> lock(lock_);
            open = open_;
        }
        for (NativeHandle handle : open) Close(handle);
        stop_ = true;
        wake_->Signal();
        platform::JoinThread(completer_);
    }

    std::vector<card::CardInterface> EnumerateInterfaces() override {
        return devices_ ? devices_->Enumerate() : std::vector<card::CardInterface>{};
    }

    card::PortHandle Open(const std::string& path) override {
        NativeHandle handle = io_->Open(NativePortPath(path));
        if (handle == card::kInvalidHandle) {
            platform::SetLastError(io_->LastError());
            return card::kInvalidHandle;
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            open_.push_back(handle);
        }
        if (devices_) devices_->WatchHandle(handle);
        return handle;
    }

    bool Close(card::PortHandle handle) override {
        if (!IsOpen(handle)) {
            platform::SetLastError(platform::kErrorInvalidHandle);
            return false;
        }
        if (devices_) devices_->UnwatchHandle(handle);
        CancelIo(handle);
        // Closed before the records go: until then the driver may still set
        // the receive event through the port's registration.
        io_->Close(handle);
        std::lock_guard<std::mutex> lock(lock_);
        open_.erase(std::remove(open_.begin(), open_.end(), handle), open_.end());
        for (Pending& p : pending_) {
            if (p.handle != handle || p.finished) continue;
            if (!card::HasOverlappedIoCompleted(*p.ov))
                Publish(p.ov, p.event, platform::kErrorOperationAborted, 0);
            p.finished = true;
        }
        DropFinished();
        return true;
    }

    bool DeviceIoControl(card::PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned,
                         card::Overlapped* ov) override {
        return Submit(handle, ov, bytesReturned, code == IOCTL_SET_PORT_EVENT,
                      [&](NativeRequest& request, uint32_t* bytes) {
                          return io_->DeviceIoControl(handle, code, in, inLength, out, outLength,
                                                      bytes, request);
                      });
    }

    bool ReadFile(card::PortHandle handle, void* buffer, uint32_t length, uint32_t* bytesRead,
                  card::Overlapped* ov) override {
        return Submit(handle, ov, bytesRead, false, [&](NativeRequest& request, uint32_t* bytes) {
            return io_->ReadFile(handle, buffer, length, bytes, request);
        });
    }

    bool WriteFile(card::PortHandle handle, const void* buffer, uint32_t length,
                   uint32_t* bytesWritten, card::Overlapped* ov) override {
        return Submit(handle, ov, bytesWritten, false,
                      [&](NativeRequest& request, uint32_t* bytes) {
                          return io_->WriteFile(handle, buffer, length, bytes, request);
                      });
    }

    bool CancelIo(card::PortHandle handle) override {
        if (!IsOpen(handle)) {
            platform::SetLastError(platform::kErrorInvalidHandle);
            return false;
        }
        if (!io_->CancelIo(handle)) {
            platform::SetLastError(io_->LastError());
            return false;
        }
        for (const Pending& p : RunningRequestsOf(handle)) AwaitCancelled(p);
        return true;
    }

    bool SetupComm(card::PortHandle handle, uint32_t inQueue, uint32_t outQueue) override {
        if (io_->SetupComm(handle, inQueue, outQueue)) return true;
        platform::SetLastError(io_->LastError());
        return false;
    }

    void SetRemovalHandler(RemovalHandler handler) override {
        std::lock_guard<std::mutex> lock(handlerLock_);
        removalHandler_ = std::move(handler);
    }

    void SetInterfaceHandler(InterfaceHandler handler) override {
        std::lock_guard<std::mutex> lock(handlerLock_);
        interfaceHandler_ = std::move(handler);
    }

   private:
    template <typename Start>
    bool Submit(NativeHandle handle, card::Overlapped* ov, uint32_t* bytesOut, bool forwards,
                Start start) {
        if (ov == nullptr) {
            platform::SetLastError(platform::kErrorInvalidParameter);
            return false;
        }
        if (!IsOpen(handle)) {
            platform::SetLastError(platform::kErrorInvalidHandle);
            return false;
        }
        if (completerFailed_) {
            platform::SetLastError(platform::kErrorNotEnoughMemory);
            return false;
        }
        auto request = std::shared_ptr<NativeRequest>(io_->NewRequest());
        request->Reset();
        Pending p{request, handle, ov, ov->hEvent, forwards, false};
        ov->InternalHigh = 0;
        ov->Internal = card::STATUS_PENDING;
        uint32_t bytes = bytesOut ? *bytesOut : 0;
        switch (start(*request, &bytes)) {
            case IoStart::kFailed: {
                uint32_t error = io_->LastError();
                ov->Internal = error;
                platform::SetLastError(error);
                return false;
            }
            case IoStart::kDone:
                if (bytesOut) *bytesOut = bytes;
                Publish(ov, p.event, 0, bytes);
                if (forwards) Watch(p, true);
                return true;
            case IoStart::kPending:
                Watch(p, false);
                platform::SetLastError(platform::kErrorIoPending);
                return false;
        }
        return false;
    }

    void Watch(Pending p, bool finished) {
        p.finished = finished;
        std::lock_guard<std::mutex> lock(lock_);
        pending_.push_back(std::move(p));
        wake_->Signal();
    }

    bool IsOpen(NativeHandle handle) {
        std::lock_guard<std::mutex> lock(lock_);
        return std::find(open_.begin(), open_.end(), handle) != open_.end();
    }

    std::vector<Pending> RunningRequestsOf(NativeHandle handle) {
        std::lock_guard<std::mutex> lock(lock_);
        std::vector<Pending> running;
        for (const Pending& p : pending_)
            if (p.handle == handle && !p.finished) running.push_back(p);
        return running;
    }

    // The driver ends a cancelled request soon; until it does, the request's
    // buffers are its, so this waits (bounded) rather than pretending.
    void AwaitCancelled(const Pending& p) {
        uint32_t bytes = 0;
        bool ok = false;
        uint32_t status = platform::kErrorOperationAborted;
        for (uint32_t waited = 0; waited < kCancelWaitMs; waited += kCancelPollMs) {
            if (io_->GetOverlappedResult(p.handle, *p.request, &bytes, false)) {
                ok = true;
                break;
            }
            uint32_t error = io_->LastError();
            if (error != platform::kErrorIoIncomplete) {
                status = error;
                break;
            }
            io_->WaitAny({p.request.get()}, kCancelPollMs);
        }
        std::lock_guard<std::mutex> lock(lock_);
        Pending* entry = Find(p.request.get());
        if (entry == nullptr || entry->finished) return;  // the completion thread was first
        Publish(entry->ov, entry->event, ok ? 0 : status, bytes);
        entry->finished = true;
        DropFinished();
    }

    bool HasEnded(Pending& p) {
        uint32_t bytes = 0;
        return io_->GetOverlappedResult(p.handle, *p.request, &bytes, false) ||
               io_->LastError() != platform::kErrorIoIncomplete;
    }

    Pending* Find(NativeRequest* request) {
        for (Pending& p : pending_)
            if (p.request.get() == request) return &p;
        return nullptr;
    }

    // Finished requests leave the list unless they still forward arrivals;
    // a request the driver never gave back stays, its record with it.
    void DropFinished() {
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                      [&](Pending& p) {
                                          if (!p.finished) return false;
                                          if (p.forwards) return !IsOpenLocked(p.handle);
                                          return HasEnded(p);
                                      }),
                       pending_.end());
    }

    bool IsOpenLocked(NativeHandle handle) const {
        return std::find(open_.begin(), open_.end(), handle) != open_.end();
    }

    void CompletionThread() {
        size_t rotation = 0;
        while (!stop_) {
            std::vector<std::shared_ptr<NativeRequest>> held;
            {
                std::lock_guard<std::mutex> lock(lock_);
                size_t count = pending_.size();
                for (size_t i = 0; i < count && held.size() < kMaxWatched; ++i) {
                    Pending& p = pending_[(i + rotation) % count];
                    if (!p.finished || p.forwards) held.push_back(p.request);
                }
                // More requests than one wait takes: the next round starts elsewhere.
                rotation = count > kMaxWatched ? rotation + kMaxWatched : 0;
            }
            std::vector<NativeRequest*> watched{wake_.get()};
            for (const auto& r : held) watched.push_back(r.get());
            int index = io_->WaitAny(watched, kCompletionWaitMs);
            if (index < 0) continue;
            if (index == 0) {
                wake_->ClearSignal();
                continue;
            }
            Completed(watched[size_t(index)]);
        }
    }

    void Completed(NativeRequest* request) {
        std::lock_guard<std::mutex> lock(lock_);
        Pending* p = Find(request);
        if (p == nullptr) return;
        uint32_t bytes = 0;
        bool ok = io_->GetOverlappedResult(p->handle, *request, &bytes, false);
        uint32_t error = ok ? 0 : io_->LastError();
        if (p->forwards) {
            // Cleared before the program hears of it: an arrival after this
            // sets the event again and is not lost.
            request->ClearSignal();
            if (!p->finished && error != platform::kErrorIoIncomplete) {
                p->ov->InternalHigh = bytes;
                p->ov->Internal = error;
                p->finished = true;
            }
            if (p->event != nullptr) p->event->Set();
            return;
        }
        if (error == platform::kErrorIoIncomplete) {
            request->ClearSignal();
            return;
        }
        Publish(p->ov, p->event, error, bytes);
        p->finished = true;
        DropFinished();
    }

    std::unique_ptr<NativeIo> io_;
    std::unique_ptr<DeviceSet> devices_;
    std::unique_ptr<NativeRequest> wake_;

    std::mutex lock_;  // pending_ and open_
    std::vector<Pending> pending_;
    std::vector<NativeHandle> open_;

    std::mutex handlerLock_;
    RemovalHandler removalHandler_;
    InterfaceHandler interfaceHandler_;

    std::atomic<bool> stop_{false};
    bool completerFailed_ = false;
    std::thread completer_;
};

}  // namespace

std::string NativePortPath(const std::string& path) {
    std::string native = path;
    size_t separator = native.find_last_of('/');
    if (separator != std::string::npos) native[separator] = '\\';
    return native;
}

std::unique_ptr<card::Driver> CreateDriver(std::unique_ptr<NativeIo> io,
                                           std::unique_ptr<DeviceSet> devices) {
    return std::make_unique<RealDriver>(std::move(io), std::move(devices));
}

}  // namespace zorvan
