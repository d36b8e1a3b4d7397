// engine.cpp: the engine's tables, defaults, construction and the kernel's
// lifecycle and transport functions.
#include "engine/engine.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "engine/brskern.h"

namespace brs {

const char* const PARAM_NAMES[NUM_PARAMS] = {
    "tune",  "pitchAmt", "pitchDec", "click", "tone",  "cut",   "res",
    "env",   "decay",    "drive",    "level", "detune", "slide", "slideT",
    "pitch", "gate",     "open",     "chord", "delaySend", "reverbSend"};

const ParamRange PARAM_RANGES[NUM_PARAMS] = {
    {25.0f, 400.0f},   // tune, percent of the note
    {1.0f, 16.0f},     // pitchAmt, onset multiplier
    {0.005f, 1.0f},    // pitchDec, s
    {0.0f, 2.0f},      // click
    {40.0f, 16000.0f}, // tone, Hz
    {40.0f, 16000.0f}, // cut, Hz
    {0.5f, 20.0f},     // res
    {0.0f, 4.0f},      // env
    {0.01f, 2.0f},     // decay, s
    {0.0f, 1.0f},      // drive
    {0.0f, 1.0f},      // level
    {0.0f, 100.0f},    // detune, cents
    {-24.0f, 36.0f},   // slide, semitones
    {0.005f, 2.0f},    // slideT, s
    {-24.0f, 24.0f},   // pitch, semitones
    {0.05f, 2.0f},     // gate, slices
    {0.0f, 1.0f},      // open
    {0.0f, 12.0f},     // chord, semitones
    {0.0f, 1.0f},      // delaySend
    {0.0f, 1.0f},      // reverbSend
};

const float BASEN[NUM_TRACKS] = {36.0f, 36.0f, 48.0f, 60.0f, 44.0f, 60.0f};

namespace {

// Default sound parameters, [parameter][track] (kick, bass, hoover, break, hat, stab).
constexpr float DEFAULT_P[NUM_PARAMS][NUM_TRACKS] = {
    {100.0f, 100.0f, 100.0f, 100.0f, 100.0f, 100.0f},          // tune
    {6.0f, 6.0f, 6.0f, 6.0f, 6.0f, 6.0f},                      // pitchAmt
    {0.06f, 0.06f, 0.06f, 0.06f, 0.06f, 0.06f},                // pitchDec
    {0.4f, 0.4f, 0.4f, 0.4f, 0.4f, 0.4f},                      // click
    {3000.0f, 3000.0f, 3000.0f, 3000.0f, 3000.0f, 3000.0f},    // tone
    {400.0f, 400.0f, 1800.0f, 12000.0f, 8000.0f, 1200.0f},     // cut
    {6.0f, 6.0f, 3.0f, 6.0f, 6.0f, 6.0f},                      // res
    {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f},                      // env
    {0.35f, 0.25f, 0.5f, 0.35f, 0.05f, 0.2f},                  // decay
    {0.6f, 0.3f, 0.3f, 0.6f, 0.6f, 0.6f},                      // drive
    {0.9f, 0.7f, 0.6f, 0.8f, 0.5f, 0.5f},                      // level
    {22.0f, 22.0f, 22.0f, 22.0f, 22.0f, 22.0f},                // detune
    {12.0f, 12.0f, 12.0f, 12.0f, 12.0f, 12.0f},                // slide
    {0.25f, 0.25f, 0.25f, 0.25f, 0.25f, 0.25f},                // slideT
    {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},                      // pitch
    {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f},                      // gate
    {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},                      // open
    {3.0f, 3.0f, 3.0f, 3.0f, 3.0f, 3.0f},                      // chord
    {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},                      // delaySend
    {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},                      // reverbSend
};

}  // namespace

float defaultParam(int track, int index) {
    if (track < 0 || track >= NUM_TRACKS || index < 0 || index >= NUM_PARAMS) return 0.0f;
    return DEFAULT_P[index][track];
}

int paramIndex(const char* name) {
    if (name == nullptr) return -1;
    for (int i = 0; i < NUM_PARAMS; ++i)
        if (std::strcmp(name, PARAM_NAMES[i]) == 0) return i;
    return -1;
}

float safeSampleRate(float sampleRate) {
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0f) return 48000.0f;
    if (sampleRate < 1.0f) return 1.0f;
    if (sampleRate > 768000.0f) return 768000.0f;
    return sampleRate;
}

double effectiveBpm(float bpm) {
    if (!std::isfinite(bpm)) return 175.0;
    if (bpm < 60.0f) return 60.0;
    if (bpm > 260.0f) return 260.0;
    return bpm;
}

double effectiveSwing(float swing) {
    if (!std::isfinite(swing)) return 0.0;
    if (swing < 0.0f) return 0.0;
    if (swing > 60.0f) return 60.0;
    return swing;
}

// Construction in member order: scalars (initialisers in the class), the break
// loop, the effects and the limiter, then tracks, patterns, the voice list and
// the automation lanes.
Engine::Engine(float rate)
    : sampleRate(safeSampleRate(rate)), brk(sampleRate), fx(sampleRate), limiterGain(1.0f) {
    for (int t = 0; t < NUM_TRACKS; ++t) {
        for (int i = 0; i < NUM_PARAMS; ++i) tracks[t].p[i] = DEFAULT_P[i][t];
        tracks[t].wave = 0;
    }

    Pattern blank;
    for (auto& row : blank.steps)
        for (auto& s : row) s = Step{0, 0, 0, 1, 0, 0};
    pats.assign(NUM_PATTERNS, blank);
    for (int i = 0; i < NUM_STEPS; ++i) pats[0].steps[3][i].slice = static_cast<uint8_t>(i % 16);

    autom.assign(AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
    autoOn = true;
    ensureCapacity();
}

void Engine::ensureCapacity() {
    if (voices.capacity() < MAX_VOICES) voices.reserve(MAX_VOICES);
    if (song.capacity() < SONG_RESERVE) song.reserve(SONG_RESERVE);
    if (autom.size() < AUTOM_SIZE) autom.resize(AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
}

void Engine::silence() {
    voices.clear();
    fx.clear();
    limiterGain = 1.0f;
}

void Engine::start() {
    playing = true;
    step = 0;
    songPos = 0;
    songRep = 0;
    if (!song.empty()) pat = song[0].pat & 7u;
    nextStep = clock;
}

bool Engine::patternHasSteps(uint64_t index) const {
    if (index >= pats.size()) return false;
    const Pattern& p = pats[index];
    for (const auto& row : p.steps)
        for (const auto& s : row)
            if (s.on != 0) return true;
    return false;
}

}  // namespace brs

extern "C" {

brskern_t brskern_new(float sampleRate) {
    try {
        return new brs::Engine(sampleRate);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void brskern_free(brskern_t h) { delete h; }

void brskern_process(brskern_t h, float* out, uint32_t frames) {
    if (h == nullptr || (out == nullptr && frames != 0)) return;
    brs::DenormalScope scope;
    h->process(out, frames);
}

void brskern_process_split(brskern_t h, float* out, float* const* own, uint32_t frames) {
    if (h == nullptr || (out == nullptr && frames != 0)) return;
    brs::DenormalScope scope;
    h->process(out, frames, own);
}

void brskern_skip(brskern_t h, uint32_t frames) {
    if (h != nullptr) h->skip(frames);
}

void brskern_reset(brskern_t h) {
    if (h != nullptr) h->silence();
}

void brskern_start(brskern_t h) {
    if (h != nullptr) h->start();
}

void brskern_place(brskern_t h, double beats) {
    if (h != nullptr) h->place(beats);
}

void brskern_stop(brskern_t h) {
    if (h != nullptr) h->playing = false;
}

int32_t brskern_step(brskern_t h) { return h != nullptr ? static_cast<int32_t>(h->step) : 0; }

int32_t brskern_pat(brskern_t h) { return h != nullptr ? static_cast<int32_t>(h->pat) : 0; }

bool brskern_playing(brskern_t h) { return h != nullptr && h->playing; }

}  // extern "C"
