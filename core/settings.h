// The test settings: every parameter of a run, filled from the command line.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t MODE_FRAMED = 0;
constexpr uint32_t MODE_SYNC = 1;
constexpr uint32_t MODE_ASYNC = 3;

constexpr uint32_t INTERFACE_NONE = 0;
constexpr uint32_t INTERFACE_V24 = 1;
constexpr uint32_t INTERFACE_X21 = 2;
constexpr uint32_t INTERFACE_V35 = 3;
constexpr uint32_t INTERFACE_RS530 = 6;
constexpr uint32_t INTERFACE_RS485_2W = 7;
constexpr uint32_t INTERFACE_RS485_4W = 8;

constexpr uint32_t ENCODING_NRZ = 0x80;
constexpr uint32_t ENCODING_NRZI = 0xA0;
constexpr uint32_t ENCODING_FM0 = 0xC0;
constexpr uint32_t ENCODING_FM1 = 0xD0;
constexpr uint32_t ENCODING_MAN = 0xE0;
constexpr uint32_t ENCODING_DMAN = 0xF0;

constexpr uint32_t PARITY_NONE = 0;
constexpr uint32_t PARITY_ODD = 1;
constexpr uint32_t PARITY_EVEN = 2;
constexpr uint32_t PARITY_MARK = 3;
constexpr uint32_t PARITY_SPACE = 4;

constexpr uint32_t FLOW_NONE = 1;
constexpr uint32_t FLOW_RTS = 2;
constexpr uint32_t FLOW_XON = 3;

constexpr uint32_t PATTERN_63 = 1;
constexpr uint32_t PATTERN_511 = 2;
constexpr uint32_t PATTERN_2047 = 3;
constexpr uint32_t PATTERN_2_15 = 4;
constexpr uint32_t PATTERN_2_20 = 5;
constexpr uint32_t PATTERN_2_23 = 6;
constexpr uint32_t PATTERN_QRSS = 7;
constexpr uint32_t PATTERN_1_7 = 8;
constexpr uint32_t PATTERN_1_16 = 9;
constexpr uint32_t PATTERN_2_8 = 10;
constexpr uint32_t PATTERN_3_24 = 11;
constexpr uint32_t PATTERN_1_1 = 13;
constexpr uint32_t PATTERN_FOX = 14;
constexpr uint32_t PATTERN_MK = 15;
constexpr uint32_t PATTERN_SP = 16;
constexpr uint32_t PATTERN_USER = 17;

constexpr int32_t TEST_TXRX = 1;
constexpr int32_t TEST_TX = 2;
constexpr int32_t TEST_RX = 3;
constexpr int32_t TEST_ECHO = 4;

// Extended configuration bits.
constexpr uint32_t EXT_RX_TERMINAL_TIMING = 1;
constexpr uint32_t EXT_TX_TERMINAL_TIMING = 2;
constexpr uint32_t EXT_RX_INVERTED = 4;
constexpr uint32_t EXT_TIV = 8;
constexpr uint32_t EXT_TIMING_0x10 = 0x10;
constexpr uint32_t EXT_KEEP_TIMING = 0x20;

struct TestSettings {
    uint32_t uCard = 0;
    uint32_t uPort = 0;
    uint32_t uMode = MODE_SYNC;
    uint32_t uInterface = INTERFACE_V24;
    uint32_t uEncoding = ENCODING_NRZ;
    uint32_t uClockRate = 19200;
    uint32_t uDataBits = 8;
    uint32_t uParity = PARITY_NONE;
    uint32_t uStopBits = 0;
    uint32_t uFlowControl = FLOW_NONE;
    bool bNrziClocking = false;
    bool bExternalClock = false;
    bool bInvertRxClock = false;
    bool bTermination = false;
    uint32_t uQueueSecs = 2;
    uint32_t uPatternType = PATTERN_2047;
    uint32_t uTestLengthBits = 0;
    uint32_t uTestDurationSecs = 0;
    bool bTestDurationGiven = false;
    int32_t iTestSelect = TEST_TXRX;
    bool bStopOnError = false;
    uint32_t uNoSyncTimeoutSecs = 60;
    bool bGuiLink = false;
    uint32_t uVerbosity = 2;
    bool bDebugOutput = false;
    bool bBurstMode = false;
    int32_t iMaxLogSize = 1000000;
    bool bAutoInvert = false;
    bool bHardwareMode = true;
    bool bDataLogging = false;
    const char* pszCaptureFile = nullptr;
    bool bCaptureHex = false;
    uint32_t uDataLength = 249;
    bool bPollQuietSlaves = false;
    bool bMultiDrop = false;
    bool bMultiDropMaster = false;
    int32_t iSlaveId = -1;
    uint32_t uSelectedSlaves = 0;
    const char* pszUserPatternFile = nullptr;
    bool bUserPatternHex = false;
    bool bRoundTripDelay = false;
    uint32_t uTxDelayMs = 0;
    uint32_t uRxTimeoutMs = 0;

    const char* CaptureOpenMode() const { return bCaptureHex ? "w" : "wb"; }
    const char* UserPatternOpenMode() const { return bUserPatternHex ? "r" : "rb"; }
};

// The one process-wide record. Fixed before worker threads start, except
// where the multi-drop test updates its slave fields.
extern TestSettings g_Settings;

// Changed at run time by the automatic inversion and the front end.
extern std::atomic<uint32_t> g_dwExtendedConfig;

// Puts every setting back to its default (tests run the parser repeatedly).
void ResetSettings();
