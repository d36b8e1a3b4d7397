// The six instrument recipes: one output sample of one started voice.
//
// Each recipe reads only its voice (time, length, gain, note, parameter
// snapshot, wave, slice, rev) and its running state (phases, filter, noise);
// the break recipe also reads the break loop. Parameters outside their
// ranges never make a voice blow up: non-positive time constants count as
// already decayed, negative drives as no drive, and a voice whose output is
// not a finite number is ended on the spot and contributes 0.
#include <cstdint>

#include "dsp/dsp.h"
#include "dsp/primitives.h"

namespace brs {

namespace {

enum : int {
    TUNE, PITCH_AMT, PITCH_DEC, CLICK, TONE, CUT, RES, ENV, DECAY, DRIVE, LEVEL, DETUNE, SLIDE,
    SLIDE_T, PITCH, GATE, OPEN, CHORD
};

// Damping 1/Q from the res parameter, Q limited below to 0.5 (NaN counts as 0.5).
inline float dampingOf(float res) { return 1.0f / fmaxf(res, 0.5f); }

// Saturation amount; a negative (or NaN) drive counts as none.
inline float driveAmount(float drive, float scale) { return fmaxf(drive * scale, 0.0f); }

// Pitch-swept sine with drive, low-pass and a 2500 Hz click burst.
float kick(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    float base = p[TUNE] * noteHz(v.note) / 100.0f;
    float f = ((p[PITCH_AMT] - 1.0f) * decayEnv(t, p[PITCH_DEC] * 0.35f) + 1.0f) * base;
    v.phase[0] = advancePhase(v.phase[0], f / sr);
    float x = sineOf(v.phase[0]) * decayEnv(t, p[DECAY] * 0.2f) * v.gain;
    float y = softClip(x, driveAmount(p[DRIVE], 40.0f));
    float lp = svfTick(y, svfCoefs(p[TONE], sr, 0.8333333f), v.ic1, v.ic2).low;
    float click = 0.0f;
    if (t < 0.012f) {
        float cp = fmodf(t * 2500.0f, 1.0f);
        float s = cp < 0.5f ? v.gain : -v.gain;
        click = fastExp(-t / 0.004f) * (p[CLICK] * s * 0.3f);
    }
    return lp + click;
}

// Saw or square plus a sine an octave down through an enveloped resonant low-pass.
float bass(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    float f = noteHz(v.note);
    v.phase[0] = advancePhase(v.phase[0], f / sr);
    v.phase[1] = advancePhase(v.phase[1], 0.5f * f / sr);
    float osc = v.wave ? squareOf(v.phase[0]) : sawOf(v.phase[0]);
    float sub = sineOf(v.phase[1]);
    float fc = (p[ENV] * 3.0f * decayEnv(t, p[DECAY] * 0.2f) + 1.0f) * p[CUT];
    float lp = svfTick(sub + osc, svfCoefs(fc, sr, dampingOf(p[RES])), v.ic1, v.ic2).low;
    float hold = p[DECAY] * 0.5f;
    float a = t < hold ? 1.0f : decayEnv(t - hold, p[DECAY] * 0.2f);
    return softClip(lp * 0.5f, driveAmount(p[DRIVE], 20.0f)) * v.gain * 0.8f * a;
}

// Five detuned oscillators (square, saw, square, saw, square) gliding up to the note.
float hoover(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    float n = v.note - p[SLIDE] * decayEnv(t, p[SLIDE_T] * 0.35f);
    float f = noteHz(n);
    float detune = p[DETUNE];
    float f0 = f * fastExp2(-detune / 1200.0f);
    float f1 = f * fastExp2((-detune / 3.0f) / 1200.0f);
    float f3 = f * fastExp2(detune / 3.0f / 1200.0f);
    float f4 = f * fastExp2(detune / 1200.0f);
    v.phase[0] = advancePhase(v.phase[0], f0 / sr);
    v.phase[1] = advancePhase(v.phase[1], f1 / sr);
    v.phase[2] = advancePhase(v.phase[2], f / sr);
    v.phase[3] = advancePhase(v.phase[3], f3 / sr);
    v.phase[4] = advancePhase(v.phase[4], f4 / sr);
    float s = (squareOf(v.phase[0]) + sawOf(v.phase[1]) + squareOf(v.phase[2]) + sawOf(v.phase[3]) +
               squareOf(v.phase[4])) *
              0.2f;
    float fc = p[CUT] * (1.5f * decayEnv(t, p[DECAY] * 0.35f) + 1.0f);
    float lp = svfTick(s, svfCoefs(fc, sr, dampingOf(p[RES])), v.ic1, v.ic2).low;
    float a;
    float fadeAt = p[DECAY] * 0.7f;
    if (t < 0.01f) {
        a = t / 0.01f;
    } else if (t >= fadeAt) {
        a = decayEnv(t - fadeAt, p[DECAY] * 0.15f);
    } else {
        a = 1.0f;
    }
    return softClip(lp, driveAmount(p[DRIVE], 15.0f)) * v.gain * 0.35f * a;
}

// One sixteenth of the break loop, forward or reversed, transposed by stepping.
float breakSlice(Voice& v, const BreakBuf& brk, float sr) {
    const float* p = v.params;
    float t = v.t;
    const uint64_t n = brk.samples.size();
    const uint64_t len = n / 16;
    float rate = fastExp2(p[PITCH] / 12.0f);
    float q = rate * (t * sr);
    float x = 0.0f;
    // pos < len is q < len for a non-negative q; the float test also keeps
    // huge or NaN products away from the integer conversion.
    if (len > 0 && !(q >= static_cast<float>(len))) {
        uint64_t pos = q > 0.0f ? static_cast<uint64_t>(q) : 0;
        if (pos < len) {
            uint64_t i = v.rev ? (v.slice + 1) * len - 1 - pos : v.slice * len + pos;
            if (i < n) x = brk.samples[i];
        }
    }
    float lp = svfTick(x, svfCoefs(p[CUT], sr, 1.4285715f), v.ic1, v.ic2).low;
    float g = 1.0f;
    if (!(t <= v.dur * 0.8f)) g = fmaxf((v.dur - t) / (v.dur * 0.2f), 0.0f);
    return lp * v.gain * p[LEVEL] * g;
}

// Noise through the high output; the open hat rings four times as long.
float hat(Voice& v, float sr) {
    const float* p = v.params;
    v.rng = xorshift32(v.rng);
    float w = noiseValue(v.rng);
    float hp = svfTick(w, svfCoefs(p[CUT], sr, 1.4285715f), v.ic1, v.ic2).high;
    float d = p[OPEN] > 0.5f ? p[DECAY] * 4.0f : p[DECAY];
    return hp * v.gain * 0.5f * decayEnv(v.t, d * 0.2f);
}

// Three saws (note, note + chord, note + 7) through an enveloped band-pass.
float stab(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    v.phase[0] = advancePhase(v.phase[0], noteHz(v.note) / sr);
    v.phase[1] = advancePhase(v.phase[1], noteHz(v.note + p[CHORD]) / sr);
    v.phase[2] = advancePhase(v.phase[2], noteHz(v.note + 7.0f) / sr);
    float s = (sawOf(v.phase[0]) + sawOf(v.phase[1]) + sawOf(v.phase[2])) / 3.0f;
    float fc = p[CUT] * (2.0f * decayEnv(t, p[DECAY] * 0.35f) + 1.0f);
    float bp = svfTick(s, svfCoefs(fc, sr, 0.5f), v.ic1, v.ic2).band;
    return v.gain * bp * 0.3f * decayEnv(t, p[DECAY] * 0.2f);
}

}  // namespace

float renderVoice(Voice& v, const BreakBuf& brk, float sampleRate) {
    if (!v.alive) return 0.0f;  // ended by a non-finite sample, awaiting removal
    float o;
    switch (v.track) {
        case 0: o = kick(v, sampleRate); break;
        case 1: o = bass(v, sampleRate); break;
        case 2: o = hoover(v, sampleRate); break;
        case 3: o = breakSlice(v, brk, sampleRate); break;
        case 4: o = hat(v, sampleRate); break;
        case 5: o = stab(v, sampleRate); break;
        default: o = 0.0f; break;
    }
    if (!isFiniteF(o)) {
        v.alive = 0;
        return 0.0f;
    }
    return o;
}

}  // namespace brs
