// plug.h: the CLAP plug-in instance record and the shell's internal surface.
//
// Shared by the plug-in shell (plugin/) and the editor (editor/). Hosts only
// ever see clap_entry; everything here has hidden visibility.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/brskern.h"
#include "plugin/clap_abi.h"

namespace brs::plug {

struct XGui;  // editor state, editor/editor.h

// One per-track host parameter row (id = 16 * track + k).
struct TrackParam {
    const char* key;    // engine key, "mute" for the mute row
    const char* label;  // German label
    double min;
    double max;
};

// One global host parameter row (ids 1000..1008).
struct GlobalParam {
    uint32_t id;
    const char* name;
    double min;
    double max;
    double def;
    uint8_t stepped;
};

extern const TrackParam TP[8];
extern const GlobalParam GP[9];
extern const char* const TRACK_DE[6];

struct Plug {
    // One queued editor edit: kind 0 gesture begin, 1 value, 2 gesture end.
    struct GEv {
        uint32_t id;
        double value;
        int32_t kind;
    };

    clap_plugin_t plugin{};
    const clap_host_t* host = nullptr;
    brskern_t engine = nullptr;
    double sampleRate = 48000.0;
    std::mutex engineMutex;
    // Parameter cache; each slot is read and written as one whole 64-bit value,
    // so the editor may read it on the main thread without engineMutex.
    std::atomic<double> trackValues[6][8]{};
    std::atomic<double> globalValues[16]{};
    std::atomic<bool> loadRequest{false};
    double loadLast = 0.0;
    bool hostPlaying = false;
    std::string status;
    std::mutex gevMutex;
    std::vector<GEv> gevs;
    XGui* gui = nullptr;

    // ---- shell bookkeeping (after the fields above) ----------------------
    // Largest block the host announced at activation; the audio thread's
    // scratch buffer is sized to it before the first render.
    std::atomic<uint32_t> maxFrames{0};
    // Between activate and deactivate: the parameter flush then runs on the
    // audio thread and must not wait for the main thread.
    std::atomic<bool> active{false};
    // Parameter values that arrived while engineMutex was busy: their cache
    // slots hold the value, the bit says "apply at the next locked block".
    // Bits 0..47: trackValues as one array of 48; bits 48..63: globalValues.
    // The value to apply is kept in parked (same slot numbers), apart from the
    // cache, which a load may overwrite meanwhile; a load drops the bits.
    std::atomic<uint64_t> pending{0};
    std::atomic<double> parked[64]{};
    // Per-track defaults reported to the host: the values a fresh instance
    // starts with, fixed for the instance's life.
    double trackDefaults[6][8]{};
    // Storage swapped with gevs when the edit queue is drained, so that the
    // audio thread neither frees nor allocates. [engineMutex held]
    std::vector<GEv> gevSpare;
    // Counts the parameter values that changed the engine's set; a set parsed
    // outside engineMutex is moved in only when none arrived meanwhile.
    // [engineMutex held]
    uint64_t applyCount = 0;

    // Renders one host block. [audio thread] no allocation, no waiting
    clap_process_status process(const clap_process_t* process);
    // Imports the set file from set_datei(). [main thread] takes engineMutex
    bool load_file();
};

// The cached value of a parameter id; false for ids without a cache slot.
// [any thread] lock-free
bool cached_value(const Plug& p, uint32_t id, double* out);

// The host's "clap.params" extension, or null. [main thread]
const clap_host_params_t* host_params(const Plug& p);

// Path of the set import file: $HOME (or ".") + "/Documents/Velmora/brisanto-set.json".
std::string set_datei();

inline Plug* from(const clap_plugin_t* plugin) { return static_cast<Plug*>(plugin->plugin_data); }

// Editor tables and teardown, defined in editor/.
extern const clap_plugin_gui_t GUI;
extern const clap_plugin_timer_support_t TIMER;
void gui_destroy(const clap_plugin_t* plugin);

}  // namespace brs::plug
