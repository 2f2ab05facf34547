// Helpers for driving the simulated driver directly through card::Driver.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/driver.h"
#include "card/ioctl.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "sim/config.h"
#include "sim/driver.h"
#include "sim/records.h"
#include "tests/e2e_support/e2e_support.h"

namespace simtest {

// An overlapped request with its own manual-reset event.
struct Io {
    platform::Event event{true, false};
    card::Overlapped ov;
    Io() { ov.hEvent = &event; }
    bool Done() const { return card::HasOverlappedIoCompleted(ov); }
    // Waits for the completion through the event: the driver sets the status
    // word before it signals, so a record whose end was seen only in the
    // status word may still be signalled and must not go away yet.
    bool Wait(int timeoutMs = 3000) {
        return platform::WaitForEvent(event, uint32_t(e2e::ScaledMs(timeoutMs))) ==
                   platform::kWaitObject0 &&
               Done();
    }
    uint32_t Status() const { return ov.Internal.load(); }
    uint32_t Bytes() const { return ov.InternalHigh.load(); }
};

inline std::unique_ptr<sim::SimDriver> MakeDriver(const std::string& toml = "") {
    sim::SimConfig config = sim::DefaultConfig();
    if (!toml.empty()) {
        std::string error;
        EXPECT_TRUE(sim::ParseConfig(toml, "test.toml", &config, &error)) << error;
    }
    return std::make_unique<sim::SimDriver>(std::move(config));
}

inline std::string PortPath(unsigned card, unsigned port, bool plus = false) {
    return sim::CardPath(card) + "/" + std::to_string(port) + (plus ? "+" : "");
}

// A control request run to its end; the last error when it failed, else 0.
inline uint32_t Control(card::Driver& driver, card::PortHandle h, uint32_t code, const void* in,
                        uint32_t inLength, void* out, uint32_t outLength,
                        uint32_t* bytes = nullptr) {
    Io io;
    uint32_t count = 0;
    if (!driver.DeviceIoControl(h, code, in, inLength, out, outLength, &count, &io.ov)) {
        uint32_t error = platform::GetLastError();
        if (error != platform::kErrorIoPending) return error;
    }
    if (!card::GetOverlappedResult(h, &io.ov, &count, true)) return platform::GetLastError();
    if (bytes) *bytes = count;
    return 0;
}

inline uint32_t ControlWord(card::Driver& driver, card::PortHandle h, uint32_t code,
                            uint32_t value) {
    uint8_t in[4];
    sim::StoreU32(in, 0, value);
    return Control(driver, h, code, in, 4, nullptr, 0);
}

struct LineSetup {
    uint32_t rate = 64000;
    uint32_t mode = sim::kTransparentSync;
    uint32_t dataBitsCode = 0;
    uint32_t parity = 0;
    uint32_t stopBits = 0;
    uint32_t rxBufferLength = 8192;
    uint32_t rxBuffers = 8;
    uint32_t clocking = 1;  // 1 internal, 0 from the line
    uint32_t extended = 0;  // the extended configuration word
};

// Writes the line settings into the port's records and starts the port.
inline void StartPort(card::Driver& driver, card::PortHandle h, const LineSetup& line) {
    std::array<uint8_t, kPortConfigSize> port{};
    sim::StoreU32(port.data(), 0, 4);
    ASSERT_EQ(Control(driver, h, IOCTL_GET_PORT_CONFIG, nullptr, 0, port.data(), kPortConfigSize),
              0u);
    sim::StoreU32(port.data(), sim::kPortRxBufferLength, line.rxBufferLength);
    sim::StoreU32(port.data(), sim::kPortRxNumBuffers, line.rxBuffers);
    ASSERT_EQ(Control(driver, h, IOCTL_SET_PORT_CONFIG, port.data(), kPortConfigSize, nullptr, 0),
              0u);

    std::array<uint8_t, kSerialConfigSize> serial{};
    sim::StoreU32(serial.data(), 0, 3);
    ASSERT_EQ(
        Control(driver, h, IOCTL_GET_SERIAL_CONFIG, nullptr, 0, serial.data(), kSerialConfigSize),
        0u);
    sim::StoreU32(serial.data(), sim::kSerialRate, line.rate);
    sim::StoreU32(serial.data(), sim::kSerialTransparentMode, line.mode);
    sim::StoreU32(serial.data(), sim::kSerialAsyncDataBits, line.dataBitsCode);
    sim::StoreU32(serial.data(), sim::kSerialAsyncParity, line.parity);
    sim::StoreU32(serial.data(), sim::kSerialAsyncStopBits, line.stopBits);
    sim::StoreU32(serial.data(), sim::kSerialClocking, line.clocking);
    sim::StoreU32(serial.data(), sim::kSerialExtendedConfig, line.extended);
    ASSERT_EQ(
        Control(driver, h, IOCTL_SET_SERIAL_CONFIG, serial.data(), kSerialConfigSize, nullptr, 0),
        0u);
    ASSERT_EQ(Control(driver, h, IOCTL_START_PORT, nullptr, 0, nullptr, 0), 0u);
}

// Queues one TransmitData request; the buffer must outlive it.
inline void Transmit(card::Driver& driver, card::PortHandle h, const std::vector<uint8_t>& data,
                     Io& io) {
    uint32_t count = 0;
    bool ok = driver.DeviceIoControl(h, IOCTL_TRANSMIT_DATA, data.data(), uint32_t(data.size()),
                                     nullptr, 0, &count, &io.ov);
    ASSERT_FALSE(ok);
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
}

// Polls until the condition holds or the (scaled) time is up.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
    return e2e::WaitUntil(condition, timeoutMs);
}

// Carries ms of line time on witness, another started port of the same
// driver at 64 kbit/s, and returns once that transmit is done: a port that
// should have moved meanwhile has had every tick of that time. For a check
// that nothing happens, bound by the driver's own progress.
inline bool RunTheClock(card::Driver& driver, card::PortHandle witness, int ms) {
    std::vector<uint8_t> data(size_t(ms) * 8, 0x55);  // 8000 bytes a second
    Io io;
    Transmit(driver, witness, data, io);
    return io.Wait(3000 + ms);
}

inline std::vector<uint8_t> Counting(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> data(count);
    for (size_t i = 0; i < count; ++i) data[i] = uint8_t(first + i);
    return data;
}

inline std::array<uint8_t, kInterfaceRecordSize> InterfaceRecord(card::Driver& driver,
                                                                 card::PortHandle h) {
    std::array<uint8_t, kInterfaceRecordSize> record{};
    EXPECT_EQ(Control(driver, h, IOCTL_READ_INTERFACE_RECORD, nullptr, 0, record.data(),
                      kInterfaceRecordSize),
              0u);
    return record;
}

}  // namespace simtest
