#include "card/driver_error.h"

#include <cstdio>
#include <string>

#include "log/log.h"
#include "platform/last_error.h"

const char* DescribeDriverError(uint32_t code) {
    switch (code) {
        case ZV_ERROR_INVALID_INPUT_LENGTH:
            return "Invalid Input Buffer Length";
        case ZV_ERROR_INVALID_OUTPUT_LENGTH:
            return "Invalid Output Buffer Length";
        case ZV_ERROR_PRIMARY_IOCTL:
            return "Primary IOCTL";
        case ZV_ERROR_CARD_NOT_STARTED:
            return "Card not Started";
        case ZV_ERROR_INVALID_CTBUS_MODE:
            return "Invalid CT_BUS mode";
        case ZV_ERROR_INVALID_CTBUS_FEED:
            return "Invalid CT_BUS feed";
        case ZV_ERROR_INVALID_IOCTL:
            return "Invalid IOCTL";
        case ZV_ERROR_INVALID_LENGTH:
            return "Invalid length";
        default: {
            thread_local char text[32];
            snprintf(text, sizeof text, "Error=0x%x", code);
            return text;
        }
    }
}

void LogLastError(unsigned level, const char* prefix) {
    uint32_t code = platform::GetLastError();
    std::string text = platform::SystemErrorText(code);
    if (text.size() >= 2) {
        text.resize(text.size() - 2);
        LogPrint(level, "%s \"%s\" (0x%x, %lu)\n", prefix, text.c_str(), code,
                 static_cast<unsigned long>(code));
    } else {
        LogPrint(level, "%s \"%s\" (0x%x)\n", prefix, DescribeDriverError(code), code);
    }
}
