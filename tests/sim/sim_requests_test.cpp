// Port devices and control requests of the simulated driver: paths, exclusive
// open, sizes, record versions, driver error codes, kept fields, faults.
#include "card/driver_error.h"
#include "sim_test_util.h"

namespace {

using simtest::Control;
using simtest::ControlWord;
using simtest::MakeDriver;
using simtest::PortPath;

TEST(SimOpen, PortPathsAndTheirFailures) {
    auto driver = MakeDriver();
    const char* unknown[] = {
        "//sim/zorvan/card0/2",  "//sim/zorvan/card2/0",  "//sim/zorvan/card0",
        "//sim/zorvan/card0/",   "//sim/zorvan/card00/0", "//sim/zorvan/card0/0++",
        "//sim/zorvan/card0/0x", "/sim/zorvan/card0/0",   ""};
    for (const char* path : unknown) {
        EXPECT_EQ(driver->Open(path), card::kInvalidHandle) << path;
        EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound) << path;
    }
    auto h = driver->Open(PortPath(1, 3, true));
    EXPECT_NE(h, card::kInvalidHandle);
    EXPECT_TRUE(driver->Close(h));
    EXPECT_FALSE(driver->Close(h));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

TEST(SimOpen, PortIsExclusiveWhicheverPathOpensIt) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 1));
    ASSERT_NE(h, card::kInvalidHandle);
    for (bool plus : {false, true}) {
        EXPECT_EQ(driver->Open(PortPath(0, 1, plus)), card::kInvalidHandle);
        EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    }
    auto other = driver->Open(PortPath(0, 0));
    EXPECT_NE(other, card::kInvalidHandle);  // the neighbour port is free
    driver->Close(h);
    auto again = driver->Open(PortPath(0, 1, true));
    EXPECT_NE(again, card::kInvalidHandle);
    driver->Close(again);
    driver->Close(other);
}

struct SizeCase {
    uint32_t code;
    uint32_t inLength;
    uint32_t outLength;
    uint32_t error;
};

TEST(SimControl, WrongSizesAndUnknownCodesGetTheDriverCodes) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    std::array<uint8_t, 9000> in{}, out{};
    const SizeCase cases[] = {
        {IOCTL_SET_V24, 0, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_SET_V24, 2, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_SET_PORT_CONFIG, 255, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_SET_SERIAL_CONFIG, 256, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_SET_BERT_CONFIG, 127, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_INJECT_ERRORS, 8, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_START_PORT, 4, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {IOCTL_READ_INTERFACE_RECORD, 0, 56, ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {IOCTL_READ_CARD_INFO, 0, 48, ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {IOCTL_GET_PORT_CONFIG, 0, 272, ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {IOCTL_GET_SERIAL_CONFIG, 0, 256, ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {IOCTL_RESET_STATS, 0, 4, ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {IOCTL_RECEIVE_DATA, 0, 0, ZV_ERROR_INVALID_OUTPUT_LENGTH},
        {IOCTL_TRANSMIT_DATA, 0, 0, ZV_ERROR_INVALID_INPUT_LENGTH},
        {0x999, 0, 0, ZV_ERROR_INVALID_IOCTL},
        {0x444, 4, 0, ZV_ERROR_INVALID_IOCTL},
        // Data requests of a port that was not started yet.
        {IOCTL_RECEIVE_DATA, 0, 8192, ZV_ERROR_CARD_NOT_STARTED},
        {IOCTL_TRANSMIT_DATA, 100, 0, ZV_ERROR_CARD_NOT_STARTED},
    };
    for (const auto& c : cases) {
        sim::StoreU32(out.data(), 0, 1);
        EXPECT_EQ(Control(*driver, h, c.code, in.data(), c.inLength, out.data(), c.outLength),
                  c.error)
            << std::hex << "code 0x" << c.code << " in " << c.inLength << " out " << c.outLength;
    }
    EXPECT_STREQ(DescribeDriverError(ZV_ERROR_CARD_NOT_STARTED), "Card not Started");

    simtest::Io io;
    uint8_t buffer[64];
    EXPECT_FALSE(driver->ReadFile(h, buffer, sizeof buffer, nullptr, &io.ov));
    EXPECT_EQ(platform::GetLastError(), ZV_ERROR_CARD_NOT_STARTED);
    EXPECT_FALSE(driver->WriteFile(h, buffer, sizeof buffer, nullptr, &io.ov));
    EXPECT_EQ(platform::GetLastError(), ZV_ERROR_CARD_NOT_STARTED);
    driver->Close(h);
}

TEST(SimControl, ImmediateCompletionFillsTheRecordAndSignals) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    simtest::Io io;
    std::array<uint8_t, kInterfaceRecordSize> record{};
    uint32_t bytes = 0;
    ASSERT_TRUE(driver->DeviceIoControl(h, IOCTL_READ_INTERFACE_RECORD, nullptr, 0, record.data(),
                                        kInterfaceRecordSize, &bytes, &io.ov));
    EXPECT_EQ(bytes, kInterfaceRecordSize);
    EXPECT_EQ(io.Status(), 0u);
    EXPECT_EQ(io.Bytes(), kInterfaceRecordSize);
    EXPECT_TRUE(io.event.IsSignalled());
    driver->Close(h);
}

TEST(SimControl, RecordVersionsAreChecked) {
    auto driver = MakeDriver("[[card]]\nserial_config_v5 = false\n[[card]]\n");
    struct VersionCase {
        unsigned card;
        uint32_t code;
        uint32_t size;
        uint32_t version;
        bool accepted;
    } cases[] = {
        {1, IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize, 5, true},
        {1, IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize, 3, true},
        {1, IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize, 4, false},
        {0, IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize, 5, false},  // configured without version 5
        {0, IOCTL_GET_SERIAL_CONFIG, kSerialConfigSize, 3, true},
        {1, IOCTL_GET_PORT_CONFIG, kPortConfigSize, 4, true},
        {1, IOCTL_GET_PORT_CONFIG, kPortConfigSize, 3, false},
        {1, IOCTL_READ_CARD_INFO, kCardInfoSize, 1, true},
        {1, IOCTL_READ_CARD_INFO, kCardInfoSize, 0, false},
    };
    for (const auto& c : cases) {
        auto h = driver->Open(PortPath(c.card, 0));
        std::array<uint8_t, 272> out{};
        sim::StoreU32(out.data(), 0, c.version);
        uint32_t error = Control(*driver, h, c.code, nullptr, 0, out.data(), c.size);
        EXPECT_EQ(error == 0, c.accepted)
            << std::hex << "code 0x" << c.code << " version " << c.version;
        if (c.accepted) {
            EXPECT_EQ(sim::LoadU32(out.data(), 0), c.version);
        }
        driver->Close(h);
    }
}

template <size_t N>
std::array<uint8_t, N> ReadRecord(card::Driver& driver, card::PortHandle h, uint32_t code,
                                  uint32_t version) {
    std::array<uint8_t, N> record{};
    sim::StoreU32(record.data(), 0, version);
    EXPECT_EQ(Control(driver, h, code, nullptr, 0, record.data(), N), 0u);
    return record;
}

TEST(SimControl, ConfigurationRecordsRoundTripWithTheirKeptFields) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 1));
    auto port = ReadRecord<kPortConfigSize>(*driver, h, IOCTL_GET_PORT_CONFIG, 4);
    auto serial = ReadRecord<kSerialConfigSize>(*driver, h, IOCTL_GET_SERIAL_CONFIG, 5);
    // Kept fields come with values a careless writer would not reproduce.
    for (size_t offset : {20, 24, 28, 32, 44, 48, 56, 252})
        EXPECT_NE(sim::LoadU32(port.data(), offset), 0u);
    for (size_t offset : {48, 80, 100, 108, 268})
        EXPECT_NE(sim::LoadU32(serial.data(), offset), 0u);
    EXPECT_NE(sim::LoadU32(port.data(), 20), sim::LoadU32(port.data(), 24));

    sim::StoreU32(port.data(), 12, 608);
    sim::StoreU32(serial.data(), 8, 19200);
    ASSERT_EQ(Control(*driver, h, IOCTL_SET_PORT_CONFIG, port.data(), kPortConfigSize, nullptr, 0),
              0u);
    ASSERT_EQ(
        Control(*driver, h, IOCTL_SET_SERIAL_CONFIG, serial.data(), kSerialConfigSize, nullptr, 0),
        0u);
    driver->Close(h);  // the card keeps its configuration across opens
    h = driver->Open(PortPath(0, 1, true));
    EXPECT_EQ(ReadRecord<kPortConfigSize>(*driver, h, IOCTL_GET_PORT_CONFIG, 4), port);
    auto again = ReadRecord<kSerialConfigSize>(*driver, h, IOCTL_GET_SERIAL_CONFIG, 5);
    EXPECT_EQ(again, serial);
    driver->Close(h);
}

TEST(SimControl, SimpleRequestsAcceptTheirValues) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    EXPECT_EQ(ControlWord(*driver, h, IOCTL_START_MONITORING, 1), 0u);
    EXPECT_EQ(ControlWord(*driver, h, IOCTL_SET_DELAY_MODE, 4), 0u);
    EXPECT_EQ(ControlWord(*driver, h, IOCTL_SET_INVERSION, 0), 0u);
    EXPECT_EQ(ControlWord(*driver, h, IOCTL_INJECT_ERRORS, 8), 0u);
    EXPECT_EQ(ControlWord(*driver, h, IOCTL_INJECT_ERRORS, 0), platform::kErrorInvalidParameter);
    EXPECT_EQ(ControlWord(*driver, h, IOCTL_INJECT_ERRORS, 9), platform::kErrorInvalidParameter);
    for (uint32_t code :
         {IOCTL_TX_INVERT_CHANGED, IOCTL_GET_V24, IOCTL_RESET_BERT, IOCTL_START_PORT})
        EXPECT_EQ(Control(*driver, h, code, nullptr, 0, nullptr, 0), 0u) << std::hex << code;
    EXPECT_TRUE(driver->SetupComm(h, 0x100007D0, 0x100007D0));
    driver->Close(h);
}

TEST(SimControl, BertConfigNeedsACardWithTheEngine) {
    auto driver = MakeDriver();
    std::array<uint8_t, kBertConfigSize> config{};
    sim::StoreU32(config.data(), 0, 1);
    sim::StoreU32(config.data(), 4, 3);
    auto vantle = driver->Open(PortPath(0, 0, true));
    EXPECT_EQ(
        Control(*driver, vantle, IOCTL_SET_BERT_CONFIG, config.data(), kBertConfigSize, nullptr, 0),
        0u);
    auto other = driver->Open(PortPath(1, 0, true));
    EXPECT_EQ(
        Control(*driver, other, IOCTL_SET_BERT_CONFIG, config.data(), kBertConfigSize, nullptr, 0),
        ZV_ERROR_INVALID_IOCTL);
    driver->Close(vantle);
    driver->Close(other);
}

TEST(SimControl, InversionRefusedByACardThatCannotInvert) {
    auto driver = MakeDriver("[[card]]\ncan_invert = false\n");
    auto h = driver->Open(PortPath(0, 0));
    EXPECT_NE(ControlWord(*driver, h, IOCTL_SET_INVERSION, 0), 0u);
    EXPECT_NE(ControlWord(*driver, h, IOCTL_SET_INVERSION, 4), 0u);
    driver->Close(h);
}

TEST(SimControl, InterfaceRecordFollowsTheOutputSignalsAndCounterResets) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    auto before = simtest::InterfaceRecord(*driver, h);
    EXPECT_EQ(before[sim::kIfSignals], 0);
    struct SignalCase {
        uint8_t v24;
        uint8_t signals;
    } cases[] = {{sim::kV24Rts, sim::kSignalCts},
                 {sim::kV24Dtr, sim::kSignalDsr | sim::kSignalDcd},
                 {sim::kV24Rts | sim::kV24Dtr, sim::kSignalCts | sim::kSignalDsr | sim::kSignalDcd},
                 {0, 0}};
    for (const auto& c : cases) {
        ASSERT_EQ(Control(*driver, h, IOCTL_SET_V24, &c.v24, 1, nullptr, 0), 0u);
        EXPECT_EQ(simtest::InterfaceRecord(*driver, h)[sim::kIfSignals], c.signals) << int(c.v24);
    }
    simtest::StartPort(*driver, h, {});
    EXPECT_EQ(simtest::InterfaceRecord(*driver, h)[sim::kIfSignals], sim::kSignalCarrier);

    ASSERT_EQ(Control(*driver, h, IOCTL_RESET_STATS, nullptr, 0, nullptr, 0), 0u);
    auto after = simtest::InterfaceRecord(*driver, h);
    EXPECT_NE(sim::LoadU32(after.data(), sim::kIfChangeWord),
              sim::LoadU32(before.data(), sim::kIfChangeWord));
    for (unsigned i = 0; i < sim::kIfCounterCount; ++i)
        EXPECT_EQ(sim::LoadU32(after.data(), 16 + 4 * i), 0u);
    driver->Close(h);
}

TEST(SimFaults, ConfiguredFaultsFailTheirRequests) {
    auto driver = MakeDriver(R"(
        [[card]]
        [[card.fault]]
        ioctl = 0x7D0
        error = 0xE0000004
        [[card.fault]]
        request = "ring_read"
        error = 50
        [[card.fault]]
        request = "open"
        port = 1
        error = 5
    )");
    EXPECT_EQ(driver->Open(PortPath(0, 1)), card::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);

    auto h = driver->Open(PortPath(0, 0));
    ASSERT_NE(h, card::kInvalidHandle);
    EXPECT_EQ(Control(*driver, h, IOCTL_RESET_STATS, nullptr, 0, nullptr, 0),
              ZV_ERROR_CARD_NOT_STARTED);
    EXPECT_EQ(Control(*driver, h, IOCTL_RESET_BERT, nullptr, 0, nullptr, 0), 0u);
    simtest::StartPort(*driver, h, {});
    std::vector<uint32_t> ring(64);
    ring[0] = 200;
    simtest::Io io;
    EXPECT_FALSE(driver->ReadFile(h, ring.data(), uint32_t(ring.size() * 4), nullptr, &io.ov));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorNotSupported);
    // ReceiveData still serves the port, as the program falls back to it.
    std::array<uint8_t, kReceiveDataMax> data{};
    uint32_t got = 1;
    EXPECT_EQ(
        Control(*driver, h, IOCTL_RECEIVE_DATA, nullptr, 0, data.data(), kReceiveDataMax, &got),
        0u);
    EXPECT_EQ(got, 0u);
    driver->Close(h);
}

}  // namespace
