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
#include <chrono>
#include <cstdlib>
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
        h.setTransport({true, (b / 9) % 3 != 0, true, 100.0 + double(b % 150)});
        audio([&] { h.process(n, l.data(), r.data(), &ev, &out); });
        if (b % 5 == 0) audio([&] { h.flush(&ev, &out); });
        if (b % 13 == 0) audio([&] { h.reset(); });
    }
};

class RtTest : public PluginTest, public ::testing::WithParamInterface<double> {};

// Every path after activation, at each rate: blocks on fresh threads (a host's
// thread pool), saves, state loads and set imports while the audio thread
// plays with automation, Pattern changes after each, and a lock held by
// another thread.
TEST_P(RtTest, AudioThreadNeverAllocatesNorWaits) {
    const double rate = GetParam();
    TempHome home;
    home.writeSet(engineSet());
    activate(rate, 1024);
    const uint32_t sizes[] = {64, 1, 256, 1024, 77, 512, 3, 1000};
    Script s;

    // A pool of threads: each one's very first block counts.
    Counts c0 = now();
    for (int t = 0; t < 3; ++t)
        onNewThread([&] {
            for (long b = 0; b < 40; ++b) s.block(host, 40 * t + b, sizes[b % 8]);
        });
    Counts c = since(c0);
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

INSTANTIATE_TEST_SUITE_P(Rates, RtTest, ::testing::Values(44100.0, 48000.0, 96000.0));

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
