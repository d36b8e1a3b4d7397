// setedit.cpp: the set-edit queue between the editor and the engine, and the
// editor's copy of the set.
#include "plugin/setedit.h"

#include <algorithm>
#include <cmath>

#include "plugin/shell.h"

namespace brs::plug {
namespace {

// The six host parameter sound values, in TP order.
constexpr int HOST_INDEX[7] = {P_LEVEL, P_CUT, P_RES, P_DECAY, P_DRIVE, P_DELAY_SEND, P_REVERB_SEND};

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

void clear_track(Pattern& pat, int t) {
    // Blank steps; the break keeps walking through the loop's sixteen slices,
    // so a cleared break played step by step sounds like the loop again.
    for (int i = 0; i < NUM_STEPS; ++i)
        pat.steps[t][i] = Step{0, 0, 0, 1, static_cast<uint8_t>(t == 3 ? i % 16 : 0), 0};
}

}  // namespace

bool is_host_param_index(int index) {
    for (int h : HOST_INDEX)
        if (h == index) return true;
    return false;
}

void apply_set_edit(Engine& e, const SetEdit& s) {
    switch (s.kind) {
    case SE_STEP:
        if (s.a < e.pats.size() && s.b < NUM_TRACKS && s.c < NUM_STEPS) {
            Step st = s.step;
            if (st.rat == 0) st.rat = 1;
            e.pats[s.a].steps[s.b][s.c] = st;
        }
        break;
    case SE_PARAM:
        if (s.a < NUM_TRACKS && s.b < NUM_PARAMS && !is_host_param_index(s.b) && std::isfinite(s.value))
            e.tracks[s.a].p[s.b] = clampf(s.value, PARAM_RANGES[s.b].lo, PARAM_RANGES[s.b].hi);
        break;
    case SE_WAVE:
        if (s.a < NUM_TRACKS) e.tracks[s.a].wave = s.value != 0.0f ? 1 : 0;
        break;
    case SE_LEN:
        if (std::isfinite(s.value)) e.len = uint64_t(std::lround(clampf(s.value, 1.0f, 64.0f)));
        break;
    case SE_BPM:
        if (std::isfinite(s.value)) e.bpm = clampf(s.value, 60.0f, 260.0f);
        break;
    case SE_START: e.start(); break;
    case SE_STOP: e.playing = false; break;
    case SE_SONG_LEN: {
        // Within the room every engine keeps: resizing never allocates.
        const float n = std::isfinite(s.value) ? clampf(s.value, 0.0f, float(SONG_EDIT_MAX)) : 0.0f;
        const std::size_t want = std::size_t(n);
        if (want <= e.song.capacity()) e.song.resize(want, SongEntry{0, 1});
        break;
    }
    case SE_SONG_ENTRY:
        if (s.c < e.song.size()) e.song[s.c] = SongEntry{uint8_t(s.a & 7u), uint8_t(s.b ? s.b : 1)};
        break;
    case SE_CLEAR:
        if (s.a < e.pats.size()) {
            if (s.b < NUM_TRACKS) clear_track(e.pats[s.a], s.b);
            else
                for (int t = 0; t < NUM_TRACKS; ++t) clear_track(e.pats[s.a], t);
        }
        break;
    case SE_COPY:
        if (s.a < e.pats.size() && s.b < e.pats.size() && s.a != s.b) {
            e.pats[s.b] = e.pats[s.a];
            const std::size_t per = AUTOM_SIZE / NUM_PATTERNS;
            if (e.autom.size() >= AUTOM_SIZE)
                std::copy_n(e.autom.begin() + std::ptrdiff_t(s.a * per), per, e.autom.begin() + std::ptrdiff_t(s.b * per));
        }
        break;
    default: break;
    }
}

bool send_set_edits(Plug& p, SetEdit* edits, std::size_t n) {
    if (n == 0) return true;
    if (n > SET_EDIT_CAP) return false;
    auto room = [&p] { return SET_EDIT_CAP - (p.setTail.load(std::memory_order_relaxed) - p.setHead.load(std::memory_order_acquire)); };
    if (room() < n) {
        // The queue is full: no block took it for a long while. Apply it
        // here rather than lose or reorder anything.
        std::lock_guard<std::mutex> g(p.engineMutex);
        apply_set_edits(p, first_gev_seq(p, true));
        publish_play(p);
    }
    if (room() < n) return false;
    uint32_t tail = p.setTail.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) {
        edits[i].seq = ++p.editSeq;
        p.setq[tail % SET_EDIT_CAP] = edits[i];
        ++tail;
    }
    p.setTail.store(tail, std::memory_order_release);
    if (p.view) {
        for (std::size_t i = 0; i < n; ++i)
            if (edits[i].kind != SE_START && edits[i].kind != SE_STOP) apply_set_edit(*p.view, edits[i]);
        ++p.viewGen;
    }
    settle_set_edits(p);
    return true;
}

void apply_set_edits(Plug& p, uint64_t limit) {
    uint32_t head = p.setHead.load(std::memory_order_relaxed);
    const uint32_t tail = p.setTail.load(std::memory_order_acquire);
    while (head != tail) {
        const SetEdit& s = p.setq[head % SET_EDIT_CAP];
        if (s.seq >= limit) break;
        apply_set_edit(*p.engine, s);
        ++head;
    }
    p.setHead.store(head, std::memory_order_release);
}

void peek_set_edits(const Plug& p, Engine& e) {
    const uint32_t tail = p.setTail.load(std::memory_order_acquire);
    for (uint32_t h = p.setHead.load(std::memory_order_relaxed); h != tail; ++h) {
        const SetEdit& s = p.setq[h % SET_EDIT_CAP];
        if (s.kind != SE_START && s.kind != SE_STOP) apply_set_edit(e, s);
    }
}

void discard_set_edits(Plug& p) {
    p.setHead.store(p.setTail.load(std::memory_order_acquire), std::memory_order_release);
}

uint64_t first_gev_seq(Plug& p, bool wait) {
    if (wait) {
        p.gevMutex.lock();
    } else if (!p.gevMutex.try_lock()) {
        return 0;
    }
    const uint64_t s = p.gevs.empty() ? UINT64_MAX : p.gevs.front().seq;
    p.gevMutex.unlock();
    return s;
}

void settle_set_edits(Plug& p) {
    if (audio_running(p)) return;
    if (p.setHead.load(std::memory_order_acquire) == p.setTail.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> g(p.engineMutex);
    apply_set_edits(p, first_gev_seq(p, true));
    publish_play(p);
}

void publish_play(Plug& p) {
    const Engine& e = *p.engine;
    p.pubStep.store(int32_t(e.step), std::memory_order_relaxed);
    p.pubPat.store(int32_t(e.pat), std::memory_order_relaxed);
    p.pubSongPos.store(int32_t(e.songPos), std::memory_order_relaxed);
    p.pubBpm.store(e.bpm, std::memory_order_relaxed);
    p.pubPlaying.store(e.playing, std::memory_order_release);
}

void sync_view(Plug& p) {
    if (!p.view) return;
    const uint32_t sg = p.songGen.load(std::memory_order_acquire);
    // Ahead of songGen: the editor's own pattern choice, already shown,
    // whose change has not reached the engine yet.
    if (int32_t(sg - p.viewSongGen) > 0) {
        p.viewSongGen = sg;
        const long pat = round_host(p.globalValues[7].load(std::memory_order_relaxed));
        if (p.view->song.size() > 1) p.lostSong = p.view->song;
        p.view->song.assign(1, SongEntry{uint8_t(uint8_t(pat - 1) & 7u), 1});
        ++p.viewGen;
    }
    const float bpm = p.pubBpm.load(std::memory_order_relaxed);
    if (bpm != p.viewPubBpm) {
        p.viewPubBpm = bpm;
        if (p.view->bpm != bpm) {
            p.view->bpm = bpm;
            ++p.viewGen;
        }
    }
}

void view_pattern_chosen(Plug& p, int pattern) {
    if (!p.view) return;
    if (p.view->song.size() > 1) p.lostSong = p.view->song;
    p.view->song.assign(1, SongEntry{uint8_t(uint8_t(pattern - 1) & 7u), 1});
    ++p.viewSongGen;  // the engine's replacement, when it comes, is this one
    ++p.viewGen;
}

void mark_dirty(const Plug& p) {
    if (!p.host || !p.host->get_extension) return;
    auto* st = static_cast<const clap_host_state_t*>(p.host->get_extension(p.host, CLAP_EXT_STATE));
    if (st && st->mark_dirty) st->mark_dirty(p.host);
}

}  // namespace brs::plug
