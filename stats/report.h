// The single-link statistics report: six lines on the console (or, for the
// closing report, in the data log) and the statistics messages to the front
// end. At most one periodic report per 500 ms.
#pragma once

#include <cstdint>

#include "stats/card_record.h"

// Kept between reports; written only by the thread that owns the record.
extern int64_t g_i64ReportDurationUsecs;  // duration of the last report
extern int64_t g_i64NextReportTicks;      // earliest next periodic report
extern int64_t g_i64PendingCardMsecs;     // card time not yet in a duration
extern int64_t g_i64CardAvailableSecs;    // sum of the card's available seconds

constexpr int64_t kReportPeriodMs = 500;

// Reports g_BertStats as of now (performance-counter ticks).
// cardRecord: none in software mode; in hardware mode the record just
// processed, whose time and available seconds are added here. The closing
// report (isFinal) gets the last record again and adds nothing of it, since
// every record was already counted when it arrived. resetOnly clears the
// hardware sums and prints nothing. Takes g_csGlobal itself.
void OutputStats(int64_t now, bool isFinal, const CardBertRecord* cardRecord, bool resetOnly);

// Hardware mode: a record that gets no report (out of sync) still counts,
// its time towards the next duration and its available seconds towards AS.
void AddPendingCardRecord(const CardBertRecord& record);

// The report step after a sample (software, cardRecord none) or a card
// record: reports when s was pressed, or when no reset is pending and the
// data is in sync or the front end watches; clears g_bShowStatsNow after a
// report. An unreported card record goes to the pending sums.
void ReportAfterSample(int64_t now, const CardBertRecord* cardRecord);

// Forgets all report state, as at program start.
void ResetReportState();
