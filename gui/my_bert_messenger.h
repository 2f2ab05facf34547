// The program's messenger: its lock is the program's one lock, the end of the
// pipe ends the test, and the front end's messages act on the run state.
#pragma once

#include <cstdint>

#include "gui/bert_messenger.h"
#include "platform/sync.h"

// What the front end's messages do in the layers above this one; the main
// flow installs them before the messenger starts. A missing one does nothing.
struct GuiActions {
    // ZVBERT_SIGNAL_CHANGE: the DTR, RTS and transmit-inversion wishes.
    void (*pfnSignalChange)(uint8_t item, uint8_t state) = nullptr;
    // ZVBERT_RESET_STATS beyond the key r: the multi-drop and round-trip
    // delay statistics.
    void (*pfnResetTestStats)() = nullptr;
    // ZVBERT_MULTIDROP_POLL_SLAVE.
    void (*pfnPollSlave)(uint8_t slave, uint8_t poll) = nullptr;
};

class MyBertMessenger : public BertMessenger {
   public:
    MyBertMessenger(platform::CriticalSection* lock, const GuiActions& actions)
        : m_pcsGlobal(lock), m_Actions(actions) {}
    ~MyBertMessenger() override { Stop(); }

   protected:
    void Connected() override {}
    void MessageReceived(uint32_t tag, uint32_t length, const uint8_t* value) override;
    void Stopping(uint32_t stopCode) override;
    void Lock() override { m_pcsGlobal->Enter(); }
    void Unlock() override { m_pcsGlobal->Leave(); }

   private:
    platform::CriticalSection* m_pcsGlobal;
    GuiActions m_Actions;
};
