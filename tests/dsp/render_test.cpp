// The whole sound path through the kernel API: golden renders of every
// instrument and of a full pattern with effect sends, block-size independence,
// the ceiling over random scenes, hostile parameters, subnormal tails and tiny
// sample rates.
//
// Golden renders pin the exact output bits (FNV-1a 64 over the raw float bits
// of the interleaved output of brskern_process, 256-frame blocks). Any change
// of a single sample fails them. When a change of the sound is intended:
//   BRS_GOLDEN_PRINT=1 ./dsp_render_test --gtest_filter='Golden*'
// prints the new table rows to paste into GOLDEN below, and
//   BRS_GOLDEN_WAV=/some/dir ./dsp_render_test --gtest_filter='Golden*'
// also writes each scene as a 32-bit float stereo WAV for listening first.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dsp/dsp.h"
#include "dsp/lanes.h"
#include "engine/brskern.h"
#include "engine/engine.h"

namespace {

struct Handle {
    brskern_t h;
    explicit Handle(float sr) : h(brskern_new(sr)) {}
    ~Handle() { brskern_free(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

uint64_t fnv1a(const std::vector<float>& v) {
    uint64_t x = 1469598103934665603ull;
    for (float f : v) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        for (int b = 0; b < 4; ++b) {
            x ^= (u >> (8 * b)) & 0xffu;
            x *= 1099511628211ull;
        }
    }
    return x;
}

// Renders `seconds` of audio in blocks; `at` (if any) runs before block k.
std::vector<float> render(brskern_t h, float sr, float seconds, uint32_t block,
                          const std::function<void(int)>& at = nullptr) {
    const std::size_t frames = static_cast<std::size_t>(seconds * sr);
    std::vector<float> out(2 * frames);
    std::size_t done = 0;
    for (int k = 0; done < frames; ++k) {
        if (at) at(k);
        uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(block, frames - done));
        brskern_process(h, out.data() + 2 * done, n);
        done += n;
    }
    return out;
}

void writeWav(const std::string& path, const std::vector<float>& s, float sr) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    auto u32 = [f](uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [f](uint16_t v) { std::fwrite(&v, 2, 1, f); };
    const uint32_t bytes = static_cast<uint32_t>(s.size() * 4);
    const uint32_t rate = static_cast<uint32_t>(sr);
    std::fwrite("RIFF", 1, 4, f);
    u32(36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16);
    u16(3);  // IEEE float
    u16(2);
    u32(rate);
    u32(rate * 8);
    u16(8);
    u16(32);
    std::fwrite("data", 1, 4, f);
    u32(bytes);
    std::fwrite(s.data(), 4, s.size(), f);
    std::fclose(f);
}

// One instrument alone, played by the sequencer with notes, accents,
// ratchets, slices and reverse; half-way one sound setting changes.
void soloScene(brskern_t h, uint32_t track) {
    brskern_set_bpm(h, 170.0f);
    brskern_set_param(h, 6, "drive", 0.15f);
    for (uint32_t s = 0; s < 16; ++s) {
        int on = 0, acc = s % 4 == 0, note = 0, rat = 1, slice = 0, rev = 0;
        switch (track) {
            case 0: on = s % 4 == 0 || s == 10 || s == 15; rat = s == 15 ? 2 : 1; break;
            case 1: on = s % 4 == 2 || s == 7; note = s == 7 ? 3 : (s == 14 ? -5 : 0); break;
            case 2: on = s == 0 || s == 8 || s == 11; note = s == 8 ? 5 : (s == 11 ? 12 : 0); break;
            case 3: on = 1; slice = static_cast<int>((s * 5) % 16); rev = s % 5 == 3; rat = s == 6 ? 3 : 1; break;
            case 4: on = s % 2 == 1 || s == 14; rat = s == 15 ? 2 : 1; break;
            case 5: on = s == 4 || s == 12 || s == 14; note = s == 12 ? 3 : (s == 14 ? -2 : 0); break;
        }
        brskern_set_step(h, 0, track, s, on, acc, note, rat, slice, rev);
    }
    brskern_start(h);
}

void halfwayChange(brskern_t h, uint32_t track) {
    switch (track) {
        case 0: brskern_set_param(h, 0, "pitchAmt", 1.0f); brskern_set_param(h, 0, "tune", 80.0f); break;
        case 1: brskern_set_wave(h, 1, 1); brskern_set_param(h, 1, "res", 14.0f); break;
        case 2: brskern_set_param(h, 2, "detune", 0.0f); brskern_set_param(h, 2, "slide", 0.0f); break;
        case 3: brskern_set_param(h, 3, "pitch", 12.0f); brskern_set_param(h, 3, "gate", 0.5f); break;
        case 4: brskern_set_param(h, 4, "open", 1.0f); brskern_set_param(h, 4, "cut", 5000.0f); break;
        case 5: brskern_set_param(h, 5, "chord", 4.0f); brskern_set_param(h, 5, "decay", 0.6f); break;
    }
}

// A two-bar groove on all six tracks with delay and reverb sends.
void fullScene(brskern_t h) {
    brskern_set_bpm(h, 175.0f);
    brskern_set_swing(h, 12.0f);
    brskern_set_global(h, 12.0f, 32, false, 0.3f, 0.9f);
    brskern_set_fx(h, 0.25f, 0.55f, 0.9f);
    for (uint32_t s = 0; s < 32; ++s) {
        brskern_set_step(h, 0, 0, s, s % 4 == 0 || s == 30, s % 8 == 0, 0, s == 30 ? 2 : 1, 0, 0);
        brskern_set_step(h, 0, 1, s, s % 4 == 2 || s == 27, 0, s == 27 ? 7 : 0, 1, 0, 0);
        brskern_set_step(h, 0, 2, s, s == 0 || s == 16 || s == 24, 1, s == 24 ? 3 : 0, 1, 0, 0);
        brskern_set_step(h, 0, 3, s, 1, s % 4 == 2, 0, s == 13 ? 4 : 1, static_cast<int>(s % 16), s % 7 == 5);
        brskern_set_step(h, 0, 4, s, s % 2 == 1, s % 4 == 3, 0, s == 31 ? 3 : 1, 0, 0);
        brskern_set_step(h, 0, 5, s, s % 8 == 4, s == 12, s == 20 ? 5 : 0, 1, 0, 0);
    }
    const float dsend[6] = {0.0f, 0.1f, 0.45f, 0.2f, 0.3f, 0.6f};
    const float rsend[6] = {0.15f, 0.0f, 0.35f, 0.4f, 0.5f, 0.7f};
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(h, t, "delaySend", dsend[t]);
        brskern_set_param(h, t, "reverbSend", rsend[t]);
    }
    brskern_set_param(h, 4, "open", 0.0f);
    brskern_start(h);
}

std::vector<float> goldenRender(const std::string& name, float sr) {
    Handle e(sr);
    if (name == "full") {
        fullScene(e.h);
        return render(e.h, sr, 4.0f, 256);
    }
    static const char* const names[6] = {"kick", "bass", "hoover", "break", "hat", "stab"};
    uint32_t track = 0;
    while (track < 6 && name != names[track]) ++track;
    soloScene(e.h, track);
    const int half = static_cast<int>(1.5f * sr / 256.0f);
    return render(e.h, sr, 3.0f, 256, [&](int k) {
        if (k == half) halfwayChange(e.h, track);
    });
}

struct Golden {
    const char* name;
    float sr;
    uint64_t hash;
};

// Regenerate with BRS_GOLDEN_PRINT=1 (see the top of this file).
const Golden GOLDEN[] = {
    {"kick", 44100.0f, 0x97a67ba864621033ull},
    {"kick", 48000.0f, 0xb386369ebedf9e47ull},
    {"bass", 44100.0f, 0xb52f95199ce641b7ull},
    {"bass", 48000.0f, 0xc71780c05550d7c3ull},
    {"hoover", 44100.0f, 0xa3f6bfc6f2cfdf4bull},
    {"hoover", 48000.0f, 0x2cfa4f3b8b1410f3ull},
    {"break", 44100.0f, 0x3b1e09539afa2497ull},
    {"break", 48000.0f, 0xf3aeb034471d1897ull},
    {"hat", 44100.0f, 0xc56be93f4b1c460full},
    {"hat", 48000.0f, 0xcd032d111f6ebd97ull},
    {"stab", 44100.0f, 0xfdca3983fa9db993ull},
    {"stab", 48000.0f, 0xce8c1f7e92853b1full},
    {"full", 44100.0f, 0xf20ed2153cc14073ull},
    {"full", 48000.0f, 0x5278023feda8cfcdull},
};

const Golden GOLDEN_BREAK[] = {
    {"breakbuf", 44100.0f, 0xe7f08be5bba0686eull},
    {"breakbuf", 48000.0f, 0xca1554c10d96bdf1ull},
};

bool printing() { return std::getenv("BRS_GOLDEN_PRINT") != nullptr; }

}  // namespace

TEST(Golden, EachInstrumentAndAFullPatternBitExact) {
    const char* wavDir = std::getenv("BRS_GOLDEN_WAV");
    for (const Golden& g : GOLDEN) {
        std::vector<float> out = goldenRender(g.name, g.sr);
        float peak = 0.0f;
        for (float s : out) {
            ASSERT_TRUE(std::isfinite(s)) << g.name;
            peak = std::fmax(peak, std::fabs(s));
        }
        EXPECT_GT(peak, 0.02f) << g.name << " must be audible";
        const uint64_t h = fnv1a(out);
        if (printing())
            std::printf("    {\"%s\", %.1ff, 0x%016llxull},\n", g.name, g.sr, static_cast<unsigned long long>(h));
        if (wavDir)
            writeWav(std::string(wavDir) + "/" + g.name + "-" + std::to_string(static_cast<int>(g.sr)) + ".wav", out,
                     g.sr);
        if (!printing()) {
            EXPECT_EQ(h, g.hash) << g.name << " at " << g.sr << " Hz changed";
        }
    }
}

// The same golden bits from every lane variant this processor runs (the
// baseline always; AVX2 and AVX-512 where present), each pinned in turn.
TEST(Golden, EveryLanePathBitExact) {
    if (printing()) GTEST_SKIP();
    int paths = 0;
    for (int p = 0; p < brs::LANE_PATHS; ++p) {
        const auto path = static_cast<brs::LanePath>(p);
        if (!brs::pinLanePath(path)) continue;
        ++paths;
        for (const Golden& g : GOLDEN)
            EXPECT_EQ(fnv1a(goldenRender(g.name, g.sr)), g.hash)
                << g.name << " at " << g.sr << " Hz on the " << brs::laneKernels(path)->name << " path";
    }
    brs::unpinLanePath();
    EXPECT_GE(paths, 1);
}

TEST(Golden, BreakLoopBitExact) {
    for (const Golden& g : GOLDEN_BREAK) {
        brs::BreakBuf b(g.sr);
        const uint64_t h = fnv1a(b.samples);
        if (printing())
            std::printf("    {\"%s\", %.1ff, 0x%016llxull},\n", g.name, g.sr, static_cast<unsigned long long>(h));
        else
            EXPECT_EQ(h, g.hash) << g.sr;
    }
}

// Block boundaries are invisible to the sound: voices started at the same
// frames give the same bits whether the audio is rendered in one call per
// 1024 frames, frame by frame or in ragged blocks. (Sequenced hits are not
// part of this: a hit that waits across blocks counts its time up from a
// negative start, which rounds differently than starting at its block.)
TEST(Render, BlockSizeDoesNotChangeTheOutput) {
    const float sr = 44100.0f;
    auto run = [&](uint32_t block) {
        Handle e(sr);
        brskern_set_fx(e.h, 0.11f, 0.6f, 0.9f);
        for (uint32_t t = 0; t < 6; ++t) {
            brskern_set_param(e.h, t, "delaySend", 0.1f * t);
            brskern_set_param(e.h, t, "reverbSend", 0.5f - 0.05f * t);
        }
        std::vector<float> out(2 * 1024 * 64);
        for (int chunk = 0; chunk < 64; ++chunk) {
            if (chunk % 3 == 0) brskern_trigger(e.h, static_cast<uint32_t>(chunk % 6), chunk, chunk % 2, 40.0f + chunk % 12, 0.8f);
            if (chunk % 8 == 1) brskern_trigger(e.h, 2, 0, false, 55.0f, 1.0f);
            for (uint32_t done = 0; done < 1024;) {
                uint32_t n = std::min(block, 1024 - done);
                brskern_process(e.h, out.data() + 2 * (chunk * 1024 + done), n);
                done += n;
            }
        }
        return out;
    };
    const std::vector<float> ref = run(1024);
    for (uint32_t block : {1u, 7u, 64u, 1000u}) {
        std::vector<float> out = run(block);
        EXPECT_EQ(std::memcmp(out.data(), ref.data(), out.size() * 4), 0) << "block " << block;
    }
}

// Random grooves with every host parameter anywhere inside its range never
// leave above the limiter's ceiling (one float step of rounding at most).
TEST(Render, NeverAboveTheCeilingAcrossRandomLoudScenes) {
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    const float ceiling = std::nextafter(0.7079f, 1.0f);
    for (int scene = 0; scene < 4; ++scene) {
        Handle e(scene % 2 ? 44100.0f : 48000.0f);
        brskern_set_bpm(e.h, 60.0f + 200.0f * u(rng));
        for (uint32_t t = 0; t < 6; ++t) {
            brskern_set_param(e.h, t, "level", 1.0f);
            brskern_set_param(e.h, t, "cut", 40.0f + 15960.0f * u(rng));
            brskern_set_param(e.h, t, "res", 0.5f + 19.5f * u(rng));
            brskern_set_param(e.h, t, "decay", 0.01f + 1.99f * u(rng));
            brskern_set_param(e.h, t, "drive", u(rng));
            brskern_set_param(e.h, t, "delaySend", u(rng));
            brskern_set_param(e.h, t, "reverbSend", u(rng));
            brskern_set_wave(e.h, t, u(rng) < 0.5f);
            for (uint32_t s = 0; s < 16; ++s)
                brskern_set_step(e.h, 0, t, s, u(rng) < 0.6f, u(rng) < 0.5f, static_cast<int>(24 * u(rng)) - 12,
                                 1 + static_cast<int>(4 * u(rng)), static_cast<int>(16 * u(rng)), u(rng) < 0.3f);
        }
        brskern_set_fx(e.h, 0.02f + 1.88f * u(rng), 0.95f * u(rng), u(rng));
        brskern_set_global(e.h, 60.0f * u(rng), 16, false, u(rng), 0.5f + 0.5f * u(rng));
        brskern_start(e.h);
        std::vector<float> out = render(e.h, 44100.0f, 4.0f, 512);
        int loud = 0;
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_LE(std::fabs(out[i]), ceiling) << "seed " << seed << " scene " << scene << " sample " << i;
            loud += std::fabs(out[i]) > 0.5f;
        }
        EXPECT_GT(loud, 100) << "seed " << seed << " scene " << scene << " should be loud";
    }
}

// Values outside every documented range, written straight into the engine
// as a set document or an automation lane may, never produce NaN or infinity,
// and the sound comes back once the values are sane again.
TEST(Render, HostileParametersNeverLeaveTheEngine) {
    const float nasty[] = {-1e30f, -100.0f, -1.0f, -0.001f, 0.0f, 1e30f, INFINITY, -INFINITY, NAN};
    const unsigned seed = 0x5EED;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, 8), param(0, brs::NUM_PARAMS - 1);
    Handle e(48000.0f);
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t s = 0; s < 16; ++s) brskern_set_step(e.h, 0, t, s, 1, s % 2, 0, 1 + s % 3, s, s % 2);
    brskern_set_fx(e.h, 0.1f, 0.9f, 1.0f);
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(e.h, t, "delaySend", 0.5f);
        brskern_set_param(e.h, t, "reverbSend", 0.5f);
    }
    brskern_start(e.h);
    std::vector<float> out(2 * 256);
    for (int block = 0; block < 600; ++block) {
        brs::Track& tr = e.h->tracks[block % 6];
        tr.p[param(rng)] = nasty[pick(rng)];
        if (block % 50 == 0) e.h->masterDrive = nasty[pick(rng)];
        if (block % 70 == 0) e.h->masterLevel = nasty[pick(rng)];
        brskern_process(e.h, out.data(), 256);
        for (float s : out) ASSERT_TRUE(std::isfinite(s)) << "seed " << seed << " block " << block;
        ASSERT_TRUE(std::isfinite(e.h->limiterGain));
    }
    // Sane again: factory sounds from a fresh engine, default master.
    Handle fresh(48000.0f);
    for (int t = 0; t < 6; ++t) e.h->tracks[t] = fresh.h->tracks[t];
    e.h->masterDrive = 0.15f;
    e.h->masterLevel = 0.85f;
    float peak = 0.0f;
    for (int block = 0; block < 400; ++block) {
        brskern_process(e.h, out.data(), 256);
        for (float s : out) {
            ASSERT_TRUE(std::isfinite(s));
            peak = std::fmax(peak, std::fabs(s));
        }
    }
    EXPECT_GT(peak, 0.1f);
    EXPECT_GT(e.h->limiterGain, 0.05f);
}

TEST(Render, AVoiceTurningNonFiniteIsEndedAndSilent) {
    Handle e(48000.0f);
    brskern_trigger(e.h, 1, 0, false, 36.0f, 1e38f);  // a bass this loud overflows its clip
    brskern_trigger(e.h, 0, 0, false, 36.0f, 0.8f);
    std::vector<float> out(2 * 512);
    brskern_process(e.h, out.data(), 512);
    for (float s : out) ASSERT_TRUE(std::isfinite(s));
    EXPECT_GT(e.h->limiterGain, 0.1f);
    float peak = 0.0f;
    for (float s : out) peak = std::fmax(peak, std::fabs(s));
    EXPECT_GT(peak, 0.05f);  // the kick still sounds
}

// After a loud passage the tails decay through the subnormal range; with
// flush-to-zero inside brskern_process none of that reaches the output.
TEST(Render, LongTailsLeaveNoSubnormalOutput) {
    auto scene = [](brskern_t h) {
        brskern_set_fx(h, 0.02f, 0.4f, 0.0f);
        for (uint32_t t = 0; t < 6; ++t) {
            brskern_set_param(h, t, "delaySend", 1.0f);
            brskern_set_param(h, t, "reverbSend", 1.0f);
            brskern_set_step(h, 0, t, 0, 1, 1, 0, 4, 0, 0);
        }
        brskern_start(h);
    };
    const float sr = 44100.0f;
    Handle e(sr);
    scene(e.h);
    std::vector<float> loud = render(e.h, sr, 1.0f, 256);
    brskern_stop(e.h);
    std::vector<float> tail = render(e.h, sr, 12.0f, 256);
    int subnormal = 0;
    for (float s : tail) subnormal += std::fpclassify(s) == FP_SUBNORMAL;
    EXPECT_EQ(subnormal, 0);
    EXPECT_EQ(tail.back(), 0.0f);

    // The same scene rendered without the kernel's flush-to-zero does reach
    // the subnormal range, so the check above is not vacuous.
    brs::Engine raw(sr);
    scene(&raw);
    std::vector<float> buf(2 * 256);
    int rawSubnormal = 0;
    for (int b = 0; b < static_cast<int>(13.0f * sr / 256.0f); ++b) {
        if (b == static_cast<int>(sr / 256.0f)) raw.playing = false;
        raw.process(buf.data(), 256);
        for (float s : buf) rawSubnormal += std::fpclassify(s) == FP_SUBNORMAL;
    }
    EXPECT_GT(rawSubnormal, 0);
}

// Rates far below audio: every line holds a sample, nothing divides by zero,
// the output stays finite and under the ceiling.
TEST(Render, TinyAndOrdinarySampleRates) {
    for (float sr : {1.0f, 10.0f, 40.0f, 100.0f, 8000.0f, 44100.0f, 96000.0f, 0.0f, -5.0f, NAN, INFINITY}) {
        Handle e(sr);
        ASSERT_NE(e.h, nullptr) << sr;
        for (uint32_t t = 0; t < 6; ++t) {
            brskern_set_param(e.h, t, "delaySend", 0.7f);
            brskern_set_param(e.h, t, "reverbSend", 0.7f);
            brskern_set_step(e.h, 0, t, static_cast<uint32_t>(t * 2), 1, 1, 0, 3, 15, t % 2);
        }
        brskern_set_fx(e.h, 0.02f, 0.95f, 1.0f);
        brskern_start(e.h);
        std::vector<float> out(2 * 64);
        for (int block = 0; block < 40; ++block) {
            if (block % 5 == 0)
                for (uint32_t t = 0; t < 6; ++t) brskern_trigger(e.h, t, 15, block % 10 == 0, 50.0f, 1.0f);
            brskern_process(e.h, out.data(), 64);
            for (float s : out) {
                ASSERT_TRUE(std::isfinite(s)) << "rate " << sr;
                ASSERT_LE(std::fabs(s), std::nextafter(0.7079f, 1.0f)) << "rate " << sr;
            }
        }
    }
}
