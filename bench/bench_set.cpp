// bench_set.cpp: reading and writing a full set document.
//
// The document holds all 3072 steps with randomised content (about 160 KB).
// Reading happens under the instance lock while the audio thread renders
// silence, so its time is what matters most.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "engine/brskern.h"
#include "engine/engine.h"
#include "set/json.h"
#include "set/set.h"

namespace {

brs::Engine* randomEngine() {
    brs::Engine* e = brskern_new(48000.0f);
    std::mt19937 rng(7);
    for (int p = 0; p < 8; ++p)
        for (int t = 0; t < 6; ++t)
            for (int s = 0; s < 64; ++s)
                brskern_set_step(e, p, t, s, rng() % 2, rng() % 2, static_cast<int>(rng() % 49) - 24,
                                 1 + rng() % 4, rng() % 16, rng() % 2);
    for (int t = 0; t < 6; ++t)
        for (int i = 0; i < brs::NUM_PARAMS; ++i)
            brskern_set_param(e, t, brs::PARAM_NAMES[i], static_cast<float>(rng() % 100000) / 997.0f);
    const std::uint8_t song[] = {0, 2, 1, 1, 2, 4, 3, 1};
    brskern_set_song(e, song, sizeof song);
    brskern_set_bpm(e, 172.5f);
    return e;
}

std::string documentOf(brs::Engine* e) {
    std::string s(brskern_save_set(e, nullptr, 0), '\0');
    brskern_save_set(e, s.data(), s.size());
    s.pop_back();
    return s;
}

void BM_LoadSet(benchmark::State& state) {
    brs::Engine* src = randomEngine();
    const std::string doc = documentOf(src);
    brs::Engine* e = brskern_new(48000.0f);
    for (auto _ : state) {
        bool ok = brskern_load_set(e, doc.c_str());
        benchmark::DoNotOptimize(ok);
    }
    state.counters["bytes"] = static_cast<double>(doc.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
    brskern_free(e);
    brskern_free(src);
}
BENCHMARK(BM_LoadSet)->Unit(benchmark::kMicrosecond);

// The JSON reader alone, without applying the values.
void BM_ParseOnly(benchmark::State& state) {
    brs::Engine* src = randomEngine();
    const std::string doc = documentOf(src);
    for (auto _ : state) {
        brs::Parser p(doc.data(), doc.size());
        brs::Val v = p.val();
        benchmark::DoNotOptimize(v.obj.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
    brskern_free(src);
}
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMicrosecond);

// The writer as callers use it: ask for the size, then fill the buffer.
void BM_SaveSet(benchmark::State& state) {
    brs::Engine* e = randomEngine();
    std::string buf(brskern_save_set(e, nullptr, 0), '\0');
    for (auto _ : state) {
        std::size_t n = brskern_save_set(e, nullptr, 0);
        benchmark::DoNotOptimize(brskern_save_set(e, buf.data(), n));
    }
    state.counters["bytes"] = static_cast<double>(buf.size() - 1);
    brskern_free(e);
}
BENCHMARK(BM_SaveSet)->Unit(benchmark::kMicrosecond);

void BM_SaveSetOnce(benchmark::State& state) {
    brs::Engine* e = randomEngine();
    for (auto _ : state) {
        std::string s = brs::save_set(*e);
        benchmark::DoNotOptimize(s.data());
    }
    brskern_free(e);
}
BENCHMARK(BM_SaveSetOnce)->Unit(benchmark::kMicrosecond);

}  // namespace
