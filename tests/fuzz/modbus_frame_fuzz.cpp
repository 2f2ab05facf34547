// Modbus frames as a card read returns them: any bytes, checked as the
// master checks a reply and a slave a request; a frame taken as whole must
// give back its data unchanged when echoed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "modbus/modbus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MODBUS_MAX_FRAME) return 0;  // a read hands over at most one frame
    const int length = int(size);
    for (int address : {0, 1, 247}) {
        if (ModbusCheckFrame(data, length, address) != 0) continue;
        uint8_t echo[MODBUS_MAX_FRAME];
        const int dataLength = length - MODBUS_FRAME_OVERHEAD;
        const int built = ModbusBuildFrame(echo, data[0], data[2], data[3] << 8 | data[4],
                                           data + MODBUS_DATA_OFFSET, dataLength);
        if (built != length || std::memcmp(echo, data, size_t(length)) != 0) std::abort();
    }
    return 0;
}
