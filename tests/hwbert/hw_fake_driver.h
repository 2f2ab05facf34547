// A stand-in driver for the hardware BERT thread: one read of a statistics
// record pends until the test completes it, every control request is kept,
// and cancellation writes into the read's buffer once more, so that a buffer
// freed too early shows under the address sanitizer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "card/driver.h"
#include "card/ioctl.h"
#include "platform/last_error.h"

namespace hwtest {

constexpr card::PortHandle kPort = 77;

struct ControlRequest {
    uint32_t code;
    std::vector<uint8_t> input;
};

class HwFakeDriver : public card::Driver {
   public:
    // ---- behaviour, set before the thread starts ----
    bool readRefused = false;    // ReadFile fails outright
    bool cancelIgnored = false;  // CancelIo leaves the read pending
    std::set<uint32_t> failingCodes;
    uint32_t failCode = platform::kErrorGenFailure;

    // ---- observations ----
    std::vector<ControlRequest> Controls() {
        std::lock_guard<std::mutex> lock(m_);
        return controls_;
    }
    std::vector<uint32_t> CodesOf(std::initializer_list<uint32_t> wanted) {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<uint32_t> codes;
        for (const auto& c : controls_)
            for (uint32_t w : wanted)
                if (c.code == w) codes.push_back(c.code);
        return codes;
    }
    std::vector<uint32_t> InjectCounts() {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<uint32_t> counts;
        for (const auto& c : controls_) {
            if (c.code != IOCTL_INJECT_ERRORS || c.input.size() != 4) continue;
            uint32_t n = 0;
            std::memcpy(&n, c.input.data(), 4);
            counts.push_back(n);
        }
        return counts;
    }
    int Reads() {
        std::lock_guard<std::mutex> lock(m_);
        return reads_;
    }
    int Cancels() {
        std::lock_guard<std::mutex> lock(m_);
        return cancels_;
    }

    // Waits until n reads have been issued and the last one pends.
    bool WaitForRead(int n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return reads_ >= n && pending_ != nullptr; });
    }

    // Ends the pending read with bytes (as many as fit) or with an error
    // status. False when no read pends.
    bool Complete(const std::vector<uint8_t>& bytes, uint32_t status = 0) {
        std::lock_guard<std::mutex> lock(m_);
        if (pending_ == nullptr) return false;
        const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(bytes.size()), pendingLength_);
        if (n) std::memcpy(pendingBuffer_, bytes.data(), n);
        Finish(status == 0 ? n : 0, status);
        return true;
    }

    // ---- the driver contract ----
    std::vector<card::CardInterface> EnumerateInterfaces() override { return {}; }
    card::PortHandle Open(const std::string&) override { return kPort; }
    bool Close(card::PortHandle handle) override { return CancelIo(handle); }

    bool DeviceIoControl(card::PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned,
                         card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        const auto* bytes = static_cast<const uint8_t*>(in);
        controls_.push_back({code, std::vector<uint8_t>(bytes, bytes + (in ? inLength : 0))});
        if (handle != kPort) return Refuse(platform::kErrorInvalidHandle);
        if (failingCodes.count(code)) return Refuse(failCode);
        uint32_t filled = 0;
        if (code == IOCTL_READ_INTERFACE_RECORD && out && outLength >= kInterfaceRecordSize) {
            std::memset(out, 0, kInterfaceRecordSize);
            filled = kInterfaceRecordSize;
        }
        if (bytesReturned) *bytesReturned = filled;
        ov->InternalHigh = filled;
        ov->Internal = 0;
        if (ov->hEvent) ov->hEvent->Set();
        return true;
    }

    bool ReadFile(card::PortHandle handle, void* buffer, uint32_t length, uint32_t*,
                  card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        if (handle != kPort) return Refuse(platform::kErrorInvalidHandle);
        if (readRefused || pending_ != nullptr) return Refuse(failCode);
        ++reads_;
        pending_ = ov;
        pendingBuffer_ = static_cast<uint8_t*>(buffer);
        pendingLength_ = length;
        ov->InternalHigh = 0;
        ov->Internal = card::STATUS_PENDING;
        cv_.notify_all();
        return Refuse(platform::kErrorIoPending);
    }

    bool WriteFile(card::PortHandle, const void*, uint32_t, uint32_t*, card::Overlapped*) override {
        return Refuse(platform::kErrorNotSupported);
    }

    bool CancelIo(card::PortHandle) override {
        std::lock_guard<std::mutex> lock(m_);
        ++cancels_;
        if (pending_ == nullptr || cancelIgnored) return true;
        // A driver finishing the request as it is cancelled: the buffer must
        // still be there.
        pendingBuffer_[pendingLength_ - 1] = 0xA5;
        Finish(0, platform::kErrorOperationAborted);
        return true;
    }

    bool SetupComm(card::PortHandle, uint32_t, uint32_t) override { return true; }
    void SetRemovalHandler(RemovalHandler) override {}
    void SetInterfaceHandler(InterfaceHandler) override {}

   private:
    static bool Refuse(uint32_t error) {
        platform::SetLastError(error);
        return false;
    }

    // Status word first, event last, as the driver contract has it.
    void Finish(uint32_t bytes, uint32_t status) {
        card::Overlapped* ov = pending_;
        pending_ = nullptr;
        ov->InternalHigh = bytes;
        ov->Internal = status;
        if (ov->hEvent) ov->hEvent->Set();
        cv_.notify_all();
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<ControlRequest> controls_;
    card::Overlapped* pending_ = nullptr;
    uint8_t* pendingBuffer_ = nullptr;
    uint32_t pendingLength_ = 0;
    int reads_ = 0;
    int cancels_ = 0;
};

// Installs a fresh fake as the process's driver for the scope.
class FakeDriverScope {
   public:
    FakeDriverScope() {
        auto driver = std::make_unique<HwFakeDriver>();
        fake_ = driver.get();
        card::SetDriver(std::move(driver));
    }
    ~FakeDriverScope() { card::SetDriver(nullptr); }
    HwFakeDriver* operator->() { return fake_; }
    HwFakeDriver& operator*() { return *fake_; }

   private:
    HwFakeDriver* fake_;
};

}  // namespace hwtest
