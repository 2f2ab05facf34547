// The loopback line of the simulated card: data in order at the line rate,
// the shared receive ring, "+" reads, cancellation and card removal.
#include <atomic>
#include <bit>
#include <mutex>

#include "card/driver_error.h"
#include "sim_test_util.h"

namespace {

using simtest::Control;
using simtest::ControlWord;
using simtest::Io;
using simtest::MakeDriver;
using simtest::PortPath;
using simtest::WaitFor;

// Everything ReceiveData has for the port right now.
std::vector<uint8_t> Drain(card::Driver& driver, card::PortHandle h) {
    std::vector<uint8_t> all;
    std::array<uint8_t, kReceiveDataMax> buffer;
    for (;;) {
        uint32_t got = 0;
        EXPECT_EQ(Control(driver, h, IOCTL_RECEIVE_DATA, nullptr, 0, buffer.data(), kReceiveDataMax,
                          &got),
                  0u);
        if (got == 0) return all;
        all.insert(all.end(), buffer.begin(), buffer.begin() + got);
    }
}

int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

TEST(SimLoopback, TransmitsCompleteInOrderAtTheLineRateAndComeBack) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(1, 0));
    simtest::StartPort(*driver, h, {.rate = 64000});  // 8000 bytes a second
    std::vector<std::vector<uint8_t>> blocks;
    for (int i = 0; i < 4; ++i) blocks.push_back(simtest::Counting(500, uint8_t(i * 500)));
    Io ios[4];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) simtest::Transmit(*driver, h, blocks[i], ios[i]);

    // Completions come in queue order, as the bytes leave: whenever looked
    // at, the requests done are the first ones. Looked at from the last, so
    // that one completing meanwhile never looks out of order.
    int64_t firstHalfMs = -1;
    ASSERT_TRUE(WaitFor([&] {
        bool laterDone = false;
        for (int i = 3; i >= 0; --i) {
            const bool done = ios[i].Done();
            EXPECT_TRUE(done || !laterDone) << "request " << i + 1 << " completed first";
            laterDone = done;
        }
        if (firstHalfMs < 0 && ios[1].Done()) firstHalfMs = MsSince(start);
        return ios[3].Done();
    }));
    ASSERT_TRUE(ios[3].Wait());
    int64_t allMs = MsSince(start);
    for (auto& io : ios) {
        EXPECT_EQ(io.Status(), 0u);
        EXPECT_EQ(io.Bytes(), 500u);
    }
    // 1000 bytes take 125 ms and 2000 bytes 250 ms on the line; never less.
    EXPECT_GE(firstHalfMs, 120);
    EXPECT_GE(allMs, 245);
    EXPECT_LT(allMs, e2e::ScaledMs(1500));

    std::vector<uint8_t> received = Drain(*driver, h);
    EXPECT_EQ(received, simtest::Counting(2000));
    driver->Close(h);
}

TEST(SimLoopback, ByteCountFollowsTheRateOverAnInterval) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(1, 1));
    simtest::StartPort(*driver, h, {.rate = 160000});  // 20000 bytes a second
    std::vector<uint8_t> data = simtest::Counting(40000);
    Io io;
    simtest::Transmit(*driver, h, data, io);
    // The time 6000 more bytes take to come back: 300 ms at the rate, less
    // at most two ticks by which the first drain may have been late. A line
    // that ran faster would be sooner; one that stalled never gets there.
    ASSERT_TRUE(simtest::WaitFor([&] { return !Drain(*driver, h).empty(); }));
    const auto start = std::chrono::steady_clock::now();
    size_t interval = 0;
    EXPECT_TRUE(
        simtest::WaitFor([&] { return (interval += Drain(*driver, h).size()) >= 6000; }, 10000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(ms, 300 - 2 * 20);
    EXPECT_LT(interval, 40000u);
    EXPECT_TRUE(driver->CancelIo(h));
    driver->Close(h);
}

TEST(SimLoopback, AsynchronousCharactersCarryTheirDataBitsAtTheirCost) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    // 7 data bits, parity, 2 stop bits: 11 bits a character.
    simtest::StartPort(*driver, h,
                       {.rate = 11000,
                        .mode = sim::kTransparentAsync,
                        .dataBitsCode = 1,
                        .parity = 2,
                        .stopBits = 2});
    std::vector<uint8_t> data{0xFF, 0x80, 0x41, 0xC1};
    std::vector<uint8_t> more(196, 0xAA);
    Io first, second;
    auto start = std::chrono::steady_clock::now();
    simtest::Transmit(*driver, h, data, first);
    simtest::Transmit(*driver, h, more, second);
    ASSERT_TRUE(second.Wait());
    EXPECT_GE(MsSince(start), 195);  // 200 characters at 1000 a second
    std::vector<uint8_t> received = Drain(*driver, h);
    ASSERT_EQ(received.size(), 200u);
    EXPECT_EQ(received[0], 0x7F);
    EXPECT_EQ(received[1], 0x00);
    EXPECT_EQ(received[2], 0x41);
    EXPECT_EQ(received[3], 0x41);
    EXPECT_EQ(received[4], 0x2A);
    driver->Close(h);
}

TEST(SimLoopback, InjectedErrorsAndInversionReachTheReceiver) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 1));
    simtest::StartPort(*driver, h, {.rate = 800000});
    auto send = [&](uint8_t fill) {
        std::vector<uint8_t> data(100, fill);
        Io io;
        simtest::Transmit(*driver, h, data, io);
        std::vector<uint8_t> received;
        EXPECT_TRUE(WaitFor([&] {
            auto more = Drain(*driver, h);
            received.insert(received.end(), more.begin(), more.end());
            return io.Done() && received.size() >= data.size();
        }));
        EXPECT_TRUE(io.Wait());
        return received;
    };
    ASSERT_EQ(ControlWord(*driver, h, IOCTL_INJECT_ERRORS, 3), 0u);
    auto received = send(0x00);
    int flipped = 0;
    for (uint8_t byte : received) flipped += std::popcount(unsigned(byte));
    EXPECT_EQ(received.size(), 100u);
    EXPECT_EQ(flipped, 3);

    struct InversionCase {
        uint32_t word;
        uint8_t seen;
    } cases[] = {{sim::kInvertTx, 0xC3},
                 {sim::kInvertRx, 0xC3},
                 {sim::kInvertRx | sim::kInvertTx, 0x3C},
                 {0, 0x3C}};
    for (const auto& c : cases) {
        ASSERT_EQ(ControlWord(*driver, h, IOCTL_SET_INVERSION, c.word), 0u);
        received = send(0x3C);
        ASSERT_EQ(received.size(), 100u);
        EXPECT_EQ(received[50], c.seen) << "inversion " << c.word;
    }
    driver->Close(h);
}

TEST(SimLoopback, PortEventIsSignalledWhenDataArrives) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(1, 2));
    simtest::StartPort(*driver, h, {.rate = 64000});
    platform::Event rxEvent(false, false);
    card::Overlapped reg;
    reg.hEvent = &rxEvent;
    EXPECT_TRUE(
        driver->DeviceIoControl(h, IOCTL_SET_PORT_EVENT, nullptr, 0, nullptr, 0, nullptr, &reg));
    EXPECT_EQ(platform::WaitForEvent(rxEvent, 0), platform::kWaitObject0);  // completion signals it
    auto witness = driver->Open(PortPath(1, 3));
    simtest::StartPort(*driver, witness, {.rate = 64000});
    ASSERT_TRUE(simtest::RunTheClock(*driver, witness, 50));
    EXPECT_EQ(platform::WaitForEvent(rxEvent, 0), platform::kWaitTimeout);  // nothing came
    driver->Close(witness);
    std::vector<uint8_t> data(10, 1);
    Io io;
    simtest::Transmit(*driver, h, data, io);
    EXPECT_EQ(platform::WaitForEvent(rxEvent, 2000), platform::kWaitObject0);
    EXPECT_TRUE(WaitFor([&] { return Drain(*driver, h).size() > 0; }));
    driver->Close(h);
}

uint32_t Counter(card::Driver& driver, card::PortHandle h, sim::IfCounter counter) {
    return sim::LoadU32(simtest::InterfaceRecord(driver, h).data(), sim::kIfCounters + 4 * counter);
}

// What arrives of 100 bytes of 0x3C sent with the line settings of the
// serial record, on a card that takes SetInversion or not.
TEST(SimLoopback, ClockSourceAndInversionOfTheSerialRecordAct) {
    struct Case {
        const char* name;
        simtest::LineSetup line;
        bool canInvert;
        size_t arrives;
        uint8_t seen;
    } cases[] = {
        {"internal clock", {.rate = 800000}, true, 100, 0x3C},
        {"clock from a loopback plug", {.rate = 800000, .clocking = 0}, true, 0, 0},
        {"asynchronous ports time themselves",
         {.rate = 800000, .mode = sim::kTransparentAsync, .clocking = 0},
         true,
         100,
         0x3C},
        {"TIV", {.rate = 800000, .extended = sim::kInvertTx}, true, 100, 0xC3},
        {"TIV, no inverters on the card",
         {.rate = 800000, .extended = sim::kInvertTx},
         false,
         100,
         0x3C},
        {"receive inverted", {.rate = 800000, .extended = sim::kInvertRx | 0x2}, true, 100, 0xC3},
        {"both", {.rate = 800000, .extended = sim::kInvertRx | sim::kInvertTx}, true, 100, 0x3C},
    };
    for (const auto& c : cases) {
        auto driver =
            MakeDriver(std::string("[[card]]\ncan_invert = ") + (c.canInvert ? "true" : "false"));
        auto h = driver->Open(PortPath(0, 0));
        simtest::StartPort(*driver, h, c.line);
        const bool carrier =
            simtest::InterfaceRecord(*driver, h)[sim::kIfSignals] & sim::kSignalCarrier;
        EXPECT_EQ(carrier, c.arrives > 0) << c.name;
        std::vector<uint8_t> data(100, 0x3C);
        Io io;
        simtest::Transmit(*driver, h, data, io);
        std::vector<uint8_t> received;
        auto collect = [&] {
            auto more = Drain(*driver, h);
            received.insert(received.end(), more.begin(), more.end());
            return received.size() >= data.size();
        };
        if (c.arrives) {
            WaitFor(collect);
        } else {
            auto witness = driver->Open(PortPath(0, 1));
            simtest::StartPort(*driver, witness, {.rate = 64000});
            EXPECT_TRUE(simtest::RunTheClock(*driver, witness, 200)) << c.name;
            collect();
            driver->Close(witness);
        }
        EXPECT_EQ(received.size(), c.arrives) << c.name;
        EXPECT_EQ(io.Done(), c.arrives > 0) << c.name;  // no clock: the request waits
        if (!received.empty()) {
            EXPECT_EQ(received[50], c.seen) << c.name;
        }
        driver->CancelIo(h);
        driver->Close(h);
    }
}

// A synchronous transmitter whose queue runs dry goes on sending idle ones,
// which the receiver gets, and counts one underrun for the gap.
TEST(SimLoopback, DryTransmitterSendsIdleOnesAndCountsAnUnderrun) {
    struct Case {
        uint32_t mode;
        bool idle;
    } cases[] = {{sim::kTransparentSync, true}, {sim::kTransparentAsync, false}};
    for (const auto& c : cases) {
        auto driver = MakeDriver();
        auto h = driver->Open(PortPath(0, 0));
        simtest::StartPort(*driver, h, {.rate = 64000, .mode = c.mode});
        std::vector<uint8_t> received;
        auto collect = [&] {
            auto more = Drain(*driver, h);
            received.insert(received.end(), more.begin(), more.end());
        };
        const std::vector<uint8_t> data(80, 0x00);
        auto ones = [&] { return size_t(std::count(received.begin(), received.end(), 0xFF)); };
        for (size_t burst = 1; burst <= 2; ++burst) {
            Io io;
            simtest::Transmit(*driver, h, data, io);
            EXPECT_TRUE(io.Wait());
            if (c.idle) {
                // The host is late: the gap after the burst comes back as
                // idle ones, some 100 ms of the 64 kbit/s line.
                EXPECT_TRUE(WaitFor([&] {
                    collect();
                    return ones() >= 800 * burst;
                })) << "burst "
                    << burst;
            } else {
                // The host is late, and an asynchronous line carries nothing
                // meanwhile: there is nothing to wait for, the lateness is the case.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        // The last burst whole proves the line carried everything before it.
        EXPECT_TRUE(WaitFor([&] {
            collect();
            return std::count(received.begin(), received.end(), 0x00) >= 160;
        }));
        collect();
        const auto zeros = size_t(std::count(received.begin(), received.end(), 0x00));
        EXPECT_EQ(zeros, 160u) << "mode " << c.mode;
        EXPECT_EQ(ones() + zeros, received.size());
        EXPECT_EQ(Counter(*driver, h, sim::kCounterTxU), c.idle ? 2u : 0u) << "mode " << c.mode;
        if (c.idle) {
            ASSERT_GT(received.size(), 80u);
            EXPECT_EQ(received[79], 0x00);
            EXPECT_EQ(received[80], 0xFF);
        } else {
            EXPECT_EQ(ones(), 0u);
        }
        driver->Close(h);
    }
}

// The interface record counts what the receiver's checks find.
TEST(SimLoopback, FramingAndParityErrorsMoveTheInterfaceCounters) {
    auto driver = MakeDriver("[[card]]\n[card.impairment]\ninvert = true\n");
    auto h = driver->Open(PortPath(0, 0));
    // 8 data bits, even parity, 1 stop bit: inverted, every character has a
    // wrong stop bit and 9 wrong bits under its parity.
    simtest::StartPort(*driver, h, {.rate = 110000, .mode = sim::kTransparentAsync, .parity = 2});
    std::vector<uint8_t> data(100, 0x55);
    Io io;
    simtest::Transmit(*driver, h, data, io);
    ASSERT_TRUE(io.Wait());
    size_t got = 0;
    EXPECT_TRUE(WaitFor([&] { return (got += Drain(*driver, h).size()) >= 100; }));
    EXPECT_EQ(Counter(*driver, h, sim::kCounterFraming), 100u);
    EXPECT_EQ(Counter(*driver, h, sim::kCounterCrc), 100u);
    driver->Close(h);
}

TEST(SimLoopback, RateZeroCarriesNothingAndAbsurdRatesAreClamped) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(1, 0));
    simtest::StartPort(*driver, h, {.rate = 0});
    EXPECT_EQ(simtest::InterfaceRecord(*driver, h)[sim::kIfSignals] & sim::kSignalCarrier, 0);
    auto witness = driver->Open(PortPath(1, 1));
    simtest::StartPort(*driver, witness, {.rate = 64000});
    std::vector<uint8_t> data(10, 1);
    Io io;
    simtest::Transmit(*driver, h, data, io);
    ASSERT_TRUE(simtest::RunTheClock(*driver, witness, 100));
    EXPECT_FALSE(io.Done());
    driver->CancelIo(h);
    driver->Close(witness);

    simtest::StartPort(*driver, h, {.rate = 0xFFFFFFFF});
    std::vector<uint8_t> big(100000, 2);
    Io fast;
    simtest::Transmit(*driver, h, big, fast);
    EXPECT_TRUE(fast.Wait());
    size_t kept = Drain(*driver, h).size();  // the receive queue holds 8 buffers of 8192 bytes
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, 65536u);
    auto record = simtest::InterfaceRecord(*driver, h);
    EXPECT_GT(sim::LoadU32(record.data(), 16 + 4 * sim::kCounterRxO), 0u);
    driver->Close(h);
}

// ---- shared receive ring -------------------------------------------------------

// The program's side of the ring: a block of 16 header bytes and the data area.
struct Ring {
    std::vector<uint32_t> words;
    uint32_t size;

    explicit Ring(uint32_t capacity) : words((capacity + 20 + 3) / 4), size(capacity + 1) {
        words[0] = size;
        words[1] = words[2] = capacity - 1;
        words[3] = 0xFFFFFFFF;
    }
    uint8_t* block() { return reinterpret_cast<uint8_t*>(words.data()); }
    uint32_t length() const { return uint32_t(words.size() * 4); }
    uint32_t Load(int word) {
        return std::atomic_ref<uint32_t>(words[word]).load(std::memory_order_acquire);
    }

    // Takes count bytes after the read index, as the receive thread does.
    bool Take(uint8_t* out, uint32_t count) {
        uint32_t read = Load(1), write = Load(2);
        if ((write + size - read) % size < count) return false;
        for (uint32_t i = 0; i < count; ++i) out[i] = block()[16 + (read + 1 + i) % size];
        std::atomic_ref<uint32_t>(words[1]).store((read + count) % size, std::memory_order_release);
        return true;
    }
};

struct Record {
    uint32_t timestamp;
    uint16_t length;
    uint8_t port;
    std::vector<uint8_t> data;
};

std::vector<Record> TakeRecords(Ring& ring) {
    std::vector<Record> records;
    uint8_t header[8];
    while (ring.Take(header, 8)) {
        Record r{sim::LoadU32(header, 0), sim::LoadU16(header, 4), header[6], {}};
        r.data.resize(r.length);
        EXPECT_TRUE(ring.Take(r.data.data(), r.length));  // a record is published whole
        records.push_back(std::move(r));
    }
    return records;
}

TEST(SimRing, DriverProducesWholeRecordsInOrder) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    const uint32_t bufferLength = 608;
    // Asynchronous, so that the line carries nothing between the blocks: a
    // synchronous one sends idle ones there, which would fill the ring
    // whenever this thread is slow to take them.
    simtest::StartPort(
        *driver, h,
        {.rate = 1000000, .mode = sim::kTransparentAsync, .rxBufferLength = bufferLength});
    Ring ring((bufferLength + 8) * 8);
    Io ringIo;
    ASSERT_FALSE(driver->ReadFile(h, ring.block(), ring.length(), nullptr, &ringIo.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);

    // Block by block, each taken from the ring before the next is sent: the
    // ring never holds more than a third of what it can, however late this
    // thread runs, and the data still wraps around it several times.
    const std::vector<uint8_t> data = simtest::Counting(30000, 7);
    const size_t blockLength = 1500;
    std::vector<uint8_t> received;
    uint32_t lastStamp = 0;
    for (size_t sent = 0; sent < data.size(); sent += blockLength) {
        const std::vector<uint8_t> block(data.begin() + sent, data.begin() + sent + blockLength);
        Io io;
        simtest::Transmit(*driver, h, block, io);
        ASSERT_TRUE(io.Wait());
        ASSERT_TRUE(WaitFor([&] {
            for (auto& r : TakeRecords(ring)) {
                EXPECT_LE(r.length, bufferLength);
                EXPECT_GT(r.length, 0u);
                EXPECT_EQ(r.port, 0);
                EXPECT_GE(r.timestamp, lastStamp);
                lastStamp = r.timestamp;
                received.insert(received.end(), r.data.begin(), r.data.end());
            }
            return received.size() >= sent + blockLength;
        })) << "after "
            << received.size() << " bytes";
    }
    EXPECT_EQ(received, data);
    EXPECT_EQ(Counter(*driver, h, sim::kCounterRxO), 0u);
    EXPECT_EQ(ring.Load(3), 0xFFFFFFFFu);  // the driver leaves the mark alone
    EXPECT_FALSE(ringIo.Done());
    EXPECT_TRUE(driver->CancelIo(h));
    EXPECT_EQ(ringIo.Status(), platform::kErrorOperationAborted);
    driver->Close(h);
}

TEST(SimRing, FullRingDropsRecordsAndCountsOverruns) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 1));
    simtest::StartPort(*driver, h, {.rate = 2000000, .rxBufferLength = 256, .rxBuffers = 2});
    Ring ring((256 + 8) * 2);
    Io ringIo;
    ASSERT_FALSE(driver->ReadFile(h, ring.block(), ring.length(), nullptr, &ringIo.ov));
    auto before = simtest::InterfaceRecord(*driver, h);
    std::vector<uint8_t> data(20000, 0x55);
    Io io;
    simtest::Transmit(*driver, h, data, io);
    ASSERT_TRUE(io.Wait());
    auto after = simtest::InterfaceRecord(*driver, h);
    EXPECT_GT(sim::LoadU32(after.data(), 16 + 4 * sim::kCounterRxO), 0u);
    EXPECT_NE(sim::LoadU32(after.data(), sim::kIfChangeWord),
              sim::LoadU32(before.data(), sim::kIfChangeWord));
    size_t kept = 0;
    for (auto& r : TakeRecords(ring)) kept += r.length;
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, 512u);
    driver->Close(h);
    EXPECT_EQ(ringIo.Status(), platform::kErrorOperationAborted);
}

TEST(SimRing, MalformedRingBlockIsRefused) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0));
    simtest::StartPort(*driver, h, {});
    Ring tooBig(100);
    tooBig.words[0] = 1000;  // more positions than the block holds
    Ring badIndex(100);
    badIndex.words[2] = 101;
    for (Ring* ring : {&tooBig, &badIndex}) {
        Io io;
        EXPECT_FALSE(driver->ReadFile(h, ring->block(), ring->length(), nullptr, &io.ov));
        EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    }
    driver->Close(h);
}

// ---- reads of the "+" device -----------------------------------------------------

TEST(SimPlusReads, TransparentReadsReturnRawBytesAsEchoNeedsThem) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(1, 0, true));
    simtest::StartPort(*driver, h, {.rate = 400000});
    std::array<uint8_t, 4096> buffer{};
    Io read;
    ASSERT_FALSE(driver->ReadFile(h, buffer.data(), uint32_t(buffer.size()), nullptr, &read.ov));
    ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
    std::vector<uint8_t> data = simtest::Counting(300, 1);
    Io write;
    uint32_t written = 0;
    EXPECT_FALSE(driver->WriteFile(h, data.data(), uint32_t(data.size()), &written, &write.ov));
    ASSERT_TRUE(WaitFor([&] { return read.Wait() && write.Wait(); }));
    EXPECT_EQ(write.Bytes(), 300u);
    ASSERT_EQ(read.Status(), 0u);
    ASSERT_GT(read.Bytes(), 0u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + read.Bytes(), data.begin()));
    driver->Close(h);
}

TEST(SimPlusReads, FramedModeGivesOneRecordPerFrameAndTransmitRecordsInDelayMode) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 1, true));
    simtest::StartPort(*driver, h, {.rate = 64000, .mode = sim::kTransparentFramed});
    ASSERT_EQ(ControlWord(*driver, h, IOCTL_SET_DELAY_MODE, 4), 0u);
    std::vector<uint8_t> frame = simtest::Counting(10, 42);
    Io write;
    EXPECT_FALSE(driver->WriteFile(h, frame.data(), uint32_t(frame.size()), nullptr, &write.ov));
    std::array<uint8_t, 18> records[2];
    for (auto& record : records) {
        Io read;
        if (!driver->ReadFile(h, record.data(), uint32_t(record.size()), nullptr, &read.ov)) {
            ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
        }
        ASSERT_TRUE(read.Wait());
        ASSERT_EQ(read.Bytes(), 18u);
        EXPECT_EQ(sim::LoadU16(record.data(), 4), 10u);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), record.begin() + 8));
    }
    EXPECT_EQ(records[0][6], 0x11);  // transmit record of port 1
    EXPECT_EQ(records[1][6], 0x01);  // the frame received on port 1
    // The frame takes 10 * 8 + 55 bits, a little over 2 ms, between the stamps.
    uint32_t span = sim::LoadU32(records[1].data(), 0) - sim::LoadU32(records[0].data(), 0);
    uint32_t adjust = (10 * 8000 + 55000) / 64000;
    EXPECT_GE(span, adjust);
    EXPECT_LE(span, adjust + 1);
    driver->Close(h);
}

TEST(SimPlusReads, BertEngineDeliversStatisticsRecords) {
    auto driver = MakeDriver("[[card]]\nbert_record_ms = 50\n");
    auto h = driver->Open(PortPath(0, 0, true));
    simtest::StartPort(*driver, h, {.rate = 1000000});
    std::array<uint8_t, kBertConfigSize> config{};
    sim::StoreU32(config.data(), 0, 1);
    sim::StoreU32(config.data(), 4, 6);  // 2^23-1
    ASSERT_EQ(
        Control(*driver, h, IOCTL_SET_BERT_CONFIG, config.data(), kBertConfigSize, nullptr, 0), 0u);
    auto readRecord = [&](std::array<uint8_t, 36>& record) {
        Io read;
        if (!driver->ReadFile(h, record.data(), 36, nullptr, &read.ov)) {
            ASSERT_EQ(platform::GetLastError(), platform::kErrorIoPending);
        }
        ASSERT_TRUE(read.Wait());
        ASSERT_EQ(read.Bytes(), 36u);
    };
    std::array<uint8_t, 36> record{};
    uint64_t bits = 0, msecs = 0;
    for (int i = 0; i < 4; ++i) {
        readRecord(record);
        bits += sim::LoadU32(record.data(), 8);
        msecs += sim::LoadU32(record.data(), 4);
    }
    EXPECT_EQ(record[1] & 0x01, 0);  // in sync
    EXPECT_EQ(sim::LoadU32(record.data(), 16), 0u);
    EXPECT_GT(msecs, 150u);
    EXPECT_NEAR(double(bits), double(msecs) * 1000, double(msecs) * 1000 * 0.3 + 20000);

    ASSERT_EQ(ControlWord(*driver, h, IOCTL_INJECT_ERRORS, 5), 0u);
    uint64_t errors = 0;
    for (int i = 0; i < 3; ++i) {
        readRecord(record);
        errors += sim::LoadU32(record.data(), 16);
    }
    EXPECT_EQ(errors, 5u);
    driver->Close(h);
}

// ---- cancellation and removal ----------------------------------------------------

TEST(SimCancel, CancelIoAbortsEveryPendingRequestBeforeReturning) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0, true));
    simtest::StartPort(*driver, h, {.rate = 0});
    std::vector<uint8_t> data(100, 9);
    Io transmits[3], read, write;
    for (auto& io : transmits) simtest::Transmit(*driver, h, data, io);
    std::array<uint8_t, 100> buffer{};
    EXPECT_FALSE(driver->ReadFile(h, buffer.data(), 100, nullptr, &read.ov));
    EXPECT_FALSE(driver->WriteFile(h, data.data(), 100, nullptr, &write.ov));
    EXPECT_FALSE(read.Done());
    EXPECT_TRUE(driver->CancelIo(h));
    for (Io* io : {&transmits[0], &transmits[1], &transmits[2], &read, &write}) {
        EXPECT_EQ(io->Status(), platform::kErrorOperationAborted);
        EXPECT_TRUE(io->event.IsSignalled());
    }
    uint32_t bytes = 0;
    EXPECT_FALSE(card::GetOverlappedResult(h, &read.ov, &bytes, false));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorOperationAborted);
    // The handle still works after a cancel.
    EXPECT_EQ(Control(*driver, h, IOCTL_GET_V24, nullptr, 0, nullptr, 0), 0u);
    driver->Close(h);
}

TEST(SimCancel, CloseAbortsPendingRequestsAndFreesThePort) {
    auto driver = MakeDriver();
    auto h = driver->Open(PortPath(0, 0, true));
    simtest::StartPort(*driver, h, {.rate = 1000});
    std::array<uint8_t, 100> buffer{};
    Io read;
    EXPECT_FALSE(driver->ReadFile(h, buffer.data(), 100, nullptr, &read.ov));
    EXPECT_TRUE(driver->Close(h));
    EXPECT_EQ(read.Status(), platform::kErrorOperationAborted);
    uint32_t error = Control(*driver, h, IOCTL_GET_V24, nullptr, 0, nullptr, 0);
    EXPECT_EQ(error, platform::kErrorInvalidHandle);
}

TEST(SimRemoval, CardLeavesWhileAPortIsOpen) {
    auto driver = MakeDriver("[[card]]\nremove_after_ms = 100\n[[card]]\n");
    std::mutex lock;
    std::vector<card::PortHandle> removed;
    std::vector<std::string> left;
    driver->SetRemovalHandler([&](card::PortHandle h) {
        std::lock_guard<std::mutex> guard(lock);
        removed.push_back(h);
    });
    driver->SetInterfaceHandler([&](const card::CardInterface& iface, bool arrived) {
        std::lock_guard<std::mutex> guard(lock);
        if (!arrived) left.push_back(iface.path);
    });
    auto a = driver->Open(PortPath(0, 0, true));
    auto b = driver->Open(PortPath(0, 1));
    auto survivor = driver->Open(PortPath(1, 0));
    simtest::StartPort(*driver, a, {.rate = 0});
    std::vector<uint8_t> data(100, 1);
    Io transmit, read;
    simtest::Transmit(*driver, a, data, transmit);
    std::array<uint8_t, 100> buffer{};
    EXPECT_FALSE(driver->ReadFile(a, buffer.data(), 100, nullptr, &read.ov));

    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> guard(lock);
        return removed.size() == 2 && left.size() == 1;
    }));
    EXPECT_EQ(transmit.Status(), platform::kErrorDeviceRemoved);
    EXPECT_EQ(read.Status(), platform::kErrorDeviceRemoved);
    EXPECT_EQ(left[0], sim::CardPath(0));
    EXPECT_EQ(Control(*driver, b, IOCTL_GET_V24, nullptr, 0, nullptr, 0),
              platform::kErrorDeviceRemoved);
    EXPECT_EQ(Control(*driver, survivor, IOCTL_GET_V24, nullptr, 0, nullptr, 0), 0u);
    EXPECT_TRUE(driver->Close(a));
    EXPECT_TRUE(driver->Close(b));
    EXPECT_EQ(driver->Open(PortPath(0, 0)), card::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    EXPECT_EQ(driver->EnumerateInterfaces().size(), 2u);  // known, present or not
    driver->Close(survivor);
}

TEST(SimRemoval, HandlerMayCloseTheHandleFromTheDriverThread) {
    auto driver = MakeDriver("[[card]]\nremove_after_ms = 20\n");
    std::atomic<bool> closed{false};
    card::Driver* raw = driver.get();
    driver->SetRemovalHandler([&](card::PortHandle h) { closed = raw->Close(h); });
    auto h = driver->Open(PortPath(0, 0));
    ASSERT_NE(h, card::kInvalidHandle);
    EXPECT_TRUE(WaitFor([&] { return closed.load(); }));
}

}  // namespace
