// Step clock: timing of the default groove, block-size independence, swing,
// ratchets, song and pattern chains, pattern length, transport, mutes,
// automation lanes and the tempo/swing safety rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine_fixture.h"

using namespace brstest;

namespace {

// 1 frame at 48 kHz: times recovered from 1-frame blocks are far more precise.
constexpr double TIGHT = 1e-6;

std::vector<Hit> ofTrack(const std::vector<Hit>& hits, uint64_t track) {
    std::vector<Hit> r;
    for (const Hit& h : hits)
        if (h.track == track) r.push_back(h);
    return r;
}

// One kick on step 0 of pattern p whose note offset tells the pattern apart.
void markPattern(brskern_t h, uint32_t p, int note) { brskern_set_step(h, p, 0, 0, 1, 0, note, 1, 0, 0); }

uint64_t framesFor(double seconds, float rate = 48000.0f) {
    return static_cast<uint64_t>(std::ceil(seconds * rate)) + 1;
}

}  // namespace

TEST(SequencerTiming, DefaultGrooveAt175StartsEveryVoiceOnItsStep) {
    auto e = makeEngine();
    writeDefaultGroove(e.get());
    makeVoicesLong(e.get());
    brskern_start(e.get());
    // Two passes of the pattern plus a little, frame by frame.
    const auto hits = record(*e, framesFor(32 * STEP_175 - 0.001), 1);

    struct Want { double step; uint64_t track; float note; float gain; };
    const std::vector<Want> pass = {
        {0, 0, 36, 1.0f * 0.9f},  {1, 4, 44, 0.7f * 0.5f},  {2, 1, 36, 1.0f * 0.7f},
        {3, 4, 44, 1.0f * 0.5f},  {4, 0, 36, 0.7f * 0.9f},  {4, 5, 60, 0.7f * 0.5f},
        {5, 4, 44, 0.7f * 0.5f},  {6, 1, 36, 0.7f * 0.7f},  {7, 1, 39, 0.7f * 0.7f},
        {7, 4, 44, 1.0f * 0.5f},  {8, 0, 36, 0.7f * 0.9f},  {9, 4, 44, 0.7f * 0.5f},
        {10, 1, 36, 0.7f * 0.7f}, {11, 4, 44, 1.0f * 0.5f}, {12, 0, 36, 0.7f * 0.9f},
        {12, 5, 60, 1.0f * 0.5f}, {13, 4, 44, 0.7f * 0.5f}, {14, 1, 36, 0.7f * 0.7f},
        {15, 4, 44, 1.0f * 0.5f}, {15.5, 4, 44, 1.0f * 0.5f},
    };
    ASSERT_EQ(hits.size(), 2 * pass.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const Want& w = pass[i % pass.size()];
        const double when = (w.step + (i >= pass.size() ? 16.0 : 0.0)) * STEP_175;
        SCOPED_TRACE(i);
        EXPECT_EQ(hits[i].track, w.track);
        EXPECT_EQ(hits[i].note, w.note);
        EXPECT_FLOAT_EQ(hits[i].gain, w.gain);
        EXPECT_NEAR(hits[i].start, when, TIGHT);
    }
    // The pattern repeats every 16 steps: 1.3714286 s.
    EXPECT_NEAR(hits[pass.size()].start, 1.3714286, 1e-6);
    EXPECT_EQ(brskern_pat(e.get()), 0);
}

TEST(SequencerTiming, BlockSizeDoesNotChangeVoicesOrStartTimes) {
    auto build = [] {
        auto e = makeEngine();
        writeDefaultGroove(e.get());
        makeVoicesLong(e.get());
        brskern_set_swing(e.get(), 33.0f);
        brskern_set_step(e.get(), 0, 3, 5, 1, 1, -2, 3, 21, 1);  // ratcheted reversed break
        brskern_start(e.get());
        return e;
    };
    auto a = build();
    auto b = build();
    const uint64_t total = 3 * 4096 * 7 + 123;  // about 1.8 s, ends mid-block
    const auto fine = record(*a, total, 1);
    const auto coarse = record(*b, total, 4096);

    ASSERT_GT(fine.size(), 20u);
    ASSERT_EQ(fine.size(), coarse.size());
    for (std::size_t i = 0; i < fine.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fine[i].track, coarse[i].track);
        EXPECT_EQ(fine[i].note, coarse[i].note);
        EXPECT_EQ(fine[i].gain, coarse[i].gain);
        EXPECT_EQ(fine[i].slice, coarse[i].slice);
        EXPECT_EQ(fine[i].rev, coarse[i].rev);
        EXPECT_EQ(fine[i].dur, coarse[i].dur);
        // Within a quarter of a frame (rounding of the voice's float time).
        EXPECT_NEAR(fine[i].start, coarse[i].start, 0.25 / 48000.0);
    }
    EXPECT_EQ(a->clock, b->clock);
    EXPECT_EQ(brskern_step(a.get()), brskern_step(b.get()));
}

TEST(SequencerTiming, StepDueExactlyAtBlockStartSoundsOnItsFirstFrame) {
    auto e = makeEngine();
    brskern_set_step(e.get(), 0, 0, 0, 1, 0, 0, 1, 0, 0);
    brskern_start(e.get());
    float out[2 * 64];
    brskern_process(e.get(), out, 64);
    ASSERT_EQ(e->voices.size(), 1u);
    // Delay 0, aged 64 frames: t = 64 × dt exactly as the loop adds it.
    float t = 0.0f;
    const float dt = 1.0f / 48000.0f;
    for (int i = 0; i < 64; ++i) t += dt;
    EXPECT_EQ(e->voices[0].t, t);
}

TEST(SequencerTiming, StepWhoseTimeEqualsBlockEndWaitsForNextBlock) {
    // At 32768 Hz, 240 BPM and a step of 1/16 s fall exactly on frame 2048.
    auto e = makeEngine(32768.0f);
    brskern_set_bpm(e.get(), 240.0f);
    brskern_set_step(e.get(), 0, 0, 1, 1, 0, 0, 1, 0, 0);
    brskern_start(e.get());
    std::vector<float> out(2 * 2048);
    brskern_process(e.get(), out.data(), 2048);
    EXPECT_TRUE(e->voices.empty());
    EXPECT_EQ(brskern_step(e.get()), 1);
    brskern_process(e.get(), out.data(), 1);
    ASSERT_EQ(e->voices.size(), 1u);
    EXPECT_EQ(e->voices[0].t, 1.0f / 32768.0f);
}

TEST(SequencerSwing, DelaysOddStepsOnlyAndKeepsRatchetSpacing) {
    auto e = makeEngine();
    writeDefaultGroove(e.get());
    makeVoicesLong(e.get());
    brskern_set_swing(e.get(), 50.0f);
    brskern_start(e.get());
    const auto hits = record(*e, framesFor(16 * STEP_175 - 0.01), 1);

    const auto kicks = ofTrack(hits, 0);
    ASSERT_EQ(kicks.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(kicks[i].start, 4.0 * i * STEP_175, TIGHT);

    const auto hats = ofTrack(hits, 4);  // steps 1,3,5,...,15 and the ratchet of 15
    ASSERT_EQ(hats.size(), 9u);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_NEAR(hats[i].start, (2.0 * i + 1.0) * STEP_175 + 0.5 * STEP_175, TIGHT) << i;
    EXPECT_NEAR(hats[7].start - 15.0 * STEP_175, 0.0428571, 1e-6);
    EXPECT_NEAR(hats[8].start - hats[7].start, 0.5 * STEP_175, TIGHT);

    // Bass on step 7 (odd) moves, its even-step neighbours do not.
    const auto bass = ofTrack(hits, 1);
    ASSERT_EQ(bass.size(), 5u);
    EXPECT_NEAR(bass[1].start, 6.0 * STEP_175, TIGHT);
    EXPECT_NEAR(bass[2].start, 7.5 * STEP_175, TIGHT);
    EXPECT_NEAR(bass[3].start, 10.0 * STEP_175, TIGHT);
}

TEST(SequencerRatchets, HitsAreOneRthOfAStepApart) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    brskern_set_step(e.get(), 0, 2, 1, 1, 0, 0, 3, 0, 0);
    brskern_set_step(e.get(), 0, 5, 2, 1, 0, 0, 4, 0, 0);
    brskern_set_step(e.get(), 0, 1, 3, 1, 0, 0, 0, 0, 0);  // 0 stored as 1
    brskern_start(e.get());
    const auto hits = record(*e, framesFor(4 * STEP_175), 1);
    ASSERT_EQ(hits.size(), 3u + 4u + 1u);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(hits[k].start, (1.0 + k / 3.0) * STEP_175, TIGHT);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(hits[3 + k].start, (2.0 + k / 4.0) * STEP_175, TIGHT);
    EXPECT_NEAR(hits[7].start, 3.0 * STEP_175, TIGHT);
}

TEST(SequencerRatchets, HitsBeyondTheCapAreDropped) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    for (int i = 0; i < 63; ++i) brskern_trigger(e.get(), 4, 0, false, 60.0f, 0.1f);
    brskern_set_step(e.get(), 0, 1, 0, 1, 0, 0, 4, 0, 0);  // four hits, one fits
    brskern_set_step(e.get(), 0, 2, 0, 1, 0, 0, 1, 0, 0);  // refused as well
    brskern_start(e.get());
    float out[2];
    brskern_process(e.get(), out, 1);
    ASSERT_EQ(e->voices.size(), brs::MAX_VOICES);
    EXPECT_EQ(e->voices.back().track, 1u);
    EXPECT_EQ(e->voices.back().t, 1.0f / 48000.0f);  // sub-hit 0, not a later one
    // The clock is not disturbed: the next step still comes on time.
    EXPECT_EQ(brskern_step(e.get()), 1);
    EXPECT_NEAR(e->nextStep, STEP_175, 1e-12);
}

TEST(SequencerChains, SongPlaysEntriesWithTheirRepeats) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    markPattern(e.get(), 2, 2);
    markPattern(e.get(), 5, 5);
    markPattern(e.get(), 0, 0);
    const uint8_t song[] = {2, 2, 5, 1};
    brskern_set_song(e.get(), song, sizeof song);
    brskern_start(e.get());
    EXPECT_EQ(brskern_pat(e.get()), 2);
    const auto hits = record(*e, framesFor(7 * 16 * STEP_175 - 0.01), 4096);
    std::vector<float> order;
    for (const Hit& h : hits) order.push_back(h.note - 36.0f);
    EXPECT_EQ(order, (std::vector<float>{2, 2, 5, 2, 2, 5, 2}));
    for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_NEAR(hits[i].start, 16.0 * i * STEP_175, 1e-4);
}

TEST(SequencerChains, LenOneMakesEveryStepAPatternEnd) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    markPattern(e.get(), 1, 1);
    markPattern(e.get(), 4, 4);
    brskern_set_global(e.get(), 0.0f, 1, false, 0.15f, 0.85f);
    const uint8_t song[] = {1, 3, 4, 1};
    brskern_set_song(e.get(), song, sizeof song);
    brskern_start(e.get());
    const auto hits = record(*e, framesFor(7 * STEP_175), 1);
    std::vector<float> order;
    for (const Hit& h : hits) order.push_back(h.note - 36.0f);
    EXPECT_EQ(order, (std::vector<float>{1, 1, 1, 4, 1, 1, 1, 4}));
}

TEST(SequencerChains, ShorterSongReplacingALongerOneStaysInsideIt) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    for (uint32_t p = 0; p < 8; ++p) markPattern(e.get(), p, static_cast<int>(p));
    brskern_set_global(e.get(), 0.0f, 1, false, 0.15f, 0.85f);
    const uint8_t longSong[] = {1, 1, 2, 1, 3, 1, 4, 1, 5, 1};
    brskern_set_song(e.get(), longSong, sizeof longSong);
    brskern_start(e.get());
    record(*e, framesFor(4 * STEP_175 - 0.01), 1);  // entries 0 to 3 played
    ASSERT_EQ(e->songPos, 4u);
    ASSERT_EQ(brskern_pat(e.get()), 5);

    // songPos 4 lies past the new chain's end: its entry is read at 4 mod 3
    // = 1 (two passes), and the next entry is chosen modulo 3.
    const uint8_t shortSong[] = {7, 1, 6, 2, 2, 3};
    brskern_set_song(e.get(), shortSong, sizeof shortSong);
    const auto hits = record(*e, framesFor(8 * STEP_175 - 0.01), 1);
    std::vector<float> order;
    for (const Hit& h : hits) order.push_back(h.note - 36.0f);
    EXPECT_EQ(order, (std::vector<float>{5, 5, 2, 2, 2, 7, 6, 6}));
    EXPECT_LT(e->songPos, e->song.size());
}

TEST(SequencerChains, PatternChainSkipsEmptyPatterns) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    markPattern(e.get(), 0, 0);
    markPattern(e.get(), 3, 3);
    brskern_set_global(e.get(), 0.0f, 16, true, 0.15f, 0.85f);
    brskern_start(e.get());
    const auto hits = record(*e, framesFor(4 * 16 * STEP_175 - 0.01), 4096);
    std::vector<float> order;
    for (const Hit& h : hits) order.push_back(h.note - 36.0f);
    EXPECT_EQ(order, (std::vector<float>{0, 3, 0, 3}));

    // A pattern whose only step lies beyond len still counts as non-empty.
    brskern_set_step(e.get(), 5, 4, 63, 1, 0, 0, 1, 0, 0);
    e->pat = 3;
    brskern_start(e.get());
    record(*e, framesFor(16 * STEP_175 - 0.01), 4096);
    EXPECT_EQ(brskern_pat(e.get()), 5);
    record(*e, framesFor(16 * STEP_175), 4096);
    EXPECT_EQ(brskern_pat(e.get()), 0);
}

TEST(SequencerChains, PatternChainStaysWhenNoOtherPatternHasSteps) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    markPattern(e.get(), 6, 6);
    e->pat = 6;
    brskern_set_global(e.get(), 0.0f, 2, true, 0.15f, 0.85f);
    brskern_start(e.get());
    record(*e, framesFor(6 * STEP_175), 4096);  // steps 0,1,0,1,0,1,0
    EXPECT_EQ(brskern_pat(e.get()), 6);
    EXPECT_EQ(e->voices.size(), 4u);

    // With the chain off the pattern repeats even when another has steps.
    auto f = makeEngine();
    markPattern(f.get(), 0, 0);
    markPattern(f.get(), 1, 1);
    brskern_set_global(f.get(), 0.0f, 2, false, 0.15f, 0.85f);
    brskern_start(f.get());
    record(*f, framesFor(6 * STEP_175), 4096);
    EXPECT_EQ(brskern_pat(f.get()), 0);
}

TEST(SequencerLength, ShortenedBelowTheCurrentStepFiresItOnceThenWraps) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    for (uint32_t s = 0; s < 16; ++s) brskern_set_step(e.get(), 0, 0, s, 1, 0, static_cast<int>(s), 1, 0, 0);
    markPattern(e.get(), 1, 40);
    brskern_set_global(e.get(), 0.0f, 16, true, 0.15f, 0.85f);
    brskern_start(e.get());
    record(*e, framesFor(10 * STEP_175 - 0.01), 1);
    ASSERT_EQ(brskern_step(e.get()), 10);
    brskern_set_global(e.get(), 0.0f, 4, true, 0.15f, 0.85f);
    const auto hits = record(*e, framesFor(4 * STEP_175), 1);
    std::vector<float> order;
    for (const Hit& h : hits) order.push_back(h.note - 36.0f);
    // Step 10 fires once, then (10 + 1) mod 4 = 3 without a pattern end, then
    // the end at step 0 switches to pattern 1 through the chain.
    EXPECT_EQ(order, (std::vector<float>{10, 3, 40}));
    EXPECT_EQ(brskern_pat(e.get()), 1);
}

TEST(SequencerTransport, StopKeepsPositionAndStartResetsIt) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    for (uint32_t s = 0; s < 16; ++s) brskern_set_step(e.get(), 0, 0, s, 1, 0, static_cast<int>(s), 1, 0, 0);
    markPattern(e.get(), 3, 30);
    const uint8_t song[] = {3, 1, 0, 1};
    brskern_start(e.get());
    record(*e, framesFor(5 * STEP_175 - 0.01), 512);
    EXPECT_EQ(brskern_step(e.get()), 5);
    brskern_stop(e.get());
    EXPECT_FALSE(brskern_playing(e.get()));
    EXPECT_EQ(brskern_step(e.get()), 5);
    const std::size_t ringing = e->voices.size();
    EXPECT_TRUE(record(*e, 48000, 512).empty());  // nothing fires while stopped
    EXPECT_EQ(e->voices.size(), ringing);         // nothing is cut either

    brskern_set_song(e.get(), song, sizeof song);
    e->songPos = 1;
    e->songRep = 1;
    brskern_start(e.get());
    EXPECT_TRUE(brskern_playing(e.get()));
    EXPECT_EQ(brskern_step(e.get()), 0);
    EXPECT_EQ(e->songPos, 0u);
    EXPECT_EQ(e->songRep, 0u);
    EXPECT_EQ(brskern_pat(e.get()), 3);
    EXPECT_EQ(e->nextStep, e->clock);
    const auto hits = record(*e, 1, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].note, 36.0f + 30.0f);
    EXPECT_NEAR(hits[0].start, e->clock - 1.0 / 48000.0, 1e-9);

    // Without a song, start keeps the current pattern.
    brskern_set_song(e.get(), nullptr, 0);
    e->pat = 5;
    brskern_start(e.get());
    EXPECT_EQ(brskern_pat(e.get()), 5);
}

TEST(SequencerMutes, MutedTrackFiresNothingButRingingVoicesFinish) {
    auto e = makeEngine();
    brskern_set_param(e.get(), 0, "decay", 0.5f);  // the kick lasts 0.55 s
    brskern_set_step(e.get(), 0, 0, 0, 1, 0, 0, 1, 0, 0);
    brskern_set_step(e.get(), 0, 0, 2, 1, 0, 0, 1, 0, 0);
    brskern_set_step(e.get(), 0, 4, 2, 1, 0, 0, 1, 0, 0);
    brskern_start(e.get());
    std::vector<float> out(2 * 48000);
    brskern_process(e.get(), out.data(), 1);
    ASSERT_EQ(e->voices.size(), 1u);
    brskern_set_mute(e.get(), 0, true);

    // Past step 2 (0.171 s): the hat is new, the kick of step 2 is not, and
    // the kick of step 0 still sounds.
    brskern_process(e.get(), out.data(), 9000);
    ASSERT_EQ(e->voices.size(), 2u);
    EXPECT_EQ(e->voices[0].track, 0u);
    EXPECT_EQ(e->voices[0].dur, 0.5f + 0.05f);
    EXPECT_EQ(e->voices[1].track, 4u);

    // Still there at 0.54 s, gone by 0.56 s.
    brskern_process(e.get(), out.data(), 25920 - 9001);
    ASSERT_FALSE(e->voices.empty());
    EXPECT_EQ(e->voices[0].track, 0u);
    brskern_process(e.get(), out.data(), 960);
    EXPECT_TRUE(e->voices.empty());

    // Trigger and MIDI ignore the mute.
    brskern_trigger(e.get(), 0, 0, false, 36.0f, 1.0f);
    brskern_midi(e.get(), 0x90, 36, 127);
    EXPECT_EQ(e->voices.size(), 2u);
}

TEST(SequencerAutomation, LaneAppliesBeforeTheStepsVoicesAndStays) {
    auto e = makeEngine();
    makeVoicesLong(e.get());
    for (uint32_t s : {2u, 4u, 6u}) brskern_set_step(e.get(), 0, 1, s, 1, 0, 0, 1, 0, 0);
    std::vector<float> lanes(brs::AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
    const std::size_t cutAt4 = 0 * 7680 + 1 * 1280 + brs::P_CUT * 64 + 4;
    lanes[cutAt4] = 2500.0f;
    const std::size_t levelAt4 = 0 * 7680 + 1 * 1280 + brs::P_LEVEL * 64 + 4;
    lanes[levelAt4] = 0.2f;
    ASSERT_EQ(brskern_set_auto(e.get(), lanes.data(), lanes.size(), true), 1);
    brskern_set_global(e.get(), 0.0f, 8, false, 0.15f, 0.85f);
    brskern_start(e.get());
    const auto hits = record(*e, framesFor(11 * STEP_175 - 0.01), 1);
    // Step 2 (old), 4 and 6 (new), then step 2 of the next pass (still new).
    ASSERT_EQ(e->voices.size(), 4u);
    EXPECT_EQ(e->voices[0].params[brs::P_CUT], 400.0f);
    EXPECT_EQ(e->voices[1].params[brs::P_CUT], 2500.0f);
    EXPECT_EQ(e->voices[2].params[brs::P_CUT], 2500.0f);
    EXPECT_EQ(e->voices[3].params[brs::P_CUT], 2500.0f);
    // The level lane changes the gain of the same step's voice.
    EXPECT_FLOAT_EQ(hits[0].gain, 0.7f * 0.7f);
    EXPECT_FLOAT_EQ(hits[1].gain, 0.7f * 0.2f);
    EXPECT_EQ(e->tracks[1].p[brs::P_CUT], 2500.0f);

    // A setter changes it again until the lane comes round.
    brskern_set_param(e.get(), 1, "cut", 900.0f);
    EXPECT_EQ(brskern_get_param(e.get(), 1, "cut"), 900.0f);
}

TEST(SequencerAutomation, AppliesOnMutedTracksAndOnlyWhenOn) {
    std::vector<float> lanes(brs::AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
    lanes[0 * 7680 + 1 * 1280 + brs::P_CUT * 64 + 4] = 2500.0f;
    lanes[0 * 7680 + 2 * 1280 + brs::P_DECAY * 64 + 1] = std::numeric_limits<float>::infinity();

    auto e = makeEngine();
    brskern_set_step(e.get(), 0, 1, 4, 1, 0, 0, 1, 0, 0);
    brskern_set_mute(e.get(), 1, true);
    brskern_set_auto(e.get(), lanes.data(), lanes.size(), true);
    brskern_start(e.get());
    record(*e, framesFor(5 * STEP_175 - 0.01), 64);
    EXPECT_EQ(e->tracks[1].p[brs::P_CUT], 2500.0f);
    EXPECT_TRUE(e->voices.empty());
    // An infinite lane value is treated as an empty place.
    EXPECT_EQ(e->tracks[2].p[brs::P_DECAY], 0.5f);

    auto off = makeEngine();
    brskern_set_auto(off.get(), lanes.data(), lanes.size(), false);
    brskern_start(off.get());
    record(*off, framesFor(5 * STEP_175), 64);
    EXPECT_EQ(off->tracks[1].p[brs::P_CUT], 400.0f);
}

TEST(SequencerSafety, OutOfRangeTempoIsLimitedWhereTheClockUsesIt) {
    struct Case { float bpm; double used; };
    const float inf = std::numeric_limits<float>::infinity();
    for (const Case c : {Case{0.0f, 60.0}, Case{-120.0f, 60.0}, Case{1e9f, 260.0},
                         Case{std::nanf(""), 175.0}, Case{inf, 175.0}, Case{-inf, 175.0}}) {
        SCOPED_TRACE(c.bpm);
        auto e = makeEngine();
        brskern_start(e.get());
        e->bpm = c.bpm;  // as the set reader may leave it
        std::vector<float> out(2 * 4096);
        for (int i = 0; i < 24; ++i) brskern_process(e.get(), out.data(), 4096);  // ~2 s
        const double stepDur = 60.0 / c.used * 0.25;
        EXPECT_NEAR(e->nextStep, std::ceil(e->clock / stepDur - 1e-9) * stepDur, 1e-9);
        EXPECT_GT(e->nextStep, e->clock - 1e-12);
        if (std::isnan(c.bpm)) EXPECT_TRUE(std::isnan(e->bpm));
        else EXPECT_EQ(e->bpm, c.bpm);  // the field itself is left alone
    }
}

TEST(SequencerSafety, OutOfRangeSwingNeverMovesAStepBeforeTheLastOne) {
    for (float swing : {-80.0f, 500.0f, std::nanf("")}) {
        SCOPED_TRACE(swing);
        auto e = makeEngine();
        makeVoicesLong(e.get());
        for (uint32_t s = 0; s < 4; ++s) brskern_set_step(e.get(), 0, 0, s, 1, 0, 0, 1, 0, 0);
        brskern_start(e.get());
        e->swing = swing;
        const auto hits = record(*e, framesFor(4 * STEP_175 - 0.01), 1);
        ASSERT_EQ(hits.size(), 4u);
        const double used = swing > 60.0f ? 60.0 : 0.0;
        EXPECT_NEAR(hits[1].start, STEP_175 * (1.0 + used / 100.0), TIGHT);
        EXPECT_NEAR(hits[2].start, 2.0 * STEP_175, TIGHT);
        for (std::size_t i = 1; i < hits.size(); ++i) EXPECT_GT(hits[i].start, hits[i - 1].start);
    }
}

// Placing at a host position: the next step is the first sixteenth at or
// after it, due after the remainder; an odd step whose swung hit lies ahead
// comes first; whole patterns since position 0 choose the song entry and
// pass. The clock stands at an arbitrary time, as in a running engine.
TEST(SequencerPlace, PositionGivesStepSongEntryAndTimeOfTheNextStep) {
    struct Case {
        double beats;
        uint32_t len;
        float swing;
        bool song;  // song [(2, 2), (5, 1)]: three patterns a cycle
        uint64_t step, pat, songPos, songRep;
        double ahead;  // steps until nextStep
        const char* what;
    };
    const Case cases[] = {
        {0.0, 16, 0, false, 0, 0, 0, 0, 0.0, "position 0"},
        {2.5, 16, 0, false, 10, 0, 0, 0, 0.0, "exactly on step 10"},
        {2.5 - 1e-9, 16, 0, false, 10, 0, 0, 0, 0.0, "a hair before step 10 (host rounding)"},
        {3.3, 16, 0, false, 14, 0, 0, 0, 0.8, "inside step 13: step 14 next"},
        {-1.0, 16, 0, false, 0, 0, 0, 0, 4.0, "pre-roll: step 0 four steps ahead"},
        {0.3, 16, 50, false, 1, 0, 0, 0, -0.2, "inside swung step 1, its hit still ahead"},
        {0.45, 16, 50, false, 2, 0, 0, 0, 0.2, "after swung step 1's hit"},
        {0.3, 16, 0, false, 2, 0, 0, 0, 0.8, "the same without swing"},
        {4.0, 16, 0, true, 0, 2, 0, 1, 0.0, "bar 2: entry 0, second pass"},
        {8.25, 16, 0, true, 1, 5, 1, 0, 0.0, "bar 3: entry 1"},
        {12.0, 16, 0, true, 0, 2, 0, 0, 0.0, "bar 4: the chain starts over"},
        {50.0, 16, 0, true, 8, 2, 0, 0, 0.0, "bar 13 (12 whole patterns): entry 0, first pass"},
        {5.0, 8, 0, true, 4, 5, 1, 0, 0.0, "8-step patterns: 2.5 patterns since 0"},
        {3.0, 12, 0, false, 0, 0, 0, 0, 0.0, "12-step pattern: step 12 is step 0 of the second pass"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto e = makeEngine();
        brskern_set_global(e.get(), c.swing, c.len, false, 0.15f, 0.85f);
        if (c.song) {
            const uint8_t song[] = {2, 2, 5, 1};
            brskern_set_song(e.get(), song, sizeof song);
        }
        brskern_start(e.get());
        std::vector<float> out(2 * 777);
        brskern_process(e.get(), out.data(), 777);  // the clock has moved on
        brskern_place(e.get(), c.beats);
        EXPECT_EQ(e->step, c.step);
        EXPECT_EQ(e->pat, c.pat);
        EXPECT_EQ(e->songPos, c.songPos);
        EXPECT_EQ(e->songRep, c.songRep);
        EXPECT_NEAR((e->nextStep - e->clock) / STEP_175, c.ahead, 1e-6);
        EXPECT_TRUE(e->playing);
    }
}

// After placing, the steps fire where the position says, whatever the block
// size; a position that is not finite changes nothing.
TEST(SequencerPlace, StepsFireOnTheHostsGridAndBadPositionsAreIgnored) {
    std::vector<double> first;
    for (uint32_t block : {1u, 64u, 1000u, 4096u}) {
        SCOPED_TRACE(block);
        auto e = makeEngine();
        makeVoicesLong(e.get());
        for (uint32_t s = 0; s < 16; ++s) brskern_set_step(e.get(), 0, 0, s, s == 11, 0, 0, 1, 0, 0);
        brskern_start(e.get());
        brskern_place(e.get(), 2.6);  // step 11 lies 0.6 steps ahead
        const auto hits = record(*e, framesFor(STEP_175), block);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_NEAR(hits[0].start, 0.6 * STEP_175, 1e-5);
    }
    auto e = makeEngine();
    brskern_start(e.get());
    brskern_place(e.get(), 1.0);
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300}) {
        brskern_place(e.get(), bad);
        EXPECT_EQ(e->step, 4u);
        EXPECT_EQ(e->nextStep, e->clock);
    }
    brskern_place(nullptr, 1.0);  // a null handle is ignored
}
