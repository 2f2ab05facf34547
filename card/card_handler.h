// The cards and ports the driver offers, kept in one process-wide handler
// that also hears when card interfaces come and go and when an open port's
// device is removed. The driver's notices arrive on a driver thread; the
// handler's lock serialises them with lookups and with the port set-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "card/driver.h"

class ZvCard;

// One port device of a card. Opened through the handler's lock.
class ZvPort {
   public:
    ZvPort(ZvCard& card, uint32_t index);
    ~ZvPort();
    ZvPort(const ZvPort&) = delete;
    ZvPort& operator=(const ZvPort&) = delete;

    // Opens "<path>/<index>", first with "+" appended when *usePlus is set;
    // if that fails *usePlus is cleared and the plain path is opened.
    bool Open(bool* usePlus);
    void Close();

    card::PortHandle Handle() const { return m_hPort.load(); }
    uint32_t Index() const { return m_uIndex; }
    const std::string& DeviceName() const { return m_sDeviceName; }
    ZvCard& Card() const { return m_card; }

   private:
    ZvCard& m_card;
    const uint32_t m_uIndex;
    const std::string m_sDeviceName;
    std::atomic<card::PortHandle> m_hPort{card::kInvalidHandle};
};

// One card: its interface path, driver-key values and ports.
class ZvCard {
   public:
    ZvCard(std::string description, std::string path, std::string deviceName,
           std::string miniportInstance, uint32_t numPorts);

    // MiniportInstance as a decimal number when it is set, else the number
    // after the first four characters of DeviceName.
    uint32_t Number() const;

    const std::string& Description() const { return m_sDescription; }
    const std::string& Path() const { return m_sPath; }
    const std::string& DeviceName() const { return m_sDeviceName; }
    const std::string& MiniportInstance() const { return m_sMiniportInstance; }
    size_t PortCount() const { return m_ports.size(); }
    ZvPort* Port(size_t index) const {
        return index < m_ports.size() ? m_ports[index].get() : nullptr;
    }

   private:
    std::string m_sDescription;
    std::string m_sPath;
    std::string m_sDeviceName;
    std::string m_sMiniportInstance;
    std::vector<std::unique_ptr<ZvPort>> m_ports;
};

class ZvCardHandler {
   public:
    ZvCardHandler() = default;
    virtual ~ZvCardHandler();
    ZvCardHandler(const ZvCardHandler&) = delete;
    ZvCardHandler& operator=(const ZvCardHandler&) = delete;

    // A card arrived after discovery, or its interface went away.
    virtual void CardChanged(ZvCard& /*card*/) {}
    // The device behind an open port is going away. Called with the lock
    // held; the port is closed right after unless the override closed it.
    virtual void PortRemoved(ZvPort& /*port*/) {}

    // Lists the cards of the installed driver and subscribes to its notices.
    // False when there is no driver.
    bool Discover(uint32_t options = 0);

    // The port at a 0-based index of the first card, in list order, with
    // that number; nullptr when there is none. Cards stay in the list for
    // the handler's lifetime, so the pointer stays valid.
    ZvPort* FindPort(uint32_t cardNumber, uint32_t portIndex);

    // The cards in list order (ascending DeviceName, equal names in arrival
    // order).
    std::vector<const ZvCard*> Cards();

    std::recursive_mutex& Lock() { return m_lock; }

    // The driver's notices; public so a driver thread's callback can reach them.
    void OnInterfaceChange(const card::CardInterface& iface, bool arrived);
    void OnHandleRemoved(card::PortHandle handle);

   protected:
    // Drops the driver's callbacks; each destructor in the chain calls it so
    // no notice reaches a half-destroyed handler.
    void Unsubscribe();

   private:
    void AddCard(const card::CardInterface& iface);
    void AddPseudoCards();

    std::recursive_mutex m_lock;
    std::vector<std::unique_ptr<ZvCard>> m_cards;
    card::Driver* m_pDriver = nullptr;
    std::atomic<bool> m_bReportChanges{false};
};

// Ends the test when the open port's device goes away.
class CardHandler : public ZvCardHandler {
   public:
    ~CardHandler() override;
    void PortRemoved(ZvPort& port) override;
};

// The process-wide handler.
extern CardHandler g_CardHandler;

// The port the set-up opened; cleared when its device is removed. Guarded by
// g_CardHandler.Lock().
extern ZvPort* g_pOpenPort;
