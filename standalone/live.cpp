// live.cpp: the standalone program's transport, MIDI queue and audio block.
#include "standalone/live.h"

#include <cmath>
#include <cstring>

namespace brs::app {

// ---- MidiQueue --------------------------------------------------------------------

bool MidiQueue::push(const uint8_t* bytes, std::size_t n, double t) {
    if (!bytes || n == 0 || n > 3) return false;
    std::lock_guard<std::mutex> lock(producers_);  // producers only; the audio thread never takes it
    const uint32_t h = head_.load(std::memory_order_relaxed);
    if (h - tail_.load(std::memory_order_acquire) >= CAP) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    MidiMsg& m = ring_[h % CAP];
    std::memset(m.b, 0, sizeof m.b);
    std::memcpy(m.b, bytes, n);
    m.n = static_cast<uint8_t>(n);
    m.frame = 0;
    m.t = t;
    head_.store(h + 1, std::memory_order_release);
    return true;
}

bool MidiQueue::pop(MidiMsg* m) {
    const uint32_t t = tail_.load(std::memory_order_relaxed);
    if (t == head_.load(std::memory_order_acquire)) return false;
    *m = ring_[t % CAP];
    tail_.store(t + 1, std::memory_order_release);
    return true;
}

// ---- ClockFollower ------------------------------------------------------------------

void ClockFollower::tick(double t) {
    constexpr int N = WINDOW + 1;
    if (count_ > 0) {
        const double last = times_[(next_ + N - 1) % N];
        if (!(t > last) || t - last > 0.5) count_ = 0;  // a gap or a clock that went back: start anew
    }
    if (count_ == 0) tempo_ = 0.0;
    times_[next_] = t;
    next_ = (next_ + 1) % N;
    if (count_ < N) ++count_;
    if (count_ < 25) return;
    const double oldest = times_[(next_ + N - count_) % N];
    const double dt = t - oldest;
    if (!(dt > 0.0)) return;
    // 24 ticks make one quarter note: bpm = 60 * beats / seconds.
    const double bpm = 60.0 * (count_ - 1) / (24.0 * dt);
    tempo_ = std::round(bpm * 10.0) / 10.0;
}

// ---- Live ---------------------------------------------------------------------------

Live::Live(host::Host& h, uint32_t maxFrames, double rate)
    : host_(h), maxFrames_(maxFrames ? maxFrames : 1), rate_(rate > 0 ? rate : 48000.0) {
    // Room for every message of a block plus the transport's own, and a
    // fixed output list as a real-time host keeps: neither grows on the
    // audio thread.
    in_.reserve(MAX_MSGS + 4);
    in_.setFixed(true);
    out_.reserve(1024);
    out_.setFixed(true);
}

void Live::take(const MidiMsg& m, bool& changed) {
    const uint8_t st = m.b[0];
    midiIn.fetch_add(1, std::memory_order_relaxed);
    switch (st) {
    case 0xF8:  // clock
        if (followClock_.load(std::memory_order_relaxed)) {
            clock_.tick(m.t);
            ticked_ = true;
            clockTempo_.store(clock_.tempo(), std::memory_order_relaxed);
        }
        return;
    case 0xFA:  // start
    case 0xFB:  // continue
        if (!play_) changed = true;
        play_ = true;
        return;
    case 0xFC:  // stop
        if (play_) changed = true;
        play_ = false;
        return;
    default: break;
    }
    // Channel messages go to the plug-in as they are; system messages do not.
    if (st < 0x80 || st >= 0xF0 || nMsgs_ >= MAX_MSGS) return;
    msgs_[nMsgs_++] = m;
}

void Live::process(uint32_t n, float* left, float* right, const MidiMsg* timed, std::size_t nTimed) {
    bool changed = false;
    switch (request_.exchange(REQ_NONE, std::memory_order_acq_rel)) {
    case REQ_START: changed = !play_; play_ = true; break;
    case REQ_STOP: changed = play_; play_ = false; break;
    case REQ_TOGGLE: changed = true; play_ = !play_; break;
    default: break;
    }
    nMsgs_ = 0;
    MidiMsg m;
    ticked_ = false;
    while (nMsgs_ < MAX_MSGS && queue_.pop(&m)) {
        m.frame = 0;
        take(m, changed);
    }
    for (std::size_t i = 0; i < nTimed; ++i) {
        MidiMsg t = timed[i];
        if (t.frame >= n) t.frame = n ? n - 1 : 0;
        take(t, changed);
    }
    // No clock for half a second: the set's (or the fixed) tempo is back.
    if (ticked_) {
        sinceTick_ = 0;
    } else if (sinceTick_ != NO_TICK) {
        sinceTick_ += n;
        if (sinceTick_ > rate_ / 2) {
            sinceTick_ = NO_TICK;
            clock_.reset();
            clockTempo_.store(0.0, std::memory_order_relaxed);
        }
    }
    playing_.store(play_, std::memory_order_release);

    host::Transport tr;
    tr.present = true;
    tr.playing = play_;
    const double fixed = fixedTempo_.load(std::memory_order_relaxed);
    const double clk = followClock_.load(std::memory_order_relaxed) ? clockTempo_.load(std::memory_order_relaxed) : 0.0;
    const double tempo = fixed > 0.0 ? fixed : clk;
    // Without a tempo of its own the transport carries none, so the set's
    // tempo (and what the editor makes of it) stands.
    tr.hasTempo = tempo > 0.0;
    tr.tempo = tempo > 0.0 ? tempo : 120.0;
    host_.setTransport(tr);

    const bool sendStartStop = changed && !follow_.load(std::memory_order_relaxed);
    std::size_t next = 0;
    for (uint32_t off = 0; off < n || (n == 0 && off == 0);) {
        const uint32_t len = n - off < maxFrames_ ? n - off : maxFrames_;
        in_.clear();
        out_.clear();
        if (off == 0 && sendStartStop) in_.midi(0, play_ ? 0xFA : 0xFC, 0, 0);
        while (next < nMsgs_ && (msgs_[next].frame < off + len || len == 0)) {
            const MidiMsg& e = msgs_[next++];
            in_.midi(e.frame - off, e.b[0], e.b[1], e.b[2]);
        }
        host_.process(len, left + off, right + off, &in_, &out_);
        if (len == 0) break;
        off += len;
    }
    blocks.fetch_add(1, std::memory_order_relaxed);
    frames.fetch_add(n, std::memory_order_relaxed);
}

// ---- the host's transport-control extension -------------------------------------------

namespace {

std::atomic<Live*> g_target{nullptr};

void tc_start(const clap_host_t*) {
    if (Live* l = g_target.load()) l->requestPlay(true);
}
void tc_stop(const clap_host_t*) {
    if (Live* l = g_target.load()) l->requestPlay(false);
}
void tc_toggle(const clap_host_t*) {
    if (Live* l = g_target.load()) l->requestToggle();
}
// The sequencer has no song position to move, no loop and no recording.
void tc_jump(const clap_host_t*, clap_beattime) {}
void tc_loop_region(const clap_host_t*, clap_beattime, clap_beattime) {}
void tc_nothing(const clap_host_t*) {}
void tc_flag(const clap_host_t*, bool) {}

const clap_host_transport_control_t TRANSPORT_CONTROL = {
    tc_start,      // request_start
    tc_stop,       // request_stop
    tc_start,      // request_continue: the sequencer always starts at step 0
    tc_stop,       // request_pause
    tc_toggle,     // request_toggle_play
    tc_jump,       // request_jump
    tc_loop_region,
    tc_nothing,    // request_toggle_loop
    tc_flag,       // request_enable_loop
    tc_flag,       // request_record
    tc_nothing,    // request_toggle_record
};

}  // namespace

void set_transport_target(Live* live) { g_target.store(live); }

const clap_host_transport_control_t* transport_control() { return &TRANSPORT_CONTROL; }

const void* app_extension(const char* id) {
    if (!id) return nullptr;
    // The id without its version suffix is what earlier drafts used.
    if (std::strcmp(id, CLAP_EXT_TRANSPORT_CONTROL) == 0 || std::strcmp(id, "clap.transport-control") == 0)
        return &TRANSPORT_CONTROL;
    return nullptr;
}

}  // namespace brs::app
