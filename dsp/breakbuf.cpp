// Placeholder until the break synthesis lands: a silent loop of the right size.
#include "dsp/dsp.h"

namespace brs {

BreakBuf::BreakBuf(float sampleRate) : sr(sampleRate) {
    float n = sampleRate * 0.0882353f * 32.0f;
    samples.assign(n > 0.0f ? static_cast<std::size_t>(n) : 0, 0.0f);
}

}  // namespace brs
