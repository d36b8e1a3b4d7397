// handover.cpp: how the main thread reads and replaces the engine's set while
// the audio thread keeps rendering.
//
// While the host processes, the main thread never takes engineMutex for a
// save, a load or an import: a block that met the lock busy would be silent.
// Instead it posts one request in Plug::mail, and the audio thread serves it
// at the start of its next block, where it holds engineMutex anyway:
//
//   copy       the live engine's set is copied into the stage engine: the
//              pattern store, the song chain and a few scalars, a bounded
//              copy into room the main thread made beforehand, so nothing is
//              allocated. The main thread then formats a document from the
//              stage, or parses one into it, without any lock.
//   hand-over  the stage, holding a freshly loaded set, trades its set fields
//              with the live engine (vector swaps and scalars: constant time,
//              nothing allocated or freed). The old set goes back to the main
//              thread inside the stage and is freed or reused there.
//
// A request lives in one atomic: IDLE -> POSTED (main) -> TAKEN -> DONE
// (audio) -> IDLE (main). Whoever moves it out of POSTED serves it: the audio
// thread by POSTED -> TAKEN, or the main thread, when no block comes (the host
// does not process, or processes on this very thread), by POSTED -> IDLE,
// after which it serves the request itself under engineMutex, holding the
// lock for the same short copy or swap. So every request is served exactly
// once, and its fields are handed over by the release/acquire pairs on state.
//
// A load reads its document against the set copied at one block boundary and
// is swapped in at a later one. Parameter values that reached the engine in
// between (Plug::sinceCopy) are applied again after the swap, so the result
// is that of the load at the copy followed by those values, never a mixture.
#include <pthread.h>

#include <chrono>
#include <new>
#include <thread>

#include "engine/engine.h"
#include "plugin/shell.h"
#include "set/set.h"

namespace brs::plug {
namespace {

enum : int { IDLE = 0, POSTED = 1, TAKEN = 2, DONE = 3 };
enum : int { COPY = 1, SWAP = 2 };

// How long the main thread waits for a block before it serves a request
// itself; and how recent the last block must be for it to wait at all. Both
// grow by two of the host's largest blocks.
constexpr int64_t WAIT_NS = 250'000'000;
constexpr int64_t ALIVE_NS = 50'000'000;
// The stage is never rendered: a low rate keeps its lines small.
constexpr float STAGE_RATE = 8000.0f;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool audio_running(const Plug& p) {
    if (!p.active.load(std::memory_order_acquire)) return false;
    if (p.audioThread.load(std::memory_order_relaxed) == static_cast<unsigned long>(pthread_self())) return false;
    const int64_t alive = ALIVE_NS + 2 * p.blockNs.load(std::memory_order_relaxed);
    return now_ns() - p.lastProcessNs.load(std::memory_order_relaxed) < alive;
}

namespace {

// Carries out the posted request. [engineMutex held, either thread] no allocation
void serve(Plug& p) {
    Plug::Mail& m = p.mail;
    Engine& live = *p.engine;
    Engine& st = *p.stage;
    if (m.kind == COPY) {
        // Copying into a stage without room would allocate: say how much is needed instead.
        if (st.song.capacity() < live.song.size() || st.pats.capacity() < live.pats.size()) {
            m.songNeeded = live.song.size();
            m.ok = false;
            return;
        }
        // Every set edit queued before the copy is in it: those the host
        // parameter edits still waiting let through go to the engine first,
        // the rest only into the copy, and reach the engine in their order.
        apply_set_edits(p, first_gev_seq(p, false));
        copy_set_fields(st, live);
        peek_set_edits(p, st);
        p.sinceCopy = 0;
        m.ok = true;
        return;
    }
    // Hand-over: remember the values applied since the copy, swap, let the
    // caller refresh the cache, then apply those values again.
    uint64_t again = p.sinceCopy;
    double values[64];
    for (uint64_t bits = again; bits; bits &= bits - 1) {
        const int s = __builtin_ctzll(bits);
        values[s] = slot_ref(p, s).load(std::memory_order_relaxed);
    }
    swap_set_fields(live, st);
    discard_set_edits(p);  // edits queued before a load never mix into the loaded set
    if (m.after) m.after(p, m.ctx);
    for (uint64_t bits = again; bits; bits &= bits - 1) {
        const int s = __builtin_ctzll(bits);
        const uint32_t id = s < 48 ? uint32_t(16 * (s / 8) + s % 8) : uint32_t(1000 + (s - 48));
        apply_param(p, id, values[s]);
    }
    m.ok = true;
}

// Posts a request and returns once it was served. [main thread, stageMutex held]
bool run(Plug& p, int kind, void (*after)(Plug&, void*), void* ctx) {
    Plug::Mail& m = p.mail;
    m.kind = kind;
    m.after = after;
    m.ctx = ctx;
    m.ok = false;
    m.songNeeded = 0;
    if (audio_running(p)) {
        m.state.store(POSTED, std::memory_order_release);
        const int64_t deadline = now_ns() + WAIT_NS + 2 * p.blockNs.load(std::memory_order_relaxed);
        for (;;) {
            const int s = m.state.load(std::memory_order_acquire);
            if (s == DONE) {
                m.state.store(IDLE, std::memory_order_relaxed);
                return m.ok;
            }
            if (s == POSTED && (now_ns() > deadline || !audio_running(p))) {
                int expected = POSTED;
                if (m.state.compare_exchange_strong(expected, IDLE, std::memory_order_acq_rel)) break;
                continue;  // the audio thread took it meanwhile
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    std::lock_guard<std::mutex> g(p.engineMutex);
    serve(p);
    return m.ok;
}

}  // namespace

void serve_mail(Plug& p) {
    int expected = POSTED;
    if (p.mail.state.load(std::memory_order_relaxed) != POSTED ||
        !p.mail.state.compare_exchange_strong(expected, TAKEN, std::memory_order_acq_rel))
        return;
    serve(p);
    p.mail.state.store(DONE, std::memory_order_release);
}

void note_process_call(Plug& p) {
    p.lastProcessNs.store(now_ns(), std::memory_order_relaxed);
    p.audioThread.store(static_cast<unsigned long>(pthread_self()), std::memory_order_relaxed);
}

brskern_t stage_engine(Plug& p) {
    if (!p.stage) p.stage = brskern_new(STAGE_RATE);
    return p.stage;
}

StageAccess::StageAccess(Plug& p) : p_(p), lock_(p.stageMutex) {}

brskern_t StageAccess::copy() {
    Engine* st = stage_engine(p_);
    if (!st) return nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (run(p_, COPY, nullptr, nullptr)) return st;
        try {
            st->song.reserve(p_.mail.songNeeded + SONG_RESERVE);
            st->pats.reserve(NUM_PATTERNS);
        } catch (const std::exception&) {
            return nullptr;
        }
    }
    return nullptr;
}

bool StageAccess::hand_over(void (*after)(Plug&, void*), void* ctx) {
    Engine* st = p_.stage;
    if (!st) return false;
    try {
        st->ensureCapacity();  // the room the live engine keeps after the swap
    } catch (const std::bad_alloc&) {
        return false;
    }
    return run(p_, SWAP, after, ctx);
}

}  // namespace brs::plug
