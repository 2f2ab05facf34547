// Round-trip delay record headers as the card's reads return them: each step
// is a kind byte and an 8-byte header, taken by the delay statistics at a
// clock rate from the input, so stamps that wrap, run backwards or carry any
// frame length meet the adjustment.
#include <cstdint>
#include <cstring>

#include "core/settings.h"
#include "rtd/rtd_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t rate = 0;
    std::memcpy(&rate, data, sizeof rate);
    // A rate of 0 is refused before the test starts.
    g_Settings.uClockRate = rate == 0 ? 1 : rate;
    data += 4;
    size -= 4;
    ResetRtdStats();
    constexpr size_t kStep = 1 + sizeof(RtdRecordHeader);
    for (; size >= kStep; data += kStep, size -= kStep) {
        RtdRecordHeader header;
        std::memcpy(&header, data + 1, sizeof header);
        const int kinds[] = {RTD_KIND_TRANSMIT, RTD_KIND_RETURNED, RTD_KIND_LOST};
        UpdateRTDStats(&header, kinds[data[0] % 3]);
    }
    return 0;
}
