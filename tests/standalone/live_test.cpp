// The standalone program's live side, in process: the MIDI queue, the MIDI
// clock, and the blocks Live hands the plug-in (transport, timed notes, the
// host's transport-control extension and the shell's request to it). The
// plug-in is the shell linked into this test, so its instance record is at
// hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "engine/brskern.h"
#include "host/host.h"
#include "plugin/shell.h"
#include "standalone/live.h"

extern "C" const clap_plugin_entry_t clap_entry;

namespace brs::app {
namespace {

constexpr double RATE = 48000.0;
constexpr uint32_t MAX_FRAMES = 1024;

// ---- MIDI queue --------------------------------------------------------------------

TEST(MidiQueue, KeepsOrderDropsWhenFullAndRefusesOddSizes) {
    auto q = std::make_unique<MidiQueue>();
    const uint8_t empty[1] = {0};
    const uint8_t four[4] = {0x90, 36, 100, 0};
    EXPECT_FALSE(q->push(empty, 0, 0.0));
    EXPECT_FALSE(q->push(four, 4, 0.0));
    EXPECT_FALSE(q->push(nullptr, 3, 0.0));
    for (uint32_t i = 0; i < MidiQueue::CAP + 5; ++i) {
        const uint8_t m[3] = {0x90, static_cast<uint8_t>(i & 0x7f), 1};
        EXPECT_EQ(q->push(m, 3, i), i < MidiQueue::CAP) << i;
    }
    EXPECT_EQ(q->dropped(), 5u);
    MidiMsg m;
    for (uint32_t i = 0; i < MidiQueue::CAP; ++i) {
        ASSERT_TRUE(q->pop(&m));
        EXPECT_EQ(m.b[1], i & 0x7f);
        EXPECT_EQ(m.t, double(i));
        EXPECT_EQ(m.n, 3);
    }
    EXPECT_FALSE(q->pop(&m));
    // One-byte messages keep their length; the rest of the bytes are zero.
    const uint8_t start[1] = {0xFA};
    ASSERT_TRUE(q->push(start, 1, 0.0));
    ASSERT_TRUE(q->pop(&m));
    EXPECT_EQ(m.n, 1);
    EXPECT_EQ(m.b[1], 0);
}

TEST(MidiQueue, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder) {
    auto q = std::make_unique<MidiQueue>();
    constexpr int PRODUCERS = 4, EACH = 20000;
    std::vector<std::thread> ts;
    std::atomic<int> done{0};
    for (int p = 0; p < PRODUCERS; ++p)
        ts.emplace_back([&, p] {
            for (int i = 0; i < EACH; ++i) {
                const uint8_t m[3] = {static_cast<uint8_t>(0x90 + p), static_cast<uint8_t>(i & 0x7f),
                                      static_cast<uint8_t>((i >> 7) & 0x7f)};
                while (!q->push(m, 3, i)) std::this_thread::yield();
            }
            done.fetch_add(1);
        });
    int last[PRODUCERS];
    std::fill(last, last + PRODUCERS, -1);
    long got = 0;
    MidiMsg m;
    while (got < long(PRODUCERS) * EACH) {
        if (!q->pop(&m)) {
            std::this_thread::yield();
            continue;
        }
        const int p = m.b[0] - 0x90;
        ASSERT_GE(p, 0);
        ASSERT_LT(p, PRODUCERS);
        const int i = int(m.t);
        ASSERT_EQ(i, last[p] + 1) << "producer " << p;
        ASSERT_EQ(m.b[1], i & 0x7f);
        last[p] = i;
        ++got;
    }
    for (auto& t : ts) t.join();
    EXPECT_FALSE(q->pop(&m));
}

// ---- MIDI clock -----------------------------------------------------------------------

TEST(ClockFollower, TempoFromOneBeatOfTicksOnAnyTempo) {
    for (double bpm : {60.0, 120.0, 175.0, 200.5, 260.0}) {
        ClockFollower c;
        const double dt = 60.0 / (bpm * 24.0);
        for (int i = 0; i < 24; ++i) c.tick(10.0 + i * dt);
        EXPECT_EQ(c.tempo(), 0.0) << bpm << ": less than one beat of ticks";
        for (int i = 24; i < 200; ++i) c.tick(10.0 + i * dt);
        EXPECT_NEAR(c.tempo(), bpm, 0.051) << bpm;
    }
}

TEST(ClockFollower, JitterAveragesOutGapsAndBackwardTimesStartAnew) {
    ClockFollower c;
    const double dt = 60.0 / (150.0 * 24.0);
    uint32_t seed = 12345;
    for (int i = 0; i < 100; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double jitter = ((seed >> 8) / double(1 << 24) - 0.5) * 0.002;  // +-1 ms
        c.tick(i * dt + jitter);
    }
    EXPECT_NEAR(c.tempo(), 150.0, 1.0) << "seed 12345";
    c.tick(100 * dt + 0.6);  // the clock paused
    EXPECT_EQ(c.tempo(), 0.0);
    ClockFollower b;
    for (int i = 0; i < 30; ++i) b.tick(i * dt);
    ASSERT_GT(b.tempo(), 0.0);
    b.tick(0.0);  // another source, another clock
    EXPECT_EQ(b.tempo(), 0.0);
}

// ---- Live with the plug-in --------------------------------------------------------------

class LiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        h_.setExtensionProvider(app_extension);
        ASSERT_TRUE(h_.attach(&clap_entry));
        ASSERT_TRUE(h_.create());
        ASSERT_TRUE(h_.activate(RATE, 1, MAX_FRAMES));
        ASSERT_TRUE(h_.startProcessing());
        live_ = std::make_unique<Live>(h_, MAX_FRAMES, RATE);
        set_transport_target(live_.get());
    }
    void TearDown() override {
        set_transport_target(nullptr);
        h_.stopProcessing();
    }
    plug::Plug& plug() { return *plug::from(h_.plugin()); }

    // Runs `frames` frames in device blocks of `block`; returns the left channel.
    std::vector<float> run(uint32_t frames, uint32_t block = 256, const std::vector<MidiMsg>& timed = {}) {
        std::vector<float> out(frames), right(block);
        for (uint32_t off = 0; off < frames; off += block) {
            const uint32_t n = std::min(block, frames - off);
            std::vector<MidiMsg> mine;
            for (MidiMsg m : timed)
                if (m.frame >= off && m.frame < off + n) {
                    m.frame -= off;
                    mine.push_back(m);
                }
            live_->process(n, out.data() + off, right.data(), mine.data(), mine.size());
        }
        return out;
    }
    static long first_sound(const std::vector<float>& x, float above = 1e-6f) {
        for (size_t i = 0; i < x.size(); ++i)
            if (std::fabs(x[i]) > above) return long(i);
        return -1;
    }
    static MidiMsg msg(uint32_t frame, uint8_t a, uint8_t b = 0, uint8_t c = 0, double t = 0.0) {
        MidiMsg m{};
        m.b[0] = a;
        m.b[1] = b;
        m.b[2] = c;
        m.n = a >= 0xF0 ? 1 : 3;
        m.frame = frame;
        m.t = t;
        return m;
    }

    host::Host h_;
    std::unique_ptr<Live> live_;
};

TEST_F(LiveTest, SilentUntilStartedThenPlaysThenStops) {
    EXPECT_EQ(first_sound(run(24000)), -1) << "the default groove must wait for the transport";
    EXPECT_FALSE(live_->playing());
    live_->requestPlay(true);
    auto played = run(24000);
    EXPECT_TRUE(live_->playing());
    EXPECT_GE(first_sound(played), 0);
    EXPECT_LT(first_sound(played), 64) << "step 0 fires at the first sample of the started block";
    EXPECT_TRUE(brskern_playing(plug().engine));
    live_->requestToggle();
    run(256);
    EXPECT_FALSE(live_->playing());
    EXPECT_FALSE(brskern_playing(plug().engine));
    live_->requestToggle();
    run(256);
    EXPECT_TRUE(brskern_playing(plug().engine));
}

TEST_F(LiveTest, TimedNotesPlayAtTheirFrameAcrossPiecesOfALongDeviceBlock) {
    // A device block of 4096 frames goes to the plug-in in pieces of 1024; a
    // note at frame 2500 sounds there, and key 42 plays nothing.
    struct Case {
        uint8_t key;
        uint32_t frame;
        long expect;
    };
    for (const Case& c : {Case{42, 100, -1}, Case{36, 2500, 2500}, Case{38, 100, 100}, Case{41, 4095, 4095}}) {
        auto x = run(4096, 4096, {msg(c.frame, 0x90, c.key, 100)});
        long at = first_sound(x);
        if (c.expect < 0) {
            EXPECT_EQ(at, -1) << int(c.key);
        } else {
            EXPECT_GE(at, c.expect) << int(c.key);
            EXPECT_LE(at, c.expect + 8) << int(c.key);
        }
        run(48000 * 6, 4096);  // let it ring out
    }
}

TEST_F(LiveTest, QueuedMidiPlaysAtTheBlockStartAndStartStopMoveTheTransport) {
    const uint8_t note[3] = {0x99, 37, 127};
    ASSERT_TRUE(live_->queue().push(note, 3, 0.0));
    auto x = run(256);
    EXPECT_GE(first_sound(x), 0);
    EXPECT_LT(first_sound(x), 8);
    EXPECT_EQ(live_->midiIn.load(), 1u);

    const uint8_t start[1] = {0xFA}, stop[1] = {0xFC}, cont[1] = {0xFB};
    live_->queue().push(start, 1, 0.0);
    run(256);
    EXPECT_TRUE(live_->playing());
    EXPECT_TRUE(brskern_playing(plug().engine));
    live_->queue().push(stop, 1, 0.0);
    run(256, 256, {msg(10, 0xF8, 0, 0, 1.0)});  // a lone clock tick changes nothing
    EXPECT_FALSE(live_->playing());
    EXPECT_FALSE(brskern_playing(plug().engine));
    live_->queue().push(cont, 1, 0.0);
    run(256);
    EXPECT_TRUE(live_->playing());
}

TEST_F(LiveTest, WithoutFollowingTheHostTheTransportStillRunsTheSequencer) {
    // "Sequencer folgt Host" off: the transport alone would not start the
    // sequencer, so Live sends MIDI Start and Stop with each change.
    h_.setParam(1006, 0.0);
    live_->setFollow(false);
    live_->requestPlay(true);
    run(512);
    EXPECT_TRUE(brskern_playing(plug().engine));
    live_->requestPlay(false);
    run(512);
    EXPECT_FALSE(brskern_playing(plug().engine));
}

TEST_F(LiveTest, TempoComesFromTheOptionOrTheClockElseTheSetKeepsItsOwn) {
    run(256);
    EXPECT_FALSE(h_.transport().hasTempo) << "no tempo of the host's own: the set's tempo stands";
    EXPECT_TRUE(h_.transport().present);

    // A clock at 150 BPM: 24 ticks per beat, ticks spread over the blocks.
    const double dt = 60.0 / (150.0 * 24.0);
    const uint32_t block = 256;
    std::vector<MidiMsg> ticks;
    for (int i = 0; i < 96; ++i) {
        const double t = i * dt;
        ticks.push_back(msg(uint32_t(t * RATE), 0xF8, 0, 0, t));
    }
    run(uint32_t(96 * dt * RATE) + block, block, ticks);
    EXPECT_TRUE(h_.transport().hasTempo);
    EXPECT_NEAR(h_.transport().tempo, 150.0, 0.11);
    EXPECT_NEAR(live_->clockTempo(), 150.0, 0.11);
    EXPECT_NEAR(brskern_get_param(plug().engine, 6, "bpm"), 150.0, 0.11);

    // The clock stops: after half a second the set's tempo stands again.
    run(uint32_t(0.6 * RATE));
    EXPECT_FALSE(h_.transport().hasTempo);
    EXPECT_EQ(live_->clockTempo(), 0.0);

    // A fixed tempo wins over the clock.
    live_->setFixedTempo(133.0);
    run(uint32_t(96 * dt * RATE) + block, block, ticks);
    EXPECT_TRUE(h_.transport().hasTempo);
    EXPECT_EQ(h_.transport().tempo, 133.0);
    EXPECT_NEAR(brskern_get_param(plug().engine, 6, "bpm"), 133.0, 1e-3);

    // Clock following switched off: ticks are ignored.
    live_->setFixedTempo(0.0);
    live_->setFollowClock(false);
    run(uint32_t(0.6 * RATE));
    run(uint32_t(96 * dt * RATE) + block, block, ticks);
    EXPECT_FALSE(h_.transport().hasTempo);
}

TEST_F(LiveTest, ThePlugInAsksTheProgramsTransportThroughTransportControl) {
    plug::Plug& p = plug();
    EXPECT_TRUE(plug::request_host_transport(p, true));
    run(256);
    EXPECT_TRUE(live_->playing());
    EXPECT_TRUE(brskern_playing(p.engine));
    EXPECT_TRUE(plug::request_host_transport(p, true)) << "start while playing keeps playing";
    run(256);
    EXPECT_TRUE(live_->playing());
    EXPECT_TRUE(plug::request_host_transport(p, false));
    run(256);
    EXPECT_FALSE(live_->playing());
    EXPECT_FALSE(brskern_playing(p.engine));

    // Every request of the table lands on the program's transport or is
    // taken without effect (no song position, loop or recording).
    const auto* tc = static_cast<const clap_host_transport_control_t*>(
        h_.clapHost()->get_extension(h_.clapHost(), CLAP_EXT_TRANSPORT_CONTROL));
    ASSERT_EQ(tc, transport_control());
    ASSERT_EQ(h_.clapHost()->get_extension(h_.clapHost(), "clap.transport-control"), tc);
    tc->request_toggle_play(h_.clapHost());
    run(256);
    EXPECT_TRUE(live_->playing());
    tc->request_pause(h_.clapHost());
    run(256);
    EXPECT_FALSE(live_->playing());
    tc->request_continue(h_.clapHost());
    tc->request_jump(h_.clapHost(), 0);
    tc->request_loop_region(h_.clapHost(), 0, 1);
    tc->request_toggle_loop(h_.clapHost());
    tc->request_enable_loop(h_.clapHost(), true);
    tc->request_record(h_.clapHost(), true);
    tc->request_toggle_record(h_.clapHost());
    run(256);
    EXPECT_TRUE(live_->playing());
}

TEST(RequestHostTransport, FalseWhenTheHostOffersNoTransportControl) {
    host::Host h;  // no extension provider: the host has no transport control
    ASSERT_TRUE(h.attach(&clap_entry));
    ASSERT_TRUE(h.create());
    plug::Plug& p = *plug::from(h.plugin());
    EXPECT_FALSE(plug::request_host_transport(p, true));
    EXPECT_FALSE(plug::request_host_transport(p, false));
    h.offerExtensions(false);
    EXPECT_FALSE(plug::request_host_transport(p, true));
    // A table whose start entry is missing is not taken either.
    static clap_host_transport_control_t partial{};
    host::Host h2;
    h2.setExtensionProvider([](const char* id) -> const void* {
        return std::string(id) == CLAP_EXT_TRANSPORT_CONTROL ? &partial : nullptr;
    });
    ASSERT_TRUE(h2.attach(&clap_entry));
    ASSERT_TRUE(h2.create());
    EXPECT_FALSE(plug::request_host_transport(*plug::from(h2.plugin()), true));
}

}  // namespace
}  // namespace brs::app
