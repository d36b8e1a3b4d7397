// primitives.h: the single-precision approximations every sound is made of.
//
// Exponential, sine, state-variable filter, soft clip, noise and the phase
// rule. They are part of the instrument's character (the sine is slightly
// off a true sine, the exponential has a fixed polynomial error), so each one
// is evaluated exactly as written here: same constants, same order of
// operations, single precision, no contraction into FMA. The only library
// calls allowed on the audio path are fmodf and fmaxf.
//
// All functions: [any thread] no allocation, no locks.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace brs {

constexpr float PI_F = 3.1415927f;
constexpr float TWO_PI_F = 6.2831855f;
constexpr float HALF_PI_F = 1.5707964f;
constexpr float LOG2E_F = 1.442695f;
constexpr float MIN_NORMAL_F = 1.17549435e-38f;  // 2^-126
constexpr float MAX_POW2_F = 8.50705917e+37f;    // 2^126

inline uint32_t floatBits(float x) {
    uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline float bitsFloat(uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// True unless x is an infinity or NaN (a bit test, independent of fast-math).
inline bool isFiniteF(float x) { return (floatBits(x) & 0x7f800000u) != 0x7f800000u; }

inline float absF(float x) { return bitsFloat(floatBits(x) & 0x7fffffffu); }

// floor() for |x| < 2^31: truncate toward zero, step down when that overshoots x.
inline int32_t floorI(float x) {
    int32_t i = static_cast<int32_t>(x);
    if (static_cast<float>(i) > x) i -= 1;
    return i;
}

// 2^x: degree-5 Taylor polynomial of 2^f on [0, 1) times 2^floor(x), built
// directly in the exponent field. Limited to [2^-126, 2^126]; NaN counts as
// very small.
inline float fastExp2(float x) {
    if (!(x >= -126.0f)) return MIN_NORMAL_F;
    if (x > 126.0f) return MAX_POW2_F;
    int32_t i = floorI(x);
    float f = x - static_cast<float>(i);
    float p = ((((0.0013333558f * f + 0.009618129f) * f + 0.05550411f) * f + 0.2402265f) * f +
               0.6931472f) * f + 1.0f;
    return p * bitsFloat(static_cast<uint32_t>(i + 127) << 23);
}

// e^x as 2^(x log2 e).
inline float fastExp(float x) { return fastExp2(x * LOG2E_F); }

// Envelope fastExp(-t / tau). A time constant that is zero, negative or NaN
// (only reachable with parameters outside their ranges) means "already
// decayed": the envelope is 0 instead of growing without bound.
inline float decayEnv(float t, float tau) {
    if (!(tau > 0.0f)) return 0.0f;
    return fastExp(-t / tau);
}

// Frequency of MIDI note n in Hz (69 = 440 Hz).
inline float noteHz(float n) { return 440.0f * fastExp2((n - 69.0f) / 12.0f); }

// The sine polynomial of fastSin on an argument already in [-pi, pi).
inline float sinWrapped(float y) {
    float s = 1.2732395f * y - 0.4052847f * y * absF(y);
    s = s + 0.225f * (s * absF(s) - s);
    return s;
}

// Parabolic sine approximation with one correction step. x is wrapped into
// [-pi, pi) first: k = floor((x + pi) / 2pi), y = x - k * 2pi. An argument
// whose wrap count does not fit 32 bits (or NaN) gives 0.
//
// Every oscillator and filter argument has a = x + pi in [0, 4pi), where k is
// 0 or 1 and the rounded quotient a / 2pi reaches 1 exactly when a >= 2pi
// (the float below 2pi divides to less than 1 - 2^-25), so the common case
// finds k by a comparison and gives the same bits without the division.
inline float fastSin(float x) {
    float a = x + PI_F;
    int32_t k;
    if (a >= 0.0f && a < 2.0f * TWO_PI_F) {
        k = a >= TWO_PI_F ? 1 : 0;
    } else {
        float q = a / TWO_PI_F;
        if (!(q >= -2147483648.0f && q < 2147483648.0f)) return 0.0f;
        k = floorI(q);
    }
    float y = x - static_cast<float>(k) * TWO_PI_F;
    return sinWrapped(y);
}

// Coefficients of the trapezoidal state-variable filter.
struct SvfCoefs {
    float a1, a2, a3;
    float k;  // damping 1/Q, also used by the high output
};

// fc in Hz, sr in Hz, k damping. fc / sr is limited to [0.0005, 0.45]
// (NaN counts as the lower limit).
inline SvfCoefs svfCoefs(float fc, float sr, float k) {
    // fmaxf with a non-zero floor, written out: the library call is not
    // inlined without fast-math, and the comparison gives the same result
    // (NaN fails it and takes the floor).
    float r = fc / sr;
    if (!(r > 0.0005f)) r = 0.0005f;
    if (r > 0.45f) r = 0.45f;
    float w = PI_F * r;
    // w and w + pi/2 lie inside (0, pi), where fastSin's wrap leaves its
    // argument as it is (k = 0, y = x - 0).
    float g = sinWrapped(w) / sinWrapped(w + HALF_PI_F);
    SvfCoefs c;
    c.a1 = 1.0f / ((g + k) * g + 1.0f);
    c.a2 = g * c.a1;
    c.a3 = g * c.a2;
    c.k = k;
    return c;
}

struct SvfOut {
    float low, band, high;
};

// One tick of the trapezoidal state-variable filter; updates ic1, ic2.
inline SvfOut svfTick(float x, const SvfCoefs& c, float& ic1, float& ic2) {
    float d = x - ic2;
    float bp = c.a1 * ic1 + c.a2 * d;
    float lp = ic2 + c.a2 * ic1 + c.a3 * d;
    ic1 = 2.0f * bp - ic1;
    ic2 = 2.0f * lp - ic2;
    return {lp, bp, x - c.k * bp - lp};
}

// Saturation: gain 1 + d near zero, approaching +-(1 + d) / d.
inline float softClip(float x, float d) { return ((d + 1.0f) * x) / (absF(x) * d + 1.0f); }

// Advances the noise state (never 0 from a non-zero state).
inline uint32_t xorshift32(uint32_t s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// The noise sample of a state, in [-1, 1).
inline float noiseValue(uint32_t s) { return 2.0f * (static_cast<float>(s) * 2.3283064e-10f) - 1.0f; }

// Phase accumulation in cycles: fmodf(phase + inc, 1). For a sum in [0, 2)
// that is the sum itself or the sum minus 1, and the subtraction is exact, so
// the common case skips the library call with identical bits. A negative
// increment (a frequency below zero) runs the phase backwards within [0, 1]
// instead of leaving the unit interval.
inline float advancePhase(float phase, float inc) {
    float s = phase + inc;
    if (s >= 0.0f && s < 2.0f) return s >= 1.0f ? s - 1.0f : s;
    float p = fmodf(s, 1.0f);
    if (p < 0.0f) p += 1.0f;
    return p;
}

inline float sawOf(float p) { return 2.0f * p - 1.0f; }
inline float squareOf(float p) { return p < 0.5f ? 1.0f : -1.0f; }
inline float sineOf(float p) { return fastSin(TWO_PI_F * p); }

}  // namespace brs
