// The operating-system side of a serial port: open, line settings, modem
// lines, the kernel's error counters. Failures come back as last-error codes
// (platform::ErrorFromErrno); a device that lacks a feature (a
// pseudo-terminal has no modem lines and no counters) reads as having none.
#pragma once

#include <cstdint>
#include <string>

#include "tty/line_settings.h"

namespace tty {

// Opens the device for non-blocking reads and writes and locks it against
// every other opener. -1 with *error set when missing, busy or not a tty.
int OpenDevice(const std::string& path, uint32_t* error);
void CloseDevice(int fd);

bool ApplyLineSettings(int fd, const LineSettings& line, uint32_t* error);
// Drops whatever the kernel holds in both directions.
void FlushDevice(int fd);

// Input signals in the interface record's bits: CTS 1, DSR 2, DCD 4, RI 8.
uint8_t ReadInputSignals(int fd);
// DTR and RTS; RTS is left to the kernel under hardware flow control.
void SetOutputSignals(int fd, bool dtr, bool rts, bool rtsByKernel);

struct KernelCounters {
    uint32_t framing = 0;
    uint32_t parity = 0;
    uint32_t overrun = 0;  // the UART's and the kernel buffer's
    uint32_t breaks = 0;
};
KernelCounters ReadKernelCounters(int fd);

// Non-blocking transfers: bytes moved, 0 when the device would block, -1 when
// it has gone (hung up, unplugged).
long ReadDevice(int fd, uint8_t* buffer, uint32_t length);
long WriteDevice(int fd, const uint8_t* data, uint32_t length);

}  // namespace tty
