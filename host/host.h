// host.h: a small CLAP host of our own, for tests, tools and benchmarks.
//
// Loads a .clap shared object, creates one plug-in instance and drives it the
// way a DAW does: activation, process blocks with a transport and input
// events, parameter flushes, state streams, and the host services a plug-in
// may call back into (params rescan / request_flush, request_callback,
// timer support).
//
// Threads: the thread that constructs the Host is its main thread. process()
// may run on any one other thread (the "audio thread"); everything else is
// meant for the main thread. The host services the plug-in calls are
// thread-safe (flags and counters are atomic, records are mutex-guarded).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin/clap_abi.h"

namespace brs::host {

// A list of CLAP events in fixed-size slots. Used for a block's input events
// and to collect the output events a plug-in pushes. Adding events never
// allocates while the list has reserve left (see reserve()).
class EventList {
public:
    static constexpr std::size_t SLOT = 128;  // the largest core event is 104 bytes

    EventList() { slots_.reserve(256); }

    void clear() { slots_.clear(); }
    void reserve(std::size_t n) { slots_.reserve(n); }
    // Fixed capacity: push refuses (returns false) instead of growing, as a
    // real-time host's output queue does. Off by default.
    void setFixed(bool on) { fixed_ = on; }
    std::size_t size() const { return slots_.size(); }
    bool empty() const { return slots_.empty(); }

    // Appends a copy of any event (header.size bytes, at most SLOT). Returns
    // false for an event that is too large. Keeps insertion order: a host
    // must add input events in time order.
    bool push(const clap_event_header_t* ev);
    // Hostile lists: appends n bytes whatever their header says (a header
    // whose size lies), or a slot for which get() returns null.
    bool pushRaw(const void* bytes, std::size_t n);
    bool pushNull();

    // Input event builders (space id 0, flags 0). Each returns *this.
    EventList& noteOn(uint32_t time, int16_t key, double velocity, int16_t channel = 0,
                      int16_t port = 0, int32_t noteId = -1);
    EventList& noteOff(uint32_t time, int16_t key, double velocity = 0.0, int16_t channel = 0);
    EventList& midi(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2, uint16_t port = 0);
    EventList& param(uint32_t time, clap_id id, double value);

    const clap_event_header_t* at(std::size_t i) const {
        return slots_[i].null ? nullptr : reinterpret_cast<const clap_event_header_t*>(slots_[i].bytes);
    }
    // The event at i read as T (caller checks the type).
    template <class T>
    const T& as(std::size_t i) const { return *reinterpret_cast<const T*>(slots_[i].bytes); }

    // Views handed to a plug-in; valid while the list lives and is not moved.
    const clap_input_events_t* input() const;
    const clap_output_events_t* output();

private:
    struct alignas(8) Slot {
        unsigned char bytes[SLOT];
        bool null;  // get() hands out null for this slot
    };
    std::vector<Slot> slots_;
    bool fixed_ = false;
    mutable clap_input_events_t in_{};
    clap_output_events_t out_{};
};

// The transport a host sends with each block.
struct Transport {
    bool present = true;   // false: the process record carries no transport
    bool playing = false;  // CLAP_TRANSPORT_IS_PLAYING
    bool hasTempo = true;  // CLAP_TRANSPORT_HAS_TEMPO
    double tempo = 120.0;  // beats per minute
    // The beats timeline (CLAP_TRANSPORT_HAS_BEATS_TIMELINE): song position
    // and loop in beats, sent as the fixed-point values a host sends.
    bool hasBeats = false;
    double beats = 0.0;         // song position at the block's first frame
    bool loop = false;          // CLAP_TRANSPORT_IS_LOOP_ACTIVE
    double loopStart = 0.0, loopEnd = 0.0;
    // Bar information (CLAP_TRANSPORT_HAS_TIME_SIGNATURE, 4/4): bar_start and
    // bar_number of the bar the position lies in.
    bool hasBar = false;
    // While playing with a beats timeline, move the position on after each
    // block by its frames at the tempo, starting over at the loop's start
    // when the block passes the loop's end (within the block, as hosts that
    // do not end a block at the loop's end report it).
    bool advance = false;
};

// How the host lays out its audio outputs for a block; the default is what a
// conforming host gives a plug-in with one stereo output port.
struct OutputLayout {
    uint32_t buffers = 1;        // audio_outputs_count (0: audio_outputs is null)
    uint32_t channels = 2;       // channel_count of the first buffer
    bool nullChannels = false;   // data32 itself null
    bool nullChannel1 = false;   // data32[1] null (right channel missing)
};

// How the host hands over a block's event lists; the default is a
// conforming host. The others are what careless hosts have been seen to do.
struct EventShape {
    bool nullInput = false;      // in_events itself null
    bool nullFunctions = false;  // in_events whose size and get are null
    bool nullPush = false;       // out_events (when given) whose try_push is null
};

class Host {
public:
    Host();
    ~Host();  // destroys the instance and unloads the library
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // ---- configuration (before create) --------------------------------
    // The CLAP version the host reports to the plug-in (default 1.2.6).
    void setHostVersion(clap_version_t v) { hostVersion_ = v; }
    // Which host extensions the host offers (default: all of them).
    // offerExtensions(false): none at all, whatever else is switched on.
    void offerExtensions(bool on) { offerExtensions_ = on; }
    void offerParams(bool on) { offerParams_ = on; }
    void offerTimers(bool on) { offerTimers_ = on; }
    void offerRequestCallback(bool on) { offerRequestCallback_ = on; }
    // "clap.state" on the host side (mark_dirty); offered by default.
    void offerState(bool on) { offerState_ = on; }
    // Extra host extensions (for example an editor test's own); consulted
    // before the built-in ones. Return null for ids it does not serve.
    void setExtensionProvider(std::function<const void*(const char* id)> f) {
        extraExtension_ = std::move(f);
    }

    // ---- library and instance -----------------------------------------
    // dlopen (RTLD_LOCAL | RTLD_NOW), find clap_entry, check its version
    // and call its init with the path. False with error() on failure.
    bool load(const std::string& path);
    // The same with an entry linked into this program rather than loaded
    // (fuzz targets built from the plug-in's own sources).
    bool attach(const clap_plugin_entry_t* entry, const std::string& path = "");
    const clap_plugin_entry_t* entry() const { return entry_; }
    // A symbol of the loaded library (dlsym), or null.
    void* symbol(const char* name) const;
    const clap_plugin_factory_t* factory() const;  // "clap.plugin-factory" or null
    // Creates an instance of id (null: the factory's first plug-in) and
    // calls its init. False with error() when the factory refuses.
    bool create(const char* id = nullptr);
    const clap_plugin_t* plugin() const { return plugin_; }
    const clap_host_t* clapHost() const { return &host_; }
    const void* extension(const char* id) const;
    const clap_plugin_params_t* params() const;
    const clap_plugin_state_t* state() const;
    const clap_plugin_audio_ports_t* audioPorts() const;
    const clap_plugin_note_ports_t* notePorts() const;

    bool activate(double sampleRate, uint32_t minFrames, uint32_t maxFrames);
    void deactivate();
    bool startProcessing();
    void stopProcessing();
    void reset();  // the plug-in's reset callback
    void destroy();
    void unload();  // destroys the instance first, calls deinit, dlclose
    bool active() const { return active_; }
    const std::string& error() const { return error_; }

    // ---- processing (audio thread) -------------------------------------
    void setTransport(const Transport& t) { transport_ = t; }
    const Transport& transport() const { return transport_; }
    void setOutputLayout(const OutputLayout& l) { layout_ = l; }
    void setEventShape(const EventShape& s) { shape_ = s; }

    // Runs one block into left/right (each frames long; either may be null
    // and then a scratch buffer is used). in: the block's input events (may
    // be null: an empty list is given); out: collects the output events (may
    // be null: the process record then carries no output list).
    // Does not allocate once its scratch has seen the block size.
    clap_process_status process(uint32_t frames, float* left, float* right,
                                const EventList* in = nullptr, EventList* out = nullptr);
    // Runs one block into the output ports exactly as given: ports[0..count)
    // become the record's audio outputs (ports may be null, buffers may hold
    // null channels), for plug-ins with several output ports.
    clap_process_status processPorts(uint32_t frames, clap_audio_buffer_t* ports, uint32_t count,
                                     const EventList* in = nullptr, EventList* out = nullptr);
    // Frames processed so far (the steady_time of the next block).
    int64_t steadyTime() const { return steady_; }

    // ---- parameters (main thread while inactive, audio thread while active)
    // Calls the plug-in's params flush; in/out may be null (absent lists).
    void flush(const EventList* in, EventList* out);
    // Convenience: flush one value event and collect nothing.
    void setParam(clap_id id, double value);
    bool getParam(clap_id id, double* value) const;
    // value_to_text into a string ("" when the plug-in returns false).
    std::string paramText(clap_id id, double value) const;

    // ---- state (main thread) --------------------------------------------
    // Plug-in save into bytes. writeChunk limits how much one write call
    // takes (0: everything offered); writeLimit makes the stream refuse
    // (return 0) once that many bytes were taken (-1: no limit).
    bool saveState(std::vector<uint8_t>& bytes);
    // Plug-in load from bytes. readChunk caps one read call (0: the size the
    // plug-in asks for); readErrorAt makes the read that would pass that
    // byte offset return -1 (-1: never).
    bool loadState(const std::vector<uint8_t>& bytes);
    bool loadState(const std::string& text) {
        return loadState(std::vector<uint8_t>(text.begin(), text.end()));
    }
    void setWriteChunk(std::size_t n) { writeChunk_ = n; }
    void setWriteLimit(int64_t n) { writeLimit_ = n; }
    void setReadChunk(std::size_t n) { readChunk_ = n; }
    void setReadErrorAt(int64_t offset) { readErrorAt_ = offset; }
    // Largest size the plug-in asked for in one read call of the last load.
    uint64_t lastReadRequest() const { return lastReadRequest_; }

    // ---- host services the plug-in calls back ---------------------------
    // Rescan calls so far, with their flags, in order.
    std::vector<uint32_t> rescans() const;
    void clearRescans();
    // Called from inside the host's rescan, after it was recorded (for
    // example to flush from inside rescan, as some hosts do).
    void setRescanHook(std::function<void(uint32_t flags)> f) { rescanHook_ = std::move(f); }
    int flushRequests() const { return flushRequests_.load(); }
    int callbackRequests() const { return callbackRequests_.load(); }
    // mark_dirty calls so far (the plug-in said its state changed).
    int dirtyMarks() const { return dirtyMarks_.load(); }
    bool callbackPending() const { return callbackPending_.load(); }

    // Main-loop step: when the plug-in asked for a callback, clear the flag
    // and call its on_main_thread on the calling thread. Returns true when it
    // did. pump() = idle() and runTimers().
    bool idle();
    // Calls on_timer for every registered timer whose period has passed
    // (force: for every registered timer). Returns the number of calls.
    int runTimers(bool force = false);
    int pump(bool forceTimers = false);

    struct Timer {
        clap_id id;
        uint32_t periodMs;
        std::chrono::steady_clock::time_point due;
    };
    std::vector<Timer> timers() const;

private:
    clap_process_status run(uint32_t frames, clap_audio_buffer_t* ports, uint32_t count, const EventList* in,
                            EventList* out);
    static const void* cbGetExtension(const clap_host_t* h, const char* id);
    static void cbRequestRestart(const clap_host_t* h);
    static void cbRequestProcess(const clap_host_t* h);
    static void cbRequestCallback(const clap_host_t* h);
    static void cbRescan(const clap_host_t* h, clap_param_rescan_flags flags);
    static void cbClear(const clap_host_t* h, clap_id id, clap_param_clear_flags flags);
    static void cbRequestFlush(const clap_host_t* h);
    static void cbMarkDirty(const clap_host_t* h);
    static bool cbRegisterTimer(const clap_host_t* h, uint32_t periodMs, clap_id* id);
    static bool cbUnregisterTimer(const clap_host_t* h, clap_id id);
    static int64_t cbWrite(const clap_ostream_t* s, const void* buf, uint64_t size);
    static int64_t cbRead(const clap_istream_t* s, void* buf, uint64_t size);
    static Host* self(const clap_host_t* h) { return static_cast<Host*>(h->host_data); }

    void* lib_ = nullptr;
    const clap_plugin_entry_t* entry_ = nullptr;
    const clap_plugin_t* plugin_ = nullptr;
    clap_host_t host_{};
    clap_version_t hostVersion_ = CLAP_VERSION_INIT;
    bool offerExtensions_ = true, offerParams_ = true, offerTimers_ = true, offerRequestCallback_ = true, offerState_ = true;
    std::function<const void*(const char*)> extraExtension_;
    bool active_ = false, processing_ = false;
    std::string error_;

    Transport transport_;
    double sampleRate_ = 48000.0;
    OutputLayout layout_;
    EventShape shape_;
    clap_input_events_t brokenIn_{};
    clap_output_events_t brokenOut_{};
    int64_t steady_ = 0;
    std::vector<float> scratchL_, scratchR_;
    EventList emptyIn_;

    std::size_t writeChunk_ = 0, readChunk_ = 0;
    int64_t writeLimit_ = -1, readErrorAt_ = -1;
    uint64_t lastReadRequest_ = 0;

    mutable std::mutex mu_;  // rescans_, timers_
    std::vector<uint32_t> rescans_;
    std::function<void(uint32_t)> rescanHook_;
    std::atomic<int> flushRequests_{0};
    std::atomic<int> callbackRequests_{0};
    std::atomic<int> dirtyMarks_{0};
    std::atomic<bool> callbackPending_{false};
    std::vector<Timer> timers_;
    clap_id nextTimer_ = 1;
};

}  // namespace brs::host
