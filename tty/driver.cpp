#include "tty/driver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "card/ioctl.h"
#include "card/port_path.h"
#include "platform/last_error.h"
#include "platform/sync.h"

namespace tty {
namespace {

constexpr const char* kPathPrefix = "//tty/card";

}  // namespace

std::string CardPath(size_t index) { return kPathPrefix + std::to_string(index); }

std::unique_ptr<card::Driver> CreateDriver(std::vector<TtyCard> cards) {
    return std::make_unique<TtyDriver>(std::move(cards));
}

// What one turn of the driver thread waits for.
struct TtyDriver::Turn {
    std::vector<pollfd> fds;                // [0] is the wake-up descriptor
    std::vector<card::PortHandle> handles;  // of fds[1..]
    int timeoutMs = -1;
};

TtyDriver::TtyDriver(std::vector<TtyCard> cards) : cards_(std::move(cards)), epochNs_(NowNs()) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { DriverThread(); });
}

TtyDriver::~TtyDriver() {
    StopThread(thread_);
    sessions_.clear();
    if (wakeFd_ >= 0) close(wakeFd_);
}

// ---- discovery ------------------------------------------------------------------

std::vector<card::CardInterface> TtyDriver::EnumerateInterfaces() {
    std::vector<card::CardInterface> list;
    for (size_t i = 0; i < cards_.size(); ++i) {
        card::CardInterface iface;
        iface.path = CardPath(i);
        iface.description = cards_[i].description;
        iface.ports = uint32_t(cards_[i].devices.size());
        iface.deviceName = "TTYS" + std::to_string(i);
        list.push_back(iface);
    }
    return list;
}

void TtyDriver::SetRemovalHandler(RemovalHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    removalHandler_ = std::move(handler);
}

// ---- handles ---------------------------------------------------------------------

card::PortHandle TtyDriver::Open(const std::string& path) {
    card::PortPath where;
    if (!card::ParsePortPath(path, kPathPrefix, &where) || where.card >= cards_.size() ||
        where.port >= cards_[where.card].devices.size()) {
        platform::SetLastError(platform::kErrorFileNotFound);
        return card::kInvalidHandle;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [handle, session] : sessions_) {
        if (session.card == where.card && session.port == where.port) {
            platform::SetLastError(platform::kErrorSharingViolation);
            return card::kInvalidHandle;
        }
    }
    uint32_t error = 0;
    int fd = OpenDevice(cards_[where.card].devices[where.port], &error);
    if (fd < 0) {
        platform::SetLastError(error);
        return card::kInvalidHandle;
    }
    card::PortHandle handle = nextHandle_++;
    sessions_[handle] =
        Session{where.card, where.port, std::make_unique<TtyPort>(fd, where.plus, epochNs_)};
    platform::SetLastError(platform::kErrorSuccess);
    return handle;
}

bool TtyDriver::Close(card::PortHandle handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return Fail(platform::kErrorInvalidHandle);
    std::unique_ptr<TtyPort> io = std::move(it->second.io);
    sessions_.erase(it);
    io->Cancel(platform::kErrorOperationAborted);
    if (!waiting_ || std::this_thread::get_id() == thread_.get_id()) return true;  // io closes here
    // The driver thread may be waiting on this device: it closes it when the
    // wait is over, and only then is the device free for the next Open.
    closing_.push_back(std::move(io));
    uint64_t turn = turns_;
    lock.unlock();
    Wake();
    lock.lock();
    turnEnded_.wait(lock, [&] { return turns_ != turn; });
    return true;
}

card::EmulatedPort* TtyDriver::Admit(card::PortHandle handle, Request request, uint32_t /*code*/,
                                     uint32_t* error) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        *error = platform::kErrorInvalidHandle;
        return nullptr;
    }
    TtyPort* io = it->second.io.get();
    if (request == Request::kSetup && io->removed()) {
        *error = platform::kErrorDeviceRemoved;
        return nullptr;
    }
    return io;
}

// A started port or new data to send changes what the driver thread waits for.
bool TtyDriver::NeedsWake(Request request, uint32_t code, card::EmulatedPort& /*port*/,
                          const card::IoResult& /*result*/) {
    if (request == Request::kControl)
        return code == IOCTL_START_PORT || code == IOCTL_TRANSMIT_DATA;
    return request == Request::kWrite;
}

// ---- the driver thread ------------------------------------------------------------

void TtyDriver::Wake() {
    uint64_t one = 1;
    if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof one) < 0) {
        // The counter is full: the thread has wake-ups enough to come.
    }
}

void TtyDriver::PrepareTurn(Turn* turn, int64_t nowNs) {
    turn->fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
    turn->handles.clear();
    int64_t dueNs = std::numeric_limits<int64_t>::max();
    for (const auto& [handle, session] : sessions_) {
        short events = session.io->PollEvents();
        if (events == 0) continue;
        turn->fds.push_back(pollfd{session.io->fd(), events, 0});
        turn->handles.push_back(handle);
        dueNs = std::min(dueNs, session.io->NextTransmitNs(nowNs));
    }
    if (dueNs == std::numeric_limits<int64_t>::max())
        turn->timeoutMs = -1;
    else
        turn->timeoutMs = int(std::clamp<int64_t>((dueNs - nowNs + 999999) / 1000000, 0, 1000));
}

void TtyDriver::WaitForDevices(Turn* turn, std::unique_lock<std::mutex>& lock) {
    waiting_ = true;
    lock.unlock();
    if (poll(turn->fds.data(), turn->fds.size(), turn->timeoutMs) < 0 && errno != EINTR)
        platform::SleepMs(1);
    uint64_t count = 0;
    if (turn->fds[0].revents & POLLIN) {
        if (read(wakeFd_, &count, sizeof count) < 0) {
            // Already drained: nothing to do.
        }
    }
    lock.lock();
    waiting_ = false;
    closing_.clear();
    ++turns_;
    turnEnded_.notify_all();
}

std::vector<card::PortHandle> TtyDriver::Transfer(const Turn& turn, int64_t nowNs) {
    std::vector<card::PortHandle> gone;
    for (auto& [handle, session] : sessions_) {
        TtyPort& io = *session.io;
        short revents = 0;
        for (size_t i = 0; i < turn.handles.size(); ++i)
            if (turn.handles[i] == handle && turn.fds[i + 1].fd == io.fd())
                revents = turn.fds[i + 1].revents;
        if (!io.started() || io.Transfer(revents, nowNs)) continue;
        io.Remove();
        gone.push_back(handle);
    }
    return gone;
}

void TtyDriver::DriverThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    Turn turn;
    while (!stopping_) {
        PrepareTurn(&turn, NowNs());
        WaitForDevices(&turn, lock);
        if (stopping_) break;
        std::vector<card::PortHandle> gone = Transfer(turn, NowNs());
        if (gone.empty() || !removalHandler_) continue;
        RemovalHandler onRemoval = removalHandler_;
        lock.unlock();
        for (card::PortHandle handle : gone) onRemoval(handle);
        lock.lock();
    }
}

}  // namespace tty
