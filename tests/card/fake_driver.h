// A scripted stand-in for the card driver, the one the unit suites share:
// cards and their records in memory, every request kept, failures and
// pending behaviour chosen per test. Requests complete at once unless told
// otherwise.
//
// A suite of code that finds and opens ports fills `devices` (by path);
// one of a worker thread on a port it was given makes the driver with
// FakeDriver(kOnePort), whose every path opens as that handle, open from
// the start. DriverScope installs a fresh one as the process's driver.
//
// Each request wakes WaitFor, so a test waits for the request it expects
// (the next read, the fifth transmit) rather than for a while.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "card/driver.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "platform/last_error.h"
#include "tests/e2e_support/e2e_support.h"

namespace fake {

constexpr card::PortHandle kOnePort = 42;

struct Request {
    card::PortHandle handle;
    uint32_t code;
    std::vector<uint8_t> input;
};

// What one port device answers.
struct Device {
    ZvCardInfo info{};
    ZvPortConfig port{};
    ZvSerialConfig serial{};
    bool serialV5 = true;
    bool canInvert = true;
    std::vector<uint8_t> interfaceRecord = std::vector<uint8_t>(kInterfaceRecordSize, 0);
};

// PendingThenFail: the request is reported pending and fails right after,
// as a driver thread that completes it at once would do.
enum class Completion { Immediate, Pending, PendingThenFail, Refused };

class FakeDriver : public card::Driver {
   public:
    FakeDriver() = default;
    // Every path opens as onePort, which is open from the start.
    explicit FakeDriver(card::PortHandle onePort) : onePort_(onePort) { open_[onePort] = ""; }

    // ---- behaviour, set before the code under test runs ----
    std::vector<card::CardInterface> interfaces;
    std::map<std::string, Device> devices;  // by path, "+" paths included
    std::set<uint32_t> failingCodes;
    uint32_t failCode = platform::kErrorGenFailure;
    Completion portEvent = Completion::Immediate;
    Completion transmits = Completion::Immediate;  // TransmitData
    Completion reads = Completion::Pending;        // a ReadFile with no answer scripted
    std::deque<std::vector<uint8_t>> readAnswers;  // what ReadFile returns at once, in turn
    bool cancelIgnored = false;                    // CancelIo leaves requests pending

    // ---- observations; the vectors only while no other thread calls in ----
    std::vector<std::string> openAttempts;
    std::vector<Request> requests;
    std::vector<card::PortHandle> closed;
    std::vector<card::PortHandle> cancelled;
    std::vector<std::pair<uint32_t, uint32_t>> setupComm;
    RemovalHandler removal;
    InterfaceHandler interfaceChange;
    // The buffer of the read that pends; the fake writes into it when the
    // read is cancelled, as a driver finishing a record, so that a buffer
    // freed too early shows under the address sanitizer.
    uint8_t* readBuffer = nullptr;
    uint32_t readBufferLength = 0;

    // ---- the driver contract ----
    std::vector<card::CardInterface> EnumerateInterfaces() override { return interfaces; }

    card::PortHandle Open(const std::string& path) override {
        std::lock_guard<std::mutex> lock(m_);
        openAttempts.push_back(path);
        if (onePort_ != card::kInvalidHandle) return onePort_;
        if (!devices.count(path)) {
            platform::SetLastError(platform::kErrorFileNotFound);
            return card::kInvalidHandle;
        }
        card::PortHandle h = next_++;
        open_[h] = path;
        return h;
    }

    bool Close(card::PortHandle handle) override {
        CancelIo(handle);
        std::lock_guard<std::mutex> lock(m_);
        closed.push_back(handle);
        if (handle == onePort_) return true;
        return open_.erase(handle) == 1;
    }

    bool DeviceIoControl(card::PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned,
                         card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        Changed();
        const auto* bytes = static_cast<const uint8_t*>(in);
        requests.push_back(
            {handle, code, std::vector<uint8_t>(bytes, bytes + (in ? inLength : 0))});
        if (bytesReturned) *bytesReturned = 0;
        Device* device = DeviceOf(handle);
        if (device == nullptr) return Refuse(platform::kErrorInvalidHandle);
        if (failingCodes.count(code)) return Refuse(failCode);
        if (code == IOCTL_SET_PORT_EVENT) return As(portEvent, handle, ov, 0);
        if (code == IOCTL_TRANSMIT_DATA) return As(transmits, handle, ov, inLength);
        uint32_t filled = 0;
        if (!Answer(*device, code, in, out, outLength, &filled)) return Refuse(failCode);
        if (bytesReturned) *bytesReturned = filled;
        return CompleteNow(ov, filled);
    }

    bool ReadFile(card::PortHandle handle, void* buffer, uint32_t length, uint32_t*,
                  card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        Changed();
        if (DeviceOf(handle) == nullptr) return Refuse(platform::kErrorInvalidHandle);
        if (!readAnswers.empty()) {
            ++readCount_;
            std::vector<uint8_t> data = std::move(readAnswers.front());
            readAnswers.pop_front();
            const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(data.size()));
            std::memcpy(buffer, data.data(), n);
            return CompleteNow(ov, n);
        }
        if (reads == Completion::Refused || PendingRead(handle) != pending_.end())
            return Refuse(failCode);
        ++readCount_;
        if (reads == Completion::Immediate) return CompleteNow(ov, 0);
        readBuffer = static_cast<uint8_t*>(buffer);
        readBufferLength = length;
        ov->InternalHigh = 0;
        return Pend(handle, ov, 0, readBuffer, length);
    }

    bool WriteFile(card::PortHandle handle, const void* buffer, uint32_t length, uint32_t*,
                   card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        Changed();
        if (DeviceOf(handle) == nullptr) return Refuse(platform::kErrorInvalidHandle);
        const auto* data = static_cast<const uint8_t*>(buffer);
        writes_.emplace_back(data, data + length);
        return CompleteNow(ov, length);
    }

    bool CancelIo(card::PortHandle handle) override {
        std::lock_guard<std::mutex> lock(m_);
        Changed();
        cancelled.push_back(handle);
        if (cancelIgnored) return true;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->handle != handle) {
                ++it;
                continue;
            }
            // Touch the buffer once more: freed memory here is a fault.
            if (it->buffer && it->length) it->buffer[it->length - 1] = 0xA5;
            if (it->buffer == readBuffer) readBuffer = nullptr;
            Finish(*it, 0, platform::kErrorOperationAborted);
            it = pending_.erase(it);
        }
        return true;
    }

    bool SetupComm(card::PortHandle, uint32_t inQueue, uint32_t outQueue) override {
        std::lock_guard<std::mutex> lock(m_);
        setupComm.emplace_back(inQueue, outQueue);
        return true;
    }

    void SetRemovalHandler(RemovalHandler handler) override { removal = std::move(handler); }
    void SetInterfaceHandler(InterfaceHandler handler) override {
        interfaceChange = std::move(handler);
    }

    // ---- what the test does as the card ----

    // Completes every pending transmit with all its bytes, oldest first.
    void CompleteTransmits() {
        std::lock_guard<std::mutex> lock(m_);
        Changed();
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->code != IOCTL_TRANSMIT_DATA) {
                ++it;
                continue;
            }
            Finish(*it, it->bytes, 0);
            it = pending_.erase(it);
        }
    }

    // Ends the oldest pending read with bytes (as many as fit) or with an
    // error status. False when no read pends.
    bool CompleteRead(const std::vector<uint8_t>& bytes, uint32_t status = 0) {
        std::lock_guard<std::mutex> lock(m_);
        Changed();
        auto it = std::find_if(pending_.begin(), pending_.end(),
                               [](const Pending& p) { return p.buffer != nullptr; });
        if (it == pending_.end()) return false;
        const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(bytes.size()), it->length);
        if (n) std::memcpy(it->buffer, bytes.data(), n);
        if (it->buffer == readBuffer) readBuffer = nullptr;
        Finish(*it, status == 0 ? n : 0, status);
        pending_.erase(it);
        return true;
    }

    // ---- observations that other threads may be adding to ----

    // Waits until the condition holds, looking again at every request and
    // at least every 10 ms (for state outside the driver); false after
    // timeoutMs (scaled).
    template <class Condition>
    bool WaitFor(Condition condition, int timeoutMs = 5000) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::milliseconds(e2e::ScaledMs(timeoutMs));
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            const uint64_t seen = changes_;
            lock.unlock();
            if (condition()) return true;
            if (Clock::now() >= end) return false;
            lock.lock();
            cv_.wait_until(lock, std::min(end, Clock::now() + std::chrono::milliseconds(10)),
                           [&] { return changes_ != seen; });
        }
    }
    // Waits until n reads were taken and one pends.
    bool WaitForRead(int n, int timeoutMs = 5000) {
        return WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(m_);
                return readCount_ >= n && HasPendingRead();
            },
            timeoutMs);
    }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_);
        return requests;
    }
    int CodeCount(uint32_t code) {
        std::lock_guard<std::mutex> lock(m_);
        return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                              [&](const Request& r) { return r.code == code; }));
    }
    // The codes of the requests that are among wanted, in order.
    std::vector<uint32_t> CodesOf(std::initializer_list<uint32_t> wanted) {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<uint32_t> codes;
        for (const Request& r : requests)
            if (std::find(wanted.begin(), wanted.end(), r.code) != wanted.end())
                codes.push_back(r.code);
        return codes;
    }
    std::vector<std::vector<uint8_t>> Transmits() { return InputsOf(IOCTL_TRANSMIT_DATA, false); }
    // The counts of the InjectErrors requests, refused ones too.
    std::vector<uint32_t> InjectCounts() {
        std::vector<uint32_t> counts;
        for (const auto& input : InputsOf(IOCTL_INJECT_ERRORS, true)) {
            uint32_t n = 0;
            if (input.size() == sizeof n) std::memcpy(&n, input.data(), sizeof n);
            if (input.size() == sizeof n) counts.push_back(n);
        }
        return counts;
    }
    std::vector<std::vector<uint8_t>> Writes() {
        std::lock_guard<std::mutex> lock(m_);
        return writes_;
    }
    int ReadCount() {
        std::lock_guard<std::mutex> lock(m_);
        return readCount_;
    }
    int CancelCount() {
        std::lock_guard<std::mutex> lock(m_);
        return static_cast<int>(cancelled.size());
    }
    size_t OpenCount() {
        std::lock_guard<std::mutex> lock(m_);
        return open_.size();
    }
    size_t PendingCount() {
        std::lock_guard<std::mutex> lock(m_);
        return pending_.size();
    }
    std::string PathOf(card::PortHandle handle) {
        std::lock_guard<std::mutex> lock(m_);
        auto it = open_.find(handle);
        return it == open_.end() ? std::string() : it->second;
    }
    bool Sent(uint32_t code) { return CodeCount(code) > 0; }
    // Input of the last request with this code; empty when none was sent.
    std::vector<uint8_t> LastInput(uint32_t code) {
        std::lock_guard<std::mutex> lock(m_);
        for (auto it = requests.rbegin(); it != requests.rend(); ++it)
            if (it->code == code) return it->input;
        return {};
    }

   private:
    struct Pending {
        card::PortHandle handle;
        uint32_t code;  // 0 for a read
        card::Overlapped* ov;
        uint32_t bytes;             // what it completes with
        uint8_t* buffer = nullptr;  // a read's
        uint32_t length = 0;
    };

    void Changed() {
        ++changes_;
        cv_.notify_all();
    }

    Device* DeviceOf(card::PortHandle handle) {
        auto it = open_.find(handle);
        if (it == open_.end()) return nullptr;
        return &devices[it->second];
    }

    std::vector<Pending>::iterator PendingRead(card::PortHandle handle) {
        return std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
            return p.handle == handle && p.buffer != nullptr;
        });
    }
    bool HasPendingRead() const {
        return std::any_of(pending_.begin(), pending_.end(),
                           [](const Pending& p) { return p.buffer != nullptr; });
    }

    std::vector<std::vector<uint8_t>> InputsOf(uint32_t code, bool refusedToo) {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<std::vector<uint8_t>> inputs;
        for (const Request& r : requests)
            if (r.code == code && (refusedToo || !failingCodes.count(code)))
                inputs.push_back(r.input);
        return inputs;
    }

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

    // Status word first, event last, as the driver contract has it.
    static void Finish(const Pending& p, uint32_t bytes, uint32_t status) {
        p.ov->InternalHigh = bytes;
        p.ov->Internal = status;
        if (p.ov->hEvent) p.ov->hEvent->Set();
    }

    bool Pend(card::PortHandle handle, card::Overlapped* ov, uint32_t bytes,
              uint8_t* buffer = nullptr, uint32_t length = 0, uint32_t code = 0) {
        ov->Internal = card::STATUS_PENDING;
        pending_.push_back({handle, code, ov, bytes, buffer, length});
        return Refuse(platform::kErrorIoPending);
    }

    // A request that completes as chosen.
    bool As(Completion completion, card::PortHandle handle, card::Overlapped* ov, uint32_t bytes) {
        switch (completion) {
            case Completion::Refused:
                return Refuse(failCode);
            case Completion::Immediate:
                return CompleteNow(ov, bytes);
            case Completion::PendingThenFail:
                ov->Internal = failCode;
                if (ov->hEvent) ov->hEvent->Set();
                return Refuse(platform::kErrorIoPending);
            case Completion::Pending:
                break;
        }
        return Pend(handle, ov, bytes, nullptr, 0, requests.back().code);
    }

    template <typename Record>
    static bool Give(const Record& record, void* out, uint32_t outLength, uint32_t* filled) {
        if (out == nullptr || outLength < sizeof record) return false;
        memcpy(out, &record, sizeof record);
        *filled = sizeof record;
        return true;
    }

    template <typename Record>
    static void Take(Record* record, const void* in) {
        memcpy(record, in, sizeof *record);
    }

    bool Answer(Device& d, uint32_t code, const void* in, void* out, uint32_t outLength,
                uint32_t* filled) {
        switch (code) {
            case IOCTL_READ_CARD_INFO:
                return Give(d.info, out, outLength, filled);
            case IOCTL_GET_PORT_CONFIG: {
                if (out == nullptr || outLength < sizeof(ZvPortConfig)) return false;
                ZvPortConfig copy = d.port;
                copy.uVersion = static_cast<const ZvPortConfig*>(out)->uVersion;
                return Give(copy, out, outLength, filled);
            }
            case IOCTL_SET_PORT_CONFIG:
                Take(&d.port, in);
                return true;
            case IOCTL_GET_SERIAL_CONFIG: {
                if (out == nullptr || outLength < sizeof(ZvSerialConfig)) return false;
                uint32_t version = static_cast<const ZvSerialConfig*>(out)->uVersion;
                if (version == SERIAL_CONFIG_VERSION && !d.serialV5) return false;
                ZvSerialConfig copy = d.serial;
                copy.uVersion = version;
                return Give(copy, out, outLength, filled);
            }
            case IOCTL_SET_SERIAL_CONFIG:
                Take(&d.serial, in);
                return true;
            case IOCTL_SET_INVERSION:
                return d.canInvert;
            case IOCTL_READ_INTERFACE_RECORD: {
                if (out == nullptr || outLength < d.interfaceRecord.size()) return false;
                memcpy(out, d.interfaceRecord.data(), d.interfaceRecord.size());
                *filled = static_cast<uint32_t>(d.interfaceRecord.size());
                return true;
            }
            default:
                return true;
        }
    }

    const card::PortHandle onePort_ = card::kInvalidHandle;
    std::mutex m_;
    std::condition_variable cv_;
    uint64_t changes_ = 0;
    card::PortHandle next_ = 100;
    std::map<card::PortHandle, std::string> open_;
    std::vector<Pending> pending_;
    std::vector<std::vector<uint8_t>> writes_;
    int readCount_ = 0;
};

// Installs a fresh fake as the process's driver for the scope.
class DriverScope {
   public:
    explicit DriverScope(card::PortHandle onePort = card::kInvalidHandle) {
        auto driver = onePort == card::kInvalidHandle ? std::make_unique<FakeDriver>()
                                                      : std::make_unique<FakeDriver>(onePort);
        fake_ = driver.get();
        card::SetDriver(std::move(driver));
    }
    ~DriverScope() { card::SetDriver(nullptr); }
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;
    FakeDriver* operator->() { return fake_; }
    FakeDriver& operator*() { return *fake_; }

   private:
    FakeDriver* fake_;
};

}  // namespace fake
