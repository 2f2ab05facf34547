#include "gui/sender.h"

#include <cstring>

std::atomic<GuiSender*> g_pMessenger{nullptr};

namespace {

void Send(uint16_t tag, const uint8_t* value, uint8_t length) {
    if (GuiSender* sender = g_pMessenger.load()) sender->SendRecord(tag, value, length);
}

void PutLittleEndian(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool GuiConnected() {
    GuiSender* sender = g_pMessenger.load();
    return sender != nullptr && sender->IsConnected();
}

void GuiSend(uint16_t tag) { Send(tag, nullptr, 0); }

void GuiSend8(uint16_t tag, uint8_t value) { Send(tag, &value, 1); }

void GuiSend2(uint16_t tag, uint8_t b0, uint8_t b1) {
    uint8_t v[2] = {b0, b1};
    Send(tag, v, 2);
}

void GuiSend3(uint16_t tag, uint8_t b0, uint8_t b1, uint8_t b2) {
    uint8_t v[3] = {b0, b1, b2};
    Send(tag, v, 3);
}

void GuiSend32(uint16_t tag, uint32_t value) {
    uint8_t v[4];
    PutLittleEndian(v, value, 4);
    Send(tag, v, 4);
}

void GuiSend64(uint16_t tag, int64_t value) {
    uint8_t v[8];
    PutLittleEndian(v, static_cast<uint64_t>(value), 8);
    Send(tag, v, 8);
}

void GuiSend32Pair(uint16_t tag, uint32_t first, uint32_t second) {
    uint8_t v[8];
    PutLittleEndian(v, first, 4);
    PutLittleEndian(v + 4, second, 4);
    Send(tag, v, 8);
}

void GuiSendSlave64(uint16_t tag, uint8_t slave, int64_t value) {
    uint8_t v[9];
    v[0] = slave;
    PutLittleEndian(v + 1, static_cast<uint64_t>(value), 8);
    Send(tag, v, 9);
}
