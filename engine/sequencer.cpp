// sequencer.cpp: the step clock. Fires every step due before the end of a
// block, with swing, automation, ratchets, the song chain and the pattern chain.
#include <algorithm>
#include <cmath>

#include "engine/engine.h"

namespace brs {

// [audio thread] no allocation, no locks
void Engine::schedule(double end) {
    if (!playing) return;

    while (end > nextStep) {
        // A sixteenth note at the current tempo; the tempo used is always
        // positive and finite, so the clock only ever moves forward.
        const double stepDur = 60.0 / effectiveBpm(bpm) * 0.25;
        const uint64_t patLen = std::clamp<uint64_t>(len, 1, NUM_STEPS);
        const uint64_t cur = pat & 7u;
        const uint64_t at = step % NUM_STEPS;

        // Odd steps come late by swing percent of a step.
        const double offset = (at & 1u) ? effectiveSwing(swing) * stepDur / 100.0 : 0.0;
        const double stepTime = nextStep + offset;

        // Automation first, muted tracks included, so this step's voices
        // already carry the new values. NaN (and any non-finite value) means
        // the lane is empty there.
        if (autoOn && autom.size() >= AUTOM_SIZE) {
            const float* lane = autom.data() + cur * 7680u + at;
            for (int t = 0; t < NUM_TRACKS; ++t)
                for (int i = 0; i < NUM_PARAMS; ++i) {
                    const float v = lane[t * 1280 + i * 64];
                    if (std::isfinite(v)) tracks[t].p[i] = v;
                }
        }

        const Pattern& pattern = pats[cur];
        for (int t = 0; t < NUM_TRACKS; ++t) {
            const Step& s = pattern.steps[t][at];
            if (s.on == 0 || mute[t]) continue;
            const unsigned r = s.rat == 0 ? 1u : s.rat;
            const float gain = (s.acc != 0 ? 1.0f : 0.7f) * tracks[t].p[P_LEVEL];
            const float note = BASEN[t] + static_cast<float>(s.note);
            const float dur = voiceLength(static_cast<uint64_t>(t));
            for (unsigned k = 0; k < r; ++k) {
                const float d =
                    static_cast<float>(static_cast<double>(k) * stepDur / r + stepTime - clock);
                // At the first refusal the list is full: the remaining hits go.
                if (!spawnVoice(static_cast<uint64_t>(t), std::max(0.0f, d), dur, gain, note,
                                s.slice, s.rev))
                    break;
            }
        }

        step = (at + 1) % patLen;
        if (step == 0) {
            if (!song.empty()) {
                // A chain replaced by a shorter one is read at songPos modulo
                // its length, never past its end.
                const uint64_t n = song.size();
                songRep += 1;
                const uint8_t rep = song[songPos % n].rep;
                if (songRep >= (rep == 0 ? 1u : rep)) {
                    songRep = 0;
                    songPos = (songPos + 1) % n;
                    pat = song[songPos].pat & 7u;
                }
            } else if (chain) {
                for (uint64_t i = 1; i <= NUM_PATTERNS; ++i) {
                    const uint64_t cand = (cur + i) % NUM_PATTERNS;
                    if (i == NUM_PATTERNS || patternHasSteps(cand)) {
                        pat = cand;
                        break;
                    }
                }
            }
        }

        nextStep += stepDur;  // unswung: swing never accumulates
        if (!playing) return;
    }
}

// How far past a sixteenth a position may lie and still count as lying on
// it, in sixteenths: host positions are fixed-point and may round a hair late.
constexpr double PLACE_TOLERANCE = 1e-6;
// Positions beyond this many beats are ignored (a double no longer counts
// single sixteenths there).
constexpr double PLACE_LIMIT = 1e12;

// The sixteenth grid starts at position 0. The next step to fire is the first
// sixteenth at or after the position; its time follows from the remainder at
// the current tempo. An odd step whose swung hit still lies ahead fires
// instead, late by its swing as always. Whole patterns since position 0 give
// the pass, and through the song chain (when one is set) the entry and its
// repeat; without a song the current pattern stays.
// [audio thread] no allocation, no locks
void Engine::place(double beats) {
    if (!std::isfinite(beats) || std::fabs(beats) > PLACE_LIMIT) return;
    const double stepDur = 60.0 / effectiveBpm(bpm) * 0.25;
    const uint64_t patLen = std::clamp<uint64_t>(len, 1, NUM_STEPS);
    const double s = beats * 4.0;
    double n = std::ceil(s - PLACE_TOLERANCE);
    if (n < 0.0) n = 0.0;
    if (n >= 1.0) {
        const uint64_t prev = static_cast<uint64_t>(n) - 1;
        const double late = effectiveSwing(swing) / 100.0;  // in steps
        if (((prev % patLen) & 1u) && late > 0.0 && s - static_cast<double>(prev) <= late + PLACE_TOLERANCE)
            n = static_cast<double>(prev);
    }
    const uint64_t idx = static_cast<uint64_t>(n);
    step = idx % patLen;
    if (!song.empty()) {
        uint64_t cycle = 0;
        for (const SongEntry& e : song) cycle += e.rep == 0 ? 1u : e.rep;
        uint64_t q = (idx / patLen) % cycle;
        for (std::size_t i = 0; i < song.size(); ++i) {
            const uint64_t r = song[i].rep == 0 ? 1u : song[i].rep;
            if (q < r) {
                songPos = i;
                songRep = q;
                pat = song[i].pat & 7u;
                break;
            }
            q -= r;
        }
    }
    nextStep = clock + (n - s) * stepDur;
}

}  // namespace brs
