// bench_plugin: the plug-in's process callback through the CLAP interface
// (our own host driving build/brisanto.clap) next to the kernel's render call
// alone, both playing the default groove at 175 BPM, 48 kHz.
//
// BM_PluginProcessWithSetEdits: the same with step edits from the editor
// queued before every block.
//
// Counter "rtf": seconds of audio per CPU second. The shell's overhead is the
// difference between BM_PluginProcess and BM_KernelProcess at one block size.
//
// The plug-in is looked for next to the build tree (../brisanto.clap from
// this program) unless BRS_CLAP names it.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/brskern.h"
#include "host/host.h"
#include "plugin/plug.h"

namespace {

std::string clapPath() {
    if (const char* e = std::getenv("BRS_CLAP")) return e;
    char exe[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, size_t(n)) : std::string("./bench_plugin");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../brisanto.clap";
}

constexpr double RATE = 48000.0;

void setRate(benchmark::State& state, uint32_t frames) {
    const double audio = double(state.iterations()) * frames / RATE;
    state.counters["rtf"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
    state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}

// Plug::process through clap_plugin::process: lock, transport, event
// splitting (no events), scratch copy to two channels.
void BM_PluginProcess(benchmark::State& state) {
    const uint32_t frames = uint32_t(state.range(0));
    brs::host::Host h;
    if (!h.load(clapPath()) || !h.create() || !h.activate(RATE, 1, frames) || !h.startProcessing()) {
        state.SkipWithError(("cannot run " + clapPath() + ": " + h.error()).c_str());
        return;
    }
    h.setTransport({true, true, true, 175.0});
    std::vector<float> l(frames), r(frames);
    for (int i = 0; i < 64; ++i) h.process(frames, l.data(), r.data());  // warm: voices sounding
    for (auto _ : state) {
        h.process(frames, l.data(), r.data());
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
    }
    setRate(state, frames);
}

// The same with the host's beats timeline and a one-bar loop, which the
// sequencer follows ("Position folgt Host"): each block compares the host's
// position, and blocks that hold the loop's end are split there.
void BM_PluginProcessHostLoop(benchmark::State& state) {
    const uint32_t frames = uint32_t(state.range(0));
    brs::host::Host h;
    if (!h.load(clapPath()) || !h.create() || !h.activate(RATE, 1, frames) || !h.startProcessing()) {
        state.SkipWithError(("cannot run " + clapPath() + ": " + h.error()).c_str());
        return;
    }
    brs::host::Transport t{true, true, true, 175.0};
    t.hasBeats = true;
    t.loop = true;
    t.loopStart = 4.0;
    t.loopEnd = 8.0;
    t.beats = 4.0;
    t.advance = true;
    h.setTransport(t);
    std::vector<float> l(frames), r(frames);
    for (int i = 0; i < 64; ++i) h.process(frames, l.data(), r.data());
    for (auto _ : state) {
        h.process(frames, l.data(), r.data());
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
    }
    setRate(state, frames);
}

// "brisanto Multi" with its seven stereo ports given: range(1) = 0 plays
// every track into the main mix (the stereo plug-in's work plus silence on
// the track ports), 1 puts every track on its own port (per-output dry sums
// and the per-track drive and level). The extra cost of the outputs is the
// difference to BM_PluginProcess at one block size.
void BM_MultiProcess(benchmark::State& state) {
    const uint32_t frames = uint32_t(state.range(0));
    const bool apart = state.range(1) != 0;
    brs::host::Host h;
    if (!h.load(clapPath()) || !h.create("de.velmora.brisanto.multi")) {
        state.SkipWithError(("cannot run the Multi in " + clapPath() + ": " + h.error()).c_str());
        return;
    }
    if (apart) {
        // The routing as a saved state carries it.
        std::vector<uint8_t> st;
        h.saveState(st);
        std::string text(st.begin(), st.end());
        text = text.substr(0, text.find('\n')) + "\n{\"route\":[1,1,1,1,1,1]}";
        h.loadState(text);
    }
    if (!h.activate(RATE, 1, frames) || !h.startProcessing()) {
        state.SkipWithError("cannot activate the Multi");
        return;
    }
    h.setTransport({true, true, true, 175.0});
    std::vector<float> data(14 * size_t(frames));
    float* ch[14];
    for (int c = 0; c < 14; ++c) ch[c] = data.data() + size_t(c) * frames;
    clap_audio_buffer_t ports[7]{};
    for (int p = 0; p < 7; ++p) {
        ports[p].data32 = &ch[2 * p];
        ports[p].channel_count = 2;
    }
    for (int i = 0; i < 64; ++i) h.processPorts(frames, ports, 7);
    for (auto _ : state) {
        h.processPorts(frames, ports, 7);
        benchmark::DoNotOptimize(data.data());
    }
    setRate(state, frames);
}

// The same groove rendered by brskern_process alone (the plug-in's own copy
// of the kernel, loaded from the same file).
void BM_KernelProcess(benchmark::State& state) {
    const uint32_t frames = uint32_t(state.range(0));
    brs::host::Host h;
    if (!h.load(clapPath()) || !h.create()) {
        state.SkipWithError(("cannot load " + clapPath() + ": " + h.error()).c_str());
        return;
    }
    using NewFn = brskern_t (*)(float);
    using FreeFn = void (*)(brskern_t);
    using ProcFn = void (*)(brskern_t, float*, uint32_t);
    using StartFn = void (*)(brskern_t);
    using LoadFn = bool (*)(brskern_t, const char*);
    auto knew = reinterpret_cast<NewFn>(h.symbol("brskern_new"));
    auto kfree = reinterpret_cast<FreeFn>(h.symbol("brskern_free"));
    auto kproc = reinterpret_cast<ProcFn>(h.symbol("brskern_process"));
    auto kstart = reinterpret_cast<StartFn>(h.symbol("brskern_start"));
    auto kload = reinterpret_cast<LoadFn>(h.symbol("brskern_load_set"));
    // The default groove, taken from a fresh instance's state.
    std::vector<uint8_t> st;
    h.saveState(st);
    std::string set(st.begin(), st.end());
    set = set.substr(0, set.find('\n'));
    brskern_t e = knew(float(RATE));
    kload(e, set.c_str());
    kstart(e);
    std::vector<float> buf(2 * size_t(frames));
    for (int i = 0; i < 64; ++i) kproc(e, buf.data(), frames);
    for (auto _ : state) {
        kproc(e, buf.data(), frames);
        benchmark::DoNotOptimize(buf.data());
    }
    setRate(state, frames);
    kfree(e);
}

// BM_PluginProcess with the editor's set edits: before each block, range(1)
// step edits are queued (as the steps page does when a user paints), and the
// block applies them at its start.
void BM_PluginProcessWithSetEdits(benchmark::State& state) {
    const uint32_t frames = uint32_t(state.range(0));
    const long edits = long(state.range(1));
    brs::host::Host h;
    if (!h.load(clapPath()) || !h.create() || !h.activate(RATE, 1, frames) || !h.startProcessing()) {
        state.SkipWithError(("cannot run " + clapPath() + ": " + h.error()).c_str());
        return;
    }
    h.setTransport({true, true, true, 175.0});
    brs::plug::Plug* p = brs::plug::from(h.plugin());
    std::vector<float> l(frames), r(frames);
    for (int i = 0; i < 64; ++i) h.process(frames, l.data(), r.data());
    long n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        uint32_t tail = p->setTail.load(std::memory_order_relaxed);
        for (long i = 0; i < edits; ++i, ++n) {
            brs::plug::SetEdit e;
            e.kind = brs::plug::SE_STEP;
            e.a = uint8_t(n % 8);
            e.b = uint8_t(n % 6);
            e.c = uint8_t(16 + n % 48);  // beyond the groove's sixteen steps
            e.step = brs::Step{uint8_t(n & 1), 0, 0, 1, 0, 0};
            e.seq = ++p->editSeq;
            p->setq[tail++ % brs::plug::SET_EDIT_CAP] = e;
        }
        p->setTail.store(tail, std::memory_order_release);
        state.ResumeTiming();
        h.process(frames, l.data(), r.data());
        benchmark::DoNotOptimize(l.data());
    }
    setRate(state, frames);
}

BENCHMARK(BM_KernelProcess)->Arg(32)->Arg(64)->Arg(256)->Arg(2048);
BENCHMARK(BM_PluginProcessWithSetEdits)->Args({64, 0})->Args({64, 16})->Args({64, 384});
BENCHMARK(BM_PluginProcess)->Arg(32)->Arg(64)->Arg(256)->Arg(2048);
BENCHMARK(BM_PluginProcessHostLoop)->Arg(32)->Arg(64)->Arg(256)->Arg(2048);
BENCHMARK(BM_MultiProcess)->Args({64, 0})->Args({256, 0})->Args({2048, 0})->Args({64, 1})->Args({256, 1})->Args({2048, 1});

}  // namespace
