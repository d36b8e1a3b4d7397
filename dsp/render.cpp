// render.cpp: the render loop, voice creation, voice lengths and retirement.
#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/dsp.h"
#include "dsp/primitives.h"
#include "engine/engine.h"

namespace brs {

// [audio thread] no allocation, no locks
void Engine::process(float* out, unsigned long frames, float* const* own) {
    const float dt = 1.0f / sampleRate;
    const double end = clock + static_cast<double>(frames) * static_cast<double>(dt);

    // Every step due before the end of the block becomes voices with exact
    // start delays, before a single sample is rendered. Within the call the
    // voice list therefore only shrinks.
    schedule(end);

    const LaneKernels& k = activeLaneKernels();
    bool apart = false;
    if (own)
        for (int t = 0; t < NUM_TRACKS; ++t) apart |= own[t] != nullptr;
    float* at[NUM_TRACKS] = {};
    for (unsigned long done = 0; done < frames;) {
        const unsigned long left = frames - done;
        const int n = left < static_cast<unsigned long>(LANE_BLOCK) ? static_cast<int>(left) : LANE_BLOCK;
        if (apart)
            for (int t = 0; t < NUM_TRACKS; ++t) at[t] = own[t] ? own[t] + done : nullptr;
        renderBlock(k, out + 2 * done, n, dt, apart ? at : nullptr);
        done += static_cast<unsigned long>(n);
    }

    clock = end;
}

namespace {

// A voice no recipe is written for (only reachable by writing the list from
// outside): the one-voice loop, sample by sample.
void renderOddTrack(Voice& v, float* row, int& first, int& last, const LaneBlock& b) {
    first = b.frames;
    last = 0;
    for (int f = 0; f < b.frames && v.alive; ++f) {
        v.t += b.dt;
        if (v.t < 0.0f) continue;
        if (!(v.t <= v.dur)) {
            v.alive = 0;
            break;
        }
        row[f] = renderVoice(v, *b.breakBuf, b.sr);
        if (first > f) first = f;
        last = f + 1;
    }
}

// The buses when some tracks have outputs of their own. The list is cut into
// runs of neighbouring voices with the same output, and each run is summed in
// list order into its output's dry bus and the shared send buses. The sends
// therefore get exactly the additions of one call over the whole list, and
// each dry bus gets its voices in list order, so the main mix of the tracks
// left in it keeps the order the plain sum uses. Returns the tracks apart
// that sounded in the block.
unsigned sumApart(const LaneKernels& k, LaneScratch& s, int count, const Voice* voices, float* const* own) {
    for (int t = 0; t < NUM_TRACKS; ++t)
        if (own[t])
            for (int f = 0; f < LANE_BLOCK; ++f) s.ownDry[t][f] = 0.0f;
    auto outputOf = [&](int i) {
        const uint64_t t = voices[i].track;
        return t < static_cast<uint64_t>(NUM_TRACKS) && own[t] ? static_cast<int>(t) : -1;
    };
    unsigned sounded = 0;
    for (int i = 0; i < count;) {
        const int o = outputOf(i);
        int j = i;
        bool sounds = false;
        for (; j < count && outputOf(j) == o; ++j) sounds |= s.first[j] < s.last[j];
        k.sumBuses(s.rowOf + i, s.first + i, s.last + i, s.delaySend + i, s.reverbSend + i, j - i,
                   o < 0 ? s.dry : s.ownDry[o], s.delay, s.reverb);
        if (o >= 0 && sounds) sounded |= 1u << o;
        i = j;
    }
    return sounded;
}

// A track's own output from its dry bus: softClip(x, d) * level, the master
// stage without the limiter; a non-finite result gives 0. Four frames at a
// time with the same operations in the same order as the scalar form.
void trackOut(const float* dry, float* out, int frames, float d, float level) {
    int f = 0;
#if defined(__SSE2__)
    const __m128 d4 = _mm_set1_ps(d), d1 = _mm_set1_ps(d + 1.0f), one = _mm_set1_ps(1.0f);
    const __m128 lv = _mm_set1_ps(level);
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128i expMask = _mm_set1_epi32(0x7f800000);
    for (; f + 4 <= frames; f += 4) {
        const __m128 x = _mm_loadu_ps(dry + f);
        const __m128 y = _mm_mul_ps(_mm_div_ps(_mm_mul_ps(d1, x), _mm_add_ps(_mm_mul_ps(_mm_and_ps(x, absMask), d4), one)), lv);
        const __m128i e = _mm_and_si128(_mm_castps_si128(y), expMask);
        const __m128 bad = _mm_castsi128_ps(_mm_cmpeq_epi32(e, expMask));
        _mm_storeu_ps(out + f, _mm_andnot_ps(bad, y));
    }
#endif
    for (; f < frames; ++f) {
        const float y = softClip(dry[f], d) * level;
        out[f] = isFiniteF(y) ? y : 0.0f;
    }
}

}  // namespace

// Voice-major: each track's voices run side by side through their recipe for
// the whole block, each into its own row; the rows are then added into the
// buses in list order, frame by frame, as a sample-by-sample loop over the
// list adds them; then the block's buses run through the effects and the master.
// A voice ends on the frame its time passes its length (or its sample is not
// a finite number) and contributes nothing from then on; the ended voices
// leave the list at the end of the block, keeping the order of the others.
// (Nothing is created inside a block, so no seed or cap can tell the
// difference from leaving on that very frame.)
void Engine::renderBlock(const LaneKernels& k, float* out, int frames, float dt, float* const* own) {
    LaneScratch& s = lanes;
    const LaneBlock b{dt, sampleRate, frames, &brk, brk.samples.data(), brk.samples.size(), s.rows[LaneScratch::VOICES]};

    for (int t = 0; t < NUM_TRACKS; ++t) s.countByTrack[t] = 0;
    // spawnVoice keeps the list within the cap; a list grown past it from
    // outside renders its first MAX_VOICES voices and leaves the rest as they are.
    const int count = static_cast<int>(voices.size() < MAX_VOICES ? voices.size() : MAX_VOICES);
    static_assert(MAX_VOICES == LaneScratch::VOICES, "one row per voice the list can hold");
    int place[LaneScratch::VOICES];
    for (int i = 0; i < count; ++i) {
        Voice& v = voices[static_cast<std::size_t>(i)];
        // What the recipe keeps per voice is worked out for the current rate.
        if (v.alive && !(v.prepSr == sampleRate)) prepareVoice(v, sampleRate);
        s.rowOf[i] = s.rows[i];
        if (v.track < static_cast<uint64_t>(NUM_TRACKS)) {
            const int t = static_cast<int>(v.track);
            const int j = s.countByTrack[t]++;
            s.byTrack[t][j] = &v;
            s.rowsByTrack[t][j] = s.rows[i];
            place[i] = j;
        } else {
            renderOddTrack(v, s.rows[i], s.first[i], s.last[i], b);
            place[i] = -1;
        }
    }
    k.renderTracks(s, b);

    bool ended = false;
    for (int i = 0; i < count; ++i) {
        const Voice& v = voices[static_cast<std::size_t>(i)];
        if (place[i] >= 0) {
            s.first[i] = s.firstByTrack[v.track][place[i]];
            s.last[i] = s.lastByTrack[v.track][place[i]];
        }
        s.delaySend[i] = v.params[P_DELAY_SEND];
        s.reverbSend[i] = v.params[P_REVERB_SEND];
        ended |= v.alive == 0;
    }
    for (int f = 0; f < LANE_BLOCK; ++f) s.dry[f] = s.delay[f] = s.reverb[f] = 0.0f;
    unsigned sounded = 0;
    if (own)
        sounded = sumApart(k, s, count, voices.data(), own);
    else
        k.sumBuses(s.rowOf, s.first, s.last, s.delaySend, s.reverbSend, count, s.dry, s.delay, s.reverb);

    // Compacts in place and keeps the order of the others.
    if (ended)
        voices.erase(std::remove_if(voices.begin(), voices.end(), [](const Voice& v) { return v.alive == 0; }),
                     voices.end());

    // The block's buses through delay, reverb and the master stage; the
    // settings cannot change inside a call.
    fx.process(s.dry, s.delay, s.reverb, out, static_cast<std::size_t>(frames), masterDrive, masterLevel,
               limiterGain);

    // A track's own output: the master drive curve and level on its dry bus
    // alone, mono; the limiter is the main mix's only. A track that did not
    // sound in the block gives silence.
    if (own) {
        const float d = masterDrive * 30.0f > 0.0f ? masterDrive * 30.0f : 0.0f;
        for (int t = 0; t < NUM_TRACKS; ++t) {
            if (!own[t]) continue;
            if (!(sounded & (1u << t))) {
                std::fill(own[t], own[t] + frames, 0.0f);
                continue;
            }
            trackOut(s.ownDry[t], own[t], frames, d, masterLevel);
        }
    }
}

// [audio thread] no allocation, no locks
void Engine::skip(unsigned long frames) {
    const float dt = 1.0f / sampleRate;
    const double end = clock + static_cast<double>(frames) * static_cast<double>(dt);
    schedule(end);
    const float span = static_cast<float>(end - clock);
    for (Voice& v : voices) {
        v.t += span;
        if (!(v.t <= v.dur)) v.alive = 0;
    }
    voices.erase(std::remove_if(voices.begin(), voices.end(), [](const Voice& v) { return v.alive == 0; }),
                 voices.end());
    clock = end;
}

// [audio thread] no allocation: the list's capacity is reserved for the cap
bool Engine::spawnVoice(uint64_t track, float delay, float dur, float gain, float note,
                        uint64_t slice, uint8_t rev) {
    if (voices.size() >= MAX_VOICES || track >= static_cast<uint64_t>(NUM_TRACKS)) return false;

    const Track& tr = tracks[track];
    Voice v{};
    v.track = track;
    v.t = -delay;
    // Out-of-range values (a kernel caller may set any finite one) cannot make
    // a voice that holds its place in the list for ever (a NaN length ends
    // the voice at its first frame).
    v.dur = dur > MAX_VOICE_SECONDS ? MAX_VOICE_SECONDS : dur;
    v.gain = gain;
    v.note = note;
    v.ic1 = 0.0f;
    v.ic2 = 0.0f;
    v.rng = (static_cast<uint32_t>(voices.size()) + 1u) ^ 0x9E37u;
    std::copy(tr.p, tr.p + NUM_PARAMS, v.params);
    v.wave = tr.wave;
    v.slice = slice & 15u;
    v.rev = rev;
    v.alive = 1;
    voices.push_back(v);
    return true;
}

float Engine::voiceLength(uint64_t track) const {
    if (track >= static_cast<uint64_t>(NUM_TRACKS)) return 0.0f;
    const float* p = tracks[track].p;
    switch (track) {
        case 0: return p[P_DECAY] + 0.05f;
        case 1: return p[P_DECAY] + 0.1f;
        case 2: return p[P_DECAY] + 0.2f;
        case 3: {
            // gate times one slice (a sixteenth of the loop) plus 5 ms
            const float n = static_cast<float>(brk.samples.size());
            return p[P_GATE] * (n * 0.0625f / sampleRate) + 0.005f;
        }
        case 4: return (p[P_OPEN] > 0.5f ? 4.0f * p[P_DECAY] : p[P_DECAY]) + 0.02f;
        default: return p[P_DECAY] + 0.05f;
    }
}

}  // namespace brs
