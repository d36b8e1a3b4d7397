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

// Tables handed out by pl_ext (defined in the shell's source files).
extern const clap_plugin_params_t PA;
extern const clap_plugin_state_t ST;
extern const clap_plugin_descriptor_t DESC;

// Stores one parameter value in the cache and forwards it to the engine;
// id 1008 raises a set-import request on a rising edge. [engineMutex held]
void apply_param(Plug& p, uint32_t id, double value);
// One host input event: parameter value, note on 36..41, raw MIDI.
// [engineMutex held] no allocation
void apply_event(Plug& p, const clap_event_header_t* ev);
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
// Refreshes trackValues and globalValues[0..5] from the engine.
// [engineMutex held]
void refresh_cache(Plug& p);

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

// ---- main thread and audio thread (handover.cpp) ------------------------------
// Serves the main thread's posted request, if any: a copy of the live set or
// the hand-over of a loaded one. [audio thread, engineMutex held] no allocation
void serve_mail(Plug& p);
// Notes when and on which thread the host called process. [audio thread] lock-free
void note_process_call(Plug& p);
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
