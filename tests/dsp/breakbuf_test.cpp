// The synthesized break loop: its size for a rate, its first sample, its
// determinism and its hard limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/dsp.h"
#include "dsp/primitives.h"

using namespace brs;

TEST(BreakBuf, SizeAndSliceLengthPerRate) {
    BreakBuf a(44100.0f);
    EXPECT_EQ(a.sr, 44100.0f);
    EXPECT_EQ(a.samples.size(), 124517u);
    EXPECT_EQ(a.samples.size() / 16, 7782u);
    BreakBuf b(48000.0f);
    EXPECT_EQ(b.samples.size(), 135529u);
    EXPECT_EQ(b.samples.size() / 16, 8470u);
}

TEST(BreakBuf, FirstSampleIsKickPlusHat) {
    for (float sr : {44100.0f, 48000.0f, 96000.0f}) {
        BreakBuf b(sr);
        // The kick's phase is advanced before its first sample; the hat's first
        // sample is the high output of the first noise value from seed 7.
        float kick = fastSin(TWO_PI_F * (160.0f / sr)) * 0.9f * 1.0f;
        float w = noiseValue(xorshift32(7u));
        float ic1 = 0.0f, ic2 = 0.0f;
        float hat = svfTick(w, svfCoefs(7000.0f, sr, 1.4285715f), ic1, ic2).high * 0.25f * 1.0f;
        EXPECT_EQ(b.samples[0], kick + hat) << sr;
    }
}

// Step 4 holds a snare and a hat and nothing else sounds over the hat's
// length. Two hats (steps 0 and 2) have drawn from the shared noise before the
// snare; the snare draws for all its samples before the hat of its own step.
TEST(BreakBuf, SnareAndHatOfStepFourFollowTheirRecipes) {
    const float sr = 48000.0f;
    BreakBuf b(sr);
    const std::size_t j = static_cast<std::size_t>(4.0f * 0.0882353f * sr);
    const std::size_t hatLen = static_cast<std::size_t>(0.1f * sr), snareLen = static_cast<std::size_t>(0.2f * sr);
    uint32_t rng = 7u;
    for (std::size_t i = 0; i < 2 * hatLen; ++i) rng = xorshift32(rng);
    std::vector<float> snare;
    float ph = 0.0f, ic1 = 0.0f, ic2 = 0.0f;
    const SvfCoefs band = svfCoefs(2200.0f, sr, 0.71428573f);
    for (std::size_t m = 0; m < snareLen; ++m) {
        float tm = static_cast<float>(m) / sr;
        ph += (80.0f * fastExp2((-tm / 0.015f) * 1.442695f) + 140.0f) / sr;
        rng = xorshift32(rng);
        float bp = svfTick(noiseValue(rng), band, ic1, ic2).band;
        snare.push_back(fastSin(TWO_PI_F * ph) * 0.5f * fastExp2((-tm / 0.03f) * 1.442695f) +
                        bp * 0.9f * fastExp2((-tm / 0.05f) * 1.442695f));
    }
    ic1 = ic2 = 0.0f;
    const SvfCoefs high = svfCoefs(7000.0f, sr, 1.4285715f);
    for (std::size_t m = 0; m < hatLen; ++m) {
        float tm = static_cast<float>(m) / sr;
        rng = xorshift32(rng);
        float hp = svfTick(noiseValue(rng), high, ic1, ic2).high;
        float mixed = (0.0f + snare[m]) + hp * 0.25f * fastExp2((-tm / 0.012f) * 1.442695f);
        ASSERT_EQ(b.samples[j + m], std::fmin(std::fmax(mixed, -1.0f), 1.0f)) << m;
    }
}

TEST(BreakBuf, RebuildsIdenticallyWithinLimits) {
    BreakBuf a(44100.0f), b(44100.0f);
    ASSERT_EQ(a.samples, b.samples);
    float peak = 0.0f;
    int clipped = 0;
    for (float s : a.samples) {
        ASSERT_TRUE(std::isfinite(s));
        ASSERT_LE(std::fabs(s), 1.0f);
        peak = std::fmax(peak, std::fabs(s));
        clipped += std::fabs(s) == 1.0f;
    }
    EXPECT_GT(peak, 0.5f);  // not normalised, but clearly audible
    // Every slice (an eighth note) holds at least one hit.
    const std::size_t len = a.samples.size() / 16;
    for (std::size_t s = 0; s < 16; ++s) {
        float e = 0.0f;
        for (std::size_t i = 0; i < len; ++i) e = std::fmax(e, std::fabs(a.samples[s * len + i]));
        EXPECT_GT(e, 0.05f) << "slice " << s;
    }
    // The snare at step 30 is cut off at the end, not wrapped to the start:
    // the loop still ends loud.
    EXPECT_GT(std::fabs(a.samples.back()) + std::fabs(a.samples[a.samples.size() - 2]), 1e-4f);
}

TEST(BreakBuf, LowAndInvalidRatesBuildWithoutFault) {
    for (float sr : {1.0f, 10.0f, 40.0f, 100.0f}) {
        BreakBuf b(sr);
        EXPECT_EQ(b.samples.size(), static_cast<std::size_t>(sr * 0.0882353f * 32.0f)) << sr;
        for (float s : b.samples) EXPECT_TRUE(std::isfinite(s) && std::fabs(s) <= 1.0f);
    }
    for (float sr : {0.0f, -44100.0f, NAN}) EXPECT_TRUE(BreakBuf(sr).samples.empty());
}
