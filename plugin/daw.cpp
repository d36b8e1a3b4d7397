// daw.cpp: playing along with a DAW: the host's song position and loops, the
// tail, offline rendering, note names and remote-control pages.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "plugin/shell.h"

namespace brs::plug {
namespace {

// A host position further than this (in beats) from where the sequencer
// stands is a jump: a click in the timeline, a loop the host wrapped itself,
// another bar. Smaller differences are the host's rounding and are left be.
constexpr double JUMP_TOLERANCE = 1.0 / 64.0;
// Loops shorter than this many frames (about a millisecond) are not started
// over inside a block: the host's next block brings the position anyway, and
// a block never holds more than a few dozen placements.
constexpr double MIN_LOOP_FRAMES = 64.0;
// A level of -60 dB: where an echo or the reverb counts as gone.
constexpr double TAIL_FLOOR = 1e-3;
// Seconds of audio a changed tail keeps its value before the host is told.
constexpr double TAIL_SETTLE = 0.25;

constexpr double beats_of(clap_beattime t) { return static_cast<double>(t) / static_cast<double>(CLAP_BEATTIME_FACTOR); }

}  // namespace

// ---- the host's position ---------------------------------------------------------

void follow_position(Plug& p, const clap_event_transport_t* t, bool started) {
    Plug::HostPos& h = p.hostPos;
    h.wrapAt = HUGE_VAL;
    if (!t || !p.posFollow.load(std::memory_order_relaxed) || !(t->flags & CLAP_TRANSPORT_HAS_BEATS_TIMELINE) ||
        !(t->flags & CLAP_TRANSPORT_IS_PLAYING)) {
        h.valid = false;
        return;
    }
    const double b = beats_of(t->song_pos_beats);
    if (started || !h.valid || !(std::fabs(b - h.beats) <= JUMP_TOLERANCE)) {
        brskern_place(p.engine, b);
        h.beats = b;
        h.valid = true;
    }
    // The host's loop: where in this block it ends, so that a host that does
    // not end its block there still gets the loop's start at the right frame.
    if (!(t->flags & CLAP_TRANSPORT_IS_LOOP_ACTIVE)) return;
    const double tempo = (t->flags & CLAP_TRANSPORT_HAS_TEMPO) && std::isfinite(t->tempo) && t->tempo > 0.0
                             ? t->tempo
                             : effectiveBpm(p.engine->bpm);
    const double perFrame = tempo / 60.0 / static_cast<double>(p.engine->sampleRate);
    const double ls = beats_of(t->loop_start_beats), le = beats_of(t->loop_end_beats);
    if (!(le > ls) || !(b < le) || !(perFrame > 0.0)) return;
    const double loopFrames = (le - ls) / perFrame;
    if (!(loopFrames >= MIN_LOOP_FRAMES)) return;
    h.wrapAt = (le - b) / perFrame;
    h.loopStart = ls;
    h.loopFrames = loopFrames;
    h.perFrame = perFrame;
}

uint32_t loop_wrap_frame(const Plug& p, uint32_t from, uint32_t n) {
    const double f = std::floor(p.hostPos.wrapAt);
    if (!(f >= static_cast<double>(from)) || !(f < static_cast<double>(n))) return n;
    return static_cast<uint32_t>(f);
}

// The loop's start lies a fraction of a frame after the wrap frame (the host
// reaches the loop's end inside that frame), so the position at the frame is
// a hair before the start: the first step of the loop keeps its sub-frame
// timing, the same as on a pass that reached it without a wrap.
void wrap_position(Plug& p) {
    Plug::HostPos& h = p.hostPos;
    const double frac = h.wrapAt - std::floor(h.wrapAt);
    const double b = h.loopStart - frac * h.perFrame;
    if (h.valid) {
        brskern_place(p.engine, b);
        h.beats = b;
    }
    h.wrapAt += h.loopFrames;
}

void advance_position(Plug& p, uint32_t frames) {
    Plug::HostPos& h = p.hostPos;
    if (!h.valid) return;
    h.beats += static_cast<double>(frames) * effectiveBpm(p.engine->bpm) / 60.0 / static_cast<double>(p.engine->sampleRate);
}

// ---- tail ----------------------------------------------------------------------------

namespace {

// Seconds until a loop that keeps gain g per pass of length len falls to
// TAIL_FLOOR, counting the first pass.
double ring_seconds(double len, double g) {
    if (!(g > TAIL_FLOOR)) return len;
    if (!(g < 1.0)) g = 0.999;
    return len * (1.0 + std::log(TAIL_FLOOR) / std::log(g));
}

// How long the output may sound after the input stops, in frames: the
// longest voice a hit starts now, followed by the longer of the delay's echoes
// and the reverb's ring. Both effects count whatever the sends are: their
// lines may still hold what earlier sends put there.
uint32_t tail_of(const Engine& e) {
    if (e.playing) return static_cast<uint32_t>(INT32_MAX);  // the sequencer makes sound without input
    double voice = 0.0;
    for (uint64_t t = 0; t < static_cast<uint64_t>(NUM_TRACKS); ++t) {
        const double v = e.voiceLength(t);
        if (std::isfinite(v) && v > voice) voice = v;
    }
    const double sr = static_cast<double>(e.sampleRate);
    const double delay = ring_seconds(e.fx.delayTime, e.fx.delayFb);
    double comb = 0.0, ap = 0.0;
    for (const auto& c : e.fx.combs) comb = std::max(comb, static_cast<double>(c.line.size()) / sr);
    for (const auto& a : e.fx.aps) ap += static_cast<double>(a.line.size()) / sr;
    const double reverb = ring_seconds(comb, e.fx.reverbSize * 0.28 + 0.7) + ap;
    const double frames = std::ceil((voice + std::max(delay, reverb)) * sr);
    if (!(frames < static_cast<double>(INT32_MAX - 1))) return static_cast<uint32_t>(INT32_MAX - 1);
    return frames > 0.0 ? static_cast<uint32_t>(frames) : 0u;
}

}  // namespace

void update_tail(Plug& p) {
    if (!p.engine) return;
    const uint32_t v = tail_of(*p.engine);
    if (p.tailFrames.exchange(v, std::memory_order_relaxed) == v) return;
    p.tailDirty.store(true, std::memory_order_release);
    p.tailQuiet = 0;
}

// The host is told once the tail has kept its value for a quarter of a
// second of audio: a drag on a slider or automation that moves it every block
// costs one notice, not one per block (a VST3 host restarts the component
// for each).
void tail_block(Plug& p, uint32_t frames) {
    update_tail(p);
    if (!p.tailDirty.load(std::memory_order_acquire)) return;
    p.tailQuiet += frames;
    if (static_cast<double>(p.tailQuiet) < TAIL_SETTLE * static_cast<double>(p.engine->sampleRate)) return;
    p.tailDirty.store(false, std::memory_order_relaxed);
    tail_changed(p);
}

void tail_changed(Plug& p) {
    // The VST3 adapter turns this notice into a component restart for a new
    // latency, which VST3 hosts answer by stopping and starting the audio:
    // there the host reads the tail when it starts processing, and is not
    // told in between (it would hear a gap at every start and stop).
    if (in_vst3_build()) return;
    if (p.hostTail && p.hostTail->changed) p.hostTail->changed(p.host);
}

namespace {

// [main thread, audio thread] lock-free
uint32_t tail_get(const clap_plugin_t* plugin) { return from(plugin)->tailFrames.load(std::memory_order_relaxed); }

// ---- render mode -----------------------------------------------------------------------

bool render_hard_rt(const clap_plugin_t*) { return false; }

// [main thread] offline: blocks wait for the instance lock instead of being
// output as silence; real time: as before.
bool render_set(const clap_plugin_t* plugin, clap_plugin_render_mode mode) {
    if (mode != CLAP_RENDER_REALTIME && mode != CLAP_RENDER_OFFLINE) return false;
    from(plugin)->offline.store(mode == CLAP_RENDER_OFFLINE, std::memory_order_relaxed);
    return true;
}

// ---- note names ------------------------------------------------------------------------------

constexpr int16_t TRACK_KEY = 36;    // keys 36..41 play the tracks
constexpr int16_t PATTERN_KEY = 48;  // keys 48..55 select patterns 1..8

uint32_t nn_count(const clap_plugin_t*) { return 6 + 8; }

// [main thread]
bool nn_get(const clap_plugin_t*, uint32_t index, clap_note_name_t* nn) {
    if (!nn || index >= 14) return false;
    std::memset(nn, 0, sizeof *nn);
    nn->port = -1;
    nn->channel = -1;
    if (index < 6) {
        nn->key = int16_t(TRACK_KEY + index);
        std::snprintf(nn->name, sizeof nn->name, "%s", TRACK_DE[index]);
    } else {
        nn->key = int16_t(PATTERN_KEY + (index - 6));
        std::snprintf(nn->name, sizeof nn->name, "Pattern %u", index - 5);
    }
    return true;
}

// ---- remote-control pages ------------------------------------------------------------------------

// One page per track with its eight parameters in the editor's column order,
// then the master row, swing and "Sequencer folgt Host".
constexpr uint32_t PAGES = 7;

uint32_t rc_count(const clap_plugin_t*) { return PAGES; }

// [main thread]
bool rc_get(const clap_plugin_t*, uint32_t index, clap_remote_controls_page_t* page) {
    if (!page || index >= PAGES) return false;
    std::memset(page, 0, sizeof *page);
    page->page_id = index;
    page->is_for_preset = false;
    if (index < 6) {
        std::snprintf(page->section_name, sizeof page->section_name, "%s", "Spuren");
        std::snprintf(page->page_name, sizeof page->page_name, "%s", TRACK_DE[index]);
        for (uint32_t k = 0; k < 8; ++k) page->param_ids[k] = 16 * index + k;
    } else {
        std::snprintf(page->section_name, sizeof page->section_name, "%s", "Summe");
        std::snprintf(page->page_name, sizeof page->page_name, "%s", "Summe");
        for (uint32_t k = 0; k < 7; ++k) page->param_ids[k] = 1000 + k;  // drive, level, swing, delay, feedback, reverb, follow
        page->param_ids[7] = CLAP_INVALID_ID;
    }
    return true;
}

}  // namespace

const clap_plugin_note_name_t NOTE_NAMES = {nn_count, nn_get};
const clap_plugin_tail_t TAIL = {tail_get};
const clap_plugin_render_t RENDER = {render_hard_rt, render_set};
const clap_plugin_remote_controls_t REMOTE = {rc_count, rc_get};

}  // namespace brs::plug
