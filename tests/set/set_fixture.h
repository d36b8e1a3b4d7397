// Shared helpers for the set document tests: engines, saving, seeded edits.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/brskern.h"
#include "engine/engine.h"

namespace settest {

struct Free {
    void operator()(brs::Engine* e) const { brskern_free(e); }
};
using EnginePtr = std::unique_ptr<brs::Engine, Free>;

inline EnginePtr fresh(float sr = 48000.0f) { return EnginePtr(brskern_new(sr)); }

// The document through the exported call, asked for twice as callers do.
inline std::string save(brs::Engine* e) {
    std::size_t n = brskern_save_set(e, nullptr, 0);
    EXPECT_GT(n, 0u);
    std::string buf(n, '\x7f');
    EXPECT_EQ(brskern_save_set(e, buf.data(), n), n);
    EXPECT_EQ(buf[n - 1], '\0');
    buf.resize(n - 1);
    return buf;
}

// A float from a mix of plain values, powers and random bit patterns
// (finite, including denormals and negative zero).
inline float randomFloat(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0: return static_cast<float>(static_cast<int>(rng() % 20001) - 10000);
        case 1: return static_cast<float>(rng() % 100000) / 1000.0f;
        case 2: return std::ldexp(static_cast<float>(rng() % 1000), static_cast<int>(rng() % 60) - 30);
        default: {
            for (;;) {
                std::uint32_t bits = static_cast<std::uint32_t>(rng());
                float f;
                std::memcpy(&f, &bits, sizeof f);
                if (std::isfinite(f)) return f;
            }
        }
    }
}

// A random float inside r: randomFloat's value when it lies inside (denormals
// and negative zero included), else one spread evenly over the range.
inline float randomIn(std::mt19937& rng, brs::ParamRange r) {
    const float f = randomFloat(rng);
    if (f >= r.lo && f <= r.hi) return f;
    return r.lo + (r.hi - r.lo) * static_cast<float>(rng() % 100001) / 100000.0f;
}

// Seeded edits through the kernel API that a saved document restores
// exactly: every value inside the range a document keeps it to, on, acc and
// rev 0 or 1, and the chain flag left alone.
inline void randomEdits(brs::Engine* e, std::uint32_t seed, int count) {
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) {
        switch (rng() % 9) {
            case 0: brskern_set_bpm(e, 60.0f + static_cast<float>(rng() % 200001) / 1000.0f); break;
            case 1: brskern_set_swing(e, randomFloat(rng)); break;
            case 2: brskern_set_fx(e, randomFloat(rng), randomFloat(rng), randomFloat(rng)); break;
            case 3: brskern_set_mute(e, rng() % 6, rng() % 2); break;
            case 4: brskern_set_wave(e, rng() % 6, static_cast<std::uint8_t>(rng() % 2)); break;
            case 5: {
                const int i = static_cast<int>(rng() % brs::NUM_PARAMS);
                brskern_set_param(e, rng() % 6, brs::PARAM_NAMES[i], randomIn(rng, brs::PARAM_RANGES[i]));
                brskern_set_param(e, 6 + rng() % 3, rng() % 2 ? "drive" : "level", randomIn(rng, brs::MASTER_RANGE));
                break;
            }
            case 6: {
                std::vector<std::uint8_t> song(rng() % 12);
                for (auto& b : song) b = static_cast<std::uint8_t>(rng());
                brskern_set_song(e, song.data(), song.size());
                break;
            }
            default:
                for (int k = 0; k < 40; ++k)
                    brskern_set_step(e, rng() % 8, rng() % 6, rng() % 64, rng() % 2, rng() % 2,
                                     static_cast<int>(rng() % 256) - 128, static_cast<int>(rng() % 256),
                                     static_cast<int>(rng() % 256), rng() % 2);
                break;
        }
    }
    brskern_set_global(e, e->swing, 1 + rng() % 64, e->chain, e->masterDrive, e->masterLevel);
}

}  // namespace settest
