// The approximations every sound uses: known values, limits, and the
// properties the instruments rely on (periodic sine, filter gains, bounded
// clip, noise that never dies).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "dsp/primitives.h"

using namespace brs;

TEST(FastExp2, KnownValuesAndLimits) {
    EXPECT_EQ(fastExp2(0.0f), 1.0f);
    EXPECT_EQ(fastExp2(1.0f), 2.0f);
    EXPECT_NEAR(fastExp2(0.5f), 1.414211f, 2e-6f);
    // Negative fractions take the floor, not the truncation: 2^-0.5 = 2^0.5 / 2.
    EXPECT_EQ(fastExp2(-0.5f), fastExp2(0.5f) * 0.5f);
    EXPECT_EQ(fastExp2(-200.0f), std::ldexp(1.0f, -126));
    EXPECT_EQ(fastExp2(200.0f), std::ldexp(1.0f, 126));
    EXPECT_EQ(fastExp2(-126.0f), std::ldexp(1.0f, -126));
    EXPECT_EQ(fastExp2(126.0f), std::ldexp(1.0f, 126));
    EXPECT_EQ(fastExp2(NAN), std::ldexp(1.0f, -126));
    EXPECT_EQ(fastExp2(-INFINITY), std::ldexp(1.0f, -126));
    EXPECT_EQ(fastExp2(INFINITY), std::ldexp(1.0f, 126));
    for (int i = -126; i <= 126; ++i) EXPECT_EQ(fastExp2(static_cast<float>(i)), std::ldexp(1.0f, i)) << i;
}

TEST(FastExp2, CloseToTrueExponentialAndMonotonic) {
    float prev = 0.0f;
    for (int n = -4000; n <= 4000; ++n) {
        float x = n * 0.005f;
        float y = fastExp2(x);
        EXPECT_NEAR(y / std::exp2(x), 1.0, 1e-4) << x;
        EXPECT_GE(y, prev) << x;
        prev = y;
    }
}

TEST(FastExp, IsBase2WithScaledArgumentAndEnvelopesNeverGrow) {
    for (float x : {-3.0f, -0.25f, 0.0f, 0.7f, 10.0f}) EXPECT_EQ(fastExp(x), fastExp2(x * 1.442695f));
    EXPECT_NEAR(fastExp(1.0f), 2.7182817f, 3e-4f);
    EXPECT_EQ(decayEnv(0.1f, 0.07f), fastExp2((-0.1f / 0.07f) * 1.442695f));
    // Time constants outside any sensible range count as fully decayed.
    EXPECT_EQ(decayEnv(0.1f, 0.0f), 0.0f);
    EXPECT_EQ(decayEnv(0.1f, -0.07f), 0.0f);
    EXPECT_EQ(decayEnv(0.1f, NAN), 0.0f);
    EXPECT_EQ(decayEnv(0.0f, 0.0f), 0.0f);
}

TEST(NoteHz, OctavesAndReference) {
    EXPECT_EQ(noteHz(69.0f), 440.0f);
    EXPECT_EQ(noteHz(81.0f), 880.0f);
    EXPECT_EQ(noteHz(57.0f), 220.0f);
    EXPECT_NEAR(noteHz(36.0f), 65.406f, 0.01f);
    EXPECT_NEAR(noteHz(60.0f), 261.626f, 0.03f);
}

TEST(FastSin, KnownValues) {
    EXPECT_NEAR(fastSin(HALF_PI_F), 1.0f, 1e-6f);
    EXPECT_NEAR(fastSin(-HALF_PI_F), -1.0f, 1e-6f);
    EXPECT_NEAR(fastSin(1.0f), 0.842168f, 2e-6f);
    EXPECT_EQ(fastSin(0.0f), 0.0f);
    EXPECT_NEAR(fastSin(PI_F), 0.0f, 1e-6f);
}

TEST(FastSin, PeriodicOddAndCloseToSine) {
    for (int n = -2000; n <= 2000; ++n) {
        float x = n * 0.0031f;
        float s = fastSin(x);
        EXPECT_NEAR(s, std::sin(x), 1.1e-3) << x;
        EXPECT_NEAR(fastSin(x + TWO_PI_F), s, 2e-5f) << x;
        EXPECT_NEAR(fastSin(x - 3.0f * TWO_PI_F), s, 2e-5f) << x;
        EXPECT_NEAR(fastSin(-x), -s, 2e-5f) << x;
    }
    // Arguments whose wrap count does not fit 32 bits, or NaN, give silence.
    EXPECT_EQ(fastSin(1e12f), 0.0f);
    EXPECT_EQ(fastSin(NAN), 0.0f);
}

// fastSin finds the wrap count of its usual arguments by a comparison and
// svfCoefs skips the wrap altogether; both must give exactly the bits of the
// wrap by division, above all on the floats where the count changes.
static float sinByDivision(float x) {
    float q = (x + PI_F) / TWO_PI_F;
    float y = x - static_cast<float>(floorI(q)) * TWO_PI_F;
    return sinWrapped(y);
}

TEST(FastSin, WrapShortcutsGiveTheBitsOfTheDivision) {
    // x + pi near 0, 2pi and 4pi, where the count steps or the shortcut ends.
    for (float edge : {-PI_F, PI_F, 3.0f * PI_F}) {
        float x = edge;
        for (int i = 0; i < 4096; ++i) x = std::nextafter(x, -INFINITY);
        for (int i = 0; i < 8192; ++i, x = std::nextafter(x, INFINITY))
            ASSERT_EQ(floatBits(fastSin(x)), floatBits(sinByDivision(x))) << std::hexfloat << x;
    }
    // Oscillator arguments 2pi * phase, phases up to and including 1.
    for (uint32_t b = 0; b <= floatBits(1.0f); b += 997) {
        float x = TWO_PI_F * bitsFloat(b);
        ASSERT_EQ(floatBits(fastSin(x)), floatBits(sinByDivision(x))) << std::hexfloat << x;
    }
    // Every cutoff ratio of the filter's range, as fastSin would compute it.
    for (uint32_t b = floatBits(0.0005f); b <= floatBits(0.45f); b += 31) {
        const float r = bitsFloat(b), w = PI_F * r;
        const float g = sinByDivision(w) / sinByDivision(w + HALF_PI_F);
        const float a1 = 1.0f / ((g + 0.7f) * g + 1.0f);
        SvfCoefs c = svfCoefs(r, 1.0f, 0.7f);
        ASSERT_EQ(floatBits(c.a1), floatBits(a1)) << std::hexfloat << r;
        ASSERT_EQ(floatBits(c.a2), floatBits(g * a1)) << std::hexfloat << r;
    }
}

TEST(SvfCoefs, CutoffLimits) {
    auto same = [](SvfCoefs a, SvfCoefs b) { return a.a1 == b.a1 && a.a2 == b.a2 && a.a3 == b.a3; };
    const float sr = 48000.0f;
    EXPECT_TRUE(same(svfCoefs(30000.0f, sr, 0.5f), svfCoefs(0.45f * sr, sr, 0.5f)));
    EXPECT_TRUE(same(svfCoefs(1e30f, sr, 0.5f), svfCoefs(0.45f * sr, sr, 0.5f)));
    EXPECT_TRUE(same(svfCoefs(INFINITY, sr, 0.5f), svfCoefs(0.45f * sr, sr, 0.5f)));
    EXPECT_TRUE(same(svfCoefs(0.0f, sr, 0.5f), svfCoefs(0.0005f * sr, sr, 0.5f)));
    EXPECT_TRUE(same(svfCoefs(-500.0f, sr, 0.5f), svfCoefs(0.0005f * sr, sr, 0.5f)));
    EXPECT_TRUE(same(svfCoefs(NAN, sr, 0.5f), svfCoefs(0.0005f * sr, sr, 0.5f)));
    EXPECT_FALSE(same(svfCoefs(1000.0f, sr, 0.5f), svfCoefs(2000.0f, sr, 0.5f)));
    // g is the tangent of pi * fc / sr as far as the sine approximation goes
    // (its slope at zero is 0.775 * 4/pi, 1.3 % low).
    for (float fc : {50.0f, 500.0f, 5000.0f, 15000.0f}) {
        SvfCoefs c = svfCoefs(fc, sr, 0.7f);
        EXPECT_NEAR(c.a2 / c.a1, std::tan(3.14159265 * fc / sr), 0.015 * std::tan(3.14159265 * fc / sr));
        EXPECT_NEAR(c.a3 / c.a2, c.a2 / c.a1, 1e-5f);
    }
}

// Amplitude of the steady-state response of one filter output to a sine.
static float svfGain(float freq, float fc, float k, int which) {
    const float sr = 48000.0f;
    SvfCoefs c = svfCoefs(fc, sr, k);
    float ic1 = 0.0f, ic2 = 0.0f, peak = 0.0f;
    for (int i = 0; i < 48000; ++i) {
        float x = static_cast<float>(std::sin(2.0 * M_PI * freq * i / sr));
        SvfOut o = svfTick(x, c, ic1, ic2);
        // low + k band + high reconstructs the input.
        EXPECT_NEAR(o.low + k * o.band + o.high, x, 1e-5f);
        float y = which == 0 ? o.low : which == 1 ? o.band : o.high;
        if (i > 24000) peak = std::fmax(peak, std::fabs(y));
    }
    return peak;
}

TEST(Svf, OutputsHaveTheirFilterShapes) {
    EXPECT_NEAR(svfGain(50.0f, 2000.0f, 1.0f, 0), 1.0f, 0.01f);    // low passes lows
    EXPECT_LT(svfGain(15000.0f, 500.0f, 1.0f, 0), 0.01f);          // and cuts highs
    EXPECT_LT(svfGain(50.0f, 5000.0f, 1.0f, 2), 0.01f);            // high cuts lows
    EXPECT_NEAR(svfGain(2000.0f, 2000.0f, 0.5f, 1), 2.0f, 0.04f);  // band peaks at Q = 1/k
    EXPECT_NEAR(svfGain(2000.0f, 2000.0f, 1.4285715f, 1), 0.7f, 0.02f);
}

TEST(SoftClip, UnityAtZeroDriveAndBoundedOtherwise) {
    for (float x : {-3.5f, -1.0f, -0.123f, 0.0f, 1e-7f, 0.5f, 0.7079f, 1.0f, 42.0f})
        EXPECT_EQ(softClip(x, 0.0f), x);
    for (float d : {0.5f, 4.5f, 18.0f, 40.0f}) {
        float bound = (1.0f + d) / d;
        for (float x = -100.0f; x <= 100.0f; x += 0.37f) EXPECT_LE(std::fabs(softClip(x, d)), bound * 1.000001f);
        EXPECT_NEAR(softClip(1e-6f, d) / 1e-6f, 1.0f + d, 1e-3f * (1.0f + d));
        EXPECT_EQ(softClip(-0.3f, d), -softClip(0.3f, d));
    }
}

TEST(Xorshift32, KnownSequenceNeverZeroAndNoiseInRange) {
    EXPECT_EQ(xorshift32(1u), 270369u);
    EXPECT_EQ(xorshift32(270369u), 67634689u);
    uint32_t s = 0x9E37u ^ 1u;
    double sum = 0.0;
    float lo = 1.0f, hi = -1.0f;
    const int n = 2000000;
    for (int i = 0; i < n; ++i) {
        s = xorshift32(s);
        ASSERT_NE(s, 0u) << "after " << i << " steps";
        float w = noiseValue(s);
        lo = std::fmin(lo, w);
        hi = std::fmax(hi, w);
        sum += w;
    }
    EXPECT_GE(lo, -1.0f);
    EXPECT_LE(hi, 1.0f);
    EXPECT_LT(lo, -0.999f);
    EXPECT_GT(hi, 0.999f);
    EXPECT_NEAR(sum / n, 0.0, 2e-3);
    EXPECT_EQ(noiseValue(0u), -1.0f);
    EXPECT_EQ(noiseValue(0x80000000u), 0.0f);
}

TEST(Phase, StaysInUnitIntervalAndShapes) {
    float p = 0.0f;
    for (int i = 0; i < 100000; ++i) {
        p = advancePhase(p, 0.0123457f * (i % 7));
        ASSERT_GE(p, 0.0f);
        ASSERT_LT(p, 1.0f);
    }
    EXPECT_EQ(advancePhase(0.75f, 0.5f), 0.25f);
    // A negative frequency runs the phase backwards without leaving [0, 1].
    EXPECT_EQ(advancePhase(0.25f, -0.5f), 0.75f);
    for (int i = 0; i < 10000; ++i) {
        p = advancePhase(p, -0.0371f);
        ASSERT_GE(p, 0.0f);
        ASSERT_LE(p, 1.0f);
    }
    EXPECT_EQ(sawOf(0.0f), -1.0f);
    EXPECT_EQ(sawOf(0.75f), 0.5f);
    EXPECT_EQ(squareOf(0.49f), 1.0f);
    EXPECT_EQ(squareOf(0.5f), -1.0f);
    EXPECT_NEAR(sineOf(0.25f), 1.0f, 1e-6f);
}
