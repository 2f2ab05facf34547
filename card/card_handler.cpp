#include "card/card_handler.h"

#include <strings.h>

#include <algorithm>

#include "card/discovery.h"
#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "log/log.h"
#include "platform/file.h"
#include "platform/last_error.h"

CardHandler g_CardHandler;
ZvPort* g_pOpenPort = nullptr;

namespace {

// The driver key's values are read into fixed fields; longer values are cut.
constexpr size_t kDescriptionRoom = 259;
constexpr size_t kDeviceNameRoom = 259;
constexpr size_t kMiniportInstanceRoom = 4;
// A corrupt "Ports" value must not make the handler build millions of ports.
constexpr uint32_t kMaxPortsPerCard = 256;

std::string Cut(const std::string& text, size_t room) {
    return text.substr(0, std::min(text.size(), room));
}

// Leading decimal digits, as atoi reads them; saturates instead of wrapping.
uint32_t LeadingNumber(const std::string& text, size_t from) {
    uint64_t value = 0;
    for (size_t i = from; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<uint64_t>(value * 10 + uint64_t(text[i] - '0'), UINT32_MAX);
    return static_cast<uint32_t>(value);
}

uint32_t PortsOf(const card::CardInterface& iface) {
    // A card that has a network configuration serves exactly one port.
    if (iface.netCfgInstanceId) return 1;
    uint32_t ports = iface.ports.value_or(0);
    if (ports > kMaxPortsPerCard) {
        LogPrint(1, "WARNING: card %s reports %u ports, using %u\n", iface.path.c_str(), ports,
                 kMaxPortsPerCard);
        ports = kMaxPortsPerCard;
    }
    return ports;
}

}  // namespace

// ---- ZvPort ----

ZvPort::ZvPort(ZvCard& card, uint32_t index)
    : m_card(card), m_uIndex(index), m_sDeviceName(card.Path() + "/" + std::to_string(index)) {}

ZvPort::~ZvPort() { Close(); }

bool ZvPort::Open(bool* usePlus) {
    card::Driver* driver = card::GetDriver();
    if (driver == nullptr) {
        platform::SetLastError(platform::kErrorFileNotFound);
        return false;
    }
    Close();
    card::PortHandle handle = card::kInvalidHandle;
    if (*usePlus) {
        handle = driver->Open(m_sDeviceName + "+");
        if (handle == card::kInvalidHandle) *usePlus = false;
    }
    if (handle == card::kInvalidHandle) handle = driver->Open(m_sDeviceName);
    m_hPort = handle;
    return handle != card::kInvalidHandle;
}

void ZvPort::Close() {
    card::PortHandle handle = m_hPort.exchange(card::kInvalidHandle);
    if (handle == card::kInvalidHandle) return;
    if (card::Driver* driver = card::GetDriver()) driver->Close(handle);
}

// ---- ZvCard ----

ZvCard::ZvCard(std::string description, std::string path, std::string deviceName,
               std::string miniportInstance, uint32_t numPorts)
    : m_sDescription(std::move(description)),
      m_sPath(std::move(path)),
      m_sDeviceName(std::move(deviceName)),
      m_sMiniportInstance(std::move(miniportInstance)) {
    m_ports.reserve(numPorts);
    for (uint32_t i = 0; i < numPorts; ++i) m_ports.push_back(std::make_unique<ZvPort>(*this, i));
}

uint32_t ZvCard::Number() const {
    if (!m_sMiniportInstance.empty()) return LeadingNumber(m_sMiniportInstance, 0);
    if (m_sDeviceName.size() <= 4) return 0;
    return LeadingNumber(m_sDeviceName, 4);
}

// ---- ZvCardHandler ----

ZvCardHandler::~ZvCardHandler() {
    Unsubscribe();
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_cards.clear();
}

void ZvCardHandler::Unsubscribe() {
    card::Driver* driver = card::GetDriver();
    // A driver replaced since Discover has been destroyed with its handlers.
    if (driver == nullptr || driver != m_pDriver) return;
    driver->SetInterfaceHandler(nullptr);
    driver->SetRemovalHandler(nullptr);
    m_pDriver = nullptr;
}

bool ZvCardHandler::Discover(uint32_t /*options*/) {
    card::Driver* driver = card::GetDriver();
    if (driver == nullptr) {
        m_bReportChanges = true;
        return false;
    }
    for (const card::CardInterface& iface : driver->EnumerateInterfaces()) AddCard(iface);
    AddPseudoCards();
    m_pDriver = driver;
    driver->SetInterfaceHandler([this](const card::CardInterface& iface, bool arrived) {
        OnInterfaceChange(iface, arrived);
    });
    driver->SetRemovalHandler([this](card::PortHandle handle) { OnHandleRemoved(handle); });
    m_bReportChanges = true;
    return true;
}

void ZvCardHandler::AddPseudoCards() {
    // The X.25 pseudo-card is offered when its driver file is installed.
    if (!platform::SystemDriverFilePresent("zvxnet", ".sys")) return;
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_cards.push_back(std::make_unique<ZvCard>("IP over X.25", "", "", "", 1));
}

void ZvCardHandler::AddCard(const card::CardInterface& iface) {
    // An interface without a path cannot be opened: nothing to list.
    if (iface.path.empty()) return;
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    auto known =
        std::find_if(m_cards.begin(), m_cards.end(),
                     [&](const std::unique_ptr<ZvCard>& c) { return c->Path() == iface.path; });
    ZvCard* card = known != m_cards.end() ? known->get() : nullptr;
    if (card == nullptr) {
        auto made = std::make_unique<ZvCard>(
            Cut(iface.description, kDescriptionRoom), iface.path,
            Cut(iface.deviceName.value_or(""), kDeviceNameRoom),
            Cut(iface.miniportInstance.value_or(""), kMiniportInstanceRoom), PortsOf(iface));
        card = made.get();
        auto after = std::find_if(
            m_cards.begin(), m_cards.end(),
            [&](const std::unique_ptr<ZvCard>& c) { return c->DeviceName() > card->DeviceName(); });
        m_cards.insert(after, std::move(made));
    }
    if (m_bReportChanges) CardChanged(*card);
}

ZvPort* ZvCardHandler::FindPort(uint32_t cardNumber, uint32_t portIndex) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (const auto& card : m_cards)
        if (card->Number() == cardNumber) return card->Port(portIndex);
    return nullptr;
}

std::vector<const ZvCard*> ZvCardHandler::Cards() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    std::vector<const ZvCard*> cards;
    for (const auto& card : m_cards) cards.push_back(card.get());
    return cards;
}

void ZvCardHandler::OnInterfaceChange(const card::CardInterface& iface, bool arrived) {
    if (arrived) {
        AddCard(iface);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (const auto& card : m_cards) {
        if (strcasecmp(card->Path().c_str(), iface.path.c_str()) == 0) {
            CardChanged(*card);
            return;
        }
    }
}

void ZvCardHandler::OnHandleRemoved(card::PortHandle handle) {
    if (handle == card::kInvalidHandle) return;
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (const auto& card : m_cards) {
        for (size_t i = 0; i < card->PortCount(); ++i) {
            ZvPort* port = card->Port(i);
            if (port->Handle() != handle) continue;
            PortRemoved(*port);
            // Closing cancels the port's pending requests, so the set-up's
            // release may free their buffers once it gets the lock.
            port->Close();
        }
    }
}

// ---- CardHandler ----

CardHandler::~CardHandler() { Unsubscribe(); }

void CardHandler::PortRemoved(ZvPort& port) {
    if (g_pOpenPort == &port) g_pOpenPort = nullptr;
    if (NoteCardRemoved()) LogPrint(1, "%s", kCardRemovedMessage);
    RequestStop(true);
    g_hPort = card::kInvalidHandle;
}

bool StartCardDiscovery() { return g_CardHandler.Discover(); }
