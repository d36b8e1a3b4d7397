// shell.h: the plug-in shell's own routines, shared by its source files.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "plugin/plug.h"

namespace brs::plug {

// Largest state stream and set file accepted (larger input is unreadable).
constexpr std::size_t MAX_SET_BYTES = std::size_t(16) << 20;
// The longest state tail a save may write: the plug-in settings (one digit
// each, ",\"hostPos\":1" included), the Multi's ",\"route\":[...]" of six
// digits, the editor's ",\"zoom\":150", and a raised import trigger,
// ",\"load\":" with a double of at most 24 characters. A load keeps room for it, so that whatever is accepted
// saves again within MAX_SET_BYTES, whatever the settings become.
constexpr std::size_t MAX_TAIL_BYTES = 41 + 12 + 22 + 11 + 8 + 24;

// Tables handed out by pl_ext (defined in the shell's source files).
extern const clap_plugin_params_t PA;
extern const clap_plugin_state_t ST;
extern const clap_plugin_descriptor_t DESC;
extern const clap_plugin_note_name_t NOTE_NAMES;
extern const clap_plugin_tail_t TAIL;
extern const clap_plugin_render_t RENDER;
extern const clap_plugin_remote_controls_t REMOTE;

// Stores one parameter value in the cache and forwards it to the engine;
// id 1008 raises a set-import request on a rising edge. [engineMutex held]
void apply_param(Plug& p, uint32_t id, double value);
// One host input event: parameter value, note on 36..41, raw MIDI; notes
// 48..55 select patterns 1..8, reported to out (may be null) as a value of
// parameter 1007. [engineMutex held] no allocation
void apply_event(Plug& p, const clap_event_header_t* ev, const clap_output_events_t* out = nullptr);
// Applies the editor's queued edits and reports them to out (may be null).
// [engineMutex held] try-locks gevMutex, never waits
void drain_gevs(Plug& p, const clap_output_events_t* out);
// Applies the values that were parked while engineMutex was busy.
// [engineMutex held]
void apply_pending(Plug& p);
// Parks a host parameter value for the next locked block: cache and bit.
// [audio thread, engineMutex busy] lock-free
void park_param(Plug& p, uint32_t id, double value);
// Parks every parameter value of an event list whose block could not take
// engineMutex. [audio thread] no allocation, no locks
void park_events(Plug& p, const clap_input_events_t* in);
// A host value kept to its parameter's declared range (ids without one, and
// NaN, pass unchanged). [any thread] no allocation
double clamp_host(uint32_t id, double value);
// After a load: every engine value behind a host parameter is moved into
// the parameter's declared range as the host reads it (a bound without an
// exact single-precision twin, such as a decay of 0.01 s, becomes the
// nearest float inside), so that the host never reads a value outside the
// range and re-applying the cache changes nothing. [engineMutex held] no allocation
void settle_host_values(Plug& p);
// Refreshes trackValues and globalValues[0..5] from the engine.
// [engineMutex held]
void refresh_cache(Plug& p);

// Asks the host to start (from its start point) or stop its transport through
// its "clap.transport-control" extension. True when the host offers the
// request, which it then carries out as its own transport; false when it does
// not (the caller then runs the engine itself). [main thread]
bool request_host_transport(Plug& p, bool start);

// ---- audio thread (process.cpp) -------------------------------------------------
// Replays what blocks that missed engineMutex carried (parked note-ons, MIDI,
// transport, reset) and moves the engine on over their frames.
// [audio thread, engineMutex held] no allocation
void catch_up(Plug& p);
// Queues a reset for the next locked block. [audio thread, engineMutex busy] lock-free
void park_reset(Plug& p);
// Ends every voice, empties the effect lines and the limiter, stops the
// sequencer. [engineMutex held] no allocation
void reset_engine(Plug& p);
// Sizes the render buffer for blocks of up to maxFrames frames; false when
// memory runs out. [main thread, engineMutex held] allocates
bool size_scratch(Plug& p, uint32_t maxFrames);

// ---- host notices and the import worker (notice.cpp) ----------------------------
// Starts the import worker where the host is the VST3 adapter (nothing
// elsewhere); false when no thread could be started. [main thread]
bool start_importer(Plug& p);
// Ends the import worker, if any, after a running import. [main thread]
void stop_importer(Plug& p);
// Pushes every parameter's cached value to out as value events at frame 0.
// [audio thread, engineMutex held] no allocation
void announce_values(Plug& p, const clap_output_events_t* out);
// Whether the VST3 build holds these objects. [any thread]
bool in_vst3_build();
// VST3 build: values the host set on its controller since the shell last
// looked, and that never reached the plug-in because no block carried them
// (a host that sets values while it does not process), are applied now.
// [main thread] never waits: with a block under way they are left for the
// next save (a processing host brings them with its blocks)
void take_host_values(Plug& p);
// VST3 build: notes the adapter's copies as seen (after they were brought
// up to date from the plug-in). [main thread]
void note_host_values(Plug& p);
// ---- playing along with the host (daw.cpp) -----------------------------------
// After the transport's start and stop: places the sequencer where the host's
// position lies when it starts or jumps, and notes this block's loop. t null
// (no transport, follow off, not playing) forgets the position.
// [audio thread, engineMutex held] no allocation
void follow_position(Plug& p, const clap_event_transport_t* t, bool started);
// The frame of this block, at or after from, where the host's loop starts
// over; n when it does not. [audio thread, engineMutex held]
uint32_t loop_wrap_frame(const Plug& p, uint32_t from, uint32_t n);
// At the frame loop_wrap_frame gave: the sequencer goes back to the loop's
// start. [audio thread, engineMutex held] no allocation
void wrap_position(Plug& p);
// The sequencer's position moves on by frames just rendered.
// [audio thread, engineMutex held] no allocation
void advance_position(Plug& p, uint32_t frames);
// Works out the tail from the engine and notes a change. [engineMutex held] no allocation
void update_tail(Plug& p);
// At the end of a block of frames: the tail worked out again, and the host
// told (tail_changed) once a change has held for a quarter of a second.
// [audio thread, engineMutex held] no allocation
void tail_block(Plug& p, uint32_t frames);
// Tells the host that the tail changed. The only place that does; called by
// tail_block at the end of a block, never inside a state load or activation.
// [audio thread] no allocation
void tail_changed(Plug& p);

// ---- main thread and audio thread (handover.cpp) ------------------------------
// Serves the main thread's posted request, if any: a copy of the live set or
// the hand-over of a loaded one. [audio thread, engineMutex held] no allocation
void serve_mail(Plug& p);
// True while another thread processes blocks for this instance. [any thread]
bool audio_running(const Plug& p);
// Notes when and on which thread the host called process. [audio thread] lock-free
void note_process_call(Plug& p);
// Takes engineMutex for a block: at once, or, while the main thread holds it
// for a hand-over's short copy or swap, after spinning for a bounded time
// (no system call, no sleeping). False when the lock stays busy.
// [audio thread] no allocation, no waiting beyond the bounded spin
bool lock_for_block(Plug& p);
// The stage engine, made on first use; null when memory runs out.
// [main thread, stageMutex held] allocates
brskern_t stage_engine(Plug& p);

// The main thread's way to the engine's set while the audio thread may be
// rendering; holds stageMutex for its whole life. [main thread]
class StageAccess {
public:
    explicit StageAccess(Plug& p);
    // The live set, copied into the stage at a block boundary; null when
    // memory runs out. The stage may then be read or loaded into freely.
    brskern_t copy();
    // Swaps the stage's set in at a block boundary and runs after() right
    // there, with engineMutex held (on the audio thread, or on this one when
    // no block comes). after() must not allocate or wait. False when memory
    // ran out (nothing changed).
    template <class F>
    bool hand_over(F& after) {
        return hand_over([](Plug&, void* c) { (*static_cast<F*>(c))(); }, &after);
    }
    bool hand_over(void (*after)(Plug&, void*), void* ctx);

private:
    Plug& p_;
    std::unique_lock<std::mutex> lock_;
};

// ---- set imports from other places (state.cpp, presets.cpp) ------------------------
// Loads a set document as the set import does: staged hand-over, cache
// refreshed, follow and pattern to their import values, status "Set geladen"
// or "Set nicht lesbar"; a rejected document changes nothing but the status.
// The caller asks the host to rescan on true. [main thread]
bool import_text(Plug& p, const char* text);
// The same for a file, read with the import's safeguards (regular files only,
// size limit); status "keine Datei " + path when there is none. [main thread]
bool import_path(Plug& p, const std::string& path);
// The preset-load extension and the preset discovery factory (presets.cpp).
extern const clap_plugin_preset_load_t PRESET_LOAD;
extern const clap_preset_discovery_factory_t PRESET_FACTORY;

// ---- the Multi: track outputs (multi.cpp) ----------------------------------------
// The second plug-in of the factory: the main output first, then one stereo
// output per track.
extern const clap_plugin_descriptor_t DESC_MULTI;
// Output ports of an instance: the main one, and for the Multi the six track
// ports (ids 1..6, named after the tracks). [main thread]
uint32_t out_port_count(const Plug& p);
bool out_port_info(const Plug& p, uint32_t index, clap_audio_port_info_t* info);
// The track ports of one block as the host gave them (null where it gave
// none) and the tracks sent to them. A track set to its own output whose
// port has no buffer stays in the main mix, so nothing goes unheard.
struct TrackPorts {
    float* ch[6][2]{};
    const clap_audio_buffer_t* bus[6]{};
    bool apart[6]{};
    bool anyApart = false;
};
// [audio thread] no allocation, no locks
void track_ports(const Plug& p, const clap_process_t* pr, TrackPorts& tp);
// Zeroes frames [from, to) of every channel of the track ports.
// [audio thread] no allocation, no locks
void silence_tracks(const TrackPorts& tp, uint32_t from, uint32_t to);
// Renders frames [j, e) with the tracks apart into the render buffer and
// copies the main mix to l and r (either may be null) and each track to its
// port; ports of tracks in the main mix get silence.
// [audio thread, engineMutex held] no allocation
void render_apart(Plug& p, float* l, float* r, const TrackPorts& tp, uint32_t j, uint32_t e);
// Floats of render buffer per frame: interleaved main mix, plus six mono
// tracks for the Multi.
inline std::size_t scratch_per_frame(const Plug& p) { return p.multi ? 8 : 2; }
// The routing as a state tail member (",\"route\":[0,1,...]"), written
// only by the Multi; and read back from a tail (missing: all "Summe").
std::string route_member(const Plug& p);
void read_route(Plug& p, const std::string& tail);
// The editor's zoom as a tail member (",\"zoom\":150"; nothing at 100 %),
// and read back from a tail (missing or not one of 150 and 200: 100).
std::string zoom_member(const Plug& p);
int read_zoom(const std::string& tail);

// Cache slot index 0..63 of a parameter id (track slots 0..47, then the
// global slots 1000..1015), or -1.
inline int slot_of(uint32_t id) {
    if (id < 96) return (id & 15u) < 8 ? int((id >> 4) * 8 + (id & 15u)) : -1;
    if (id >= 1000 && id < 1016) return int(48 + (id - 1000));
    return -1;
}
inline std::atomic<double>& slot_ref(Plug& p, int slot) {
    return slot < 48 ? p.trackValues[slot / 8][slot % 8] : p.globalValues[slot - 48];
}

// lround for host values: NaN gives 0, values beyond the int32 range clamp.
inline long round_host(double v) {
    if (!(v == v)) return 0;
    if (v > 2147483647.0) return 2147483647L;
    if (v < -2147483648.0) return -2147483647L - 1;
    return std::lround(v);
}

}  // namespace brs::plug
