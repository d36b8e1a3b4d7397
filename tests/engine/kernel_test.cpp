// Kernel control functions: clamps, name lookups, steps, song chain, lanes,
// MIDI and triggers, non-finite values and null handles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine_fixture.h"

using namespace brstest;

namespace {
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();
}  // namespace

TEST(KernelClamps, TempoSwingEffectsAndGlobals) {
    auto e = makeEngine();
    brskern_t h = e.get();
    brskern_set_bpm(h, 400.0f);
    EXPECT_EQ(e->bpm, 260.0f);
    brskern_set_bpm(h, 10.0f);
    EXPECT_EQ(e->bpm, 60.0f);
    brskern_set_bpm(h, 133.3f);
    EXPECT_EQ(e->bpm, 133.3f);

    brskern_set_swing(h, -5.0f);
    EXPECT_EQ(e->swing, 0.0f);
    brskern_set_swing(h, 61.0f);
    EXPECT_EQ(e->swing, 60.0f);
    brskern_set_swing(h, 12.5f);
    EXPECT_EQ(e->swing, 12.5f);

    brskern_set_fx(h, 0.0f, 2.0f, 3.0f);
    EXPECT_EQ(e->fx.delayTime, 0.02f);
    EXPECT_EQ(e->fx.delayFb, 0.95f);
    EXPECT_EQ(e->fx.reverbSize, 1.0f);
    brskern_set_fx(h, 5.0f, -1.0f, -2.0f);
    EXPECT_EQ(e->fx.delayTime, 1.9f);
    EXPECT_EQ(e->fx.delayFb, 0.0f);
    EXPECT_EQ(e->fx.reverbSize, 0.0f);
    brskern_set_fx(h, 0.3f, 0.5f, 0.25f);
    EXPECT_EQ(e->fx.delayTime, 0.3f);
    EXPECT_EQ(e->fx.delayFb, 0.5f);
    EXPECT_EQ(e->fx.reverbSize, 0.25f);

    brskern_set_global(h, -5.0f, 0, true, 3.0f, -2.0f);
    EXPECT_EQ(e->swing, 0.0f);
    EXPECT_EQ(e->len, 1u);
    EXPECT_TRUE(e->chain);
    EXPECT_EQ(e->masterDrive, 3.0f);  // master values are not clamped
    EXPECT_EQ(e->masterLevel, -2.0f);
    brskern_set_global(h, 80.0f, 100, false, 0.2f, 0.7f);
    EXPECT_EQ(e->swing, 60.0f);
    EXPECT_EQ(e->len, 64u);
    EXPECT_FALSE(e->chain);
    brskern_set_global(h, 20.0f, 64, false, 0.2f, 0.7f);
    EXPECT_EQ(e->len, 64u);
    EXPECT_EQ(e->swing, 20.0f);
}

TEST(KernelClamps, NonFiniteValuesLeaveFieldsAlone) {
    auto e = makeEngine();
    brskern_t h = e.get();
    brskern_set_bpm(h, 140.0f);
    brskern_set_swing(h, 10.0f);
    for (float bad : {NaN, Inf, -Inf}) {
        brskern_set_bpm(h, bad);
        brskern_set_swing(h, bad);
    }
    EXPECT_EQ(e->bpm, 140.0f);
    EXPECT_EQ(e->swing, 10.0f);

    // Only the non-finite arguments are ignored.
    brskern_set_fx(h, NaN, 0.5f, Inf);
    EXPECT_EQ(e->fx.delayTime, 0.375f);
    EXPECT_EQ(e->fx.delayFb, 0.5f);
    EXPECT_EQ(e->fx.reverbSize, 0.8f);
    brskern_set_fx(h, 1.0f, -Inf, 0.1f);
    EXPECT_EQ(e->fx.delayTime, 1.0f);
    EXPECT_EQ(e->fx.delayFb, 0.5f);
    EXPECT_EQ(e->fx.reverbSize, 0.1f);

    brskern_set_global(h, NaN, 8, true, Inf, 0.5f);
    EXPECT_EQ(e->swing, 10.0f);
    EXPECT_EQ(e->len, 8u);
    EXPECT_TRUE(e->chain);
    EXPECT_EQ(e->masterDrive, 0.15f);
    EXPECT_EQ(e->masterLevel, 0.5f);
    brskern_set_global(h, 30.0f, 8, true, 0.4f, -NaN);
    EXPECT_EQ(e->swing, 30.0f);
    EXPECT_EQ(e->masterDrive, 0.4f);
    EXPECT_EQ(e->masterLevel, 0.5f);

    for (float bad : {NaN, Inf, -Inf}) {
        EXPECT_EQ(brskern_set_param(h, 1, "cut", bad), 0);
        EXPECT_EQ(brskern_set_param(h, 6, "drive", bad), 0);
    }
    EXPECT_EQ(e->tracks[1].p[brs::P_CUT], 400.0f);
    EXPECT_EQ(e->masterDrive, 0.4f);

    // A trigger with a non-finite note or gain would poison the mix: nothing.
    brskern_trigger(h, 0, 0, false, NaN, 1.0f);
    brskern_trigger(h, 0, 0, false, 36.0f, Inf);
    EXPECT_TRUE(e->voices.empty());
}

TEST(KernelParams, TrackNamesAreFoundExactlyAndInOrder) {
    auto e = makeEngine();
    brskern_t h = e.get();
    for (int i = 0; i < brs::NUM_PARAMS; ++i) {
        const float v = 1000.0f + static_cast<float>(i);
        EXPECT_EQ(brskern_set_param(h, 3, brs::PARAM_NAMES[i], v), 1) << brs::PARAM_NAMES[i];
        EXPECT_EQ(e->tracks[3].p[i], v);
        EXPECT_EQ(brskern_get_param(h, 3, brs::PARAM_NAMES[i]), v);
        EXPECT_EQ(brs::paramIndex(brs::PARAM_NAMES[i]), i);
    }
    EXPECT_EQ(brskern_set_param(h, 2, "cut", 900.0f), 1);
    EXPECT_EQ(e->tracks[2].p[brs::P_CUT], 900.0f);
    EXPECT_EQ(e->tracks[1].p[brs::P_CUT], 400.0f);  // other tracks untouched

    for (const char* wrong : {"Cut", "cut ", "cu", "", "mute", "swing", "bpm"}) {
        SCOPED_TRACE(wrong);
        EXPECT_EQ(brskern_set_param(h, 2, wrong, 5.0f), 0);
    }
    EXPECT_EQ(brskern_set_param(h, 2, nullptr, 5.0f), 0);
    EXPECT_EQ(e->tracks[2].p[brs::P_CUT], 900.0f);
    EXPECT_EQ(brskern_get_param(h, 2, "Cut"), 0.0f);
    EXPECT_EQ(brskern_get_param(h, 2, nullptr), 0.0f);

    // Not clamped.
    EXPECT_EQ(brskern_set_param(h, 0, "level", -7.0f), 1);
    EXPECT_EQ(brskern_get_param(h, 0, "level"), -7.0f);

    EXPECT_EQ(brskern_get_param(h, 0, "mute"), 0.0f);
    brskern_set_mute(h, 0, true);
    EXPECT_EQ(brskern_get_param(h, 0, "mute"), 1.0f);
    EXPECT_EQ(brskern_get_param(h, 1, "mute"), 0.0f);
}

TEST(KernelParams, TracksAboveFiveReachTheGlobalValues) {
    auto e = makeEngine();
    brskern_t h = e.get();
    EXPECT_EQ(brskern_set_param(h, 6, "drive", 0.5f), 1);
    EXPECT_EQ(brskern_set_param(h, 99, "level", 0.25f), 1);
    EXPECT_EQ(e->masterDrive, 0.5f);
    EXPECT_EQ(e->masterLevel, 0.25f);
    for (const char* readOnly : {"swing", "delayTime", "delayFb", "reverbSize", "bpm", "cut", "mute"})
        EXPECT_EQ(brskern_set_param(h, 6, readOnly, 1.0f), 0) << readOnly;

    brskern_set_bpm(h, 150.0f);
    brskern_set_swing(h, 25.0f);
    brskern_set_fx(h, 0.5f, 0.3f, 0.6f);
    EXPECT_EQ(brskern_get_param(h, 6, "bpm"), 150.0f);
    EXPECT_EQ(brskern_get_param(h, 6, "swing"), 25.0f);
    EXPECT_EQ(brskern_get_param(h, 6, "delayTime"), 0.5f);
    EXPECT_EQ(brskern_get_param(h, 6, "delayFb"), 0.3f);
    EXPECT_EQ(brskern_get_param(h, 6, "reverbSize"), 0.6f);
    EXPECT_EQ(brskern_get_param(h, 7, "drive"), 0.5f);
    EXPECT_EQ(brskern_get_param(h, 0xFFFFFFFFu, "level"), 0.25f);
    EXPECT_EQ(brskern_get_param(h, 6, "cut"), 0.0f);
    EXPECT_EQ(brskern_get_param(h, 6, "mute"), 0.0f);
    EXPECT_EQ(brskern_get_param(h, 6, "Bpm"), 0.0f);
    // "drive" and "level" name the track's own values below 6.
    EXPECT_EQ(brskern_get_param(h, 5, "drive"), 0.6f);
}

TEST(KernelTracks, MuteAndWaveIgnoreTracksAboveFive) {
    auto e = makeEngine();
    brskern_t h = e.get();
    brskern_set_mute(h, 5, true);
    brskern_set_mute(h, 6, true);
    brskern_set_wave(h, 2, 7);
    brskern_set_wave(h, 6, 1);
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(e->mute[t], t == 5);
        EXPECT_EQ(e->tracks[t].wave, t == 2 ? 7 : 0);
    }
    brskern_set_mute(h, 5, false);
    EXPECT_FALSE(e->mute[5]);
    // A new voice copies the wave byte.
    brskern_trigger(h, 2, 0, false, 60.0f, 1.0f);
    ASSERT_EQ(e->voices.size(), 1u);
    EXPECT_EQ(e->voices[0].wave, 7);
}

TEST(KernelSteps, BytesRangesAndRatchetZero) {
    auto e = makeEngine();
    brskern_t h = e.get();
    brskern_set_step(h, 7, 5, 63, 1, 1, -12, 0, 200, 1);
    const brs::Step& s = e->pats[7].steps[5][63];
    EXPECT_EQ(s.on, 1);
    EXPECT_EQ(s.acc, 1);
    EXPECT_EQ(s.note, -12);
    EXPECT_EQ(s.rat, 1);
    EXPECT_EQ(s.slice, 200);  // stored unchanged; the break uses its low bits
    EXPECT_EQ(s.rev, 1);

    // Low eight bits of each argument; the flags then as 0 or 1.
    brskern_set_step(h, 1, 0, 0, 0x102, 0x1FF, 200, 0x103, 0x10F, 0x200);
    const brs::Step& t = e->pats[1].steps[0][0];
    EXPECT_EQ(t.on, 1);
    EXPECT_EQ(t.acc, 1);
    EXPECT_EQ(t.note, -56);
    EXPECT_EQ(t.rat, 3);
    EXPECT_EQ(t.slice, 15);
    EXPECT_EQ(t.rev, 0);
    brskern_set_step(h, 1, 0, 1, 1, 0, 0, 256, 0, 0);  // low byte 0 → 1
    EXPECT_EQ(e->pats[1].steps[0][1].rat, 1);

    // Out of range: nothing anywhere.
    const std::vector<brs::Pattern> before = e->pats;
    brskern_set_step(h, 0, 0, 64, 1, 1, 1, 1, 1, 1);
    brskern_set_step(h, 8, 0, 0, 1, 1, 1, 1, 1, 1);
    brskern_set_step(h, 0, 6, 0, 1, 1, 1, 1, 1, 1);
    brskern_set_step(h, 0xFFFFFFFFu, 0, 0, 1, 1, 1, 1, 1, 1);
    EXPECT_EQ(0, std::memcmp(before.data(), e->pats.data(), sizeof(brs::Pattern) * 8));
    EXPECT_EQ(e->pats.size(), 8u);
}

TEST(KernelSong, PairsPatternBitsAndRepeats) {
    auto e = makeEngine();
    brskern_t h = e.get();
    const uint8_t five[] = {9, 0, 3, 2, 5};
    brskern_set_song(h, five, sizeof five);
    ASSERT_EQ(e->song.size(), 2u);
    EXPECT_EQ(e->song[0].pat, 1);
    EXPECT_EQ(e->song[0].rep, 1);
    EXPECT_EQ(e->song[1].pat, 3);
    EXPECT_EQ(e->song[1].rep, 2);

    e->songPos = 1;
    e->songRep = 1;
    const uint8_t one[] = {255, 255};
    brskern_set_song(h, one, 2);
    ASSERT_EQ(e->song.size(), 1u);
    EXPECT_EQ(e->song[0].pat, 7);
    EXPECT_EQ(e->song[0].rep, 255);
    EXPECT_EQ(e->songPos, 1u);  // position is not touched
    EXPECT_EQ(e->songRep, 1u);

    brskern_set_song(h, one, 1);
    EXPECT_TRUE(e->song.empty());
    brskern_set_song(h, one, 2);
    brskern_set_song(h, nullptr, 2);
    EXPECT_TRUE(e->song.empty());

    // Longer chains than the reserved room grow.
    std::vector<uint8_t> big(2 * 1000, 2);
    brskern_set_song(h, big.data(), big.size());
    EXPECT_EQ(e->song.size(), 1000u);

    // A corrupt count that no chain could hold is refused before a byte is
    // read: the old chain stays and nothing is thrown out of the C function.
    brskern_set_song(h, big.data(), SIZE_MAX);
    EXPECT_EQ(e->song.size(), 1000u);
}

TEST(KernelAutomation, CountRulesAndOnFlag) {
    auto e = makeEngine();
    brskern_t h = e.get();
    std::vector<float> lanes(brs::AUTOM_SIZE + 5, 1.5f);
    EXPECT_EQ(brskern_set_auto(h, lanes.data(), lanes.size(), false), 1);
    EXPECT_FALSE(e->autoOn);
    ASSERT_EQ(e->autom.size(), brs::AUTOM_SIZE);
    EXPECT_EQ(e->autom.front(), 1.5f);
    EXPECT_EQ(e->autom.back(), 1.5f);

    // Too few values: only the flag changes.
    std::vector<float> few(brs::AUTOM_SIZE - 1, 2.0f);
    EXPECT_EQ(brskern_set_auto(h, few.data(), few.size(), true), 0);
    EXPECT_TRUE(e->autoOn);
    EXPECT_EQ(e->autom[100], 1.5f);
    EXPECT_EQ(brskern_set_auto(h, nullptr, brs::AUTOM_SIZE, false), 0);
    EXPECT_FALSE(e->autoOn);
    EXPECT_EQ(e->autom[100], 1.5f);

    // Zero values clears every lane.
    EXPECT_EQ(brskern_set_auto(h, nullptr, 0, true), 1);
    for (float v : e->autom) ASSERT_TRUE(std::isnan(v));
    EXPECT_EQ(e->autom.size(), brs::AUTOM_SIZE);
}

TEST(KernelMidi, NoteOnPlaysTheTrackStartAndStopRunTheSequencer) {
    auto e = makeEngine();
    brskern_t h = e.get();
    brskern_midi(h, 0x99, 36, 100);  // channel 10: the channel is ignored
    ASSERT_EQ(e->voices.size(), 1u);
    const brs::Voice& v = e->voices[0];
    EXPECT_EQ(v.track, 0u);
    EXPECT_EQ(v.note, 36.0f);
    EXPECT_FLOAT_EQ(v.gain, 100.0f / 127.0f * 0.9f);
    EXPECT_EQ(v.t, 0.0f);
    EXPECT_EQ(v.slice, 0u);
    EXPECT_EQ(v.rev, 0);
    EXPECT_EQ(v.dur, 0.35f + 0.05f);

    brskern_midi(h, 0x90, 41, 127);  // stab, its own base note
    ASSERT_EQ(e->voices.size(), 2u);
    EXPECT_EQ(e->voices[1].track, 5u);
    EXPECT_EQ(e->voices[1].note, 60.0f);
    EXPECT_FLOAT_EQ(e->voices[1].gain, 0.5f);
    brskern_midi(h, 0x90, 38, 64);
    EXPECT_EQ(e->voices[2].note, 48.0f);

    // Ignored: velocity 0, note-off, notes outside 36..41, other messages.
    const uint8_t ignored[][3] = {{0x90, 40, 0}, {0x80, 36, 100}, {0x90, 35, 100}, {0x90, 42, 100},
                                  {0xB0, 36, 100}, {0xF8, 0, 0}, {0xFB, 0, 0}, {0xA0, 36, 100},
                                  {0xE0, 36, 100}, {0xFF, 0, 0}};
    for (const auto& m : ignored) brskern_midi(h, m[0], m[1], m[2]);
    EXPECT_EQ(e->voices.size(), 3u);
    EXPECT_FALSE(e->playing);

    // Start acts as brskern_start, stop as brskern_stop.
    const uint8_t song[] = {4, 1};
    brskern_set_song(h, song, 2);
    float out[2 * 100];
    brskern_process(h, out, 100);
    e->step = 9;
    brskern_midi(h, 0xFA, 0, 0);
    EXPECT_TRUE(brskern_playing(h));
    EXPECT_EQ(brskern_step(h), 0);
    EXPECT_EQ(brskern_pat(h), 4);
    EXPECT_EQ(e->nextStep, e->clock);
    brskern_process(h, out, 100);
    brskern_midi(h, 0xFC, 0, 0);
    EXPECT_FALSE(brskern_playing(h));
    EXPECT_EQ(brskern_step(h), 1);
    brskern_midi(h, 0xFB, 0, 0);  // Continue is ignored
    EXPECT_FALSE(brskern_playing(h));
}

TEST(KernelTrigger, OneVoiceWithGivenValues) {
    auto e = makeEngine();
    brskern_t h = e.get();
    brskern_trigger(h, 3, 21, true, 60.0f, 1.0f);
    ASSERT_EQ(e->voices.size(), 1u);
    EXPECT_EQ(e->voices[0].track, 3u);
    EXPECT_EQ(e->voices[0].slice, 5u);
    EXPECT_EQ(e->voices[0].rev, 1);
    EXPECT_EQ(e->voices[0].note, 60.0f);
    EXPECT_EQ(e->voices[0].gain, 1.0f);
    brskern_trigger(h, 3, -1, false, 61.5f, 0.3f);
    EXPECT_EQ(e->voices[1].slice, 15u);
    EXPECT_EQ(e->voices[1].note, 61.5f);
    brskern_trigger(h, 6, 0, false, 60.0f, 1.0f);
    EXPECT_EQ(e->voices.size(), 2u);
}

TEST(KernelNullHandle, EveryFunctionIgnoresIt) {
    float out[4] = {1, 2, 3, 4};
    const uint8_t song[] = {1, 1};
    std::vector<float> lanes(brs::AUTOM_SIZE, 0.0f);
    brskern_process(nullptr, out, 2);
    brskern_start(nullptr);
    brskern_stop(nullptr);
    EXPECT_EQ(brskern_step(nullptr), 0);
    EXPECT_EQ(brskern_pat(nullptr), 0);
    EXPECT_FALSE(brskern_playing(nullptr));
    brskern_set_bpm(nullptr, 120.0f);
    brskern_set_swing(nullptr, 1.0f);
    brskern_set_fx(nullptr, 0.1f, 0.1f, 0.1f);
    brskern_set_global(nullptr, 1.0f, 4, true, 0.1f, 0.1f);
    brskern_set_mute(nullptr, 0, true);
    brskern_set_wave(nullptr, 0, 1);
    EXPECT_EQ(brskern_set_param(nullptr, 0, "cut", 1.0f), 0);
    EXPECT_EQ(brskern_get_param(nullptr, 0, "cut"), 0.0f);
    brskern_set_step(nullptr, 0, 0, 0, 1, 1, 1, 1, 1, 1);
    brskern_set_song(nullptr, song, 2);
    EXPECT_EQ(brskern_set_auto(nullptr, lanes.data(), lanes.size(), true), 0);
    brskern_midi(nullptr, 0x90, 36, 100);
    brskern_midi(nullptr, 0xFA, 0, 0);
    brskern_trigger(nullptr, 0, 0, false, 36.0f, 1.0f);
    brskern_free(nullptr);
    EXPECT_EQ(out[0], 1.0f);

    // A null output with frames does nothing either; with zero frames it is fine.
    auto e = makeEngine();
    brskern_start(e.get());
    brskern_process(e.get(), nullptr, 64);
    EXPECT_EQ(e->clock, 0.0);
    brskern_process(e.get(), nullptr, 0);
    EXPECT_EQ(e->clock, 0.0);
}

// ---- voice lengths beyond every range ---------------------------------------------

// A kernel caller may store any finite value; no voice then outlives the cap
// on its length, at the lowest and the highest rate an engine takes, for every
// track whose length follows a value (decay, open hat, gate). The voice
// sounds for its whole capped life: the clock neither stops nor ends it early.
TEST(KernelVoiceLength, AbsurdValuesEndAtTheCapAtEveryRate) {
    struct Case {
        float rate;
        uint32_t track;
        const char* name;
        float value;
    };
    const Case cases[] = {
        {48000.0f, 0, "decay", 1e30f},  {48000.0f, 4, "decay", 3e38f},    {48000.0f, 3, "gate", 1e20f},
        {96000.0f, 2, "decay", 1000.0f}, {768000.0f, 0, "decay", 1e30f}, {768000.0f, 3, "gate", 1e30f},
        {44100.0f, 5, "decay", -1e30f},
    };
    std::vector<float> out(2 * 8192);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " on track " + std::to_string(c.track) + " at " +
                     std::to_string(c.rate));
        auto e = makeEngine(c.rate);
        brskern_t h = e.get();
        brskern_set_param(h, c.track, c.name, c.value);
        brskern_set_param(h, 4, "open", 1.0f);  // the hat's four-fold length
        brskern_trigger(h, c.track, 0, false, 60.0f, 1.0f);
        ASSERT_EQ(e->voices.size(), 1u);
        const float dur = e->voices[0].dur;
        EXPECT_LE(dur, brs::MAX_VOICE_SECONDS);
        if (c.value > 0.0f) {
            EXPECT_EQ(dur, brs::MAX_VOICE_SECONDS);
        }
        // Rendered to the end: gone once its own clock passed the cap, not
        // earlier. That clock adds 1/rate in single precision, so over long
        // lengths it runs off the frame count by the rounding of each step
        // (at most half a float spacing of at least two thirds of a step):
        // the voice lasts at most one and a half times its length in frames.
        const double limit = 1.5 * double(brs::MAX_VOICE_SECONDS) * c.rate;
        double frames = 0.0;
        while (!e->voices.empty() && frames < 2.0 * limit) {
            brskern_process(h, out.data(), 8192);
            frames += 8192.0;
        }
        EXPECT_TRUE(e->voices.empty()) << "the voice outlived its capped length";
        if (c.value > 0.0f) {
            EXPECT_GT(frames + 8192.0, double(dur) * c.rate) << "the voice ended early";
        }
        EXPECT_LE(frames, limit + 8192.0);
        std::printf("[ length   ] %s %u at %.0f Hz: %.2f s\n", c.name, c.track, double(c.rate), frames / c.rate);
    }
}

// Every length the value ranges allow is left exactly as computed: the
// longest of each track, at the top of its ranges.
TEST(KernelVoiceLength, InRangeLengthsAreUntouched) {
    auto e = makeEngine(44100.0f);
    brskern_t h = e.get();
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(h, t, "decay", brs::PARAM_RANGES[brs::P_DECAY].hi);
        brskern_set_param(h, t, "gate", brs::PARAM_RANGES[brs::P_GATE].hi);
        brskern_set_param(h, t, "open", brs::PARAM_RANGES[brs::P_OPEN].hi);
    }
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_trigger(h, t, 0, false, 60.0f, 1.0f);
        EXPECT_EQ(e->voices.back().dur, e->voiceLength(t)) << t;
        EXPECT_LT(e->voiceLength(t), brs::MAX_VOICE_SECONDS / 2.0f) << t;
    }
    EXPECT_EQ(e->voiceLength(4), 4.0f * 2.0f + 0.02f);
}
