// Cost of the sound path.
//
// - voiceCost/track:N: one voice of track N (0 kick, 1 bass, 2 hoover,
//   3 break, 4 hat, 5 stab) with its factory sound, rendered sample by sample
//   through renderVoice (the reference recipe the lanes fall back on) over its
//   whole length again and again; counter ns_per_sample is the cost of one
//   voice-sample. The render path's own cost per voice-sample is voices64.
// - Hoover64: the worst case, 64 hoover voices sounding at once through
//   brskern_process (256-frame blocks, 48 kHz).
// - FullPattern: a six-track groove with delay and reverb sends through
//   brskern_process.
// For the last two, counter realtime is seconds of audio per CPU second.
// - fxFrame/busy, fxFrame/fresh, fxFrame/decayed: delay, reverb and the
//   master stage (drive, level, limiter) for one frame, as the render loop
//   calls them; busy feeds a loud random signal to all three buses, fresh
//   feeds silence to a fresh instance, decayed feeds silence after a loud
//   passage has died away (the two must cost the same). Counter ns_per_frame.
// - fxBlock/busy, fxBlock/fresh, fxBlock/decayed: the same through the
//   block entry Fx::process (256 frames per call).
// - voices64/track:N: 64 voices of track N sounding at once through
//   brskern_process in 64-frame blocks at 48 kHz; counter ns_per_voice_sample
//   is the whole call (voices, effects and master) per voice-sample.
// - emptyEngine: the same calls with no voice at all, so the effects and
//   master share of voices64 is its ns_per_frame / 64.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <xmmintrin.h>

#include "dsp/dsp.h"
#include "dsp/primitives.h"
#include "engine/brskern.h"
#include "engine/engine.h"

namespace {

constexpr float SR = 48000.0f;

const brs::BreakBuf& breakLoop() {
    static const brs::BreakBuf b(SR);
    return b;
}

void voiceCost(benchmark::State& state) {
    const int track = static_cast<int>(state.range(0));
    brs::Engine* e = brskern_new(SR);
    brs::Voice proto{};
    proto.track = static_cast<uint64_t>(track);
    proto.gain = 0.8f;
    proto.note = brs::BASEN[track];
    proto.rng = 1u ^ 0x9E37u;
    proto.alive = 1;
    std::memcpy(proto.params, e->tracks[track].p, sizeof proto.params);
    proto.dur = e->voiceLength(static_cast<uint64_t>(track));
    brskern_free(e);
    // Rendering runs with flush-to-zero inside brskern_process; do the same here.
    const unsigned int csr = _mm_getcsr();
    _mm_setcsr(csr | 0x8040u);

    const float dt = 1.0f / SR;
    brs::Voice v = proto;
    float sink = 0.0f;
    int64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4096; ++i) {
            v.t += dt;
            sink += brs::renderVoice(v, breakLoop(), SR);
        }
        n += 4096;
        if (v.t > proto.dur) v = proto;  // a voice's whole life, over and over
        benchmark::DoNotOptimize(sink);
    }
    // (n * 1e-9 samples per second), inverted: nanoseconds per voice-sample.
    state.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(n) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(n);
    _mm_setcsr(csr);
}
BENCHMARK(voiceCost)->ArgName("track")->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

void setRealtime(benchmark::State& state, int64_t frames) {
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(frames) / SR, benchmark::Counter::kIsRate);
}

void hoover64(benchmark::State& state) {
    brskern_t h = brskern_new(SR);
    brskern_set_param(h, 2, "decay", 1000.0f);  // every voice keeps sounding
    std::vector<float> out(2 * 256);
    int64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (h->voices.size() < brs::MAX_VOICES || frames > 20 * static_cast<int64_t>(SR)) {
            h->voices.clear();
            for (int i = 0; i < 64; ++i) brskern_trigger(h, 2, 0, false, 36.0f + (i % 24), 0.3f);
            frames = 0;
        }
        state.ResumeTiming();
        brskern_process(h, out.data(), 256);
        frames += 256;
        benchmark::DoNotOptimize(out.data());
    }
    setRealtime(state, static_cast<int64_t>(state.iterations()) * 256);
    brskern_free(h);
}
BENCHMARK(hoover64)->Unit(benchmark::kMicrosecond);

void fullPattern(benchmark::State& state) {
    brskern_t h = brskern_new(SR);
    brskern_set_fx(h, 0.25f, 0.55f, 0.9f);
    for (uint32_t s = 0; s < 16; ++s) {
        brskern_set_step(h, 0, 0, s, s % 4 == 0, s == 0, 0, 1, 0, 0);
        brskern_set_step(h, 0, 1, s, s % 4 == 2 || s == 7, 0, s == 7 ? 3 : 0, 1, 0, 0);
        brskern_set_step(h, 0, 2, s, s == 0 || s == 8, 1, 0, 1, 0, 0);
        brskern_set_step(h, 0, 3, s, 1, 0, 0, s == 13 ? 4 : 1, static_cast<int>(s), s % 7 == 5);
        brskern_set_step(h, 0, 4, s, s % 2 == 1, 0, 0, s == 15 ? 2 : 1, 0, 0);
        brskern_set_step(h, 0, 5, s, s % 8 == 4, 0, 0, 1, 0, 0);
    }
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(h, t, "delaySend", 0.3f);
        brskern_set_param(h, t, "reverbSend", 0.4f);
    }
    brskern_start(h);
    std::vector<float> out(2 * 256);
    for (auto _ : state) {
        brskern_process(h, out.data(), 256);
        benchmark::DoNotOptimize(out.data());
    }
    setRealtime(state, static_cast<int64_t>(state.iterations()) * 256);
    brskern_free(h);
}
BENCHMARK(fullPattern)->Unit(benchmark::kMicrosecond);

// The effect and master state of one engine at 48 kHz with the factory
// settings, driven by frame() and masterStage() under the render loop's
// flush-to-zero mode.
struct FxChain {
    brs::Fx fx{SR};
    float limiterGain = 1.0f;
    float drive = 0.15f, level = 0.85f;

    bool block = false;

    void run(const float* dry, const float* dly, const float* rev, float* out, int n) {
        if (block) {
            fx.process(dry, dly, rev, out, static_cast<std::size_t>(n), drive, level, limiterGain);
            return;
        }
        for (int i = 0; i < n; ++i) {
            float l = 0.0f, r = 0.0f;
            fx.frame(dry[i], dly[i], rev[i], l, r);
            brs::masterStage(l, r, drive, level, limiterGain);
            out[2 * i] = l;
            out[2 * i + 1] = r;
        }
    }
};

enum FxCase { FX_BUSY, FX_FRESH, FX_DECAYED };

void fxRun(benchmark::State& state, FxCase which, bool block) {
    brs::DenormalScope ftz;
    constexpr int BLOCK = 256;
    std::vector<float> dry(BLOCK), dly(BLOCK), rev(BLOCK), zero(BLOCK, 0.0f), out(2 * BLOCK);
    uint32_t rng = 12345u;
    for (int i = 0; i < BLOCK; ++i) {
        rng = brs::xorshift32(rng);
        dry[i] = brs::noiseValue(rng);
        dly[i] = 0.3f * dry[i];
        rev[i] = 0.4f * dry[i];
    }
    FxChain c;
    c.block = block;
    if (which == FX_DECAYED) {
        // Two loud seconds, then silence until the tails reach the smallest
        // normal floats (about 36 s: the reverb at size 0.8 loses about
        // 25 dB per second); the timed frames take them to zero, where
        // without flush-to-zero they would pass through subnormals.
        for (int i = 0; i < 2 * static_cast<int>(SR); i += BLOCK)
            c.run(dry.data(), dly.data(), rev.data(), out.data(), BLOCK);
        for (int i = 0; i < 36 * static_cast<int>(SR); i += BLOCK)
            c.run(zero.data(), zero.data(), zero.data(), out.data(), BLOCK);
    }
    const bool loud = which == FX_BUSY;
    const float* d = loud ? dry.data() : zero.data();
    const float* l = loud ? dly.data() : zero.data();
    const float* r = loud ? rev.data() : zero.data();
    for (auto _ : state) {
        c.run(d, l, r, out.data(), BLOCK);
        benchmark::DoNotOptimize(out.data());
    }
    const auto frames = static_cast<int64_t>(state.iterations()) * BLOCK;
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(frames) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(frames);
}
void fxFrame(benchmark::State& state, FxCase which) { fxRun(state, which, false); }
void fxBlock(benchmark::State& state, FxCase which) { fxRun(state, which, true); }
BENCHMARK_CAPTURE(fxFrame, busy, FX_BUSY)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fxFrame, fresh, FX_FRESH)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fxFrame, decayed, FX_DECAYED)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fxBlock, busy, FX_BUSY)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fxBlock, fresh, FX_FRESH)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fxBlock, decayed, FX_DECAYED)->Unit(benchmark::kMicrosecond);

// 64 voices of one track, all sounding for the whole run (long decay and
// gate), restarted with fresh voices every 10 seconds of audio.
void voices64(benchmark::State& state) {
    const auto track = static_cast<uint32_t>(state.range(0));
    brskern_t h = brskern_new(SR);
    brskern_set_param(h, track, "decay", 1000.0f);
    brskern_set_param(h, track, "gate", 100000.0f);
    std::vector<float> out(2 * 64);
    int64_t frames = 0;
    int64_t total = 0;
    for (auto _ : state) {
        if (h->voices.size() < brs::MAX_VOICES || frames > 10 * static_cast<int64_t>(SR)) {
            state.PauseTiming();
            h->voices.clear();
            for (int i = 0; i < 64; ++i)
                brskern_trigger(h, track, static_cast<uint32_t>(i % 16), i % 3 == 0, 36.0f + static_cast<float>(i % 24),
                                0.3f);
            frames = 0;
            state.ResumeTiming();
        }
        brskern_process(h, out.data(), 64);
        frames += 64;
        total += 64;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns_per_voice_sample"] = benchmark::Counter(
        static_cast<double>(total) * 64.0 * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    brskern_free(h);
}
BENCHMARK(voices64)->ArgName("track")->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

void emptyEngine(benchmark::State& state) {
    brskern_t h = brskern_new(SR);
    std::vector<float> out(2 * 64);
    int64_t total = 0;
    for (auto _ : state) {
        brskern_process(h, out.data(), 64);
        total += 64;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(total) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    brskern_free(h);
}
BENCHMARK(emptyEngine)->Unit(benchmark::kMicrosecond);

}  // namespace
