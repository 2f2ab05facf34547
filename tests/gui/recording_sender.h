// A front-end sender that keeps what it was asked to send.
#pragma once

#include <mutex>
#include <vector>

#include "gui/sender.h"

struct SentRecord {
    uint16_t tag;
    std::vector<uint8_t> value;
};

class RecordingSender : public GuiSender {
   public:
    RecordingSender() { g_pMessenger = this; }
    ~RecordingSender() override { g_pMessenger = nullptr; }
    bool IsConnected() const override { return true; }
    void SendRecord(uint16_t tag, const uint8_t* value, uint8_t length) override {
        std::lock_guard<std::mutex> lock(m_);
        records_.push_back({tag, std::vector<uint8_t>(value, value + length)});
    }
    std::vector<SentRecord> Records() {
        std::lock_guard<std::mutex> lock(m_);
        return records_;
    }

   private:
    std::mutex m_;
    std::vector<SentRecord> records_;
};
