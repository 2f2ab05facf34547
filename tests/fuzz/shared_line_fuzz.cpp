// What the far end of a shared simulated line sends over its socket: any
// bytes, read message by message as the line reads them, each data chunk then
// going through an impairment stage with every impairment on, where a time or
// size no line carries would overflow or spin.
#include <cstdint>

#include "sim/impairment.h"
#include "sim/line_messages.h"

namespace {

constexpr int64_t kNowNs = 10'000'000'000'000;

sim::ImpairmentConfig EveryImpairment() {
    sim::ImpairmentConfig config;
    config.bitErrorRate = 1e-3;
    config.burstEveryMs = 1;
    config.burstBits = 9;
    config.slipAfterMs = 1;
    config.slipBits = -3;
    config.outageAfterMs = 500;
    config.outageMs = 200;
    config.delayMs = 60000;
    config.frameLoss = 0.1;
    return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::ImpairmentStage stage;
    stage.Configure(EveryImpairment(), kNowNs - 1'000'000'000, 7);
    sim::LineMessage message;
    for (;;) {
        size_t used = 0;
        const char* why = nullptr;
        if (sim::ParseLineMessage(data, size, kNowNs, &message, &used, &why) !=
            sim::LineParse::kMessage)
            break;
        if (message.kind == sim::LineMessageKind::kData) stage.Apply(message.chunk);
        data += used;
        size -= used;
    }
    return 0;
}
