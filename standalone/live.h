// live.h: the standalone program's live side: its transport, the MIDI that
// reaches the audio thread, and the block the audio thread hands the plug-in.
//
// The program is the plug-in's host. Its transport (play flag, tempo) goes out
// with every block exactly as a DAW's does; the space bar, MIDI Start/Stop and
// the plug-in's own transport requests move it. MIDI from other threads
// reaches the audio thread through a bounded lock-free queue.
//
// Threads: process() runs on the audio thread and neither allocates nor waits;
// the request functions are for the main thread; MidiQueue::push for any
// MIDI input thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "host/host.h"

namespace brs::app {

// One MIDI message of at most three bytes. frame: its place in the block
// (messages from the queue take frame 0); t: when it arrived, in seconds on
// the clock of its source.
struct MidiMsg {
    uint8_t b[3];
    uint8_t n;
    uint32_t frame;
    double t;
};

// Bounded queue from the MIDI input threads to the audio thread. Producers
// take turns through a mutex of their own; the consumer only reads and writes
// two atomic indices, so the audio thread never waits.
class MidiQueue {
public:
    static constexpr uint32_t CAP = 1024;
    // Appends one message; false (message dropped) when the queue is full or
    // the message is empty or longer than three bytes. [MIDI input thread]
    bool push(const uint8_t* bytes, std::size_t n, double t);
    // Takes the oldest message; false when there is none. [audio thread] lock-free
    bool pop(MidiMsg* m);
    // Messages dropped because the queue was full.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    MidiMsg ring_[CAP]{};
    std::atomic<uint32_t> head_{0}, tail_{0};
    std::atomic<uint64_t> dropped_{0};
    std::mutex producers_;
};

// Follows an external MIDI clock (24 ticks per quarter note) as a tempo.
class ClockFollower {
public:
    static constexpr int WINDOW = 48;  // ticks averaged: two beats
    // One clock tick at time t (seconds, any monotonic clock). A tick more
    // than half a second after the one before starts the count anew.
    void tick(double t);
    // Forgets every tick (after a pause of the clock or a new source).
    void reset() { count_ = 0; }
    // Beats per minute over the last (up to WINDOW) ticks, rounded to 0.1;
    // 0 until one beat of ticks (24 intervals) came in.
    double tempo() const { return tempo_; }

private:
    double times_[WINDOW + 1]{};
    int count_ = 0;  // ticks seen, up to WINDOW + 1
    int next_ = 0;   // ring position of the next tick
    double tempo_ = 0.0;
};

// The program's live state, shared by the main thread and the audio thread.
class Live {
public:
    // h: the host with an active, processing instance; maxFrames: the largest
    // block handed to the plug-in at once (the instance's activation size);
    // rate: the device's sample rate.
    Live(host::Host& h, uint32_t maxFrames, double rate);

    // ---- main thread ------------------------------------------------------
    void requestPlay(bool on) { request_.store(on ? REQ_START : REQ_STOP, std::memory_order_release); }
    void requestToggle() { request_.store(REQ_TOGGLE, std::memory_order_release); }
    // The transport's play flag as of the last block.
    bool playing() const { return playing_.load(std::memory_order_acquire); }
    // Whether the plug-in's "Sequencer folgt Host" is on (the main thread
    // reads it from the plug-in and passes it on). While it is off the
    // transport does not reach the sequencer, so a change of the transport is
    // also sent as MIDI Start or Stop.
    void setFollow(bool on) { follow_.store(on, std::memory_order_relaxed); }
    // A fixed host tempo in BPM (0: none, the set's own tempo stands).
    void setFixedTempo(double bpm) { fixedTempo_.store(bpm, std::memory_order_relaxed); }
    // Whether an external MIDI clock sets the tempo (default on).
    void setFollowClock(bool on) { followClock_.store(on, std::memory_order_relaxed); }
    // The tempo the MIDI clock gives, 0 when no clock runs.
    double clockTempo() const { return clockTempo_.load(std::memory_order_relaxed); }
    MidiQueue& queue() { return queue_; }

    // Counters, readable from any thread.
    std::atomic<uint64_t> xruns{0};
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> midiIn{0};

    // ---- audio thread ---------------------------------------------------------
    // Runs one device block of n frames into left and right: takes the queued
    // MIDI (at frame 0) and the block's own timed MIDI (timed, in frame order),
    // moves the transport, and runs the plug-in in pieces of at most maxFrames.
    // [audio thread] no allocation, no locks
    void process(uint32_t n, float* left, float* right, const MidiMsg* timed, std::size_t nTimed);

private:
    enum { REQ_NONE = 0, REQ_START, REQ_STOP, REQ_TOGGLE };
    static constexpr std::size_t MAX_MSGS = 512;  // MIDI messages handled per block

    void take(const MidiMsg& m, bool& changed);

    host::Host& host_;
    uint32_t maxFrames_;
    double rate_;
    MidiQueue queue_;
    ClockFollower clock_;
    std::atomic<int> request_{REQ_NONE};
    std::atomic<bool> playing_{false};
    std::atomic<bool> follow_{true};
    std::atomic<double> fixedTempo_{0.0};
    std::atomic<bool> followClock_{true};
    std::atomic<double> clockTempo_{0.0};
    bool play_ = false;             // [audio thread]
    static constexpr uint64_t NO_TICK = ~0ull;
    uint64_t sinceTick_ = NO_TICK;  // frames since the last clock tick [audio thread]
    bool ticked_ = false;           // a clock tick came in this block [audio thread]
    MidiMsg msgs_[MAX_MSGS]{};      // this block's channel messages [audio thread]
    std::size_t nMsgs_ = 0;
    host::EventList in_, out_;
};

// The "clap.transport-control" table the program offers the plug-in; its
// requests go to the Live given here (null: requests are ignored).
// [main thread]
void set_transport_target(Live* live);
const clap_host_transport_control_t* transport_control();
// The program's extra host extensions for host::Host::setExtensionProvider.
const void* app_extension(const char* id);

}  // namespace brs::app
