// What the main thread's work and a busy instance lock cost the audio: a
// reset silences at once and never waits; saves never silence a block; a
// large load costs at most one; blocks that miss the lock keep their events
// and the sequencer stays in time with the host.
#include <atomic>
#include <future>
#include <thread>

#include "engine/engine.h"
#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

using namespace std::chrono_literals;

bool silent(const std::vector<float>& l, const std::vector<float>& r) { return allZero(l) && allZero(r); }

class BusyTest : public PluginTest {
protected:
    // Hoover notes with full delay and reverb sends and a long echo: tails
    // that ring for seconds.
    void ringing() {
        host.setParam(2 * 16 + 5, 1.0);  // hoover delay send
        host.setParam(2 * 16 + 6, 1.0);  // hoover reverb send
        host.setParam(1004, 0.9);        // delay feedback
        EventList ev;
        ev.noteOn(0, 38, 1.0).noteOn(100, 37, 1.0).midi(200, 0xFA, 0, 0);
        host.setTransport({false});
        run(256, &ev);
        for (int i = 0; i < 20; ++i) run(256);
    }
    const Engine& eng() const { return *static_cast<const Engine*>(engine()); }
    // This instance and a twin in ref, both at 48 kHz in 64-frame blocks with
    // the host transport playing.
    void playBesideTwin(Host& ref) {
        activate(48000.0, 64);
        ASSERT_TRUE(open(ref));
        ASSERT_TRUE(ref.activate(48000.0, 1, 64));
        ASSERT_TRUE(ref.startProcessing());
        for (Host* h : {&host, &ref}) h->setTransport({true, true, true, 175.0});
    }
};

// ---- reset ---------------------------------------------------------------------------

TEST_F(BusyTest, ResetSilencesTheNextBlockAndKeepsTheSet) {
    activate();
    ringing();
    ASSERT_TRUE(kern.playing(engine()));
    ASSERT_GE(firstSound(run(256).first), 0);
    const std::string set = engineSet();
    const double send = value(2 * 16 + 5);

    host.reset();
    for (int i = 0; i < 200; ++i) {  // no voice, no delay or reverb tail: a second of zeros
        auto [l, r] = run(256);
        ASSERT_TRUE(silent(l, r)) << "block " << i << " after the reset";
    }
    EXPECT_FALSE(kern.playing(engine()));
    EXPECT_TRUE(eng().voices.empty());
    EXPECT_EQ(eng().limiterGain, 1.0f);
    EXPECT_EQ(engineSet(), set);
    EXPECT_EQ(value(2 * 16 + 5), send);
    // The instrument still plays afterwards.
    EventList ev;
    ev.noteOn(0, 36, 1.0);
    EXPECT_GE(firstSound(run(256, &ev).first), 0);
}

TEST_F(BusyTest, ResetNeverWaitsAndIsCarriedOutAtTheNextBlock) {
    activate();
    ringing();
    ASSERT_GE(firstSound(run(256).first), 0);
    {
        LockHeld busy(plug()->engineMutex);
        auto done = std::async(std::launch::async, [&] { host.reset(); });
        EXPECT_EQ(done.wait_for(1s), std::future_status::ready) << "reset waited for the main thread";
        auto [l, r] = run(256);  // the lock is still busy: a silent block
        EXPECT_TRUE(silent(l, r));
        busy.release();
        done.wait();
    }
    // The next block that gets the lock starts with the reset.
    auto [l, r] = run(256);
    EXPECT_TRUE(silent(l, r));
    EXPECT_FALSE(kern.playing(engine()));
    EXPECT_TRUE(eng().voices.empty());
    int sounding = 0;
    for (int i = 0; i < 50; ++i) sounding += allZero(run(256).first) ? 0 : 1;
    EXPECT_EQ(sounding, 0) << "a tail rang on after the reset";
}

// A host that processes without activating first gets silence, not whatever
// its buffers held (the render buffer is only made at activation).
TEST_F(BusyTest, ProcessBeforeActivationGivesSilence) {
    EventList ev;
    ev.noteOn(0, 36, 1.0);
    auto [l, r] = run(256, &ev);
    EXPECT_TRUE(silent(l, r));
}

// ---- blocks that miss the lock ----------------------------------------------------------

// Two instances get the same blocks; one meets its lock busy for a while.
// Afterwards both sequencers stand at the same place and the notes and MIDI
// Start of the missed blocks were not lost.
TEST_F(BusyTest, MissedBlocksKeepTheirEventsAndTheSequencerStaysInTime) {
    struct Case {
        const char* name;
        bool hostTransport;  // the host's play state starts the sequencer, else MIDI Start
    };
    for (const Case c : {Case{"MIDI Start", false}, Case{"host transport", true}}) {
        SCOPED_TRACE(c.name);
        Host a, b;
        ASSERT_TRUE(open(a));
        ASSERT_TRUE(open(b));
        for (Host* h : {&a, &b}) {
            ASSERT_TRUE(h->activate(48000.0, 1, 256));
            ASSERT_TRUE(h->startProcessing());
        }
        std::vector<float> l(256), r(256);
        auto block = [&](int k) {
            EventList ev;
            if (k == 3 && !c.hostTransport) ev.midi(100, 0xFA, 0, 0);
            if (k == 5) ev.noteOn(10, 38, 1.0).midi(20, 0x90, 39, 127);
            for (Host* h : {&a, &b}) {
                h->setTransport({c.hostTransport, c.hostTransport && k >= 3, true, 150.0 + (k >= 6 ? 20.0 : 0.0)});
                h->process(256, l.data(), r.data(), &ev);
            }
        };
        block(0);
        {
            LockHeld busy(plug::from(a.plugin())->engineMutex);
            for (int k = 1; k < 40; ++k) block(k);
        }
        for (int k = 40; k < 44; ++k) block(k);

        const Engine& ea = *static_cast<const Engine*>(plug::from(a.plugin())->engine);
        const Engine& eb = *static_cast<const Engine*>(plug::from(b.plugin())->engine);
        EXPECT_TRUE(ea.playing);
        EXPECT_EQ(ea.clock, eb.clock);
        EXPECT_EQ(ea.step, eb.step);
        EXPECT_EQ(ea.nextStep, eb.nextStep);
        EXPECT_EQ(ea.bpm, eb.bpm);
        // The same voices, of the same ages (to float rounding over the span).
        ASSERT_EQ(ea.voices.size(), eb.voices.size());
        for (size_t i = 0; i < ea.voices.size(); ++i) {
            EXPECT_EQ(ea.voices[i].track, eb.voices[i].track) << i;
            EXPECT_NEAR(ea.voices[i].t, eb.voices[i].t, 1e-3) << i;
        }
    }
}

// A full queue of missed events drops further notes but keeps the last MIDI
// Start or Stop, so the sequencer ends up where the host left it.
TEST_F(BusyTest, OverflowingMissedEventsStillKeepStartAndStop) {
    activate();
    host.setTransport({false});
    {
        LockHeld busy(plug()->engineMutex);
        EventList ev;
        ev.reserve(1200);
        for (int i = 0; i < 1000; ++i) ev.noteOn(uint32_t(i % 256), int16_t(36 + i % 6), 1.0);
        ev.midi(255, 0xFA, 0, 0);
        run(256, &ev);
        ev.clear();
        for (int i = 0; i < 10; ++i) ev.noteOn(0, 36, 1.0);
        run(256, &ev);
    }
    run(256);
    EXPECT_TRUE(kern.playing(engine()));
    EXPECT_LE(eng().voices.size(), MAX_VOICES);
}

// With the queue of missed events full, a transport change, a MIDI Start or
// Stop and a reset that come after it are still replayed in the order they
// came: the play state ends as the host left it, row by row.
TEST_F(BusyTest, OverflowingMissedEventsReplayTransportStopAndResetInOrder) {
    enum Kind { NOTES, TRANSPORT_PLAY, TRANSPORT_STOP, MIDI_START, MIDI_STOP, RESET };
    struct Row {
        const char* name;
        std::vector<Kind> missed;  // one missed block (or reset) each, in order
        bool playing;              // the sequencer afterwards
    };
    const Row rows[] = {
        {"transport plays, then MIDI Stop", {NOTES, TRANSPORT_PLAY, MIDI_STOP}, false},
        {"MIDI Stop, then the transport plays", {NOTES, MIDI_STOP, TRANSPORT_PLAY}, true},
        {"transport plays, MIDI Stop, reset", {NOTES, TRANSPORT_PLAY, MIDI_STOP, RESET}, false},
        {"reset, then the transport plays", {NOTES, RESET, TRANSPORT_PLAY}, true},
        {"MIDI Start, then a reset", {NOTES, MIDI_START, RESET}, false},
        {"reset, then MIDI Start", {NOTES, RESET, MIDI_START}, true},
        {"transport stops, MIDI Start", {NOTES, TRANSPORT_PLAY, TRANSPORT_STOP, MIDI_START}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Host h;
        ASSERT_TRUE(open(h));
        ASSERT_TRUE(h.activate(48000.0, 1, 256));
        ASSERT_TRUE(h.startProcessing());
        plug::Plug* p = plug::from(h.plugin());
        std::vector<float> l(256), r(256);
        h.setTransport({true, false, true, 150.0});
        h.process(256, l.data(), r.data());
        {
            LockHeld busy(p->engineMutex);
            bool hostPlays = false;
            for (Kind k : row.missed) {
                EventList ev;
                ev.reserve(1200);
                switch (k) {
                case NOTES:  // more than the queue holds
                    for (int i = 0; i < 1000; ++i) ev.noteOn(uint32_t(i % 256), int16_t(36 + i % 6), 1.0);
                    break;
                case TRANSPORT_PLAY: hostPlays = true; break;
                case TRANSPORT_STOP: hostPlays = false; break;
                case MIDI_START: ev.midi(10, 0xFA, 0, 0); break;
                case MIDI_STOP: ev.midi(10, 0xFC, 0, 0); break;
                case RESET: h.reset(); continue;
                }
                h.setTransport({true, hostPlays, true, 150.0});
                h.process(256, l.data(), r.data(), &ev);
            }
            ASSERT_EQ(p->parkN, plug::Plug::PARK_CAP) << "the queue overflowed";
        }
        h.setTransport({false});  // the next block carries no transport of its own
        h.process(256, l.data(), r.data());
        EXPECT_EQ(kern.playing(p->engine), row.playing);
        EXPECT_EQ(p->parkN, 0u);
        EXPECT_LE(static_cast<const Engine*>(p->engine)->voices.size(), MAX_VOICES);
    }
}

// ---- the main thread's work --------------------------------------------------------------

// The audio thread plays as a host does, block after block, while the main
// thread saves every 25 ms (an autosave): every block sounds exactly as the
// same blocks of an instance that is never saved.
TEST_F(BusyTest, SavesDuringPlaybackNeverSilenceABlock) {
    Host ref;
    ASSERT_NO_FATAL_FAILURE(playBesideTwin(ref));

    std::atomic<bool> done{false};
    std::atomic<int> differing{0}, silentBlocks{0}, blocks{0};
    std::thread audio([&] {
        std::vector<float> l(64), r(64), rl(64), rr(64);
        while (!done.load()) {
            host.process(64, l.data(), r.data());
            ref.process(64, rl.data(), rr.data());
            if (l != rl || r != rr) differing.fetch_add(1);
            if (silent(l, r)) silentBlocks.fetch_add(1);
            blocks.fetch_add(1);
            std::this_thread::sleep_for(100us);
        }
    });
    int saves = 0;
    std::vector<uint8_t> state;
    for (; saves < 40; ++saves) {
        EXPECT_TRUE(host.saveState(state));
        std::this_thread::sleep_for(25ms);
    }
    done = true;
    audio.join();
    EXPECT_GT(blocks.load(), 400);
    if (!SANITIZED) {
        EXPECT_EQ(silentBlocks.load(), 0);
        EXPECT_EQ(differing.load(), 0);
    }
    // What was saved is the set the instance plays.
    EXPECT_EQ(std::string(state.begin(), state.begin() + long(engineSet().size())), engineSet());
}

// A large state (a song chain of 150,000 entries) loaded while the audio
// thread plays and the host automates a parameter costs at most one block,
// and the groove stays in time with an instance that was never loaded.
TEST_F(BusyTest, LargeStateLoadCostsAtMostOneBlock) {
    Host ref;
    ASSERT_NO_FATAL_FAILURE(playBesideTwin(ref));

    std::string state = stateText();
    const size_t at = state.find("\"song\":[]");
    ASSERT_NE(at, std::string::npos);
    std::string song = "\"song\":[";
    for (int i = 0; i < 150000; ++i) song += i ? ",{\"pat\":0,\"rep\":1}" : "{\"pat\":0,\"rep\":1}";
    song += "]";
    state.replace(at, 9, song);
    ASSERT_GT(state.size(), 2000000u);

    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0}, silentBlocks{0};
    std::thread audio([&] {
        std::vector<float> l(64), r(64), rl(64), rr(64);
        EventList ev;
        while (!stop.load() || blocks.load() < 200) {
            ev.clear();
            ev.param(0, 1001, 0.8 + 0.0001 * (blocks.load() % 100));  // master level automation
            host.process(64, l.data(), r.data(), &ev);
            ref.process(64, rl.data(), rr.data(), &ev);
            if (silent(l, r)) silentBlocks.fetch_add(1);
            blocks.fetch_add(1);
            std::this_thread::sleep_for(200us);
        }
    });
    while (blocks.load() < 50) std::this_thread::yield();
    ASSERT_TRUE(host.loadState(state));
    const int after = blocks.load();
    while (blocks.load() < after + 50) std::this_thread::yield();
    stop = true;
    audio.join();

    EXPECT_LE(silentBlocks.load(), 1);
    EXPECT_EQ(eng().song.size(), 150000u);
    const Engine& er = *static_cast<const Engine*>(plug::from(ref.plugin())->engine);
    EXPECT_EQ(eng().clock, er.clock);
    EXPECT_EQ(eng().step, er.step);
    EXPECT_EQ(eng().nextStep, er.nextStep);
}

}  // namespace
}  // namespace brs::ptest
