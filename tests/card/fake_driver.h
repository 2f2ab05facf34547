// A scripted stand-in for the card driver: cards and their records in
// memory, every request logged, failures and pending behaviour chosen per
// test. Requests complete at once unless told otherwise.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "card/driver.h"
#include "card/ioctl.h"
#include "card/records.h"
#include "platform/last_error.h"

namespace fake {

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
    std::vector<card::CardInterface> interfaces;
    std::map<std::string, Device> devices;  // by path, "+" paths included
    std::set<uint32_t> failingCodes;
    uint32_t failCode = platform::kErrorGenFailure;
    Completion portEvent = Completion::Immediate;
    Completion ringRead = Completion::Pending;

    // ---- observations ----
    std::vector<std::string> openAttempts;
    std::vector<Request> requests;
    std::vector<card::PortHandle> closed;
    std::vector<card::PortHandle> cancelled;
    std::vector<std::pair<uint32_t, uint32_t>> setupComm;
    RemovalHandler removal;
    InterfaceHandler interfaceChange;
    // The receive ring's block while its read is pending; the fake writes
    // into it when the read is cancelled, as a driver finishing a record.
    uint8_t* ringBlock = nullptr;
    uint32_t ringBlockLength = 0;

    std::vector<card::CardInterface> EnumerateInterfaces() override { return interfaces; }

    card::PortHandle Open(const std::string& path) override {
        std::lock_guard<std::mutex> lock(m_);
        openAttempts.push_back(path);
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
        return open_.erase(handle) == 1;
    }

    bool DeviceIoControl(card::PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned,
                         card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        const auto* bytes = static_cast<const uint8_t*>(in);
        requests.push_back(
            {handle, code, std::vector<uint8_t>(bytes, bytes + (in ? inLength : 0))});
        Device* device = DeviceOf(handle);
        if (device == nullptr) return Refuse(platform::kErrorInvalidHandle);
        if (failingCodes.count(code)) return Refuse(failCode);
        if (code == IOCTL_SET_PORT_EVENT) return PortEvent(handle, ov);
        uint32_t filled = 0;
        if (!Answer(*device, code, in, out, outLength, &filled)) return Refuse(failCode);
        if (bytesReturned) *bytesReturned = filled;
        return CompleteNow(ov, filled);
    }

    bool ReadFile(card::PortHandle handle, void* buffer, uint32_t length, uint32_t*,
                  card::Overlapped* ov) override {
        std::lock_guard<std::mutex> lock(m_);
        if (DeviceOf(handle) == nullptr) return Refuse(platform::kErrorInvalidHandle);
        if (ringRead == Completion::Refused) return Refuse(failCode);
        if (ringRead == Completion::Immediate) return CompleteNow(ov, 0);
        ringBlock = static_cast<uint8_t*>(buffer);
        ringBlockLength = length;
        return Pend(handle, ov);
    }

    bool WriteFile(card::PortHandle, const void*, uint32_t, uint32_t*, card::Overlapped*) override {
        return Refuse(platform::kErrorNotSupported);
    }

    bool CancelIo(card::PortHandle handle) override {
        std::lock_guard<std::mutex> lock(m_);
        cancelled.push_back(handle);
        auto& list = pending_[handle];
        for (card::Overlapped* ov : list) {
            if (ringBlock) {
                // Touch the block once more: freed memory here is a fault.
                ringBlock[ringBlockLength - 1] = 0xA5;
                ringBlock = nullptr;
            }
            ov->InternalHigh = 0;
            ov->Internal = platform::kErrorOperationAborted;
            if (ov->hEvent) ov->hEvent->Set();
        }
        list.clear();
        return true;
    }

    bool SetupComm(card::PortHandle handle, uint32_t inQueue, uint32_t outQueue) override {
        std::lock_guard<std::mutex> lock(m_);
        (void)handle;
        setupComm.emplace_back(inQueue, outQueue);
        return true;
    }

    void SetRemovalHandler(RemovalHandler handler) override { removal = std::move(handler); }
    void SetInterfaceHandler(InterfaceHandler handler) override {
        interfaceChange = std::move(handler);
    }

    // ---- helpers for tests ----
    size_t OpenCount() {
        std::lock_guard<std::mutex> lock(m_);
        return open_.size();
    }
    size_t PendingCount() {
        std::lock_guard<std::mutex> lock(m_);
        size_t n = 0;
        for (auto& [h, list] : pending_) n += list.size();
        return n;
    }
    std::string PathOf(card::PortHandle handle) {
        std::lock_guard<std::mutex> lock(m_);
        auto it = open_.find(handle);
        return it == open_.end() ? std::string() : it->second;
    }
    bool Sent(uint32_t code) const {
        for (const Request& r : requests)
            if (r.code == code) return true;
        return false;
    }
    // Input of the last request with this code; empty when none was sent.
    std::vector<uint8_t> LastInput(uint32_t code) const {
        for (auto it = requests.rbegin(); it != requests.rend(); ++it)
            if (it->code == code) return it->input;
        return {};
    }

   private:
    Device* DeviceOf(card::PortHandle handle) {
        auto it = open_.find(handle);
        if (it == open_.end()) return nullptr;
        return &devices[it->second];
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

    bool Pend(card::PortHandle handle, card::Overlapped* ov) {
        ov->Internal = card::STATUS_PENDING;
        pending_[handle].push_back(ov);
        return Refuse(platform::kErrorIoPending);
    }

    bool PortEvent(card::PortHandle handle, card::Overlapped* ov) {
        if (portEvent == Completion::Refused) return Refuse(failCode);
        if (portEvent == Completion::Immediate) return CompleteNow(ov, 0);
        if (portEvent == Completion::PendingThenFail) {
            ov->Internal = failCode;
            if (ov->hEvent) ov->hEvent->Set();
            return Refuse(platform::kErrorIoPending);
        }
        return Pend(handle, ov);
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
                ZvPortConfig copy = d.port;
                copy.uVersion = static_cast<const ZvPortConfig*>(out)->uVersion;
                return Give(copy, out, outLength, filled);
            }
            case IOCTL_SET_PORT_CONFIG:
                Take(&d.port, in);
                return true;
            case IOCTL_GET_SERIAL_CONFIG: {
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

    std::mutex m_;
    card::PortHandle next_ = 100;
    std::map<card::PortHandle, std::string> open_;
    std::map<card::PortHandle, std::vector<card::Overlapped*>> pending_;
};

}  // namespace fake
