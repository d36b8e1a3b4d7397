// render.cpp: the render loop, voice creation, voice lengths and retirement.
#include <algorithm>

#include "dsp/dsp.h"
#include "engine/engine.h"

namespace brs {

// [audio thread] no allocation, no locks
void Engine::process(float* out, unsigned long frames) {
    const float dt = 1.0f / sampleRate;
    const double end = clock + static_cast<double>(frames) * static_cast<double>(dt);

    // Every step due before the end of the block becomes voices with exact
    // start delays, before a single sample is rendered.
    schedule(end);

    for (unsigned long i = 0; i < frames; ++i) {
        float dryBus = 0.0f;
        float delayBus = 0.0f;
        float reverbBus = 0.0f;
        bool ended = false;

        for (Voice& v : voices) {
            v.t += dt;
            if (v.t < 0.0f) continue;  // still waiting for its start
            // Written as "not within" so that a voice whose length is not a
            // number ends instead of occupying a place forever.
            if (!(v.t <= v.dur)) {
                v.alive = 0;
                ended = true;
                continue;
            }
            const float o = renderVoice(v, brk, sampleRate);
            ended |= v.alive == 0;  // the recipe may end a voice that went wrong
            dryBus += o;
            delayBus += v.params[P_DELAY_SEND] * o;
            reverbBus += v.params[P_REVERB_SEND] * o;
        }

        // Compacts in place and keeps the order of the others.
        if (ended)
            voices.erase(std::remove_if(voices.begin(), voices.end(),
                                        [](const Voice& v) { return v.alive == 0; }),
                         voices.end());

        float left = 0.0f;
        float right = 0.0f;
        fx.frame(dryBus, delayBus, reverbBus, left, right);
        masterStage(left, right, masterDrive, masterLevel, limiterGain);
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }

    clock = end;
}

// [audio thread] no allocation, no locks
void Engine::skip(unsigned long frames) {
    const float dt = 1.0f / sampleRate;
    const double end = clock + static_cast<double>(frames) * static_cast<double>(dt);
    schedule(end);
    const float span = static_cast<float>(end - clock);
    for (Voice& v : voices) {
        v.t += span;
        if (!(v.t <= v.dur)) v.alive = 0;
    }
    voices.erase(std::remove_if(voices.begin(), voices.end(), [](const Voice& v) { return v.alive == 0; }),
                 voices.end());
    clock = end;
}

// [audio thread] no allocation: the list's capacity is reserved for the cap
bool Engine::spawnVoice(uint64_t track, float delay, float dur, float gain, float note,
                        uint64_t slice, uint8_t rev) {
    if (voices.size() >= MAX_VOICES || track >= static_cast<uint64_t>(NUM_TRACKS)) return false;

    const Track& tr = tracks[track];
    Voice v{};
    v.track = track;
    v.t = -delay;
    v.dur = dur;
    v.gain = gain;
    v.note = note;
    v.ic1 = 0.0f;
    v.ic2 = 0.0f;
    v.rng = (static_cast<uint32_t>(voices.size()) + 1u) ^ 0x9E37u;
    std::copy(tr.p, tr.p + NUM_PARAMS, v.params);
    v.wave = tr.wave;
    v.slice = slice & 15u;
    v.rev = rev;
    v.alive = 1;
    voices.push_back(v);
    return true;
}

float Engine::voiceLength(uint64_t track) const {
    if (track >= static_cast<uint64_t>(NUM_TRACKS)) return 0.0f;
    const float* p = tracks[track].p;
    switch (track) {
        case 0: return p[P_DECAY] + 0.05f;
        case 1: return p[P_DECAY] + 0.1f;
        case 2: return p[P_DECAY] + 0.2f;
        case 3: {
            // gate times one slice (a sixteenth of the loop) plus 5 ms
            const float n = static_cast<float>(brk.samples.size());
            return p[P_GATE] * (n * 0.0625f / sampleRate) + 0.005f;
        }
        case 4: return (p[P_OPEN] > 0.5f ? 4.0f * p[P_DECAY] : p[P_DECAY]) + 0.02f;
        default: return p[P_DECAY] + 0.05f;
    }
}

}  // namespace brs
