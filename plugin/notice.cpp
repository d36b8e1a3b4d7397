// notice.cpp: the notices the plug-in gives its host, guarded for the VST3
// adapter, and the set import that a worker takes up where the host serves
// no main-thread callback.
#include <chrono>
#include <cmath>

#include "plugin/shell.h"
#include "vst3/gate.h"

namespace brs::plug {
namespace {

// The VST3 build's view of its adapter; null in brisanto.clap.
const brs_vst3_gate_t* gate() { return &brs_vst3_gate; }

// How often the import worker looks for a request.
constexpr auto IMPORT_POLL = std::chrono::milliseconds(100);

void import_loop(Plug* p) {
    std::unique_lock<std::mutex> lk(p->importMutex);
    while (!p->importQuit) {
        p->importWake.wait_for(lk, IMPORT_POLL);
        if (p->importQuit) break;
        if (!p->loadRequest.exchange(false)) continue;
        lk.unlock();
        const Plug::ImportOutcome o = p->import_file();
        if (o == Plug::ImportOutcome::LOADED) p->announce.store(true, std::memory_order_release);
        p->importDone.store(int(o) + 1, std::memory_order_release);
        lk.lock();
    }
}

}  // namespace

bool in_vst3_build() { return gate() != nullptr; }

bool host_takes_notice(const Plug& p) {
    const brs_vst3_gate_t* g = gate();
    return !g || !g->can_notify || g->can_notify(p.host);
}

void rescan_values(Plug& p) {
    const clap_host_params_t* hp = host_params(p);
    if (!hp || !hp->rescan) return;
    if (host_takes_notice(p))
        hp->rescan(p.host, CLAP_PARAM_RESCAN_VALUES);
    else if (const brs_vst3_gate_t* g = gate(); g && g->refresh_values)
        g->refresh_values(p.host);
    note_host_values(p);
}

namespace {

// The 57 parameter ids with their cache slots.
template <class F>
void each_param(F&& f) {
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t k = 0; k < 8; ++k) f(16 * t + k, slot_of(16 * t + k));
    for (const GlobalParam& g : GP) f(g.id, slot_of(g.id));
}

// The declared default of a parameter: what the adapter's copy starts at.
double declared_default(const Plug& p, uint32_t id) {
    if (id < 96) return p.trackDefaults[id >> 4][id & 15u];
    return GP[id - 1000].def;
}

// Equal up to the rounding of the adapter's normalised round trip.
bool same_value(uint32_t id, double a, double b) {
    const double lo = clamp_host(id, -HUGE_VAL), hi = clamp_host(id, HUGE_VAL);
    return std::fabs(a - b) <= 1e-9 * (hi - lo);
}

}  // namespace

void note_host_values(Plug& p) {
    const brs_vst3_gate_t* g = gate();
    if (!g || !g->host_value) return;
    each_param([&](uint32_t id, int s) {
        double v = 0.0;
        if (g->host_value(p.host, id, &v)) p.hostSeen[s] = v;
    });
}

void take_host_values(Plug& p) {
    const brs_vst3_gate_t* g = gate();
    if (!g || !g->host_value) return;
    struct Change {
        uint32_t id;
        double value;
    };
    Change changes[64];
    double now[64];
    bool known[64]{};
    int n = 0;
    each_param([&](uint32_t id, int s) {
        double v = 0.0;
        if (!g->host_value(p.host, id, &v)) return;
        known[s] = true;
        now[s] = v;
        const double seen = std::isnan(p.hostSeen[s]) ? declared_default(p, id) : p.hostSeen[s];
        if (same_value(id, v, seen)) return;  // the host did not touch it
        double mine = 0.0;
        cached_value(p, id, &mine);
        if (!same_value(id, v, mine)) changes[n++] = {id, v};
    });
    if (n > 0) {
        // A block under way means the host is processing and brings its
        // values itself; they are looked at again at the next save.
        if (!p.engineMutex.try_lock()) return;
        for (int i = 0; i < n; ++i) apply_param(p, changes[i].id, clamp_host(changes[i].id, changes[i].value));
        p.engineMutex.unlock();
    }
    for (int s = 0; s < 64; ++s)
        if (known[s]) p.hostSeen[s] = now[s];
}

void settle_import(Plug& p) {
    const int done = p.importDone.exchange(0, std::memory_order_acquire);
    if (done == 0) return;
    const auto o = Plug::ImportOutcome(done - 1);
    p.status = import_status(o);
    // The host's copies of the values follow at once where it can be told;
    // the next block reports them in any case (announce).
    if (o == Plug::ImportOutcome::LOADED) rescan_values(p);
}

bool start_importer(Plug& p) {
    if (!gate()) return true;  // the host serves the main-thread callback itself
    try {
        p.importer = std::thread(import_loop, &p);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void stop_importer(Plug& p) {
    if (!p.importer.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(p.importMutex);
        p.importQuit = true;
    }
    p.importWake.notify_one();
    p.importer.join();
}

void announce_values(Plug& p, const clap_output_events_t* out) {
    if (!out || !out->try_push) return;
    auto push = [&](uint32_t id, double v) {
        clap_event_param_value_t e{};
        e.header.size = sizeof e;
        e.header.time = 0;
        e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
        e.header.type = CLAP_EVENT_PARAM_VALUE;
        e.param_id = id;
        e.note_id = -1;
        e.port_index = -1;
        e.channel = -1;
        e.key = -1;
        e.value = v;
        out->try_push(out, &e.header);
    };
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t k = 0; k < 8; ++k) push(16 * t + k, p.trackValues[t][k].load(std::memory_order_relaxed));
    for (const GlobalParam& g : GP) push(g.id, p.globalValues[g.id - 1000].load(std::memory_order_relaxed));
}

}  // namespace brs::plug
