// A stand-in driver for the link threads: it keeps every transmit, write and
// control request, answers reads from a script, and leaves requests pending
// or completes them at once as a test chooses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card/driver.h"
#include "card/ioctl.h"
#include "platform/last_error.h"

namespace linktest {

constexpr card::PortHandle kPort = 42;

class LinkFakeDriver : public card::Driver {
   public:
    // ---- behaviour ----
    bool transmitsPend = true;               // false: TransmitData completes at once
    bool transmitRefused = false;            // TransmitData fails outright
    bool injectRefused = false;              // InjectErrors fails
    std::deque<std::vector<uint8_t>> reads;  // what ReadFile returns, in turn; empty: pends

    // ---- observations ----
    std::vector<std::vector<uint8_t>> Transmits() {
        std::lock_guard<std::mutex> lock(m_);
        return transmits_;
    }
    std::vector<std::vector<uint8_t>> Writes() {
        std::lock_guard<std::mutex> lock(m_);
        return writes_;
    }
    std::vector<uint32_t> InjectCounts() {
        std::lock_guard<std::mutex> lock(m_);
        return injects_;
    }
    int CodeCount(uint32_t code) {
        std::lock_guard<std::mutex> lock(m_);
        int n = 0;
        for (uint32_t c : codes_) n += c == code;
        return n;
    }
    int ReadCount() {
        std::lock_guard<std::mutex> lock(m_);
        return readCount_;
    }

    // Waits until the condition on this driver holds; false after timeoutMs.
    template <class Pred>
    bool WaitFor(Pred pred, int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pred();
    }

    // Completes every pending request successfully, oldest first.
    void CompletePending() { Finish(0); }

    std::vector<card::CardInterface> EnumerateInterfaces() override { return {}; }
    card::PortHandle Open(const std::string&) override { return kPort; }
    bool Close(card::PortHandle) override {
        CancelIo(kPort);
        return true;
    }

    bool DeviceIoControl(card::PortHandle, uint32_t code, const void* in, uint32_t inLength, void*,
                         uint32_t, uint32_t* bytes, card::Overlapped* ov) override {
        std::unique_lock<std::mutex> lock(m_);
        codes_.push_back(code);
        if (bytes) *bytes = 0;
        if (code == IOCTL_TRANSMIT_DATA) {
            if (transmitRefused) return Refuse(platform::kErrorGenFailure);
            const auto* data = static_cast<const uint8_t*>(in);
            transmits_.emplace_back(data, data + inLength);
            if (transmitsPend) return Pend(ov, inLength);
            return CompleteNow(ov, inLength);
        }
        if (code == IOCTL_INJECT_ERRORS) {
            if (injectRefused) return Refuse(platform::kErrorInvalidParameter);
            uint32_t n = 0;
            std::memcpy(&n, in, sizeof n);
            injects_.push_back(n);
        }
        return CompleteNow(ov, 0);
    }

    bool ReadFile(card::PortHandle, void* buffer, uint32_t length, uint32_t*,
                  card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        ++readCount_;
        if (reads.empty()) return Pend(ov, 0);
        std::vector<uint8_t> data = std::move(reads.front());
        reads.pop_front();
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(data.size()));
        std::memcpy(buffer, data.data(), n);
        return CompleteNow(ov, n);
    }

    bool WriteFile(card::PortHandle, const void* buffer, uint32_t length, uint32_t*,
                   card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        const auto* data = static_cast<const uint8_t*>(buffer);
        writes_.emplace_back(data, data + length);
        return CompleteNow(ov, length);
    }

    bool CancelIo(card::PortHandle) override {
        Finish(platform::kErrorOperationAborted);
        return true;
    }
    bool SetupComm(card::PortHandle, uint32_t, uint32_t) override { return true; }
    void SetRemovalHandler(RemovalHandler) override {}
    void SetInterfaceHandler(InterfaceHandler) override {}

   private:
    struct PendingRequest {
        card::Overlapped* ov;
        uint32_t bytes;
    };

    static bool Refuse(uint32_t code) {
        platform::SetLastError(code);
        return false;
    }
    static bool CompleteNow(card::Overlapped* ov, uint32_t bytes) {
        ov->InternalHigh = bytes;
        ov->Internal = 0;
        if (ov->hEvent) ov->hEvent->Set();
        return true;
    }
    bool Pend(card::Overlapped* ov, uint32_t bytes) {
        ov->Internal = card::STATUS_PENDING;
        pending_.push_back({ov, bytes});
        return Refuse(platform::kErrorIoPending);
    }
    void Finish(uint32_t status) {
        std::lock_guard<std::mutex> lock(m_);
        for (PendingRequest& p : pending_) {
            p.ov->InternalHigh = status == 0 ? p.bytes : 0;
            p.ov->Internal = status;
            if (p.ov->hEvent) p.ov->hEvent->Set();
        }
        pending_.clear();
    }

    std::mutex m_;
    std::vector<std::vector<uint8_t>> transmits_;
    std::vector<std::vector<uint8_t>> writes_;
    std::vector<uint32_t> injects_;
    std::vector<uint32_t> codes_;
    std::vector<PendingRequest> pending_;
    int readCount_ = 0;
};

// Installs a fresh fake as the driver for the lifetime of the object.
class FakeDriverScope {
   public:
    FakeDriverScope() {
        auto driver = std::make_unique<LinkFakeDriver>();
        fake_ = driver.get();
        card::SetDriver(std::move(driver));
    }
    ~FakeDriverScope() { card::SetDriver(nullptr); }
    LinkFakeDriver& operator*() { return *fake_; }
    LinkFakeDriver* operator->() { return fake_; }

   private:
    LinkFakeDriver* fake_;
};

}  // namespace linktest
