// The plug-in's audio path allocates nothing once the audio thread has seen
// the host's block size. Global operator new and delete are replaced in this
// program (and exported, so the dlopened plug-in uses them too); they count
// only on the audio thread while a process or flush call runs.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "plugin_fixture.h"

namespace {
thread_local bool counting = false;
thread_local bool refusing = false;  // every allocation on this thread fails
std::atomic<long> news{0}, deletes{0};

void* take(std::size_t n) {
    if (refusing) throw std::bad_alloc();
    if (counting) news.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void give(void* p) {
    if (p && counting) deletes.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return take(n); }
void* operator new[](std::size_t n) { return take(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return take(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { give(p); }
void operator delete[](void* p) noexcept { give(p); }
void operator delete(void* p, std::size_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t) noexcept { give(p); }

namespace brs::ptest {
namespace {

// Counts the plug-in's allocations in one call on this thread.
template <class F>
void counted(F&& f) {
    counting = true;
    f();
    counting = false;
}

TEST_F(PluginTest, AudioThreadAllocatesNothingInSteadyState) {
    activate(48000.0, 1024);
    plug::Plug* p = plug();
    long firstBlockNews = -1, steadyNews = -1, steadyDeletes = -1, saveNews = -1;
    std::atomic<bool> audioDone{false};

    std::thread audio([&] {
        std::vector<float> l(1024), r(1024);
        EventList ev, out;
        ev.reserve(64);
        out.reserve(1024);
        out.setFixed(true);  // a real-time host's output queue refuses rather than grows
        host.setTransport({true, false, true, 175.0});
        // First block on this thread: the render buffer was sized at
        // activation, so not even a new thread's first block allocates.
        long before = news.load();
        counted([&] { host.process(64, l.data(), r.data(), &ev, &out); });
        firstBlockNews = news.load() - before;
        // A state save on this thread does allocate: the counter sees the plug-in.
        before = news.load();
        std::vector<uint8_t> state;
        state.reserve(1 << 20);
        counted([&] { host.saveState(state); });
        saveNews = news.load() - before;
        // Warm-up touches every path once (the song chain's first entry).
        ev.param(0, 1007, 2.0);
        counted([&] { host.process(256, l.data(), r.data(), &ev, &out); });

        before = news.load();
        long beforeDel = deletes.load();
        const uint32_t sizes[] = {1, 32, 256, 1024, 77, 512, 1000, 3};
        for (int b = 0; b < 400; ++b) {
            const uint32_t n = sizes[b % 8];
            ev.clear();
            out.clear();
            ev.noteOn(0, int16_t(36 + b % 6), 0.9);
            ev.param(n / 2, uint32_t(16 * (b % 6) + b % 8), 0.3 + 0.001 * b);
            ev.param(n / 2, 1003 + b % 3, 0.3);
            ev.param(n - 1, 1007, double(1 + b % 8));
            ev.param(n - 1, 1008, double(b % 2));
            ev.midi(n / 3, 0x92, 38, 100);
            ev.midi(n / 3, b % 50 == 0 ? 0xFA : 0xF8, 0, 0);
            ev.param(n + 5, 1002, double(b % 40));  // beyond the block
            host.setTransport({true, (b / 50) % 2 == 0, true, 120.0 + b % 100});
            counted([&] { host.process(n, l.data(), r.data(), &ev, &out); });
            if (b % 20 == 0) counted([&] { host.flush(&ev, &out); });
        }
        steadyNews = news.load() - before;
        steadyDeletes = deletes.load() - beforeDel;
        audioDone = true;
    });
    // The editor keeps queueing edits meanwhile (its own allocations are not counted).
    int i = 0;
    while (!audioDone) {
        {
            std::lock_guard<std::mutex> g(p->gevMutex);
            p->gevs.push_back({17, 0.0, 0});
            p->gevs.push_back({17, 200.0 + i % 100, 1});
            p->gevs.push_back({17, 0.0, 2});
        }
        ++i;
        std::this_thread::yield();
    }
    audio.join();
    EXPECT_GT(saveNews, 0) << "the counter must see the plug-in's allocations";
    EXPECT_EQ(firstBlockNews, 0);
    EXPECT_EQ(steadyNews, 0);
    EXPECT_EQ(steadyDeletes, 0);
    EXPECT_GT(host.callbackRequests(), 0);
}


// An activation at a new rate that cannot get memory for the new engine
// reports failure and keeps the old engine with the user's set.
TEST_F(PluginTest, ActivationWithoutMemoryKeepsTheSet) {
    activate(48000.0, 256);
    host.deactivate();
    host.setParam(16 + 1, 900.0);
    const std::string before = engineSet();
    const brskern_t old = engine();
    refusing = true;
    const bool ok = host.activate(44100.0, 1, 256);
    refusing = false;
    EXPECT_FALSE(ok);
    EXPECT_EQ(engine(), old);
    EXPECT_EQ(plug()->sampleRate, 48000.0);
    EXPECT_EQ(engineSet(), before);
    // With memory the same activation works and carries the set.
    ASSERT_TRUE(host.activate(44100.0, 1, 256));
    EXPECT_EQ(plug()->sampleRate, 44100.0);
    EXPECT_EQ(engineSet(), before);
}

}  // namespace
}  // namespace brs::ptest
