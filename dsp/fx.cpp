// Placeholder until the effects land: lines are sized, the dry bus passes through.
#include "dsp/dsp.h"

namespace brs {

Fx::Fx(float sampleRate) : sr(sampleRate) {
    std::size_t n = sampleRate > 0.0f ? static_cast<std::size_t>(2.0f * sampleRate) : 1;
    dl.assign(n, 0.0f);
    dr.assign(n, 0.0f);
}

void Fx::frame(float dry, float, float, float& left, float& right) {
    left = dry;
    right = dry;
}

void masterStage(float& left, float& right, float, float level, float&) {
    left *= level;
    right *= level;
}

}  // namespace brs
