// The six instrument recipes, one voice at a time, driven the way the render
// loop drives them (t advanced by dt before each sample).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/dsp.h"
#include "dsp/primitives.h"

using namespace brs;

namespace {

enum { TUNE, PITCH_AMT, PITCH_DEC, CLICK, TONE, CUT, RES, ENV, DECAY, DRIVE, LEVEL, DETUNE, SLIDE,
       SLIDE_T, PITCH, GATE, OPEN, CHORD, DSEND, RSEND };

// The factory sound of each track.
Voice makeVoice(int track, float note, float gain = 1.0f) {
    static const float cut[6] = {400, 400, 1800, 12000, 8000, 1200};
    static const float res[6] = {6, 6, 3, 6, 6, 6};
    static const float decay[6] = {0.35f, 0.25f, 0.5f, 0.35f, 0.05f, 0.2f};
    static const float drive[6] = {0.6f, 0.3f, 0.3f, 0.6f, 0.6f, 0.6f};
    static const float level[6] = {0.9f, 0.7f, 0.6f, 0.8f, 0.5f, 0.5f};
    Voice v;
    std::memset(&v, 0, sizeof v);
    v.track = static_cast<uint64_t>(track);
    v.gain = gain;
    v.note = note;
    v.rng = 1u ^ 0x9E37u;
    v.alive = 1;
    const float p[NUM_PARAMS] = {100, 6, 0.06f, 0.4f, 3000, cut[track], res[track], 0.5f,
                                 decay[track], drive[track], level[track], 22, 12, 0.25f,
                                 0, 1, 0, 3, 0, 0};
    std::memcpy(v.params, p, sizeof p);
    v.dur = 1.0f;
    return v;
}

struct Take {
    std::vector<float> out;
    std::vector<float> t;
};

// Renders n samples of v as the render loop would; v keeps its final state.
Take render(Voice& v, const BreakBuf& brk, float sr, int n) {
    Take r;
    const float dt = 1.0f / sr;
    for (int i = 0; i < n; ++i) {
        v.t += dt;
        r.t.push_back(v.t);
        r.out.push_back(renderVoice(v, brk, sr));
    }
    return r;
}

const BreakBuf& breaks48() {
    static const BreakBuf b(48000.0f);
    return b;
}

}  // namespace

TEST(Kick, FirstSampleFollowsTheRecipe) {
    const float sr = 48000.0f;
    Voice v = makeVoice(0, 36.0f, 0.9f);
    v.t = 1.0f / sr;
    float out = renderVoice(v, breaks48(), sr);
    const float t = 1.0f / sr;
    float base = 100.0f * noteHz(36.0f) / 100.0f;
    float f = (5.0f * fastExp2((-t / (0.06f * 0.35f)) * 1.442695f) + 1.0f) * base;
    float ph = fmodf(0.0f + f / sr, 1.0f);
    EXPECT_EQ(v.phase[0], ph);
    float x = fastSin(TWO_PI_F * ph) * fastExp2((-t / (0.35f * 0.2f)) * 1.442695f) * 0.9f;
    float y = ((0.6f * 40.0f + 1.0f) * x) / (std::fabs(x) * (0.6f * 40.0f) + 1.0f);
    float ic1 = 0.0f, ic2 = 0.0f;
    float lp = svfTick(y, svfCoefs(3000.0f, sr, 0.8333333f), ic1, ic2).low;
    float click = fastExp2((-t / 0.004f) * 1.442695f) * (0.4f * 0.9f * 0.3f);
    EXPECT_EQ(out, lp + click);
    EXPECT_EQ(v.ic1, ic1);
    EXPECT_EQ(v.ic2, ic2);
}

TEST(Kick, ClickAlternatesEveryFifthOfAMillisecondAndStopsAt12ms) {
    const float sr = 50000.0f;
    Voice a = makeVoice(0, 36.0f), b = makeVoice(0, 36.0f);
    b.params[CLICK] = 0.0f;
    Take ra = render(a, breaks48(), sr, 1000), rb = render(b, breaks48(), sr, 1000);
    int flips = 0;
    float prevSign = 0.0f;
    for (int i = 0; i < 1000; ++i) {
        float t = ra.t[i];
        float click = ra.out[i] - rb.out[i];
        if (t >= 0.012f) {
            EXPECT_EQ(click, 0.0f) << "t=" << t;
            continue;
        }
        float expectSign = fmodf(t * 2500.0f, 1.0f) < 0.5f ? 1.0f : -1.0f;
        EXPECT_EQ(click > 0.0f ? 1.0f : -1.0f, expectSign) << "t=" << t;
        EXPECT_NEAR(std::fabs(click), 0.4f * 0.3f * std::exp(-t / 0.004f), 2e-4f) << "t=" << t;
        if (prevSign != 0.0f && expectSign != prevSign) ++flips;
        prevSign = expectSign;
    }
    EXPECT_EQ(flips, 59);  // 12 ms of a 0.2 ms half period
}

TEST(Kick, PitchSweepsFromPitchAmtToTune) {
    const float sr = 48000.0f;
    auto freqAt = [&](Voice v, int n) {
        render(v, breaks48(), sr, n - 1);
        float before = v.phase[0];
        render(v, breaks48(), sr, 1);
        return fmodf(v.phase[0] - before + 1.0f, 1.0f) * sr;
    };
    Voice flat = makeVoice(0, 36.0f);
    flat.params[PITCH_AMT] = 1.0f;
    EXPECT_NEAR(freqAt(flat, 1), 65.406f, 0.01f);
    EXPECT_NEAR(freqAt(flat, 3000), 65.406f, 0.01f);
    flat.params[TUNE] = 50.0f;
    EXPECT_NEAR(freqAt(flat, 100), 32.703f, 0.01f);

    Voice swept = makeVoice(0, 36.0f);
    EXPECT_NEAR(freqAt(swept, 1), 392.0f, 1.0f);
    // One time constant (0.35 x 60 ms = 21 ms) later the excess has fallen to 1/e.
    EXPECT_NEAR(freqAt(swept, 1008), 65.406f * (5.0f / std::exp(1.0f) + 1.0f), 0.5f);
    EXPECT_NEAR(freqAt(swept, 24000), 65.406f, 0.01f);
}

TEST(Bass, SawAndSquareWithSubOctave) {
    const float sr = 48000.0f;
    Voice saw = makeVoice(1, 36.0f), square = makeVoice(1, 36.0f);
    square.wave = 1;
    float s0 = renderVoice((saw.t = 1.0f / sr, saw), breaks48(), sr);
    float q0 = renderVoice((square.t = 1.0f / sr, square), breaks48(), sr);
    // The saw starts near -1, the square at +1, the sub sine at 0.
    EXPECT_LT(s0, 0.0f);
    EXPECT_GT(q0, 0.0f);
    const float f = noteHz(36.0f);
    EXPECT_EQ(saw.phase[0], fmodf(f / sr, 1.0f));
    EXPECT_EQ(saw.phase[1], fmodf(0.5f * f / sr, 1.0f));
    EXPECT_EQ(saw.phase[1], square.phase[1]);

    // First sample against the recipe (saw).
    const float t = 1.0f / sr;
    float osc = 2.0f * saw.phase[0] - 1.0f;
    float sub = fastSin(TWO_PI_F * saw.phase[1]);
    float fc = (0.5f * 3.0f * fastExp2((-t / (0.25f * 0.2f)) * 1.442695f) + 1.0f) * 400.0f;
    float ic1 = 0.0f, ic2 = 0.0f;
    float lp = svfTick(sub + osc, svfCoefs(fc, sr, 1.0f / 6.0f), ic1, ic2).low;
    EXPECT_EQ(s0, softClip(lp * 0.5f, 0.3f * 20.0f) * 1.0f * 0.8f * 1.0f);

    // Held for half the decay, then an exponential fall with tau = 0.2 decay.
    Voice held = makeVoice(1, 36.0f);
    Take r = render(held, breaks48(), sr, 48000);
    auto peakAround = [&](float t0) {
        float p = 0.0f;
        int c = static_cast<int>(t0 * sr);
        for (int i = c - 400; i < c + 400; ++i) p = std::fmax(p, std::fabs(r.out[i]));
        return p;
    };
    float early = peakAround(0.06f), mid = peakAround(0.115f);
    EXPECT_NEAR(mid / early, 1.0f, 0.35f);
    EXPECT_LT(peakAround(0.125f + 0.05f * 3.0f), early * 0.08f);
}

TEST(Hoover, DetuneSpreadAndSlide) {
    const float sr = 48000.0f;
    Voice v = makeVoice(2, 48.0f);
    v.params[DETUNE] = 0.0f;
    render(v, breaks48(), sr, 5000);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(v.phase[k], v.phase[2]) << k;

    // With detune 22 the increments sit at -22, -7.33, 0, +7.33, +22 cents.
    Voice d = makeVoice(2, 48.0f);
    d.params[SLIDE] = 0.0f;
    render(d, breaks48(), sr, 1);
    EXPECT_EQ(d.phase[2], fmodf(noteHz(48.0f) / sr, 1.0f));  // slide 0 starts on the note
    const float cents[5] = {-22.0f, -22.0f / 3.0f, 0.0f, 22.0f / 3.0f, 22.0f};
    for (int k = 0; k < 5; ++k)
        EXPECT_NEAR(d.phase[k] / d.phase[2], std::exp2(cents[k] / 1200.0f), 2e-4) << k;

    // The default slide starts an octave below and glides up to the note.
    Voice s = makeVoice(2, 48.0f);
    render(s, breaks48(), sr, 1);
    EXPECT_NEAR(s.phase[2] * sr, noteHz(36.0f), 0.05f);
    render(s, breaks48(), sr, 47998);
    float before = s.phase[2];
    render(s, breaks48(), sr, 1);
    EXPECT_NEAR(fmodf(s.phase[2] - before + 1.0f, 1.0f) * sr, noteHz(48.0f), 0.05f);
}

TEST(Hoover, FirstSampleFollowsTheRecipeAndFadesAfterSevenTenthsOfDecay) {
    const float sr = 44100.0f;
    Voice v = makeVoice(2, 60.0f, 0.6f);
    v.t = 1.0f / sr;
    float out = renderVoice(v, breaks48(), sr);
    const float t = 1.0f / sr;
    float n = 60.0f - 12.0f * fastExp2((-t / (0.25f * 0.35f)) * 1.442695f);
    float f = noteHz(n);
    float ph[5] = {f * fastExp2(-22.0f / 1200.0f) / sr, f * fastExp2((-22.0f / 3.0f) / 1200.0f) / sr, f / sr,
                   f * fastExp2(22.0f / 3.0f / 1200.0f) / sr, f * fastExp2(22.0f / 1200.0f) / sr};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(v.phase[k], ph[k]) << k;
    float s = (1.0f + (2.0f * ph[1] - 1.0f) + 1.0f + (2.0f * ph[3] - 1.0f) + 1.0f) * 0.2f;
    float fc = 1800.0f * (1.5f * fastExp2((-t / (0.5f * 0.35f)) * 1.442695f) + 1.0f);
    float ic1 = 0.0f, ic2 = 0.0f;
    float lp = svfTick(s, svfCoefs(fc, sr, 1.0f / 3.0f), ic1, ic2).low;
    EXPECT_EQ(out, softClip(lp, 0.3f * 15.0f) * 0.6f * 0.35f * (t / 0.01f));

    // Full level between the attack and 0.35 s, then a fall with tau = 75 ms.
    Voice w = makeVoice(2, 60.0f);
    Take r = render(w, breaks48(), sr, 44100);
    auto peak = [&](float a, float b) {
        float p = 0.0f;
        for (int i = static_cast<int>(a * sr); i < static_cast<int>(b * sr); ++i) p = std::fmax(p, std::fabs(r.out[i]));
        return p;
    };
    EXPECT_LT(peak(0.0f, 0.002f), 0.3f * peak(0.3f, 0.35f));
    EXPECT_LT(peak(0.35f + 0.225f, 0.6f), 0.1f * peak(0.3f, 0.35f));
}

namespace {

// The break recipe's output for a known sequence of buffer reads.
std::vector<float> breakReference(const std::vector<float>& xs, float cut, float sr, float gain,
                                  float level, float dur, const std::vector<float>& ts) {
    std::vector<float> out;
    float ic1 = 0.0f, ic2 = 0.0f;
    for (std::size_t m = 0; m < xs.size(); ++m) {
        float lp = svfTick(xs[m], svfCoefs(cut, sr, 1.4285715f), ic1, ic2).low;
        float t = ts[m];
        float g = t <= dur * 0.8f ? 1.0f : std::fmax((dur - t) / (dur * 0.2f), 0.0f);
        out.push_back(lp * gain * level * g);
    }
    return out;
}

}  // namespace

TEST(Break, ForwardReversedAndTransposedSlices) {
    const float sr = 48000.0f;
    BreakBuf brk(sr);
    for (std::size_t i = 0; i < brk.samples.size(); ++i) brk.samples[i] = static_cast<float>(i % 977) / 977.0f;
    const uint64_t len = brk.samples.size() / 16;
    const float sliceT = static_cast<float>(brk.samples.size()) * 0.0625f / sr;

    struct Case {
        uint64_t slice;
        uint8_t rev;
        float pitch;
    };
    for (Case c : {Case{5, 0, 0.0f}, Case{5, 1, 0.0f}, Case{15, 1, 0.0f}, Case{0, 0, 12.0f}, Case{3, 1, 12.0f},
                   Case{2, 0, -12.0f}}) {
        Voice v = makeVoice(3, 60.0f, 0.7f);
        v.slice = c.slice;
        v.rev = c.rev;
        v.params[PITCH] = c.pitch;
        v.dur = 1.0f * sliceT + 0.005f;
        const int n = static_cast<int>(v.dur * sr);
        Take r = render(v, brk, sr, n);
        std::vector<float> xs;
        uint64_t lastRead = 0;
        int reads = 0;
        const float rate = fastExp2(c.pitch / 12.0f);
        for (int m = 0; m < n; ++m) {
            float q = rate * (r.t[m] * sr);
            uint64_t pos = static_cast<uint64_t>(q);
            if (pos >= len) {
                xs.push_back(0.0f);
                continue;
            }
            uint64_t i = c.rev ? (c.slice + 1) * len - 1 - pos : c.slice * len + pos;
            // The first sample is rendered at t = dt, so the read starts within
            // one step of the slice's first (forward) or last (reversed) sample.
            if (m == 0) {
                const uint64_t edge = c.rev ? (c.slice + 1) * len - 1 : c.slice * len;
                EXPECT_LE(c.rev ? edge - i : i - edge, static_cast<uint64_t>(std::ceil(rate)));
            }
            xs.push_back(brk.samples[i]);
            lastRead = static_cast<uint64_t>(m);
            ++reads;
        }
        // A slice up an octave is used up in half the slice time, one down lasts past the gate.
        if (c.pitch == 12.0f) {
            EXPECT_NEAR(static_cast<double>(lastRead), len / 2.0, 2.0);
        } else if (c.pitch == 0.0f) {
            EXPECT_NEAR(static_cast<double>(lastRead), static_cast<double>(len), 2.0);
        } else {
            EXPECT_EQ(reads, n);
        }
        std::vector<float> expect = breakReference(xs, 12000.0f, sr, 0.7f, 0.8f, v.dur, r.t);
        ASSERT_EQ(r.out.size(), expect.size());
        for (int m = 0; m < n; ++m) ASSERT_EQ(r.out[m], expect[m]) << "slice " << c.slice << " sample " << m;
        // The gate fades the last fifth to zero.
        EXPECT_LT(std::fabs(r.out.back()), 0.01f);
    }
}

TEST(Break, EmptyAndTinyBuffersAreSilent) {
    for (float sr : {1.0f, 10.0f, 100.0f}) {
        BreakBuf brk(sr);
        Voice v = makeVoice(3, 60.0f);
        v.slice = 15;
        v.rev = 1;
        Take r = render(v, brk, sr, 50);
        for (float o : r.out) EXPECT_TRUE(std::isfinite(o));
    }
    BreakBuf empty(0.0f);
    Voice v = makeVoice(3, 60.0f);
    Take r = render(v, empty, 48000.0f, 100);
    for (float o : r.out) EXPECT_EQ(o, 0.0f);
}

TEST(Hat, FilteredNoiseAndOpenHatRingsFourTimesAsLong) {
    const float sr = 48000.0f;
    Voice closed = makeVoice(4, 44.0f, 0.8f), open = makeVoice(4, 44.0f, 0.8f);
    open.params[OPEN] = 1.0f;
    const uint32_t seed = closed.rng;
    Take rc = render(closed, breaks48(), sr, 4800), ro = render(open, breaks48(), sr, 4800);

    float ic1 = 0.0f, ic2 = 0.0f;
    float w = noiseValue(xorshift32(seed));
    float hp = svfTick(w, svfCoefs(8000.0f, sr, 1.4285715f), ic1, ic2).high;
    EXPECT_EQ(rc.out[0], hp * 0.8f * 0.5f * fastExp2((-rc.t[0] / (0.05f * 0.2f)) * 1.442695f));

    // Same noise and filter: the ratio is the ratio of the two envelopes.
    for (int i : {10, 480, 960, 2000}) {
        double t = rc.t[i];
        double ratio = std::exp(-t / (4 * 0.05 * 0.2)) / std::exp(-t / (0.05 * 0.2));
        EXPECT_NEAR(ro.out[i], rc.out[i] * ratio, 1e-3 * std::fabs(ro.out[i]) + 1e-9) << i;
    }
    // The time for the envelope to fall to 1/e: 10 ms closed, 40 ms open.
    auto energy = [](const Take& r, int a, int b) {
        double e = 0;
        for (int i = a; i < b; ++i) e += r.out[i] * r.out[i];
        return e;
    };
    EXPECT_LT(energy(rc, 1920, 2400), 3e-3 * energy(rc, 0, 480));
    EXPECT_GT(energy(ro, 1920, 2400), 3e-2 * energy(ro, 0, 480));
}

TEST(Stab, ChordIntervalsAndBandPass) {
    const float sr = 48000.0f;
    for (float chord : {3.0f, 4.0f}) {
        Voice v = makeVoice(5, 60.0f);
        v.params[CHORD] = chord;
        v.t = 1.0f / sr;
        float out = renderVoice(v, breaks48(), sr);
        EXPECT_EQ(v.phase[0], noteHz(60.0f) / sr);
        EXPECT_EQ(v.phase[1], noteHz(60.0f + chord) / sr);
        EXPECT_EQ(v.phase[2], noteHz(67.0f) / sr);
        EXPECT_EQ(v.phase[3], 0.0f);
        const float t = 1.0f / sr;
        float s = ((2.0f * v.phase[0] - 1.0f) + (2.0f * v.phase[1] - 1.0f) + (2.0f * v.phase[2] - 1.0f)) / 3.0f;
        float fc = 1200.0f * (2.0f * fastExp2((-t / (0.2f * 0.35f)) * 1.442695f) + 1.0f);
        float ic1 = 0.0f, ic2 = 0.0f;
        float bp = svfTick(s, svfCoefs(fc, sr, 0.5f), ic1, ic2).band;
        EXPECT_EQ(out, 1.0f * bp * 0.3f * fastExp2((-t / (0.2f * 0.2f)) * 1.442695f));
    }
    // Notes far below the cutoff pass the band-pass only thinly.
    auto peak = [&](float note, float cut) {
        Voice v = makeVoice(5, note);
        v.params[CUT] = cut;
        v.params[DECAY] = 2.0f;
        Take r = render(v, breaks48(), sr, 9600);
        float p = 0.0f;
        for (float o : r.out) p = std::fmax(p, std::fabs(o));
        return p;
    };
    EXPECT_LT(peak(24.0f, 12000.0f), 0.5f * peak(72.0f, 600.0f));
}

// The amplitude is the recipe's last factor, so against a twin with the same
// oscillators and filter but a decay too long to matter, every sample is the
// twin's times the amplitude, bit for bit. The bass (env 0) holds for half its
// decay, then falls with tau = 0.2 decay; the hoover (cutoff above the limit)
// rises over 10 ms, holds, and falls from 0.7 decay with tau = 0.15 decay.
TEST(Voices, BassAndHooverAmplitudeShapes) {
    const float sr = 48000.0f;
    for (int track : {1, 2}) {
        const float decay = track == 1 ? 0.25f : 0.5f;
        Voice a = makeVoice(track, 45.0f), b = makeVoice(track, 45.0f);
        for (Voice* v : {&a, &b}) {
            v->params[ENV] = 0.0f;
            if (track == 2) v->params[CUT] = 1e6f;
        }
        a.params[DECAY] = decay;
        b.params[DECAY] = 100.0f;
        Take ra = render(a, breaks48(), sr, 30000), rb = render(b, breaks48(), sr, 30000);
        int faded = 0;
        for (int i = 0; i < 30000; ++i) {
            const float t = ra.t[i];
            const float from = track == 1 ? decay * 0.5f : decay * 0.7f;
            const float tau = track == 1 ? decay * 0.2f : decay * 0.15f;
            float amp = 1.0f;
            if (t >= from) {
                amp = fastExp2((-(t - from) / tau) * 1.442695f);
                faded += rb.out[i] != 0.0f;
            }
            // Below 10 ms both hoovers share the attack t / 0.01.
            ASSERT_EQ(ra.out[i], rb.out[i] * amp) << "track " << track << " t " << t;
        }
        EXPECT_GT(faded, 1000) << track;
    }
}

TEST(Voices, PhasesAndStateUntouchedOutsideTheirSlots) {
    const float sr = 44100.0f;
    const int used[6] = {1, 2, 5, 0, 0, 3};
    for (int track = 0; track < 6; ++track) {
        Voice v = makeVoice(track, 50.0f);
        const uint32_t seed = v.rng;
        render(v, breaks48(), sr, 300);
        for (int k = used[track]; k < 5; ++k) EXPECT_EQ(v.phase[k], 0.0f) << track << " slot " << k;
        if (track != 4) {
            EXPECT_EQ(v.rng, seed) << track;
        }
        EXPECT_EQ(v.alive, 1) << track;
    }
}

// A voice keeps what it works out on its first sample (increments, fixed
// filters) only for the sample rate it was worked out for: rendered on at
// another rate it must sound exactly like a voice that works it out afresh.
TEST(Voices, ASampleRateChangeMidVoiceIsFollowed) {
    for (int track = 0; track < 6; ++track) {
        Voice kept = makeVoice(track, 50.0f);
        render(kept, breaks48(), 48000.0f, 200);
        Voice fresh = kept;
        fresh.prepSr = 0.0f;  // as if never rendered
        Voice same = kept;
        Take a = render(kept, breaks48(), 22050.0f, 400);
        Take b = render(fresh, breaks48(), 22050.0f, 400);
        Take c = render(same, breaks48(), 48000.0f, 400);
        bool rateHeard = false;
        for (int i = 0; i < 400; ++i) {
            ASSERT_EQ(floatBits(a.out[i]), floatBits(b.out[i])) << "track " << track << " sample " << i;
            rateHeard |= a.out[i] != c.out[i];
        }
        EXPECT_TRUE(rateHeard) << track;
    }
}

// Parameter values no host or set document should send still never make a
// voice produce NaN or infinity, and a voice that would is ended at once.
TEST(Voices, HostileParametersStayFinite) {
    const float nasty[] = {-1e30f, -100.0f, -1.0f, -0.01f, 0.0f, 1e-30f, 1e30f, INFINITY, -INFINITY, NAN};
    const unsigned seed = 0xB12A;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, 9), param(0, NUM_PARAMS - 1), track(0, 5);
    const BreakBuf& brk = breaks48();
    int ended = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        Voice v = makeVoice(track(rng), 40.0f + trial % 40);
        int bad = 1 + trial % 3;
        for (int b = 0; b < bad; ++b) v.params[param(rng)] = nasty[pick(rng)];
        if (trial % 7 == 0) v.note = nasty[pick(rng)];
        if (trial % 11 == 0) v.gain = nasty[pick(rng)];
        for (int i = 0; i < 400 && v.alive; ++i) {
            v.t += 1.0f / 48000.0f;
            float o = renderVoice(v, brk, 48000.0f);
            ASSERT_TRUE(std::isfinite(o)) << "seed " << seed << " trial " << trial << " track " << v.track;
            if (!v.alive) {
                EXPECT_EQ(o, 0.0f);
                ++ended;
            }
        }
    }
    EXPECT_GT(ended, 0);
}

TEST(Voices, NonPositiveTimeConstantsDoNotGrow) {
    for (int track : {0, 1, 2, 4, 5}) {
        for (float decay : {0.0f, -0.3f, NAN}) {
            Voice v = makeVoice(track, 48.0f);
            v.params[DECAY] = decay;
            v.params[PITCH_DEC] = decay;
            v.params[SLIDE_T] = decay;
            Take r = render(v, breaks48(), 48000.0f, 4800);
            for (float o : r.out) ASSERT_LE(std::fabs(o), 2.0f) << "track " << track << " decay " << decay;
        }
    }
}
