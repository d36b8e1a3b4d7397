// The lane renderer for AVX2: eight voices per vector. Built with -mavx2 (see
// CMakeLists.txt) and used only when the processor reports AVX2.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "dsp/lanes.h"
#include "dsp/primitives.h"
#include "engine/engine.h"

namespace brs {

#if defined(__AVX2__)
#define LANE_MAX_W 8
#define LANE_NAME "avx2"
#include "dsp/voice_lanes.inc"
const LaneKernels* const LANES_AVX2 = &KERNELS;
#else
const LaneKernels* const LANES_AVX2 = nullptr;
#endif

}  // namespace brs
