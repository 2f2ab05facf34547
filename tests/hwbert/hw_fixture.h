// A clean hardware-mode state for every test: a fake driver on the port, the
// single-link record fresh, no keys waiting, the settings put back after.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "link/interface_record.h"
#include "pattern/pattern.h"
#include "platform/console.h"
#include "stats/bert_stats.h"
#include "stats/card_record.h"
#include "stats/report.h"
#include "tests/card/fake_driver.h"

namespace hwtest {

// Bytes of a card statistics record.
struct RecordFields {
    uint8_t status = 0;
    uint32_t msecs = 100;
    uint32_t bits = 0;
    uint32_t blocks = 0;
    uint32_t bitErrors = 0;
    uint32_t blockErrors = 0;
    uint32_t es = 0;
    uint32_t ses = 0;
    uint32_t as = 0;
};

inline std::vector<uint8_t> RecordBytes(const RecordFields& s) {
    std::vector<uint8_t> bytes(kCardBertRecordSize, 0);
    bytes[1] = s.status;
    const uint32_t words[] = {s.msecs,       s.bits, s.blocks, s.bitErrors,
                              s.blockErrors, s.es,   s.ses,    s.as};
    for (size_t i = 0; i < 8; ++i)
        for (size_t b = 0; b < 4; ++b)
            bytes[4 + 4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    return bytes;
}

class HwTest : public ::testing::Test {
   protected:
    void SetUp() override {
        savedSettings_ = g_Settings;
        savedTicksPerMs_ = g_i64PerfTicksPerMs;
        g_Settings = TestSettings{};
        g_Settings.uVerbosity = 2;
        g_hPort = fake::kOnePort;
        g_wCardRevision = 0x310;
        g_uBitsPerChar = 8;
        g_PatternSelection.uPatternLengthBits = 2047;
        g_LastInterfaceRecord = InterfaceRecord{};
        g_uInjectErrors = 0;
        g_bRxStop = false;
        g_bInSync = false;
        g_bFirstSyncPending = true;
        g_bResetStatsPending = false;
        g_bShowStatsNow = false;
        ResetReportState();
        ResetStatsAt(GetTicks());
        nullFd_ = open("/dev/null", O_RDONLY);
        platform::ConsoleUseInput(nullFd_);
    }

    void TearDown() override {
        platform::ConsoleUseInput(nullFd_);
        close(nullFd_);
        g_hPort = card::kInvalidHandle;
        g_Settings = savedSettings_;
        g_i64PerfTicksPerMs = savedTicksPerMs_;
    }

    static void ResetStatsAt(int64_t start) {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        g_BertStats = BertStats{};
        g_BertStats.i64StartTicks = start;
        g_BertStats.i64LosStartTicks = start;
    }

    static BertStats Stats() {
        std::lock_guard<platform::CriticalSection> lock(g_csGlobal);
        return g_BertStats;
    }

    // Whether the thread asked the main flow to end the test.
    static bool QuitKeyPushed() { return platform::KeyWaiting() && platform::ReadKey() == 'x'; }

    fake::DriverScope driver_{fake::kOnePort};

   private:
    TestSettings savedSettings_;
    int64_t savedTicksPerMs_ = 0;
    int nullFd_ = -1;
};

}  // namespace hwtest
