// brskern_process of an engine playing a dense pattern: all six tracks on
// most steps, ratchets, delay and reverb sends on. Reports the realtime factor
// (seconds of audio rendered per CPU second) and the voices sounding.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/brskern.h"
#include "engine/engine.h"

namespace {

brskern_t denseEngine(float rate) {
    brskern_t h = brskern_new(rate);
    for (uint32_t t = 0; t < 6; ++t) {
        for (uint32_t s = 0; s < 16; ++s) {
            if ((s + t) % 4 == 3) continue;  // three steps in four
            const int rat = (s % 8 == 7) ? 3 : ((s % 4 == 1) ? 2 : 1);
            brskern_set_step(h, 0, t, s, 1, s % 4 == 0, static_cast<int>(s % 5), rat,
                             static_cast<int>(s), s % 3 == 0);
        }
        brskern_set_param(h, t, "delaySend", 0.3f);
        brskern_set_param(h, t, "reverbSend", 0.4f);
    }
    brskern_set_bpm(h, 175.0f);
    brskern_set_swing(h, 20.0f);
    brskern_start(h);
    return h;
}

void BM_ProcessDense(benchmark::State& state) {
    const float rate = 48000.0f;
    const auto frames = static_cast<uint32_t>(state.range(0));
    brskern_t h = denseEngine(rate);
    std::vector<float> out(2 * static_cast<std::size_t>(frames));
    // Warm up for two seconds so the voice list is in its steady state.
    for (uint32_t done = 0; done < 2 * 48000; done += frames) brskern_process(h, out.data(), frames);

    std::size_t voiceSum = 0;
    for (auto _ : state) {
        brskern_process(h, out.data(), frames);
        benchmark::DoNotOptimize(out.data());
        voiceSum += h->voices.size();
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["realtime_x"] =
        benchmark::Counter(iterations * frames / rate, benchmark::Counter::kIsRate);
    state.counters["voices"] = benchmark::Counter(static_cast<double>(voiceSum) / iterations);
    state.SetItemsProcessed(state.iterations() * frames);
    brskern_free(h);
}

// brskern_reset of a dense engine at the rate given (Hz): the cost a host's
// reset adds to the block that carries it out (every line is emptied).
void BM_Reset(benchmark::State& state) {
    const auto rate = static_cast<float>(state.range(0));
    brskern_t h = denseEngine(rate);
    std::vector<float> out(2 * 512);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 8; ++i) brskern_process(h, out.data(), 512);
        state.ResumeTiming();
        brskern_reset(h);
        benchmark::ClobberMemory();
    }
    brskern_free(h);
}

}  // namespace

BENCHMARK(BM_ProcessDense)->Arg(64)->Arg(512);
BENCHMARK(BM_Reset)->Arg(44100)->Arg(96000)->Iterations(300);
