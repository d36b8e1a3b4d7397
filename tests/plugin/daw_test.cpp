// daw_test.cpp: playing along with a DAW, through host/ and the real .clap:
// the host's song position, jumps and loops; note names; the tail; offline
// rendering with the instance lock busy; remote-control pages; patterns
// selected by notes.
#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>

#include "engine/engine.h"
#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

// ---- the default groove, as the reference knows it -----------------------------

struct GrooveHit {
    uint64_t track;
    int step;
    int rat;
};
// Pattern 0 of a fresh instance (kick, bass, hat, stab).
const GrooveHit GROOVE[] = {
    {0, 0, 1},  {0, 4, 1},  {0, 8, 1},  {0, 12, 1}, {1, 2, 1},  {1, 6, 1},  {1, 7, 1},  {1, 10, 1},
    {1, 14, 1}, {4, 1, 1},  {4, 3, 1},  {4, 5, 1},  {4, 7, 1},  {4, 9, 1},  {4, 11, 1}, {4, 13, 1},
    {4, 15, 2}, {5, 4, 1},  {5, 12, 1},
};

// One voice start: track and the frame (fractional) since the first block.
struct Hit {
    uint64_t track;
    double frame;
};
bool operator<(const Hit& a, const Hit& b) { return a.frame < b.frame || (a.frame == b.frame && a.track < b.track); }

// Where the reference puts every hit of sixteenths [from, to) when position
// `beats0` lies at frame `frame0`, at bpm and rate, swing in percent.
std::vector<Hit> reference(const GrooveHit* groove, size_t count, double beats0, double frame0, long from, long to,
                           double bpm, double rate, double swing = 0.0) {
    std::vector<Hit> out;
    const double stepFrames = 60.0 / bpm / 4.0 * rate;
    for (long k = from; k < to; ++k) {
        for (size_t g = 0; g < count; ++g) {
            if (groove[g].step != int(k % 16)) continue;
            const double late = (k % 2) ? swing / 100.0 : 0.0;
            for (int r = 0; r < groove[g].rat; ++r)
                out.push_back({groove[g].track,
                               frame0 + (double(k) + late + double(r) / groove[g].rat - beats0 * 4.0) * stepFrames});
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}
std::vector<Hit> reference(double beats0, double frame0, long from, long to, double bpm, double rate,
                           double swing = 0.0) {
    return reference(GROOVE, std::size(GROOVE), beats0, frame0, from, to, bpm, rate, swing);
}

// Compares hit lists, frames to within a tenth of a frame (the voices' own
// clocks are single precision); a step in the wrong place is a frame or more off.
::testing::AssertionResult same_hits(const std::vector<Hit>& got, const std::vector<Hit>& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " hits instead of " << want.size()
                                             << (got.empty() ? "" : ", first at " + std::to_string(got[0].frame))
                                             << (want.empty() ? "" : ", expected first at " + std::to_string(want[0].frame));
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i].track != want[i].track || std::fabs(got[i].frame - want[i].frame) > 0.1)
            return ::testing::AssertionFailure() << "hit " << i << ": track " << got[i].track << " at " << got[i].frame
                                                 << ", expected track " << want[i].track << " at " << want[i].frame;
    return ::testing::AssertionSuccess();
}

class DawTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        setSong = reinterpret_cast<decltype(setSong)>(host.symbol("brskern_set_song"));
        setStep = reinterpret_cast<decltype(setStep)>(host.symbol("brskern_set_step"));
        pat = reinterpret_cast<decltype(pat)>(host.symbol("brskern_pat"));
        ASSERT_TRUE(setSong && setStep && pat);
    }

    // A DAW's transport at 175 BPM with a beats timeline.
    static host::Transport daw(double beats, bool playing = true, bool bar = false) {
        host::Transport t;
        t.playing = playing;
        t.tempo = 175.0;
        t.hasBeats = true;
        t.beats = beats;
        t.hasBar = bar;
        t.advance = true;
        return t;
    }

    // Runs `frames` in blocks of `block` (the last one shorter), recording
    // every voice start. With splitAtLoop the host ends a block at its loop's
    // end, as some hosts do; otherwise the loop wraps inside blocks.
    // before(done) runs ahead of each block (a host that moves its position
    // its own way).
    std::vector<Hit> play(uint64_t frames, uint32_t block, bool splitAtLoop = false,
                          const std::function<void(uint64_t)>& before = nullptr) {
        std::vector<Hit> hits;
        const double rate = double(engine()->sampleRate);
        for (uint64_t done = 0; done < frames;) {
            if (before) before(done);
            uint32_t n = uint32_t(std::min<uint64_t>(block, frames - done));
            const host::Transport& t = host.transport();
            if (splitAtLoop && t.loop && t.beats < t.loopEnd) {
                const double left = (t.loopEnd - t.beats) * 60.0 / t.tempo * rate;
                if (left < n) n = std::max<uint32_t>(1, uint32_t(std::ceil(left - 1e-9)));
            }
            run(n);
            // Voices started in this block (or pending from the last one) are
            // younger than the block; each is kept once.
            for (const brs::Voice& v : engine()->voices) {
                if (!(double(v.t) * rate < double(n) + 0.5)) continue;
                const Hit h{v.track, double(done + n) - double(v.t) * rate};
                bool known = false;
                for (size_t i = hits.size(); i-- > 0 && hits[i].frame > h.frame - 2.0 * block;)
                    if (hits[i].track == h.track && std::fabs(hits[i].frame - h.frame) < 0.5) known = true;
                if (!known) hits.push_back(h);
            }
            done += n;
        }
        std::sort(hits.begin(), hits.end());
        return hits;
    }

    // The hits inside frames [from, to).
    static std::vector<Hit> window(const std::vector<Hit>& hits, double from, double to) {
        std::vector<Hit> out;
        for (const Hit& h : hits)
            if (h.frame >= from && h.frame < to) out.push_back(h);
        return out;
    }

    void (*setSong)(brskern_t, const uint8_t*, size_t) = nullptr;
    void (*setStep)(brskern_t, uint32_t, uint32_t, uint32_t, int, int, int, int, int, int) = nullptr;
    int32_t (*pat)(brskern_t) = nullptr;
};

constexpr double RATE = 48000.0;
constexpr double BPM = 175.0;
const double STEP = 60.0 / BPM / 4.0 * RATE;  // frames per sixteenth
const double BAR = 16.0 * STEP;

// ---- the host's position -----------------------------------------------------------------

// A start anywhere fires the step lying there at the frame the host gives
// for it, and every later step on the host's grid, whatever the block size
// and whether or not the host sends bar information.
TEST_F(DawTest, StartAtAnyPositionFiresEachStepAtTheHostsFrame) {
    activate(RATE, 1024);
    struct Case {
        double beats;
        const char* what;
    };
    const Case cases[] = {
        {0.0, "song start"}, {2.5, "beat 2.5: step 10"}, {3.3, "inside step 13"},
        {7.0, "second bar, beat 3"}, {-1.0, "pre-roll, one beat before 0"}, {37.75, "bar 10, step 15 with its ratchet"},
    };
    const uint32_t blocks[] = {32, 64, 256, 1000};
    for (const Case& c : cases)
        for (uint32_t block : blocks)
            for (bool bar : {false, true}) {
                SCOPED_TRACE(testing::Message() << c.what << ", blocks of " << block << (bar ? ", bar info" : ""));
                host.setTransport(daw(c.beats, false, bar));
                run(block);  // stopped: nothing plays
                host.setTransport(daw(c.beats, true, bar));
                // The frames count from the first playing block.
                std::vector<Hit> got = play(uint64_t(2.5 * BAR), block);
                const long first = long(std::ceil(c.beats * 4.0 - 1e-9)) < 0 ? 0 : long(std::ceil(c.beats * 4.0 - 1e-9));
                const long last = long(std::floor(c.beats * 4.0 + 2.0 * 16.0));
                EXPECT_TRUE(same_hits(window(got, -0.5, 2.0 * BAR - 0.5),
                                      window(reference(c.beats, 0.0, first, last + 2, BPM, RATE), -0.5, 2.0 * BAR - 0.5)));
                host.setTransport(daw(0.0, false));
                run(block);
                host.reset();
            }
}

// Swing as usual: a start inside an odd step whose swung hit still lies
// ahead plays that hit, late by the swing.
TEST_F(DawTest, StartInsideASwungStepStillPlaysItsLateHit) {
    activate(RATE, 1024);
    host.setParam(1002, 50.0);
    for (uint32_t block : {64u, 1000u}) {
        SCOPED_TRACE(block);
        host.setTransport(daw(0.3, true));  // step 1 lies at 0.25, its swung hit at 0.375
        const std::vector<Hit> got = play(uint64_t(BAR), block);
        EXPECT_TRUE(same_hits(window(got, -0.5, BAR - STEP), window(reference(0.3, 0.0, 1, 20, BPM, RATE, 50.0), 0.0, BAR - STEP)));
        host.setTransport(daw(0.0, false));
        run(block);
        host.reset();
    }
}

// A one-bar host loop over the 16-step pattern at 175 BPM plays the same steps
// at the same frames on every pass, for hosts that wrap inside a block and for
// hosts that end the block at the loop's end.
TEST_F(DawTest, OneBarLoopRepeatsTheSameStepsOnEveryPass) {
    activate(RATE, 1024);
    for (bool split : {false, true})
        for (uint32_t block : {32u, 256u, 333u, 1000u}) {
            SCOPED_TRACE(testing::Message() << "blocks of " << block << (split ? ", split at the loop's end" : ""));
            host::Transport t = daw(2.0);  // starts half a bar before the loop
            t.loop = true;
            t.loopStart = 4.0;
            t.loopEnd = 8.0;
            host.setTransport(t);
            const double lead = 2.0 * 4.0 * STEP;  // frames until the loop's start
            const std::vector<Hit> got = play(uint64_t(lead + 4.0 * BAR), block, split);
            const std::vector<Hit> once = reference(4.0, 0.0, 16, 32, BPM, RATE);
            for (int pass = 0; pass < 4; ++pass) {
                SCOPED_TRACE(pass);
                std::vector<Hit> w = window(got, lead + pass * BAR - 0.5, lead + (pass + 1) * BAR - 0.5);
                for (Hit& h : w) h.frame -= lead + pass * BAR;
                EXPECT_TRUE(same_hits(w, once));
            }
            host.setTransport(daw(0.0, false));
            run(block);
            host.reset();
        }
}

// With a song chain, a loop over its second bar plays the second entry's
// pattern on every pass, and a start inside the chain finds its entry.
TEST_F(DawTest, SongChainEntryFollowsFromWholePatternsSincePositionZero) {
    activate(RATE, 1024);
    // Pattern 1: the kick on every fourth step from step 2; the chain plays
    // pattern 0 twice, then pattern 1 once.
    for (uint32_t s : {2u, 6u, 10u, 14u}) setStep(engine(), 1, 0, s, 1, 0, 0, 1, 0, 0);
    const uint8_t song[] = {0, 2, 1, 1};
    setSong(engine(), song, sizeof song);
    const GrooveHit p1[] = {{0, 2, 1}, {0, 6, 1}, {0, 10, 1}, {0, 14, 1}};

    for (uint32_t block : {64u, 1000u}) {
        SCOPED_TRACE(block);
        // The loop over bar 3 (beats 8..12): pattern 1 on every pass.
        host::Transport t = daw(8.0);
        t.loop = true;
        t.loopStart = 8.0;
        t.loopEnd = 12.0;
        host.setTransport(t);
        const std::vector<Hit> got = play(uint64_t(3.0 * BAR), block);
        for (int pass = 0; pass < 3; ++pass) {
            std::vector<Hit> w = window(got, pass * BAR - 0.5, (pass + 1) * BAR - 0.5);
            for (Hit& h : w) h.frame -= pass * BAR;
            EXPECT_TRUE(same_hits(w, reference(p1, std::size(p1), 8.0, 0.0, 32, 48, BPM, RATE))) << "pass " << pass;
        }
        host.setTransport(daw(0.0, false));
        run(block);
        host.reset();

        // A start in bar 5 (the chain's second pass of pattern 0): step 0 of pattern 0.
        host.setTransport(daw(16.0));
        const std::vector<Hit> g2 = play(uint64_t(BAR), block);
        EXPECT_TRUE(same_hits(window(g2, -0.5, BAR - 1.0), window(reference(16.0, 0.0, 64, 80, BPM, RATE), 0.0, BAR - 1.0)));
        EXPECT_EQ(pat(engine()), 1);  // that pass ended: the chain moved on
        host.setTransport(daw(0.0, false));
        run(block);
        host.reset();
    }
}

// A click in the timeline while playing moves the sequencer there; small
// differences (the host's rounding, a position that jitters) do not, so no
// step fires twice or goes missing.
TEST_F(DawTest, JumpWhilePlayingMovesTheSequencerSmallDifferencesDoNot) {
    activate(RATE, 1024);
    const uint32_t block = 256;
    host.setTransport(daw(0.0));
    play(uint64_t(BAR / 2), block);
    host::Transport t = host.transport();
    t.beats = 21.0;  // bar 6, beat 2
    host.setTransport(t);
    const std::vector<Hit> after = play(uint64_t(BAR), block);
    EXPECT_TRUE(same_hits(window(after, -0.5, BAR - 1.0), window(reference(21.0, 0.0, 84, 100, BPM, RATE), 0.0, BAR - 1.0)));
    host.setTransport(daw(0.0, false));
    run(block);
    host.reset();

    // A host whose position wobbles by 1/512 beat (32 frames) around the true one.
    t = daw(0.0);
    t.advance = false;
    const std::vector<Hit> wobbly = play(uint64_t(2 * BAR), 64, false, [&](uint64_t done) {
        t.beats = double(done) * BPM / 60.0 / RATE + double(int((done / 64 + 1) % 3) - 1) / 512.0;
        host.setTransport(t);
    });
    EXPECT_TRUE(same_hits(window(wobbly, -0.5, 2 * BAR - 1.0), window(reference(0.0, 0.0, 0, 40, BPM, RATE), 0.0, 2 * BAR - 1.0)));
}

// With the setting off, without a timeline, or with "Sequencer folgt Host"
// off, a start plays from step 0 at the first playing frame, as before.
TEST_F(DawTest, SettingOffOrNoTimelineStartsAtStepZeroAsBefore) {
    activate(RATE, 1024);
    const std::vector<Hit> fromZero = window(reference(0.0, 0.0, 0, 16, BPM, RATE), 0.0, BAR - 1.0);
    struct Case {
        bool posFollow;
        bool beats;
        const char* what;
    };
    for (const Case c : {Case{false, true, "setting off"}, Case{true, false, "no beats timeline"}}) {
        SCOPED_TRACE(c.what);
        plug()->posFollow = c.posFollow;
        host::Transport t = daw(2.5);
        t.hasBeats = c.beats;
        host.setTransport(t);
        const std::vector<Hit> got = play(uint64_t(BAR), 256);
        EXPECT_TRUE(same_hits(window(got, -0.5, BAR - 1.0), fromZero));
        host.setTransport(daw(0.0, false));
        run(256);
        host.reset();
    }
    plug()->posFollow = true;
}

// The setting is stored in the state: on for a new instance, kept through a
// save and load, off for states saved before it existed.
TEST_F(DawTest, SettingIsStoredOldStatesLoadWithItOff) {
    EXPECT_TRUE(plug()->posFollow.load());
    const std::string fresh = stateText();
    EXPECT_NE(fresh.find("\"hostPos\":1"), std::string::npos);
    plug()->posFollow = false;
    const std::string off = stateText();
    EXPECT_NE(off.find("\"hostPos\":0"), std::string::npos);
    ASSERT_TRUE(host.loadState(fresh));
    EXPECT_TRUE(plug()->posFollow.load());
    ASSERT_TRUE(host.loadState(off));
    EXPECT_FALSE(plug()->posFollow.load());
    ASSERT_TRUE(host.loadState(fresh));
    const std::string set = setText();
    for (const std::string& old : {set + "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1}", set}) {
        plug()->posFollow = true;
        ASSERT_TRUE(host.loadState(old));
        EXPECT_FALSE(plug()->posFollow.load()) << old.substr(set.size());
    }
}

// ---- note names ---------------------------------------------------------------------

TEST_F(DawTest, NoteNamesNameTheTracksAndThePatternKeys) {
    auto* nn = static_cast<const clap_plugin_note_name_t*>(host.extension(CLAP_EXT_NOTE_NAME));
    ASSERT_TRUE(nn);
    const std::pair<int, const char*> want[] = {
        {36, "Kick"},      {37, "Bass"},      {38, "Hoover"},    {39, "Break"},     {40, "Hat"},
        {41, "Stab"},      {48, "Pattern 1"}, {49, "Pattern 2"}, {50, "Pattern 3"}, {51, "Pattern 4"},
        {52, "Pattern 5"}, {53, "Pattern 6"}, {54, "Pattern 7"}, {55, "Pattern 8"},
    };
    ASSERT_EQ(nn->count(host.plugin()), std::size(want));
    for (uint32_t i = 0; i < std::size(want); ++i) {
        clap_note_name_t n;
        std::memset(&n, 0x55, sizeof n);
        ASSERT_TRUE(nn->get(host.plugin(), i, &n));
        EXPECT_EQ(n.key, want[i].first);
        EXPECT_STREQ(n.name, want[i].second);
        EXPECT_EQ(n.channel, -1);
        EXPECT_EQ(n.port, -1);
    }
    clap_note_name_t n;
    EXPECT_FALSE(nn->get(host.plugin(), uint32_t(std::size(want)), &n));
    EXPECT_FALSE(nn->get(host.plugin(), 0, nullptr));
}

// ---- tail ----------------------------------------------------------------------------------

// The host's tail extension, counting the plug-in's calls.
struct TailHost {
    static inline std::atomic<int> changed{0};
    static void on_changed(const clap_host_t*) { ++changed; }
    static inline const clap_host_tail_t EXT = {on_changed};
};

TEST_F(DawTest, TailFollowsTheEffectsAndIsEndlessWhileTheSequencerRuns) {
    // An instance made by a host that offers the tail extension (a plug-in
    // looks host extensions up at init).
    host.destroy();
    host.setExtensionProvider([](const char* id) -> const void* {
        return std::strcmp(id, CLAP_EXT_TAIL) == 0 ? &TailHost::EXT : nullptr;
    });
    ASSERT_TRUE(host.create());
    activate(RATE, 512);
    auto* tail = static_cast<const clap_plugin_tail_t*>(host.extension(CLAP_EXT_TAIL));
    ASSERT_TRUE(tail);
    // Seconds for -60 dB: the longest voice (hoover: decay + 0.2 s), then the
    // longer of the delay's echoes and the reverb's ring (longest comb at
    // 48 kHz: 1475 samples, all-passes 605 + 480).
    auto expect = [](double delayTime, double fb, double size, double hooverDecay) {
        const double delay = fb > 1e-3 ? delayTime * (1.0 + std::log(1e-3) / std::log(fb)) : delayTime;
        const double g = size * 0.28 + 0.7;
        const double reverb = 1475.0 / RATE * (1.0 + std::log(1e-3) / std::log(g)) + 1085.0 / RATE;
        const double voice = std::max(hooverDecay + 0.2, 0.4);  // else the kick: decay 0.35 + 0.05 s
        return (voice + std::max(delay, reverb)) * RATE;
    };
    struct Case {
        double time, fb, size, decay;
    };
    const Case cases[] = {{0.375, 0.4, 0.8, 0.5}, {1.5, 0.9, 0.8, 0.5}, {0.1, 0.0, 1.0, 2.0}, {0.02, 0.0, 0.0, 0.01}};
    uint32_t last = tail->get(host.plugin());
    for (const Case& c : cases) {
        host.setParam(1003, c.time);
        host.setParam(1004, c.fb);
        host.setParam(1005, c.size);
        host.setParam(2 * 16 + 3, c.decay);  // hoover decay
        TailHost::changed = 0;
        run(64);  // the block works the tail out
        const uint32_t v = tail->get(host.plugin());
        const double delayTime = double(float(c.time)), fb = double(float(c.fb)), size = double(float(c.size));
        EXPECT_NEAR(double(v), expect(delayTime, fb, size, double(float(c.decay))), 2.0) << c.time << " " << c.fb;
        // The host is told once the new value has held for a quarter second.
        EXPECT_EQ(TailHost::changed.load(), 0);
        for (int b = 0; b < 200; ++b) run(64);
        EXPECT_EQ(TailHost::changed.load(), v != last ? 1 : 0);
        last = v;
    }
    // A drag that moves the tail every block: one notice, after it ends.
    TailHost::changed = 0;
    for (int b = 0; b < 300; ++b) {
        host.setParam(1003, 0.1 + 0.005 * b);
        run(64);
    }
    EXPECT_EQ(TailHost::changed.load(), 0);
    for (int b = 0; b < 200; ++b) run(64);
    EXPECT_EQ(TailHost::changed.load(), 1);
    last = tail->get(host.plugin());

    // Endless while the sequencer runs; back when it stops.
    host.setTransport({true, true, true, 175.0});
    run(64);
    EXPECT_EQ(tail->get(host.plugin()), uint32_t(INT32_MAX));
    host.setTransport({true, false, true, 175.0});
    run(64);
    EXPECT_EQ(tail->get(host.plugin()), last);

    // A state load never calls the host's tail extension itself (it is for
    // the audio thread, and a VST3 host may have no handler yet).
    const std::string state = stateText();
    host.setParam(1004, 0.95);
    run(64);
    TailHost::changed = 0;
    ASSERT_TRUE(host.loadState(state));
    EXPECT_EQ(TailHost::changed.load(), 0);
    for (int b = 0; b < 200; ++b) run(64);  // the blocks after it tell the host
    EXPECT_EQ(TailHost::changed.load(), 1);
}

// ---- offline rendering --------------------------------------------------------------------------

// Offline, a block that meets the instance lock busy waits for it: the
// bounce is the same, sample for sample, as one that never met the lock.
// Real time keeps skipping (silence).
TEST_F(DawTest, OfflineBlocksWaitForTheLockAndRenderTheSame) {
    auto* render = static_cast<const clap_plugin_render_t*>(host.extension(CLAP_EXT_RENDER));
    ASSERT_TRUE(render);
    EXPECT_FALSE(render->has_hard_realtime_requirement(host.plugin()));
    EXPECT_FALSE(render->set(host.plugin(), 7));

    auto bounce = [](bool busy, bool offline) {
        Host h;
        EXPECT_TRUE(open(h));
        auto* r = static_cast<const clap_plugin_render_t*>(h.extension(CLAP_EXT_RENDER));
        EXPECT_TRUE(r->set(h.plugin(), offline ? CLAP_RENDER_OFFLINE : CLAP_RENDER_REALTIME));
        EXPECT_TRUE(h.activate(48000.0, 1, 512));
        EXPECT_TRUE(h.startProcessing());
        h.setTransport({true, true, true, 175.0});
        std::vector<float> all;
        std::vector<float> l(512), r2(512);
        for (int b = 0; b < 40; ++b) {
            std::unique_ptr<LockHeld> held;
            std::thread releaser;
            if (busy && b % 10 == 5) {
                held = std::make_unique<LockHeld>(plug::from(h.plugin())->engineMutex);
                releaser = std::thread([&held] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    held->release();
                });
            }
            h.process(512, l.data(), r2.data());
            if (releaser.joinable()) releaser.join();
            all.insert(all.end(), l.begin(), l.end());
        }
        return all;
    };
    const std::vector<float> clean = bounce(false, true);
    EXPECT_EQ(bounce(true, true), clean);
    EXPECT_NE(bounce(true, false), clean);  // real time: the busy blocks are silent
}

// ---- remote controls ------------------------------------------------------------------------------

TEST_F(DawTest, RemoteControlPagesMatchTheParameterTable) {
    for (const char* id : {CLAP_EXT_REMOTE_CONTROLS, CLAP_EXT_REMOTE_CONTROLS_COMPAT}) {
        auto* rc = static_cast<const clap_plugin_remote_controls_t*>(host.extension(id));
        ASSERT_TRUE(rc) << id;
        ASSERT_EQ(rc->count(host.plugin()), 7u);
        const auto* pa = host.params();
        const char* tracks[] = {"Kick", "Bass", "Hoover", "Break", "Hat", "Stab"};
        for (uint32_t i = 0; i < 7; ++i) {
            clap_remote_controls_page_t page;
            ASSERT_TRUE(rc->get(host.plugin(), i, &page));
            EXPECT_EQ(page.page_id, i);
            EXPECT_FALSE(page.is_for_preset);
            if (i < 6) {
                EXPECT_STREQ(page.page_name, tracks[i]);
                // The editor's columns: the track's parameters in declaration order.
                for (uint32_t k = 0; k < 8; ++k) {
                    clap_param_info_t info;
                    ASSERT_TRUE(pa->get_info(host.plugin(), 8 * i + k, &info));
                    EXPECT_EQ(page.param_ids[k], info.id);
                    EXPECT_STREQ(info.module, tracks[i]);
                }
            } else {
                EXPECT_STREQ(page.page_name, "Summe");
                const char* names[] = {"Summe Zerre", "Summe Pegel", "Swing", "Delay Zeit", "Delay R\u00fcckkopplung",
                                       "Hall Gr\u00f6\u00dfe", "Sequencer folgt Host"};
                for (uint32_t k = 0; k < 7; ++k) {
                    clap_param_info_t info;
                    ASSERT_TRUE(pa->get_info(host.plugin(), 48 + k, &info));
                    EXPECT_EQ(page.param_ids[k], info.id);
                    EXPECT_STREQ(info.name, names[k]);
                }
                EXPECT_EQ(page.param_ids[7], CLAP_INVALID_ID);
            }
        }
        clap_remote_controls_page_t page;
        EXPECT_FALSE(rc->get(host.plugin(), 7, &page));
    }
}

// ---- patterns by note ---------------------------------------------------------------------------------

// Notes 48..55 (CLAP notes or raw MIDI, any channel) select patterns 1..8
// as the pattern buttons do: the value the host reads and is told, and the
// new pattern from the next pattern end on. A silent note selects nothing.
TEST_F(DawTest, NotesFortyEightToFiftyFiveSelectPatternsLikeTheButtons) {
    activate(RATE, 1024);
    struct Case {
        bool midi;
        uint8_t channel;
        int key;
        double velocity;
        double want;  // value of 1007 afterwards
    };
    const Case cases[] = {
        {false, 0, 50, 0.8, 3.0}, {true, 9, 55, 100, 8.0}, {false, 3, 48, 1.0, 1.0},
        {true, 0, 52, 0, 1.0},    {false, 0, 47, 1.0, 1.0}, {false, 0, 56, 1.0, 1.0}, {true, 0, 53, 64, 6.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EventList ev, out;
        if (c.midi)
            ev.midi(10, uint8_t(0x90 | c.channel), uint8_t(c.key), uint8_t(c.velocity));
        else
            ev.noteOn(10, int16_t(c.key), c.velocity, c.channel);
        const size_t voices = engine()->voices.size();
        run(64, &ev, &out);
        EXPECT_EQ(value(1007), c.want);
        EXPECT_EQ(engine()->voices.size(), voices);  // pattern keys play nothing
        bool told = false;
        for (size_t i = 0; i < out.size(); ++i)
            if (out.at(i)->type == CLAP_EVENT_PARAM_VALUE) {
                const auto& e = out.as<clap_event_param_value_t>(i);
                told = e.param_id == 1007 && e.value == c.want && e.header.time == 10;
            }
        const bool selects = c.key >= 48 && c.key <= 55 && c.velocity > 0;
        EXPECT_EQ(told, selects);
    }
    // While playing, a selected pattern takes over at the next pattern end.
    host.setParam(1007, 1.0);
    host.setTransport({true, true, true, 175.0});
    run(1024);
    EXPECT_EQ(pat(engine()), 0);
    EventList ev;
    ev.noteOn(0, 51, 1.0);
    run(1024, &ev);
    EXPECT_EQ(value(1007), 4.0);
    // The pattern end comes with step 15, 60.3 blocks after the start.
    for (int b = 0; b < 57; ++b) run(1024);
    EXPECT_EQ(pat(engine()), 0);
    for (int b = 0; b < 4; ++b) run(1024);
    EXPECT_EQ(pat(engine()), 3);
}

}  // namespace
}  // namespace brs::ptest
