// host.cpp: the test and tool host (see host.h).
#include "host/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace brs::host {

// ---- EventList --------------------------------------------------------------

bool EventList::push(const clap_event_header_t* ev) {
    if (!ev || ev->size < sizeof(clap_event_header_t) || ev->size > SLOT) return false;
    if (fixed_ && slots_.size() == slots_.capacity()) return false;
    Slot s;
    std::memset(s.bytes, 0, SLOT);
    std::memcpy(s.bytes, ev, ev->size);
    s.null = false;
    slots_.push_back(s);
    return true;
}

bool EventList::pushRaw(const void* bytes, std::size_t n) {
    if (!bytes || n > SLOT) return false;
    if (fixed_ && slots_.size() == slots_.capacity()) return false;
    Slot s;
    std::memset(s.bytes, 0, SLOT);
    std::memcpy(s.bytes, bytes, n);
    s.null = false;
    slots_.push_back(s);
    return true;
}

bool EventList::pushNull() {
    if (fixed_ && slots_.size() == slots_.capacity()) return false;
    Slot s;
    std::memset(s.bytes, 0, SLOT);
    s.null = true;
    slots_.push_back(s);
    return true;
}

EventList& EventList::noteOn(uint32_t time, int16_t key, double velocity, int16_t channel, int16_t port,
                             int32_t noteId) {
    clap_event_note_t e{};
    e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_NOTE_ON, 0};
    e.note_id = noteId;
    e.port_index = port;
    e.channel = channel;
    e.key = key;
    e.velocity = velocity;
    push(&e.header);
    return *this;
}

EventList& EventList::noteOff(uint32_t time, int16_t key, double velocity, int16_t channel) {
    clap_event_note_t e{};
    e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_NOTE_OFF, 0};
    e.note_id = -1;
    e.channel = channel;
    e.key = key;
    e.velocity = velocity;
    push(&e.header);
    return *this;
}

EventList& EventList::midi(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2, uint16_t port) {
    clap_event_midi_t e{};
    e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
    e.port_index = port;
    e.data[0] = status;
    e.data[1] = data1;
    e.data[2] = data2;
    push(&e.header);
    return *this;
}

EventList& EventList::param(uint32_t time, clap_id id, double value) {
    clap_event_param_value_t e{};
    e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
    e.param_id = id;
    e.cookie = nullptr;
    e.note_id = -1;
    e.port_index = -1;
    e.channel = -1;
    e.key = -1;
    e.value = value;
    push(&e.header);
    return *this;
}

const clap_input_events_t* EventList::input() const {
    in_.ctx = const_cast<EventList*>(this);
    in_.size = [](const clap_input_events_t* l) -> uint32_t {
        return static_cast<uint32_t>(static_cast<const EventList*>(l->ctx)->size());
    };
    in_.get = [](const clap_input_events_t* l, uint32_t i) -> const clap_event_header_t* {
        auto* self = static_cast<const EventList*>(l->ctx);
        return i < self->size() ? self->at(i) : nullptr;
    };
    return &in_;
}

const clap_output_events_t* EventList::output() {
    out_.ctx = this;
    out_.try_push = [](const clap_output_events_t* l, const clap_event_header_t* ev) -> bool {
        return static_cast<EventList*>(l->ctx)->push(ev);
    };
    return &out_;
}

// ---- Host: library and instance ----------------------------------------------

Host::Host() {
    host_.clap_version = hostVersion_;
    host_.host_data = this;
    host_.name = "brs-host";
    host_.vendor = "Velmora";
    host_.url = "https://velmora.de/";
    host_.version = "0.3.0";
    host_.get_extension = &Host::cbGetExtension;
    host_.request_restart = &Host::cbRequestRestart;
    host_.request_process = &Host::cbRequestProcess;
    host_.request_callback = &Host::cbRequestCallback;
}

Host::~Host() { unload(); }

bool Host::load(const std::string& path) {
    if (lib_) unload();
    lib_ = dlopen(path.c_str(), RTLD_LOCAL | RTLD_NOW);
    if (!lib_) {
        const char* e = dlerror();
        error_ = std::string("dlopen: ") + (e ? e : "failed");
        return false;
    }
    entry_ = static_cast<const clap_plugin_entry_t*>(dlsym(lib_, "clap_entry"));
    if (!entry_) {
        error_ = "no clap_entry";
        dlclose(lib_);
        lib_ = nullptr;
        return false;
    }
    if (!clap_version_is_compatible(entry_->clap_version)) {
        error_ = "incompatible CLAP version";
        entry_ = nullptr;
        dlclose(lib_);
        lib_ = nullptr;
        return false;
    }
    if (!entry_->init || !entry_->init(path.c_str())) {
        error_ = "entry init failed";
        entry_ = nullptr;
        dlclose(lib_);
        lib_ = nullptr;
        return false;
    }
    return true;
}

bool Host::attach(const clap_plugin_entry_t* entry, const std::string& path) {
    if (lib_ || entry_) unload();
    if (!entry || !clap_version_is_compatible(entry->clap_version) || !entry->init || !entry->init(path.c_str())) {
        error_ = "entry refused";
        return false;
    }
    entry_ = entry;
    return true;
}

void* Host::symbol(const char* name) const { return lib_ && name ? dlsym(lib_, name) : nullptr; }

const clap_plugin_factory_t* Host::factory() const {
    if (!entry_ || !entry_->get_factory) return nullptr;
    return static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
}

bool Host::create(const char* id) {
    if (plugin_) destroy();
    const clap_plugin_factory_t* f = factory();
    if (!f) {
        error_ = "no plug-in factory";
        return false;
    }
    std::string want;
    if (id) {
        want = id;
    } else {
        if (f->get_plugin_count(f) == 0) {
            error_ = "factory has no plug-in";
            return false;
        }
        const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, 0);
        if (!d || !d->id) {
            error_ = "no descriptor";
            return false;
        }
        want = d->id;
    }
    host_.clap_version = hostVersion_;
    plugin_ = f->create_plugin(f, &host_, want.c_str());
    if (!plugin_) {
        error_ = "create_plugin refused " + want;
        return false;
    }
    if (!plugin_->init(plugin_)) {
        error_ = "plug-in init failed";
        plugin_->destroy(plugin_);
        plugin_ = nullptr;
        return false;
    }
    return true;
}

const void* Host::extension(const char* id) const {
    return plugin_ ? plugin_->get_extension(plugin_, id) : nullptr;
}
const clap_plugin_params_t* Host::params() const {
    return static_cast<const clap_plugin_params_t*>(extension(CLAP_EXT_PARAMS));
}
const clap_plugin_state_t* Host::state() const {
    return static_cast<const clap_plugin_state_t*>(extension(CLAP_EXT_STATE));
}
const clap_plugin_audio_ports_t* Host::audioPorts() const {
    return static_cast<const clap_plugin_audio_ports_t*>(extension(CLAP_EXT_AUDIO_PORTS));
}
const clap_plugin_note_ports_t* Host::notePorts() const {
    return static_cast<const clap_plugin_note_ports_t*>(extension(CLAP_EXT_NOTE_PORTS));
}

bool Host::activate(double sampleRate, uint32_t minFrames, uint32_t maxFrames) {
    if (!plugin_ || active_) return false;
    // Buffers for callers that pass no channels; a block larger than this
    // grows them when it comes, so an absurd announced maximum costs nothing.
    const uint32_t pre = maxFrames < 65536 ? maxFrames : 65536;
    scratchL_.assign(pre, 0.0f);
    scratchR_.assign(pre, 0.0f);
    sampleRate_ = sampleRate;
    active_ = plugin_->activate(plugin_, sampleRate, minFrames, maxFrames);
    return active_;
}

void Host::deactivate() {
    if (!plugin_ || !active_) return;
    if (processing_) stopProcessing();
    plugin_->deactivate(plugin_);
    active_ = false;
}

bool Host::startProcessing() {
    if (!plugin_ || !active_) return false;
    processing_ = plugin_->start_processing(plugin_);
    return processing_;
}

void Host::stopProcessing() {
    if (!plugin_ || !processing_) return;
    plugin_->stop_processing(plugin_);
    processing_ = false;
}

void Host::reset() {
    if (plugin_) plugin_->reset(plugin_);
}

void Host::destroy() {
    if (!plugin_) return;
    deactivate();
    plugin_->destroy(plugin_);
    plugin_ = nullptr;
    std::lock_guard<std::mutex> g(mu_);
    timers_.clear();
}

void Host::unload() {
    destroy();
    if (entry_ && entry_->deinit) entry_->deinit();
    entry_ = nullptr;
    if (lib_) dlclose(lib_);
    lib_ = nullptr;
}

// ---- processing -------------------------------------------------------------

clap_process_status Host::process(uint32_t frames, float* left, float* right, const EventList* in,
                                  EventList* out) {
    if (!plugin_) return CLAP_PROCESS_ERROR;
    if ((!left || !right) && scratchL_.size() < frames) {
        scratchL_.resize(frames);
        scratchR_.resize(frames);
    }
    float* ch[2] = {left ? left : scratchL_.data(), right ? right : scratchR_.data()};
    if (layout_.nullChannel1) ch[1] = nullptr;
    clap_audio_buffer_t buf{};
    buf.data32 = layout_.nullChannels ? nullptr : ch;
    buf.data64 = nullptr;
    buf.channel_count = layout_.channels;
    buf.latency = 0;
    buf.constant_mask = 0;
    return run(frames, layout_.buffers ? &buf : nullptr, layout_.buffers ? 1 : 0, in, out);
}

clap_process_status Host::processPorts(uint32_t frames, clap_audio_buffer_t* ports, uint32_t count,
                                       const EventList* in, EventList* out) {
    if (!plugin_) return CLAP_PROCESS_ERROR;
    return run(frames, ports, count, in, out);
}

clap_process_status Host::run(uint32_t frames, clap_audio_buffer_t* ports, uint32_t count, const EventList* in,
                              EventList* out) {
    clap_event_transport_t tr{};
    tr.header = {sizeof tr, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
    tr.flags = (transport_.hasTempo ? uint32_t(CLAP_TRANSPORT_HAS_TEMPO) : 0u) |
               (transport_.playing ? uint32_t(CLAP_TRANSPORT_IS_PLAYING) : 0u);
    tr.tempo = transport_.tempo;
    tr.tsig_num = 4;
    tr.tsig_denom = 4;
    const auto fixed = [](double beats) { return clap_beattime(std::llround(beats * double(CLAP_BEATTIME_FACTOR))); };
    if (transport_.hasBeats) {
        tr.flags |= CLAP_TRANSPORT_HAS_BEATS_TIMELINE;
        tr.song_pos_beats = fixed(transport_.beats);
        if (transport_.loop) {
            tr.flags |= CLAP_TRANSPORT_IS_LOOP_ACTIVE;
            tr.loop_start_beats = fixed(transport_.loopStart);
            tr.loop_end_beats = fixed(transport_.loopEnd);
        }
        if (transport_.hasBar) {
            tr.flags |= CLAP_TRANSPORT_HAS_TIME_SIGNATURE;
            const double bar = std::floor(transport_.beats / 4.0);
            tr.bar_start = fixed(bar * 4.0);
            tr.bar_number = int32_t(bar);
        }
    }

    clap_process_t p{};
    p.steady_time = steady_;
    p.frames_count = frames;
    p.transport = transport_.present ? &tr : nullptr;
    p.audio_inputs = nullptr;
    p.audio_inputs_count = 0;
    p.audio_outputs = ports;
    p.audio_outputs_count = count;
    p.in_events = in ? in->input() : emptyIn_.input();
    p.out_events = out ? out->output() : nullptr;
    if (shape_.nullFunctions) {
        brokenIn_ = *p.in_events;
        brokenIn_.size = nullptr;
        brokenIn_.get = nullptr;
        p.in_events = &brokenIn_;
    }
    if (shape_.nullInput) p.in_events = nullptr;
    if (shape_.nullPush && p.out_events) {
        brokenOut_ = *p.out_events;
        brokenOut_.try_push = nullptr;
        p.out_events = &brokenOut_;
    }
    clap_process_status st = plugin_->process(plugin_, &p);
    steady_ += frames;
    if (transport_.advance && transport_.hasBeats && transport_.playing) {
        transport_.beats += double(frames) * transport_.tempo / 60.0 / sampleRate_;
        const double len = transport_.loopEnd - transport_.loopStart;
        if (transport_.loop && len > 0.0 && transport_.beats - double(frames) * transport_.tempo / 60.0 / sampleRate_ <
                                                transport_.loopEnd)
            while (transport_.beats >= transport_.loopEnd) transport_.beats -= len;
    }
    return st;
}

// ---- parameters ---------------------------------------------------------------

void Host::flush(const EventList* in, EventList* out) {
    const clap_plugin_params_t* pa = params();
    if (!pa || !pa->flush) return;
    pa->flush(plugin_, in ? in->input() : nullptr, out ? out->output() : nullptr);
}

void Host::setParam(clap_id id, double value) {
    EventList ev;
    ev.param(0, id, value);
    flush(&ev, nullptr);
}

bool Host::getParam(clap_id id, double* value) const {
    const clap_plugin_params_t* pa = params();
    return pa && pa->get_value && pa->get_value(plugin_, id, value);
}

std::string Host::paramText(clap_id id, double value) const {
    const clap_plugin_params_t* pa = params();
    char buf[256] = {0};
    if (!pa || !pa->value_to_text || !pa->value_to_text(plugin_, id, value, buf, sizeof buf)) return "";
    buf[sizeof buf - 1] = 0;
    return buf;
}

// ---- state ------------------------------------------------------------------

namespace {
struct WriteCtx {
    std::vector<uint8_t>* out;
    std::size_t chunk;
    int64_t limit;
};
struct ReadCtx {
    const std::vector<uint8_t>* in;
    std::size_t pos;
    std::size_t chunk;
    int64_t errorAt;
    uint64_t maxAsked;
};
}  // namespace

int64_t Host::cbWrite(const clap_ostream_t* s, const void* buf, uint64_t size) {
    auto* c = static_cast<WriteCtx*>(s->ctx);
    uint64_t n = size;
    if (c->chunk && n > c->chunk) n = c->chunk;
    if (c->limit >= 0) {
        uint64_t have = c->out->size();
        if (have >= static_cast<uint64_t>(c->limit)) return 0;
        n = std::min<uint64_t>(n, static_cast<uint64_t>(c->limit) - have);
    }
    const auto* b = static_cast<const uint8_t*>(buf);
    c->out->insert(c->out->end(), b, b + n);
    return static_cast<int64_t>(n);
}

int64_t Host::cbRead(const clap_istream_t* s, void* buf, uint64_t size) {
    auto* c = static_cast<ReadCtx*>(s->ctx);
    c->maxAsked = std::max(c->maxAsked, size);
    uint64_t n = std::min<uint64_t>(size, c->in->size() - c->pos);
    if (c->chunk && n > c->chunk) n = c->chunk;
    if (c->errorAt >= 0 && c->pos + n > static_cast<uint64_t>(c->errorAt)) return -1;
    if (n) std::memcpy(buf, c->in->data() + c->pos, n);
    c->pos += n;
    return static_cast<int64_t>(n);
}

bool Host::saveState(std::vector<uint8_t>& bytes) {
    bytes.clear();
    const clap_plugin_state_t* st = state();
    if (!st || !st->save) return false;
    WriteCtx c{&bytes, writeChunk_, writeLimit_};
    clap_ostream_t os{&c, &Host::cbWrite};
    return st->save(plugin_, &os);
}

bool Host::loadState(const std::vector<uint8_t>& bytes) {
    const clap_plugin_state_t* st = state();
    if (!st || !st->load) return false;
    ReadCtx c{&bytes, 0, readChunk_, readErrorAt_, 0};
    clap_istream_t is{&c, &Host::cbRead};
    bool ok = st->load(plugin_, &is);
    lastReadRequest_ = c.maxAsked;
    return ok;
}

// ---- host services ------------------------------------------------------------

const void* Host::cbGetExtension(const clap_host_t* h, const char* id) {
    Host* self = Host::self(h);
    if (!id || !self->offerExtensions_) return nullptr;
    if (self->extraExtension_) {
        if (const void* e = self->extraExtension_(id)) return e;
    }
    static const clap_host_params_t PARAMS = {&Host::cbRescan, &Host::cbClear, &Host::cbRequestFlush};
    static const clap_host_timer_support_t TIMERS = {&Host::cbRegisterTimer, &Host::cbUnregisterTimer};
    if (self->offerParams_ && std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &PARAMS;
    static const clap_host_state_t STATE = {&Host::cbMarkDirty};
    if (self->offerTimers_ && std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &TIMERS;
    if (self->offerState_ && std::strcmp(id, CLAP_EXT_STATE) == 0) return &STATE;
    return nullptr;
}

void Host::cbRequestRestart(const clap_host_t*) {}
void Host::cbRequestProcess(const clap_host_t*) {}

void Host::cbRequestCallback(const clap_host_t* h) {
    Host* self = Host::self(h);
    if (!self->offerRequestCallback_) return;  // behaves like a host that ignores the request
    self->callbackRequests_.fetch_add(1);
    self->callbackPending_.store(true);
}

void Host::cbRescan(const clap_host_t* h, clap_param_rescan_flags flags) {
    Host* self = Host::self(h);
    {
        std::lock_guard<std::mutex> g(self->mu_);
        self->rescans_.push_back(flags);
    }
    if (self->rescanHook_) self->rescanHook_(flags);
}

void Host::cbClear(const clap_host_t*, clap_id, clap_param_clear_flags) {}

void Host::cbRequestFlush(const clap_host_t* h) { Host::self(h)->flushRequests_.fetch_add(1); }
void Host::cbMarkDirty(const clap_host_t* h) { Host::self(h)->dirtyMarks_.fetch_add(1); }

bool Host::cbRegisterTimer(const clap_host_t* h, uint32_t periodMs, clap_id* id) {
    Host* self = Host::self(h);
    if (!id) return false;
    std::lock_guard<std::mutex> g(self->mu_);
    Timer t{self->nextTimer_++, periodMs,
            std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs)};
    self->timers_.push_back(t);
    *id = t.id;
    return true;
}

bool Host::cbUnregisterTimer(const clap_host_t* h, clap_id id) {
    Host* self = Host::self(h);
    std::lock_guard<std::mutex> g(self->mu_);
    auto it = std::find_if(self->timers_.begin(), self->timers_.end(),
                           [id](const Timer& t) { return t.id == id; });
    if (it == self->timers_.end()) return false;
    self->timers_.erase(it);
    return true;
}

std::vector<uint32_t> Host::rescans() const {
    std::lock_guard<std::mutex> g(mu_);
    return rescans_;
}

void Host::clearRescans() {
    std::lock_guard<std::mutex> g(mu_);
    rescans_.clear();
}

std::vector<Host::Timer> Host::timers() const {
    std::lock_guard<std::mutex> g(mu_);
    return timers_;
}

bool Host::idle() {
    if (!plugin_ || !callbackPending_.exchange(false)) return false;
    plugin_->on_main_thread(plugin_);
    return true;
}

int Host::runTimers(bool force) {
    if (!plugin_) return 0;
    auto* ts = static_cast<const clap_plugin_timer_support_t*>(extension(CLAP_EXT_TIMER_SUPPORT));
    if (!ts || !ts->on_timer) return 0;
    // Collect due ids first: on_timer may register or unregister timers.
    std::vector<clap_id> due;
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> g(mu_);
        for (Timer& t : timers_) {
            if (force || now >= t.due) {
                due.push_back(t.id);
                t.due = now + std::chrono::milliseconds(t.periodMs);
            }
        }
    }
    int calls = 0;
    for (clap_id id : due) {
        bool still;
        {
            std::lock_guard<std::mutex> g(mu_);
            still = std::any_of(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
        }
        if (!still) continue;
        ts->on_timer(plugin_, id);
        ++calls;
    }
    return calls;
}

int Host::pump(bool forceTimers) {
    int n = idle() ? 1 : 0;
    return n + runTimers(forceTimers);
}

}  // namespace brs::host
