// A line shared between two simulated drivers, standing for two processes:
// the ends find each other, carry bytes both ways at the line rate, impair
// what they receive, show each other's signals, and survive an end leaving.
#include <unistd.h>

#include <bit>

#include "platform/sync.h"
#include "sim/line_messages.h"
#include "sim/line_socket.h"
#include "sim/records.h"
#include "sim_test_util.h"
#include "tests/e2e_support/stdout_capture.h"

namespace {

using simtest::Io;
using simtest::PortPath;
using simtest::WaitFor;

// A line name of its own per test and process: ctest runs tests side by side.
std::string LineName() {
    return "t" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::unique_ptr<sim::SimDriver> SharedEnd(const std::string& impairments = "") {
    std::string text =
        "[[card]]\nports = 1\nline = \"shared\"\nline_name = \"" + LineName() + "\"\n";
    if (!impairments.empty()) text += "[card.impairment]\n" + impairments;
    return simtest::MakeDriver(text);
}

// One end: a driver with its started port.
struct End {
    std::unique_ptr<sim::SimDriver> driver;
    card::PortHandle h = card::kInvalidHandle;

    explicit End(const std::string& impairments = "", uint32_t rate = 800000)
        : driver(SharedEnd(impairments)) {
        h = driver->Open(PortPath(0, 0));
        simtest::StartPort(*driver, h, {.rate = rate});
    }
    uint8_t Signals() { return simtest::InterfaceRecord(*driver, h)[sim::kIfSignals]; }
    bool Carrier() { return (Signals() & sim::kSignalCarrier) != 0; }
    std::vector<uint8_t> Drain() {
        std::vector<uint8_t> all;
        std::array<uint8_t, kReceiveDataMax> buffer;
        uint32_t got = 0;
        while (simtest::Control(*driver, h, IOCTL_RECEIVE_DATA, nullptr, 0, buffer.data(),
                                kReceiveDataMax, &got) == 0 &&
               got > 0)
            all.insert(all.end(), buffer.begin(), buffer.begin() + got);
        return all;
    }
    // Collects until count bytes came or the time is up.
    std::vector<uint8_t> Receive(size_t count, int timeoutMs = 3000) {
        std::vector<uint8_t> all;
        WaitFor(
            [&] {
                auto more = Drain();
                all.insert(all.end(), more.begin(), more.end());
                return all.size() >= count;
            },
            timeoutMs);
        return all;
    }
    void Send(const std::vector<uint8_t>& data) {
        Io io;
        simtest::Transmit(*driver, h, data, io);
        EXPECT_TRUE(io.Wait(5000));
    }
};

bool Joined(End& a, End& b) {
    return WaitFor([&] { return a.Carrier() && b.Carrier(); });
}

TEST(SimSharedLine, BytesCrossBothWaysInOrderAtTheLineRate) {
    End a("", 64000);  // 8000 bytes a second
    End b("", 64000);
    ASSERT_TRUE(Joined(a, b));
    std::vector<uint8_t> data = simtest::Counting(2000);
    auto start = std::chrono::steady_clock::now();
    Io io;
    simtest::Transmit(*a.driver, a.h, data, io);
    EXPECT_EQ(b.Receive(2000), data);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 240);  // 250 ms on the line
    EXPECT_LT(ms, 2000);
    EXPECT_TRUE(io.Wait());
    EXPECT_TRUE(a.Drain().empty());  // nothing loops back to the sender

    std::vector<uint8_t> back = simtest::Counting(300, 77);
    b.Send(back);
    EXPECT_EQ(a.Receive(300), back);
    EXPECT_EQ(a.driver->LineStatsOf(0, 0)->bitsCarried, 2400u);
    EXPECT_EQ(b.driver->LineStatsOf(0, 0)->bitsCarried, 16000u);
}

TEST(SimSharedLine, SignalsOfOneEndShowAtTheOther) {
    End a;
    End b;
    ASSERT_TRUE(Joined(a, b));
    EXPECT_EQ(b.Signals() & (sim::kSignalCts | sim::kSignalDsr | sim::kSignalDcd), 0);
    uint8_t v24 = sim::kV24Rts;
    ASSERT_EQ(simtest::Control(*a.driver, a.h, IOCTL_SET_V24, &v24, 1, nullptr, 0), 0u);
    EXPECT_TRUE(WaitFor([&] { return (b.Signals() & sim::kSignalCts) != 0; }));
    EXPECT_EQ(b.Signals() & (sim::kSignalDsr | sim::kSignalDcd), 0);
    v24 = sim::kV24Dtr;
    ASSERT_EQ(simtest::Control(*a.driver, a.h, IOCTL_SET_V24, &v24, 1, nullptr, 0), 0u);
    EXPECT_TRUE(WaitFor([&] {
        return (b.Signals() & (sim::kSignalDsr | sim::kSignalDcd | sim::kSignalCts)) ==
               (sim::kSignalDsr | sim::kSignalDcd);
    }));
    EXPECT_EQ(a.Signals() & (sim::kSignalCts | sim::kSignalDsr), 0);  // b raised nothing
    a.driver->Close(a.h);
    EXPECT_TRUE(WaitFor([&] { return !b.Carrier(); }));
}

TEST(SimSharedLine, EachEndImpairsWhatItReceivesAndTheDirectionsDiffer) {
    End a("bit_error_rate = 1e-2\nseed = 4\n");
    End b("bit_error_rate = 1e-2\nseed = 4\n");
    End* ends[] = {&a, &b};
    ASSERT_TRUE(Joined(a, b));
    std::vector<uint8_t> zeros(5000, 0);
    a.Send(zeros);
    b.Send(zeros);
    std::vector<uint8_t> atB = b.Receive(5000);
    std::vector<uint8_t> atA = a.Receive(5000);
    ASSERT_EQ(atA.size(), 5000u);
    ASSERT_EQ(atB.size(), 5000u);
    for (End* end : ends) {
        const auto& got = end == &a ? atA : atB;
        uint64_t ones = 0;
        for (uint8_t byte : got) ones += unsigned(std::popcount(unsigned(byte)));
        EXPECT_EQ(ones, end->driver->LineStatsOf(0, 0)->bitsFlipped);
        EXPECT_GT(ones, 200u);  // 400 expected
    }
    // One seed on both ends, yet the errors of one direction do not repeat
    // those of the other (an echo would otherwise take every error back).
    EXPECT_NE(atA, atB);
}

TEST(SimSharedLine, OnlyTheReceiversImpairmentsActOnADirection) {
    End a("invert = true\n");
    End b;
    ASSERT_TRUE(Joined(a, b));
    std::vector<uint8_t> data(100, 0x0F);
    a.Send(data);
    EXPECT_EQ(b.Receive(100), data);
    b.Send(data);
    EXPECT_EQ(a.Receive(100), std::vector<uint8_t>(100, 0xF0));
}

TEST(SimSharedLine, BitsSentWithNobodyAtTheFarEndAreLost) {
    End a("", 800000);
    std::vector<uint8_t> early(1000, 0xAA);
    a.Send(early);  // completes at the line rate all the same
    EXPECT_EQ(a.driver->LineStatsOf(0, 0)->bitsUnsent, 8000u);
    End b("", 800000);
    ASSERT_TRUE(Joined(a, b));
    std::vector<uint8_t> late(10, 0x11);
    a.Send(late);
    EXPECT_EQ(b.Receive(10), late);
}

TEST(SimSharedLine, AnEndThatLeavesIsReplacedWhicheverEndItWas) {
    auto first = std::make_unique<End>();   // comes first: listens
    auto second = std::make_unique<End>();  // connects
    ASSERT_TRUE(Joined(*first, *second));

    second.reset();
    EXPECT_TRUE(WaitFor([&] { return !first->Carrier(); }));
    auto third = std::make_unique<End>();
    ASSERT_TRUE(Joined(*first, *third));
    third->Send({1, 2, 3});
    EXPECT_EQ(first->Receive(3), (std::vector<uint8_t>{1, 2, 3}));

    first.reset();  // the listener goes: the other end takes the name over
    EXPECT_TRUE(WaitFor([&] { return !third->Carrier(); }));
    auto fourth = std::make_unique<End>();
    ASSERT_TRUE(Joined(*third, *fourth));
    fourth->Send({4, 5});
    EXPECT_EQ(third->Receive(2), (std::vector<uint8_t>{4, 5}));
}

TEST(SimSharedLine, AThirdEndIsTurnedAway) {
    End a;
    End b;
    ASSERT_TRUE(Joined(a, b));
    const auto why = [](const std::string& line) {
        return "simulated shared line " + line +
               ".0: two ends are on it already, this port is turned away\n";
    };
    {
        e2e::StdoutCapture errors(stderr);
        End c;
        EXPECT_TRUE(
            WaitFor([&] { return errors.Peek().find(why(LineName())) != std::string::npos; }));
        EXPECT_FALSE(c.Carrier());
        a.Send({9, 9});
        EXPECT_EQ(b.Receive(2), (std::vector<uint8_t>{9, 9}));
        EXPECT_TRUE(c.Drain().empty());
        EXPECT_EQ(errors.Stop(), why(LineName()));
    }

    // However often it tries, it says so once. Here the test holds the line
    // and turns the end away at each attempt; each next attempt shows that
    // the end has read the refusal before it.
    const std::string held = LineName() + "-held";
    const int listener = sim::LineSocketListen(sim::LineSocketName(held + ".0"));
    ASSERT_GE(listener, 0);
    e2e::StdoutCapture errors(stderr);
    auto driver = simtest::MakeDriver("[[card]]\nports = 1\nline = \"shared\"\nline_name = \"" +
                                      held + "\"\n");
    auto h = driver->Open(PortPath(0, 0));
    simtest::StartPort(*driver, h, {.rate = 800000});
    std::vector<uint8_t> refusal;
    sim::AppendTurnedAwayMessage(refusal);
    for (int attempt = 1; attempt <= 4; ++attempt) {
        int socket = -1;
        ASSERT_TRUE(WaitFor([&] { return (socket = sim::LineSocketAccept(listener)) >= 0; }))
            << "attempt " << attempt;
        if (attempt < 4) sim::LineSocketSend(socket, refusal.data(), refusal.size());
        sim::LineSocketClose(socket);
    }
    driver->Close(h);
    EXPECT_EQ(errors.Stop(), why(held));
    sim::LineSocketClose(listener);
}

// A far end that sends a record no line carries (here a chunk ending near the
// end of time) is dropped with one message, and the line takes the next end.
TEST(SimSharedLine, AFarEndSendingAnImpossibleRecordIsDroppedAndReplaced) {
    End a;
    const int rogue = sim::LineSocketConnect(sim::LineSocketName(LineName() + ".0"));
    ASSERT_GE(rogue, 0);
    std::vector<uint8_t> bytes;
    sim::AppendSignalsMessage(bytes, sim::kV24Dtr, true);
    sim::LineChunk chunk;
    chunk.data = {1, 2, 3};
    chunk.startNs = platform::PerfCounter();
    chunk.endNs = INT64_MAX - 1;
    sim::AppendDataMessage(bytes, chunk);
    testing::internal::CaptureStderr();
    ASSERT_EQ(sim::LineSocketSend(rogue, bytes.data(), bytes.size()), long(bytes.size()));
    uint8_t gone = 0;
    EXPECT_TRUE(WaitFor([&] { return sim::LineSocketReceive(rogue, &gone, 1) < 0; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simulated shared line " + LineName() +
                  ".0: the far end sent bit times far from now; it is dropped\n");
    sim::LineSocketClose(rogue);
    End b;
    ASSERT_TRUE(Joined(a, b));
    b.Send({7, 8});
    EXPECT_EQ(a.Receive(2), (std::vector<uint8_t>{7, 8}));
}

}  // namespace
