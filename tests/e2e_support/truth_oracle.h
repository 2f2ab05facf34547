// What an ideal tester would have reported on a simulated line, judged from
// the line's truth record (the simulator's `truth_file`), and the figures of
// a report to hold against it.
//
// The ideal tester applies our classification rules to the record's 100 ms
// periods: sync at a period with at most 10 % of its bits wrong, loss of sync
// at one with 50 % or more (a slip, and a line that inverts every bit,
// count as such), loss of signal at a silence longer than the no-data
// time-out, time out of sync counted from the last data, each second once
// (severely errored if sync was lost in it, else errored if it held a bit
// error in sync, else available).
//
// The program samples more often than every 100 ms, so its figures may
// differ from the ideal ones by what the tolerances below allow, and no more:
// - bit errors: the errors of a period next to a change of sync state (the
//   period of the first sync too, and the last faulty period before a
//   resync: the sync comes somewhere within them), and
//   per slip the bytes the checker needs to see that it has run off the
//   pattern ((register bits + 1) bytes of 8 bits);
// - loss-of-sync events: a period the rules cannot call (errors between 10 %
//   and 50 % of it, a silence within a tick of the time-out, a burst the
//   checker may or may not run off the pattern in) may cost one;
// - loss-of-sync time: 300 ms per event (a sample period at each edge, and
//   the card's record period in hardware mode);
// - severely errored seconds: one second at each edge of a time out of sync.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct TruthPeriod {
    uint64_t delivered = 0;
    uint64_t flipped = 0;
    uint32_t silentMs = 0;
    uint64_t slipped = 0;
    uint64_t inverted = 0;
};

struct PortTruth {
    unsigned card = 0, port = 0;
    std::vector<TruthPeriod> periods;
    int address = -1;  // a multi-drop port's record of one station address, else -1
};

// Parses a truth file; false with *error set when a line is not as written.
bool ParseTruth(const std::string& text, std::vector<PortTruth>* ports, std::string* error);
const PortTruth* FindPortTruth(const std::vector<PortTruth>& ports, unsigned card, unsigned port);
const PortTruth* FindAddressTruth(const std::vector<PortTruth>& ports, unsigned card, unsigned port,
                                  unsigned address);

// The frames of one address on a multi-drop port, from its record: the bits
// that arrived, and the frames the line hit. A frame's flipped bits are
// booked at its arrival, so each period with flipped bits is one hit frame
// while frames to one address come at least 100 ms apart (a poll cycle of
// two slaves at 9600 bit/s).
struct AddressFrames {
    uint64_t bits = 0;
    int64_t hitFrames = 0;
    int64_t silentMs = 0;
};
AddressFrames CountAddressFrames(const PortTruth& truth);

struct OracleSettings {
    int64_t noDataTimeoutMs = 100;  // silence that is a loss of signal
    unsigned registerBits = 11;     // of the pattern's generator (slip tolerance)
    uint32_t burstBits = 0;         // length of the line's bursts, 0 without
    int64_t testSeconds = 0;        // -L
    // Software mode measures from the first sync; the card's engine from the start.
    bool fromFirstSync = true;
    // The first sync in the first period with data, even one the silence
    // after it makes bad: an outage just after the start leaves the program
    // a few milliseconds that may or may not be enough to find the pattern.
    bool syncAtFirstData = false;
    // After this period the line makes no silence of its own: one that runs
    // from there to the end of the record is the program's stop, wherever
    // the record puts the end of the test (a loaded host starts the program's
    // clock and the port's record apart).
    size_t lineQuietAfter = SIZE_MAX;
};

struct Range {
    int64_t lo = 0, hi = 0;
    bool Holds(int64_t value) const { return value >= lo && value <= hi; }
};

struct IdealReport {
    bool everInSync = false;
    size_t firstSyncPeriod = 0;  // index of the period of the first sync
    Range bitErrors;
    Range lossEvents;  // ->LOS
    Range lossMs;      // loss-of-sync time within the test
    Range severeSeconds;
    bool mayEndOutOfSync = false;  // the last periods were not all good
    std::string explanation;       // how the periods were judged, for a failure message
};

IdealReport Judge(const PortTruth& truth, const OracleSettings& settings);

// The figures of a closing report (the last of each on stdout).
struct ReportFigures {
    bool found = false;
    double durationSecs = 0;
    int64_t rxCount = 0, bitErrors = 0, es = 0, ses = 0, as = 0, los = 0, sync = 0;
    double losr = 0;
};
ReportFigures ParseReport(const std::string& out);

// What exit code the report's figures call for: 8 never in sync, 7 sync or
// signal lost (or ended out of sync), 0 bit errors in sync, 1 clean.
int VerdictOf(const ReportFigures& report, bool everInSync, bool endedInSync);

}  // namespace e2e
