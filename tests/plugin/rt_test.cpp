// Real-time safety of the real brisanto.clap: after activation, the audio
// thread never allocates, frees or waits for a lock, whatever the host and
// the main thread do meanwhile.
//
// This program defines malloc, calloc, realloc, free, the aligned variants,
// operator new and delete, and pthread_mutex_lock, and exports them, so the
// dlopened plug-in (and the C++ runtime it calls) uses these. They count only
// on a thread marked as an audio thread, and only while a host call into the
// plug-in runs there (process, reset, flush). A try-lock is no wait; any call
// of pthread_mutex_lock is one.
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "plugin_fixture.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {
__thread int marked = 0;  // > 0 while a plug-in call runs on an audio thread
std::atomic<long> allocs{0}, frees{0}, waits{0};

inline void countAlloc() {
    if (marked) allocs.fetch_add(1, std::memory_order_relaxed);
}

using LockFn = int (*)(pthread_mutex_t*);
LockFn realLock() {
    static LockFn fn = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return fn;
}
// Resolved before any test thread exists.
[[maybe_unused]] const LockFn resolvedAtStart = realLock();
}  // namespace

extern "C" {
void* malloc(size_t n) {
    countAlloc();
    return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
    countAlloc();
    return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
    countAlloc();
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p && marked) frees.fetch_add(1, std::memory_order_relaxed);
    __libc_free(p);
}
void* memalign(size_t a, size_t n) {
    countAlloc();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    countAlloc();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    countAlloc();
    void* p = __libc_memalign(a, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
int pthread_mutex_lock(pthread_mutex_t* m) {
    if (marked) waits.fetch_add(1, std::memory_order_relaxed);
    return realLock()(m);
}
}  // extern "C"

void* operator new(std::size_t n) {
    if (void* p = malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return malloc(n ? n : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }

namespace brs::ptest {
namespace {

struct Counts {
    long allocs, frees, waits;
};
Counts now() { return {allocs.load(), frees.load(), waits.load()}; }
Counts since(const Counts& a) { return {allocs.load() - a.allocs, frees.load() - a.frees, waits.load() - a.waits}; }

// Runs f on a brand-new thread, counting only inside the plug-in calls it
// marks with audio().
template <class F>
void onNewThread(F&& f) {
    std::thread t(std::forward<F>(f));
    t.join();
}
template <class F>
void audio(F&& f) {
    ++marked;
    f();
    --marked;
}

// One block script: every kind of input a host sends, different each block.
struct Script {
    EventList ev, out;
    std::vector<float> l, r;
    const clap_plugin_tail_t* tail = nullptr;  // asked on the audio thread, as hosts may
    Script() : l(1024), r(1024) {
        ev.reserve(256);
        out.reserve(4096);
        out.setFixed(true);  // a real-time host's output queue refuses rather than grows
    }
    void block(Host& h, long b, uint32_t n) {
        ev.clear();
        out.clear();
        ev.noteOn(0, int16_t(36 + b % 6), 0.9);
        ev.param(n / 4, uint32_t(16 * (b % 6) + b % 8), 0.3 + 0.001 * double(b % 100));
        ev.param(n / 4, uint32_t(1000 + b % 6), 0.2);
        ev.midi(n / 3, 0x92, uint8_t(36 + b % 6), 100);
        ev.midi(n / 3, b % 7 == 0 ? 0xFA : (b % 7 == 3 ? 0xFC : 0xF8), 0, 0);
        ev.param(n / 2, 1007, double(1 + b % 8));
        ev.param(n / 2, 1008, double(b % 2));
        ev.param(n - 1, 1006, b % 11 == 0 ? 0.0 : 1.0);
        ev.param(n + 3, 1002, double(b % 40));  // beyond the block
        ev.noteOn(n / 5, int16_t(48 + b % 8), 0.7);  // pattern selection by note
        ev.midi(n / 5, 0x91, uint8_t(48 + (b + 3) % 8), 90);
        // A beats timeline that jumps about, starts in the pre-roll and loops
        // over spans short enough to wrap several times inside a block.
        host::Transport t{true, (b / 9) % 3 != 0, true, 100.0 + double(b % 150)};
        t.hasBeats = b % 4 != 3;
        t.beats = double(b % 37) * 0.37 - 1.0;
        t.loop = b % 2 == 0;
        t.loopStart = 1.0;
        t.loopEnd = 1.0 + 0.01 * double(1 + b % 5);
        t.hasBar = b % 3 == 0;
        h.setTransport(t);
        audio([&] { h.process(n, l.data(), r.data(), &ev, &out); });
        if (tail) audio([&] { tail->get(h.plugin()); });
        if (b % 5 == 0) audio([&] { h.flush(&ev, &out); });
        if (b % 13 == 0) audio([&] { h.reset(); });
    }
};

class RtTest : public PluginTest, public ::testing::WithParamInterface<double> {};

// Every path after activation, at each rate: blocks on fresh threads (a host's
// thread pool), saves, state loads and set imports while the audio thread
// plays with automation, Pattern changes after each, and a lock held by
// another thread.
// The host's tail extension: the plug-in tells it of a changed tail from the
// audio thread.
std::atomic<int> tailNotices{0};
const clap_host_tail_t HOST_TAIL = {[](const clap_host_t*) { ++tailNotices; }};

TEST_P(RtTest, AudioThreadNeverAllocatesNorWaits) {
    const double rate = GetParam();
    // An instance of a host that offers the tail extension (looked up at init).
    host.destroy();
    host.setExtensionProvider([](const char* id) -> const void* {
        return std::strcmp(id, CLAP_EXT_TAIL) == 0 ? &HOST_TAIL : nullptr;
    });
    ASSERT_TRUE(host.create());
    tailNotices = 0;
    TempHome home;
    home.writeSet(engineSet());
    activate(rate, 1024);
    const uint32_t sizes[] = {64, 1, 256, 1024, 77, 512, 3, 1000};
    Script s;
    s.tail = static_cast<const clap_plugin_tail_t*>(host.extension(CLAP_EXT_TAIL));
    ASSERT_TRUE(s.tail);
    plug()->posFollow = true;

    // A pool of threads: each one's very first block counts.
    Counts c0 = now();
    for (int t = 0; t < 3; ++t)
        onNewThread([&] {
            for (long b = 0; b < 40; ++b) s.block(host, 40 * t + b, sizes[b % 8]);
            // Quiet blocks: the tail settles and the host is told of it.
            host.setTransport({true, false, true, 175.0});
            for (int b = 0; b < 40; ++b) audio([&] { host.process(1024, s.l.data(), s.r.data()); });
        });
    Counts c = since(c0);
    EXPECT_GT(tailNotices.load(), 0) << "the tail changed path ran";
    EXPECT_EQ(c.allocs, 0) << "blocks on new threads, " << rate << " Hz";
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);

    // Saves, loads and imports on the main thread while the audio thread plays.
    std::vector<uint8_t> state;
    ASSERT_TRUE(host.saveState(state));
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    c0 = now();
    std::thread player([&] {
        for (long b = 0; !stop.load(); ++b) {
            s.block(host, b, sizes[b % 8]);
            blocks.store(b + 1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    auto waitBlocks = [&](long k) {
        const long seen = blocks.load();
        while (blocks.load() < seen + k) std::this_thread::yield();
    };
    int loads = 0, imports = 0;
    for (int i = 0; i < 6; ++i) {
        std::vector<uint8_t> st;
        EXPECT_TRUE(host.saveState(st));
        if (host.loadState(state)) ++loads;
        waitBlocks(20);  // Pattern changes and automation after the load
        // An import through parameter 1008, served by the host's main loop (the
        // flush may find the lock taken by a block and leave the edge to it).
        host.setParam(1008, 0.0);
        host.setParam(1008, 1.0);
        host.clearRescans();
        for (int k = 0; k < 2000 && host.rescans().empty(); ++k) {
            host.idle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!host.rescans().empty()) ++imports;
        waitBlocks(20);
    }
    stop = true;
    player.join();
    c = since(c0);
    EXPECT_EQ(loads, 6);
    EXPECT_EQ(imports, 6);
    EXPECT_EQ(c.allocs, 0) << "blocks around loads and imports, " << rate << " Hz";
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);

    // The main thread serving a request itself holds the lock for a short
    // copy or swap: blocks that meet it spin for it, without allocating or
    // waiting in the lock.
    c0 = now();
    {
        std::atomic<bool> done{false};
        std::thread mainSide([&] {
            while (!done.load()) {
                plug()->mainServing.store(true);
                {
                    std::lock_guard<std::mutex> g(plug()->engineMutex);
                    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
                    while (std::chrono::steady_clock::now() < until) {
                    }
                }
                plug()->mainServing.store(false);
                std::this_thread::sleep_for(std::chrono::microseconds(30));
            }
        });
        onNewThread([&] {
            for (long b = 0; b < 200; ++b) s.block(host, b, sizes[b % 8]);
        });
        done = true;
        mainSide.join();
    }
    c = since(c0);
    EXPECT_EQ(c.allocs, 0) << "blocks against the main thread's short holds, " << rate << " Hz";
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);

    // The lock held by another thread: blocks, flushes and resets go on.
    c0 = now();
    onNewThread([&] {
        {
            LockHeld busy(plug()->engineMutex);
            for (long b = 0; b < 30; ++b) s.block(host, b, sizes[b % 8]);
        }
        for (long b = 30; b < 60; ++b) s.block(host, b, sizes[b % 8]);  // replays what was parked
    });
    c = since(c0);
    EXPECT_EQ(c.allocs, 0) << "blocks with the lock busy, " << rate << " Hz";
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);
}

// One set edit as the editor queues it (plugin/setedit.cpp), without the
// editor's own view: waits while the queue is full.
void pushSetEdit(plug::Plug* p, plug::SetEdit e) {
    while (p->setTail.load() - p->setHead.load() >= plug::SET_EDIT_CAP) std::this_thread::yield();
    e.seq = ++p->editSeq;
    const uint32_t t = p->setTail.load(std::memory_order_relaxed);
    p->setq[t % plug::SET_EDIT_CAP] = e;
    p->setTail.store(t + 1, std::memory_order_release);
}

// Edit i of a sequence that cycles through every kind of set edit.
plug::SetEdit editOfKind(long i) {
    plug::SetEdit e;
    e.kind = uint8_t(plug::SE_STEP + i % 11);
    e.a = uint8_t(i % 8);
    e.b = uint8_t((i / 8) % 6);
    e.c = uint8_t(i % 64);
    e.step = brs::Step{uint8_t(i % 2), uint8_t(i % 3 == 0), int8_t(i % 25 - 12), uint8_t(1 + i % 4), uint8_t(i % 16),
                       uint8_t(i % 5 == 0)};
    switch (e.kind) {
    case plug::SE_PARAM: e.b = uint8_t(i % 2 ? 0 : 11); e.value = float(90 + i % 20); break;  // tune, detune
    case plug::SE_LEN: e.value = float(1 + i % 64); break;
    case plug::SE_BPM: e.value = float(60 + i % 200); break;
    case plug::SE_SONG_LEN: e.value = float(i % 300); break;  // past the editor's room too
    case plug::SE_SONG_ENTRY: e.c = uint8_t(i % 256); e.b = uint8_t(1 + i % 16); break;
    case plug::SE_CLEAR: e.b = uint8_t(i % 7); break;
    case plug::SE_COPY: e.b = uint8_t((i + 3) % 8); break;
    default: e.value = float(i % 2); break;
    }
    return e;
}

// Every kind of set edit from the editor, mixed with host parameter edits,
// while blocks of 64 frames play and the main thread saves and loads: the
// audio thread applies them without allocating, freeing or waiting.
TEST_P(RtTest, SetEditsOfEveryKindNeverAllocateNorWait) {
    const double rate = GetParam();
    activate(rate, 64);
    std::vector<uint8_t> state;
    ASSERT_TRUE(host.saveState(state));
    Script s;
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    const Counts c0 = now();
    std::thread player([&] {
        for (long b = 0; !stop.load(); ++b) {
            s.block(host, b, 64);
            blocks.store(b + 1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    plug::Plug* p = plug();
    for (long i = 0; i < 6000; ++i) {
        pushSetEdit(p, editOfKind(i));
        if (i % 50 == 0) {
            std::lock_guard<std::mutex> g(p->gevMutex);
            p->gevs.push_back({uint32_t(16 * (i % 6) + 1), 500.0 + double(i % 100), 1, ++p->editSeq});
        }
        if (i % 1500 == 700) {
            std::vector<uint8_t> st;
            EXPECT_TRUE(host.saveState(st));  // the queue goes into the copy first
        }
        if (i % 1500 == 1400) EXPECT_TRUE(host.loadState(state));  // and is dropped at the swap
    }
    while (p->setHead.load() != p->setTail.load()) std::this_thread::yield();
    stop = true;
    player.join();
    const Counts c = since(c0);
    EXPECT_GT(blocks.load(), 0);
    EXPECT_EQ(c.allocs, 0) << rate << " Hz";
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);
    // The last edits arrived: the chain keeps to the room every engine has.
    EXPECT_LE(p->engine->song.size(), std::size_t(plug::SONG_EDIT_MAX));

    // Latency: an edit queued between two blocks is in the engine when the
    // next block renders its first frame.
    onNewThread([&] {
        for (long i = 0; i < 22; ++i) {
            pushSetEdit(p, editOfKind(i));
            s.block(host, i, 64);
            EXPECT_EQ(p->setHead.load(), p->setTail.load()) << "edit " << i << " waits after one block";
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Rates, RtTest, ::testing::Values(44100.0, 48000.0, 96000.0));

#ifdef BRS_VST3_LIB
// The VST3 build's own audio-thread path, through its library's clap_entry:
// sets that the import worker loaded (parameter 1008, no main-thread callback
// needed) are announced to the host as value events by the next block, which
// allocates and waits no more than any other.
TEST_F(PluginTest, Vst3BuildAnnouncesWorkerImportsWithoutAllocatingOrWaiting) {
    TempHome home;
    home.writeSet(engineSet());
    Host v;
    ASSERT_TRUE(v.load(BRS_VST3_LIB) && v.create());
    ASSERT_TRUE(v.activate(48000.0, 1, 1024) && v.startProcessing());
    Script s;
    long announced = 0;
    const Counts c0 = now();
    onNewThread([&] {
        const auto t0 = std::chrono::steady_clock::now();
        for (long b = 0; std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(1200); ++b) {
            s.block(v, b, 256);
            std::size_t values = 0;
            for (std::size_t i = 0; i < s.out.size(); ++i)
                if (const clap_event_header_t* e = s.out.at(i); e && e->type == CLAP_EVENT_PARAM_VALUE) ++values;
            if (values >= 57) ++announced;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const Counts c = since(c0);
    EXPECT_GT(announced, 0) << "no import was announced";
    EXPECT_EQ(c.allocs, 0);
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);
}
#endif

// The Multi with tracks on their own ports, on new threads and while the
// main thread loads factory sets through preset-load (the host's browser)
// and the routing changes: no allocation, no wait.
TEST(RtMulti, TrackPortsAndFactorySetLoadsNeverAllocateNorWaitOnTheAudioThread) {
    Host h;
    ASSERT_TRUE(openMulti(h));
    plug::Plug& p = *plug::from(h.plugin());
    for (int t = 0; t < 6; t += 2) p.route[t].store(1);
    ASSERT_TRUE(h.activate(48000.0, 1, 1024));
    ASSERT_TRUE(h.startProcessing());
    const auto* pl = static_cast<const clap_plugin_preset_load_t*>(h.extension(CLAP_EXT_PRESET_LOAD));
    ASSERT_NE(pl, nullptr);
    Ports ports(7, 1024);
    EventList ev;
    ev.reserve(64);
    const uint32_t sizes[] = {64, 1, 256, 1024, 77, 512, 3, 1000};
    auto block = [&](long b) {
        ev.clear();
        ev.noteOn(0, int16_t(36 + b % 6), 0.9);
        ev.param(5, uint32_t(16 * (b % 6) + 5), 0.5);
        h.setTransport({true, true, true, 175.0});
        audio([&] { ports.run(h, sizes[b % 8], &ev, b % 9 == 4 ? 3u : 7u); });
    };
    Counts c0 = now();
    for (int t = 0; t < 3; ++t)
        onNewThread([&] {
            for (long b = 0; b < 40; ++b) block(40 * t + b);
        });
    Counts c = since(c0);
    EXPECT_EQ(c.allocs, 0);
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    c0 = now();
    std::thread player([&] {
        for (long b = 0; !stop.load(); ++b) {
            block(b);
            blocks.store(b + 1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int loaded = 0;
    const char* const keys[] = {"gabber-hoover", "breakcore-rueckwaerts", "kettenlauf", "doomcore-120"};
    for (int i = 0; i < 8; ++i) {
        if (pl->from_location(h.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, keys[i % 4])) ++loaded;
        for (int t = 0; t < 6; ++t) p.route[t].store(uint8_t((i + t) % 2));
        const long seen = blocks.load();
        while (blocks.load() < seen + 10) std::this_thread::yield();
    }
    stop = true;
    player.join();
    c = since(c0);
    EXPECT_EQ(loaded, 8);
    EXPECT_EQ(c.allocs, 0);
    EXPECT_EQ(c.frees, 0);
    EXPECT_EQ(c.waits, 0);
}

// The counters see what they are meant to see: a plug-in call that allocates
// and locks on a marked thread is counted.
TEST_F(PluginTest, CountersSeeThePlugInsAllocationsAndLocks) {
    activate(48000.0, 256);
    Counts c0 = now();
    onNewThread([&] {
        std::vector<uint8_t> st;
        st.reserve(1 << 20);
        audio([&] { host.saveState(st); });  // a main-thread call, here on a marked thread
    });
    Counts c = since(c0);
    EXPECT_GT(c.allocs, 0);
    EXPECT_GT(c.frees, 0);
    EXPECT_GT(c.waits, 0);
}

}  // namespace
}  // namespace brs::ptest
