// Saves and loads in every way a host may thread its calls: how long the main
// thread waits for the hand-over of the set, and that the audio never misses
// a block for it. Prints one line per threading model with the worst wait.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "plugin/shell.h"
#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

using namespace std::chrono_literals;

enum class Threads {
    OWN,         // one audio thread of its own
    POOL,        // blocks handed to three threads in turn
    SERIALISED,  // the host runs process and its main-thread calls under one lock of its own
    PAUSED,      // the host played, then stopped calling process (still active)
    MAIN,        // process runs on the main thread itself, between the other calls
};

struct Model {
    const char* name;
    Threads threads;
    uint32_t maxFrames;  // announced at activation
    uint32_t block;      // frames per process call
    bool paced;          // blocks come at the rate of the audio, else back to back
    int rounds;          // saves and loads
    // Bound of the median wait, ms: a couple of milliseconds for one or two
    // requests, with room for a loaded machine; where the audio thread is
    // never idle, the rendering of one piece of 8192 frames (before: the
    // whole block of a million frames, seconds).
    double medianBound = 25.0;
};

const Model MODELS[] = {
    {"own thread, 64-frame blocks", Threads::OWN, 64, 64, true, 12},
    {"own thread, 8192-frame blocks", Threads::OWN, 8192, 8192, true, 8},
    {"own thread, 1048576-frame blocks back to back", Threads::OWN, 1048576, 1048576, false, 4, 250.0},
    {"thread pool, 256-frame blocks", Threads::POOL, 256, 256, true, 12},
    {"serialised by the host's lock, 256-frame blocks", Threads::SERIALISED, 256, 256, true, 12},
    {"serialised by the host's lock, 1048576 announced", Threads::SERIALISED, 1048576, 8192, true, 8},
    {"paused right after a block, 8192 announced", Threads::PAUSED, 8192, 8192, false, 12},
    {"process on the main thread, 1048576 announced", Threads::MAIN, 1048576, 512, false, 12},
};

constexpr double RATE = 48000.0;

// Wall time and hand-over wait of one state call, in milliseconds.
struct Timing {
    double call = 0, wait = 0;
};

template <class F>
Timing timed(plug::Plug* p, F&& f) {
    const int64_t w0 = p->mailWaitNs;
    const auto t0 = std::chrono::steady_clock::now();
    f();
    Timing t;
    t.call = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    t.wait = double(p->mailWaitNs - w0) / 1e6;
    return t;
}

// The instance under test and a twin that is never saved or loaded, both
// playing the default groove with the host's transport running: every block
// of the one must equal the same block of the other.
struct Pair {
    Host host, twin;
    std::mutex hostLock;  // SERIALISED: the host's own lock
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0}, differing{0};
    std::vector<float> l, r, tl, tr;

    bool open(const Model& m) {
        if (!ptest::open(host) || !ptest::open(twin)) return false;
        for (Host* h : {&host, &twin}) {
            if (!h->activate(RATE, 1, m.maxFrames) || !h->startProcessing()) return false;
            h->setTransport({true, true, true, 175.0});
        }
        l.resize(m.block), r.resize(m.block), tl.resize(m.block), tr.resize(m.block);
        return true;
    }
    bool withTwin = true;  // off where the audio runs back to back: the twin would only add load
    void block(const Model& m) {
        host.process(m.block, l.data(), r.data());
        if (withTwin) {
            twin.process(m.block, tl.data(), tr.data());
            if (l != tl || r != tr) differing.fetch_add(1);
        }
        blocks.fetch_add(1);
    }
};

TEST(HandOverTest, MainThreadWaitsOnlyBrieflyInEveryThreadingModel) {
    std::printf("[ model    ] %-52s %10s %10s %10s %6s\n", "threading", "median wait", "worst wait", "worst call",
                "blocks");
    for (const Model& m : MODELS) {
        SCOPED_TRACE(m.name);
        Pair pair;
        ASSERT_TRUE(pair.open(m));
        pair.withTwin = m.paced || m.threads != Threads::OWN;
        plug::Plug* p = plug::from(pair.host.plugin());
        const auto period = std::chrono::microseconds(int64_t(1e6 * m.block / RATE));

        std::vector<std::thread> audio;
        std::atomic<long> turn{0};
        auto play = [&](int self, int of) {
            while (!pair.stop.load()) {
                if (of > 1 && turn.load() % of != self) {
                    std::this_thread::yield();
                    continue;
                }
                const auto t0 = std::chrono::steady_clock::now();
                if (m.threads == Threads::SERIALISED) {
                    std::lock_guard<std::mutex> g(pair.hostLock);
                    pair.block(m);
                } else {
                    pair.block(m);
                }
                turn.fetch_add(1);
                if (m.paced) std::this_thread::sleep_until(t0 + period);
            }
        };
        switch (m.threads) {
        case Threads::OWN:
        case Threads::SERIALISED: audio.emplace_back(play, 0, 1); break;
        case Threads::POOL:
            for (int i = 0; i < 3; ++i) audio.emplace_back(play, i, 3);
            break;
        default: break;
        }
        while (!audio.empty() && pair.blocks.load() < 3) std::this_thread::sleep_for(1ms);

        Timing worst;
        std::vector<double> waits;
        std::vector<uint8_t> state;
        for (int i = 0; i < m.rounds; ++i) {
            if (m.threads == Threads::PAUSED) {
                // The host's audio thread renders one block and stops: the
                // save and the load come right after it.
                std::thread once([&] { pair.block(m); });
                once.join();
            } else if (m.threads == Threads::MAIN) {
                pair.block(m);
            }
            std::unique_lock<std::mutex> g(pair.hostLock, std::defer_lock);
            if (m.threads == Threads::SERIALISED) g.lock();
            const Timing s = timed(p, [&] { ASSERT_TRUE(pair.host.saveState(state)); });
            const Timing l = timed(p, [&] { ASSERT_TRUE(pair.host.loadState(state)); });
            if (g.owns_lock()) g.unlock();
            for (const Timing& t : {s, l}) {
                worst.call = std::max(worst.call, t.call);
                worst.wait = std::max(worst.wait, t.wait);
                waits.push_back(t.wait);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3 + 7 * (i % 3)));
        }
        pair.stop = true;
        for (std::thread& t : audio) t.join();
        std::sort(waits.begin(), waits.end());
        const double median = waits[waits.size() / 2];
        std::printf("[ model    ] %-52s %7.2f ms %7.2f ms %7.2f ms %6ld\n", m.name, median, worst.wait, worst.call,
                    pair.blocks.load());

        // A few milliseconds, whatever the block size announced (before, a
        // request waited 50 ms and two of the largest blocks whenever no block
        // could come: at least 50 ms a save in the serialised and paused
        // models, 20 s with blocks of a million frames). The bounds leave room
        // for what the scheduler of a loaded machine adds, where the threads
        // of a test wait their turn for a core.
        EXPECT_LT(median, m.medianBound);
        EXPECT_LT(worst.wait, 1000.0);
        if (!SANITIZED) {
            EXPECT_EQ(pair.differing.load(), 0) << "a block differed from the twin's (silent or changed)";
        }
        // What was saved and loaded is the set the twin plays.
        std::vector<uint8_t> mine, theirs;
        ASSERT_TRUE(pair.host.saveState(mine));
        ASSERT_TRUE(pair.twin.saveState(theirs));
        EXPECT_EQ(mine, theirs);
    }
}

// Values the host sends while a load parses (after the set was copied for it,
// before the loaded set is swapped in) hold after the swap: the result is
// the loaded set followed by those values. Table: a track other than the
// kick, each of the three effect values, and a master value.
TEST(HandOverTest, ValuesBetweenALoadsCopyAndItsSwapHoldAfterIt) {
    struct Row {
        const char* what;
        clap_id id;
        double value;
        uint32_t track;  // engine track of the value, 6 for the master level
        const char* key;
    };
    const Row rows[] = {
        {"hoover cut", 2 * 16 + 1, 777.0, 2, "cut"},
        {"stab decay", 5 * 16 + 3, 1.25, 5, "decay"},
        {"delay time", 1003, 0.9, 6, "delayTime"},
        {"delay feedback", 1004, 0.66, 6, "delayFb"},
        {"reverb size", 1005, 0.33, 6, "reverbSize"},
        {"master level", 1001, 0.44, 6, "level"},
    };
    // A long song chain makes the parse take a while.
    std::string text;
    {
        Host h;
        ASSERT_TRUE(open(h));
        std::vector<uint8_t> state;
        ASSERT_TRUE(h.saveState(state));
        text.assign(state.begin(), state.end());
        const size_t at = text.find("\"song\":[]");
        ASSERT_NE(at, std::string::npos);
        std::string song = "\"song\":[";
        for (int i = 0; i < 400000; ++i) song += i ? ",{\"pat\":1,\"rep\":2}" : "{\"pat\":1,\"rep\":2}";
        text.replace(at, 9, song + "]");
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // The audio thread plays block after block and sends the value in the
        // first block after it served the copy (the first request a load
        // posts), and never again. A machine so busy that the main thread
        // served the copy itself leaves the order unknown: that attempt is
        // run again.
        bool met = false;
        for (int attempt = 0; attempt < 5 && !met; ++attempt) {
            Host host;
            ASSERT_TRUE(open(host));
            ASSERT_TRUE(host.activate(RATE, 1, 64));
            ASSERT_TRUE(host.startProcessing());
            plug::Plug* p = plug::from(host.plugin());
            auto get = reinterpret_cast<float (*)(brskern_t, uint32_t, const char*)>(host.symbol("brskern_get_param"));
            std::atomic<bool> stop{false};
            std::atomic<int> phase{0};  // 0 waiting for the copy, 1 copy served here, 2 value sent
            std::thread audio([&] {
                std::vector<float> l(64), r(64);
                EventList ev;
                while (!stop.load()) {
                    ev.clear();
                    const int ph = phase.load();
                    if (ph == 1) ev.param(0, row.id, row.value);
                    const bool posted = p->mail.state.load() == 1;
                    host.process(64, l.data(), r.data(), &ev);
                    if (ph == 1) phase = 2;
                    if (ph == 0 && posted && p->mail.state.load() != 1) phase = 1;
                    if (ph == 2) std::this_thread::sleep_for(300us);
                }
            });
            const bool loaded = host.loadState(text);
            met = phase.load() == 2;
            std::this_thread::sleep_for(5ms);
            stop = true;
            audio.join();
            ASSERT_TRUE(loaded);
            if (!met) continue;
            EXPECT_EQ(double(get(p->engine, row.track, row.key)), double(float(row.value)));
            double v = 0;
            ASSERT_TRUE(host.getParam(row.id, &v));
            EXPECT_EQ(v, double(float(row.value)));
            EXPECT_EQ(static_cast<const Engine*>(p->engine)->song.size(), 400000u);
        }
        EXPECT_TRUE(met) << "the value never came between the copy and the swap";
    }
}

}  // namespace
}  // namespace brs::ptest
