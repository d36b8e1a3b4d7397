// Ping-pong delay, reverb and the master stage, driven frame by frame.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dsp/dsp.h"

using namespace brs;

TEST(FxLines, SizedFromTheRate) {
    Fx a(48000.0f);
    EXPECT_EQ(a.dl.size(), 96000u);
    EXPECT_EQ(a.dr.size(), 96000u);
    ASSERT_EQ(a.combs.size(), 4u);
    ASSERT_EQ(a.aps.size(), 2u);
    const std::size_t c48[4] = {1214, 1293, 1389, 1475}, a48[2] = {605, 480};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(a.combs[i].line.size(), c48[i]);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(a.aps[i].line.size(), a48[i]);
    EXPECT_EQ(a.delayTime, 0.375f);
    EXPECT_EQ(a.delayFb, 0.4f);
    EXPECT_EQ(a.reverbSize, 0.8f);
    EXPECT_EQ(a.sr, 48000.0f);

    Fx b(44100.0f);
    const std::size_t c44[4] = {1116, 1188, 1277, 1356}, a44[2] = {556, 441};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b.combs[i].line.size(), c44[i]);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(b.aps[i].line.size(), a44[i]);
    EXPECT_EQ(b.dl.size(), 88200u);
}

TEST(FxLines, EveryLineHoldsASampleAtAnyRate) {
    for (float sr : {1.0f, 10.0f, 39.0f, 40.0f, 100.0f, 0.0f, -48000.0f, NAN, 0.4f}) {
        Fx fx(sr);
        EXPECT_GE(fx.dl.size(), 1u) << sr;
        EXPECT_EQ(fx.dl.size(), fx.dr.size());
        for (const Comb& c : fx.combs) EXPECT_GE(c.line.size(), 1u) << sr;
        for (const Ap& a : fx.aps) EXPECT_GE(a.line.size(), 1u) << sr;
        for (int i = 0; i < 500; ++i) {
            float l, r;
            fx.frame(i % 3 ? 0.0f : 1.0f, 0.5f, 0.5f, l, r);
            ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << sr;
        }
    }
    EXPECT_EQ(Fx(40.0f).combs[0].line.size(), 1u);  // 40 * 1116 / 44100
    EXPECT_EQ(Fx(100.0f).combs[3].line.size(), 3u);
}

TEST(Delay, PingPongImpulse) {
    Fx fx(48000.0f);
    const int n = 60000;
    std::vector<float> L(n), R(n);
    for (int i = 0; i < n; ++i) fx.frame(0.0f, i == 0 ? 1.0f : 0.0f, 0.0f, L[i], R[i]);
    const int d = 18000;  // 0.375 s
    for (int i = 0; i < n; ++i) {
        float el = i == d ? 1.0f : i == 3 * d ? 0.4f * 0.4f : 0.0f;
        float er = i == 2 * d ? 0.4f : 0.0f;
        ASSERT_EQ(L[i], el) << "left " << i;
        ASSERT_EQ(R[i], er) << "right " << i;
    }
}

TEST(Delay, DistanceLimits) {
    auto firstEcho = [](float delayTime) {
        Fx fx(1000.0f);
        fx.delayTime = delayTime;
        float l, r;
        for (int i = 0; i < 3000; ++i) {
            fx.frame(0.0f, i == 0 ? 1.0f : 0.0f, 0.0f, l, r);
            if (l != 0.0f) return i;
        }
        return -1;
    };
    EXPECT_EQ(firstEcho(0.375f), 375);
    EXPECT_EQ(firstEcho(1.9f), 1900);
    EXPECT_EQ(firstEcho(5.0f), 1999);  // at most the line length minus one
    EXPECT_EQ(firstEcho(INFINITY), 1999);
    EXPECT_EQ(firstEcho(0.0004f), 1);  // zero samples behave as one
    EXPECT_EQ(firstEcho(0.0f), 1);
    EXPECT_EQ(firstEcho(-1.0f), 1);
    EXPECT_EQ(firstEcho(NAN), 1);
}

TEST(Reverb, CombFeedbackFollowsSize) {
    for (float size : {0.0f, 1.0f}) {
        Fx fx(48000.0f);
        fx.reverbSize = size;
        const std::size_t len0 = fx.combs[0].line.size();
        float l, r;
        std::vector<float> out;
        for (std::size_t i = 0; i <= len0; ++i) {
            fx.frame(0.0f, 0.0f, i == 0 ? 1.0f : 0.0f, l, r);
            out.push_back(l);
            EXPECT_EQ(l, r);
        }
        // The impulse comes round the shortest comb after its length; both
        // all-passes pass their input on scaled by -0.5.
        for (std::size_t i = 0; i < len0; ++i) ASSERT_EQ(out[i], 0.0f) << i;
        EXPECT_EQ(out[len0], 0.0625f);
        // After one pass the damped value re-enters scaled by the feedback.
        EXPECT_FLOAT_EQ(fx.combs[0].line[0], 0.3f * (size * 0.28f + 0.7f));
        EXPECT_FLOAT_EQ(fx.combs[0].store, 0.3f);
    }
}

// The first return of comb 0 (1214 samples at 48 kHz) through the two
// all-passes (605 and 480): each writes b * 0.5 + x and passes b - x * 0.5,
// and gives its stored value back one line length later.
TEST(Reverb, AllPassesInSeriesWithHalfFeedback) {
    Fx fx(48000.0f);
    const std::size_t c0 = 1214, a0 = 605, a1 = 480;
    std::vector<float> out;
    float l, r;
    for (std::size_t i = 0; i <= c0 + a0; ++i) {
        fx.frame(0.0f, 0.0f, i == 0 ? 1.0f : 0.0f, l, r);
        out.push_back(l);
        if (i == c0) {
            EXPECT_EQ(fx.aps[0].line[c0 % a0], 0.25f);    // 0 * 0.5 + 0.25
            EXPECT_EQ(fx.aps[1].line[c0 % a1], -0.125f);  // 0 * 0.5 + (0 - 0.25 * 0.5)
        }
    }
    EXPECT_EQ(out[c0], 0.0625f);
    EXPECT_EQ(out[c0 + a1], -0.125f);  // the second all-pass returns -0.125 on a silent input
    EXPECT_EQ(fx.aps[1].line[c0 % a1], -0.0625f);
    EXPECT_EQ(out[c0 + a0], -0.125f);  // 0.25 returned by the first, scaled by -0.5 by the second
    EXPECT_EQ(fx.aps[0].line[c0 % a0], 0.125f);
}

TEST(Reverb, TailDecaysFasterWhenSmall) {
    auto tailEnergy = [](float size) {
        Fx fx(44100.0f);
        fx.reverbSize = size;
        double e = 0.0;
        float l, r;
        for (int i = 0; i < 44100; ++i) {
            fx.frame(0.0f, 0.0f, i < 100 ? 1.0f : 0.0f, l, r);
            if (i > 22050) e += l * l;
        }
        return e;
    };
    EXPECT_GT(tailEnergy(1.0f), 100.0 * tailEnergy(0.0f));
}

TEST(Fx, NonFiniteBusesCountAsSilence) {
    Fx a(48000.0f), b(48000.0f);
    const float bad[] = {NAN, INFINITY, -INFINITY};
    float la, ra, lb, rb;
    for (int i = 0; i < 40000; ++i) {
        float x = i % 100 == 0 ? 0.5f : 0.0f;
        float v = bad[i % 3];
        if (i % 7 == 0) {
            a.frame(v, v, v, la, ra);
            b.frame(0.0f, 0.0f, 0.0f, lb, rb);
        } else {
            a.frame(x, x, x, la, ra);
            b.frame(x, x, x, lb, rb);
        }
        ASSERT_EQ(la, lb) << i;
        ASSERT_EQ(ra, rb) << i;
    }
    // Huge but finite sends never overflow a line into infinity for good.
    Fx c(48000.0f);
    c.delayFb = 0.95f;
    c.reverbSize = 1.0f;
    for (int i = 0; i < 20000; ++i) {
        float l, r;
        c.frame(3e38f, 3e38f, 3e38f, l, r);
    }
    for (float s : c.dl) ASSERT_TRUE(std::isfinite(s));
    for (const Comb& k : c.combs)
        for (float s : k.line) ASSERT_TRUE(std::isfinite(s));
}

TEST(Master, SquareLeavesAtTheCeilingFromTheFirstSample) {
    float g = 1.0f;
    for (int i = 0; i < 1000; ++i) {
        float l = (i / 50) % 2 ? -1.0f : 1.0f, r = l;
        masterStage(l, r, 0.0f, 1.0f, g);
        ASSERT_EQ(std::fabs(l), 0.7079f) << i;
        ASSERT_EQ(r, l);
    }
}

TEST(Master, LevelZeroIsSilentAndTheGainRelaxes) {
    float g = 0.1f;
    for (int i = 0; i < 2000; ++i) {
        float l = 5.0f, r = -3.0f;
        masterStage(l, r, 0.15f, 0.0f, g);
        ASSERT_EQ(l, 0.0f);
        ASSERT_EQ(r, 0.0f);
    }
    // Release time constant of 2000 samples: 1 - 0.9 / e.
    EXPECT_NEAR(g, 1.0f - 0.9f / std::exp(1.0f), 1e-3f);
    for (int i = 0; i < 40000; ++i) {
        float l = 0.0f, r = 0.0f;
        masterStage(l, r, 0.15f, 0.85f, g);
    }
    // The release step (1 - g) * 0.0005 falls below half a float step just
    // short of 1: the gain settles 2^-14 below unity.
    EXPECT_NEAR(g, 1.0f, 1e-4f);
    EXPECT_LE(g, 1.0f);
}

TEST(Master, DriveAndLevelBelowTheCeiling) {
    float g = 1.0f;
    float l = 0.1f, r = -0.2f;
    masterStage(l, r, 0.0f, 0.5f, g);
    EXPECT_EQ(l, 0.05f);
    EXPECT_EQ(r, -0.1f);
    EXPECT_EQ(g, 1.0f);
    l = 0.01f;
    r = 0.0f;
    masterStage(l, r, 0.1f, 1.0f, g);
    EXPECT_NEAR(l, 0.01f * 4.0f / 1.03f, 1e-7f);  // drive 3: gain 4 near zero
}

TEST(Master, LinkedGainOneBadFrameDoesNotPoisonTheLimiter) {
    float g = 1.0f;
    float l = 2.0f, r = 0.1f;
    masterStage(l, r, 0.0f, 1.0f, g);
    EXPECT_EQ(l, 0.7079f);
    EXPECT_FLOAT_EQ(r, 0.1f * 0.7079f / 2.0f);  // one gain for both channels
    for (float bad : {NAN, INFINITY, -INFINITY}) {
        for (float* which : {&l, &r}) {
            float gb = 0.5f;
            l = 0.3f;
            r = 0.3f;
            *which = bad;
            masterStage(l, r, 0.15f, 0.85f, gb);
            EXPECT_TRUE(std::isfinite(l) && std::isfinite(r));
            EXPECT_TRUE(std::isfinite(gb));
            EXPECT_GT(gb, 0.5f);
        }
        float gl = 1.0f;
        l = 0.3f;
        r = 0.3f;
        masterStage(l, r, bad, bad, gl);
        EXPECT_TRUE(std::isfinite(l) && std::isfinite(r) && std::isfinite(gl));
    }
    // Out-of-range master settings stay finite too.
    float gn = 1.0f;
    for (int i = 0; i < 1000; ++i) {
        l = std::sin(i * 0.1f) * 0.04f;
        r = -l;
        masterStage(l, r, -1.0f, 1.0f, gn);
        ASSERT_TRUE(std::isfinite(l) && std::isfinite(r));
    }
}

// A loud random scene with random effect and master settings inside their
// ranges never leaves above the ceiling. The gain is the ceiling divided by
// the peak, so gain times peak may round up to the next float: one step of
// 6e-8 above 0.7079 is the most the limiter lets through.
TEST(Master, NeverAboveTheCeilingAcrossALoudRandomScene) {
    std::random_device rd;
    const unsigned seed = rd();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    Fx fx(44100.0f);
    float g = 1.0f;
    float drive = 0.15f, level = 0.85f;
    const float ceiling = std::nextafter(0.7079f, 1.0f);
    int limited = 0;
    for (int i = 0; i < 400000; ++i) {
        if (i % 5000 == 0) {
            fx.delayTime = 0.02f + 1.88f * u(rng);
            fx.delayFb = 0.95f * u(rng);
            fx.reverbSize = u(rng);
            drive = u(rng);
            level = u(rng);
        }
        float amp = 8.0f * u(rng) * u(rng);
        float x = (u(rng) * 2.0f - 1.0f) * amp;
        float l, r;
        fx.frame(x, x * u(rng), x * u(rng), l, r);
        masterStage(l, r, drive, level, g);
        ASSERT_LE(std::fabs(l), ceiling) << "seed " << seed << " frame " << i;
        ASSERT_LE(std::fabs(r), ceiling) << "seed " << seed << " frame " << i;
        limited += g < 1.0f;
    }
    EXPECT_GT(limited, 1000) << "seed " << seed << ": the scene must drive the limiter";
}

// ---- the block entry -------------------------------------------------------

namespace {

// Two effect chains fed the same buses: `block` through Fx::process in
// blocks of random length, `frame` through frame() and masterStage() one
// frame at a time, as the render loop calls them.
struct FxTwin {
    Fx block, frame;
    float gBlock = 1.0f, gFrame = 1.0f;
    explicit FxTwin(float sr) : block(sr), frame(sr) {}

    // Runs n frames of the buses on both; false at the first output frame
    // whose bits differ (its index in *where).
    bool run(const float* dry, const float* dly, const float* rev, std::size_t n, float drive, float level,
             std::size_t* where) {
        std::vector<float> a(2 * n + 2, 123.0f), b(2 * n + 2, 123.0f);
        block.process(dry, dly, rev, a.data(), n, drive, level, gBlock);
        for (std::size_t i = 0; i < n; ++i) {
            float l = 0.0f, r = 0.0f;
            frame.frame(dry[i], dly[i], rev[i], l, r);
            masterStage(l, r, drive, level, gFrame);
            b[2 * i] = l;
            b[2 * i + 1] = r;
        }
        for (std::size_t i = 0; i < 2 * n + 2; ++i)
            if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
                *where = i / 2;
                return false;
            }
        return std::memcmp(&gBlock, &gFrame, sizeof(float)) == 0;
    }

    // Every line, position and damper state, bit for bit.
    bool sameState() const {
        auto sameLine = [](const std::vector<float>& x, const std::vector<float>& y) {
            return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
        };
        bool same = sameLine(block.dl, frame.dl) && sameLine(block.dr, frame.dr) &&
                    block.writePos == frame.writePos;
        for (int c = 0; c < 4; ++c)
            same = same && sameLine(block.combs[c].line, frame.combs[c].line) &&
                   block.combs[c].idx == frame.combs[c].idx &&
                   std::memcmp(&block.combs[c].store, &frame.combs[c].store, sizeof(float)) == 0;
        for (int a = 0; a < 2; ++a)
            same = same && sameLine(block.aps[a].line, frame.aps[a].line) && block.aps[a].idx == frame.aps[a].idx;
        return same;
    }
};

// A bus value: mostly music-like, sometimes silence, huge, subnormal or not
// finite.
float busValue(std::mt19937& rng, float amp) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    switch (rng() % 64) {
        case 0: return NAN;
        case 1: return INFINITY;
        case 2: return -INFINITY;
        case 3: return 3e38f;
        case 4: return -3e38f;
        case 5: return 1e-40f;
        case 6: case 7: case 8: return 0.0f;
        default: return amp * u(rng);
    }
}

// An effect or master setting: inside its range mostly, sometimes far
// outside it or not finite.
float settingValue(std::mt19937& rng, float lo, float hi) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    switch (rng() % 16) {
        case 0: return NAN;
        case 1: return INFINITY;
        case 2: return -INFINITY;
        case 3: return -1.0f;
        case 4: return 1e6f;
        case 5: return lo;
        case 6: return hi;
        case 7: return 0.0f;
        default: return lo + (hi - lo) * u(rng);
    }
}

void blockEqualsFrames(float sr, std::uint32_t seed, std::size_t total, bool ftz) {
    SCOPED_TRACE("rate " + std::to_string(sr) + " seed " + std::to_string(seed) + (ftz ? " ftz" : ""));
    const unsigned int csr = _mm_getcsr();
    if (ftz) _mm_setcsr(csr | 0x8040u);
    std::mt19937 rng(seed);
    FxTwin tw(sr);
    if (seed % 3 == 0) tw.gBlock = tw.gFrame = NAN;  // a poisoned gain is replaced once
    std::vector<float> dry, dly, rev;
    float drive = 0.15f, level = 0.85f, amp = 1.0f;
    std::size_t done = 0;
    while (done < total) {
        if (rng() % 4 == 0) {
            const float dt = settingValue(rng, 0.02f, 1.9f), fb = settingValue(rng, 0.0f, 0.95f),
                        size = settingValue(rng, 0.0f, 1.0f);
            for (Fx* f : {&tw.block, &tw.frame}) {
                f->delayTime = dt;
                f->delayFb = fb;
                f->reverbSize = size;
            }
            drive = settingValue(rng, 0.0f, 1.0f);
            level = settingValue(rng, 0.0f, 1.0f);
            amp = rng() % 4 == 0 ? 0.0f : 8.0f * std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
        }
        // Short blocks of every length around a group, and long ones.
        const std::size_t n = rng() % 3 == 0 ? rng() % 9 : rng() % 700;
        dry.resize(n);
        dly.resize(n);
        rev.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            dry[i] = busValue(rng, amp);
            dly[i] = busValue(rng, amp);
            rev[i] = busValue(rng, amp);
        }
        std::size_t where = 0;
        const bool same = tw.run(dry.data(), dly.data(), rev.data(), n, drive, level, &where);
        if (!same) _mm_setcsr(csr);
        ASSERT_TRUE(same) << "frame " << done + where;
        done += n;
    }
    const bool state = tw.sameState();
    _mm_setcsr(csr);
    EXPECT_TRUE(state);
}

}  // namespace

// The block entry gives the per-frame path's output and state bit for bit:
// at the usual rates, at rates where the lines are shorter than a group of
// four frames (or hold a single sample), with delay distances of one to a
// few samples, hostile settings and buses, with and without flush-to-zero.
TEST(FxBlock, EqualsFrameAndMasterStageBitForBit) {
    const struct {
        float sr;
        std::size_t frames;
    } cases[] = {{48000.0f, 400000}, {44100.0f, 200000}, {96000.0f, 200000}, {1.0f, 20000},
                 {2.0f, 20000},      {3.0f, 20000},      {5.0f, 20000},      {7.0f, 20000},
                 {10.0f, 20000},     {40.0f, 20000},     {100.0f, 50000},    {150.0f, 50000},
                 {1000.0f, 100000},  {0.4f, 5000},       {0.0f, 5000},       {NAN, 5000}};
    std::uint32_t seed = 1;
    for (const auto& c : cases)
        for (bool ftz : {false, true}) blockEqualsFrames(c.sr, seed++, c.frames, ftz);
}

// Delay distances of 1 to 6 samples straddle the group of four frames; each
// one is held for a long run so that every alignment of the write position
// occurs.
TEST(FxBlock, ShortDelayDistancesBitForBit) {
    for (int d = 1; d <= 6; ++d) {
        SCOPED_TRACE("distance " + std::to_string(d));
        std::mt19937 rng(100 + d);
        FxTwin tw(1000.0f);
        tw.block.delayTime = tw.frame.delayTime = d / 1000.0f + 1e-6f;
        tw.block.delayFb = tw.frame.delayFb = 0.9f;
        std::vector<float> dry(4096), dly(4096), rev(4096);
        for (int rep = 0; rep < 8; ++rep) {
            for (std::size_t i = 0; i < dry.size(); ++i) {
                dry[i] = busValue(rng, 0.5f);
                dly[i] = busValue(rng, 0.5f);
                rev[i] = busValue(rng, 0.5f);
            }
            const std::size_t n = 1 + rng() % dry.size();
            std::size_t where = 0;
            ASSERT_TRUE(tw.run(dry.data(), dly.data(), rev.data(), n, 0.15f, 0.85f, &where)) << "frame " << where;
        }
        EXPECT_TRUE(tw.sameState());
    }
}
