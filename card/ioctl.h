// Control codes of the card driver and the one call most of them pass through.
#pragma once

#include <cstdint>

#include "card/driver.h"

constexpr uint32_t IOCTL_SET_PORT_EVENT = 0x410;         // SetPortEvent (raw)
constexpr uint32_t IOCTL_SET_V24 = 0x430;                // SetV24
constexpr uint32_t IOCTL_TRANSMIT_DATA = 0x441;          // TransmitData (raw)
constexpr uint32_t IOCTL_TX_INVERT_CHANGED = 0x450;      // TxInvertChanged
constexpr uint32_t IOCTL_GET_V24 = 0x623;                // GetV24
constexpr uint32_t IOCTL_RECEIVE_DATA = 0x632;           // ReceiveData
constexpr uint32_t IOCTL_READ_INTERFACE_RECORD = 0x642;  // ReadInterfaceRecord
constexpr uint32_t IOCTL_READ_CARD_INFO = 0x743;         // ZorvanReadCardInfo
constexpr uint32_t IOCTL_START_PORT = 0x750;             // StartPort
constexpr uint32_t IOCTL_RESET_STATS = 0x7D0;            // ZorvanResetStats
constexpr uint32_t IOCTL_SET_PORT_CONFIG = 0x810;        // SetPortConfig
constexpr uint32_t IOCTL_GET_PORT_CONFIG = 0x823;        // ZorvanGetPortConfig
constexpr uint32_t IOCTL_SET_SERIAL_CONFIG = 0x830;      // SetSerialConfig
constexpr uint32_t IOCTL_GET_SERIAL_CONFIG = 0x843;      // ZorvanGetSerialConfig
constexpr uint32_t IOCTL_START_MONITORING = 0x8C0;       // StartMonitoring
constexpr uint32_t IOCTL_INJECT_ERRORS = 0xA00;          // InjectErrors
constexpr uint32_t IOCTL_SET_DELAY_MODE = 0xA10;         // SetDelayMode
constexpr uint32_t IOCTL_SET_INVERSION = 0xD70;          // SetInversion
constexpr uint32_t IOCTL_SET_BERT_CONFIG = 0xDA0;        // SetBERTConfig
constexpr uint32_t IOCTL_RESET_BERT = 0xDD0;             // ZorvanResetBERT

constexpr uint32_t kReceiveDataMax = 8192;
constexpr uint32_t kInterfaceRecordSize = 60;
constexpr uint32_t kCardInfoSize = 44;
constexpr uint32_t kPortConfigSize = 256;
constexpr uint32_t kSerialConfigSize = 272;
constexpr uint32_t kBertConfigSize = 128;
constexpr uint32_t kBertStatsRecordSize = 36;
constexpr uint32_t kReceiveRecordHeaderSize = 8;

constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;
// A control request is answered by the card at once; one the driver still
// holds after this is taken for lost rather than waited for for ever.
constexpr uint32_t kRequestTimeoutMs = 2000;

// Sends one control request and waits for it (timeoutMs, kNoTimeout for no
// limit). event: nullptr makes a private event for the call. A time-out prints
// "!!! Timeout !!!" and cancels the handle's I/O. Non-zero on success; the
// last error tells why not. While the request is pending the caller's hold
// on g_csGlobal is let go, so the other threads are not stalled behind it.
int DriverIoctl(card::PortHandle handle, uint32_t code, const void* in, uint32_t inLength,
                void* out, uint32_t outLength, uint32_t* bytesReturned,
                uint32_t timeoutMs = kRequestTimeoutMs, platform::Event* event = nullptr);
