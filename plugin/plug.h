// plug.h: the CLAP plug-in instance record and the shell's internal surface.
//
// Shared by the plug-in shell (plugin/) and the editor (editor/). Hosts only
// ever see clap_entry; everything here has hidden visibility.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/brskern.h"
#include "plugin/clap_abi.h"
#include "plugin/setedit.h"

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
        // Order among all editor edits, this queue and the set-edit queue
        // (plugin/setedit.h); 0 for edits that need no order.
        uint64_t seq = 0;
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
    // Largest block the host announced at activation; the render buffer
    // (scratch) is sized to it there.
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
    // Counts the parameter values that changed the engine's set.
    // [engineMutex held]
    uint64_t applyCount = 0;

    // ---- real-time hand-over (plugin/handover.cpp, plugin/process.cpp) -----
    // The render buffer of the audio thread, sized at activation so that no
    // audio thread ever allocates it. [engineMutex held]
    std::vector<float> scratch;
    // Cache slots whose value reached the engine since the set was last
    // copied for the main thread; re-applied after a hand-over.
    // [engineMutex held]
    uint64_t sinceCopy = 0;
    // Guards stage and the main thread's side of mail (saves, loads, imports
    // and activation take it in turn; the audio thread never does).
    std::mutex stageMutex;
    // The main thread's working engine: the live set is copied into it, a
    // document is formatted from or parsed into it, and it is swapped in.
    brskern_t stage = nullptr;
    // One request of the main thread to the audio thread (handover.cpp).
    struct Mail {
        std::atomic<int> state{0};
        int kind = 0;
        void (*after)(Plug&, void*) = nullptr;
        void* ctx = nullptr;
        bool ok = false;
        std::size_t songNeeded = 0;
    };
    Mail mail;
    // True while the host is inside process for this instance (any thread).
    std::atomic<bool> inProcess{false};
    // True while the main thread holds, or is about to take, engineMutex for
    // the short copy or swap of a request it serves itself; a block that
    // meets the lock busy then waits that out briefly (handover.cpp).
    std::atomic<bool> mainServing{false};
    // Nanoseconds the main thread has spent in all, from posting a request
    // to its being served (for the measurements of the tests and benchmarks).
    // [main thread, stageMutex held]
    int64_t mailWaitNs = 0;
    // When (steady clock, ns) and on which thread the host last called process.
    std::atomic<int64_t> lastProcessNs{0};
    // Length of the host's largest block in ns, set at activation.
    std::atomic<int64_t> blockNs{0};
    std::atomic<unsigned long> audioThread{0};
    // What blocks that missed engineMutex carried besides parameter values:
    // note-ons, raw MIDI, the transport, a reset; replayed in order at the
    // next locked block (process.cpp). [audio thread only]
    struct Parked {
        uint64_t pos;     // frames since the first missed block
        uint32_t kind;    // 0 event, 1 transport, 2 reset
        uint32_t flags;   // transport flags
        double tempo;     // transport tempo
        alignas(8) unsigned char ev[48];  // the event, as the host gave it
    };
    static constexpr uint32_t PARK_CAP = 512;
    Parked parkq[PARK_CAP]{};
    uint32_t parkN = 0;
    uint64_t skipped = 0;  // frames of the blocks missed so far
    // With the queue full: the last transport, the last MIDI Start or Stop
    // and a reset are still kept, in these three places.
    Parked late[3]{};
    bool lateUsed[3]{};
    // Arrival order of the three places (a reset comes between blocks, at
    // the same frame position as the next block's transport).
    uint32_t lateSeq[3]{};
    uint32_t lateCount = 0;

    // ---- set import without a main-thread callback (plugin/notice.cpp) ----
    // A host that serves the plug-in's main-thread callback only while its
    // editor is open (the VST3 adapter on Linux) would leave an import that
    // parameter 1008 asked for waiting; there a worker of the instance takes
    // it up. Its outcome waits in importDone for the main thread, which
    // alone writes status: 0 none, else an ImportOutcome + 1.
    std::thread importer;
    std::mutex importMutex;
    std::condition_variable importWake;
    bool importQuit = false;  // [importMutex held]
    std::atomic<int> importDone{0};
    // The next locked block reports every parameter value to the host as
    // output events (a set that the worker loaded). [any thread sets it]
    std::atomic<bool> announce{false};
    // VST3 build: the adapter's copy of each value (cache slot order) as the
    // shell last saw it; a copy that differs was set by the host since
    // (take_host_values). NaN: not seen yet, the declared default then.
    // [main thread]
    double hostSeen[64];
    // ---- set edits from the editor (plugin/setedit.h) --------------------
    // The bounded queue: the editor appends at setTail, a holder of
    // engineMutex takes from setHead. Both count on and wrap by SET_EDIT_CAP.
    SetEdit setq[SET_EDIT_CAP]{};
    std::atomic<uint32_t> setHead{0};
    std::atomic<uint32_t> setTail{0};
    // Order of every editor edit in both queues. [main thread]
    uint64_t editSeq = 0;
    // The editor's copy of the set: every editor edit changes it at once;
    // a load, an import and the pattern parameter replace what they change.
    // [main thread]
    brskern_t view = nullptr;
    uint64_t viewGen = 0;        // bumped by every change of view
    uint32_t viewSongGen = 0;    // songGen as last taken into view
    float viewPubBpm = 0.0f;     // pubBpm as last taken into view
    // The last chain of two or more entries that the pattern parameter
    // replaced, for the song page to bring back. [main thread]
    std::vector<SongEntry> lostSong;
    // Bumped each time parameter 1007 replaced the song chain. [any thread]
    std::atomic<uint32_t> songGen{0};
    // The sequencer as the audio thread left it at the end of its last block
    // (or the main thread, when it applied edits itself). [any thread]
    std::atomic<int32_t> pubStep{0};
    std::atomic<int32_t> pubPat{0};
    std::atomic<int32_t> pubSongPos{0};
    std::atomic<bool> pubPlaying{false};
    std::atomic<float> pubBpm{175.0f};

    std::atomic<bool> posFollow{true};  // "Position folgt Host"
    bool multi = false;
    std::atomic<uint8_t> route[6]{};  // 0 "Summe", 1 the track's own output
    // The editor's zoom in percent: 100, 150 or 200. Stored in the state;
    // chosen in the editor or by the host's gui scale. [main thread]
    int zoom = 100;
    // ---- playing along with the host (plugin/daw.cpp) ------------------------
    // Where the sequencer stands on the host's timeline while it follows the
    // host's position. [engineMutex held]
    struct HostPos {
        bool valid = false;      // beats holds the sequencer's position
        double beats = 0.0;      // host position the next rendered frame stands for
        double wrapAt = 0.0;     // frame of this block where the host's loop ends (fractional), or +inf
        double loopStart = 0.0;  // beats
        double loopFrames = 0.0; // the loop's length in frames
        double perFrame = 0.0;   // the host's beats per frame in this block
    };
    HostPos hostPos;
    // The tail reported to the host, in frames; recomputed where the engine is
    // owned. tailDirty: changed since the host was last told. [any thread]
    std::atomic<uint32_t> tailFrames{0};
    std::atomic<bool> tailDirty{false};
    const clap_host_tail_t* hostTail = nullptr;  // the host's "clap.tail", looked up at init
    uint64_t tailQuiet = 0;  // frames the changed tail has kept its value [engineMutex held]
    // The host renders offline: blocks wait for engineMutex instead of
    // skipping. [any thread]
    std::atomic<bool> offline{false};

    // Renders one host block. [audio thread] no allocation, no waiting
    clap_process_status process(const clap_process_t* process);
    // Imports the set file from set_datei(). [main thread] the set is swapped
    // in at a block boundary (plugin/handover.cpp)
    bool load_file();
    // load_file without the status text: what became of the import.
    // [main thread or the import worker]
    enum class ImportOutcome { LOADED, NO_FILE, UNREADABLE };
    ImportOutcome import_file();
};

// The cached value of a parameter id; false for ids without a cache slot.
// [any thread] lock-free
bool cached_value(const Plug& p, uint32_t id, double* out);

// The host's "clap.params" extension, or null. [main thread]
const clap_host_params_t* host_params(const Plug& p);

// Whether the host can take a notice now (values changed, tail changed).
// Under the VST3 adapter every such notice goes on to the VST3 host's
// component handler, which the adapter calls without checking that the host
// set one; while it has none, false. Every notice the adapter forwards there
// goes through this one guard. [main thread]
bool host_takes_notice(const Plug& p);

// Asks the host to re-read every parameter value (rescan with the values
// flag). Where the host cannot take the notice (host_takes_notice), the VST3
// adapter's copies of the values are brought up to date without one, so a
// host that reads them later reads the new ones. [main thread]
void rescan_values(Plug& p);

// Puts the outcome of an import that the worker carried out into status.
// [main thread]
void settle_import(Plug& p);

// The status text of an import's outcome. [main thread]
std::string import_status(Plug::ImportOutcome o);

// Path of the set import file: $HOME (or ".") + "/Documents/Velmora/brisanto-set.json".
std::string set_datei();

// The factory sets built into the plug-in (grooves/): how many, and the name
// of set i (null past the end). [any thread]
uint32_t werkset_count();
const char* werkset_name(uint32_t i);
// Loads factory set i into p exactly as the set import loads the set file
// (status text, staged hand-over, nothing changed on failure); false for an
// index past the end. On true the caller asks the host to rescan values, as
// after load_file. [main thread]
bool load_werkset(Plug& p, uint32_t i);

inline Plug* from(const clap_plugin_t* plugin) { return static_cast<Plug*>(plugin->plugin_data); }

// Editor tables and teardown, defined in editor/.
extern const clap_plugin_gui_t GUI;
extern const clap_plugin_timer_support_t TIMER;
void gui_destroy(const clap_plugin_t* plugin);

}  // namespace brs::plug
