// process.cpp: the audio callback: editor edits, host transport, sample-accurate
// input events, rendering into the instance's render buffer; blocks that
// miss the instance lock.
#include <cstring>
#include <new>

#include "plugin/shell.h"

namespace brs::plug {
namespace {

// Largest block rendered in one piece; longer blocks are rendered in pieces.
constexpr uint32_t MAX_SCRATCH_FRAMES = 8192;
// Smallest render buffer, for hosts that announce no block size.
constexpr uint32_t MIN_SCRATCH_FRAMES = 64;

// The host's output channels; missing ones are null.
struct Out {
    float* l = nullptr;
    float* r = nullptr;
    const clap_audio_buffer_t* bus = nullptr;
    TrackPorts tracks;  // the Multi's track ports (multi.cpp)
};

Out outputs(const clap_process_t* pr) {
    Out o;
    if (!pr->audio_outputs || pr->audio_outputs_count == 0) return o;
    o.bus = &pr->audio_outputs[0];
    if (!o.bus->data32) return o;
    if (o.bus->channel_count >= 1) o.l = o.bus->data32[0];
    if (o.bus->channel_count >= 2) o.r = o.bus->data32[1];
    return o;
}

// Zeroes frames [from, to) of every channel the host gave beyond the two we
// write, so a host with a wider bus gets silence there rather than garbage.
void zero_extra(const Out& o, uint32_t from, uint32_t to) {
    if (!o.bus || !o.bus->data32) return;
    for (uint32_t c = 2; c < o.bus->channel_count; ++c)
        if (float* ch = o.bus->data32[c]) std::memset(ch + from, 0, sizeof(float) * (to - from));
}

void silence(const Out& o, uint32_t n) {
    if (o.l) std::memset(o.l, 0, sizeof(float) * n);
    if (o.r) std::memset(o.r, 0, sizeof(float) * n);
    zero_extra(o, 0, n);
    silence_tracks(o.tracks, 0, n);
}

// Renders frames [j, e) of the block and copies them to the host's channels.
void render(Plug& p, const Out& o, uint32_t j, uint32_t e) {
    if (p.multi) {
        render_apart(p, o.l, o.r, o.tracks, j, e);
        return;
    }
    float* buf = p.scratch.data();
    const uint32_t cap = uint32_t(p.scratch.size() / 2);
    if (cap == 0) {  // never activated: nothing to render into, the host gets silence
        if (o.l) std::memset(o.l + j, 0, sizeof(float) * (e - j));
        if (o.r) std::memset(o.r + j, 0, sizeof(float) * (e - j));
        return;
    }
    while (j < e) {
        // A request of the main thread is served between pieces too, so that
        // it never waits for the rest of a long block.
        serve_mail(p);
        uint32_t k = e - j < cap ? e - j : cap;
        brskern_process(p.engine, buf, k);
        if (o.l)
            for (uint32_t f = 0; f < k; ++f) o.l[j + f] = buf[2 * f];
        if (o.r)
            for (uint32_t f = 0; f < k; ++f) o.r[j + f] = buf[2 * f + 1];
        j += k;
    }
}

// ---- blocks that missed the lock ------------------------------------------------
//
// A block that meets engineMutex busy is output as silence, but it costs
// neither events nor time. Its parameter values are parked per slot
// (park_events); its note-ons, raw MIDI, transport and a reset called
// meanwhile are queued here with their frame position counted from the first
// missed block. The next locked block first replays that span without
// rendering it: the queued entries are applied at their positions while the
// engine's clock and sequencer move on over the missed frames (brskern_skip).
// So the groove stays in time with the host, and a voice that fell into the
// span is treated as if it had been rendered unheard: it has aged by the
// span, and sounds on from there if its life is not over. Parked parameter
// values are applied first, at the start of the span.
//
// The queue is bounded (PARK_CAP entries). When it is full, further note-ons
// and MIDI other than Start and Stop are dropped; the last transport, the
// last Start or Stop and a reset are still kept in three places of their own
// and replayed after the queue, so the sequencer's state is never lost.

enum : uint32_t { PARK_EVENT = 0, PARK_TRANSPORT = 1, PARK_RESET = 2 };
enum : int { LATE_TRANSPORT = 0, LATE_STARTSTOP = 1, LATE_RESET = 2 };

void park(Plug& p, const Plug::Parked& e, int lateSlot) {
    if (p.parkN < Plug::PARK_CAP) {
        p.parkq[p.parkN++] = e;
    } else if (lateSlot >= 0) {
        p.late[lateSlot] = e;
        p.lateUsed[lateSlot] = true;
        p.lateSeq[lateSlot] = ++p.lateCount;
    }
}

// Queues the note-ons, raw MIDI and transport of a block that missed the lock.
// [audio thread] no allocation, no locks
void park_block(Plug& p, const clap_process_t* pr, const clap_input_events_t* in, uint32_t m, uint32_t n) {
    if (const clap_event_transport_t* t = pr->transport) {
        // Only a change is worth a place: the same transport block after block is kept once.
        bool same = false;
        for (uint32_t i = p.parkN; i-- > 0;) {
            if (p.parkq[i].kind != PARK_TRANSPORT) continue;
            same = p.parkq[i].flags == t->flags && (p.parkq[i].tempo == t->tempo || !(t->flags & CLAP_TRANSPORT_HAS_TEMPO));
            break;
        }
        if (!same) {
            Plug::Parked e{};
            e.pos = p.skipped;
            e.kind = PARK_TRANSPORT;
            e.flags = t->flags;
            e.tempo = t->tempo;
            park(p, e, LATE_TRANSPORT);
        }
    }
    for (uint32_t i = 0; i < m; ++i) {
        const clap_event_header_t* ev = in->get(in, i);
        if (!ev || ev->space_id != CLAP_CORE_EVENT_SPACE_ID || ev->size > sizeof(Plug::Parked::ev)) continue;
        int lateSlot = -1;
        if (ev->type == CLAP_EVENT_NOTE_ON) {
            if (ev->size < sizeof(clap_event_note_t)) continue;
        } else if (ev->type == CLAP_EVENT_MIDI) {
            if (ev->size < sizeof(clap_event_midi_t)) continue;
            const uint8_t status = reinterpret_cast<const clap_event_midi_t*>(ev)->data[0];
            if (status == 0xFA || status == 0xFC) lateSlot = LATE_STARTSTOP;
        } else {
            continue;  // parameter values are parked per slot; everything else is ignored anyway
        }
        Plug::Parked e{};
        e.pos = p.skipped + (ev->time < n ? ev->time : n);
        e.kind = PARK_EVENT;
        std::memcpy(e.ev, ev, ev->size);
        park(p, e, lateSlot);
    }
    p.skipped += n;
}

// The transport of one block: tempo, and start or stop on a change of the
// host's play state, while "Sequencer folgt Host" is on; then the host's
// position (pos: the block's transport, null for a replayed one).
// [engineMutex held]
void follow_transport(Plug& p, uint32_t flags, double tempo, const clap_event_transport_t* pos) {
    if (p.globalValues[6].load(std::memory_order_relaxed) < 0.5) {
        follow_position(p, nullptr, false);
        return;
    }
    if ((flags & CLAP_TRANSPORT_HAS_TEMPO) && std::isfinite(tempo)) brskern_set_bpm(p.engine, static_cast<float>(tempo));
    const bool playing = (flags & CLAP_TRANSPORT_IS_PLAYING) != 0;
    const bool started = playing && !p.hostPlaying;
    if (started) brskern_start(p.engine);
    if (!playing && p.hostPlaying) brskern_stop(p.engine);
    p.hostPlaying = playing;
    follow_position(p, pos, started);
}

// Moves the engine on by frames without rendering them.
void skip_frames(Plug& p, uint64_t frames) {
    while (frames > 0) {
        const uint32_t k = frames > 0x40000000u ? 0x40000000u : uint32_t(frames);
        brskern_skip(p.engine, k);
        frames -= k;
    }
}

void replay(Plug& p, const Plug::Parked& e, uint64_t& done) {
    if (e.pos > done) {
        skip_frames(p, e.pos - done);
        done = e.pos;
    }
    switch (e.kind) {
    case PARK_EVENT: apply_event(p, reinterpret_cast<const clap_event_header_t*>(e.ev)); break;
    case PARK_TRANSPORT: follow_transport(p, e.flags, e.tempo, nullptr); break;
    default: reset_engine(p); break;
    }
}

}  // namespace

void park_reset(Plug& p) {
    Plug::Parked e{};
    e.pos = p.skipped;
    e.kind = PARK_RESET;
    park(p, e, LATE_RESET);
}

void catch_up(Plug& p) {
    if (p.parkN == 0 && p.skipped == 0 && !p.lateUsed[0] && !p.lateUsed[1] && !p.lateUsed[2]) return;
    uint64_t done = 0;
    for (uint32_t i = 0; i < p.parkN; ++i) replay(p, p.parkq[i], done);
    // The places kept beyond a full queue, in the order they came (which
    // their positions alone cannot tell when a reset and the next block's
    // transport share one).
    for (;;) {
        int next = -1;
        for (int s = 0; s < 3; ++s)
            if (p.lateUsed[s] && (next < 0 || p.lateSeq[s] < p.lateSeq[next])) next = s;
        if (next < 0) break;
        p.lateUsed[next] = false;
        replay(p, p.late[next], done);
    }
    if (p.skipped > done) skip_frames(p, p.skipped - done);
    p.parkN = 0;
    p.skipped = 0;
    p.lateCount = 0;
}

void reset_engine(Plug& p) {
    brskern_reset(p.engine);
    brskern_stop(p.engine);
    p.hostPlaying = false;
}

bool size_scratch(Plug& p, uint32_t maxFrames) {
    uint32_t frames = maxFrames < MIN_SCRATCH_FRAMES ? MIN_SCRATCH_FRAMES : maxFrames;
    if (frames > MAX_SCRATCH_FRAMES) frames = MAX_SCRATCH_FRAMES;
    const size_t need = scratch_per_frame(p) * size_t(frames);
    if (p.scratch.size() >= need) return true;
    try {
        p.scratch.assign(need, 0.0f);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

clap_process_status Plug::process(const clap_process_t* pr) {
    struct InBlock {
        std::atomic<bool>& flag;
        explicit InBlock(std::atomic<bool>& f) : flag(f) { flag.store(true); }
        ~InBlock() { flag.store(false, std::memory_order_release); }
    } inBlock(inProcess);
    const uint32_t n = pr->frames_count;
    Out o = outputs(pr);
    track_ports(*this, pr, o.tracks);
    const clap_input_events_t* in = pr->in_events;
    const uint32_t m = in && in->size && in->get ? in->size(in) : 0;
    note_process_call(*this);

    // Offline the host waits for every block: the block waits for the lock
    // (the main thread holds it only briefly) rather than being silent.
    const bool locked = offline.load(std::memory_order_relaxed) ? (engineMutex.lock(), true) : lock_for_block(*this);
    if (!locked) {
        silence(o, n);
        park_events(*this, in);  // the block's parameter values wait for the next locked block
        park_block(*this, pr, in, m, n);
        return CLAP_PROCESS_CONTINUE;
    }

    serve_mail(*this);  // a load swapped in here replaces the values parked before it
    apply_pending(*this);
    if (skipped > 0) hostPos.valid = false;  // the next position the host gives is taken as it is
    catch_up(*this);
    drain_gevs(*this, pr->out_events);
    if (announce.load(std::memory_order_relaxed) && announce.exchange(false, std::memory_order_acquire))
        announce_values(*this, pr->out_events);

    if (pr->transport)
        follow_transport(*this, pr->transport->flags, pr->transport->tempo, pr->transport);
    else
        follow_position(*this, nullptr, false);

    const clap_output_events_t* out = pr->out_events;
    uint32_t wrap = loop_wrap_frame(*this, 0, n);
    uint32_t i = 0, j = 0;
    while (j < n) {
        if (j == wrap) {  // the host's loop starts over at this frame
            wrap_position(*this);
            wrap = loop_wrap_frame(*this, j + 1, n);
        }
        for (; i < m; ++i) {
            const clap_event_header_t* ev = in->get(in, i);
            if (ev && ev->time > j) break;
            apply_event(*this, ev, out);
        }
        uint32_t e = n;
        if (i < m) {
            const clap_event_header_t* ev = in->get(in, i);
            if (ev->time < n) e = ev->time;
        }
        if (wrap < e) e = wrap;
        render(*this, o, j, e);
        advance_position(*this, e - j);
        j = e;
    }
    for (; i < m; ++i) apply_event(*this, in->get(in, i), out);
    zero_extra(o, 0, n);
    publish_play(*this);
    tail_block(*this, n);

    engineMutex.unlock();
    return CLAP_PROCESS_CONTINUE;
}

}  // namespace brs::plug
