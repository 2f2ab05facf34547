#include "platform/last_error.h"

#include <cstring>

namespace platform {

std::string SystemErrorText(uint32_t code) {
    switch (code) {
        case kErrorSuccess:
            return "The operation completed successfully.\r\n";
        case kErrorFileNotFound:
            return "The system cannot find the file specified.\r\n";
        case kErrorAccessDenied:
            return "Access is denied.\r\n";
        case kErrorInvalidHandle:
            return "The handle is invalid.\r\n";
        case kErrorNotEnoughMemory:
            return "Not enough memory resources are available to process this command.\r\n";
        case kErrorGenFailure:
            return "A device attached to the system is not functioning.\r\n";
        case kErrorSharingViolation:
            return "The process cannot access the file because it is being used by another "
                   "process.\r\n";
        case kErrorNotSupported:
            return "The request is not supported.\r\n";
        case kErrorInvalidParameter:
            return "The parameter is incorrect.\r\n";
        case kErrorInsufficientBuffer:
            return "The data area passed to a system call is too small.\r\n";
        case kErrorOperationAborted:
            return "The I/O operation has been aborted because of either a thread exit or an "
                   "application request.\r\n";
        case kErrorIoIncomplete:
            return "Overlapped I/O event is not in a signaled state.\r\n";
        case kErrorIoPending:
            return "Overlapped I/O operation is in progress.\r\n";
        case kErrorDeviceRemoved:
            return "The device has been removed.\r\n";
        default:
            break;
    }
    if ((code & 0xFFFF0000u) == kErrnoCodeBit) {
        char buffer[256];
        // The GNU strerror_r may return its own static text instead of filling buffer.
        const char* text = strerror_r(int(code & 0xFFFF), buffer, sizeof buffer);
        return std::string(text) + "\r\n";
    }
    return std::string();
}

}  // namespace platform
