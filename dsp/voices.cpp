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
#include "dsp/lanes.h"
#include "dsp/primitives.h"

namespace brs {

namespace {

enum : int {
    TUNE, PITCH_AMT, PITCH_DEC, CLICK, TONE, CUT, RES, ENV, DECAY, DRIVE, LEVEL, DETUNE, SLIDE,
    SLIDE_T, PITCH, GATE, OPEN, CHORD
};

// Damping 1/Q from the res parameter, Q limited below to 0.5 (NaN counts as 0.5).
inline float dampingOf(float res) { return 1.0f / fmaxf(res, 0.5f); }

// Saturation amount; a negative (or NaN) drive counts as none. (A comparison
// instead of a call of fmaxf; softClip gives the same bits for +0 and -0.)
inline float driveAmount(float drive, float scale) {
    float d = drive * scale;
    return d > 0.0f ? d : 0.0f;
}

// Damping of the kick's low-pass and of the break's and the hat's filter.
constexpr float KICK_K = 0.8333333f;
constexpr float BRIGHT_K = 1.4285715f;

inline void keepFixedFilter(Voice& v, const SvfCoefs& c) {
    v.fixedA[0] = c.a1;
    v.fixedA[1] = c.a2;
    v.fixedA[2] = c.a3;
}

inline SvfCoefs fixedFilter(const Voice& v, float k) { return {v.fixedA[0], v.fixedA[1], v.fixedA[2], k}; }

// Everything a recipe computes from the voice's unchanging fields, once.
void prepare(Voice& v, float sr) {
    const float* p = v.params;
    switch (v.track) {
        case 0:
            v.factor[0] = p[TUNE] * noteHz(v.note) / 100.0f;
            keepFixedFilter(v, svfCoefs(p[TONE], sr, KICK_K));
            break;
        case 1: {
            float f = noteHz(v.note);
            v.inc[0] = f / sr;
            v.inc[1] = 0.5f * f / sr;
            v.damping = dampingOf(p[RES]);
            break;
        }
        case 2: {
            float detune = p[DETUNE];
            v.factor[0] = fastExp2(-detune / 1200.0f);
            v.factor[1] = fastExp2((-detune / 3.0f) / 1200.0f);
            v.factor[2] = fastExp2(detune / 3.0f / 1200.0f);
            v.factor[3] = fastExp2(detune / 1200.0f);
            v.incNote = NAN;
            v.damping = dampingOf(p[RES]);
            break;
        }
        case 3:
            v.rate = fastExp2(p[PITCH] / 12.0f);
            keepFixedFilter(v, svfCoefs(p[CUT], sr, BRIGHT_K));
            break;
        case 4:
            keepFixedFilter(v, svfCoefs(p[CUT], sr, BRIGHT_K));
            break;
        case 5:
            v.inc[0] = noteHz(v.note) / sr;
            v.inc[1] = noteHz(v.note + p[CHORD]) / sr;
            v.inc[2] = noteHz(v.note + 7.0f) / sr;
            break;
        default: break;
    }
    v.prepSr = sr;
}

// fmodf(x, 1): for 0 <= x < 2^23 the whole part is exact as an integer and
// x minus it is exact too, so the common case needs no library call.
inline float fractionOf(float x) {
    if (x >= 0.0f && x < 8388608.0f) return x - static_cast<float>(static_cast<int32_t>(x));
    return fmodf(x, 1.0f);
}

// Pitch-swept sine with drive, low-pass and a 2500 Hz click burst.
float kick(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    float base = v.factor[0];
    float f = ((p[PITCH_AMT] - 1.0f) * decayEnv(t, p[PITCH_DEC] * 0.35f) + 1.0f) * base;
    v.phase[0] = advancePhase(v.phase[0], f / sr);
    float x = sineOf(v.phase[0]) * decayEnv(t, p[DECAY] * 0.2f) * v.gain;
    float y = softClip(x, driveAmount(p[DRIVE], 40.0f));
    float lp = svfTick(y, fixedFilter(v, KICK_K), v.ic1, v.ic2).low;
    float click = 0.0f;
    if (t < 0.012f) {
        float cp = fractionOf(t * 2500.0f);
        float s = cp < 0.5f ? v.gain : -v.gain;
        click = fastExp(-t / 0.004f) * (p[CLICK] * s * 0.3f);
    }
    return lp + click;
}

// Saw or square plus a sine an octave down through an enveloped resonant low-pass.
float bass(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    v.phase[0] = advancePhase(v.phase[0], v.inc[0]);
    v.phase[1] = advancePhase(v.phase[1], v.inc[1]);
    float osc = v.wave ? squareOf(v.phase[0]) : sawOf(v.phase[0]);
    float sub = sineOf(v.phase[1]);
    float fc = (p[ENV] * 3.0f * decayEnv(t, p[DECAY] * 0.2f) + 1.0f) * p[CUT];
    float lp = svfTick(sub + osc, svfCoefs(fc, sr, v.damping), v.ic1, v.ic2).low;
    float hold = p[DECAY] * 0.5f;
    float a = t < hold ? 1.0f : decayEnv(t - hold, p[DECAY] * 0.2f);
    return softClip(lp * 0.5f, driveAmount(p[DRIVE], 20.0f)) * v.gain * 0.8f * a;
}

// Five detuned oscillators (square, saw, square, saw, square) gliding up to the note.
float hoover(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    float n = v.note - p[SLIDE] * decayEnv(t, p[SLIDE_T] * 0.35f);
    // Once the glide has settled (or without one) the pitch repeats exactly.
    if (!(n == v.incNote)) {
        float f = noteHz(n);
        v.inc[0] = f * v.factor[0] / sr;
        v.inc[1] = f * v.factor[1] / sr;
        v.inc[2] = f / sr;
        v.inc[3] = f * v.factor[2] / sr;
        v.inc[4] = f * v.factor[3] / sr;
        v.incNote = n;
    }
    v.phase[0] = advancePhase(v.phase[0], v.inc[0]);
    v.phase[1] = advancePhase(v.phase[1], v.inc[1]);
    v.phase[2] = advancePhase(v.phase[2], v.inc[2]);
    v.phase[3] = advancePhase(v.phase[3], v.inc[3]);
    v.phase[4] = advancePhase(v.phase[4], v.inc[4]);
    float s = (squareOf(v.phase[0]) + sawOf(v.phase[1]) + squareOf(v.phase[2]) + sawOf(v.phase[3]) +
               squareOf(v.phase[4])) *
              0.2f;
    float fc = p[CUT] * (1.5f * decayEnv(t, p[DECAY] * 0.35f) + 1.0f);
    float lp = svfTick(s, svfCoefs(fc, sr, v.damping), v.ic1, v.ic2).low;
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
    float q = v.rate * (t * sr);
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
    float lp = svfTick(x, fixedFilter(v, BRIGHT_K), v.ic1, v.ic2).low;
    float g = 1.0f;
    if (!(t <= v.dur * 0.8f)) g = fmaxf((v.dur - t) / (v.dur * 0.2f), 0.0f);
    return lp * v.gain * p[LEVEL] * g;
}

// Noise through the high output; the open hat rings four times as long.
float hat(Voice& v) {
    const float* p = v.params;
    v.rng = xorshift32(v.rng);
    float w = noiseValue(v.rng);
    float hp = svfTick(w, fixedFilter(v, BRIGHT_K), v.ic1, v.ic2).high;
    float d = p[OPEN] > 0.5f ? p[DECAY] * 4.0f : p[DECAY];
    return hp * v.gain * 0.5f * decayEnv(v.t, d * 0.2f);
}

// Three saws (note, note + chord, note + 7) through an enveloped band-pass.
float stab(Voice& v, float sr) {
    const float* p = v.params;
    float t = v.t;
    v.phase[0] = advancePhase(v.phase[0], v.inc[0]);
    v.phase[1] = advancePhase(v.phase[1], v.inc[1]);
    v.phase[2] = advancePhase(v.phase[2], v.inc[2]);
    float s = (sawOf(v.phase[0]) + sawOf(v.phase[1]) + sawOf(v.phase[2])) / 3.0f;
    float fc = p[CUT] * (2.0f * decayEnv(t, p[DECAY] * 0.35f) + 1.0f);
    float bp = svfTick(s, svfCoefs(fc, sr, 0.5f), v.ic1, v.ic2).band;
    return v.gain * bp * 0.3f * decayEnv(t, p[DECAY] * 0.2f);
}

}  // namespace

void prepareVoice(Voice& v, float sampleRate) { prepare(v, sampleRate); }

float renderVoice(Voice& v, const BreakBuf& brk, float sampleRate) {
    if (!v.alive) return 0.0f;  // ended by a non-finite sample, awaiting removal
    if (!(v.prepSr == sampleRate)) prepare(v, sampleRate);
    float o;
    switch (v.track) {
        case 0: o = kick(v, sampleRate); break;
        case 1: o = bass(v, sampleRate); break;
        case 2: o = hoover(v, sampleRate); break;
        case 3: o = breakSlice(v, brk, sampleRate); break;
        case 4: o = hat(v); break;
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
