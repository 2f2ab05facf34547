// The impairment stage on its own: what it does to chunks of characters,
// and that its counters say exactly what it did.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sim/config.h"
#include "sim/impairment.h"

namespace {

using sim::ImpairmentConfig;
using sim::ImpairmentStage;
using sim::LineChunk;

constexpr int64_t kMs = 1000000;
constexpr int64_t kOrigin = 1000 * kMs;

// Characters as a port sends them: count bytes at rate bit/s from startNs.
LineChunk Chunk(std::vector<uint8_t> data, int64_t startNs, uint64_t rate = 8000000,
                uint8_t charBits = 8, uint8_t dataBits = 8) {
    LineChunk chunk;
    chunk.bitsPerChar = charBits;
    chunk.dataBits = dataBits;
    chunk.startNs = startNs;
    chunk.endNs = startNs + int64_t(data.size() * charBits * 1000000000ull / rate);
    chunk.arrivalNs = chunk.endNs;
    chunk.data = std::move(data);
    return chunk;
}

// Sends total bytes of fill through the stage in chunks of 1 ms (1000 bytes
// at 8 Mbit/s) and returns what arrived.
std::vector<uint8_t> Stream(ImpairmentStage& stage, size_t total, uint8_t fill = 0x00,
                            size_t step = 1000) {
    std::vector<uint8_t> out;
    int64_t at = kOrigin;
    for (size_t sent = 0; sent < total; sent += step) {
        LineChunk chunk = Chunk(std::vector<uint8_t>(std::min(step, total - sent), fill), at);
        at = chunk.endNs;
        if (stage.Apply(chunk)) out.insert(out.end(), chunk.data.begin(), chunk.data.end());
    }
    return out;
}

uint64_t WrongBits(const std::vector<uint8_t>& data, uint8_t sent) {
    uint64_t wrong = 0;
    for (uint8_t byte : data) wrong += unsigned(std::popcount(unsigned(byte ^ sent)));
    return wrong;
}

ImpairmentStage Configured(const ImpairmentConfig& settings, uint64_t salt = 0) {
    ImpairmentStage stage;
    stage.Configure(settings, kOrigin, salt);
    return stage;
}

// The bit stream of characters of dataBits each, highest bit first.
std::vector<bool> Bits(const std::vector<uint8_t>& data, unsigned dataBits = 8) {
    std::vector<bool> bits;
    for (uint8_t byte : data)
        for (int b = int(dataBits) - 1; b >= 0; --b) bits.push_back((byte >> b) & 1);
    return bits;
}

TEST(ImpairmentStage, FlipCountsAreExactAndASeedRepeatsTheErrors) {
    ImpairmentConfig settings;
    settings.bitErrorRate = 1e-3;
    settings.seed = 7;
    ImpairmentStage first = Configured(settings);
    std::vector<uint8_t> a = Stream(first, 200000, 0x5A);
    EXPECT_EQ(WrongBits(a, 0x5A), first.stats().bitsFlipped);
    EXPECT_GT(first.stats().bitsFlipped, 1000u);  // 1600 expected
    EXPECT_EQ(first.stats().bitsCarried, 1600000u);

    ImpairmentStage again = Configured(settings);
    EXPECT_EQ(Stream(again, 200000, 0x5A), a);

    settings.seed = 8;
    ImpairmentStage other = Configured(settings);
    std::vector<uint8_t> b = Stream(other, 200000, 0x5A);
    EXPECT_NE(b, a);
    ImpairmentStage salted = Configured(settings, 1);  // same seed, another line
    EXPECT_NE(Stream(salted, 200000, 0x5A), b);
}

TEST(ImpairmentStage, GapsBetweenRandomErrorsFollowTheRate) {
    ImpairmentConfig settings;
    settings.bitErrorRate = 1e-3;
    settings.seed = 99;
    ImpairmentStage stage = Configured(settings);
    std::vector<uint8_t> data = Stream(stage, 2500000);  // 20 million bits
    std::vector<uint64_t> errors;
    for (size_t i = 0; i < data.size(); ++i)
        for (int b = 7; b >= 0; --b)
            if ((data[i] >> b) & 1) errors.push_back(i * 8 + unsigned(7 - b));
    ASSERT_EQ(errors.size(), stage.stats().bitsFlipped);
    // 20000 expected; 5 standard deviations either way.
    EXPECT_NEAR(double(errors.size()), 20000.0, 5 * std::sqrt(20000.0));
    // Geometric gaps: mean 1/p - 1, and a gap of at least 1/p in e^-1 of cases.
    uint64_t sum = 0, longGaps = 0;
    for (size_t i = 1; i < errors.size(); ++i) {
        uint64_t gap = errors[i] - errors[i - 1] - 1;
        sum += gap;
        longGaps += gap >= 1000;
    }
    double gaps = double(errors.size() - 1);
    EXPECT_NEAR(double(sum) / gaps, 999.0, 999.0 * 5 / std::sqrt(gaps));
    EXPECT_NEAR(double(longGaps) / gaps, std::exp(-1.0), 0.02);
}

TEST(ImpairmentStage, ErrorsOnFramingBitsFlipNothingButAreCounted) {
    ImpairmentConfig settings;
    settings.bitErrorRate = 1.0;  // every line bit
    ImpairmentStage stage = Configured(settings);
    // 7 data bits, parity, 2 stop bits: 11 line bits a character.
    LineChunk chunk = Chunk(std::vector<uint8_t>(100, 0x00), kOrigin, 11000, 11, 7);
    ASSERT_TRUE(stage.Apply(chunk));
    for (uint8_t byte : chunk.data) EXPECT_EQ(byte, 0x7F);
    EXPECT_EQ(stage.stats().bitsFlipped, 700u);
    EXPECT_EQ(stage.stats().framingBitsHit, 400u);
    EXPECT_EQ(stage.stats().bitsCarried, 1100u);
}

// What an asynchronous receiver or a frame check finds in what arrives.
TEST(ImpairmentStage, ReceiverChecksFindFramingParityAndFrameErrors) {
    struct Case {
        const char* name;
        double rate;
        bool invert;
        uint8_t charBits, dataBits;
        bool parity, frame;
        uint32_t framing, parityErrors;
        bool badFrame;
    } cases[] = {
        // 7 data bits, parity, 2 stop bits: every bit wrong leaves 8 of the 11
        // (data and parity) flipped, an even number: the parity still holds.
        {"all bits, 7E2", 1.0, false, 11, 7, true, false, 100, 0, false},
        // 8 data bits without parity, 1 stop bit: framing only.
        {"all bits, 8N1", 1.0, false, 10, 8, false, false, 100, 0, false},
        // 8 data bits, parity: 9 flips, odd.
        {"all bits, 8E1", 1.0, false, 11, 8, true, false, 100, 100, false},
        {"clean, 7E1", 0.0, false, 10, 7, true, false, 0, 0, false},
        // Inverted: the stop bits come at the start bit's level; 7 data bits
        // and the parity bit make 8 flips, 8 and the parity bit 9.
        {"inverted, 7E1", 0.0, true, 10, 7, true, false, 100, 0, false},
        {"inverted, 8O1", 0.0, true, 11, 8, true, false, 100, 100, false},
        {"synchronous", 1.0, false, 8, 8, false, false, 0, 0, false},
        {"frame hit", 1.0, false, 8, 8, false, true, 0, 0, true},
        {"frame inverted", 0.0, true, 8, 8, false, true, 0, 0, true},
        {"frame clean", 0.0, false, 8, 8, false, true, 0, 0, false},
    };
    for (const auto& c : cases) {
        ImpairmentConfig settings;
        settings.bitErrorRate = c.rate;
        settings.invert = c.invert;
        ImpairmentStage stage = Configured(settings);
        LineChunk chunk = Chunk(std::vector<uint8_t>(100, 0x00), kOrigin, 11000, c.charBits, c.dataBits);
        chunk.parity = c.parity;
        chunk.frame = c.frame;
        ASSERT_TRUE(stage.Apply(chunk)) << c.name;
        EXPECT_EQ(chunk.framingErrors, c.framing) << c.name;
        EXPECT_EQ(chunk.parityErrors, c.parityErrors) << c.name;
        EXPECT_EQ(chunk.corrupted, c.badFrame) << c.name;
    }
}

TEST(ImpairmentStage, BurstsComeOnTimeAsRunsOfWrongBits) {
    ImpairmentConfig settings;
    settings.burstEveryMs = 10;
    settings.burstBits = 12;
    // 95 ms of line in chunks of 1 ms, and in chunks of 56 bits that make
    // the bursts run across chunks.
    for (size_t step : {1000, 7}) {
        ImpairmentStage stage = Configured(settings);
        std::vector<uint8_t> data = Stream(stage, 95000, 0x00, step);
        EXPECT_EQ(stage.stats().bitsFlipped, 9u * 12);
        std::vector<bool> bits = Bits(data);
        size_t runs = 0;
        for (size_t i = 0; i < bits.size(); ++i) {
            if (!bits[i] || (i > 0 && bits[i - 1])) continue;
            ++runs;
            size_t end = i;
            while (end < bits.size() && bits[end]) ++end;
            EXPECT_EQ(end - i, 12u);
            // Bursts at 10, 20, ... ms: 80000 bits apart at 8 Mbit/s.
            EXPECT_EQ(i % 80000, 0u) << "burst at bit " << i;
        }
        EXPECT_EQ(runs, 9u) << "chunks of " << step;
    }
}

TEST(ImpairmentStage, InversionComplementsEveryDataBit) {
    ImpairmentConfig settings;
    settings.invert = true;
    ImpairmentStage stage = Configured(settings);
    LineChunk sync = Chunk({0x00, 0x3C, 0xFF}, kOrigin);
    ASSERT_TRUE(stage.Apply(sync));
    EXPECT_EQ(sync.data, (std::vector<uint8_t>{0xFF, 0xC3, 0x00}));
    LineChunk async = Chunk({0x00, 0x1C}, sync.endNs, 8000, 9, 6);
    ASSERT_TRUE(stage.Apply(async));
    EXPECT_EQ(async.data, (std::vector<uint8_t>{0x3F, 0x23}));
    EXPECT_EQ(stage.stats().bitsFlipped, 0u);  // inversion is no error of the line
}

TEST(ImpairmentStage, OutageLosesWhatIsSentDuringItAndStopsTheCarrier) {
    ImpairmentConfig settings;
    settings.outageAfterMs = 10;
    settings.outageMs = 20;
    ImpairmentStage stage = Configured(settings);
    EXPECT_TRUE(stage.CarrierPresent(kOrigin + 9 * kMs));
    EXPECT_FALSE(stage.CarrierPresent(kOrigin + 10 * kMs));
    EXPECT_FALSE(stage.CarrierPresent(kOrigin + 29 * kMs));
    EXPECT_TRUE(stage.CarrierPresent(kOrigin + 30 * kMs));

    // 1000 bytes a ms; the chunk of 9.5..10.5 ms keeps its first half.
    std::vector<uint8_t> counting(1000);
    for (size_t i = 0; i < counting.size(); ++i) counting[i] = uint8_t(i);
    LineChunk straddling = Chunk(counting, kOrigin + 9 * kMs + kMs / 2);
    ASSERT_TRUE(stage.Apply(straddling));
    EXPECT_EQ(straddling.data, std::vector<uint8_t>(counting.begin(), counting.begin() + 500));
    LineChunk inside = Chunk(counting, kOrigin + 15 * kMs);
    EXPECT_FALSE(stage.Apply(inside));
    LineChunk after = Chunk(counting, kOrigin + 30 * kMs);
    ASSERT_TRUE(stage.Apply(after));
    EXPECT_EQ(after.data, counting);
    LineChunk frame = Chunk({1, 2, 3}, kOrigin + 29 * kMs + kMs - 1);
    frame.frame = true;
    EXPECT_FALSE(stage.Apply(frame));  // a frame touched by the outage is lost whole
    EXPECT_EQ(stage.stats().bitsLost, 500u * 8 + 1000 * 8 + 3 * 8);
}

TEST(ImpairmentStage, SlipInsertsOrDropsBitsOnceAndTheStreamStaysShifted) {
    std::vector<uint8_t> counting(4000);
    for (size_t i = 0; i < counting.size(); ++i) counting[i] = uint8_t(i * 7 + 1);
    std::vector<bool> sent = Bits(counting);
    for (int slip : {3, -3, 8, -13}) {
        ImpairmentConfig settings;
        settings.slipAfterMs = 2;
        settings.slipBits = slip;
        ImpairmentStage stage = Configured(settings);
        std::vector<uint8_t> received;
        int64_t at = kOrigin;
        for (size_t i = 0; i < counting.size(); i += 1000) {  // 1 ms a chunk
            LineChunk chunk = Chunk(std::vector<uint8_t>(counting.begin() + ptrdiff_t(i),
                                                         counting.begin() + ptrdiff_t(i + 1000)),
                                    at);
            at = chunk.endNs;
            ASSERT_TRUE(stage.Apply(chunk));
            received.insert(received.end(), chunk.data.begin(), chunk.data.end());
        }
        std::vector<bool> expected(sent.begin(), sent.begin() + 16000);  // the slip comes at 2 ms
        if (slip > 0) expected.insert(expected.end(), size_t(slip), true);
        expected.insert(expected.end(), sent.begin() + 16000 + (slip < 0 ? -slip : 0), sent.end());
        expected.resize(expected.size() / 8 * 8);  // bits of an unfinished character wait
        EXPECT_EQ(Bits(received), expected) << "slip " << slip;
        EXPECT_EQ(stage.stats().bitsInserted, uint64_t(slip > 0 ? slip : 0));
        EXPECT_EQ(stage.stats().bitsDropped, uint64_t(slip < 0 ? -slip : 0));
    }
}

TEST(ImpairmentStage, DelayHoldsArrivalBackAndNewSettingsCountFromTheirTime) {
    ImpairmentConfig settings;
    settings.delayMs = 20;
    ImpairmentStage stage = Configured(settings);
    LineChunk chunk = Chunk({1, 2, 3}, kOrigin);
    ASSERT_TRUE(stage.Apply(chunk));
    EXPECT_EQ(chunk.arrivalNs, chunk.endNs + 20 * kMs);

    ImpairmentConfig outage;
    outage.outageMs = 50;  // from the moment the settings take effect
    stage.Configure(outage, kOrigin + 500 * kMs, 0);
    EXPECT_TRUE(stage.CarrierPresent(kOrigin + 499 * kMs));
    EXPECT_FALSE(stage.CarrierPresent(kOrigin + 500 * kMs));
    LineChunk late = Chunk({1, 2, 3}, kOrigin + 510 * kMs);
    EXPECT_FALSE(stage.Apply(late));
}

// ---- configuration ---------------------------------------------------------------

TEST(ImpairmentConfig, KeysOfTheCardAndTheControlFile) {
    sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(sim::ParseConfig(R"(
        control_file = "/tmp/ctl"
        stats_file = "/tmp/stats"
        truth_file = "/tmp/truth"
        [[card]]
        line = "shared"
        line_name = "bench-1.a"
        [card.impairment]
        bit_error_rate = 1e-4
        seed = 7
        burst_every_ms = 500
        burst_bits = 16
        invert = true
        slip_after_ms = 1000
        slip_bits = -3
        outage_after_ms = 1500
        outage_ms = 2000
        delay_ms = 20
    )",
                                 "t.toml", &config, &error))
        << error;
    EXPECT_EQ(config.controlFile, "/tmp/ctl");
    EXPECT_EQ(config.statsFile, "/tmp/stats");
    EXPECT_EQ(config.truthFile, "/tmp/truth");
    ASSERT_EQ(config.cards.size(), 1u);
    const sim::CardConfig& card = config.cards[0];
    EXPECT_EQ(card.line, "shared");
    EXPECT_EQ(card.lineName, "bench-1.a");
    const ImpairmentConfig& imp = card.impairment;
    EXPECT_DOUBLE_EQ(imp.bitErrorRate, 1e-4);
    EXPECT_EQ(imp.seed, 7u);
    EXPECT_EQ(imp.burstEveryMs, 500u);
    EXPECT_EQ(imp.burstBits, 16u);
    EXPECT_TRUE(imp.invert);
    EXPECT_EQ(imp.slipAfterMs, 1000u);
    EXPECT_EQ(imp.slipBits, -3);
    EXPECT_EQ(imp.outageAfterMs, 1500u);
    EXPECT_EQ(imp.outageMs, 2000u);
    EXPECT_EQ(imp.delayMs, 20u);

    ImpairmentConfig overlaid;
    ASSERT_TRUE(sim::ParseImpairmentOverlay("outage_ms = 300\nbit_error_rate = 0\n", "ctl", imp,
                                            &overlaid, &error))
        << error;
    EXPECT_EQ(overlaid.outageMs, 300u);
    EXPECT_EQ(overlaid.bitErrorRate, 0.0);
    EXPECT_EQ(overlaid.delayMs, 20u);  // kept from the base
}

TEST(ImpairmentConfig, BadValuesAreRefusedWithTheirPlace) {
    struct Case {
        const char* text;
        const char* problem;
    } cases[] = {
        {"[[card]]\n[card.impairment]\nbit_error_rate = 1.5\n",
         "card[0].impairment.bit_error_rate"},
        {"[[card]]\n[card.impairment]\nbit_error_rate = nan\n", "bit_error_rate"},
        {"[[card]]\n[card.impairment]\nbit_error_rate = \"often\"\n", "must be a number"},
        {"[[card]]\n[card.impairment]\nslip_bits = 2000000\n", "slip_bits"},
        {"[[card]]\n[card.impairment]\ndelay_ms = -1\n", "delay_ms"},
        {"[[card]]\n[card.impairment]\nnoise = 1\n", "unknown impairment key"},
        {"[[card]]\nimpairment = 3\n", "must be a table"},
        {"[[card]]\nline_name = \"a/b\"\n", "line_name"},
        {"[[card]]\nline_name = \"\"\n", "line_name"},
        {"control_file = 1\n", "control_file"},
    };
    for (const auto& c : cases) {
        sim::SimConfig config;
        std::string error;
        EXPECT_FALSE(sim::ParseConfig(c.text, "t.toml", &config, &error)) << c.text;
        EXPECT_NE(error.find(c.problem), std::string::npos) << error;
    }
    ImpairmentConfig out;
    std::string error;
    EXPECT_FALSE(
        sim::ParseImpairmentOverlay("outage_ms = [1]\n", "ctl", ImpairmentConfig(), &out, &error));
    EXPECT_NE(error.find("outage_ms"), std::string::npos) << error;
    EXPECT_FALSE(sim::ParseImpairmentOverlay("[card]\n", "ctl", ImpairmentConfig(), &out, &error));
}

}  // namespace
