// lanes.h: the voice renderer that runs one recipe over many voices at once.
//
// Engine::process renders a block voice-major: the voices of one track are
// rendered side by side in vector lanes (4, 8 or 16 voices per instruction),
// frame after frame, each voice's samples landing in a row of its own; then
// the rows are summed into the dry and send buses in voice-list order, frame
// by frame, exactly as a per-sample loop over the list would add them.
// Tracks with only a few voices are rendered in stages instead (their
// time-only values and oscillator shapes with the lanes over frames, their
// filters in one bank shared by all of them), so that a handful of voices
// does not pay for mostly empty vectors.
//
// The lane code is one source (dsp/voice_lanes.inc) compiled several times:
// for the x86-64 baseline (SSE2), for AVX2 and for AVX-512. The widest one
// the processor supports is chosen once, at the first render. Every path
// performs the same float operations per voice in the same order as the
// one-voice recipe renderVoice, so they all give the same bits; a lane whose
// numbers leave the ranges the lane code handles (hostile parameters) is
// rendered by renderVoice itself for that sample.
#pragma once

#include <cstdint>

#include "dsp/dsp.h"

namespace brs {

// Frames rendered voice-major at a time; longer calls are cut into blocks.
constexpr int LANE_BLOCK = 64;

// Rows of time-only values per voice a group of few voices works out ahead.
constexpr int LANE_PRE_ROWS = 12;
constexpr int LANE_PRE_VOICES = 4;
// Lanes of the filter bank shared by the tracks with few voices.
constexpr int LANE_BANK = 32;

// What one block's lane rendering needs besides the voices.
struct LaneBlock {
    float dt;                // 1 / sample rate
    float sr;                // sample rate
    int frames;              // 1..LANE_BLOCK
    const BreakBuf* breakBuf; // the break loop, for renderVoice
    const float* brk;        // its samples
    uint64_t brkSize;        // and their number
    float* spareRow;         // LANE_BLOCK floats that unused lanes write to
};

// Working memory of one engine's render loop, allocated with the engine.
struct LaneScratch {
    static constexpr int VOICES = 64;  // the voice cap
    alignas(64) float rows[VOICES + 1][LANE_BLOCK];  // one per voice, the last one spare
    alignas(64) float pre[6][LANE_PRE_ROWS * LANE_BLOCK * LANE_PRE_VOICES];  // per track, frame by voice
    alignas(64) float preByVoice[6][LANE_PRE_VOICES][LANE_PRE_ROWS][LANE_BLOCK];  // the same, voice by frame
    alignas(64) float osc[6][LANE_PRE_VOICES][5][LANE_BLOCK];  // oscillator state after each frame
    alignas(64) float bank[6][LANE_BLOCK][LANE_BANK];          // filter bank: input, a1, a2, a3, low, band
    alignas(64) float dry[LANE_BLOCK];
    alignas(64) float delay[LANE_BLOCK];
    alignas(64) float reverb[LANE_BLOCK];
    // Tracks with an output of their own: each one's dry bus (dsp/render.cpp).
    alignas(64) float ownDry[6][LANE_BLOCK];
    Voice* byTrack[6][VOICES];
    float* rowsByTrack[6][VOICES];
    int firstByTrack[6][VOICES];
    int lastByTrack[6][VOICES];
    int countByTrack[6];
    const float* rowOf[VOICES];
    int first[VOICES];
    int last[VOICES];
    float delaySend[VOICES];
    float reverbSend[VOICES];
};

// One compiled variant of the lane code.
struct LaneKernels {
    const char* name;
    // Renders the voices of every track for blk.frames frames: voice j of
    // track t (s.byTrack[t][j], s.countByTrack[t] of them) writes its samples
    // to s.rowsByTrack[t][j][0..frames) and the range of frames it sounded in
    // to s.firstByTrack[t][j]..s.lastByTrack[t][j] (empty when first >= last).
    // Advances each voice's time and state, sets alive = 0 on a voice that
    // ended in the block.
    void (*renderTracks)(LaneScratch& s, const LaneBlock& blk);
    // Adds the rows of `count` voices, in the order given, into the three
    // buses (LANE_BLOCK floats each, zeroed by the caller): dry += o,
    // delay += delaySend * o, reverb += reverbSend * o on each voice's range.
    void (*sumBuses)(const float* const* rows, const int* first, const int* last, const float* delaySend,
                     const float* reverbSend, int count, float* dry, float* delay, float* reverb);
};

// The variants, narrowest first. Null where the build has no such variant.
enum class LanePath : int { Baseline = 0, Avx2 = 1, Avx512 = 2 };
constexpr int LANE_PATHS = 3;

// The variant of a path when this build has it and this processor runs it, else null.
// [any thread] no allocation, no locks
const LaneKernels* laneKernels(LanePath path);

// The variant the render loop uses: the widest available unless pinned.
// [audio thread] no allocation, no locks
const LaneKernels& activeLaneKernels();

// Pins the render loop to one path (tests compare the paths); false, and no
// change, when that path is unavailable. [caller serialises with rendering]
bool pinLanePath(LanePath path);
// Back to the widest available path. [caller serialises with rendering]
void unpinLanePath();

// Works out what renderVoice keeps per voice for a sample rate (increments,
// fixed filters), as renderVoice does on a voice's first sample.
// [audio thread] no allocation, no locks
void prepareVoice(Voice& v, float sampleRate);

// The variants themselves (null when a file was built without its
// instruction set, e.g. by a compiler that lacks the options).
extern const LaneKernels* const LANES_BASELINE;
extern const LaneKernels* const LANES_AVX2;
extern const LaneKernels* const LANES_AVX512;

}  // namespace brs
