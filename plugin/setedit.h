// setedit.h: set edits made in the editor on their way to the engine, and the
// main thread's own copy of the set that the editor shows.
//
// Set values (steps, sound values that are no host parameter, wave, length,
// tempo, song chain, pattern tools, start and stop) travel in one bounded
// queue of tagged edits, Plug::setq. The editor (main thread) is its only
// producer; whoever holds engineMutex consumes it: the audio thread at the
// start of each block, the parameter flush, or the main thread itself while
// no block comes. Host parameter gestures keep their own queue (Plug::gevs);
// both carry one sequence number from one counter, and every consumer applies
// the two in that order, so an edit never overtakes another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

namespace brs::plug {

struct Plug;

// Room of the set-edit queue, in edits.
constexpr uint32_t SET_EDIT_CAP = 4096;
// Longest song chain the editor builds: the room every engine keeps, so that
// no chain edit ever allocates on the audio thread.
constexpr uint32_t SONG_EDIT_MAX = uint32_t(SONG_RESERVE);

enum SetEditKind : uint8_t {
    SE_STEP = 1,    // a pattern, b track, c step: the whole step
    SE_PARAM,       // a track, b sound value index (not a host parameter), value
    SE_WAVE,        // a track, value 0 saw, 1 square
    SE_LEN,         // value: pattern length 1..64
    SE_BPM,         // value: tempo 60..260
    SE_START,       // the sequencer starts, as MIDI Start does
    SE_STOP,        // and stops, as MIDI Stop does
    SE_SONG_LEN,    // value: number of chain entries, at most SONG_EDIT_MAX
    SE_SONG_ENTRY,  // c entry index, a pattern 0..7, b repeats 1..255
    SE_CLEAR,       // a pattern, b track (NUM_TRACKS: all six)
    SE_COPY,        // a source pattern, b target pattern (steps and lanes)
};

struct SetEdit {
    uint64_t seq = 0;  // given by the queue
    uint8_t kind = 0;
    uint8_t a = 0, b = 0, c = 0;
    float value = 0.0f;
    Step step{};
};

// True for the sound value indices that are host parameters (level, cut,
// res, decay, drive, delaySend, reverbSend): those go through the host.
bool is_host_param_index(int index);

// Applies one edit to an engine's set. [caller serialises] no allocation
void apply_set_edit(Engine& e, const SetEdit& s);

// Queues the edits of one gesture, all or none, and applies them to the
// view at once. A full queue is first emptied into the engine by the main
// thread itself; false (nothing queued, nothing changed) only when even that
// leaves too little room. [main thread]
bool send_set_edits(Plug& p, SetEdit* edits, std::size_t n);
// Applies queued edits with a sequence number below limit, in order.
// [engineMutex held] no allocation
void apply_set_edits(Plug& p, uint64_t limit);
// Applies the edits still queued to e (a copy of the set) without taking
// them from the queue. [engineMutex held] no allocation
void peek_set_edits(const Plug& p, Engine& e);
// Drops every queued edit (a loaded set replaces them). [engineMutex held]
void discard_set_edits(Plug& p);
// Sequence number of the oldest host parameter edit still queued, or
// UINT64_MAX. wait: lock gevMutex (main thread); else only try it, and a
// busy lock gives 0 (nothing may go first). [engineMutex held]
uint64_t first_gev_seq(Plug& p, bool wait);
// When no block comes (inactive host, stopped engine thread), applies the
// queue on the main thread under engineMutex. [main thread]
void settle_set_edits(Plug& p);
// Publishes the sequencer's position for the editor. [engineMutex held] lock-free
void publish_play(Plug& p);
// Takes into the view what changed the set outside the editor: the pattern
// parameter's one-entry chain, the tempo the host or a set brought in.
// [main thread]
void sync_view(Plug& p);
// The editor's pattern button is about to replace the chain (parameter
// 1007): the view shows the one entry at once and expects the engine's
// change to follow. [main thread]
void view_pattern_chosen(Plug& p, int pattern);
// Tells the host that the project changed ("clap.state" mark_dirty).
// [main thread]
void mark_dirty(const Plug& p);

}  // namespace brs::plug
