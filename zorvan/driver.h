// The card's own kernel driver as a backend of the driver contract.
//
// Requests go to the driver one for one through NativeIo; what the contract
// adds is done here: a request the driver holds is watched by the backend's
// completion thread, which writes its status and count into the program's
// Overlapped and sets the program's event; CancelIo returns only when the
// handle's requests have ended; SetPortEvent's event, which the driver sets
// for every arrival, is passed on to the program's event for as long as the
// port is open.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/driver.h"
#include "zorvan/native_io.h"

namespace zorvan {

// Where the backend learns which cards exist and when devices come and go.
class DeviceSet {
   public:
    struct Listener {
        std::function<void(const card::CardInterface&, bool arrived)> interfaceChanged;
        std::function<void(NativeHandle)> handleRemoved;
    };
    virtual ~DeviceSet() = default;
    virtual std::vector<card::CardInterface> Enumerate() = 0;
    // Notices start at once and come on the set's own thread until it is destroyed.
    virtual void Listen(Listener listener) = 0;
    virtual void WatchHandle(NativeHandle /*handle*/) {}
    virtual void UnwatchHandle(NativeHandle /*handle*/) {}
};

// The contract's port name "<interface path>/<port>[+]" as the driver's
// device name "<interface path>\<port>[+]".
std::string NativePortPath(const std::string& path);

std::unique_ptr<card::Driver> CreateDriver(std::unique_ptr<NativeIo> io,
                                           std::unique_ptr<DeviceSet> devices);

}  // namespace zorvan
