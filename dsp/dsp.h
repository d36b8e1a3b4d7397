// dsp.h: sound generation building blocks of the kernel.
//
// The voice record, the synthesized break loop, the delay/reverb effects and
// the master stage. Primitives (exponential, sine, filter, soft clip, noise)
// live in dsp/primitives.h. The render loop itself is Engine::process
// (dsp/render.cpp), declared with the engine in engine/engine.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brs {

constexpr int NUM_PARAMS = 20;

// One sounding note with its own snapshot of the track's parameters.
struct Voice {
    uint64_t track;          // 0 kick, 1 bass, 2 hoover, 3 break, 4 hat, 5 stab
    float t;                 // seconds since start; negative while pending
    float dur;               // length in seconds
    float gain;              // linear amplitude
    float note;              // MIDI note number
    float phase[5];          // oscillator phases in cycles, [0, 1)
    float ic1, ic2;          // filter integrator states
    uint32_t rng;            // xorshift32 state
    float params[NUM_PARAMS];
    uint8_t wave;            // 0 saw, non-zero square
    uint64_t slice;          // break slice 0..15
    uint8_t rev;             // non-zero: break slice backwards
    uint8_t alive;           // 1 while sounding

    // Worked out by renderVoice on the voice's first sample from the fields
    // above that never change during its life (note, params, wave), with the
    // same operations the recipe would repeat on every sample.
    float prepSr;            // sample rate they were worked out for; 0 = not yet
    float inc[5];            // phase increment per oscillator (bass, stab; hoover: at incNote)
    float incNote;           // hoover: the gliding pitch inc holds for (NaN = none)
    float factor[4];         // hoover: detune factors of oscillators 0, 1, 3, 4; kick: [0] base Hz
    float fixedA[3];         // a1, a2, a3 of a filter whose cutoff never moves (kick, break, hat)
    float damping;           // 1 / Q from res (bass, hoover)
    float rate;              // break: playback rate
};

// The two-bar break loop, synthesized once for a sample rate.
struct BreakBuf {
    std::vector<float> samples;
    float sr;
    explicit BreakBuf(float sampleRate);  // [construction] allocates
};

struct Comb {
    std::vector<float> line;
    uint64_t idx = 0;
    float store = 0.0f;
};

struct Ap {
    std::vector<float> line;
    uint64_t idx = 0;
};

// Ping-pong delay and comb/all-pass reverb.
struct Fx {
    std::vector<float> dl;
    std::vector<float> dr;
    uint64_t writePos = 0;
    float delayTime = 0.375f;
    float delayFb = 0.4f;
    std::array<Comb, 4> combs;
    std::array<Ap, 2> aps;
    float reverbSize = 0.8f;
    float sr;

    explicit Fx(float sampleRate);  // [construction] allocates all lines

    // One frame: runs delay and reverb on their sends and returns the
    // pre-master sum (reverb + delay tap + dry) for left and right.
    // [audio thread] no allocation, no locks
    void frame(float dry, float delayIn, float reverbIn, float& left, float& right);
    // Empties every delay and reverb line (the settings stay).
    // [audio thread] no allocation, no locks
    void clear();

    // `frames` frames of frame() followed by masterStage(), bit for bit, with
    // the delay time, feedback, reverb size and master settings held for the
    // whole run: reads the three buses, writes interleaved left/right to
    // `out` (2 x frames floats, not overlapping the buses). Four frames at a
    // time where the lines allow it, so it costs well under half of the
    // per-frame calls. [audio thread] no allocation, no locks
    void process(const float* dry, const float* delayIn, const float* reverbIn, float* out,
                 std::size_t frames, float drive, float level, float& limiterGain);
};

// Master drive, level and the linked peak limiter (ceiling 0.7079).
// [audio thread] no allocation, no locks
void masterStage(float& left, float& right, float drive, float level, float& limiterGain);

// One output sample of one started voice; advances its phases, filter and noise.
// [audio thread] no allocation, no locks
float renderVoice(Voice& v, const BreakBuf& brk, float sampleRate);

}  // namespace brs
