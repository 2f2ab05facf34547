// What the host does with each statistics record of the card's BERT engine:
// its counters go into the single-link record, its status drives the sync
// state and the front end, and a pending statistics reset is carried out
// right after it.
#pragma once

#include <cstdint>

#include "stats/card_record.h"

// The card's state as the previous record gave it.
struct CardStatusMemory {
    bool bInSync = false;
    bool bInverted = false;
};

// Processes the record bytes read from the card (length as the read
// returned it) at now, under g_csGlobal. decoded receives the record as
// counted. A record too short to carry its status is logged and skipped
// (false, memory unchanged); otherwise true. *runEnded tells whether the
// card reports the end of its run.
bool ProcessCardRecord(const uint8_t* bytes, uint32_t length, int64_t now, CardStatusMemory& memory,
                       CardBertRecord* decoded, bool* runEnded);

// The statistics reset of hardware mode: the report sums, the remembered
// interface record, the driver's port counters, the single-link record and
// the card's BERT counters. Takes g_csGlobal itself.
void ResetCardStats(int64_t now, const CardBertRecord& lastRecord);

// Serves up to 8 of the pending bit errors through the card. The count is
// consumed whether or not the card took them.
void InjectPendingErrors(bool cardInjects);
