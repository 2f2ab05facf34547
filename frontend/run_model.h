// What the front end knows of the run, built from the records the program
// sends: the figures of every report, the line signals, the round-trip delay
// histogram, the slaves of a multi-drop master and a log of what happened.
// The page reads it live; at the end it is written as JSON and CSV.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gui/tlv.h"

// The figures of one report: a row of the CSV. A multi-drop master gives
// one row per slave and report.
struct ReportRow {
    int iSlave = -1;  // -1: not a multi-drop row
    int iSync = -1;   // -1: not known
    std::map<uint16_t, int64_t> values;  // by tag: 3001..3014, 6000..6004 or 5001..5012
};

struct SlaveState {
    std::map<uint16_t, int64_t> values;  // by tag 5001..5012
    int iPolled = -1;                    // -1: not known; else 0 or 1
    int iSync = -1;
    int iRxInverted = -1;
    int iTxInverted = -1;
};

// Where one reader of the live feed stands.
struct FeedCursor {
    bool bSnapshotSent = false;
    size_t uRowsSent = 0;
    uint64_t uVersionSent = 0;
    std::chrono::steady_clock::time_point lastState{};
};

class RunModel {
public:
    void SetCommand(const std::vector<std::string>& command);
    void Apply(const TlvRecord& record);
    // A message the front end sent to the program.
    void NoteSent(uint32_t tag, const std::vector<uint8_t>& value);
    void SetConnected(bool connected);
    void SetExitCode(int code);
    void Note(const std::string& text);
    // The figures of the latest report, by tag; the histogram, by delay.
    std::map<uint16_t, int64_t> Values();
    std::vector<ReportRow> Rows();
    std::map<uint32_t, uint32_t> Histogram();
    std::map<int, SlaveState> Slaves();

    // The whole run, as written at the end.
    std::string ResultsJson();
    std::string ResultsCsv();
    // The live feed as server-sent events: a snapshot first, then new rows
    // and the state as it changes (at most ten times a second). Waits up to
    // timeoutMs for news; a comment line when none came.
    std::string NextEvents(FeedCursor& cursor, int timeoutMs);
    // Ends every wait for news, for good.
    void Close();
    bool Closed();

private:
    void ApplyLocked(const TlvRecord& record);
    void ApplySignal(uint8_t item, uint8_t state);
    void ApplySlave(const TlvRecord& record);
    void CloseSlaveReport();
    void NoteLocked(const std::string& text);
    // The results without the reports (withRows false) make a state of the feed.
    void WriteState(std::string& out, bool withRows, const char* rowSeparator);

    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t version_ = 0;
    bool closed_ = false;

    std::vector<std::string> command_;
    std::string started_;
    bool connected_ = false;
    bool testStarted_ = false;
    bool testEnded_ = false;
    int64_t exitStatus_ = -1;
    int exitCode_ = -1;
    int sync_ = -1;
    std::map<uint8_t, int> signals_;  // item -> 1 off / 2 on
    std::map<uint16_t, int64_t> values_;
    std::vector<ReportRow> rows_;
    std::map<uint32_t, uint32_t> histogram_;
    bool roundTrip_ = false;
    std::map<int, SlaveState> slaves_;
    bool slaveReportOpen_ = false;
    std::vector<std::string> notes_;
};
