// The two-bar break loop: kick, snare and hat patterns at 170 BPM, synthesized
// once for a sample rate and hard-limited to [-1, 1].
#include <cstddef>
#include <cstdint>

#include "dsp/dsp.h"
#include "dsp/primitives.h"

namespace brs {

namespace {

constexpr float SIXTEENTH_S = 0.0882353f;  // one sixteenth at 170 BPM
constexpr int LOOP_STEPS = 32;

constexpr uint8_t K[LOOP_STEPS] = {1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0,
                                   1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
constexpr uint8_t S[LOOP_STEPS] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
                                   0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};
constexpr uint8_t H[LOOP_STEPS] = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 1,
                                   1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0};

// floor() of a non-negative sample count; 0 for negative or NaN values,
// capped so that the conversion is always defined.
std::size_t sampleCount(float n) {
    if (!(n > 0.0f)) return 0;
    if (n > 4.0e9f) return static_cast<std::size_t>(4.0e9f);
    return static_cast<std::size_t>(n);
}

// Mixes v into the loop; hits reaching past the end are cut off, not wrapped.
inline void mixAt(std::vector<float>& out, std::size_t i, float v) {
    if (i < out.size()) out[i] = out[i] + v;
}

void kickHit(std::vector<float>& out, std::size_t j, float sr) {
    std::size_t len = sampleCount(0.2f * sr);
    float ph = 0.0f;
    for (std::size_t m = 0; m < len; ++m) {
        float tm = static_cast<float>(m) / sr;
        float f = 112.0f * fastExp(-tm / 0.02f) + 48.0f;
        ph += f / sr;
        mixAt(out, j + m, fastSin(TWO_PI_F * ph) * 0.9f * fastExp(-tm / 0.05f));
    }
}

void snareHit(std::vector<float>& out, std::size_t j, float sr, uint32_t& rng) {
    std::size_t len = sampleCount(0.2f * sr);
    SvfCoefs c = svfCoefs(2200.0f, sr, 0.71428573f);
    float ic1 = 0.0f, ic2 = 0.0f, ph = 0.0f;
    for (std::size_t m = 0; m < len; ++m) {
        float tm = static_cast<float>(m) / sr;
        float f = 80.0f * fastExp(-tm / 0.015f) + 140.0f;
        ph += f / sr;
        rng = xorshift32(rng);
        float bp = svfTick(noiseValue(rng), c, ic1, ic2).band;
        mixAt(out, j + m,
              fastSin(TWO_PI_F * ph) * 0.5f * fastExp(-tm / 0.03f) + bp * 0.9f * fastExp(-tm / 0.05f));
    }
}

void hatHit(std::vector<float>& out, std::size_t j, float sr, uint32_t& rng, bool longHat) {
    std::size_t len = sampleCount(0.1f * sr);
    SvfCoefs c = svfCoefs(7000.0f, sr, 1.4285715f);
    float d = longHat ? 0.03f : 0.012f;
    float ic1 = 0.0f, ic2 = 0.0f;
    for (std::size_t m = 0; m < len; ++m) {
        float tm = static_cast<float>(m) / sr;
        rng = xorshift32(rng);
        float hp = svfTick(noiseValue(rng), c, ic1, ic2).high;
        mixAt(out, j + m, hp * 0.25f * fastExp(-tm / d));
    }
}

}  // namespace

BreakBuf::BreakBuf(float sampleRate) : sr(sampleRate) {
    samples.assign(sampleCount(sr * SIXTEENTH_S * 32.0f), 0.0f);
    uint32_t rng = 7;
    for (int l = 0; l < LOOP_STEPS; ++l) {
        std::size_t j = sampleCount(static_cast<float>(l) * SIXTEENTH_S * sr);
        if (K[l]) kickHit(samples, j, sr);
        if (S[l]) snareHit(samples, j, sr, rng);
        if (H[l]) hatHit(samples, j, sr, rng, l % 4 == 3);
    }
    for (float& s : samples) {
        if (s < -1.0f) s = -1.0f;
        if (s > 1.0f) s = 1.0f;
    }
}

}  // namespace brs
