// handover.cpp: how the main thread reads and replaces the engine's set while
// the audio thread keeps rendering.
//
// A save, a load or an import never holds engineMutex for its parse or its
// formatting: a block that met the lock busy that long would be silent.
// Instead the main thread posts one request in Plug::mail, which is served
// with engineMutex held only for a short, bounded step, by the audio thread
// where it holds the lock anyway, or by the main thread itself:
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
// thread by POSTED -> TAKEN, at the start of a block and between the pieces
// a block is rendered in (at most 8192 frames each), or the main thread by
// POSTED -> IDLE under engineMutex, after which it serves the request itself,
// holding the lock only for the same short copy or swap. So every request is
// served exactly once, and its fields are handed over by the release/acquire
// pairs on state (or by the lock).
//
// The main thread never waits long, in any threading model of a host:
//
//   - While blocks come (the last one less than 50 ms ago), it leaves the
//     request to the audio thread for up to 1 ms, which serves it at no cost.
//   - Then, and at once when no block came lately (the host paused, or runs
//     process on this very thread, or serialises process with this call
//     under a lock of its own so that no block can come), it serves the
//     request itself whenever no block is in progress (Plug::inProcess).
//   - While a block is in progress, that block serves it at its next piece,
//     so the wait is at most the rendering of one piece, whatever the
//     largest block the host announced.
//
// A block that meets engineMutex held by the main thread for such a hand-over
// (Plug::mainServing) does not output silence: it spins on the lock for a
// bounded time (about 300 us, read from the time-stamp counter; pause
// instructions, no system call, no sleeping), which covers the copy or swap
// of a set (microseconds; a song chain of a million entries some hundred)
// many times over. Only when the main thread
// is preempted while it holds the lock does the block give up and go the way
// of any block that misses the lock: silent, its events kept for the next.
//
// A load reads its document against the set copied at one block boundary and
// is swapped in at a later one. Parameter values that reached the engine in
// between (Plug::sinceCopy) are applied again after the swap, so the result
// is that of the load at the copy followed by those values, never a mixture.
#include <pthread.h>
#include <x86intrin.h>

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

// How long the main thread leaves a request to a playing audio thread, and
// how recent the last block must be for it to count as playing (the window
// grows by two of the host's largest blocks). Several blocks of 64 to 256
// frames: with such blocks the audio thread serves nearly every request, so
// the main thread rarely holds the lock while blocks come.
constexpr int64_t LEAVE_NS = 5'000'000;
constexpr int64_t ALIVE_NS = 50'000'000;
// How long the main thread waits for a request on the processor before it
// sleeps between looks.
constexpr int64_t SPIN_WAIT_NS = 3'000'000;
// How long a block spins for engineMutex while the main thread holds it for
// a hand-over, in time-stamp counter ticks (read without a system call):
// about 300 us at 3 GHz, a quarter of a 64-frame block at 48 kHz, and many
// times the longest such hold.
constexpr uint64_t SPIN_TICKS = 900'000;
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

// Serves the posted request on this thread, unless a block is in progress
// (it serves the request itself) or engineMutex is busy. [main thread]
bool serve_here(Plug& p) {
    if (p.inProcess.load()) return false;
    p.mainServing.store(true);
    bool served = false;
    if (p.engineMutex.try_lock()) {
        int expected = POSTED;
        if (p.mail.state.compare_exchange_strong(expected, IDLE, std::memory_order_acq_rel)) {
            serve(p);
            served = true;
        }
        p.engineMutex.unlock();
    }
    p.mainServing.store(false, std::memory_order_release);
    return served;
}

// Posts a request and returns once it was served. [main thread, stageMutex held]
bool run(Plug& p, int kind, void (*after)(Plug&, void*), void* ctx) {
    Plug::Mail& m = p.mail;
    m.kind = kind;
    m.after = after;
    m.ctx = ctx;
    m.ok = false;
    m.songNeeded = 0;
    m.state.store(POSTED, std::memory_order_release);
    const int64_t start = now_ns();
    const bool leave = audio_running(p);
    for (;;) {
        const int s = m.state.load(std::memory_order_acquire);
        if (s == DONE) {
            m.state.store(IDLE, std::memory_order_relaxed);
            break;
        }
        const int64_t waited = now_ns() - start;
        if (s == POSTED && !(leave && waited < LEAVE_NS) && serve_here(p)) break;
        // The first milliseconds are spent on the processor: a thread that
        // sleeps on a busy machine may get it back only milliseconds later.
        if (waited < SPIN_WAIT_NS) {
            for (int i = 0; i < 64; ++i) __builtin_ia32_pause();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    p.mailWaitNs += now_ns() - start;
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

bool lock_for_block(Plug& p) {
    if (p.engineMutex.try_lock()) return true;
    if (!p.mainServing.load(std::memory_order_acquire)) return false;
    const uint64_t until = __rdtsc() + SPIN_TICKS;
    while (p.mainServing.load(std::memory_order_acquire) && __rdtsc() < until) {
        for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
        if (p.engineMutex.try_lock()) return true;
    }
    return p.engineMutex.try_lock();
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
