// Ping-pong delay, comb/all-pass reverb and the master stage (drive, level,
// linked peak limiter with a 0.7079 ceiling).
//
// Every line holds at least one sample, whatever the sample rate, so positions
// are always reduced modulo a non-zero length. Non-finite bus values count as
// silence and never enter a line, so one bad voice cannot poison the tails.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "dsp/dsp.h"
#include "dsp/primitives.h"

namespace brs {

namespace {

constexpr uint64_t COMB_BASE[4] = {1116, 1188, 1277, 1356};
constexpr uint64_t AP_BASE[2] = {556, 441};
constexpr float LIMIT_CEILING = 0.7079f;
constexpr float LIMIT_RELEASE = 0.0005f;  // time constant of 2000 samples

// Reverb line length: base samples at 44100 Hz scaled to the rate in integer
// arithmetic, at least one sample.
std::size_t reverbLength(uint64_t rateInt, uint64_t base) {
    uint64_t n = rateInt * base / 44100u;
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// Integer part of a sample rate, 0 for negative or NaN rates, capped so that
// the conversion is always defined.
uint64_t rateInteger(float sr) {
    if (!(sr > 0.0f)) return 0;
    if (sr > 1.0e9f) return 1000000000u;
    return static_cast<uint64_t>(sr);
}

inline float finiteOr0(float x) { return isFiniteF(x) ? x : 0.0f; }

}  // namespace

Fx::Fx(float sampleRate) : sr(sampleRate) {
    float two = 2.0f * sampleRate;
    std::size_t n = 1;
    if (two >= 1.0f) n = two > 2.0e9f ? static_cast<std::size_t>(2.0e9f) : static_cast<std::size_t>(two);
    dl.assign(n, 0.0f);
    dr.assign(n, 0.0f);
    uint64_t s = rateInteger(sampleRate);
    combs.resize(4);
    for (int c = 0; c < 4; ++c) combs[c].line.assign(reverbLength(s, COMB_BASE[c]), 0.0f);
    aps.resize(2);
    for (int a = 0; a < 2; ++a) aps[a].line.assign(reverbLength(s, AP_BASE[a]), 0.0f);
}

void Fx::frame(float dry, float delayIn, float reverbIn, float& left, float& right) {
    dry = finiteOr0(dry);
    delayIn = finiteOr0(delayIn);
    reverbIn = finiteOr0(reverbIn);

    // Ping-pong delay: the send enters the left line, echoes alternate sides.
    const uint64_t n = dl.size();
    const uint64_t w = writePos;
    const float ds = delayTime * sr;
    uint64_t d;
    if (!(ds >= 1.0f)) {
        d = 1;  // also zero, negative and NaN distances
    } else if (ds >= static_cast<float>(n - 1)) {
        d = n - 1;
    } else {
        d = static_cast<uint64_t>(ds);
    }
    if (d > n - 1) d = n - 1;  // a one-sample line reads what it is about to overwrite
    const uint64_t r = (n + w - d) % n;
    const float tapL = dl[r];
    const float tapR = dr[r];
    dl[w] = finiteOr0(tapR * delayFb + delayIn);
    dr[w] = finiteOr0(tapL * delayFb);
    writePos = (w + 1) % n;

    // Reverb: four parallel damped combs, then two all-passes in series.
    const float fb = reverbSize * 0.28f + 0.7f;
    float sum = 0.0f;
    for (Comb& c : combs) {
        const float o = c.line[c.idx];
        sum += o;
        c.store = finiteOr0(c.store * 0.7f + o * 0.3f);
        c.line[c.idx] = finiteOr0(c.store * fb + reverbIn);
        c.idx = (c.idx + 1) % c.line.size();
    }
    float x = sum * 0.25f;
    for (Ap& a : aps) {
        const float b = a.line[a.idx];
        a.line[a.idx] = finiteOr0(b * 0.5f + x);
        x = b - x * 0.5f;
        a.idx = (a.idx + 1) % a.line.size();
    }

    left = (x + tapL) + dry;
    right = (x + tapR) + dry;
}

void Fx::clear() {
    std::fill(dl.begin(), dl.end(), 0.0f);
    std::fill(dr.begin(), dr.end(), 0.0f);
    writePos = 0;
    for (Comb& c : combs) {
        std::fill(c.line.begin(), c.line.end(), 0.0f);
        c.idx = 0;
        c.store = 0.0f;
    }
    for (Ap& a : aps) {
        std::fill(a.line.begin(), a.line.end(), 0.0f);
        a.idx = 0;
    }
}

void masterStage(float& left, float& right, float drive, float level, float& limiterGain) {
    const float dAmt = fmaxf(drive * 30.0f, 0.0f);  // a negative drive counts as none
    float yL = softClip(left, dAmt) * level;
    float yR = softClip(right, dAmt) * level;
    if (!isFiniteF(yL)) yL = 0.0f;
    if (!isFiniteF(yR)) yR = 0.0f;
    const float peak = fmaxf(absF(yL), absF(yR));
    const float target = peak > LIMIT_CEILING ? LIMIT_CEILING / peak : 1.0f;
    float g = limiterGain;
    if (!isFiniteF(g)) g = 1.0f;
    if (g > target) {
        g = target;
    } else {
        g += (target - g) * LIMIT_RELEASE;
    }
    limiterGain = g;
    left = g * yL;
    right = g * yR;
}

}  // namespace brs
