// The simulated Zorvan driver: the cards of a configuration behind the driver
// contract of card/driver.h, with one clock thread that paces every line.
//
// Locking: one lock guards every card, port and pending request. Requests
// are completed under it, so once CancelIo or Close returns nothing of theirs
// is touched again. The removal and interface handlers are called on the
// clock thread without the lock, so they may call back into the driver.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "card/driver.h"
#include "card/emulated_driver.h"
#include "sim/config.h"
#include "sim/line_control.h"
#include "sim/line_socket.h"
#include "sim/port.h"

namespace sim {

// Path of card number index: "//sim/zorvan/card<index>".
std::string CardPath(size_t index);

class SimDriver : public card::EmulatedDriver {
   public:
    explicit SimDriver(SimConfig config);
    ~SimDriver() override;

    std::vector<card::CardInterface> EnumerateInterfaces() override;
    card::PortHandle Open(const std::string& path) override;
    bool Close(card::PortHandle handle) override;
    void SetRemovalHandler(RemovalHandler handler) override;
    void SetInterfaceHandler(InterfaceHandler handler) override;

    // What the line of a port did to its data since the port last started;
    // nothing for a port that does not exist.
    std::optional<LineStats> LineStatsOf(unsigned card, unsigned port) const;

   private:
    struct Card {
        CardConfig config;
        CardClock clock;  // each card stamps by its own clock
        std::string path;
        std::vector<std::unique_ptr<Port>> ports;
        bool removed = false;
        int64_t removeAtNs = 0;  // 0: no removal planned
    };
    struct Session {
        Card* card = nullptr;
        Port* port = nullptr;
        unsigned portIndex = 0;
    };
    // What the clock thread has to tell the program once the lock is released.
    struct Notices {
        std::vector<card::PortHandle> removedHandles;
        std::vector<card::CardInterface> leftInterfaces;
    };

    // Looks the handle up and applies the configured faults.
    card::EmulatedPort* Admit(card::PortHandle handle, Request request, uint32_t code,
                              uint32_t* error) override;
    bool Refuse(card::PortHandle handle, uint32_t error, card::Overlapped* ov) override;
    bool NeedsWake(Request request, uint32_t code, card::EmulatedPort& port,
                   const card::IoResult& result) override;
    void Wake() override { WakeClock(); }
    const FaultConfig* FindFault(const Card& card, unsigned port, FaultKind kind,
                                 uint32_t code) const;
    card::CardInterface Describe(const Card& card) const;

    void ClockThread();
    void RemoveDueCards(int64_t nowNs, Notices* notices);
    bool AnyPortActive() const;
    int64_t TickNs() const;
    int64_t NextRemovalNs() const;
    int64_t NextPortDueNs() const;
    // Sleeps until wakeNs (INT64_MAX: until woken), a line socket's input or
    // a wake-up; under the lock, which it releases while it waits.
    void SleepUntil(int64_t wakeNs, std::unique_lock<std::mutex>& lock);
    void WakeClock();
    void Announce(const Notices& notices, std::unique_lock<std::mutex>& lock);
    // Every 100 ms: the control file read, the counters file written.
    void ServeLineFiles(int64_t nowNs, std::unique_lock<std::mutex>& lock);
    std::string LineStatsText();
    void WriteLineStats(const std::string& text, uint64_t generation);
    std::string TruthText(int64_t nowNs) const;
    // The line files as they stand, written with the lock released.
    void WriteLineFiles(std::unique_lock<std::mutex>& lock);

    const uint32_t tickMs_;
    std::condition_variable wake_;
    LineSocketWaiter socketWaiter_;  // used in place of wake_ while lines have sockets
    std::vector<int> waitSockets_;   // the clock thread's own
    std::vector<std::unique_ptr<Card>> cards_;
    std::map<card::PortHandle, Session> sessions_;
    card::PortHandle nextHandle_ = 0x1000;
    RemovalHandler removalHandler_;
    InterfaceHandler interfaceHandler_;

    std::unique_ptr<ControlFile> control_;  // used by the clock thread only
    const std::string statsFile_;
    int64_t nextLineFilesNs_ = 0;
    uint64_t statsGeneration_ = 0;  // counts the texts taken, under the lock
    std::mutex statsFileMutex_;     // one writer at a time, never an older text last
    uint64_t statsWritten_ = 0;
    std::string statsLastText_;
    const std::string truthFile_;
    uint64_t truthGeneration_ = 0;  // as statsGeneration_, for the truth file
    uint64_t truthWritten_ = 0;

    std::thread clock_;
};

}  // namespace sim
