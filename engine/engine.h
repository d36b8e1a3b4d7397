// engine.h: the brisanto engine object (C++ side of the kernel).
//
// Outside callers use the C API in engine/brskern.h; the engine's fields are
// public so that the kernel, the set reader and tests can reach them.
// The engine is not thread-safe: its owner serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/dsp.h"
#include "dsp/lanes.h"

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define BRS_HAVE_MXCSR 1
#endif

namespace brs {

constexpr int NUM_TRACKS = 6;
constexpr int NUM_PATTERNS = 8;
constexpr int NUM_STEPS = 64;
constexpr std::size_t MAX_VOICES = 64;
constexpr std::size_t AUTOM_SIZE = 61440;  // [pattern 8][track 6][param 20][step 64]
// Room every engine keeps for its song chain, so that a short chain (the
// plug-in's pattern switch is one entry) replaces it without allocating.
constexpr std::size_t SONG_RESERVE = 256;

// The twenty per-track sound parameter keys, in index order.
extern const char* const PARAM_NAMES[NUM_PARAMS];
// Base MIDI note per track.
extern const float BASEN[NUM_TRACKS];

// The range of each track sound value, in PARAM_NAMES order: what a set
// document or a state may bring in, and what the editor's sound page spans.
// Every default of every track lies inside.
struct ParamRange {
    float lo, hi;
};
extern const ParamRange PARAM_RANGES[NUM_PARAMS];
// The ranges of the set's other values, as the kernel's setters keep them:
// tempo in BPM, swing in percent, master drive and level.
inline constexpr ParamRange BPM_RANGE{60.0f, 260.0f};
inline constexpr ParamRange SWING_RANGE{0.0f, 60.0f};
inline constexpr ParamRange MASTER_RANGE{0.0f, 1.0f};
// v kept to r; NaN passes unchanged (callers refuse it before).
inline float keepTo(float v, ParamRange r) { return v < r.lo ? r.lo : (v > r.hi ? r.hi : v); }

// The longest a voice sounds, in seconds, whatever its track's values say.
// Every length the ranges above allow is far shorter (the longest, an open
// hat of decay 2 s, lasts 8.02 s), so no such voice is touched. It also keeps
// the voice clock moving: a voice's time is a float advanced by 1/rate per
// frame, and below 32 s one step of 1/768000 s (the highest rate an engine
// takes) is still more than half the float spacing, so the time never stalls
// short of the end.
inline constexpr float MAX_VOICE_SECONDS = 24.0f;
static_assert(MAX_VOICE_SECONDS < 32.0f && 1.0f / 768000.0f > 0x1p-20f,
              "the voice clock advances at every rate up to the cap");

// The value a fresh engine gives parameter index of track (0.0 outside the tables).
// [any thread] no allocation
float defaultParam(int track, int index);

// Index of a track parameter key in PARAM_NAMES (exact, case-sensitive), or -1.
int paramIndex(const char* name);

// The sample rate an engine is built for: non-finite or non-positive rates give
// 48000 Hz, rates below 1 Hz give 1 Hz, rates above 768000 Hz give 768000 Hz.
float safeSampleRate(float sampleRate);

// Flush-to-zero and denormals-are-zero (MXCSR bits 0x8000 and 0x0040) while
// the kernel renders; the caller's floating-point control state comes back
// when the scope ends. [audio thread] no allocation, no locks
class DenormalScope {
public:
#ifdef BRS_HAVE_MXCSR
    DenormalScope() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~DenormalScope() { _mm_setcsr(saved_); }
    DenormalScope(const DenormalScope&) = delete;
    DenormalScope& operator=(const DenormalScope&) = delete;

private:
    unsigned int saved_;
#else
    DenormalScope() = default;
#endif
};

// The tempo and swing the sequencer uses. The bpm and swing fields may arrive
// without limits (the set reader stores them as written), so the clock works
// with 60..260 BPM (175 when not finite) and 0..60 percent (0 when not finite).
double effectiveBpm(float bpm);
double effectiveSwing(float swing);

enum ParamIndex : int {
    P_TUNE, P_PITCH_AMT, P_PITCH_DEC, P_CLICK, P_TONE, P_CUT, P_RES, P_ENV, P_DECAY, P_DRIVE,
    P_LEVEL, P_DETUNE, P_SLIDE, P_SLIDE_T, P_PITCH, P_GATE, P_OPEN, P_CHORD, P_DELAY_SEND,
    P_REVERB_SEND
};

struct Track {
    float p[NUM_PARAMS];
    uint8_t wave;  // 0 saw, non-zero square
};

// One sequencer step: six bytes, in this order everywhere (set documents, pattern image).
struct Step {
    uint8_t on;
    uint8_t acc;
    int8_t note;   // semitone offset added to BASEN
    uint8_t rat;   // ratchet count, 0 behaves as 1
    uint8_t slice; // break slice, low four bits used
    uint8_t rev;
};
static_assert(sizeof(Step) == 6, "a step is six bytes");

// Six tracks of 64 steps, track-major.
struct Pattern {
    Step steps[NUM_TRACKS][NUM_STEPS];
};

struct SongEntry {
    uint8_t pat;  // 0..7
    uint8_t rep;  // passes; 0 plays once
};

struct Engine {
    float sampleRate;
    float bpm = 175.0f;
    float swing = 0.0f;
    uint64_t len = 16;
    Track tracks[NUM_TRACKS];
    bool mute[NUM_TRACKS] = {};
    std::vector<Pattern> pats;
    std::vector<SongEntry> song;
    bool chain = false;
    float masterDrive = 0.15f;
    float masterLevel = 0.85f;
    bool playing = false;
    uint64_t step = 0;
    uint64_t pat = 0;
    uint64_t songPos = 0;
    uint64_t songRep = 0;
    double nextStep = 0.0;
    double clock = 0.0;
    std::vector<Voice> voices;
    BreakBuf brk;
    Fx fx;
    float limiterGain = 1.0f;
    std::vector<float> autom;
    bool autoOn = true;
    LaneScratch lanes{};  // the render loop's working memory (dsp/render.cpp)

    // [any thread] allocates everything rendering needs; the rate passes safeSampleRate.
    explicit Engine(float sampleRate);

    // Makes the room the render path and the audio thread's setters rely on:
    // MAX_VOICES voices, SONG_RESERVE song entries, AUTOM_SIZE lane values.
    // Called by the constructor and after every set load or copy, so every
    // engine keeps it. [main thread] allocates when room is missing
    void ensureCapacity();

    // Renders frames interleaved stereo frames. With own given, each track t
    // whose own[t] is not null sends its dry signal there instead of into the
    // main mix: mono, frames floats, through its own pass of master drive and
    // level but not the limiter; its delay and reverb sends stay as they are.
    // [audio thread] no allocation, no locks
    void process(float* out, unsigned long frames, float* const* own = nullptr);
    // Moves the clock and the sequencer on by frames without rendering them:
    // the steps due in that time fire (automation and song chain included),
    // and every voice ages by the span, as if it had been rendered unheard;
    // voices whose life ends inside it are gone. Delay, reverb and limiter
    // keep their state. [audio thread] no allocation, no locks
    void skip(unsigned long frames);
    // Ends every voice and empties the delay and reverb lines and the
    // limiter; the set, the parameters and the sequencer stay.
    // [audio thread] no allocation, no locks
    void silence();
    // Renders at most LANE_BLOCK frames of the voices, effects and master.
    // [audio thread] no allocation, no locks
    // own as in process, already offset to the block (null: no track apart).
    void renderBlock(const LaneKernels& k, float* out, int frames, float dt, float* const* own = nullptr);
    // Fires every step due before end (seconds). Called only by process.
    void schedule(double end);
    // Appends one voice unless MAX_VOICES exist; returns false when refused.
    bool spawnVoice(uint64_t track, float delay, float dur, float gain, float note, uint64_t slice,
                    uint8_t rev);
    // Voice length in seconds for a new hit on track, from its current parameters.
    float voiceLength(uint64_t track) const;
    // Starts the sequencer (brskern_start / MIDI Start). [caller serialises]
    void start();
    // Puts the sequencer where a position in beats (quarter notes since
    // position 0) falls at the current clock: step, pattern pass, song entry
    // and the time of the next step. [audio thread] no allocation, no locks
    void place(double beats);
    // True when any step of pattern index has on != 0 (all tracks, all 64 steps).
    bool patternHasSteps(uint64_t index) const;
};

}  // namespace brs
