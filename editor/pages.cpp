// pages.cpp: the steps, sound and song pages beside the mixer page.
//
// Every page is a table of control rows (XCtl) appended after the mixer
// page's 64 rows; the one hit-test, draw loop and change check of loop.cpp
// and draw.cpp serve them all. What a page control shows comes from the
// instance's view of the set (Plug::view, main thread only), the parameter
// cache and what the audio thread published; what it changes goes to the
// engine through the set-edit queue (plugin/setedit.h) or, for host
// parameters, through the gesture queue like the mixer page.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "editor/editor.h"
#include "plugin/shell.h"

namespace brs::plug {

namespace {

const char* const PAGE_NAMES[XP_COUNT] = {"Mischpult", "Schritte", "Klang", "Song"};
const char* const FIELD_NAMES[4] = {"Note", "Ratsche", "Slice", "R\u00fcckw\u00e4rts"};
const char* const BANK_NAMES[4] = {"1\u201316", "17\u201332", "33\u201348", "49\u201364"};
const char* const SONG_BANK_NAMES[4] = {"1\u201364", "65\u2013128", "129\u2013192", "193\u2013256"};

constexpr int BREAK = 3;
constexpr int MAX_RAT = 8;

// ---- sound values: labels, units, scale -----------------------------------------

struct SoundRow {
    const char* label;  // German label
    const char* fmt;    // value text; scaled by mul
    double mul;
    bool logScale;
};
const SoundRow SOUND[NUM_PARAMS] = {
    {"Stimmung", "%.0f %%", 1.0, false},        // tune
    {"Pitch-Hub", "\u00d7%.1f", 1.0, false},      // pitchAmt
    {"Pitch-Zeit", "%.0f ms", 1000.0, true},    // pitchDec
    {"Klick", "%.2f", 1.0, false},              // click
    {"Ton", "%.0f Hz", 1.0, true},              // tone
    {"Filter", "", 1.0, true},                  // cut (host)
    {"Resonanz", "", 1.0, true},                // res (host)
    {"H\u00fcllkurve", "%.2f", 1.0, false},       // env
    {"Ausklang", "", 1.0, true},                // decay (host)
    {"Zerre", "", 1.0, false},                  // drive (host)
    {"Pegel", "", 1.0, false},                  // level (host)
    {"Verstimmung", "%.0f ct", 1.0, false},     // detune
    {"Slide", "%+.1f HT", 1.0, false},          // slide
    {"Slide-Zeit", "%.0f ms", 1000.0, true},    // slideT
    {"Tonh\u00f6he", "%+.1f HT", 1.0, false},     // pitch
    {"Gate", "%.2f", 1.0, false},               // gate
    {"Offen", "", 1.0, false},                  // open: "offen" / "zu"
    {"Akkord", "%.0f HT", 1.0, false},          // chord
    {"Delay", "", 1.0, false},                  // delaySend (host)
    {"Hall", "", 1.0, false},                   // reverbSend (host)
};

// What each track's recipe reads (first row of the sound page), then what
// every track has (second row). -1 ends a row; 100 is the bass's wave toggle.
constexpr int WAVE_SLOT = 100;
const int RECIPE[NUM_TRACKS][8] = {
    {P_TUNE, P_PITCH_AMT, P_PITCH_DEC, P_CLICK, P_TONE, P_DECAY, P_DRIVE, -1},
    {P_CUT, P_RES, P_ENV, P_DECAY, P_DRIVE, WAVE_SLOT, -1, -1},
    {P_CUT, P_RES, P_DECAY, P_DRIVE, P_DETUNE, P_SLIDE, P_SLIDE_T, -1},
    {P_CUT, P_PITCH, -1, -1, -1, -1, -1, -1},
    {P_CUT, P_DECAY, P_OPEN, -1, -1, -1, -1, -1},
    {P_CUT, P_DECAY, P_CHORD, -1, -1, -1, -1, -1},
};
const int COMMON[4] = {P_LEVEL, P_GATE, P_DELAY_SEND, P_REVERB_SEND};

// Host parameter row k (TP order) of a sound value index, or -1.
int host_row(int index) {
    switch (index) {
    case P_LEVEL: return 0;
    case P_CUT: return 1;
    case P_RES: return 2;
    case P_DECAY: return 3;
    case P_DRIVE: return 4;
    case P_DELAY_SEND: return 5;
    case P_REVERB_SEND: return 6;
    default: return -1;
    }
}

// ---- layout of the steps page ----------------------------------------------------

int cell_x(int col) { return 92 + 50 * col + 4 * (col / 4); }
constexpr int CELL_W = 46;
int row_y(int t) { return 64 + 34 * t; }

XCtl cmd(int x, int y, int w, int h, int page, int command, int a = 0, int b = 0) {
    XCtl c{};
    c.x = x;
    c.y = y;
    c.w = w;
    c.h = h;
    c.kind = XK_CMD;
    c.arg = command;
    c.page = page;
    c.a = a;
    c.b = b;
    return c;
}

XCtl set_slider(int x, int y, int page, int what, double lo, double hi, bool logScale, double def, int a = 0,
                int b = 0) {
    XCtl c{};
    c.x = x;
    c.y = y;
    c.w = 108;
    c.h = 26;
    c.kind = XK_SET_SLIDER;
    c.lo = lo;
    c.hi = hi;
    c.logScale = logScale;
    c.def = def;
    c.arg = what;
    c.page = page;
    c.a = a;
    c.b = b;
    return c;
}

// ---- the view and the queue ---------------------------------------------------------

const Engine* view(const XGui* g) { return g->owner->view; }

Step step_at(const XGui* g, int t, int s) {
    const Engine* v = view(g);
    return v && s < NUM_STEPS ? v->pats[std::size_t(xpattern(g))].steps[t][s] : Step{0, 0, 0, 1, 0, 0};
}

// Sends the edits of one gesture; a refusal is said on the page.
bool send(XGui* g, SetEdit* e, std::size_t n) {
    if (!g->owner->view) return false;
    if (send_set_edits(*g->owner, e, n)) {
        if (!g->note.empty()) g->note.clear();
        return true;
    }
    g->note = "\u00c4nderung abgewiesen: der Host verarbeitet nichts, die Warteschlange ist voll";
    g->dirty = true;
    return false;
}

bool send_step(XGui* g, int t, int s, Step st) {
    SetEdit e;
    e.kind = SE_STEP;
    e.a = uint8_t(xpattern(g));
    e.b = uint8_t(t);
    e.c = uint8_t(s);
    e.step = st;
    return send(g, &e, 1);
}

// The chain as the view holds it.
std::vector<SongEntry> chain(const XGui* g) {
    const Engine* v = view(g);
    return v ? v->song : std::vector<SongEntry>{};
}

// Replaces the chain from entry `from` on: the new length, then the entries.
bool send_chain(XGui* g, const std::vector<SongEntry>& song, std::size_t from) {
    if (song.size() > SONG_EDIT_MAX) {
        g->note = "Der Song hat schon 256 Eintr\u00e4ge";
        g->dirty = true;
        return false;
    }
    std::vector<SetEdit> e(1 + song.size());
    e[0].kind = SE_SONG_LEN;
    e[0].value = float(song.size());
    std::size_t n = 1;
    for (std::size_t i = from; i < song.size(); ++i, ++n) {
        e[n].kind = SE_SONG_ENTRY;
        e[n].c = uint8_t(i);
        e[n].a = song[i].pat;
        e[n].b = song[i].rep;
    }
    if (!send(g, e.data(), n)) return false;
    mark_dirty(*g->owner);
    return true;
}

// Whether the sequencer follows the host (parameter 1006).
bool follows(const XGui* g) { return g->owner->globalValues[6].load(std::memory_order_relaxed) >= 0.5; }

// ---- value texts -------------------------------------------------------------------

void set_slider_text(const XGui* g, const XCtl& c, double v, char* buf, std::size_t cap) {
    if (c.arg == SV_LEN) {
        std::snprintf(buf, cap, "%d", int(std::lround(v)));
    } else if (c.arg == SV_BPM) {
        std::snprintf(buf, cap, "%.1f BPM", v);
    } else if (c.b == P_OPEN) {
        std::snprintf(buf, cap, "%s", v > 0.5 ? "offen" : "zu");
    } else {
        const SoundRow& r = SOUND[c.b];
        std::snprintf(buf, cap, r.fmt, v * r.mul);
    }
    (void)g;
}

double set_value(const XGui* g, const XCtl& c) {
    const Engine* v = view(g);
    if (!v) return 0.0;
    if (c.arg == SV_LEN) return double(v->len);
    // Following the host, the sequencer runs at the tempo the last block brought.
    if (c.arg == SV_BPM) return follows(g) ? double(g->owner->pubBpm.load(std::memory_order_relaxed)) : double(v->bpm);
    return double(v->tracks[c.a].p[c.b]);
}

// The step that sounds on the edited pattern, or -1.
int playhead(const XGui* g) {
    const Plug& p = *g->owner;
    if (!p.pubPlaying.load(std::memory_order_acquire)) return -1;
    if (p.pubPat.load(std::memory_order_relaxed) != xpattern(g)) return -1;
    const Engine* v = view(g);
    const int len = v ? int(v->len) : 16;
    const int next = p.pubStep.load(std::memory_order_relaxed);
    return len > 0 ? (next + len - 1) % len : -1;
}

int song_playing(const XGui* g) {
    const Plug& p = *g->owner;
    const Engine* v = view(g);
    if (!v || v->song.empty() || !p.pubPlaying.load(std::memory_order_acquire)) return -1;
    return p.pubSongPos.load(std::memory_order_relaxed) % int(v->song.size());
}

// ---- commands ------------------------------------------------------------------------

bool cmd_active(const XGui* g, const XCtl& c) {
    const Plug& p = *g->owner;
    switch (c.arg) {
    case C_FIELD: return g->field == c.a;
    case C_BANK: return g->bank == c.a;
    case C_STARTSTOP: return p.pubPlaying.load(std::memory_order_relaxed);
    case C_POSFOLLOW: return p.posFollow.load(std::memory_order_relaxed);
    case C_TRACK: return g->track == c.a;
    case C_WAVE: return view(g) && view(g)->tracks[c.a].wave != 0;
    case C_ROUTE: return p.route[c.a].load(std::memory_order_relaxed) != 0;
    case C_SONG_PAT: {
        const Engine* v = view(g);
        const bool chosen = v && g->songSel >= 0 && std::size_t(g->songSel) < v->song.size();
        return (chosen ? v->song[std::size_t(g->songSel)].pat : g->songPat) == c.a;
    }
    case C_SONG_BANK: return g->songBank == c.a;
    default: return false;
    }
}

void cmd_label(const XGui* g, const XCtl& c, char* buf, std::size_t cap) {
    switch (c.arg) {
    case C_FIELD: std::snprintf(buf, cap, "%s", FIELD_NAMES[c.a]); break;
    case C_BANK: std::snprintf(buf, cap, "%s", BANK_NAMES[c.a]); break;
    case C_CLEAR_TRACK: std::snprintf(buf, cap, "leeren"); break;
    case C_CLEAR_PAT: std::snprintf(buf, cap, "Pattern leeren"); break;
    case C_COPY: std::snprintf(buf, cap, "%d", c.a + 1); break;
    case C_STARTSTOP: std::snprintf(buf, cap, "%s", cmd_active(g, c) ? "Stopp" : "Start"); break;
    case C_POSFOLLOW: std::snprintf(buf, cap, "Position folgt Host"); break;
    case C_TRACK: std::snprintf(buf, cap, "%s", TRACK_DE[c.a]); break;
    case C_WAVE: std::snprintf(buf, cap, "%s", cmd_active(g, c) ? "Rechteck" : "S\u00e4ge"); break;
    case C_ROUTE: std::snprintf(buf, cap, "%s", cmd_active(g, c) ? "Ausgang: eigen" : "Ausgang: Summe"); break;
    case C_SONG_ADD: std::snprintf(buf, cap, "Anh\u00e4ngen"); break;
    case C_SONG_INSERT: std::snprintf(buf, cap, "Einf\u00fcgen"); break;
    case C_SONG_REMOVE: std::snprintf(buf, cap, "Entfernen"); break;
    case C_SONG_EARLIER: std::snprintf(buf, cap, "\u25c0 fr\u00fcher"); break;
    case C_SONG_LATER: std::snprintf(buf, cap, "sp\u00e4ter \u25b6"); break;
    case C_SONG_CLEAR: std::snprintf(buf, cap, "Song leeren"); break;
    case C_SONG_RESTORE: std::snprintf(buf, cap, "Song zur\u00fcckholen"); break;
    case C_SONG_PAT: std::snprintf(buf, cap, "%d", c.a + 1); break;
    case C_SONG_REP: std::snprintf(buf, cap, "%s", c.a > 0 ? "+" : "\u2212"); break;
    case C_SONG_BANK: std::snprintf(buf, cap, "%s", SONG_BANK_NAMES[c.a]); break;
    case C_WERK_STEP: std::snprintf(buf, cap, "%s", c.a > 0 ? "\u25b6" : "\u25c0"); break;
    case C_WERK_LOAD: std::snprintf(buf, cap, "laden"); break;
    case C_ZOOM: std::snprintf(buf, cap, "Zoom %d %%", g->zoom); break;
    default: buf[0] = 0; break;
    }
}

// The chosen entry's repeats, or those of the next added entry.
int song_rep_shown(const XGui* g) {
    const Engine* v = view(g);
    if (v && g->songSel >= 0 && std::size_t(g->songSel) < v->song.size()) return v->song[std::size_t(g->songSel)].rep;
    return g->songRep;
}

void run_cmd(XGui* g, const XCtl& c) {
    Plug& p = *g->owner;
    SetEdit e;
    switch (c.arg) {
    case C_FIELD: g->field = c.a; break;
    case C_BANK: g->bank = c.a; break;
    case C_CLEAR_TRACK:
    case C_CLEAR_PAT:
        e.kind = SE_CLEAR;
        e.a = uint8_t(xpattern(g));
        e.b = uint8_t(c.arg == C_CLEAR_TRACK ? c.a : NUM_TRACKS);
        if (send(g, &e, 1)) mark_dirty(p);
        break;
    case C_COPY:
        if (c.a == xpattern(g)) break;  // onto itself: nothing to do
        e.kind = SE_COPY;
        e.a = uint8_t(xpattern(g));
        e.b = uint8_t(c.a);
        if (send(g, &e, 1)) mark_dirty(p);
        break;
    case C_STARTSTOP: {
        const bool start = !p.pubPlaying.load(std::memory_order_relaxed);
        // While the sequencer follows the host, a host that lets plug-ins
        // drive its transport is asked to start or stop, and the sequencer
        // follows it as from the host's own buttons; otherwise the button
        // runs the sequencer itself, as MIDI Start and Stop do.
        if (p.globalValues[6].load(std::memory_order_relaxed) >= 0.5 && request_host_transport(p, start)) break;
        e.kind = start ? SE_START : SE_STOP;
        send(g, &e, 1);
        break;
    }
    case C_POSFOLLOW:
        p.posFollow.store(!p.posFollow.load(std::memory_order_relaxed), std::memory_order_relaxed);
        mark_dirty(p);
        break;
    case C_TRACK:
        if (g->track != c.a) {
            g->track = c.a;
            g->drag = -1;
            xlayout_klang(g);  // c is gone after this
        }
        return;
    case C_WAVE:
        e.kind = SE_WAVE;
        e.a = uint8_t(c.a);
        e.value = cmd_active(g, c) ? 0.0f : 1.0f;
        if (send(g, &e, 1)) mark_dirty(p);
        break;
    case C_ROUTE:
        p.route[c.a].store(p.route[c.a].load(std::memory_order_relaxed) ? 0 : 1, std::memory_order_relaxed);
        mark_dirty(p);
        break;
    case C_SONG_PAT:
    case C_SONG_REP: {
        std::vector<SongEntry> s = chain(g);
        const bool chosen = g->songSel >= 0 && std::size_t(g->songSel) < s.size();
        if (c.arg == C_SONG_PAT) {
            g->songPat = c.a;
            if (chosen) s[std::size_t(g->songSel)].pat = uint8_t(c.a);
        } else {
            const int rep = std::clamp(song_rep_shown(g) + c.a, 1, 16);
            g->songRep = rep;
            if (chosen) s[std::size_t(g->songSel)].rep = uint8_t(rep);
        }
        if (chosen) send_chain(g, s, std::size_t(g->songSel));
        break;
    }
    case C_SONG_ADD:
    case C_SONG_INSERT: {
        std::vector<SongEntry> s = chain(g);
        std::size_t at = s.size();
        if (c.arg == C_SONG_INSERT && g->songSel >= 0 && std::size_t(g->songSel) < s.size()) at = std::size_t(g->songSel);
        s.insert(s.begin() + std::ptrdiff_t(at), SongEntry{uint8_t(g->songPat), uint8_t(g->songRep)});
        if (send_chain(g, s, at)) {
            g->songSel = int(at);
            g->songBank = int(at / 64);
        }
        break;
    }
    case C_SONG_REMOVE: {
        std::vector<SongEntry> s = chain(g);
        if (g->songSel < 0 || std::size_t(g->songSel) >= s.size()) break;
        s.erase(s.begin() + g->songSel);
        if (send_chain(g, s, std::size_t(g->songSel)) && std::size_t(g->songSel) >= s.size())
            g->songSel = int(s.size()) - 1;
        break;
    }
    case C_SONG_EARLIER:
    case C_SONG_LATER: {
        std::vector<SongEntry> s = chain(g);
        const int i = g->songSel;
        const int j = c.arg == C_SONG_EARLIER ? i - 1 : i + 1;
        if (i < 0 || j < 0 || std::size_t(i) >= s.size() || std::size_t(j) >= s.size()) break;
        std::swap(s[std::size_t(i)], s[std::size_t(j)]);
        if (send_chain(g, s, std::size_t(std::min(i, j)))) {
            g->songSel = j;
            g->songBank = j / 64;
        }
        break;
    }
    case C_SONG_CLEAR:
        if (send_chain(g, {}, 0)) g->songSel = -1;
        break;
    case C_SONG_RESTORE: {
        std::vector<SongEntry>& lost = g->owner->lostSong;
        if (lost.empty()) break;
        if (send_chain(g, lost, 0)) lost.clear();
        break;
    }
    case C_SONG_BANK: g->songBank = c.a; break;
    case C_WERK_STEP: {
        // Steps through the factory sets and wraps at either end.
        const int n = int(werkset_count());
        if (n > 0) g->werkset = ((g->werkset + c.a) % n + n) % n;
        break;
    }
    case C_ZOOM: {
        // 100 -> 150 -> 200 -> 100 %, with the host's consent to the size.
        const int next = g->zoom >= 200 ? 100 : g->zoom + 50;
        xzoom_set(g, next, true);
        break;
    }
    case C_WERK_LOAD:
        // Exactly what "Set laden" does with the set file: the set is handed
        // over whole or not at all, the status says which, and the host
        // re-reads the parameter values the set brought.
        if (load_werkset(p, uint32_t(g->werkset))) {
            rescan_values(p);
            g->songSel = -1;
        }
        break;
    default: break;
    }
    g->dirty = true;
}

}  // namespace

int xpattern(const XGui* g) {
    const long v = round_host(g->owner->globalValues[7].load(std::memory_order_relaxed));
    return int(uint8_t(v - 1) & 7u);
}

// ---- layout ----------------------------------------------------------------------------

void xlayout_pages(XGui* g) {
    // The page selector, right of "Set laden".
    for (int j = 0; j < XP_COUNT; ++j) {
        XCtl c{};
        c.x = 660 + 81 * j;
        c.y = 346;
        c.w = 73;
        c.h = 26;
        c.kind = XK_PAGE;
        c.arg = j;
        g->ctls.push_back(c);
    }

    // Steps: the wheel's field and the bank of sixteen steps shown.
    const int S = XP_SCHRITTE;
    for (int f = 0; f < 4; ++f) g->ctls.push_back(cmd(92 + 72 * f, 40, 68, 20, S, C_FIELD, f));
    for (int b = 0; b < 4; ++b) g->ctls.push_back(cmd(446 + 64 * b, 40, 60, 20, S, C_BANK, b));
    for (int t = 0; t < NUM_TRACKS; ++t) {
        for (int col = 0; col < 16; ++col) {
            XCtl c{};
            c.x = cell_x(col);
            c.y = row_y(t);
            c.w = CELL_W;
            c.h = 26;
            c.kind = XK_CELL;
            c.page = S;
            c.a = t;
            c.b = col;
            g->ctls.push_back(c);
        }
        g->ctls.push_back(cmd(910, row_y(t), 68, 26, S, C_CLEAR_TRACK, t));
    }
    g->ctls.push_back(set_slider(92, 302, S, SV_LEN, 1.0, 64.0, false, 16.0));
    g->ctls.push_back(set_slider(210, 302, S, SV_BPM, 60.0, 260.0, false, 175.0));
    g->ctls.push_back(cmd(328, 302, 108, 26, S, C_STARTSTOP));
    g->ctls.push_back(cmd(446, 302, 108, 26, S, C_CLEAR_PAT));
    for (int j = 0; j < NUM_PATTERNS; ++j) g->ctls.push_back(cmd(564 + 28 * j, 302, 24, 26, S, C_COPY, j));
    g->ctls.push_back(cmd(800, 302, 178, 26, S, C_POSFOLLOW));

    // Song: 64 entries a bank, the tools below.
    const int G = XP_SONG;
    for (int b = 0; b < 4; ++b) g->ctls.push_back(cmd(722 + 64 * b, 40, 60, 20, G, C_SONG_BANK, b));
    for (int slot = 0; slot < 64; ++slot) {
        XCtl c{};
        c.x = 92 + 55 * (slot % 16);
        c.y = 64 + 34 * (slot / 16);
        c.w = 51;
        c.h = 26;
        c.kind = XK_SONG;
        c.page = G;
        c.a = slot;
        g->ctls.push_back(c);
    }
    for (int j = 0; j < NUM_PATTERNS; ++j) g->ctls.push_back(cmd(92 + 38 * j, 222, 32, 26, G, C_SONG_PAT, j));
    g->ctls.push_back(cmd(446, 222, 32, 26, G, C_SONG_REP, -1));
    g->ctls.push_back(cmd(546, 222, 32, 26, G, C_SONG_REP, +1));
    const int tools[6] = {C_SONG_ADD, C_SONG_INSERT, C_SONG_REMOVE, C_SONG_EARLIER, C_SONG_LATER, C_SONG_CLEAR};
    for (int k = 0; k < 6; ++k) g->ctls.push_back(cmd(92 + 118 * k, 262, 108, 26, G, tools[k]));
    g->ctls.push_back(cmd(800, 262, 178, 26, G, C_SONG_RESTORE));
    // The editor's zoom, beside the bank buttons.
    g->ctls.push_back(cmd(620, 40, 92, 20, G, C_ZOOM));
    // The factory sets: one name between two arrows, and the load button.
    g->ctls.push_back(cmd(656, 222, 26, 26, G, C_WERK_STEP, -1));
    g->ctls.push_back(cmd(866, 222, 26, 26, G, C_WERK_STEP, +1));
    g->ctls.push_back(cmd(900, 222, 78, 26, G, C_WERK_LOAD));

    xlayout_klang(g);
}

void xlayout_klang(XGui* g) {
    const int K = XP_KLANG;
    g->ctls.erase(std::remove_if(g->ctls.begin(), g->ctls.end(), [](const XCtl& c) { return c.page == XP_KLANG; }),
                  g->ctls.end());
    const Plug& p = *g->owner;
    const int t = g->track;
    for (int j = 0; j < NUM_TRACKS; ++j) g->ctls.push_back(cmd(92 + 118 * j, 64, 108, 26, K, C_TRACK, j));
    if (p.multi) g->ctls.push_back(cmd(800, 64, 178, 26, K, C_ROUTE, t));
    auto add = [&](int index, int x, int y) {
        if (index == WAVE_SLOT) {
            g->ctls.push_back(cmd(x, y, 108, 26, K, C_WAVE, t));
            return;
        }
        const int k = host_row(index);
        if (k >= 0) {
            // A host parameter: the mixer page's slider, with the track's own default.
            XCtl c{};
            c.id = uint32_t(16 * t + k);
            c.x = x;
            c.y = y;
            c.w = 108;
            c.h = 26;
            c.kind = XK_SLIDER;
            c.lo = TP[k].min;
            c.hi = TP[k].max;
            c.logScale = k >= 1 && k <= 3;
            c.def = p.trackDefaults[t][k];
            c.page = K;
            c.b = index;
            g->ctls.push_back(c);
            return;
        }
        g->ctls.push_back(set_slider(x, y, K, SV_PARAM, PARAM_RANGES[index].lo, PARAM_RANGES[index].hi,
                                     SOUND[index].logScale, defaultParam(t, index), t, index));
    };
    for (int k = 0; k < 8 && RECIPE[t][k] >= 0; ++k) add(RECIPE[t][k], 92 + 118 * k, 128);
    for (int k = 0; k < 4; ++k) add(COMMON[k], 92 + 118 * k, 190);
    if (g->drag >= int(g->ctls.size())) g->drag = -1;
    g->shown.assign(g->ctls.size(), -1e300);
    g->dirty = true;
}

// ---- drawing -----------------------------------------------------------------------------

void xdraw_page_labels(XGui* g) {
    const XRgb T1 = XC_TEXT1, T2 = XC_TEXT2;
    char buf[160];
    const char* help = "";
    switch (g->page) {
    case XP_SCHRITTE: {
        xlabel(g, "Rad:", {14, 40, 72, 20}, T2, g->font, 0);
        std::snprintf(buf, sizeof buf, "Pattern %d", xpattern(g) + 1);
        xlabel(g, buf, {800, 40, 178, 20}, XC_LIT, g->fontBold, 2);
        for (int t = 0; t < NUM_TRACKS; ++t) xlabel(g, TRACK_DE[t], {14, row_y(t), 72, 26}, T1, g->fontBold, 0);
        for (int col = 0; col < 16; ++col) {
            std::snprintf(buf, sizeof buf, "%d", 16 * g->bank + col + 1);
            xlabel(g, buf, {cell_x(col), 262, CELL_W, 14}, T2, g->font, 1);
        }
        xlabel(g, "L\u00e4nge", {92, 280, 108, 18}, T2, g->font, 0);
        xlabel(g, follows(g) ? "Tempo (Host)" : "Tempo", {210, 280, 108, 18}, T2, g->font, 0);
        xlabel(g, "Sequencer", {328, 280, 108, 18}, T2, g->font, 0);
        xlabel(g, "Werkzeuge", {446, 280, 108, 18}, T2, g->font, 0);
        xlabel(g, "Kopieren nach", {564, 280, 220, 18}, T2, g->font, 0);
        help = "Klick = an/aus \u00b7 Umschalt-Klick oder rechte Taste = Akzent \u00b7 Ziehen = malen \u00b7 "
               "Rad = gew\u00e4hltes Feld \u00b7 Schritte werden mit dem Projekt gespeichert";
        break;
    }
    case XP_KLANG: {
        xlabel(g, "Spur", {14, 64, 72, 26}, T1, g->fontBold, 0);
        xlabel(g, "Klang", {14, 128, 72, 26}, T1, g->fontBold, 0);
        xlabel(g, "Ausgabe", {14, 190, 72, 26}, T1, g->fontBold, 0);
        for (const XCtl& c : g->ctls) {
            if (c.page != XP_KLANG) continue;
            if (c.kind == XK_SLIDER || c.kind == XK_SET_SLIDER) xlabel(g, SOUND[c.b].label, {c.x, c.y - 20, 108, 18}, T2, g->font, 0);
            if (c.kind == XK_CMD && c.arg == C_WAVE) xlabel(g, "Welle", {c.x, c.y - 20, 108, 18}, T2, g->font, 0);
        }
        xlabel(g, "Pegel, Filter, Resonanz, Ausklang, Zerre, Delay und Hall sind Host-Parameter (automatisierbar); "
                  "die \u00fcbrigen Klangwerte geh\u00f6ren zum Set.",
               {14, 240, 962, 18}, T2, g->font, 0);
        help = "Ziehen = Wert \u00b7 Umschalt = fein \u00b7 Doppelklick = Vorgabe der Spur \u00b7 Rad = 1/100 des Wegs";
        break;
    }
    case XP_SONG: {
        const Engine* v = view(g);
        const std::size_t n = v ? v->song.size() : 0;
        xlabel(g, "Song", {14, 40, 72, 20}, T1, g->fontBold, 0);
        if (n == 0) std::snprintf(buf, sizeof buf, "leer: das gew\u00e4hlte Pattern l\u00e4uft in Schleife");
        else std::snprintf(buf, sizeof buf, "%zu Eintr\u00e4ge", n);
        xlabel(g, buf, {92, 40, 600, 20}, T2, g->font, 0);
        for (int r = 0; r < 4; ++r) {
            std::snprintf(buf, sizeof buf, "%d", 64 * g->songBank + 16 * r + 1);
            xlabel(g, buf, {14, 64 + 34 * r, 72, 26}, T2, g->font, 0);
        }
        xlabel(g, "Pattern", {92, 202, 300, 18}, T2, g->font, 0);
        xlabel(g, "Wiederholungen", {446, 202, 200, 18}, T2, g->font, 0);
        std::snprintf(buf, sizeof buf, "\u00d7%d", song_rep_shown(g));
        xlabel(g, buf, {482, 222, 60, 26}, T1, g->fontBold, 1);
        xlabel(g, "Werkset", {656, 202, 200, 18}, T2, g->font, 0);
        {
            const char* name = werkset_name(uint32_t(g->werkset));
            xfill(g, {686, 222, 176, 26}, XC_FACE);
            xframe(g, {686, 222, 176, 26}, XC_LINE);
            xlabel(g, name ? name : "", {690, 222, 168, 26}, T1, g->fontBold, 1);
        }
        xlabel(g, "Achtung: eine Pattern-Taste unten ersetzt den Song durch dieses eine Pattern. "
                  "\u201eSong zur\u00fcckholen\u201c holt den ersetzten Song wieder.",
               {14, 300, 962, 18}, XC_ACCENT, g->font, 0);
        help = "Klick = Eintrag w\u00e4hlen \u00b7 Rad = Wiederholungen \u00b7 Umschalt+Rad = Pattern \u00b7 "
               "neue Eintr\u00e4ge nehmen Pattern und Wiederholungen von oben";
        break;
    }
    default: break;
    }
    if (!g->note.empty()) xlabel(g, g->note.c_str(), {14, 322, 962, 18}, XC_ACCENT, g->font, 0);
    xlabel(g, help, {14, 386, 962, 18}, T2, g->font, 0);
}

void xdraw_page_ctl(XGui* g, const XCtl& c, int index) {
    char buf[96];
    switch (c.kind) {
    case XK_PAGE:
        xbutton(g, c, g->page == c.arg, XC_LIT, PAGE_NAMES[c.arg]);
        break;
    case XK_SET_SLIDER: {
        const bool dragged = g->drag == index;
        const double v = dragged ? g->dragVal : set_value(g, c);
        set_slider_text(g, c, v, buf, sizeof buf);
        xslider(g, c, dragged, v, buf);
        break;
    }
    case XK_CMD: {
        cmd_label(g, c, buf, sizeof buf);
        bool active = cmd_active(g, c);
        XRgb lit = XC_LIT;
        if (c.arg == C_COPY && c.a == xpattern(g)) {  // the edited pattern itself
            xfill(g, {c.x, c.y, c.w, c.h}, XC_DIM);
            xframe(g, {c.x, c.y, c.w, c.h}, XC_LINE);
            xlabel(g, buf, {c.x, c.y, c.w, c.h}, XC_TEXT2, g->fontBold, 1);
            break;
        }
        if (c.arg == C_SONG_RESTORE && g->owner->lostSong.empty()) {
            xfill(g, {c.x, c.y, c.w, c.h}, XC_DIM);
            xframe(g, {c.x, c.y, c.w, c.h}, XC_LINE);
            xlabel(g, buf, {c.x, c.y, c.w, c.h}, XC_TEXT2, g->fontBold, 1);
            break;
        }
        xbutton(g, c, active, lit, buf);
        break;
    }
    case XK_CELL: {
        const int s = 16 * g->bank + c.b;
        const Step st = step_at(g, c.a, s);
        const Engine* v = view(g);
        const bool beyond = v && uint64_t(s) >= v->len;
        XRgb face = beyond ? XC_DIM : XC_FACE;
        if (st.on) face = st.acc ? XC_ACCENT : XC_FILL;
        xfill(g, {c.x, c.y, c.w, c.h}, face);
        if (!st.on && st.acc) xfill(g, {c.x + 1, c.y + 1, c.w - 2, 3}, XC_ACCENT);  // accent kept while off
        const XRgb ink = st.on ? (st.acc ? XC_TEXT_ON : XC_TEXT1) : (beyond ? XC_LINE : XC_TEXT2);
        // Four corners, so that the widest texts ("−24", "×8", "15", "◀") never
        // meet in a 46-pixel cell: note top left, reverse top right, slice
        // bottom left, ratchet bottom right.
        if (st.note != 0) {
            std::snprintf(buf, sizeof buf, "%s%d", st.note > 0 ? "+" : "−", std::abs(int(st.note)));
            xlabel(g, buf, {c.x + 3, c.y, c.w - 6, 13}, ink, g->font, 0);
        }
        if (c.a == BREAK && st.rev) xlabel(g, "◀", {c.x + 3, c.y, c.w - 6, 13}, ink, g->font, 2);
        if (c.a == BREAK) {
            std::snprintf(buf, sizeof buf, "%d", int(st.slice & 15u));
            xlabel(g, buf, {c.x + 3, c.y + 13, c.w - 6, 13}, ink, g->font, 0);
        }
        if (st.rat > 1) {
            std::snprintf(buf, sizeof buf, "×%d", int(st.rat));
            xlabel(g, buf, {c.x + 3, c.y + 13, c.w - 6, 13}, ink, g->font, 2);
        }
        const bool here = playhead(g) == s;
        xframe(g, {c.x, c.y, c.w, c.h}, here ? XC_FILL_DRAG : XC_LINE);
        if (here) xframe(g, {c.x + 1, c.y + 1, c.w - 2, c.h - 2}, XC_FILL_DRAG);
        break;
    }
    case XK_SONG: {
        const Engine* v = view(g);
        const std::size_t i = std::size_t(64 * g->songBank + c.a);
        const std::size_t n = v ? v->song.size() : 0;
        if (i < n) {
            const SongEntry e = v->song[i];
            const bool playing = song_playing(g) == int(i);
            xfill(g, {c.x, c.y, c.w, c.h}, playing ? XC_LIT : XC_FACE);
            std::snprintf(buf, sizeof buf, "%d \u00d7%d", (e.pat & 7) + 1, e.rep ? e.rep : 1);
            xlabel(g, buf, {c.x, c.y, c.w, c.h}, playing ? XC_TEXT_ON : XC_TEXT1, g->fontBold, 1);
        } else {
            xfill(g, {c.x, c.y, c.w, c.h}, XC_DIM);
        }
        const bool chosen = g->songSel == int(i) && i < n;
        xframe(g, {c.x, c.y, c.w, c.h}, chosen ? XC_ACCENT : XC_LINE);
        if (chosen) xframe(g, {c.x + 1, c.y + 1, c.w - 2, c.h - 2}, XC_ACCENT);
        break;
    }
    default: break;
    }
}

double xwert_page(const XGui* g, const XCtl& c) {
    switch (c.kind) {
    case XK_PAGE: return g->page == c.arg ? 1.0 : 0.0;
    case XK_SET_SLIDER: return set_value(g, c);
    case XK_CMD: return cmd_active(g, c) ? 1.0 : 0.0;
    case XK_CELL: {
        const int s = 16 * g->bank + c.b;
        const Step st = step_at(g, c.a, s);
        uint64_t v = uint64_t(st.on) | uint64_t(st.acc) << 8 | uint64_t(uint8_t(st.note)) << 16 |
                     uint64_t(st.rat) << 24 | uint64_t(st.slice) << 32 | uint64_t(st.rev) << 40;
        if (playhead(g) == s) v |= uint64_t(1) << 48;
        return double(v);
    }
    case XK_SONG: {
        const int i = 64 * g->songBank + c.a;
        const Engine* v = view(g);
        if (!v || std::size_t(i) >= v->song.size()) return -1.0 - (g->songSel == i ? 1.0 : 0.0);
        const SongEntry e = v->song[std::size_t(i)];
        return double(e.pat) + 8.0 * e.rep + 4096.0 * (song_playing(g) == i) + 8192.0 * (g->songSel == i) +
               16384.0 * i;
    }
    default: return 0.0;
    }
}

// ---- input -------------------------------------------------------------------------------

void xset_slider(XGui* g, const XCtl& c, double value) {
    SetEdit e;
    e.value = float(value);
    if (c.arg == SV_LEN) {
        e.kind = SE_LEN;
        e.value = float(std::lround(value));
    } else if (c.arg == SV_BPM) {
        e.kind = SE_BPM;
    } else {
        e.kind = SE_PARAM;
        e.a = uint8_t(c.a);
        e.b = uint8_t(c.b);
    }
    send(g, &e, 1);
    g->dirty = true;
}

bool xpress_page(XGui* g, int index, unsigned button, unsigned state) {
    const XCtl c = g->ctls[std::size_t(index)];
    switch (c.kind) {
    case XK_PAGE:
        if (button != Button1) return false;
        g->page = c.arg;
        g->paint = -1;
        g->note.clear();
        g->dirty = true;
        return true;
    case XK_CMD:
        if (button != Button1) return false;
        run_cmd(g, c);
        return true;
    case XK_CELL: {
        const int s = 16 * g->bank + c.b;
        Step st = step_at(g, c.a, s);
        if (button == Button3 || (button == Button1 && (state & ShiftMask))) {
            st.acc = st.acc ? 0 : 1;
            if (send_step(g, c.a, s, st)) mark_dirty(*g->owner);
            return true;
        }
        if (button != Button1) return false;
        st.on = st.on ? 0 : 1;
        if (send_step(g, c.a, s, st)) g->paint = st.on;  // dragging on paints the same
        return true;
    }
    case XK_SONG:
        if (button != Button1) return false;
        {
            const int i = 64 * g->songBank + c.a;
            const Engine* v = view(g);
            g->songSel = v && std::size_t(i) < v->song.size() ? i : -1;
        }
        g->dirty = true;
        return true;
    default: return false;
    }
}

void xmotion_page(XGui* g, int px, int py, unsigned) {
    for (const XCtl& c : g->ctls) {
        if (c.kind != XK_CELL || !xon_page(g, c)) continue;
        if (px < c.x || px >= c.x + c.w || py < c.y || py >= c.y + c.h) continue;
        const int s = 16 * g->bank + c.b;
        Step st = step_at(g, c.a, s);
        if (st.on == g->paint) return;
        st.on = uint8_t(g->paint);
        send_step(g, c.a, s, st);
        g->dirty = true;
        return;
    }
}

void xrelease_page(XGui* g) {
    g->paint = -1;
    mark_dirty(*g->owner);  // the click or the painting is one gesture
}

bool xwheel_page(XGui* g, int index, bool up, unsigned state) {
    const XCtl c = g->ctls[std::size_t(index)];
    const int d = up ? 1 : -1;
    if (c.kind == XK_CELL) {
        const int s = 16 * g->bank + c.b;
        Step st = step_at(g, c.a, s);
        switch (g->field) {
        case 0: st.note = int8_t(std::clamp(int(st.note) + d, -24, 24)); break;
        case 1: st.rat = uint8_t(std::clamp(int(st.rat ? st.rat : 1) + d, 1, MAX_RAT)); break;
        case 2:
            if (c.a != BREAK) return false;
            st.slice = uint8_t(std::clamp(int(st.slice & 15u) + d, 0, 15));
            break;
        default:
            if (c.a != BREAK) return false;
            st.rev = st.rev ? 0 : 1;
            break;
        }
        if (send_step(g, c.a, s, st)) mark_dirty(*g->owner);
        return true;
    }
    if (c.kind == XK_SONG) {
        const int i = 64 * g->songBank + c.a;
        std::vector<SongEntry> s = chain(g);
        if (std::size_t(i) >= s.size()) return false;
        SongEntry& e = s[std::size_t(i)];
        if (state & ShiftMask) e.pat = uint8_t(std::clamp(int(e.pat & 7u) + d, 0, 7));
        else e.rep = uint8_t(std::clamp(int(e.rep ? e.rep : 1) + d, 1, 16));
        send_chain(g, s, std::size_t(i));
        return true;
    }
    return false;
}

}  // namespace brs::plug
