// The serial-port driver: the configured devices as card ports, and one
// driver thread that moves data between the devices and the program's
// requests.
//
// Locking: one lock guards every port and pending request; requests are
// completed under it, so once CancelIo or Close returns nothing of theirs is
// touched again. The driver thread waits for the devices with the lock
// released; a port closed meanwhile keeps its device open until that wait is
// over, so the wait never sees a reused descriptor. The removal handler is
// called on the driver thread without the lock, so it may call back.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card/driver.h"
#include "card/emulated_driver.h"
#include "tty/port.h"
#include "tty/tty.h"

namespace tty {

class TtyDriver : public card::EmulatedDriver {
   public:
    explicit TtyDriver(std::vector<TtyCard> cards);
    ~TtyDriver() override;

    std::vector<card::CardInterface> EnumerateInterfaces() override;
    card::PortHandle Open(const std::string& path) override;
    bool Close(card::PortHandle handle) override;
    void SetRemovalHandler(RemovalHandler handler) override;
    // Serial ports do not come and go as card interfaces (the base ignores
    // its handler); an unplugged device is a removal of its open port.

   private:
    struct Session {
        size_t card = 0;
        size_t port = 0;
        std::unique_ptr<TtyPort> io;
    };
    struct Turn;

    card::EmulatedPort* Admit(card::PortHandle handle, Request request, uint32_t code,
                              uint32_t* error) override;
    bool NeedsWake(Request request, uint32_t code, card::EmulatedPort& port,
                   const card::IoResult& result) override;
    void Wake() override;

    void DriverThread();
    void PrepareTurn(Turn* turn, int64_t nowNs);
    void WaitForDevices(Turn* turn, std::unique_lock<std::mutex>& lock);
    std::vector<card::PortHandle> Transfer(const Turn& turn, int64_t nowNs);

    const std::vector<TtyCard> cards_;
    const int64_t epochNs_;
    std::condition_variable turnEnded_;
    std::map<card::PortHandle, Session> sessions_;
    card::PortHandle nextHandle_ = 0x2000;
    std::vector<std::unique_ptr<TtyPort>> closing_;  // closed while the thread waited
    bool waiting_ = false;
    uint64_t turns_ = 0;
    RemovalHandler removalHandler_;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace tty
