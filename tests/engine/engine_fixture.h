// Helpers shared by the engine tests: an owned engine handle, the default
// groove as the plug-in writes it, and a recorder of created voices.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/brskern.h"
#include "engine/engine.h"

namespace brstest {

struct EngineDeleter {
    void operator()(brs::Engine* e) const { brskern_free(e); }
};
using EnginePtr = std::unique_ptr<brs::Engine, EngineDeleter>;

inline EnginePtr makeEngine(float rate = 48000.0f) { return EnginePtr(brskern_new(rate)); }

// Pattern 0 of a fresh plug-in instance.
inline void writeDefaultGroove(brskern_t h) {
    auto put = [h](uint32_t track, uint32_t step, int acc, int note, int rat) {
        brskern_set_step(h, 0, track, step, 1, acc, note, rat, 0, 0);
    };
    put(0, 0, 1, 0, 1);
    for (uint32_t s : {4u, 8u, 12u}) put(0, s, 0, 0, 1);
    put(1, 2, 1, 0, 1);
    for (uint32_t s : {6u, 10u, 14u}) put(1, s, 0, 0, 1);
    put(1, 7, 0, 3, 1);
    for (uint32_t s : {1u, 5u, 9u, 13u}) put(4, s, 0, 0, 1);
    for (uint32_t s : {3u, 7u, 11u}) put(4, s, 1, 0, 1);
    put(4, 15, 1, 0, 2);
    put(5, 4, 0, 0, 1);
    put(5, 12, 1, 0, 1);
}

// Makes every track's voices last far longer than any test runs, so that the
// voice list only grows and new voices are always the tail of the list.
inline void makeVoicesLong(brskern_t h) {
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(h, t, "decay", 1000.0f);
        brskern_set_param(h, t, "gate", 100000.0f);
    }
}

// One created voice with its absolute start time in engine seconds.
struct Hit {
    uint64_t track;
    float note;
    float gain;
    uint64_t slice;
    uint8_t rev;
    float dur;
    double start;
};

// Renders `total` frames in blocks of `block` frames and records every voice
// created, with its start time recovered right after the call that made it.
// Needs voices that outlive the run (see makeVoicesLong).
inline std::vector<Hit> record(brs::Engine& e, uint64_t total, uint32_t block) {
    std::vector<Hit> hits;
    std::vector<float> out(2 * static_cast<std::size_t>(block));
    const double dt = static_cast<double>(1.0f / e.sampleRate);
    for (uint64_t done = 0; done < total;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(block, total - done));
        const std::size_t before = e.voices.size();
        const double clock = e.clock;
        brskern_process(&e, out.data(), n);
        if (e.voices.size() < before) return {};  // a voice ended: the caller's setup is wrong
        for (std::size_t i = before; i < e.voices.size(); ++i) {
            const brs::Voice& v = e.voices[i];
            hits.push_back(Hit{v.track, v.note, v.gain, v.slice, v.rev, v.dur,
                               clock + n * dt - static_cast<double>(v.t)});
        }
        done += n;
    }
    return hits;
}

constexpr double STEP_175 = 60.0 / 175.0 * 0.25;

}  // namespace brstest
