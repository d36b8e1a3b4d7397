// Placeholder until the instrument recipes land.
#include "dsp/dsp.h"

namespace brs {

float renderVoice(Voice&, const BreakBuf&, float) { return 0.0f; }

}  // namespace brs
