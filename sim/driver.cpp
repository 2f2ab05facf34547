#include "sim/driver.h"

#include <chrono>
#include <limits>

#include "card/ioctl.h"
#include "card/port_path.h"
#include "platform/last_error.h"
#include "platform/sync.h"

namespace sim {
namespace {

constexpr int64_t kFramedTickNs = 1000000;

constexpr const char* kPathPrefix = "//sim/zorvan/card";

// Every card and port the configuration allows has a name.
static_assert(kMaxCards <= 10000 && kMaxPortsPerCard <= 10000, "port names carry at most 4 digits");

std::chrono::steady_clock::time_point AtNs(int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

}  // namespace

std::string CardPath(size_t index) { return kPathPrefix + std::to_string(index); }

SimDriver::SimDriver(SimConfig config)
    : tickMs_(config.tickMs), statsFile_(config.statsFile), truthFile_(config.truthFile) {
    for (size_t i = 0; i < config.cards.size(); ++i) {
        auto card = std::make_unique<Card>();
        card->config = std::move(config.cards[i]);
        card->clock.epochNs = NowNs();
        card->path = CardPath(i);
        for (unsigned p = 0; p < card->config.ports; ++p)
            card->ports.push_back(std::make_unique<Port>(card->config, p, card->clock));
        cards_.push_back(std::move(card));
    }
    if (!config.controlFile.empty()) {
        std::vector<ImpairmentConfig> configured;
        for (const auto& card : cards_) configured.push_back(card->config.impairment);
        control_ = std::make_unique<ControlFile>(config.controlFile, std::move(configured));
    }
    clock_ = std::thread([this] { ClockThread(); });
}

SimDriver::~SimDriver() {
    StopThread(clock_);
    std::unique_lock<std::mutex> lock(mutex_);
    WriteLineFiles(lock);
    // Requests still pending here belong to a program that is exiting; their
    // records may be gone, so they are dropped without completion.
}

// ---- discovery ---------------------------------------------------------------

card::CardInterface SimDriver::Describe(const Card& card) const {
    card::CardInterface iface;
    iface.path = card.path;
    iface.description = card.config.description;
    iface.ports = card.config.registry.ports;
    iface.deviceName = card.config.registry.deviceName;
    iface.miniportInstance = card.config.registry.miniportInstance;
    iface.netCfgInstanceId = card.config.registry.netCfgInstanceId;
    return iface;
}

std::vector<card::CardInterface> SimDriver::EnumerateInterfaces() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<card::CardInterface> list;
    for (const auto& card : cards_) list.push_back(Describe(*card));
    return list;
}

void SimDriver::SetRemovalHandler(RemovalHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    removalHandler_ = std::move(handler);
}

void SimDriver::SetInterfaceHandler(InterfaceHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    interfaceHandler_ = std::move(handler);
}

// ---- handles -------------------------------------------------------------------

card::PortHandle SimDriver::Open(const std::string& path) {
    auto refuse = [](uint32_t error) {
        platform::SetLastError(error);
        return card::kInvalidHandle;
    };
    card::PortPath where;
    if (!card::ParsePortPath(path, kPathPrefix, &where))
        return refuse(platform::kErrorFileNotFound);
    std::unique_lock<std::mutex> lock(mutex_);
    if (where.card >= cards_.size()) return refuse(platform::kErrorFileNotFound);
    Card& card = *cards_[where.card];
    if (card.removed || where.port >= card.ports.size())
        return refuse(platform::kErrorFileNotFound);
    if (const FaultConfig* fault = FindFault(card, where.port, FaultKind::Open, 0))
        return refuse(fault->error);
    Port& port = *card.ports[where.port];
    if (port.open()) return refuse(platform::kErrorSharingViolation);

    port.Open(where.plus);
    card::PortHandle handle = nextHandle_++;
    sessions_[handle] = Session{&card, &port, where.port};
    if (card.config.removeAfterMs > 0 && card.removeAtNs == 0)
        card.removeAtNs = NowNs() + int64_t(card.config.removeAfterMs) * 1000000;
    lock.unlock();
    WakeClock();  // a planned removal gives the clock thread a deadline
    platform::SetLastError(platform::kErrorSuccess);
    return handle;
}

bool SimDriver::Close(card::PortHandle handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return Fail(platform::kErrorInvalidHandle);
    it->second.port->Close();
    sessions_.erase(it);
    WriteLineFiles(lock);  // the last word on the port's line
    return true;
}

const FaultConfig* SimDriver::FindFault(const Card& card, unsigned port, FaultKind kind,
                                        uint32_t code) const {
    for (const auto& fault : card.config.faults) {
        if (fault.kind != kind || (fault.port && *fault.port != port)) continue;
        if (kind == FaultKind::Ioctl && fault.ioctl != code) continue;
        return &fault;
    }
    return nullptr;
}

card::EmulatedPort* SimDriver::Admit(card::PortHandle handle, Request request, uint32_t code,
                                     uint32_t* error) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        *error = platform::kErrorInvalidHandle;
        return nullptr;
    }
    Session& session = it->second;
    if (request == Request::kCancel) return session.port;
    if (session.port->removed()) {
        *error = platform::kErrorDeviceRemoved;
        return nullptr;
    }
    FaultKind kind = FaultKind::Ioctl;
    if (request == Request::kWrite) kind = FaultKind::Write;
    if (request == Request::kRead)
        kind = session.port->plus() ? FaultKind::Read : FaultKind::RingRead;
    if (request != Request::kSetup) {
        if (const FaultConfig* fault = FindFault(*session.card, session.portIndex, kind, code)) {
            *error = fault->error;
            return nullptr;
        }
    }
    return session.port;
}

// A fault of "pending" is a driver that takes the request and never answers
// it: the request stays pending until it is cancelled, as on a real driver,
// so a program that gives up on it gets an aborted request, not a success.
bool SimDriver::Refuse(card::PortHandle handle, uint32_t error, card::Overlapped* ov) {
    auto it = sessions_.find(handle);
    if (error != platform::kErrorIoPending || ov == nullptr || it == sessions_.end())
        return Fail(error);
    it->second.port->Stall(ov);
    return Fail(platform::kErrorIoPending);
}

// The clock thread may sleep without a deadline until a port starts, and a
// frame leaves when its last bit is due, not at the tick after it.
bool SimDriver::NeedsWake(Request request, uint32_t code, card::EmulatedPort& port,
                          const card::IoResult& result) {
    if (request == Request::kControl) return code == IOCTL_START_PORT;
    return request == Request::kWrite && result.kind == card::IoResult::kPending &&
           static_cast<Port&>(port).framed();
}

// ---- line files ------------------------------------------------------------------

std::optional<LineStats> SimDriver::LineStatsOf(unsigned card, unsigned port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (card >= cards_.size() || port >= cards_[card]->ports.size()) return std::nullopt;
    return cards_[card]->ports[port]->line().stats();
}

std::string SimDriver::LineStatsText() {
    ++statsGeneration_;
    std::string text;
    for (size_t c = 0; c < cards_.size(); ++c)
        for (size_t p = 0; p < cards_[c]->ports.size(); ++p)
            text += FormatLineStats(unsigned(c), unsigned(p), cards_[c]->ports[p]->line().stats());
    return text;
}

void SimDriver::WriteLineStats(const std::string& text, uint64_t generation) {
    std::lock_guard<std::mutex> lock(statsFileMutex_);
    if (generation <= statsWritten_ || text == statsLastText_) return;
    if (WriteFileAtomically(statsFile_, text)) {
        statsWritten_ = generation;
        statsLastText_ = text;
    }
}

std::string SimDriver::TruthText(int64_t nowNs) const {
    std::string text;
    for (size_t c = 0; c < cards_.size(); ++c)
        for (size_t p = 0; p < cards_[c]->ports.size(); ++p) {
            const Line& line = cards_[c]->ports[p]->line();
            text += FormatTruth(unsigned(c), unsigned(p), line.truth(), nowNs);
            std::vector<std::pair<unsigned, const TruthRecord*>> addresses;
            line.AddressTruths(addresses);
            for (const auto& [address, record] : addresses)
                text += FormatAddressTruth(unsigned(c), unsigned(p), address, *record, nowNs);
        }
    return text;
}

void SimDriver::WriteLineFiles(std::unique_lock<std::mutex>& lock) {
    std::string stats, truth;
    uint64_t statsGeneration = 0, truthGeneration = 0;
    if (!statsFile_.empty()) {
        stats = LineStatsText();
        statsGeneration = statsGeneration_;
    }
    if (!truthFile_.empty()) {
        truth = TruthText(NowNs());
        truthGeneration = ++truthGeneration_;
    }
    lock.unlock();
    if (!statsFile_.empty()) WriteLineStats(stats, statsGeneration);
    if (!truthFile_.empty()) {
        std::lock_guard<std::mutex> fileLock(statsFileMutex_);
        if (truthGeneration > truthWritten_ && WriteFileAtomically(truthFile_, truth))
            truthWritten_ = truthGeneration;
    }
    lock.lock();
}

void SimDriver::ServeLineFiles(int64_t nowNs, std::unique_lock<std::mutex>& lock) {
    constexpr int64_t kPeriodNs = 100 * 1000000;
    if ((!control_ && statsFile_.empty() && truthFile_.empty()) || nowNs < nextLineFilesNs_) return;
    nextLineFilesNs_ = nowNs + kPeriodNs;
    WriteLineFiles(lock);
    std::optional<std::vector<ImpairmentConfig>> update;
    if (control_) {
        lock.unlock();
        update = control_->Poll();
        lock.lock();
    }
    if (!update) return;
    int64_t now = NowNs();
    for (size_t c = 0; c < cards_.size() && c < update->size(); ++c)
        for (auto& port : cards_[c]->ports) port->line().SetImpairments((*update)[c], now);
}

// ---- the clock thread ------------------------------------------------------------

bool SimDriver::AnyPortActive() const {
    for (const auto& card : cards_)
        for (const auto& port : card->ports)
            if (port->active()) return true;
    return false;
}

// A card hands each received frame over as it ends. A poll-and-answer
// protocol on framed ports would otherwise wait up to a tick at every hop, so
// the clock runs at least every millisecond while one of them is active.
int64_t SimDriver::TickNs() const {
    const int64_t configured = int64_t(tickMs_) * 1000000;
    for (const auto& card : cards_)
        for (const auto& port : card->ports)
            if (port->active() && port->framed())
                return std::min<int64_t>(configured, kFramedTickNs);
    return configured;
}

int64_t SimDriver::NextRemovalNs() const {
    int64_t next = std::numeric_limits<int64_t>::max();
    for (const auto& card : cards_)
        if (!card->removed && card->removeAtNs != 0) next = std::min(next, card->removeAtNs);
    return next;
}

int64_t SimDriver::NextPortDueNs() const {
    int64_t next = std::numeric_limits<int64_t>::max();
    for (const auto& card : cards_)
        for (const auto& port : card->ports) next = std::min(next, port->NextDueNs());
    return next;
}

void SimDriver::WakeClock() {
    wake_.notify_all();
    socketWaiter_.Wake();
}

void SimDriver::SleepUntil(int64_t wakeNs, std::unique_lock<std::mutex>& lock) {
    constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    waitSockets_.clear();
    for (const auto& card : cards_)
        for (const auto& port : card->ports) port->AddWaitSockets(waitSockets_);
    if (waitSockets_.empty() || !socketWaiter_.usable()) {
        if (wakeNs == kNever)
            wake_.wait(lock);
        else
            wake_.wait_until(lock, AtNs(wakeNs));
        return;
    }
    // A socket closed meanwhile by a request only ends this wait early or at
    // its deadline: the lines' sockets are looked at again after it.
    const int64_t timeoutNs = wakeNs == kNever ? -1 : std::max<int64_t>(0, wakeNs - NowNs());
    lock.unlock();
    socketWaiter_.Wait(waitSockets_, timeoutNs);
    lock.lock();
}

void SimDriver::RemoveDueCards(int64_t nowNs, Notices* notices) {
    for (auto& card : cards_) {
        if (card->removed || card->removeAtNs == 0 || card->removeAtNs > nowNs) continue;
        card->removed = true;
        for (auto& port : card->ports) port->Remove();
        for (const auto& [handle, session] : sessions_)
            if (session.card == card.get()) notices->removedHandles.push_back(handle);
        notices->leftInterfaces.push_back(Describe(*card));
    }
}

void SimDriver::Announce(const Notices& notices, std::unique_lock<std::mutex>& lock) {
    RemovalHandler onRemoval = removalHandler_;
    InterfaceHandler onInterface = interfaceHandler_;
    lock.unlock();
    for (card::PortHandle handle : notices.removedHandles)
        if (onRemoval) onRemoval(handle);
    for (const auto& iface : notices.leftInterfaces)
        if (onInterface) onInterface(iface, false);
    lock.lock();
}

void SimDriver::ClockThread() {
    SharpenThreadTimers();
    std::unique_lock<std::mutex> lock(mutex_);
    int64_t nextTickNs = NowNs();
    while (!stopping_) {
        int64_t now = NowNs();
        for (auto& card : cards_)
            for (auto& port : card->ports) port->Tick(now);
        ServeLineFiles(now, lock);
        Notices notices;
        RemoveDueCards(now, &notices);
        if (!notices.removedHandles.empty() || !notices.leftInterfaces.empty()) {
            Announce(notices, lock);
            continue;
        }
        int64_t wakeNs = NextRemovalNs();
        if (AnyPortActive()) {
            const int64_t tickNs = TickNs();
            nextTickNs += tickNs;
            if (nextTickNs <= now)
                nextTickNs = now + tickNs;  // fell behind: do not race to catch up
            wakeNs = std::min({wakeNs, nextTickNs, NextPortDueNs()});
        } else {
            nextTickNs = now;
        }
        // The line files are served with the lock released, so a stop asked
        // for meanwhile has already been notified: look again before sleeping.
        if (stopping_) break;
        SleepUntil(wakeNs, lock);
    }
}

}  // namespace sim
