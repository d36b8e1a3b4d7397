// process.cpp: the audio callback: editor edits, host transport, sample-accurate
// input events, rendering into the audio thread's scratch buffer.
#include <cstring>
#include <new>
#include <vector>

#include "plugin/shell.h"

namespace brs::plug {
namespace {

// Largest block the scratch buffer is grown for; longer blocks are rendered
// in pieces of this size, so a host's frame count never drives an allocation.
constexpr uint32_t MAX_SCRATCH_FRAMES = 8192;
// Frames of the fallback storage used when the buffer could not be grown.
constexpr uint32_t SMALL_FRAMES = 64;

// One per audio thread, shared by every instance rendered on it; released
// when the thread ends.
struct Scratch {
    std::vector<float> buf;
    float small[2 * SMALL_FRAMES];

    // Grows buf to hold frames stereo frames (never shrinks). Keeps the old
    // storage when memory runs out. [audio thread, before the instance lock]
    void reserve(uint32_t frames) {
        if (frames > MAX_SCRATCH_FRAMES) frames = MAX_SCRATCH_FRAMES;
        if (buf.size() >= 2 * size_t(frames)) return;
        try {
            buf.resize(2 * size_t(frames));
        } catch (const std::bad_alloc&) {
        }
    }
    float* data() { return buf.size() >= 2 * SMALL_FRAMES ? buf.data() : small; }
    uint32_t frames() const {
        return buf.size() >= 2 * SMALL_FRAMES ? uint32_t(buf.size() / 2) : SMALL_FRAMES;
    }
};

thread_local Scratch scratch;

// The host's output channels; missing ones are null.
struct Out {
    float* l = nullptr;
    float* r = nullptr;
    const clap_audio_buffer_t* bus = nullptr;
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
}

// Renders frames [j, e) of the block and copies them to the host's channels.
void render(brskern_t engine, const Out& o, uint32_t j, uint32_t e) {
    float* buf = scratch.data();
    const uint32_t cap = scratch.frames();
    while (j < e) {
        uint32_t k = e - j < cap ? e - j : cap;
        brskern_process(engine, buf, k);
        if (o.l)
            for (uint32_t f = 0; f < k; ++f) o.l[j + f] = buf[2 * f];
        if (o.r)
            for (uint32_t f = 0; f < k; ++f) o.r[j + f] = buf[2 * f + 1];
        j += k;
    }
}

}  // namespace

clap_process_status Plug::process(const clap_process_t* pr) {
    const uint32_t n = pr->frames_count;
    const Out o = outputs(pr);
    const clap_input_events_t* in = pr->in_events;
    const uint32_t m = in && in->size && in->get ? in->size(in) : 0;

    // Outside the lock: the first block on a thread sizes the buffer for the
    // host's announced maximum, so later blocks never allocate.
    uint32_t want = maxFrames.load(std::memory_order_relaxed);
    scratch.reserve(want > n ? want : n);

    if (!engineMutex.try_lock()) {
        silence(o, n);
        park_events(*this, in);  // the block's parameter values wait for the next locked block
        return CLAP_PROCESS_CONTINUE;
    }

    apply_pending(*this);
    drain_gevs(*this, pr->out_events);

    if (pr->transport && globalValues[6].load(std::memory_order_relaxed) >= 0.5) {
        const clap_event_transport_t* t = pr->transport;
        if ((t->flags & CLAP_TRANSPORT_HAS_TEMPO) && std::isfinite(t->tempo))
            brskern_set_bpm(engine, static_cast<float>(t->tempo));
        const bool playing = (t->flags & CLAP_TRANSPORT_IS_PLAYING) != 0;
        if (playing && !hostPlaying) brskern_start(engine);
        if (!playing && hostPlaying) brskern_stop(engine);
        hostPlaying = playing;
    }

    uint32_t i = 0, j = 0;
    while (j < n) {
        for (; i < m; ++i) {
            const clap_event_header_t* ev = in->get(in, i);
            if (ev && ev->time > j) break;
            apply_event(*this, ev);
        }
        uint32_t e = n;
        if (i < m) {
            const clap_event_header_t* ev = in->get(in, i);
            if (ev->time < n) e = ev->time;
        }
        render(engine, o, j, e);
        j = e;
    }
    for (; i < m; ++i) apply_event(*this, in->get(in, i));
    zero_extra(o, 0, n);

    engineMutex.unlock();
    return CLAP_PROCESS_CONTINUE;
}

}  // namespace brs::plug
