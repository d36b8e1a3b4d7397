// params.cpp: the 57 host parameters, the one routine that applies them, the
// editor's edit queue and the "clap.params" extension.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "plugin/shell.h"

namespace brs::plug {

const TrackParam TP[8] = {
    {"level", "Pegel", 0.0, 1.0},       {"cut", "Filter", 40.0, 16000.0}, {"res", "Resonanz", 0.5, 20.0},
    {"decay", "Ausklang", 0.01, 2.0},   {"drive", "Zerre", 0.0, 1.0},     {"delaySend", "Delay", 0.0, 1.0},
    {"reverbSend", "Hall", 0.0, 1.0},   {"mute", "Stumm", 0.0, 1.0},
};

const GlobalParam GP[9] = {
    {1000, "Summe Zerre", 0.0, 1.0, 0.15, 0},
    {1001, "Summe Pegel", 0.0, 1.0, 0.85, 0},
    {1002, "Swing", 0.0, 60.0, 0.0, 0},
    {1003, "Delay Zeit", 0.02, 1.9, 0.375, 0},
    {1004, "Delay R\u00fcckkopplung", 0.0, 0.95, 0.4, 0},
    {1005, "Hall Gr\u00f6\u00dfe", 0.0, 1.0, 0.8, 0},
    {1006, "Sequencer folgt Host", 0.0, 1.0, 1.0, 1},
    {1007, "Pattern", 1.0, 8.0, 1.0, 1},
    {1008, "Set laden (Datei)", 0.0, 1.0, 0.0, 1},
};

const char* const TRACK_DE[6] = {"Kick", "Bass", "Hoover", "Break", "Hat", "Stab"};

namespace {
// Global engine keys of globalValues[0..5], in slot order.
const char* const GLOBAL_KEYS[6] = {"drive", "level", "swing", "delayTime", "delayFb", "reverbSize"};

inline float f32(double v) { return static_cast<float>(v); }
inline double cache(const std::atomic<double>& a) { return a.load(std::memory_order_relaxed); }

// The declared range of a parameter id; false for ids that have none
// (ids that are no parameter, and the undeclared slots 1009..1015).
bool declared_range(uint32_t id, double* lo, double* hi) {
    if (id < 96) {
        if ((id & 15u) >= 8) return false;
        *lo = TP[id & 15u].min;
        *hi = TP[id & 15u].max;
        return true;
    }
    if (id >= 1000 && id <= 1008) {
        *lo = GP[id - 1000].min;
        *hi = GP[id - 1000].max;
        return true;
    }
    return false;
}

// The engine keeps sound values in single precision; the cache holds exactly
// that value, so a saved and reloaded state reports the very same parameter
// values to the host. Mute and the plug-in's own settings stay as given.
// A bound that has no exact single-precision twin (0.02, for instance) is
// narrowed to the nearest float inside the range.
double narrowed(uint32_t id, double value) {
    const bool engineValue = id < 1000 ? (id & 15u) != 7 : id <= 1005;
    if (!engineValue) return value;
    float f = f32(value);
    double lo, hi;
    if (declared_range(id, &lo, &hi)) {
        if (static_cast<double>(f) < lo) f = std::nextafter(f, HUGE_VALF);
        if (static_cast<double>(f) > hi) f = std::nextafter(f, -HUGE_VALF);
    }
    return static_cast<double>(f);
}
}  // namespace

double clamp_host(uint32_t id, double value) {
    double lo, hi;
    if (!declared_range(id, &lo, &hi)) return value;
    return value < lo ? lo : (value > hi ? hi : value);  // NaN stays NaN
}

// ---- cache helpers --------------------------------------------------------------------

bool cached_value(const Plug& p, uint32_t id, double* out) {
    int s = slot_of(id);
    if (s < 0) return false;
    if (out) *out = s < 48 ? cache(p.trackValues[s / 8][s % 8]) : cache(p.globalValues[s - 48]);
    return true;
}

const clap_host_params_t* host_params(const Plug& p) {
    if (!p.host || !p.host->get_extension) return nullptr;
    return static_cast<const clap_host_params_t*>(p.host->get_extension(p.host, CLAP_EXT_PARAMS));
}

void settle_host_values(Plug& p) {
    auto settled = [](uint32_t id, float v) { return f32(narrowed(id, clamp_host(id, double(v)))); };
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t k = 0; k < 7; ++k) {
            const float v = brskern_get_param(p.engine, t, TP[k].key);
            if (const float n = settled(16 * t + k, v); n != v) brskern_set_param(p.engine, t, TP[k].key, n);
        }
    for (uint32_t i = 0; i < 2; ++i) {
        const float v = brskern_get_param(p.engine, 6, GLOBAL_KEYS[i]);
        if (const float n = settled(1000 + i, v); n != v) brskern_set_param(p.engine, 6, GLOBAL_KEYS[i], n);
    }
    const float swing = brskern_get_param(p.engine, 6, "swing");
    if (const float n = settled(1002, swing); n != swing) brskern_set_swing(p.engine, n);
    float fx[3], settledFx[3];
    bool moved = false;
    for (uint32_t i = 0; i < 3; ++i) {
        fx[i] = brskern_get_param(p.engine, 6, GLOBAL_KEYS[3 + i]);
        settledFx[i] = settled(1003 + i, fx[i]);
        moved |= settledFx[i] != fx[i];
    }
    if (moved) brskern_set_fx(p.engine, settledFx[0], settledFx[1], settledFx[2]);
}

void refresh_cache(Plug& p) {
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t k = 0; k < 8; ++k)
            p.trackValues[t][k].store(brskern_get_param(p.engine, t, TP[k].key), std::memory_order_relaxed);
    for (int i = 0; i < 6; ++i)
        p.globalValues[i].store(brskern_get_param(p.engine, 6, GLOBAL_KEYS[i]), std::memory_order_relaxed);
}

// ---- applying values ----------------------------------------------------------------------

void apply_param(Plug& p, uint32_t id, double value) {
    // A value that is not a number changes nothing: the engine would ignore it
    // and the cache must keep describing what the engine holds.
    if (!std::isfinite(value)) return;
    // Each parameter keeps to its declared range: a host may send anything,
    // and a decay of 1000 s would hold its voices for good.
    value = clamp_host(id, value);
    if (id < 1000) {
        if (id >= 96 || (id & 15u) >= 8) return;
        uint32_t track = id / 16, k = id % 16;
        value = narrowed(id, value);
        p.trackValues[track][k].store(value, std::memory_order_relaxed);
        ++p.applyCount;
        p.sinceCopy |= uint64_t(1) << (8 * track + k);
        if (k == 7)
            brskern_set_mute(p.engine, track, value >= 0.5);
        else
            brskern_set_param(p.engine, track, TP[k].key, f32(value));
        return;
    }
    if (id >= 1016) return;
    value = narrowed(id, value);
    p.globalValues[id - 1000].store(value, std::memory_order_relaxed);
    if (id <= 1005 || id == 1007) {  // the ids that change the engine's set
        ++p.applyCount;
        p.sinceCopy |= uint64_t(1) << (48 + (id - 1000));
    }
    switch (id) {
    case 1000: brskern_set_param(p.engine, 6, "drive", f32(value)); break;
    case 1001: brskern_set_param(p.engine, 6, "level", f32(value)); break;
    case 1002: brskern_set_swing(p.engine, f32(value)); break;
    case 1003:
    case 1004:
    case 1005:
        brskern_set_fx(p.engine, f32(cache(p.globalValues[3])), f32(cache(p.globalValues[4])),
                       f32(cache(p.globalValues[5])));
        break;
    case 1007: {
        const uint8_t song[2] = {static_cast<uint8_t>(round_host(value) - 1), 1};
        brskern_set_song(p.engine, song, 2);
        p.songGen.fetch_add(1, std::memory_order_release);  // the editor's view follows
        break;
    }
    case 1008:
        if (value >= 0.5 && p.loadLast < 0.5) {
            p.loadRequest.store(true);
            if (p.host && p.host->request_callback) p.host->request_callback(p.host);
        }
        p.loadLast = value;
        break;
    default: break;  // 1006: read by the audio callback; 1009..1015: cache only
    }
}

void park_param(Plug& p, uint32_t id, double value) {
    int s = slot_of(id);
    if (s < 0 || !std::isfinite(value)) return;
    value = narrowed(id, clamp_host(id, value));  // the host reads back what the engine will hold
    p.parked[s].store(value, std::memory_order_relaxed);
    slot_ref(p, s).store(value, std::memory_order_relaxed);  // what the host reads back
    p.pending.fetch_or(uint64_t(1) << s, std::memory_order_release);
}

void park_events(Plug& p, const clap_input_events_t* in) {
    const uint32_t m = in && in->size && in->get ? in->size(in) : 0;
    for (uint32_t i = 0; i < m; ++i) {
        const clap_event_header_t* ev = in->get(in, i);
        if (ev && ev->space_id == CLAP_CORE_EVENT_SPACE_ID && ev->type == CLAP_EVENT_PARAM_VALUE &&
            ev->size >= sizeof(clap_event_param_value_t)) {
            auto* e = reinterpret_cast<const clap_event_param_value_t*>(ev);
            park_param(p, e->param_id, e->value);
        }
    }
}

void apply_pending(Plug& p) {
    uint64_t bits = p.pending.exchange(0, std::memory_order_acquire);
    while (bits) {
        int s = __builtin_ctzll(bits);
        bits &= bits - 1;
        uint32_t id = s < 48 ? uint32_t(16 * (s / 8) + s % 8) : uint32_t(1000 + (s - 48));
        apply_param(p, id, p.parked[s].load(std::memory_order_relaxed));
    }
}

namespace {

// Keys 48..55 select patterns 1..8 as the pattern buttons do: parameter 1007,
// queued to the next pattern end, and reported to the host when it gave an
// output list, so that it shows and records the new value.
// [engineMutex held] no allocation
bool select_pattern(Plug& p, int key, uint32_t velocity, uint32_t time, const clap_output_events_t* out) {
    if (key < 48 || key > 55) return false;
    if (velocity == 0) return true;  // a note that plays nothing selects nothing either
    const double value = double(key - 47);
    apply_param(p, 1007, value);
    if (out && out->try_push) {
        clap_event_param_value_t e{};
        e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        e.param_id = 1007;
        e.cookie = nullptr;
        e.note_id = -1;
        e.port_index = -1;
        e.channel = -1;
        e.key = -1;
        e.value = value;
        out->try_push(out, &e.header);
    }
    return true;
}

}  // namespace

void apply_event(Plug& p, const clap_event_header_t* ev, const clap_output_events_t* out) {
    if (!ev || ev->space_id != CLAP_CORE_EVENT_SPACE_ID) return;
    switch (ev->type) {
    case CLAP_EVENT_PARAM_VALUE: {
        if (ev->size < sizeof(clap_event_param_value_t)) return;
        auto* e = reinterpret_cast<const clap_event_param_value_t*>(ev);
        apply_param(p, e->param_id, e->value);
        break;
    }
    case CLAP_EVENT_NOTE_ON: {
        if (ev->size < sizeof(clap_event_note_t)) return;
        auto* e = reinterpret_cast<const clap_event_note_t*>(ev);
        double v = e->velocity;
        v = v >= 0.0 ? (v <= 1.0 ? v : 1.0) : 0.0;  // NaN gives 0
        const auto vel = static_cast<uint8_t>(std::lround(v * 127.0));
        if (select_pattern(p, e->key, vel, ev->time, out)) return;
        if (e->key < 36 || e->key > 41) return;
        brskern_midi(p.engine, 0x90, static_cast<uint8_t>(e->key), vel);
        break;
    }
    case CLAP_EVENT_MIDI: {
        if (ev->size < sizeof(clap_event_midi_t)) return;
        auto* e = reinterpret_cast<const clap_event_midi_t*>(ev);
        if ((e->data[0] & 0xF0u) == 0x90u && select_pattern(p, e->data[1], e->data[2], ev->time, out)) return;
        brskern_midi(p.engine, e->data[0], e->data[1], e->data[2]);
        break;
    }
    default: break;
    }
}

void drain_gevs(Plug& p, const clap_output_events_t* out) {
    // With gevMutex busy the set edits wait too, so that none overtakes a
    // host parameter edit made before it.
    if (!p.gevMutex.try_lock()) return;
    if (p.gevs.empty()) {
        p.gevMutex.unlock();
        apply_set_edits(p, UINT64_MAX);
        return;
    }
    // Swap with the spare array: the editor keeps appending into storage the
    // audio thread already owns, and nothing is freed here.
    p.gevSpare.clear();
    p.gevs.swap(p.gevSpare);
    p.gevMutex.unlock();

    for (const Plug::GEv& g : p.gevSpare) {
        apply_set_edits(p, g.seq);  // the set edits made before this one
        if (g.kind == 1) {
            apply_param(p, g.id, g.value);
            if (out && out->try_push) {
                clap_event_param_value_t e{};
                e.header = {sizeof e, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
                e.param_id = g.id;
                e.cookie = nullptr;
                e.note_id = -1;
                e.port_index = -1;
                e.channel = -1;
                e.key = -1;
                e.value = clamp_host(g.id, g.value);  // what was applied
                out->try_push(out, &e.header);
            }
        } else if (g.kind == 0 || g.kind == 2) {
            if (out && out->try_push) {
                clap_event_param_gesture_t e{};
                e.header = {sizeof e, 0, CLAP_CORE_EVENT_SPACE_ID,
                            uint16_t(g.kind == 0 ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END), 0};
                e.param_id = g.id;
                out->try_push(out, &e.header);
            }
        }
    }
    p.gevSpare.clear();
    apply_set_edits(p, UINT64_MAX);
}

// ---- "clap.params" ---------------------------------------------------------------------

namespace {

uint32_t pa_count(const clap_plugin_t*) { return 57; }

// [main thread]
bool pa_info(const clap_plugin_t* plugin, uint32_t index, clap_param_info_t* info) {
    if (index >= 57 || !info) return false;
    const Plug* p = from(plugin);
    std::memset(info, 0, sizeof *info);
    if (index < 48) {
        uint32_t t = index / 8, k = index % 8;
        info->id = 16 * t + k;
        info->flags = CLAP_PARAM_IS_AUTOMATABLE | (k == 7 ? uint32_t(CLAP_PARAM_IS_STEPPED) : 0u);
        info->cookie = nullptr;
        std::snprintf(info->name, sizeof info->name, "%s %s", TRACK_DE[t], TP[k].label);
        std::snprintf(info->module, sizeof info->module, "%s", TRACK_DE[t]);
        info->min_value = TP[k].min;
        info->max_value = TP[k].max;
        info->default_value = p->trackDefaults[t][k];
        return true;
    }
    const GlobalParam& g = GP[index - 48];
    info->id = g.id;
    info->flags = CLAP_PARAM_IS_AUTOMATABLE | (g.stepped ? uint32_t(CLAP_PARAM_IS_STEPPED) : 0u);
    std::snprintf(info->name, sizeof info->name, "%s", g.name);
    std::snprintf(info->module, sizeof info->module, "%s", "Summe");
    info->min_value = g.min;
    info->max_value = g.max;
    info->default_value = g.def;
    return true;
}

bool pa_value(const clap_plugin_t* plugin, clap_id id, double* out) {
    if (!out) return false;
    return cached_value(*from(plugin), id, out);
}

// Copies text into the host's buffer of cap bytes (cap > 0), cut at a
// character boundary so that a short buffer never ends inside a UTF-8
// sequence.
void put_text(char* buf, uint32_t cap, const char* text) {
    size_t n = std::strlen(text);
    if (n > cap - 1) {
        n = cap - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0u) == 0x80u) --n;
    }
    std::memcpy(buf, text, n);
    buf[n] = 0;
}

bool pa_v2t(const clap_plugin_t*, clap_id id, double v, char* buf, uint32_t cap) {
    if (!buf || cap == 0) return true;
    char t[400];  // "%.0f" of the largest double has 309 digits
    if (id < 1000) {
        switch (id & 15u) {
        case 1: std::snprintf(t, sizeof t, "%.0f Hz", v); break;
        case 3: std::snprintf(t, sizeof t, "%.0f ms", v * 1000.0); break;
        case 7: std::snprintf(t, sizeof t, "%s", v >= 0.5 ? "stumm" : "an"); break;
        default: std::snprintf(t, sizeof t, "%.2f", v); break;
        }
    } else {
        switch (id) {
        case 1002: std::snprintf(t, sizeof t, "%.0f %%", v); break;
        case 1003: std::snprintf(t, sizeof t, "%.0f ms", v * 1000.0); break;
        case 1006: std::snprintf(t, sizeof t, "%s", v >= 0.5 ? "ja" : "nein"); break;
        case 1007: std::snprintf(t, sizeof t, "%ld", round_host(v)); break;
        case 1008: std::snprintf(t, sizeof t, "%s", v >= 0.5 ? "laden" : "\u2013"); break;
        default: std::snprintf(t, sizeof t, "%.2f", v); break;
        }
    }
    put_text(buf, cap, t);
    return true;
}

// Skips ASCII blanks.
const char* skip_ws(const char* s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
    return s;
}

// True when s holds exactly word (ASCII case ignored), blanks around allowed.
bool is_word(const char* s, const char* word) {
    s = skip_ws(s);
    size_t n = std::strlen(word);
    if (strncasecmp(s, word, n) != 0) return false;
    return *skip_ws(s + n) == 0;
}

// The unit pa_v2t shows after the number of id ("" for none); the same
// classification as pa_v2t.
const char* unit_of(clap_id id) {
    if (id < 1000) return (id & 15u) == 1 ? "Hz" : ((id & 15u) == 3 ? "ms" : "");
    return id == 1002 ? "%" : (id == 1003 ? "ms" : "");
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number at s: optional sign, digits with at most one
// decimal point or comma, optional exponent. Independent of the process's
// locale. On success *end points just past the number.
bool read_number(const char* s, double* out, const char** end) {
    std::string num;
    const char* p = s;
    if (*p == '+' || *p == '-') {
        if (*p == '-') num += '-';
        ++p;
    }
    int digits = 0;
    while (is_digit(*p)) num += *p++, ++digits;
    if (*p == '.' || *p == ',') {
        num += '.';
        ++p;
        while (is_digit(*p)) num += *p++, ++digits;
    }
    if (digits == 0) return false;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (is_digit(*q)) {
            num += 'e';
            num.append(p + 1, q);
            while (is_digit(*q)) num += *q++;
            p = q;
        }
    }
    double v = 0.0;
    const auto r = std::from_chars(num.data(), num.data() + num.size(), v);
    if (r.ec != std::errc() || r.ptr != num.data() + num.size() || !std::isfinite(v)) return false;
    *out = v;
    *end = p;
    return true;
}

// Reads back every text pa_v2t writes, in any locale: a number with a
// decimal point or comma, followed by nothing or by the unit the parameter
// shows ("ms" is scaled to seconds; "Hz" and "%" are taken as they are), and
// the words of the switches. Anything else is refused. The value is kept to
// the parameter's declared range. [main thread]
bool pa_t2v(const clap_plugin_t*, clap_id id, const char* text, double* out) {
    if (!text || !out) return false;
    struct Word {
        const char* w;
        double v;
    };
    static const Word WORDS[] = {{"stumm", 1.0}, {"an", 0.0},    {"ja", 1.0}, {"nein", 0.0},
                                 {"laden", 1.0}, {"\u2013", 0.0}, {"-", 0.0}};
    for (const Word& w : WORDS) {
        if (is_word(text, w.w)) {
            *out = clamp_host(id, w.v);
            return true;
        }
    }
    double v = 0.0;
    const char* u = nullptr;
    if (!read_number(skip_ws(text), &v, &u)) return false;
    u = skip_ws(u);
    if (*u != 0) {
        const char* unit = unit_of(id);
        const size_t n = std::strlen(unit);
        if (n == 0 || strncasecmp(u, unit, n) != 0 || *skip_ws(u + n) != 0) return false;
        if (unit[0] == 'm') v /= 1000.0;
    }
    *out = clamp_host(id, v);
    return true;
}

// [main thread while inactive, audio thread while active] takes engineMutex
void pa_flush(const clap_plugin_t* plugin, const clap_input_events_t* in, const clap_output_events_t* out) {
    Plug* p = from(plugin);
    // While active the flush runs on the audio thread: like a block, it only
    // tries the lock and keeps the values for later when the main thread has it.
    std::unique_lock<std::mutex> g(p->engineMutex, std::defer_lock);
    if (p->active.load(std::memory_order_acquire)) {
        if (!g.try_lock()) {
            park_events(*p, in);
            return;
        }
    } else {
        g.lock();
    }
    apply_pending(*p);
    if (in && in->size && in->get) {
        uint32_t n = in->size(in);
        for (uint32_t i = 0; i < n; ++i) apply_event(*p, in->get(in, i), out);
    }
    drain_gevs(*p, out);
}

}  // namespace

const clap_plugin_params_t PA = {pa_count, pa_info, pa_value, pa_v2t, pa_t2v, pa_flush};

}  // namespace brs::plug
