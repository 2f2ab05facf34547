// The card driver's own error codes and their texts.
#pragma once

#include <cstdint>

constexpr uint32_t ZV_ERROR_INVALID_INPUT_LENGTH = 0xE0000001;
constexpr uint32_t ZV_ERROR_INVALID_OUTPUT_LENGTH = 0xE0000002;
constexpr uint32_t ZV_ERROR_PRIMARY_IOCTL = 0xE0000003;
constexpr uint32_t ZV_ERROR_CARD_NOT_STARTED = 0xE0000004;
constexpr uint32_t ZV_ERROR_INVALID_CTBUS_MODE = 0xE0000005;
constexpr uint32_t ZV_ERROR_INVALID_CTBUS_FEED = 0xE0000006;
constexpr uint32_t ZV_ERROR_INVALID_IOCTL = 0xE0000007;
constexpr uint32_t ZV_ERROR_INVALID_LENGTH = 0xE0000008;

// Text for a driver code; "Error=0x%x" for any other. The text stays valid
// until the calling thread's next call.
const char* DescribeDriverError(uint32_t code);

// Logs "<prefix> \"<text>\" (<code>)" for the calling thread's last error: the
// system's text when it has one, the driver's otherwise.
void LogLastError(unsigned level, const char* prefix);
