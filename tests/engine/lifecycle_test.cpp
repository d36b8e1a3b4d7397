// Engine construction and defaults, sample-rate safety, the render loop's
// bookkeeping (clock, voice list, seeds, lengths, retirement) and the
// floating-point state around brskern_process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>
#include <xmmintrin.h>

#include "engine_fixture.h"

using namespace brstest;

TEST(EngineDefaults, FreshEngineHoldsTheDocumentedState) {
    auto e = makeEngine(44100.0f);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->sampleRate, 44100.0f);
    EXPECT_EQ(e->bpm, 175.0f);
    EXPECT_EQ(e->swing, 0.0f);
    EXPECT_EQ(e->len, 16u);
    EXPECT_FALSE(e->chain);
    EXPECT_EQ(e->masterDrive, 0.15f);
    EXPECT_EQ(e->masterLevel, 0.85f);
    EXPECT_EQ(brskern_step(e.get()), 0);
    EXPECT_EQ(brskern_pat(e.get()), 0);
    EXPECT_FALSE(brskern_playing(e.get()));
    EXPECT_EQ(e->clock, 0.0);
    EXPECT_EQ(e->nextStep, 0.0);
    EXPECT_TRUE(e->song.empty());
    EXPECT_TRUE(e->voices.empty());
    EXPECT_GE(e->voices.capacity(), brs::MAX_VOICES);
    EXPECT_EQ(e->limiterGain, 1.0f);
    EXPECT_EQ(e->fx.delayTime, 0.375f);
    EXPECT_EQ(e->fx.delayFb, 0.4f);
    EXPECT_EQ(e->fx.reverbSize, 0.8f);
    EXPECT_EQ(e->fx.dl.size(), 88200u);
    EXPECT_TRUE(e->autoOn);
    ASSERT_EQ(e->autom.size(), brs::AUTOM_SIZE);
    for (float v : e->autom) ASSERT_TRUE(std::isnan(v));
    for (int t = 0; t < 6; ++t) EXPECT_FALSE(e->mute[t]);

    // A few table entries per track, and one row in full.
    const float cut[6] = {400, 400, 1800, 12000, 8000, 1200};
    const float decay[6] = {0.35f, 0.25f, 0.5f, 0.35f, 0.05f, 0.2f};
    const float level[6] = {0.9f, 0.7f, 0.6f, 0.8f, 0.5f, 0.5f};
    const float drive[6] = {0.6f, 0.3f, 0.3f, 0.6f, 0.6f, 0.6f};
    const float res[6] = {6, 6, 3, 6, 6, 6};
    for (int t = 0; t < 6; ++t) {
        SCOPED_TRACE(t);
        const float* p = e->tracks[t].p;
        EXPECT_EQ(p[brs::P_CUT], cut[t]);
        EXPECT_EQ(p[brs::P_DECAY], decay[t]);
        EXPECT_EQ(p[brs::P_LEVEL], level[t]);
        EXPECT_EQ(p[brs::P_DRIVE], drive[t]);
        EXPECT_EQ(p[brs::P_RES], res[t]);
        // Rows that are the same on every track.
        const std::pair<int, float> same[] = {
            {brs::P_TUNE, 100}, {brs::P_PITCH_AMT, 6}, {brs::P_PITCH_DEC, 0.06f},
            {brs::P_CLICK, 0.4f}, {brs::P_TONE, 3000}, {brs::P_ENV, 0.5f}, {brs::P_DETUNE, 22},
            {brs::P_SLIDE, 12}, {brs::P_SLIDE_T, 0.25f}, {brs::P_PITCH, 0}, {brs::P_GATE, 1},
            {brs::P_OPEN, 0}, {brs::P_CHORD, 3}, {brs::P_DELAY_SEND, 0}, {brs::P_REVERB_SEND, 0}};
        for (const auto& [i, v] : same) EXPECT_EQ(p[i], v) << brs::PARAM_NAMES[i];
        EXPECT_EQ(e->tracks[t].wave, 0);
    }
    EXPECT_EQ(brs::BASEN[0], 36.0f);
    EXPECT_EQ(brs::BASEN[2], 48.0f);
    EXPECT_EQ(brs::BASEN[4], 44.0f);
    EXPECT_EQ(brs::BASEN[5], 60.0f);
    EXPECT_STREQ(brs::PARAM_NAMES[0], "tune");
    EXPECT_STREQ(brs::PARAM_NAMES[19], "reverbSend");
}

TEST(EngineDefaults, PatternsAreBlankExceptTheBreakSlicesOfPatternZero) {
    auto e = makeEngine();
    ASSERT_EQ(e->pats.size(), 8u);
    for (int p = 0; p < 8; ++p)
        for (int t = 0; t < 6; ++t)
            for (int s = 0; s < 64; ++s) {
                const brs::Step& st = e->pats[p].steps[t][s];
                ASSERT_EQ(st.on | st.acc | st.rev, 0);
                ASSERT_EQ(st.note, 0);
                ASSERT_EQ(st.rat, 1);
                ASSERT_EQ(st.slice, (p == 0 && t == 3) ? s % 16 : 0) << p << " " << t << " " << s;
            }
}

TEST(EngineDefaults, RatesChangeOnlyBufferSizes) {
    auto a = makeEngine(44100.0f);
    auto b = makeEngine(48000.0f);
    EXPECT_EQ(0, std::memcmp(a->tracks, b->tracks, sizeof a->tracks));
    EXPECT_EQ(0, std::memcmp(a->pats.data(), b->pats.data(), 8 * sizeof(brs::Pattern)));
    EXPECT_EQ(a->bpm, b->bpm);
    EXPECT_EQ(a->len, b->len);
    EXPECT_EQ(a->fx.dl.size(), 88200u);
    EXPECT_EQ(b->fx.dl.size(), 96000u);
    EXPECT_EQ(b->fx.dr.size(), 96000u);
}

TEST(EngineSampleRate, UnusableRatesAreReplacedAndTheEngineStillRenders) {
    struct Case { float given; float used; };
    const float inf = std::numeric_limits<float>::infinity();
    for (const Case c : {Case{0.0f, 48000.0f}, Case{-1.0f, 48000.0f}, Case{std::nanf(""), 48000.0f},
                         Case{inf, 48000.0f}, Case{-inf, 48000.0f}, Case{0.25f, 1.0f},
                         Case{1.0f, 1.0f}, Case{8000.0f, 8000.0f}, Case{1e12f, 768000.0f},
                         Case{22050.5f, 22050.5f}}) {
        SCOPED_TRACE(c.given);
        auto e = makeEngine(c.given);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->sampleRate, c.used);
        EXPECT_EQ(brs::safeSampleRate(c.given), c.used);
        writeDefaultGroove(e.get());
        brskern_start(e.get());
        brskern_trigger(e.get(), 3, 2, true, 60.0f, 1.0f);
        std::vector<float> out(2 * 256);
        for (int i = 0; i < 4; ++i) brskern_process(e.get(), out.data(), 256);
        for (float s : out) ASSERT_TRUE(std::isfinite(s));
        EXPECT_NEAR(e->clock, 1024.0 / c.used, 1024.0 / c.used * 1e-6);
        for (const auto& v : e->voices) EXPECT_TRUE(std::isfinite(v.dur));
    }
}

TEST(RenderLoop, ZeroFramesRunsTheSequencerButKeepsTheClock) {
    auto e = makeEngine();
    brskern_set_step(e.get(), 0, 0, 0, 1, 0, 0, 1, 0, 0);
    float out[2 * 64];
    brskern_process(e.get(), out, 64);
    brskern_start(e.get());
    const double clock = e->clock;
    brskern_process(e.get(), out, 0);
    EXPECT_EQ(e->clock, clock);
    EXPECT_TRUE(e->voices.empty());  // step at the block end waits (strict)
    EXPECT_EQ(brskern_step(e.get()), 0);
    // The sequencer did run: a step already behind the clock fires.
    e->nextStep = clock - 0.001;
    brskern_process(e.get(), out, 0);
    EXPECT_EQ(e->voices.size(), 1u);
    EXPECT_EQ(e->voices[0].t, 0.0f);  // delay limited to 0
    out[0] = 7.0f;
    brskern_process(e.get(), out, 0);
    EXPECT_EQ(out[0], 7.0f);  // nothing written
}

TEST(RenderLoop, ClockAdvancesByTheBlockWhetherPlayingOrNot) {
    auto e = makeEngine();
    std::vector<float> out(2 * 4096, 1.0f);
    brskern_process(e.get(), out.data(), 4096);
    const double dt = static_cast<double>(1.0f / 48000.0f);
    EXPECT_EQ(e->clock, 4096 * dt);
    for (float s : out) ASSERT_EQ(s, 0.0f);  // a new engine renders silence
    brskern_start(e.get());
    brskern_process(e.get(), out.data(), 100);
    EXPECT_EQ(e->clock, 4096 * dt + 100 * dt);
}

TEST(VoiceList, SpawnFillsTheRecordAndSeedsByPosition) {
    auto e = makeEngine();
    e->tracks[2].p[brs::P_CUT] = 1234.0f;
    e->tracks[2].wave = 1;
    ASSERT_TRUE(e->spawnVoice(2, 0.25f, 0.5f, 0.6f, 50.0f, 37, 1));
    const brs::Voice& v = e->voices[0];
    EXPECT_EQ(v.track, 2u);
    EXPECT_EQ(v.t, -0.25f);
    EXPECT_EQ(v.dur, 0.5f);
    EXPECT_EQ(v.gain, 0.6f);
    EXPECT_EQ(v.note, 50.0f);
    for (float ph : v.phase) EXPECT_EQ(ph, 0.0f);
    EXPECT_EQ(v.ic1, 0.0f);
    EXPECT_EQ(v.ic2, 0.0f);
    EXPECT_EQ(v.rng, 1u ^ 0x9E37u);
    EXPECT_EQ(0, std::memcmp(v.params, e->tracks[2].p, sizeof v.params));
    EXPECT_EQ(v.wave, 1);
    EXPECT_EQ(v.slice, 37u & 15u);
    EXPECT_EQ(v.rev, 1);
    EXPECT_EQ(v.alive, 1);

    // The snapshot does not follow later changes.
    e->tracks[2].p[brs::P_CUT] = 99.0f;
    EXPECT_EQ(e->voices[0].params[brs::P_CUT], 1234.0f);

    const brs::Voice* storage = e->voices.data();
    for (uint32_t n = 1; n < brs::MAX_VOICES; ++n) {
        ASSERT_TRUE(e->spawnVoice(0, 1.0f, 1.0f, 1.0f, 36.0f, 0, 0));
        EXPECT_EQ(e->voices.back().rng, (n + 1u) ^ 0x9E37u);
    }
    EXPECT_EQ(e->voices.data(), storage);  // never reallocated
    EXPECT_FALSE(e->spawnVoice(0, 0.0f, 1.0f, 1.0f, 36.0f, 0, 0));
    brskern_trigger(e.get(), 0, 0, false, 36.0f, 1.0f);
    brskern_midi(e.get(), 0x90, 36, 100);
    EXPECT_EQ(e->voices.size(), brs::MAX_VOICES);
}

TEST(VoiceList, LengthsFollowEachTracksParameters) {
    auto e = makeEngine(44100.0f);
    EXPECT_FLOAT_EQ(e->voiceLength(0), 0.35f + 0.05f);
    EXPECT_FLOAT_EQ(e->voiceLength(1), 0.25f + 0.1f);
    EXPECT_FLOAT_EQ(e->voiceLength(2), 0.5f + 0.2f);
    EXPECT_FLOAT_EQ(e->voiceLength(4), 0.05f + 0.02f);
    EXPECT_FLOAT_EQ(e->voiceLength(5), 0.2f + 0.05f);
    // Break: gate × a sixteenth of the loop + 5 ms; about 0.181 s at 44.1 kHz.
    const float n = static_cast<float>(e->brk.samples.size());
    EXPECT_EQ(e->voiceLength(3), 1.0f * (n * 0.0625f / 44100.0f) + 0.005f);
    EXPECT_NEAR(e->voiceLength(3), 0.181, 0.001);
    e->tracks[3].p[brs::P_GATE] = 0.5f;
    EXPECT_FLOAT_EQ(e->voiceLength(3), 0.5f * (n * 0.0625f / 44100.0f) + 0.005f);
    // An open hat rings four times its decay.
    e->tracks[4].p[brs::P_OPEN] = 0.51f;
    EXPECT_FLOAT_EQ(e->voiceLength(4), 4.0f * 0.05f + 0.02f);
    e->tracks[4].p[brs::P_OPEN] = 0.5f;
    EXPECT_FLOAT_EQ(e->voiceLength(4), 0.05f + 0.02f);
    brskern_set_param(e.get(), 1, "decay", 2.0f);
    EXPECT_FLOAT_EQ(e->voiceLength(1), 2.1f);
    brskern_midi(e.get(), 0x90, 37, 1);
    EXPECT_FLOAT_EQ(e->voices.back().dur, 2.1f);
}

TEST(VoiceList, FinishedVoicesLeaveAndTheRestKeepTheirOrder) {
    auto e = makeEngine();
    const float dt = 1.0f / 48000.0f;
    // Lengths in frames: 10, 3, 20, 3 (waiting 5 frames first), 7.
    e->spawnVoice(0, 0.0f, 10.5f * dt, 1.0f, 1.0f, 0, 0);
    e->spawnVoice(1, 0.0f, 3.5f * dt, 1.0f, 2.0f, 0, 0);
    e->spawnVoice(2, 0.0f, 20.5f * dt, 1.0f, 3.0f, 0, 0);
    e->spawnVoice(3, 5.0f * dt, 3.5f * dt, 1.0f, 4.0f, 0, 0);
    e->spawnVoice(4, 0.0f, 7.5f * dt, 1.0f, 5.0f, 0, 0);
    float out[2 * 32];
    auto notes = [&] {
        std::vector<float> r;
        for (const auto& v : e->voices) r.push_back(v.note);
        return r;
    };
    brskern_process(e.get(), out, 3);
    EXPECT_EQ(notes(), (std::vector<float>{1, 2, 3, 4, 5}));
    brskern_process(e.get(), out, 1);  // frame 4: t = 4 dt > 3.5 dt
    EXPECT_EQ(notes(), (std::vector<float>{1, 3, 4, 5}));
    brskern_process(e.get(), out, 4);  // frame 8: the 7-frame voice ends
    EXPECT_EQ(notes(), (std::vector<float>{1, 3, 4}));
    brskern_process(e.get(), out, 1);  // frame 9: the late voice (t = 4 dt) ends
    EXPECT_EQ(notes(), (std::vector<float>{1, 3}));
    brskern_process(e.get(), out, 11);  // frame 20: the 10-frame voice has gone
    EXPECT_EQ(notes(), (std::vector<float>{3}));
    // Its seed stays what it was given at creation (position 2 then).
    EXPECT_EQ(e->voices[0].rng, 3u ^ 0x9E37u);
    brskern_process(e.get(), out, 32);
    EXPECT_TRUE(e->voices.empty());

    // A voice whose length is not a number ends at once instead of staying.
    e->spawnVoice(0, 0.0f, std::nanf(""), 1.0f, 1.0f, 0, 0);
    brskern_process(e.get(), out, 1);
    EXPECT_TRUE(e->voices.empty());

    // A voice the recipe ends (its sample was not finite) leaves in the same
    // frame even when no other voice ends, and the output stays finite.
    e->spawnVoice(1, 0.0f, 1.0f, 1.0f, 36.0f, 0, 0);
    e->spawnVoice(0, 0.0f, 1.0f, std::numeric_limits<float>::infinity(), 36.0f, 0, 0);
    e->spawnVoice(2, 0.0f, 1.0f, 1.0f, 48.0f, 0, 0);
    brskern_process(e.get(), out, 1);
    EXPECT_EQ(notes(), (std::vector<float>{36, 48}));
    EXPECT_TRUE(std::isfinite(out[0]) && std::isfinite(out[1]));
}

TEST(FloatingPointState, ProcessFlushesDenormalsAndRestoresTheCallersState) {
    const unsigned int original = _mm_getcsr();
    auto e = makeEngine();
    float out[2];

    // Inside the call denormal operands count as zero: a denormal clock plus
    // a zero-length block comes out as 0.
    _mm_setcsr(original & ~0x8040u);
    e->clock = std::numeric_limits<double>::denorm_min();
    brskern_process(e.get(), out, 0);
    EXPECT_EQ(_mm_getcsr(), original & ~0x8040u);
    EXPECT_EQ(e->clock, 0.0);

    // Both bits are set for the scope's lifetime, whatever the caller had.
    _mm_setcsr(original & ~0x8040u);
    {
        brs::DenormalScope scope;
        EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u);
        EXPECT_EQ(_mm_getcsr() & ~0x8040u, original & ~0x8040u);  // nothing else changes
    }
    EXPECT_EQ(_mm_getcsr(), original & ~0x8040u);

    // A caller that has them on keeps them on.
    _mm_setcsr(original | 0x8040u);
    brskern_process(e.get(), out, 1);
    EXPECT_EQ(_mm_getcsr(), original | 0x8040u);
    _mm_setcsr(original);
}

// Skipping frames moves the clock, the sequencer and the voices' ages on
// exactly as rendering them would; only the audio is missing.
TEST(EngineSkip, SkippingKeepsTimeAsRenderingDoes) {
    struct Case {
        float rate;
        uint32_t frames;
        float swing;
    };
    for (const Case c : {Case{44100.0f, 1, 0.0f}, Case{48000.0f, 777, 30.0f}, Case{48000.0f, 48000, 0.0f},
                         Case{96000.0f, 150000, 55.0f}}) {
        SCOPED_TRACE(c.frames);
        auto a = makeEngine(c.rate), b = makeEngine(c.rate);
        std::vector<float> out(2 * std::size_t(c.frames) + 2 * 300);
        for (brs::Engine* e : {a.get(), b.get()}) {
            writeDefaultGroove(e);
            brskern_set_swing(e, c.swing);
            const uint8_t song[] = {0, 1, 1, 1};
            brskern_set_song(e, song, sizeof song);
            brskern_start(e);
            brskern_process(e, out.data(), 300);
            brskern_midi(e, 0x90, 38, 127);
        }
        brskern_process(a.get(), out.data(), c.frames);
        brskern_skip(b.get(), c.frames);
        EXPECT_EQ(a->clock, b->clock);
        EXPECT_EQ(a->step, b->step);
        EXPECT_EQ(a->pat, b->pat);
        EXPECT_EQ(a->songPos, b->songPos);
        EXPECT_EQ(a->nextStep, b->nextStep);
        ASSERT_EQ(a->voices.size(), b->voices.size());
        for (std::size_t i = 0; i < a->voices.size(); ++i) {
            EXPECT_EQ(a->voices[i].track, b->voices[i].track) << i;
            EXPECT_NEAR(a->voices[i].t, b->voices[i].t, 1e-3) << i;
        }
    }
}

// A reset ends every voice and empties the delay, the reverb and the limiter
// at once; the set, the parameters and the sequencer are left as they were.
TEST(EngineReset, ResetSilencesAtOnceAndKeepsTheRest) {
    auto e = makeEngine(48000.0f);
    writeDefaultGroove(e.get());
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(e.get(), t, "delaySend", 1.0f);
        brskern_set_param(e.get(), t, "reverbSend", 1.0f);
    }
    brskern_set_fx(e.get(), 0.5f, 0.9f, 1.0f);
    brskern_start(e.get());
    std::vector<float> out(2 * 24000);
    brskern_process(e.get(), out.data(), 24000);
    ASSERT_FALSE(e->voices.empty());
    const uint64_t step = e->step;
    const double clock = e->clock;

    brskern_reset(e.get());
    EXPECT_TRUE(e->voices.empty());
    EXPECT_EQ(e->limiterGain, 1.0f);
    EXPECT_TRUE(brskern_playing(e.get()));
    EXPECT_EQ(e->step, step);
    EXPECT_EQ(e->clock, clock);
    EXPECT_EQ(brskern_get_param(e.get(), 2, "delaySend"), 1.0f);
    EXPECT_EQ(e->fx.delayFb, 0.9f);
    // Stopped, nothing is heard any more: no voice, no echo, no reverb.
    brskern_stop(e.get());
    brskern_process(e.get(), out.data(), 24000);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; }));
    // A null handle is ignored.
    brskern_reset(nullptr);
    brskern_skip(nullptr, 100);
}
