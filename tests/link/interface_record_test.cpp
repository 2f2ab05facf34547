#include "link/interface_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/settings.h"
#include "gui/tags.h"
#include "log/log.h"
#include "tests/card/fake_driver.h"
#include "tests/gui/recording_sender.h"

namespace {

InterfaceRecord Record(uint32_t change, uint8_t signals) {
    InterfaceRecord r{};
    r.dwCounterChange = change;
    r.bySignals = signals;
    return r;
}

class InterfacePoll : public testing::Test {
   protected:
    void SetUp() override {
        ResetSettings();
        g_Settings.uVerbosity = 3;
        g_Settings.bDataLogging = true;
        logDir_ =
            std::filesystem::temp_directory_path() / ("ondrel-ifrec-" + std::to_string(getpid()));
        std::filesystem::create_directories(logDir_);
        setenv("ZVBERTLOGPATH", logDir_.string().c_str(), 1);
        ResetLogPaths();

        auto driver = std::make_unique<fake::FakeDriver>();
        driver->devices["card/0"] = {};
        fake_ = driver.get();
        card::SetDriver(std::move(driver));
        g_hPort = fake_->Open("card/0");
        g_LastInterfaceRecord = {};
        g_bLineErrorsSeen = false;
    }
    void TearDown() override {
        g_hPort = card::kInvalidHandle;
        card::SetDriver(nullptr);
        ResetLogPaths();
        std::filesystem::remove_all(logDir_);
        ResetSettings();
    }

    void DriverHas(const InterfaceRecord& r) {
        auto& bytes = fake_->devices["card/0"].interfaceRecord;
        memcpy(bytes.data(), &r, sizeof r);
    }

    std::string Poll(bool signalsOnly, bool reportCounters) {
        testing::internal::CaptureStdout();
        PollInterfaceRecord(signalsOnly, reportCounters);
        return testing::internal::GetCapturedStdout();
    }

    std::filesystem::path logDir_;
    fake::FakeDriver* fake_ = nullptr;
    RecordingSender gui_;
};

TEST_F(InterfacePoll, CtsChangeAloneReportsSignalsOnly) {
    DriverHas(Record(0, SIGNAL_CTS));
    std::string out = Poll(false, true);
    EXPECT_EQ(out, "\nInput Signals: CTS \n");
    auto sent = gui_.Records();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].tag, ZVBERT_SIGNAL_CHANGE);
    EXPECT_EQ(sent[0].value, (std::vector<uint8_t>{SIGNAL_ITEM_CTS, SIGNAL_STATE_ON}));
    EXPECT_EQ(sent[1].value, (std::vector<uint8_t>{SIGNAL_ITEM_DCD, SIGNAL_STATE_OFF}));
    EXPECT_EQ(g_LastInterfaceRecord.bySignals, SIGNAL_CTS);
    // Same record again: nothing new.
    EXPECT_EQ(Poll(false, true), "");
    EXPECT_TRUE(fake_->Sent(IOCTL_GET_V24));
}

TEST_F(InterfacePoll, AllSignalsAreNamedInOrder) {
    DriverHas(Record(0, 0x1F));
    EXPECT_EQ(Poll(true, false), "\nInput Signals: CTS DSR DCD RI CARRIER \n");
}

TEST_F(InterfacePoll, NewCountersAreReportedWithTheirGrowth) {
    InterfaceRecord r = Record(1, 0);
    r.adwCounters[COUNTER_CRC] = 5;
    r.adwCounters[COUNTER_FRAMING] = 2;
    r.adwCounters[COUNTER_TXU] = 1;
    r.adwCounters[COUNTER_RX_TOO_LONG] = 4;
    DriverHas(r);
    std::string out = Poll(false, true);
    EXPECT_NE(out.find("  CRC : +5\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  Framing : +2\n"), std::string::npos);
    EXPECT_NE(out.find("  TxU : +1\n"), std::string::npos);
    EXPECT_NE(out.find("  RxTooLong: +4\n"), std::string::npos);
    EXPECT_EQ(out.find("RxO :"), std::string::npos);
    EXPECT_NE(
        out.find("Errors: CRC=5 Framing=2 TxU=1 RxO=0 RxTooShort=0 RxA=0 RxE=0 RxTooLong=4\n\n"),
        std::string::npos);
    EXPECT_TRUE(g_bLineErrorsSeen);
    auto sent = gui_.Records();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].tag, ZVBERT_CRC_ERRORS);
    EXPECT_EQ(sent[0].value, (std::vector<uint8_t>{5, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent[1].tag, ZVBERT_FRAMING_ERRORS);

    // The next report counts from the remembered values.
    r.dwCounterChange = 2;
    r.adwCounters[COUNTER_CRC] = 8;
    DriverHas(r);
    out = Poll(false, true);
    EXPECT_NE(out.find("  CRC : +3\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Framing :"), std::string::npos);
}

TEST_F(InterfacePoll, UnreportedCrcErrorsStillMarkLineErrors) {
    InterfaceRecord r = Record(1, 0);
    r.adwCounters[COUNTER_CRC] = 3;
    DriverHas(r);
    std::string out = Poll(false, false);
    EXPECT_EQ(out.find("CRC :"), std::string::npos);
    EXPECT_NE(out.find("Errors: CRC=3 "), std::string::npos);
    EXPECT_TRUE(g_bLineErrorsSeen);
    EXPECT_TRUE(gui_.Records().empty());
}

TEST_F(InterfacePoll, CountersWithoutAChangeWordAreNotExamined) {
    InterfaceRecord first = Record(7, 0);
    first.adwCounters[COUNTER_RXO] = 2;
    DriverHas(first);
    Poll(false, true);

    InterfaceRecord moved = first;
    moved.adwCounters[COUNTER_RXO] = 10;
    moved.bySignals = SIGNAL_DCD;
    DriverHas(moved);
    std::string out = Poll(false, true);
    EXPECT_EQ(out, "\nInput Signals: DCD \n");
    EXPECT_EQ(g_LastInterfaceRecord.adwCounters[COUNTER_RXO], 2u);

    moved.dwCounterChange = 8;
    moved.adwCounters[COUNTER_RXO] = 11;
    DriverHas(moved);
    out = Poll(false, true);
    EXPECT_NE(out.find("  RxO : +9\n"), std::string::npos) << out;
}

TEST_F(InterfacePoll, SignalsOnlyPollKeepsTheRememberedCounters) {
    InterfaceRecord r = Record(1, SIGNAL_CTS);
    r.adwCounters[COUNTER_CRC] = 4;
    DriverHas(r);
    std::string out = Poll(true, true);
    EXPECT_EQ(out.find("Errors:"), std::string::npos);
    EXPECT_EQ(g_LastInterfaceRecord.adwCounters[COUNTER_CRC], 0u);
    EXPECT_FALSE(g_bLineErrorsSeen);
    out = Poll(false, true);
    EXPECT_NE(out.find("  CRC : +4\n"), std::string::npos);
}

TEST_F(InterfacePoll, FailedReadsAreLoggedAndRememberNothing) {
    fake_->failingCodes = {IOCTL_GET_V24, IOCTL_READ_INTERFACE_RECORD};
    DriverHas(Record(1, SIGNAL_CTS));
    std::string out = Poll(false, true);
    EXPECT_NE(out.find("GetV24 Failed:  "), std::string::npos);
    EXPECT_NE(out.find("ReadInterfaceRecord Failed : "), std::string::npos);
    EXPECT_EQ(g_LastInterfaceRecord.bySignals, 0);
}

}  // namespace
