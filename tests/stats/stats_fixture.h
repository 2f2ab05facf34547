// A clean single-link state for every test, with a clock of one tick per
// microsecond so that tick values read as times.
#pragma once

#include <gtest/gtest.h>

#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "pattern/pattern.h"
#include "stats/bert_stats.h"
#include "stats/report.h"

class StatsTest : public ::testing::Test {
   protected:
    static constexpr int64_t kT0 = 1000000;  // a start that is not 0
    static constexpr int64_t kSec = 1000000;
    static constexpr int64_t kMs = 1000;

    void SetUp() override {
        savedTicksPerMs_ = g_i64PerfTicksPerMs;
        savedSettings_ = g_Settings;
        ResetState();
    }

    void TearDown() override {
        g_i64PerfTicksPerMs = savedTicksPerMs_;
        g_Settings = savedSettings_;
    }

    static void ResetState() {
        g_i64PerfTicksPerMs = 1000;
        g_uBitsPerChar = 8;
        g_PatternSelection.uPatternLengthBits = 2047;
        g_Settings.uVerbosity = 2;
        g_Settings.bDataLogging = false;
        g_Settings.bGuiLink = false;
        g_BertStats = BertStats{};
        g_BertStats.i64StartTicks = kT0;
        g_BertStats.i64LosStartTicks = kT0;
        g_bInSync = false;
        g_bFirstSyncPending = true;
        g_bResetStatsPending = false;
        g_bShowStatsNow = false;
        ResetReportState();
    }

    // In sync after a first sync already carried out.
    static void StartInSync() {
        g_bInSync = true;
        g_bFirstSyncPending = false;
    }

   private:
    int64_t savedTicksPerMs_ = 0;
    TestSettings savedSettings_;
};
