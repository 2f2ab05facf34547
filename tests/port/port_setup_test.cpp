#include "port/port_setup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "card/card_handler.h"
#include "card/driver.h"
#include "core/port_run_state.h"
#include "core/run_state.h"
#include "core/settings.h"
#include "gui/tags.h"
#include "link/port_buffers.h"
#include "log/log.h"
#include "stats/bert_stats.h"
#include "tests/card/fake_driver.h"
#include "tests/gui/recording_sender.h"

namespace {

// Kept fields carry recognisable values, so that a write that touched them
// shows up.
template <typename Record>
void FillKept(Record* record, uint32_t tag) {
    auto* words = reinterpret_cast<uint32_t*>(record);
    for (size_t i = 0; i < sizeof(Record) / 4; ++i) words[i] = tag + static_cast<uint32_t>(i);
}

fake::Device Card(uint8_t model, uint16_t revision, uint32_t bert, uint32_t generation) {
    fake::Device d;
    d.info.uVersion = 1;
    d.info.wCardType = static_cast<uint16_t>(model << 8);
    d.info.wRevision = revision;
    d.info.uBertPresent = bert;
    d.info.uGeneration = generation;
    FillKept(&d.port, 0xA0000000u);
    FillKept(&d.serial, 0xB0000000u);
    return d;
}

card::CardInterface Iface(const std::string& path, const std::string& name, uint32_t ports) {
    card::CardInterface i;
    i.path = path;
    i.deviceName = name;
    i.ports = ports;
    return i;
}

// Card 0: Vantle with its BERT engine; 1: another model; 2: Vantle of
// revision 0x2FF; 3: first-generation Vantle.
constexpr uint32_t kVantle = 0, kOther = 1, kOldVantle = 2, kV1Vantle = 3;

class PortSetup : public testing::Test {
   protected:
    void SetUp() override {
        ResetSettings();
        g_Settings.uVerbosity = 3;
        g_Settings.bDataLogging = true;
        logDir_ =
            std::filesystem::temp_directory_path() / ("ondrel-card-" + std::to_string(getpid()));
        std::filesystem::create_directories(logDir_);
        setenv("ZVBERTLOGPATH", logDir_.string().c_str(), 1);
        ResetLogPaths();
        dwStatus = STATUS_OK;
        g_bManualInvert = false;
        ManualTxInvert = false;

        auto driver = std::make_unique<fake::FakeDriver>();
        fake_ = driver.get();
        fake_->interfaces = {Iface("/zv/vantle", "ZVCD0", 2), Iface("/zv/other", "ZVCD1", 2),
                             Iface("/zv/old", "ZVCD2", 1), Iface("/zv/v1", "ZVCD3", 1)};
        AddDevices("/zv/vantle", 2, Card(CARD_MODEL_VANTLE, 0x310, 1, 3));
        AddDevices("/zv/other", 2, Card(3, 0x200, 0, 0));
        AddDevices("/zv/old", 1, Card(CARD_MODEL_VANTLE, 0x2FF, 1, 3));
        AddDevices("/zv/v1", 1, Card(CARD_MODEL_VANTLE, 0x105, 0, 2));
        card::SetDriver(std::move(driver));
        g_CardHandler.Discover();
    }

    void TearDown() override {
        ReleasePort();
        card::SetDriver(nullptr);
        ResetLogPaths();
        std::filesystem::remove_all(logDir_);
        ResetSettings();
        dwStatus = STATUS_OK;
    }

    void AddDevices(const std::string& path, uint32_t ports, const fake::Device& device) {
        for (uint32_t i = 0; i < ports; ++i) {
            fake_->devices[path + "/" + std::to_string(i)] = device;
            fake_->devices[path + "/" + std::to_string(i) + "+"] = device;
        }
    }

    void SoftwareMode() { g_Settings.bHardwareMode = false; }

    bool Open(uint32_t cardNumber, uint32_t port = 0) {
        testing::internal::CaptureStdout();
        bool ok = OpenPort(cardNumber, port);
        out_ = testing::internal::GetCapturedStdout();
        return ok;
    }

    bool Logged(const std::string& text) const { return out_.find(text) != std::string::npos; }

    // The records as the set-up last wrote them.
    ZvSerialConfig SerialWritten() const {
        ZvSerialConfig sc{};
        auto bytes = fake_->LastInput(IOCTL_SET_SERIAL_CONFIG);
        EXPECT_EQ(bytes.size(), sizeof sc);
        if (bytes.size() == sizeof sc) memcpy(&sc, bytes.data(), sizeof sc);
        return sc;
    }
    ZvPortConfig PortWritten() const {
        ZvPortConfig pc{};
        auto bytes = fake_->LastInput(IOCTL_SET_PORT_CONFIG);
        EXPECT_EQ(bytes.size(), sizeof pc);
        if (bytes.size() == sizeof pc) memcpy(&pc, bytes.data(), sizeof pc);
        return pc;
    }
    ZvSerialConfig SerialAsDriverHad(const std::string& path) {
        return fake_->devices[path].serial;
    }

    std::filesystem::path logDir_;
    fake::FakeDriver* fake_ = nullptr;
    std::string out_;
};

TEST_F(PortSetup, MissingCardOrPortIndexFailsToOpen) {
    SoftwareMode();
    for (auto [cardNumber, port] : {std::pair{9u, 0u}, {kVantle, 2u}, {kVantle, 0xFFFFFFFFu}}) {
        EXPECT_FALSE(Open(cardNumber, port));
        EXPECT_TRUE(Logged("Error Opening Port : ")) << out_;
        EXPECT_EQ(dwStatus.load(), STATUS_OK);  // the main flow reports it as "open failed"
        EXPECT_EQ(g_hPort.load(), card::kInvalidHandle);
    }
    EXPECT_EQ(fake_->OpenCount(), 0u);
}

TEST_F(PortSetup, AsyncNeedsAVantleCard) {
    SoftwareMode();
    g_Settings.uMode = MODE_ASYNC;
    EXPECT_FALSE(Open(kOther));
    EXPECT_EQ(dwStatus.load(), STATUS_UNSUPPORTED_MODE);
    EXPECT_EQ(fake_->OpenCount(), 0u);
    EXPECT_EQ(g_hPort.load(), card::kInvalidHandle);
}

TEST_F(PortSetup, HardwareModeNeedsABertEngineOfRevision300) {
    EXPECT_FALSE(Open(kOldVantle));
    EXPECT_EQ(dwStatus.load(), STATUS_HW_MODE_UNSUPPORTED);
    EXPECT_EQ(fake_->OpenCount(), 0u);

    // The main flow's retry in software mode.
    dwStatus = STATUS_OK;
    SoftwareMode();
    EXPECT_TRUE(Open(kOldVantle));
    EXPECT_EQ(dwStatus.load(), STATUS_OK);
    EXPECT_EQ(g_wCardRevision, 0x2FF);
    ReleasePort();

    g_Settings.bHardwareMode = true;
    EXPECT_FALSE(Open(kOther));
    EXPECT_EQ(dwStatus.load(), STATUS_HW_MODE_UNSUPPORTED);
}

TEST_F(PortSetup, HardwareModeConfiguresTheBertEngineOnThePlusDevice) {
    g_Settings.uPatternType = PATTERN_2_15;
    g_Settings.uTestLengthBits = 1000000;
    g_Settings.bAutoInvert = true;
    g_Settings.bTermination = true;
    ASSERT_TRUE(Open(kVantle)) << out_;
    EXPECT_EQ(fake_->PathOf(g_hPort), "/zv/vantle/0+");
    EXPECT_FALSE(g_bSharedRxRing);
    EXPECT_EQ(fake_->readBuffer, nullptr);

    auto bert = fake_->LastInput(IOCTL_SET_BERT_CONFIG);
    ASSERT_EQ(bert.size(), sizeof(ZvBertConfig));
    ZvBertConfig bc;
    memcpy(&bc, bert.data(), sizeof bc);
    EXPECT_EQ(bc.uVersion, 1u);
    EXPECT_EQ(bc.uPatternType, PATTERN_2_15);
    EXPECT_EQ(bc.uTestLengthBits, 1000000u);
    EXPECT_EQ(bc.bBurstMode, 0u);
    EXPECT_EQ(bc.bAutoInvert, 1u);
    EXPECT_EQ(bc.auZero[25], 0u);

    ZvPortConfig pc = PortWritten();
    EXPECT_EQ(pc.uPortTxNumBuffers, 8u);
    EXPECT_EQ(pc.uPortRxBufferLength, 8192u);
    EXPECT_EQ(pc.uPortTxMSB, 0u);
    EXPECT_EQ(pc.uPortRxMSB, 0u);
    EXPECT_EQ(pc.uPortTermination, 1u);
    EXPECT_EQ(pc.uPortClockSource, 0xA0000008u);  // kept
    EXPECT_EQ(pc.auKept14[49], 0xA0000000u + 63);
}

TEST_F(PortSetup, VantleSoftwareRateStopsAt2048000) {
    SoftwareMode();
    g_Settings.uClockRate = 2048000;
    EXPECT_TRUE(Open(kVantle)) << out_;
    EXPECT_TRUE(g_bSharedRxRing);
    ReleasePort();

    fake_->requests.clear();
    g_Settings.uClockRate = 2048001;
    EXPECT_FALSE(Open(kVantle));
    EXPECT_EQ(dwStatus.load(), STATUS_UNSUPPORTED_RATE);
    EXPECT_TRUE(Logged("ERROR: Zorvan Vantle max rate in Software Mode is 2Mbps\n"));
    // No driver request failed, so there is no driver error to show.
    EXPECT_FALSE(Logged("Failed to start port: "));
    EXPECT_FALSE(fake_->Sent(IOCTL_START_PORT));
    EXPECT_EQ(fake_->OpenCount(), 0u);
}

TEST_F(PortSetup, TxTerminalTimingWinsOverRxTerminalTiming) {
    SoftwareMode();
    g_dwExtendedConfig = EXT_RX_TERMINAL_TIMING | EXT_TX_TERMINAL_TIMING;
    ASSERT_TRUE(Open(kVantle));
    ZvSerialConfig sc = SerialWritten();
    EXPECT_EQ(std::vector<uint32_t>(sc.auTiming, sc.auTiming + 5),
              (std::vector<uint32_t>{1, 0, 0, 1, 0}));
    EXPECT_EQ(sc.uPortExtendedConfig, 3u);
    EXPECT_EQ(sc.uPortClocking, 1u);
    EXPECT_EQ(sc.uFixed24, 3u);
    // Everything else as the driver had it.
    ZvSerialConfig before = Card(CARD_MODEL_VANTLE, 0x310, 1, 3).serial;
    EXPECT_EQ(0, memcmp(sc.auKept12, before.auKept12, sizeof sc.auKept12));
    EXPECT_EQ(0, memcmp(sc.auKept20, before.auKept20, sizeof sc.auKept20));
    EXPECT_EQ(sc.uKept25, before.uKept25);
    EXPECT_EQ(0, memcmp(sc.auKept27, before.auKept27, sizeof sc.auKept27));
}

TEST_F(PortSetup, OtherTimingRows) {
    SoftwareMode();
    const std::pair<uint32_t, std::vector<uint32_t>> rows[] = {
        {EXT_RX_TERMINAL_TIMING, {1, 1, 1, 0, 1}},
        {EXT_TIMING_0x10 | EXT_RX_INVERTED, {1, 1, 0, 0, 0}},
        {0, {0, 0, 0, 0, 0}},
    };
    for (const auto& [bits, words] : rows) {
        g_dwExtendedConfig = bits;
        ASSERT_TRUE(Open(kVantle));
        ZvSerialConfig sc = SerialWritten();
        EXPECT_EQ(std::vector<uint32_t>(sc.auTiming, sc.auTiming + 5), words) << "bits " << bits;
        EXPECT_EQ(sc.uPortExtendedConfig, bits);
        ReleasePort();
    }
}

TEST_F(PortSetup, KeepTimingBitLeavesTimingAsTheDriverHadIt) {
    SoftwareMode();
    g_dwExtendedConfig = EXT_KEEP_TIMING | EXT_TX_TERMINAL_TIMING;
    ASSERT_TRUE(Open(kVantle));
    ZvSerialConfig sc = SerialWritten();
    ZvSerialConfig before = Card(CARD_MODEL_VANTLE, 0x310, 1, 3).serial;
    EXPECT_EQ(sc.uPortClocking, 0u);
    EXPECT_EQ(0, memcmp(sc.auTiming, before.auTiming, sizeof sc.auTiming));
    EXPECT_EQ(sc.uPortExtendedConfig, before.uPortExtendedConfig);
}

TEST_F(PortSetup, ExternalClockAddsTxTerminalTimingExceptOnV1Cards) {
    SoftwareMode();
    g_Settings.bExternalClock = true;
    ASSERT_TRUE(Open(kVantle));
    EXPECT_EQ(g_dwExtendedConfig.load(), EXT_TX_TERMINAL_TIMING);
    EXPECT_EQ(SerialWritten().uPortClocking, 0u);
    ReleasePort();

    g_dwExtendedConfig = 0;
    ASSERT_TRUE(Open(kV1Vantle));
    EXPECT_TRUE(Logged("WARNING: Vantle is a V1 device\n"));
    EXPECT_EQ(g_dwExtendedConfig.load(), 0u);
}

TEST_F(PortSetup, AsyncLineSettingsAreWrittenAsCodes) {
    SoftwareMode();
    g_Settings.uMode = MODE_ASYNC;
    g_Settings.uDataBits = 7;
    g_Settings.uParity = PARITY_EVEN;
    g_Settings.uStopBits = 2;
    g_Settings.uFlowControl = FLOW_RTS;
    g_Settings.uInterface = INTERFACE_RS485_4W;
    g_Settings.uClockRate = 9600;
    g_Settings.bNrziClocking = true;
    g_Settings.bInvertRxClock = true;
    ASSERT_TRUE(Open(kVantle));
    ZvSerialConfig sc = SerialWritten();
    EXPECT_EQ(sc.uPortInterface, INTERFACE_RS485_4W);
    EXPECT_EQ(sc.uPortRate, 9600u);
    EXPECT_EQ(sc.uPortClocking, 0u);
    EXPECT_EQ(sc.uPortTransparentMode, 3u);
    EXPECT_EQ(sc.uPortInvertRxClock, 1u);
    EXPECT_EQ(sc.uPortEncoding, ENCODING_NRZ);
    EXPECT_EQ(sc.uPortNrziClocking, 1u);
    EXPECT_EQ(sc.uPortAsyncDataBits, 1u);
    EXPECT_EQ(sc.uPortAsyncParity, PARITY_EVEN);
    EXPECT_EQ(sc.uPortAsyncStopBits, 2u);
    EXPECT_EQ(sc.uPortAsyncFlowControl, FLOW_RTS);
    EXPECT_EQ(g_uBitsPerChar, 7u);
    EXPECT_EQ(g_uBufferLength % 56, 0u);
    EXPECT_EQ(PortWritten().uPortTxMSB, 1u);
    ReleasePort();

    g_Settings.uPatternType = PATTERN_FOX;
    ASSERT_TRUE(Open(kVantle));
    EXPECT_EQ(PortWritten().uPortTxMSB, 0u);
}

TEST_F(PortSetup, SerialRecordFallsBackToVersion3AndIsDumped) {
    SoftwareMode();
    fake_->devices["/zv/vantle/0"].serialV5 = false;
    g_Settings.uEncoding = ENCODING_MAN;
    ASSERT_TRUE(Open(kVantle));
    EXPECT_TRUE(Logged("ZvSerialConfig.uVersion=3\n"));
    EXPECT_TRUE(Logged("ZvPortConfig.uVersion            = 4\n")) << out_;
    EXPECT_TRUE(Logged("ZvPortConfig.uPortRxMSB          = 1\n\n"));
    EXPECT_TRUE(Logged("ZvSerialConfig.uVersion             = 3\n"));
    EXPECT_TRUE(Logged("ZvSerialConfig.uPortEncoding        = 224\n\n"));
    EXPECT_TRUE(Logged("Output Signals: \n"));
}

TEST_F(PortSetup, CardThatCannotInvertLeavesInversionToTheProgram) {
    SoftwareMode();
    fake_->devices["/zv/vantle/0"].canInvert = false;
    g_dwExtendedConfig = EXT_TIV;
    RecordingSender gui;
    ASSERT_TRUE(Open(kVantle));
    EXPECT_TRUE(g_bManualInvert);
    EXPECT_TRUE(ManualTxInvert);
    EXPECT_TRUE(Logged("ManualTxInvert=1\n\n"));
    auto sent = gui.Records();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].tag, ZVBERT_SIGNAL_CHANGE);
    EXPECT_EQ(sent[0].value, (std::vector<uint8_t>{SIGNAL_ITEM_MANUAL_INVERT, SIGNAL_STATE_ON}));
}

TEST_F(PortSetup, EchoWithoutThePlusDeviceRunsToTheEndAndFails) {
    SoftwareMode();
    g_Settings.iTestSelect = TEST_ECHO;
    fake_->devices.erase("/zv/vantle/0+");
    EXPECT_FALSE(Open(kVantle));
    EXPECT_EQ(dwStatus.load(), STATUS_OK);
    EXPECT_TRUE(fake_->Sent(IOCTL_START_PORT));
    EXPECT_TRUE(fake_->Sent(IOCTL_START_MONITORING));
    ASSERT_EQ(fake_->setupComm.size(), 1u);
    EXPECT_EQ(fake_->setupComm[0], std::make_pair(0x100007D0u, 0x100007D0u));
    EXPECT_EQ(fake_->OpenCount(), 0u);
}

TEST_F(PortSetup, RoundTripDelaySizesBuffersFromThePayload) {
    SoftwareMode();
    g_Settings.bRoundTripDelay = true;
    g_Settings.iTestSelect = TEST_ECHO;
    g_Settings.uMode = MODE_FRAMED;
    g_Settings.uDataLength = 31;
    g_Settings.uClockRate = 4096000;
    ASSERT_TRUE(Open(kVantle)) << out_;
    EXPECT_EQ(g_uBufferLength, 41u);
    EXPECT_EQ(g_uNumBuffers, 8u);
    EXPECT_EQ(fake_->LastInput(IOCTL_SET_DELAY_MODE), (std::vector<uint8_t>{4, 0, 0, 0}));
    EXPECT_TRUE(fake_->setupComm.empty());
    EXPECT_EQ(SerialWritten().uPortTransparentMode, 0u);
}

TEST_F(PortSetup, ReceiveEventRegistration) {
    SoftwareMode();
    // Kept pending for the port's life: taken as registered.
    fake_->portEvent = fake::Completion::Pending;
    ASSERT_TRUE(Open(kVantle));
    ASSERT_NE(g_hRxEvent, nullptr);
    EXPECT_TRUE(g_hRxEvent->IsSignalled());
    ReleasePort();
    EXPECT_EQ(g_hRxEvent, nullptr);
    EXPECT_EQ(fake_->PendingCount(), 0u);

    fake_->portEvent = fake::Completion::Immediate;
    EXPECT_TRUE(Open(kVantle));
    ReleasePort();

    fake_->portEvent = fake::Completion::PendingThenFail;
    EXPECT_FALSE(Open(kVantle));
    EXPECT_FALSE(Logged("SetEvent Failed"));

    fake_->portEvent = fake::Completion::Refused;
    EXPECT_FALSE(Open(kVantle));
    EXPECT_TRUE(Logged("SetEvent Failed : "));
    EXPECT_EQ(fake_->OpenCount(), 0u);
}

TEST_F(PortSetup, ReleaseCancelsBeforeTheRingIsFreed) {
    SoftwareMode();
    ASSERT_TRUE(Open(kVantle));
    ASSERT_TRUE(g_bSharedRxRing);
    ASSERT_NE(fake_->readBuffer, nullptr);
    card::PortHandle handle = g_hPort;
    // The fake writes into the ring when its read is cancelled: under the
    // address sanitizer a ring freed too early fails here.
    ReleasePort();
    EXPECT_EQ(fake_->cancelled.front(), handle);
    EXPECT_EQ(g_pRxRing.load(), nullptr);
    EXPECT_EQ(g_hPort.load(), card::kInvalidHandle);
    EXPECT_EQ(fake_->OpenCount(), 0u);
    ReleasePort();  // nothing left: harmless
}

TEST_F(PortSetup, RingThatTheDriverRefusesFallsBackAndStillSucceeds) {
    SoftwareMode();
    fake_->reads = fake::Completion::Refused;
    ASSERT_TRUE(Open(kVantle));
    EXPECT_FALSE(g_bSharedRxRing);
}

TEST_F(PortSetup, SetupClearsTheStatisticsRecord) {
    SoftwareMode();
    g_BertStats.BitErrorCount = 12;
    int64_t before = GetTicks();
    ASSERT_TRUE(Open(kVantle));
    EXPECT_EQ(g_BertStats.BitErrorCount, 0);
    EXPECT_GE(g_BertStats.i64StartTicks, before);
    EXPECT_EQ(g_BertStats.i64LosStartTicks, g_BertStats.i64StartTicks);
}

}  // namespace
