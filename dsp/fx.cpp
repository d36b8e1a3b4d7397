// Ping-pong delay, comb/all-pass reverb and the master stage (drive, level,
// linked peak limiter with a 0.7079 ceiling).
//
// Every line holds at least one sample, whatever the sample rate, so every
// position wraps within a non-zero length (by a compare, not a division). Non-finite bus values count as
// silence and never enter a line, so one bad voice cannot poison the tails.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

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

// The next position on a line of `len` samples (i < len): a compare instead
// of a division.
inline uint64_t advance(uint64_t i, uint64_t len) { return i + 1 < len ? i + 1 : 0; }

// Delay distance in samples for a line of n: delayTime x sr truncated,
// limited to 1..n - 1 (zero, negative and NaN distances give 1; a one-sample
// line reads what it is about to overwrite).
uint64_t delayDistance(float delayTime, float sr, uint64_t n) {
    const float ds = delayTime * sr;
    uint64_t d;
    if (!(ds >= 1.0f)) {
        d = 1;
    } else if (ds >= static_cast<float>(n - 1)) {
        d = n - 1;
    } else {
        d = static_cast<uint64_t>(ds);
    }
    return d > n - 1 ? n - 1 : d;
}

// Everything a run of frames reads and advances, taken out of the Fx into
// locals: no vector indirection in the loop, and the positions and comb
// states cannot alias the samples the lines hold.
struct Hot {
    float* dl;
    float* dr;
    uint64_t n;  // delay line length
    uint64_t w;  // write position
    float* cLine[4];
    uint64_t cLen[4];
    uint64_t cIdx[4];
    float cStore[4];
    float* aLine[2];
    uint64_t aLen[2];
    uint64_t aIdx[2];
};

[[gnu::always_inline]] inline Hot takeHot(Fx& fx) {
    Hot h;
    h.dl = fx.dl.data();
    h.dr = fx.dr.data();
    h.n = fx.dl.size();
    h.w = fx.writePos;
    for (int c = 0; c < 4; ++c) {
        h.cLine[c] = fx.combs[c].line.data();
        h.cLen[c] = fx.combs[c].line.size();
        h.cIdx[c] = fx.combs[c].idx;
        h.cStore[c] = fx.combs[c].store;
    }
    for (int a = 0; a < 2; ++a) {
        h.aLine[a] = fx.aps[a].line.data();
        h.aLen[a] = fx.aps[a].line.size();
        h.aIdx[a] = fx.aps[a].idx;
    }
    return h;
}

[[gnu::always_inline]] inline void putHot(Fx& fx, const Hot& h) {
    fx.writePos = h.w;
    for (int c = 0; c < 4; ++c) {
        fx.combs[c].idx = h.cIdx[c];
        fx.combs[c].store = h.cStore[c];
    }
    for (int a = 0; a < 2; ++a) fx.aps[a].idx = h.aIdx[a];
}

// One frame of delay and reverb; d is the delay distance, fb the combs'
// feedback. Returns the pre-master sum for left and right.
[[gnu::always_inline]] inline void fxStep(Hot& h, uint64_t d, float delayFb, float fb, float dry, float delayIn,
                                          float reverbIn, float& left, float& right) {
    dry = finiteOr0(dry);
    delayIn = finiteOr0(delayIn);
    reverbIn = finiteOr0(reverbIn);

    // Ping-pong delay: the send enters the left line, echoes alternate sides.
    // r = (n + w - d) mod n, with n + w - d in [1, 2n - 1].
    const uint64_t w = h.w;
    uint64_t r = h.n + w - d;
    if (r >= h.n) r -= h.n;
    const float tapL = h.dl[r];
    const float tapR = h.dr[r];
    h.dl[w] = finiteOr0(tapR * delayFb + delayIn);
    h.dr[w] = finiteOr0(tapL * delayFb);
    h.w = advance(w, h.n);

    // Reverb: four parallel damped combs summed in list order, then two
    // all-passes in series.
    float sum = 0.0f;
    for (int c = 0; c < 4; ++c) {
        const uint64_t i = h.cIdx[c];
        const float o = h.cLine[c][i];
        sum += o;
        const float st = finiteOr0(h.cStore[c] * 0.7f + o * 0.3f);
        h.cStore[c] = st;
        h.cLine[c][i] = finiteOr0(st * fb + reverbIn);
        h.cIdx[c] = advance(i, h.cLen[c]);
    }
    float x = sum * 0.25f;
    for (int a = 0; a < 2; ++a) {
        const uint64_t i = h.aIdx[a];
        const float b = h.aLine[a][i];
        h.aLine[a][i] = finiteOr0(b * 0.5f + x);
        x = b - x * 0.5f;
        h.aIdx[a] = advance(i, h.aLen[a]);
    }

    left = (x + tapL) + dry;
    right = (x + tapR) + dry;
}

// Drive amount of the master stage: drive x 30, a negative or NaN drive
// counting as none. (The sign of a zero amount cannot show: softClip's
// d + 1 and |x| d + 1 are the same for +0 and -0.)
inline float driveAmount(float drive) {
    const float a = drive * 30.0f;
    return a > 0.0f ? a : 0.0f;
}

// Drive, level and the linked limiter for one frame; g is the limiter gain.
[[gnu::always_inline]] inline void masterStep(float& left, float& right, float dAmt, float level, float& g) {
    float yL = softClip(left, dAmt) * level;
    float yR = softClip(right, dAmt) * level;
    if (!isFiniteF(yL)) yL = 0.0f;
    if (!isFiniteF(yR)) yR = 0.0f;
    // Both magnitudes are finite and non-negative: the larger one.
    const float aL = absF(yL);
    const float aR = absF(yR);
    const float peak = aL > aR ? aL : aR;
    const float target = peak > LIMIT_CEILING ? LIMIT_CEILING / peak : 1.0f;
    float gain = g;
    if (!isFiniteF(gain)) gain = 1.0f;
    // Instant attack, release with a time constant of 2000 samples.
    const float released = gain + (target - gain) * LIMIT_RELEASE;
    gain = gain > target ? target : released;
    g = gain;
    left = gain * yL;
    right = gain * yR;
}

#if defined(__SSE2__)

// Four frames at once. Within a group every line is read and written at four
// consecutive positions that do not wrap, and the delay distance is at least
// four, so no frame of the group reads what another one writes: the delay,
// the comb reads, the comb sum, the all-passes and the master stage run
// across the four frames as lanes, each lane doing the very operations of
// fxStep and masterStep. Only the comb dampers and the limiter gain carry from one frame
// to the next; they stay in order, frame by frame.

inline __m128 finite0V(__m128 v) {
    const __m128i e = _mm_set1_epi32(0x7f800000);
    const __m128i inf = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), e), e);
    return _mm_andnot_ps(_mm_castsi128_ps(inf), v);
}

inline __m128 absV(__m128 v) { return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))); }

// How many whole groups can run before a line position wraps (0 when the
// delay distance or a line is shorter than a group).
inline std::size_t groupsBeforeWrap(const Hot& h, uint64_t d) {
    if (d < 4) return 0;
    uint64_t r = h.n + h.w - d;
    if (r >= h.n) r -= h.n;
    uint64_t room = h.n - h.w;
    if (h.n - r < room) room = h.n - r;
    for (int c = 0; c < 4; ++c)
        if (h.cLen[c] - h.cIdx[c] < room) room = h.cLen[c] - h.cIdx[c];
    for (int a = 0; a < 2; ++a)
        if (h.aLen[a] - h.aIdx[a] < room) room = h.aLen[a] - h.aIdx[a];
    return static_cast<std::size_t>(room / 4);
}

inline uint64_t skip4(uint64_t i, uint64_t len) { return i + 4 < len ? i + 4 : 0; }

// The state that stays in registers across groups.
struct Lanes {
    __m128 store;  // comb dampers, comb c in lane c
    float g;       // limiter gain
};

[[gnu::always_inline]] inline void fxGroup(Hot& h, Lanes& s, uint64_t d, float delayFb, float fb, float dAmt,
                                           float level, const float* dryIn, const float* delayIn,
                                           const float* reverbIn, float* out) {
    const __m128 dry = finite0V(_mm_loadu_ps(dryIn));
    const __m128 dly = finite0V(_mm_loadu_ps(delayIn));
    const __m128 rev = finite0V(_mm_loadu_ps(reverbIn));

    // Delay.
    uint64_t r = h.n + h.w - d;
    if (r >= h.n) r -= h.n;
    const __m128 fbD = _mm_set1_ps(delayFb);
    const __m128 tapL = _mm_loadu_ps(h.dl + r);
    const __m128 tapR = _mm_loadu_ps(h.dr + r);
    _mm_storeu_ps(h.dl + h.w, finite0V(_mm_add_ps(_mm_mul_ps(tapR, fbD), dly)));
    _mm_storeu_ps(h.dr + h.w, finite0V(_mm_mul_ps(tapL, fbD)));
    h.w = skip4(h.w, h.n);

    // Combs: what each one reads in the four frames, summed per frame in
    // list order from 0.
    __m128 o[4];
    for (int c = 0; c < 4; ++c) o[c] = _mm_loadu_ps(h.cLine[c] + h.cIdx[c]);
    const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_setzero_ps(), o[0]), o[1]), o[2]), o[3]);
    // Dampers frame by frame, the four combs as lanes: turn the reads
    // (comb x frame) into one vector per frame, and the writes back.
    __m128 in[4];
    for (int c = 0; c < 4; ++c) in[c] = _mm_mul_ps(o[c], _mm_set1_ps(0.3f));
    _MM_TRANSPOSE4_PS(in[0], in[1], in[2], in[3]);
    const __m128 k07 = _mm_set1_ps(0.7f);
    const __m128 fbR = _mm_set1_ps(fb);
    alignas(16) float revs[4];
    _mm_store_ps(revs, rev);
    __m128 wr[4];
    for (int j = 0; j < 4; ++j) {
        s.store = finite0V(_mm_add_ps(_mm_mul_ps(s.store, k07), in[j]));
        wr[j] = finite0V(_mm_add_ps(_mm_mul_ps(s.store, fbR), _mm_set1_ps(revs[j])));
    }
    _MM_TRANSPOSE4_PS(wr[0], wr[1], wr[2], wr[3]);
    for (int c = 0; c < 4; ++c) {
        _mm_storeu_ps(h.cLine[c] + h.cIdx[c], wr[c]);
        h.cIdx[c] = skip4(h.cIdx[c], h.cLen[c]);
    }

    // All-passes.
    __m128 x = _mm_mul_ps(sum, _mm_set1_ps(0.25f));
    const __m128 half = _mm_set1_ps(0.5f);
    for (int a = 0; a < 2; ++a) {
        float* p = h.aLine[a] + h.aIdx[a];
        const __m128 b = _mm_loadu_ps(p);
        _mm_storeu_ps(p, finite0V(_mm_add_ps(_mm_mul_ps(b, half), x)));
        x = _mm_sub_ps(b, _mm_mul_ps(x, half));
        h.aIdx[a] = skip4(h.aIdx[a], h.aLen[a]);
    }

    // Master: drive, level, peak and the limiter's target per frame.
    const __m128 left = _mm_add_ps(_mm_add_ps(x, tapL), dry);
    const __m128 right = _mm_add_ps(_mm_add_ps(x, tapR), dry);
    const __m128 dV = _mm_set1_ps(dAmt);
    const __m128 d1 = _mm_set1_ps(dAmt + 1.0f);
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 lv = _mm_set1_ps(level);
    const __m128 yL = finite0V(
        _mm_mul_ps(_mm_div_ps(_mm_mul_ps(d1, left), _mm_add_ps(_mm_mul_ps(absV(left), dV), one)), lv));
    const __m128 yR = finite0V(
        _mm_mul_ps(_mm_div_ps(_mm_mul_ps(d1, right), _mm_add_ps(_mm_mul_ps(absV(right), dV), one)), lv));
    const __m128 aL = absV(yL);
    const __m128 aR = absV(yR);
    const __m128 peak = _mm_or_ps(_mm_and_ps(_mm_cmpgt_ps(aL, aR), aL), _mm_andnot_ps(_mm_cmpgt_ps(aL, aR), aR));
    const __m128 ceil = _mm_set1_ps(LIMIT_CEILING);
    const __m128 over = _mm_cmpgt_ps(peak, ceil);
    const __m128 target = _mm_or_ps(_mm_and_ps(over, _mm_div_ps(ceil, peak)), _mm_andnot_ps(over, one));

    // The gain, frame by frame.
    alignas(16) float t[4];
    alignas(16) float gs[4];
    _mm_store_ps(t, target);
    float g = s.g;
    for (int j = 0; j < 4; ++j) {
        const float released = g + (t[j] - g) * LIMIT_RELEASE;
        g = g > t[j] ? t[j] : released;
        gs[j] = g;
    }
    s.g = g;
    const __m128 gv = _mm_load_ps(gs);
    const __m128 outL = _mm_mul_ps(gv, yL);
    const __m128 outR = _mm_mul_ps(gv, yR);
    _mm_storeu_ps(out, _mm_unpacklo_ps(outL, outR));
    _mm_storeu_ps(out + 4, _mm_unpackhi_ps(outL, outR));
}

#endif  // __SSE2__

}  // namespace

Fx::Fx(float sampleRate) : sr(sampleRate) {
    float two = 2.0f * sampleRate;
    std::size_t n = 1;
    if (two >= 1.0f) n = two > 2.0e9f ? static_cast<std::size_t>(2.0e9f) : static_cast<std::size_t>(two);
    dl.assign(n, 0.0f);
    dr.assign(n, 0.0f);
    uint64_t s = rateInteger(sampleRate);
    for (int c = 0; c < 4; ++c) combs[c].line.assign(reverbLength(s, COMB_BASE[c]), 0.0f);
    for (int a = 0; a < 2; ++a) aps[a].line.assign(reverbLength(s, AP_BASE[a]), 0.0f);
}

void Fx::frame(float dry, float delayIn, float reverbIn, float& left, float& right) {
    Hot h = takeHot(*this);
    fxStep(h, delayDistance(delayTime, sr, h.n), delayFb, reverbSize * 0.28f + 0.7f, dry, delayIn, reverbIn,
           left, right);
    putHot(*this, h);
}

void Fx::process(const float* dry, const float* delayIn, const float* reverbIn, float* out,
                 std::size_t frames, float drive, float level, float& limiterGain) {
    if (frames == 0) return;  // not even the gain is touched
    Hot h = takeHot(*this);
    const uint64_t d = delayDistance(delayTime, sr, h.n);
    const float fbDelay = delayFb;
    const float fb = reverbSize * 0.28f + 0.7f;
    const float dAmt = driveAmount(drive);
    // A finite gain stays finite (it becomes a finite target or moves
    // towards one), so the check of every frame is needed only here.
    float g = limiterGain;
    if (!isFiniteF(g)) g = 1.0f;
    std::size_t i = 0;
#if defined(__SSE2__)
    Lanes s;
    s.store = _mm_loadu_ps(h.cStore);
    s.g = g;
    while (frames - i >= 4) {
        std::size_t run = groupsBeforeWrap(h, d);
        if ((frames - i) / 4 < run) run = (frames - i) / 4;
        for (std::size_t k = 0; k < run; ++k, i += 4)
            fxGroup(h, s, d, fbDelay, fb, dAmt, level, dry + i, delayIn + i, reverbIn + i, out + 2 * i);
        if (run == 0 || frames - i < 4) {
            // A line wraps within the next four frames, or a line or the
            // delay distance is shorter than a group: one frame at a time.
            if (i == frames) break;
            _mm_storeu_ps(h.cStore, s.store);
            float left, right;
            fxStep(h, d, fbDelay, fb, dry[i], delayIn[i], reverbIn[i], left, right);
            masterStep(left, right, dAmt, level, s.g);
            out[2 * i] = left;
            out[2 * i + 1] = right;
            ++i;
            s.store = _mm_loadu_ps(h.cStore);
        }
    }
    _mm_storeu_ps(h.cStore, s.store);
    g = s.g;
#endif
    for (; i < frames; ++i) {
        float left, right;
        fxStep(h, d, fbDelay, fb, dry[i], delayIn[i], reverbIn[i], left, right);
        masterStep(left, right, dAmt, level, g);
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
    limiterGain = g;
    putHot(*this, h);
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
    masterStep(left, right, driveAmount(drive), level, limiterGain);
}

}  // namespace brs
