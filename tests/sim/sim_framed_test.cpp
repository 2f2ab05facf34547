// Whole frames on the simulated line: lost at the configured share, dropped
// with a CRC error when bit errors hit them, and the configuration keys.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "sim/config.h"
#include "sim/impairment.h"
#include "sim_test_util.h"

namespace {

constexpr int64_t kMs = 1000000;

// Sends count frames of 31 bytes through a stage; how many arrived, and how
// many of those failed their check.
struct FrameTally {
    int arrived = 0;
    int corrupted = 0;
};

FrameTally SendFrames(const sim::ImpairmentConfig& settings, int count) {
    sim::ImpairmentStage stage;
    stage.Configure(settings, 0, 1);
    FrameTally tally;
    for (int i = 0; i < count; ++i) {
        sim::LineChunk chunk;
        chunk.frame = true;
        chunk.data.assign(31, 0x55);
        chunk.startNs = i * 10 * kMs;
        chunk.endNs = chunk.arrivalNs = chunk.startNs + 5 * kMs;
        if (!stage.Apply(chunk)) continue;
        ++tally.arrived;
        if (chunk.corrupted) ++tally.corrupted;
    }
    EXPECT_EQ(stage.stats().framesLost, uint64_t(count - tally.arrived));
    return tally;
}

TEST(SimFrames, FrameLossFollowsItsShareAndItsSeed) {
    struct Case {
        double share;
        uint64_t seed;
    };
    const int n = 4000;
    for (Case c : {Case{0.0, 1}, Case{0.1, 1}, Case{0.1, 2}, Case{0.5, 3}, Case{1.0, 4}}) {
        SCOPED_TRACE(c.share);
        sim::ImpairmentConfig settings;
        settings.frameLoss = c.share;
        settings.seed = c.seed;
        FrameTally tally = SendFrames(settings, n);
        const double lost = n - tally.arrived;
        EXPECT_NEAR(lost, c.share * n, 3.29 * std::sqrt(n * c.share * (1 - c.share)) + 0.5);
        EXPECT_EQ(tally.corrupted, 0);
        EXPECT_EQ(SendFrames(settings, n).arrived, tally.arrived);  // the seed repeats it
    }
}

TEST(SimFrames, BitErrorsMarkTheFramesTheyHit) {
    sim::ImpairmentConfig settings;
    settings.bitErrorRate = 1e-3;
    settings.seed = 9;
    const int n = 2000;
    FrameTally tally = SendFrames(settings, n);
    EXPECT_EQ(tally.arrived, n);
    // A frame of 248 bits is hit with probability 1 - 0.999^248.
    const double p = 1 - std::pow(1 - 1e-3, 248);
    EXPECT_NEAR(tally.corrupted, p * n, 3.29 * std::sqrt(n * p * (1 - p)));
}

TEST(SimFrames, PortDropsAFrameThatFailsItsCheckAndCountsACrcError) {
    auto driver = simtest::MakeDriver("[[card]]\n[card.impairment]\nbit_error_rate = 1.0\n");
    auto h = driver->Open(simtest::PortPath(0, 0, true));
    simtest::StartPort(*driver, h, {.rate = 64000, .mode = sim::kTransparentFramed});
    std::vector<uint8_t> frame = simtest::Counting(10);
    simtest::Io write;
    EXPECT_FALSE(driver->WriteFile(h, frame.data(), uint32_t(frame.size()), nullptr, &write.ov));
    ASSERT_TRUE(write.Wait());
    EXPECT_TRUE(simtest::WaitFor([&] {
        return sim::LoadU32(simtest::InterfaceRecord(*driver, h).data(),
                            sim::kIfCounters + 4 * sim::kCounterCrc) == 1;
    }));
    std::array<uint8_t, 64> record{};
    simtest::Io read;
    EXPECT_FALSE(driver->ReadFile(h, record.data(), uint32_t(record.size()), nullptr, &read.ov));
    auto witness = driver->Open(simtest::PortPath(0, 1));
    simtest::StartPort(*driver, witness, {.rate = 64000});
    ASSERT_TRUE(simtest::RunTheClock(*driver, witness, 100));
    EXPECT_FALSE(read.Done()) << "a frame that failed its check reached the host";
    driver->Close(witness);
    driver->Close(h);
}

TEST(SimFrames, ConfigurationKeys) {
    struct Case {
        const char* toml;
        bool ok;
    };
    const Case cases[] = {
        {"[[card]]\n[card.impairment]\nframe_loss = 0.25\n", true},
        {"[[card]]\n[card.impairment]\nframe_loss = 1.5\n", false},
        {"[[card]]\n[card.impairment]\nframe_loss = -0.1\n", false},
        {"[[card]]\nline = \"shared\"\nloop = true\n", true},
        {"[[card]]\nloop = true\nline = \"shared\"\n", true},
        {"[[card]]\nloop = true\n", false},
        {"[[card]]\nloop = 1\nline = \"shared\"\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.toml);
        sim::SimConfig config;
        std::string error;
        EXPECT_EQ(sim::ParseConfig(c.toml, "t.toml", &config, &error), c.ok) << error;
    }
    std::string error;
    sim::ImpairmentConfig overlay;
    ASSERT_TRUE(sim::ParseImpairmentOverlay("frame_loss = 0.5\n", "c", {}, &overlay, &error));
    EXPECT_EQ(overlay.frameLoss, 0.5);
}

}  // namespace
