// The lane renderer for the x86-64 baseline: four voices per vector (SSE2).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "dsp/lanes.h"
#include "dsp/primitives.h"
#include "engine/engine.h"

namespace brs {

#define LANE_MAX_W 4
#define LANE_NAME "baseline"
#include "dsp/voice_lanes.inc"

const LaneKernels* const LANES_BASELINE = &KERNELS;

}  // namespace brs
