// entry.cpp: the CLAP entry, the factory, the instance lifecycle and the ports.
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "engine/engine.h"
#include "set/set.h"

#include "plugin/shell.h"

namespace brs::plug {
namespace {

// ---- descriptor ---------------------------------------------------------------

const char* const FEAT[] = {"instrument", "drum-machine", "synthesizer", "stereo", nullptr};

}  // namespace

const clap_plugin_descriptor_t DESC = {
    CLAP_VERSION_INIT,
    "de.velmora.brisanto",
    "BRISANTO",
    "Velmora",
    "https://velmora.de/brisanto",
    "https://velmora.de/produkte",
    "https://velmora.de/hilfe",
    "0.3.0",
    "Hardcore-Groovebox: Kick, Bass, Hoover, Break, Hat, Stab \u2014 Sequencer folgt dem Host, "
    "Noten 36\u201341 spielen die Spuren",
    FEAT,
};

namespace {

// ---- ports ----------------------------------------------------------------------

uint32_t ap_count(const clap_plugin_t* plugin, bool is_input) { return is_input ? 0 : out_port_count(*from(plugin)); }

bool ap_get(const clap_plugin_t* plugin, uint32_t index, bool is_input, clap_audio_port_info_t* info) {
    if (is_input) return false;
    return out_port_info(*from(plugin), index, info);
}

uint32_t np_count(const clap_plugin_t*, bool is_input) { return is_input ? 1 : 0; }

bool np_get(const clap_plugin_t*, uint32_t index, bool is_input, clap_note_port_info_t* info) {
    if (!is_input || index != 0 || !info) return false;
    std::memset(info, 0, sizeof *info);
    info->id = 0;
    // In the VST3 build the port takes CLAP notes only: there the adapter would
    // answer a MIDI dialect with 2,096 MIDI-controller parameters, while VST3
    // hosts deliver notes as note events and no MIDI Start or Stop at all.
    info->supported_dialects = in_vst3_build() ? CLAP_NOTE_DIALECT_CLAP : CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_CLAP;
    std::strncpy(info->name, "Noten 36\u201341", sizeof info->name - 1);
    return true;
}

// The VST3 adapter's plug-in extension (VST3 build only): the note port's
// event bus carries all 16 MIDI channels (the tracks answer on any channel),
// and no note expression is taken.
uint32_t v3_channels(const clap_plugin_t*, uint32_t) { return 16; }
uint32_t v3_expressions(const clap_plugin_t*) { return 0; }
const clap_plugin_as_vst3_t AS_VST3 = {v3_channels, v3_expressions};

const clap_plugin_audio_ports_t AP = {ap_count, ap_get};
const clap_plugin_note_ports_t NPX = {np_count, np_get};

// ---- plug-in callbacks --------------------------------------------------------------

// The global parameters re-applied at activation (GP order without 1007, 1008).
void reapply_cache(Plug& p) {
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t k = 0; k < 8; ++k) apply_param(p, 16 * t + k, p.trackValues[t][k].load(std::memory_order_relaxed));
    for (const GlobalParam& g : GP) {
        if (g.id == 1007 || g.id == 1008) continue;
        apply_param(p, g.id, p.globalValues[g.id - 1000].load(std::memory_order_relaxed));
    }
}

// [main thread] looks up the host extensions used on the audio thread
bool pl_init(const clap_plugin_t* plugin) {
    Plug* p = from(plugin);
    if (p->host && p->host->get_extension)
        p->hostTail = static_cast<const clap_host_tail_t*>(p->host->get_extension(p->host, CLAP_EXT_TAIL));
    return true;
}

// [main thread] editor, engine, queue, status and record, in that order
void pl_destroy(const clap_plugin_t* plugin) {
    Plug* p = from(plugin);
    stop_importer(*p);  // an import under way ends first
    if (p->gui) gui_destroy(plugin);
    brskern_free(p->engine);
    p->engine = nullptr;
    brskern_free(p->stage);
    p->stage = nullptr;
    brskern_free(p->view);
    p->view = nullptr;
    delete p;
}

// [main thread] takes engineMutex only to copy the set, swap the engine and
// re-apply the cache; the document round trip runs outside it
bool pl_activate(const clap_plugin_t* plugin, double rate, uint32_t, uint32_t maxFrames) {
    Plug* p = from(plugin);
    p->maxFrames.store(maxFrames, std::memory_order_relaxed);
    const double blockNs = rate > 0.0 ? double(maxFrames) / rate * 1e9 : 0.0;
    p->blockNs.store(blockNs < 1e10 ? int64_t(blockNs) : int64_t(1e10), std::memory_order_relaxed);
    std::lock_guard<std::mutex> sg(p->stageMutex);  // no save, load or import meanwhile
    brskern_t fresh = nullptr;
    if (!p->engine || rate != p->sampleRate) {
        // The new engine is built before the old one goes, so that running out
        // of memory keeps the old engine and the user's set, and the host
        // learns that activation failed.
        fresh = brskern_new(static_cast<float>(rate));
        if (!fresh) return false;
        if (p->engine) {
            // Carry the set across the rebuild as a set document, formatted
            // from a copy and read into the new engine without the lock.
            bool carried = false;
            try {
                if (brskern_t st = stage_engine(*p)) {
                    {
                        std::lock_guard<std::mutex> g(p->engineMutex);
                        // Set edits still queued go with the set (those a
                        // waiting host parameter edit holds back follow it
                        // into the new engine later, in their order).
                        apply_set_edits(*p, first_gev_seq(*p, true));
                        brs::copy_set_fields(*st, *p->engine);
                    }
                    size_t n = brskern_save_set(st, nullptr, 0);
                    std::string text(n, '\0');
                    carried = n && brskern_save_set(st, text.data(), n) == n && brskern_load_set(fresh, text.c_str());
                }
            } catch (const std::bad_alloc&) {
            }
            if (!carried) {
                brskern_free(fresh);
                return false;
            }
        }
    }
    brskern_t old = nullptr;
    {
        std::lock_guard<std::mutex> g(p->engineMutex);
        if (!size_scratch(*p, maxFrames)) {
            brskern_free(fresh);
            return false;
        }
        if (fresh) {
            old = p->engine;
            p->engine = fresh;
            p->sampleRate = rate;
        }
        reapply_cache(*p);
        update_tail(*p);  // the host hears of it with the next block
        p->active.store(true, std::memory_order_release);
    }
    brskern_free(old);
    return true;
}

void pl_deactivate(const clap_plugin_t* plugin) { from(plugin)->active.store(false, std::memory_order_release); }
bool pl_start(const clap_plugin_t*) { return true; }
void pl_stop(const clap_plugin_t*) {}

// [audio thread] never waits: with engineMutex busy the reset is carried out
// at the start of the next block that gets it
void pl_reset(const clap_plugin_t* plugin) {
    Plug* p = from(plugin);
    if (!p->engineMutex.try_lock()) {
        park_reset(*p);
        return;
    }
    apply_pending(*p);  // what blocks before the reset carried comes first
    catch_up(*p);
    reset_engine(*p);
    p->engineMutex.unlock();
}

// [audio thread]
clap_process_status pl_process(const clap_plugin_t* plugin, const clap_process_t* process) {
    if (!process) return CLAP_PROCESS_CONTINUE;
    return from(plugin)->process(process);
}

const void* pl_ext(const clap_plugin_t*, const char* id) {
    if (!id) return nullptr;
    if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return &AP;
    if (std::strcmp(id, CLAP_EXT_NOTE_PORTS) == 0) return &NPX;
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &PA;
    if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &ST;
    if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &GUI;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &TIMER;
    if (in_vst3_build() && std::strcmp(id, CLAP_PLUGIN_AS_VST3) == 0) return &AS_VST3;
    if (std::strcmp(id, CLAP_EXT_NOTE_NAME) == 0) return &NOTE_NAMES;
    if (std::strcmp(id, CLAP_EXT_TAIL) == 0) return &TAIL;
    if (std::strcmp(id, CLAP_EXT_RENDER) == 0) return &RENDER;
    if (std::strcmp(id, CLAP_EXT_REMOTE_CONTROLS) == 0 || std::strcmp(id, CLAP_EXT_REMOTE_CONTROLS_COMPAT) == 0)
        return &REMOTE;
    if (std::strcmp(id, CLAP_EXT_PRESET_LOAD) == 0 || std::strcmp(id, CLAP_EXT_PRESET_LOAD_COMPAT) == 0)
        return &PRESET_LOAD;
    return nullptr;
}

// [main thread] serves a set-import request raised by parameter 1008
void pl_main(const clap_plugin_t* plugin) {
    Plug* p = from(plugin);
    settle_import(*p);
    if (!p->loadRequest.exchange(false)) return;
    if (!p->load_file()) return;
    rescan_values(*p);
}

// ---- default groove ---------------------------------------------------------------

struct GrooveStep {
    uint8_t track, step, acc, note, rat;
};
constexpr GrooveStep GROOVE[] = {
    {0, 0, 1, 0, 1},  {0, 4, 0, 0, 1},  {0, 8, 0, 0, 1},  {0, 12, 0, 0, 1},
    {1, 2, 1, 0, 1},  {1, 6, 0, 0, 1},  {1, 10, 0, 0, 1}, {1, 14, 0, 0, 1}, {1, 7, 0, 3, 1},
    {4, 1, 0, 0, 1},  {4, 5, 0, 0, 1},  {4, 9, 0, 0, 1},  {4, 13, 0, 0, 1},
    {4, 3, 1, 0, 1},  {4, 7, 1, 0, 1},  {4, 11, 1, 0, 1}, {4, 15, 1, 0, 2},
    {5, 4, 0, 0, 1},  {5, 12, 1, 0, 1},
};

// ---- factory -------------------------------------------------------------------------

uint32_t f_count(const clap_plugin_factory_t*) { return 2; }

const clap_plugin_descriptor_t* f_desc(const clap_plugin_factory_t*, uint32_t index) {
    return index == 0 ? &DESC : index == 1 ? &DESC_MULTI : nullptr;
}

// [main thread] allocates
const clap_plugin_t* f_create(const clap_plugin_factory_t*, const clap_host_t* host, const char* id) {
    if (!host || host->clap_version.major == 0) return nullptr;
    if (!id) return nullptr;
    const bool multi = std::strcmp(id, DESC_MULTI.id) == 0;
    if (!multi && std::strcmp(id, DESC.id) != 0) return nullptr;
    Plug* p = new (std::nothrow) Plug();
    if (!p) return nullptr;
    p->multi = multi;
    p->host = host;
    p->sampleRate = 48000.0;
    p->plugin.desc = multi ? &DESC_MULTI : &DESC;
    p->plugin.plugin_data = p;
    p->plugin.init = pl_init;
    p->plugin.destroy = pl_destroy;
    p->plugin.activate = pl_activate;
    p->plugin.deactivate = pl_deactivate;
    p->plugin.start_processing = pl_start;
    p->plugin.stop_processing = pl_stop;
    p->plugin.reset = pl_reset;
    p->plugin.process = pl_process;
    p->plugin.get_extension = pl_ext;
    p->plugin.on_main_thread = pl_main;

    p->engine = brskern_new(48000.0f);
    for (const GrooveStep& s : GROOVE) brskern_set_step(p->engine, 0, s.track, s.step, 1, s.acc, s.note, s.rat, 0, 0);

    // The editor's copy of the set; rendered never, so a low rate keeps it small.
    p->view = brskern_new(8000.0f);
    if (p->view) brs::copy_set_fields(*p->view, *p->engine);
    p->viewPubBpm = p->pubBpm.load(std::memory_order_relaxed);

    refresh_cache(*p);
    for (int t = 0; t < 6; ++t)
        for (int k = 0; k < 8; ++k) p->trackDefaults[t][k] = p->trackValues[t][k].load(std::memory_order_relaxed);
    p->globalValues[6].store(1.0, std::memory_order_relaxed);
    p->globalValues[7].store(1.0, std::memory_order_relaxed);
    p->globalValues[8].store(0.0, std::memory_order_relaxed);
    for (double& v : p->hostSeen) v = std::nan("");
    // Without the worker an import waits for the host's main-thread callback,
    // as it does in every CLAP host.
    start_importer(*p);
    update_tail(*p);
    p->tailDirty.store(false, std::memory_order_relaxed);  // nothing to tell a host that never asked
    return &p->plugin;
}

const clap_plugin_factory_t FACTORY = {f_count, f_desc, f_create};

// ---- entry -------------------------------------------------------------------------------

bool brisanto_entry_init(const char*) { return true; }
void brisanto_entry_deinit() {}
const void* brisanto_entry_get_factory(const char* id) {
    if (!id) return nullptr;
    if (std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0) return &FACTORY;
    if (std::strcmp(id, CLAP_PRESET_DISCOVERY_FACTORY_ID) == 0 ||
        std::strcmp(id, CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT) == 0)
        return &PRESET_FACTORY;
    return nullptr;
}

}  // namespace
}  // namespace brs::plug

extern "C" __attribute__((visibility("default"))) const clap_plugin_entry_t clap_entry = {
    CLAP_VERSION_INIT,
    brs::plug::brisanto_entry_init,
    brs::plug::brisanto_entry_deinit,
    brs::plug::brisanto_entry_get_factory,
};
