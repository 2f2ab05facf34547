// The calls of the card's own driver answered by another backend of the
// contract (the simulated card): the backend over the real driver runs its
// request encoding and completion handling against the same records the
// simulated card gives the program directly.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "card/driver.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "zorvan/driver.h"
#include "zorvan/native_io.h"

namespace replay {

class Request : public zorvan::NativeRequest {
   public:
    Request() { Reset(); }
    void Reset() override {
        ov.Clear();
        ov.hEvent = &event;
        event.Reset();
    }
    void ClearSignal() override { event.Reset(); }
    void Signal() override { event.Set(); }

    platform::Event event{true, false};
    card::Overlapped ov;
};

// What passed through, for the cases that look at the calls themselves.
struct Calls {
    std::mutex lock;
    std::vector<std::string> opened;
    std::vector<uint32_t> codes;
    std::atomic<int> cancels{0};
    std::atomic<int> closes{0};
};

class Io : public zorvan::NativeIo {
   public:
    Io(card::Driver& far, std::shared_ptr<Calls> calls = std::make_shared<Calls>())
        : far_(far), calls_(std::move(calls)) {}

    std::unique_ptr<zorvan::NativeRequest> NewRequest() override {
        return std::make_unique<Request>();
    }
    zorvan::NativeHandle Open(const std::string& path) override {
        {
            std::lock_guard<std::mutex> lock(calls_->lock);
            calls_->opened.push_back(path);
        }
        return Keep(far_.Open(path));
    }
    void Close(zorvan::NativeHandle handle) override {
        ++calls_->closes;
        far_.Close(handle);
    }
    zorvan::IoStart DeviceIoControl(zorvan::NativeHandle handle, uint32_t code, const void* in,
                                    uint32_t inLength, void* out, uint32_t outLength,
                                    uint32_t* bytes, zorvan::NativeRequest& request) override {
        {
            std::lock_guard<std::mutex> lock(calls_->lock);
            calls_->codes.push_back(code);
        }
        return Started(
            far_.DeviceIoControl(handle, code, in, inLength, out, outLength, bytes, Ov(request)));
    }
    zorvan::IoStart ReadFile(zorvan::NativeHandle handle, void* buffer, uint32_t length,
                             uint32_t* bytes, zorvan::NativeRequest& request) override {
        return Started(far_.ReadFile(handle, buffer, length, bytes, Ov(request)));
    }
    zorvan::IoStart WriteFile(zorvan::NativeHandle handle, const void* buffer, uint32_t length,
                              uint32_t* bytes, zorvan::NativeRequest& request) override {
        return Started(far_.WriteFile(handle, buffer, length, bytes, Ov(request)));
    }
    bool GetOverlappedResult(zorvan::NativeHandle handle, zorvan::NativeRequest& request,
                             uint32_t* bytes, bool wait) override {
        return Kept(card::GetOverlappedResult(handle, Ov(request), bytes, wait));
    }
    bool CancelIo(zorvan::NativeHandle handle) override {
        ++calls_->cancels;
        return Kept(far_.CancelIo(handle));
    }
    bool SetupComm(zorvan::NativeHandle handle, uint32_t in, uint32_t out) override {
        return Kept(far_.SetupComm(handle, in, out));
    }
    int WaitAny(const std::vector<zorvan::NativeRequest*>& requests, uint32_t timeoutMs) override {
        std::vector<platform::Event*> events;
        for (zorvan::NativeRequest* r : requests)
            events.push_back(&static_cast<Request*>(r)->event);
        uint32_t result =
            platform::WaitForEventArray(events.data(), unsigned(events.size()), timeoutMs);
        return result < events.size() ? int(result) : -1;
    }
    uint32_t LastError() override { return lastError_; }

   private:
    static card::Overlapped* Ov(zorvan::NativeRequest& request) {
        return &static_cast<Request&>(request).ov;
    }
    zorvan::NativeHandle Keep(zorvan::NativeHandle handle) {
        if (handle == card::kInvalidHandle) lastError_ = platform::GetLastError();
        return handle;
    }
    bool Kept(bool ok) {
        if (!ok) lastError_ = platform::GetLastError();
        return ok;
    }
    zorvan::IoStart Started(bool ok) {
        if (ok) return zorvan::IoStart::kDone;
        lastError_ = platform::GetLastError();
        return lastError_ == platform::kErrorIoPending ? zorvan::IoStart::kPending
                                                       : zorvan::IoStart::kFailed;
    }

    card::Driver& far_;
    std::shared_ptr<Calls> calls_;
    static thread_local uint32_t lastError_;
};

inline thread_local uint32_t Io::lastError_ = 0;

}  // namespace replay
