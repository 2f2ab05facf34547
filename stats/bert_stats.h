// The statistics record of a BER measurement: raw counts only; every figure
// a report shows is derived from them.
#pragma once

#include <cstdint>

#include "app/run_state.h"

struct BertStats {
    int64_t i64StartTicks;
    int64_t i64TxByteCount;
    int64_t i64TxBitCount;
    int64_t i64RxByteCount;
    int64_t i64RxBitCount;
    int64_t PrevBitErrorCount;
    int64_t BitErrorCount;
    int64_t i64BlockErrorCount;
    int64_t i64CheckedCharCount;
    int64_t i64PrevCheckedCharCount;
    int64_t i64ErroredSecCount;
    int64_t i64SeverlyErroredSecCount;
    int64_t i64LosCount;
    int64_t i64SyncCount;
    int64_t i64SRxByteCount;
    int64_t i64SRxBitCount;
    int64_t i64SRxBlockCount;
    int64_t i64SBitErrorCount;
    int64_t i64SBlockErrorCount;
    int64_t i64ErrorInSampleCount;
    int64_t i64SErrorInSampleCount;
    int64_t i64LosStartTicks;
    int64_t i64LosUsecs;
    int64_t i64LastEvalSecs;
    int64_t BadBitsInCurrentBlock;
    int64_t i64SlaveElapsedUsecs;
    int64_t i64PrevSlaveElapsedUsecs;
    int64_t i64RxInvertUsecs;
    int64_t i64TxInvertUsecs;
    int64_t i64AvailableUsecs;
    int64_t i64NoDataUsecs;
};

// The single-link record, written under g_csGlobal.
extern BertStats g_BertStats;
