// kernel.cpp: the kernel's control functions (setters, getters, steps, song,
// automation lanes, MIDI and direct triggers).
//
// Rules shared by all of them: a null handle does nothing (getters give 0);
// a track number above 5 does nothing, except for the parameter setter and
// getter, where it selects the master values; a non-finite number is ignored
// and the field keeps its value, so the engine never holds NaN or infinity
// through these doors.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

#include "engine/brskern.h"
#include "engine/engine.h"

namespace {

// Stores value clamped to [lo, hi] into field, unless value is not finite.
void clampInto(float& field, float value, float lo, float hi) {
    if (std::isfinite(value)) field = std::clamp(value, lo, hi);
}

void storeFinite(float& field, float value) {
    if (std::isfinite(value)) field = value;
}

bool isTrack(uint32_t track) { return track < static_cast<uint32_t>(brs::NUM_TRACKS); }

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

extern "C" {

void brskern_set_bpm(brskern_t h, float bpm) {
    if (h != nullptr) clampInto(h->bpm, bpm, brs::BPM_RANGE.lo, brs::BPM_RANGE.hi);
}

void brskern_set_swing(brskern_t h, float swing) {
    if (h != nullptr) clampInto(h->swing, swing, brs::SWING_RANGE.lo, brs::SWING_RANGE.hi);
}

void brskern_set_fx(brskern_t h, float delayTime, float delayFb, float reverbSize) {
    if (h == nullptr) return;
    clampInto(h->fx.delayTime, delayTime, 0.02f, 1.9f);
    clampInto(h->fx.delayFb, delayFb, 0.0f, 0.95f);
    clampInto(h->fx.reverbSize, reverbSize, 0.0f, 1.0f);
}

void brskern_set_global(brskern_t h, float swing, uint32_t len, bool chain, float drive,
                        float level) {
    if (h == nullptr) return;
    clampInto(h->swing, swing, 0.0f, 60.0f);
    h->len = len == 0 ? 1u : std::min<uint32_t>(len, brs::NUM_STEPS);
    h->chain = chain;
    storeFinite(h->masterDrive, drive);
    storeFinite(h->masterLevel, level);
}

void brskern_set_mute(brskern_t h, uint32_t track, bool mute) {
    if (h != nullptr && isTrack(track)) h->mute[track] = mute;
}

void brskern_set_wave(brskern_t h, uint32_t track, uint8_t wave) {
    if (h != nullptr && isTrack(track)) h->tracks[track].wave = wave;
}

int brskern_set_param(brskern_t h, uint32_t track, const char* name, float value) {
    if (h == nullptr || name == nullptr || !std::isfinite(value)) return 0;
    if (isTrack(track)) {
        const int i = brs::paramIndex(name);
        if (i < 0) return 0;
        h->tracks[track].p[i] = value;
        return 1;
    }
    if (same(name, "drive")) {
        h->masterDrive = value;
        return 1;
    }
    if (same(name, "level")) {
        h->masterLevel = value;
        return 1;
    }
    return 0;
}

float brskern_get_param(brskern_t h, uint32_t track, const char* name) {
    if (h == nullptr || name == nullptr) return 0.0f;
    if (isTrack(track)) {
        const int i = brs::paramIndex(name);
        if (i >= 0) return h->tracks[track].p[i];
        if (same(name, "mute")) return h->mute[track] ? 1.0f : 0.0f;
        return 0.0f;
    }
    if (same(name, "drive")) return h->masterDrive;
    if (same(name, "level")) return h->masterLevel;
    if (same(name, "swing")) return h->swing;
    if (same(name, "delayTime")) return h->fx.delayTime;
    if (same(name, "delayFb")) return h->fx.delayFb;
    if (same(name, "reverbSize")) return h->fx.reverbSize;
    if (same(name, "bpm")) return h->bpm;
    return 0.0f;
}

void brskern_set_step(brskern_t h, uint32_t pat, uint32_t track, uint32_t step, int on, int acc,
                      int note, int rat, int slice, int rev) {
    if (h == nullptr || pat >= static_cast<uint32_t>(brs::NUM_PATTERNS) || !isTrack(track) ||
        step >= static_cast<uint32_t>(brs::NUM_STEPS) || pat >= h->pats.size())
        return;
    brs::Step& s = h->pats[pat].steps[track][step];
    // The flags are kept as 0 or 1, as a set document and the pattern image
    // carry them; a low byte of 0 stays off, so the step plays as given.
    auto flag = [](int v) -> uint8_t { return static_cast<uint8_t>(v) != 0 ? 1 : 0; };
    s.on = flag(on);
    s.acc = flag(acc);
    s.note = static_cast<int8_t>(static_cast<uint8_t>(note));
    s.rat = static_cast<uint8_t>(rat);
    if (s.rat == 0) s.rat = 1;
    s.slice = static_cast<uint8_t>(slice);
    s.rev = flag(rev);
}

void brskern_set_song(brskern_t h, const uint8_t* data, size_t n) {
    if (h == nullptr) return;
    const size_t pairs = data != nullptr ? n / 2 : 0;
    try {
        h->song.reserve(pairs);
    } catch (const std::exception&) {
        // Out of memory, or a count beyond what any chain can hold
        // (length_error): the old chain stays and nothing is thrown out.
        return;
    }
    h->song.clear();
    for (size_t i = 0; i < pairs; ++i) {
        const uint8_t rep = data[2 * i + 1];
        h->song.push_back(brs::SongEntry{static_cast<uint8_t>(data[2 * i] & 7u),
                                         static_cast<uint8_t>(rep == 0 ? 1 : rep)});
    }
}

int brskern_set_auto(brskern_t h, const float* lanes, size_t count, bool on) {
    if (h == nullptr) return 0;
    h->autoOn = on;
    if (count == 0) {
        std::fill(h->autom.begin(), h->autom.end(), std::numeric_limits<float>::quiet_NaN());
        return 1;
    }
    if (count < brs::AUTOM_SIZE || lanes == nullptr) return 0;
    std::copy(lanes, lanes + std::min(brs::AUTOM_SIZE, h->autom.size()), h->autom.begin());
    return 1;
}

void brskern_midi(brskern_t h, uint8_t status, uint8_t data1, uint8_t data2) {
    if (h == nullptr) return;
    if ((status & 0xF0u) == 0x90u) {
        if (data2 == 0 || data1 < 36 || data1 > 41) return;
        const uint64_t t = data1 - 36u;
        const float gain = static_cast<float>(data2) / 127.0f * h->tracks[t].p[brs::P_LEVEL];
        h->spawnVoice(t, 0.0f, h->voiceLength(t), gain, brs::BASEN[t], 0, 0);
    } else if (status == 0xFAu) {
        h->start();
    } else if (status == 0xFCu) {
        h->playing = false;
    }
}

void brskern_trigger(brskern_t h, uint32_t track, int slice, bool rev, float note, float gain) {
    // A note or gain that is not finite would turn the whole mix into NaN.
    if (h == nullptr || !isTrack(track) || !std::isfinite(note) || !std::isfinite(gain)) return;
    h->spawnVoice(track, 0.0f, h->voiceLength(track), gain, note,
                  static_cast<uint64_t>(static_cast<unsigned>(slice) & 15u), rev ? 1 : 0);
}

}  // extern "C"
