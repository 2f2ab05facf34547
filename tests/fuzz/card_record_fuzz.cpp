// Statistics records of the card's BERT engine as a read returns them: any
// length, any bytes, one record after another as the thread takes them.
#include <cstdint>
#include <mutex>

#include "core/run_state.h"
#include "hwbert/card_stats.h"
#include "stats/bert_stats.h"
#include "stats/card_record.h"
#include "stats/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CardStatusMemory memory;
    int64_t now = 0;
    std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
    // Each input is a test of its own, as a reset starts one over.
    ResetSingleLinkStats(0);
    g_i64PendingCardMsecs = 0;
    g_i64CardAvailableSecs = 0;
    while (size > 0) {
        // The first byte of each step says how much the read returned.
        const size_t length = data[0] % (kCardBertRecordSize + 8);
        ++data;
        --size;
        const size_t taken = length < size ? length : size;
        CardBertRecord decoded;
        bool runEnded = false;
        ProcessCardRecord(data, static_cast<uint32_t>(taken), now, memory, &decoded, &runEnded);
        data += taken;
        size -= taken;
        now += 100000;
    }
    return 0;
}
