// multi.cpp: "brisanto Multi", the plug-in with an output per track.
//
// Same instance, same engine, same parameters as the stereo plug-in; only the
// ports and the last step of rendering differ. Each track chooses its
// destination in Plug::route: 0 the main mix ("Summe"), 1 its own port. A
// track on its own port leaves the main mix's dry bus but keeps feeding delay
// and reverb through its sends, whose returns stay in the main mix. Its port
// carries its dry signal after the master drive curve and the master level,
// applied to that track alone, so a track sounds on its own channel as it did
// in the mix; the limiter guards the main mix only. The engine writes a track
// mono, the port gets it on both channels.
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "plugin/shell.h"

namespace brs::plug {
namespace {

const char* const FEAT_MULTI[] = {"instrument", "drum-machine", "synthesizer", "stereo", nullptr};

}  // namespace

const clap_plugin_descriptor_t DESC_MULTI = {
    CLAP_VERSION_INIT,
    "de.velmora.brisanto.multi",
    "brisanto Multi",
    "Velmora",
    "https://velmora.de/brisanto",
    "https://velmora.de/produkte",
    "https://velmora.de/hilfe",
    "0.3.0",
    "Hardcore-Groovebox mit Einzelausg\u00e4ngen: Summe und je ein Stereo-Ausgang f\u00fcr Kick, Bass, Hoover, "
    "Break, Hat, Stab",
    FEAT_MULTI,
};

uint32_t out_port_count(const Plug& p) { return p.multi ? 7 : 1; }

bool out_port_info(const Plug& p, uint32_t index, clap_audio_port_info_t* info) {
    if (!info || index >= out_port_count(p)) return false;
    std::memset(info, 0, sizeof *info);
    info->id = index;
    std::strncpy(info->name, index == 0 ? "Ausgang" : TRACK_DE[index - 1], sizeof info->name - 1);
    info->flags = index == 0 ? CLAP_AUDIO_PORT_IS_MAIN : 0;
    info->channel_count = 2;
    info->port_type = CLAP_PORT_STEREO;
    info->in_place_pair = CLAP_INVALID_ID;
    return true;
}

void track_ports(const Plug& p, const clap_process_t* pr, TrackPorts& tp) {
    tp = TrackPorts{};
    if (!p.multi || !pr->audio_outputs) return;
    for (uint32_t t = 0; t < 6; ++t) {
        if (pr->audio_outputs_count <= t + 1) break;
        const clap_audio_buffer_t* b = &pr->audio_outputs[t + 1];
        tp.bus[t] = b;
        if (!b->data32) continue;
        if (b->channel_count >= 1) tp.ch[t][0] = b->data32[0];
        if (b->channel_count >= 2) tp.ch[t][1] = b->data32[1];
        // Read once per block, so a change never splits one.
        tp.apart[t] = p.route[t].load(std::memory_order_relaxed) == 1 && (tp.ch[t][0] || tp.ch[t][1]);
        tp.anyApart |= tp.apart[t];
    }
}

void silence_tracks(const TrackPorts& tp, uint32_t from, uint32_t to) {
    for (int t = 0; t < 6; ++t) {
        const clap_audio_buffer_t* b = tp.bus[t];
        if (!b || !b->data32) continue;
        for (uint32_t c = 0; c < b->channel_count; ++c)
            if (float* ch = b->data32[c]) std::memset(ch + from, 0, sizeof(float) * (to - from));
    }
}

void render_apart(Plug& p, float* l, float* r, const TrackPorts& tp, uint32_t j, uint32_t e) {
    const std::size_t per = scratch_per_frame(p);
    const uint32_t cap = uint32_t(p.scratch.size() / per);
    if (cap == 0) {  // never activated
        if (l) std::memset(l + j, 0, sizeof(float) * (e - j));
        if (r) std::memset(r + j, 0, sizeof(float) * (e - j));
        silence_tracks(tp, j, e);
        return;
    }
    float* buf = p.scratch.data();
    float* own[6] = {};
    for (int t = 0; t < 6; ++t)
        if (tp.apart[t]) own[t] = buf + 2 * std::size_t(cap) + std::size_t(t) * cap;
    // Ports of tracks in the main mix, and channels beyond two, stay silent.
    for (int t = 0; t < 6; ++t) {
        const clap_audio_buffer_t* b = tp.bus[t];
        if (!b || !b->data32) continue;
        for (uint32_t c = tp.apart[t] ? 2 : 0; c < b->channel_count; ++c)
            if (float* ch = b->data32[c]) std::memset(ch + j, 0, sizeof(float) * (e - j));
    }
    while (j < e) {
        const uint32_t k = e - j < cap ? e - j : cap;
        brskern_process_split(p.engine, buf, tp.anyApart ? own : nullptr, k);
        if (l)
            for (uint32_t f = 0; f < k; ++f) l[j + f] = buf[2 * f];
        if (r)
            for (uint32_t f = 0; f < k; ++f) r[j + f] = buf[2 * f + 1];
        for (int t = 0; t < 6; ++t) {
            if (!own[t]) continue;
            for (int c = 0; c < 2; ++c)
                if (float* ch = tp.ch[t][c]) std::memcpy(ch + j, own[t], sizeof(float) * k);
        }
        j += k;
    }
}

std::string route_member(const Plug& p) {
    if (!p.multi) return {};
    std::string s = ",\"route\":[";
    for (int t = 0; t < 6; ++t) {
        if (t) s += ',';
        s += p.route[t].load(std::memory_order_relaxed) == 1 ? '1' : '0';
    }
    s += ']';
    return s;
}

void read_route(Plug& p, const std::string& tail) {
    uint8_t r[6] = {};
    if (std::size_t at = tail.find("\"route\":["); at != std::string::npos) {
        const char* c = tail.c_str() + at + 9;
        for (int t = 0; t < 6; ++t) {
            while (*c == ' ') ++c;
            char* end = nullptr;
            const long v = std::strtol(c, &end, 10);
            if (end == c) break;  // a short or broken list: the rest stay in the main mix
            r[t] = v == 1 ? 1 : 0;
            c = end;
            while (*c == ' ') ++c;
            if (*c != ',') break;
            ++c;
        }
    }
    for (int t = 0; t < 6; ++t) p.route[t].store(r[t], std::memory_order_relaxed);
}

}  // namespace brs::plug
