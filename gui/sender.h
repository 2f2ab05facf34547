// What the rest of the program sees of the front-end link: a sender that
// queues tagged values. While no messenger exists every send does nothing.
#pragma once

#include <atomic>
#include <cstdint>

class GuiSender {
   public:
    virtual ~GuiSender() = default;
    virtual bool IsConnected() const = 0;
    // Queues one record; never blocks the caller.
    virtual void SendRecord(uint16_t tag, const uint8_t* value, uint8_t length) = 0;
};

extern std::atomic<GuiSender*> g_pMessenger;

bool GuiConnected();
void GuiSend(uint16_t tag);
void GuiSend8(uint16_t tag, uint8_t value);
void GuiSend2(uint16_t tag, uint8_t b0, uint8_t b1);
void GuiSend3(uint16_t tag, uint8_t b0, uint8_t b1, uint8_t b2);
void GuiSend32(uint16_t tag, uint32_t value);
void GuiSend64(uint16_t tag, int64_t value);
// Two 32-bit values in one 8-byte record, first first.
void GuiSend32Pair(uint16_t tag, uint32_t first, uint32_t second);
void GuiSendSlave64(uint16_t tag, uint8_t slave, int64_t value);
