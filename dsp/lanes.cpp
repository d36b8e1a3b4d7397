// Choice of the lane renderer: the widest variant this build has and this
// processor runs, found once; tests may pin a narrower one.
#include "dsp/lanes.h"

#include <atomic>

namespace brs {

namespace {

bool cpuRuns(LanePath path) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    switch (path) {
        case LanePath::Baseline: return true;
        case LanePath::Avx2: return __builtin_cpu_supports("avx2");
        case LanePath::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    }
    return false;
#else
    return path == LanePath::Baseline;
#endif
}

const LaneKernels* built(LanePath path) {
    switch (path) {
        case LanePath::Baseline: return LANES_BASELINE;
        case LanePath::Avx2: return LANES_AVX2;
        case LanePath::Avx512: return LANES_AVX512;
    }
    return nullptr;
}

// Both are written with the same value by whoever gets there first, so a race
// between two first renders is harmless; no lock is ever taken.
std::atomic<const LaneKernels*> widest{nullptr};
std::atomic<const LaneKernels*> pinned{nullptr};

}  // namespace

const LaneKernels* laneKernels(LanePath path) {
    const LaneKernels* k = built(path);
    return k != nullptr && cpuRuns(path) ? k : nullptr;
}

const LaneKernels& activeLaneKernels() {
    if (const LaneKernels* p = pinned.load(std::memory_order_acquire)) return *p;
    const LaneKernels* w = widest.load(std::memory_order_acquire);
    if (w == nullptr) {
        for (int i = LANE_PATHS - 1; i >= 0 && w == nullptr; --i) w = laneKernels(static_cast<LanePath>(i));
        widest.store(w, std::memory_order_release);
    }
    return *w;
}

bool pinLanePath(LanePath path) {
    const LaneKernels* k = laneKernels(path);
    if (k == nullptr) return false;
    pinned.store(k, std::memory_order_release);
    return true;
}

void unpinLanePath() { pinned.store(nullptr, std::memory_order_release); }

}  // namespace brs
