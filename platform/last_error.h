// The calling thread's last error, in the numbering of the driver contract:
// Windows system codes for the cases the program meets, and the card driver's
// own codes from 0xE0000001.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorDeviceRemoved = 1617;

// A system call's errno carried as a last error. The customer-code bit keeps
// these apart from the Windows codes above and the driver's 0xE... codes.
constexpr uint32_t kErrnoCodeBit = 0x20000000;
constexpr uint32_t ErrorFromErrno(int error) { return kErrnoCodeBit | uint32_t(error & 0xFFFF); }

uint32_t GetLastError();
void SetLastError(uint32_t code);

// The system's message for a code, ending in "\r\n" as the system gives it, or
// an empty text when the system has none (the driver's own codes). An errno
// code gives the C library's text.
std::string SystemErrorText(uint32_t code);
// The fixed text of a code of the list above; empty for any other.
std::string KnownSystemErrorText(uint32_t code);

}  // namespace platform
