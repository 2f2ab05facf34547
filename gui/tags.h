// Tags of the records exchanged with the graphical front end.
#pragma once

#include <cstdint>

constexpr uint16_t ZVBERT_TEST_STARTED = 1001;
constexpr uint16_t ZVBERT_TEST_ENDED = 1002;
constexpr uint16_t ZVBERT_END_ACK = 1003;
constexpr uint16_t ZVBERT_EXIT_STATUS = 1004;
constexpr uint16_t ZVBERT_INJECT_ERRORS = 1005;
constexpr uint16_t ZVBERT_RESET_STATS = 1006;
constexpr uint16_t ZVBERT_STOP = 1007;
constexpr uint16_t ZVBERT_SIGNAL_CHANGE = 2001;
constexpr uint16_t ZVBERT_SYNC_STATE = 2002;
constexpr uint16_t ZVBERT_ELAPSED_USECS = 3001;
constexpr uint16_t ZVBERT_RATE = 3002;
constexpr uint16_t ZVBERT_RX_BITS = 3003;
constexpr uint16_t ZVBERT_RX_BLOCKS = 3004;
constexpr uint16_t ZVBERT_BIT_ERRORS = 3005;
constexpr uint16_t ZVBERT_BLOCK_ERRORS = 3006;
constexpr uint16_t ZVBERT_ES = 3007;
constexpr uint16_t ZVBERT_SES = 3008;
constexpr uint16_t ZVBERT_AS = 3009;
constexpr uint16_t ZVBERT_LOS_COUNT = 3010;
constexpr uint16_t ZVBERT_SYNC_COUNT = 3011;
constexpr uint16_t ZVBERT_LOS_USECS = 3012;
constexpr uint16_t ZVBERT_CRC_ERRORS = 3013;
constexpr uint16_t ZVBERT_FRAMING_ERRORS = 3014;
// The rest of the console's report, sent before the report's closing record.
constexpr uint16_t ZVBERT_TX_BITS = 3015;
constexpr uint16_t ZVBERT_ERRORED_SAMPLES = 3016;
constexpr uint16_t ZVBERT_SEVERELY_ERRORED_SAMPLES = 3017;
constexpr uint16_t ZVBERT_MULTIDROP_INVERSION = 4001;
constexpr uint16_t ZVBERT_MULTIDROP_SYNC = 4002;
constexpr uint16_t ZVBERT_MULTIDROP_POLL_SLAVE = 4003;
constexpr uint16_t ZVBERT_MULTIDROP_SLAVE_ACTIVE = 4004;
constexpr uint16_t ZVBERT_SLAVE_ELAPSED_USECS = 5001;
constexpr uint16_t ZVBERT_SLAVE_RX_BITS = 5003;
constexpr uint16_t ZVBERT_SLAVE_RX_BLOCKS = 5004;
constexpr uint16_t ZVBERT_SLAVE_BIT_ERRORS = 5005;
constexpr uint16_t ZVBERT_SLAVE_BLOCK_ERRORS = 5006;
constexpr uint16_t ZVBERT_SLAVE_ES = 5007;
constexpr uint16_t ZVBERT_SLAVE_SES = 5008;
constexpr uint16_t ZVBERT_SLAVE_AS = 5009;
constexpr uint16_t ZVBERT_SLAVE_LOS_COUNT = 5010;
constexpr uint16_t ZVBERT_SLAVE_SYNC_COUNT = 5011;
constexpr uint16_t ZVBERT_SLAVE_LOS_USECS = 5012;
constexpr uint16_t ZVBERT_RTD_LAST = 6000;
constexpr uint16_t ZVBERT_RTD_HISTOGRAM = 6001;
constexpr uint16_t ZVBERT_RTD_TREND = 6002;
constexpr uint16_t ZVBERT_RTD_RX = 6003;
constexpr uint16_t ZVBERT_RTD_LOST = 6004;
constexpr uint16_t ZVBERT_RTD_TX = 6005;
constexpr uint16_t ZVBERT_RTD_LATE = 6006;
constexpr uint16_t ZVBERT_RTD_MIN = 6007;
constexpr uint16_t ZVBERT_RTD_MAX = 6008;

// Items of ZVBERT_SIGNAL_CHANGE, with the states 1 off / 2 on.
constexpr uint8_t SIGNAL_ITEM_DTR = 1;
constexpr uint8_t SIGNAL_ITEM_RTS = 2;
constexpr uint8_t SIGNAL_ITEM_CTS = 3;
constexpr uint8_t SIGNAL_ITEM_DCD = 4;
constexpr uint8_t SIGNAL_ITEM_TIV = 5;
constexpr uint8_t SIGNAL_ITEM_RX_INVERTED = 6;
constexpr uint8_t SIGNAL_ITEM_MANUAL_INVERT = 7;
constexpr uint8_t SIGNAL_STATE_OFF = 1;
constexpr uint8_t SIGNAL_STATE_ON = 2;
