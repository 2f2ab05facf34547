// The port's interface record: input line signals and the driver's error
// counters, polled by the receive threads and reported when they change.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Bits of the signals byte.
constexpr uint8_t SIGNAL_CTS = 0x01;
constexpr uint8_t SIGNAL_DSR = 0x02;
constexpr uint8_t SIGNAL_DCD = 0x04;
constexpr uint8_t SIGNAL_RI = 0x08;
constexpr uint8_t SIGNAL_CARRIER = 0x10;

// Slots of the counter array.
enum InterfaceCounter : unsigned {
    COUNTER_CRC = 0,
    COUNTER_RX_TOO_LONG = 1,
    COUNTER_RX_TOO_SHORT = 2,
    COUNTER_FRAMING = 3,
    COUNTER_RXA = 4,
    COUNTER_TXU = 5,
    COUNTER_RXO = 6,
    COUNTER_TXB = 7,
    COUNTER_RXE = 10,
    COUNTER_SLOTS = 11,
};

// 60 bytes, little-endian, as ReadInterfaceRecord returns it.
struct InterfaceRecord {
    uint32_t dwUnused0;
    uint32_t dwUnused1;
    uint32_t dwCounterChange;  // counters are looked at only when this moves
    uint8_t bySignals;
    uint8_t abyUnused[3];
    uint32_t adwCounters[COUNTER_SLOTS];
};

static_assert(sizeof(InterfaceRecord) == 60);
static_assert(offsetof(InterfaceRecord, dwCounterChange) == 8);
static_assert(offsetof(InterfaceRecord, bySignals) == 12);
static_assert(offsetof(InterfaceRecord, adwCounters) == 16);

// What the last polls reported; all zero clears it so that the next full
// poll reports every non-zero counter. Touched under g_csGlobal only.
extern InterfaceRecord g_LastInterfaceRecord;

// New CRC or framing errors were seen; read and cleared by the receive
// thread's automatic inversion.
extern std::atomic<bool> g_bLineErrorsSeen;

// Reads the record from the open port and reports what changed: the input
// signals always, the counters unless signalsOnly. CRC and framing deltas
// are logged one by one only with reportCounters.
void PollInterfaceRecord(bool signalsOnly, bool reportCounters);
