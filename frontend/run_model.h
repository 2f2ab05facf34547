// What the front end knows of the run, built from the records the program
// sends: the figures of the latest report, the line signals, the round-trip
// delay histogram, the slaves of a multi-drop master, a bounded history for
// the plots and a log of what happened. Every report goes to the CSV file as
// it comes, so that memory stays the same however long the test runs. The
// page reads the model live; at the end its summary is written as JSON.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "frontend/history.h"
#include "gui/tlv.h"

// The figures of one report: a row of the CSV. A multi-drop master gives
// one row per slave and report.
struct ReportRow {
    int iSlave = -1;                     // -1: not a multi-drop row
    int iSync = -1;                      // -1: not known
    std::map<uint16_t, int64_t> values;  // by tag: 3001..3017, 6000..6008 or 5001..5012
};

struct SlaveState {
    std::map<uint16_t, int64_t> values;  // by tag 5001..5012
    int iPolled = -1;                    // -1: not known; else 0 or 1
    int iSync = -1;
    int iRxInverted = -1;
    int iTxInverted = -1;
    bool bEverInSync = false;
};

// The test's settings as the page shows them, in order: key and text.
using SettingWords = std::vector<std::pair<std::string, std::string>>;

// The outcome in words, following ondrel's exit codes.
struct Verdict {
    int iCode = -1;       // the exit code it stands for; -1 while nothing is known
    bool bFinal = false;  // false: the test runs, this is the outcome so far
    std::string title;    // "Clean line", "Bit errors"...
    std::string reason;
};

// The plots' points between two statistics resets.
struct HistorySegment {
    double dOffset = 0;  // plot time of the segment's test time 0
    bool bSynced = false;
    std::map<std::string, DecimatedSeries> series;  // "ber", "es", "ses", "rtdTrend", "rtdLast"
};

// Where one reader of the live feed stands.
struct FeedCursor {
    bool bSnapshotSent = false;
    uint64_t uPointsSent = 0;
    uint64_t uVersionSent = 0;
    std::chrono::steady_clock::time_point lastState{};
};

class RunModel {
   public:
    // The ondrel command line and its settings in words (none: not known).
    void SetCommand(const std::vector<std::string>& command, const SettingWords& settings = {});
    // Every report from now on is written to path as one CSV row.
    bool StreamCsvTo(const std::string& path, std::string* error);
    const std::string& CsvPath() const { return csvPath_; }
    void Apply(const TlvRecord& record);
    // A message the front end sent to the program.
    void NoteSent(uint32_t tag, const std::vector<uint8_t>& value);
    void SetConnected(bool connected);
    void SetExitCode(int code);
    void Note(const std::string& text);
    // The figures of the latest report, by tag; the histogram, by delay.
    std::map<uint16_t, int64_t> Values();
    uint64_t ReportCount();
    std::map<uint32_t, uint32_t> Histogram();
    std::map<int, SlaveState> Slaves();
    std::vector<HistorySegment> History();
    Verdict CurrentVerdict();

    // The run's summary, history and notes, as written at the end.
    std::string ResultsJson();
    // The live figures in Prometheus' text exposition format.
    std::string MetricsText();
    // The live feed as server-sent events: a snapshot first (bounded at any
    // test length), then new plot points and the state as it changes (at most
    // ten times a second). Waits up to timeoutMs for news; a comment line
    // when none came.
    std::string NextEvents(FeedCursor& cursor, int timeoutMs);
    // Ends every wait for news, for good.
    void Close();
    bool Closed();

   private:
    void ApplyLocked(const TlvRecord& record);
    void ApplySignal(uint8_t item, uint8_t state);
    void ApplySlave(const TlvRecord& record);
    void CloseSlaveReport();
    void AddRow(const ReportRow& row);
    void AddToHistory(const ReportRow& row);
    void WriteCsvRow(const ReportRow& row);
    void NoteLocked(const std::string& text);
    void Changed();
    Verdict VerdictLocked() const;
    const char* TestKind() const;
    void WriteState(std::string& out, bool whole);
    std::string HistoryJson() const;

    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t version_ = 0;
    bool closed_ = false;

    std::vector<std::string> command_;
    SettingWords settings_;
    std::string started_;
    bool connected_ = false;
    bool testStarted_ = false;
    bool testEnded_ = false;
    int64_t exitStatus_ = -1;
    int exitCode_ = -1;
    int sync_ = -1;
    bool everInSync_ = false;
    std::map<uint8_t, int> signals_;  // item -> 1 off / 2 on
    std::map<uint16_t, int64_t> values_;
    uint64_t reportCount_ = 0;
    std::map<uint32_t, uint32_t> histogram_;
    bool roundTrip_ = false;
    std::map<int, SlaveState> slaves_;
    bool slaveReportOpen_ = false;
    std::vector<std::string> notes_;
    uint64_t notesDropped_ = 0;

    std::vector<HistorySegment> history_;
    uint64_t segmentsDropped_ = 0;
    int64_t lastElapsed_ = -1;
    uint64_t pointCount_ = 0;               // plot points made, for the feed's readers
    std::deque<std::string> recentPoints_;  // the latest points as feed events

    std::string csvPath_;
    std::ofstream csv_;
    std::vector<const char*> csvColumns_;
};
