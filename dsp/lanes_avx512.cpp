// The lane renderer for AVX-512: sixteen voices per vector. Built with
// -mavx512f -mavx512vl -mavx512bw -mavx512dq (see CMakeLists.txt) and used
// only when the processor reports all four.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "dsp/lanes.h"
#include "dsp/primitives.h"
#include "engine/engine.h"

namespace brs {

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
#define LANE_MAX_W 16
#define LANE_NAME "avx512"
#include "dsp/voice_lanes.inc"
const LaneKernels* const LANES_AVX512 = &KERNELS;
#else
const LaneKernels* const LANES_AVX512 = nullptr;
#endif

}  // namespace brs
