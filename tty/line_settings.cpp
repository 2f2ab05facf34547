#include "tty/line_settings.h"

namespace tty {
namespace {

// The record's data-bits word counts down from 8: 0 is 8 bits, 3 is 5.
unsigned DataBitsOf(uint32_t code) { return code <= 3 ? 8 - code : 8; }

}  // namespace

LineSettings ReadLineSettings(const ZvSerialConfig& record) {
    LineSettings line;
    line.rate = record.uPortRate;
    line.mode = record.uPortTransparentMode;
    line.dataBits = DataBitsOf(record.uPortAsyncDataBits);
    line.parity = record.uPortAsyncParity <= PARITY_SPACE ? record.uPortAsyncParity : PARITY_NONE;
    line.stopBits = record.uPortAsyncStopBits == 2 ? 2 : 1;
    line.flow = record.uPortAsyncFlowControl;
    return line;
}

ZvSerialConfig DefaultSerialConfig() {
    ZvSerialConfig record{};
    record.uVersion = SERIAL_CONFIG_VERSION;
    record.uPortInterface = 1;
    record.uPortRate = 9600;
    record.uPortTransparentMode = MODE_ASYNC;
    record.uPortEncoding = 0x80;
    record.uPortAsyncFlowControl = 1;
    record.uFixed24 = 3;
    return record;
}

}  // namespace tty
