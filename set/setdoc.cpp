// setdoc.cpp: the "vm-groove/1.0" set document, writer and reader.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/brskern.h"
#include "engine/engine.h"
#include "set/json.h"
#include "set/set.h"

namespace brs {

namespace {

const char* const TRACK_KEYS[NUM_TRACKS] = {"kick", "bass", "hoover", "break", "hat", "stab"};

// ---- writer -----------------------------------------------------------------

// Appends "%.9g" of the float widened to double, with "." whatever the
// locale (to_chars formats as printf does in the "C" locale). A non-finite
// value would make the document unreadable, so it is written as 0.
void putFloat(std::string& s, float f) {
    double d = f;
    if (!std::isfinite(d)) {
        s.push_back('0');
        return;
    }
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 9);
    s.append(buf, r.ptr);
}

void putInt(std::string& s, int v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

// Writes a small integer (-128..255) at p, returns the new end.
inline char* putByte(char* p, int v) {
    if (v < 0) {
        *p++ = '-';
        v = -v;
    }
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    return p;
}

inline char* putLit(char* p, std::string_view lit) {
    std::memcpy(p, lit.data(), lit.size());
    return p + lit.size();
}

void putStep(std::string& s, const Step& st) {
    char buf[96];  // longest step object is 67 characters
    char* p = buf;
    p = putLit(p, "{\"on\":");
    p = putByte(p, st.on);
    p = putLit(p, ",\"acc\":");
    p = putByte(p, st.acc);
    p = putLit(p, ",\"note\":");
    p = putByte(p, st.note);
    p = putLit(p, ",\"rat\":");
    p = putByte(p, st.rat);
    p = putLit(p, ",\"slice\":");
    p = putByte(p, st.slice);
    p = putLit(p, ",\"rev\":");
    p = putByte(p, st.rev);
    *p++ = '}';
    s.append(buf, p);
}

// ---- walking text that is already known to be valid ---------------------------
//
// The reader first checks the whole text without building anything, then
// walks it again and takes only the values it uses. Arrays and objects are
// never held as trees: whatever their size or shape, they are stepped over,
// so the heap stays a small multiple of the text.

constexpr std::size_t NOWHERE = static_cast<std::size_t>(-1);

// Reads the value at p.pos and leaves p.pos behind it. Numbers, bools, null
// and strings come back whole; an array or object comes back with its kind
// only (no elements, no members).
Val shallow(Parser& p) {
    p.skipWs();
    p.build = p.pos < p.size && p.text[p.pos] == '"';
    Val v = p.val();
    p.build = true;
    return v;
}

// p.pos is at the '[' of a valid array: calls f(i) with p.pos at element i;
// f reads or skips exactly that element. Leaves p.pos behind the array.
template <class F>
void eachElement(Parser& p, F&& f) {
    ++p.pos;
    for (std::size_t i = 0;; ++i) {
        p.skipWs();
        if (p.pos >= p.size || p.text[p.pos] == ']') {
            ++p.pos;
            return;
        }
        f(i);
        if (p.error) return;
        p.skipWs();
        if (p.pos >= p.size || p.text[p.pos++] != ',') return;  // the closing ']'
    }
}

// p.pos is at the '{' of a valid object: calls f(key) with p.pos at each
// member's value, in document order; f reads or skips exactly that value.
// Leaves p.pos behind the object.
template <class F>
void eachMember(Parser& p, F&& f) {
    ++p.pos;
    for (;;) {
        p.skipWs();
        if (p.pos >= p.size || p.text[p.pos] == '}') {
            ++p.pos;
            return;
        }
        Val key = p.val();
        p.skipWs();
        ++p.pos;  // ':'
        p.skipWs();
        f(std::string_view(key.str));
        if (p.error) return;
        p.skipWs();
        if (p.pos >= p.size || p.text[p.pos++] != ',') return;  // the closing '}'
    }
}

// The members of one object that the reader looks up: for each wanted key
// the first occurrence only (later equal keys are ignored), read shallow.
template <std::size_t N>
struct Firsts {
    Val v[N];
    std::size_t at[N];  // where the value starts in the text, or NOWHERE
    bool any = false;   // the object has at least one member

    Firsts() {
        for (std::size_t& a : at) a = NOWHERE;
    }

    // The value of wanted key i, or null when the object has none.
    const Val* operator[](std::size_t i) const { return at[i] == NOWHERE ? nullptr : &v[i]; }
};

// Reads the object at p.pos (a valid '{') and leaves p.pos behind it.
template <std::size_t N>
Firsts<N> firsts(Parser& p, const std::string_view (&keys)[N]) {
    Firsts<N> f;
    eachMember(p, [&](std::string_view key) {
        f.any = true;
        for (std::size_t i = 0; i < N; ++i) {
            if (key == keys[i] && f.at[i] == NOWHERE) {
                f.at[i] = p.pos;
                f.v[i] = shallow(p);
                return;
            }
        }
        shallow(p);
    });
    return f;
}

// ---- values -------------------------------------------------------------------

bool isNumOrBool(const Val* v) { return v && (v->kind == Val::NUM || v->kind == Val::BOOL); }

// Number narrowed to single precision, or 1/0 for a bool.
float floatOf(const Val& v) {
    if (v.kind == Val::BOOL) return v.b ? 1.0f : 0.0f;
    return static_cast<float>(v.num);
}

// Float member: stores into `dst` when the value is a number or bool whose
// single-precision value is finite; otherwise `dst` keeps its value.
void readFloat(const Val* v, float& dst) {
    if (!isNumOrBool(v)) return;
    float f = floatOf(*v);
    if (std::isfinite(f)) dst = f;
}

// Truncated toward zero to a 32-bit integer, low 8 bits kept; a number
// outside the 32-bit range (or NaN) gives 0.
std::uint8_t byteOf(double x) {
    double t = std::trunc(x);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) return 0;
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(t));
}

// "on", "acc", "rev": 1 for a number above 0 or true, else 0.
std::uint8_t flagOf(const Val* v) {
    if (!v) return 0;
    if (v->kind == Val::NUM) return v->num > 0 ? 1 : 0;
    if (v->kind == Val::BOOL) return v->b ? 1 : 0;
    return 0;
}

// The step at p.pos; anything but an object with members is the default step.
Step readStep(Parser& p) {
    Step st{0, 0, 0, 1, 0, 0};
    if (p.text[p.pos] != '{') {
        shallow(p);
        return st;
    }
    static constexpr std::string_view KEYS[] = {"on", "acc", "rev", "note", "rat", "slice"};
    const auto f = firsts(p, KEYS);
    if (!f.any) return st;
    st.on = flagOf(f[0]);
    st.acc = flagOf(f[1]);
    st.rev = flagOf(f[2]);
    if (const Val* n = f[3]) {
        if (n->kind == Val::NUM)
            st.note = static_cast<std::int8_t>(byteOf(n->num));
        else if (n->kind == Val::BOOL)
            st.note = n->b ? 1 : 0;
    }
    if (const Val* r = f[4]; r && r->kind == Val::NUM && r->num > 0) {
        std::uint8_t b = byteOf(r->num);
        st.rat = b == 0 ? 1 : b;
    }
    if (const Val* sl = f[5]) {
        if (sl->kind == Val::NUM)
            st.slice = sl->num > 0 ? byteOf(sl->num) : 0;
        else if (sl->kind == Val::BOOL)
            st.slice = sl->b ? 1 : 0;
    }
    return st;
}

bool muteOf(const Val* m) {
    if (!m) return false;
    switch (m->kind) {
        case Val::BOOL: return m->b;
        case Val::NUM: return m->num != 0.0;  // NaN gives true
        case Val::NUL: return false;
        default: return true;  // string, array, object
    }
}

int paramIndex(std::string_view key) {
    for (int i = 0; i < NUM_PARAMS; ++i)
        if (key == PARAM_NAMES[i]) return i;
    return -1;
}

// The track entry at p.pos.
void readTrack(Parser& p, Track& tr, bool& mute) {
    if (p.text[p.pos] != '{') {
        shallow(p);
        mute = false;
        return;
    }
    static constexpr std::string_view KEYS[] = {"mute", "p"};
    const auto f = firsts(p, KEYS);
    mute = muteOf(f[0]);  // also false for an empty object
    const Val* params = f[1];
    if (!params || params->kind != Val::OBJ) return;
    // Every member in document order: within "p" the last of equal keys wins.
    Parser w(p.text, p.size);
    w.pos = f.at[1];
    eachMember(w, [&](std::string_view key) {
        const Val v = shallow(w);
        if (key == "wave") {
            tr.wave = (v.kind == Val::STR && v.str == "square") ? 1 : 0;
        } else if (isNumOrBool(&v)) {
            int i = paramIndex(key);
            if (i >= 0) readFloat(&v, tr.p[i]);
        }
    });
}

// The song entry at p.pos appended to `chain` when it is an object with
// members and a number or bool "pat".
void readSongEntry(Parser& p, std::vector<SongEntry>& chain) {
    if (p.text[p.pos] != '{') {
        shallow(p);
        return;
    }
    static constexpr std::string_view KEYS[] = {"pat", "rep"};
    const auto f = firsts(p, KEYS);
    const Val* pv = f[0];
    if (!isNumOrBool(pv)) return;
    std::uint8_t pb = pv->kind == Val::BOOL ? (pv->b ? 1 : 0) : byteOf(pv->num);
    std::uint8_t rb = 1;
    if (const Val* rv = f[1]) {
        if (rv->kind == Val::NUM)
            rb = byteOf(rv->num);
        else if (rv->kind == Val::BOOL)
            rb = rv->b ? 1 : 0;
    }
    chain.push_back(SongEntry{static_cast<std::uint8_t>(pb & 7), rb});
}

// Effect value: clamped like brskern_set_fx; like every float member, a
// value that is not finite in single precision is ignored.
void readFx(const Val* v, float& dst, float lo, float hi) {
    if (!isNumOrBool(v)) return;
    float f = floatOf(*v);
    if (!std::isfinite(f)) return;
    dst = f < lo ? lo : (f > hi ? hi : f);
}

void readLen(const Val* v, std::uint64_t& len) {
    if (!v) return;
    if (v->kind == Val::BOOL) {
        len = 1;
    } else if (v->kind == Val::NUM) {
        double x = v->num;
        if (x > 0) {
            double t = x >= 64.0 ? 64.0 : std::trunc(x);
            len = t < 1.0 ? 1 : static_cast<std::uint64_t>(t);
        } else {
            len = 1;  // 0 or less, or NaN
        }
    }
}

}  // namespace

std::string save_set(const Engine& e) {
    std::string s;
    s.reserve(4096 + e.pats.size() * NUM_TRACKS * NUM_STEPS * 68 + e.song.size() * 24);
    s += "{\"format\":\"vm-groove/1.0\",\"bpm\":";
    putFloat(s, e.bpm);
    s += ",\"swing\":";
    putFloat(s, e.swing);
    s += ",\"len\":";
    {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(e.len),
                               std::chars_format::general, 9);
        s.append(buf, r.ptr);
    }
    s += ",\"master\":{\"drive\":";
    putFloat(s, e.masterDrive);
    s += ",\"level\":";
    putFloat(s, e.masterLevel);
    s += "},\"tracks\":[";
    for (int t = 0; t < NUM_TRACKS; ++t) {
        if (t) s += ',';
        s += "{\"key\":\"";
        s += TRACK_KEYS[t];
        s += "\",\"mute\":";
        s += e.mute[t] ? "true" : "false";
        s += ",\"p\":{";
        for (int i = 0; i < NUM_PARAMS; ++i) {
            if (i) s += ',';
            s += '"';
            s += PARAM_NAMES[i];
            s += "\":";
            putFloat(s, e.tracks[t].p[i]);
        }
        s += ",\"wave\":";
        s += e.tracks[t].wave ? "\"square\"" : "\"saw\"";
        s += "}}";
    }
    s += "],\"pats\":[";
    for (std::size_t p = 0; p < e.pats.size(); ++p) {
        if (p) s += ',';
        s += '[';
        for (int t = 0; t < NUM_TRACKS; ++t) {
            if (t) s += ',';
            s += '[';
            for (int i = 0; i < NUM_STEPS; ++i) {
                if (i) s += ',';
                putStep(s, e.pats[p].steps[t][i]);
            }
            s += ']';
        }
        s += ']';
    }
    s += "],\"fx\":{\"delayTime\":";
    putFloat(s, e.fx.delayTime);
    s += ",\"delayFb\":";
    putFloat(s, e.fx.delayFb);
    s += ",\"reverbSize\":";
    putFloat(s, e.fx.reverbSize);
    s += "},\"song\":[";
    for (std::size_t i = 0; i < e.song.size(); ++i) {
        if (i) s += ',';
        s += "{\"pat\":";
        putInt(s, e.song[i].pat);
        s += ",\"rep\":";
        putInt(s, e.song[i].rep);
        s += '}';
    }
    s += "],\"chain\":";
    s += e.chain ? "true" : "false";
    s += '}';
    return s;
}

bool load_set(Engine& e, const char* text) {
    if (!text) return false;
    const std::size_t n = std::strlen(text);

    // 1. The whole text must be one valid value; this pass allocates nothing
    //    except a copy of a number token longer than 63 characters.
    {
        Parser check(text, n);
        check.build = false;
        if (check.val().kind != Val::OBJ || check.error) return false;
    }

    // 2. The first occurrence of each top-level member the reader uses.
    //    Arrays and objects are only located here and read piece by piece below.
    enum { FORMAT, BPM, SWING, LEN, MASTER, TRACKS, PATS, FX, SONG };
    static constexpr std::string_view TOP[] = {"format", "bpm",  "swing", "len", "master",
                                               "tracks", "pats", "fx",    "song"};
    Parser w(text, n);
    w.skipWs();
    const auto doc = firsts(w, TOP);
    const Val* fmt = doc[FORMAT];
    if (!fmt || fmt->kind != Val::STR || fmt->str != std::string_view(SET_FORMAT)) return false;

    // Where an array or object member starts, or NOWHERE when it is missing
    // or of another kind.
    auto where = [&](int i, int kind) { return doc[i] && doc[i]->kind == kind ? doc.at[i] : NOWHERE; };

    // 3. Everything that allocates is prepared before the engine changes, so
    //    that running out of memory still leaves it untouched.
    Track tracks[NUM_TRACKS];
    bool mute[NUM_TRACKS];
    for (int t = 0; t < NUM_TRACKS; ++t) {
        tracks[t] = e.tracks[t];
        mute[t] = e.mute[t];
    }
    if (const std::size_t at = where(TRACKS, Val::ARR); at != NOWHERE) {
        w.pos = at;
        eachElement(w, [&](std::size_t t) {
            if (t >= NUM_TRACKS) return (void)shallow(w);
            readTrack(w, tracks[t], mute[t]);
        });
    }

    const std::size_t patsAt = where(PATS, Val::ARR);
    std::vector<Pattern> pats;
    if (patsAt != NOWHERE) {
        pats = e.pats;
        w.pos = patsAt;
        // Entries that are not arrays are skipped; an empty array has no
        // elements to apply, so both leave their pattern or track unchanged.
        eachElement(w, [&](std::size_t p) {
            if (p >= pats.size() || text[w.pos] != '[') return (void)shallow(w);
            eachElement(w, [&](std::size_t t) {
                if (t >= NUM_TRACKS || text[w.pos] != '[') return (void)shallow(w);
                eachElement(w, [&](std::size_t st) {
                    if (st >= NUM_STEPS) return (void)shallow(w);
                    pats[p].steps[t][st] = readStep(w);
                });
            });
        });
    }

    const std::size_t songAt = where(SONG, Val::ARR);
    std::vector<SongEntry> chain;
    if (songAt != NOWHERE) {
        w.pos = songAt;
        eachElement(w, [&](std::size_t) { readSongEntry(w, chain); });
        // The chain replaces the engine's: it keeps the room every engine has.
        chain.reserve(std::max(chain.size(), SONG_RESERVE));
    }

    static constexpr std::string_view MASTER_KEYS[] = {"drive", "level"};
    Firsts<2> master;
    if (const std::size_t at = where(MASTER, Val::OBJ); at != NOWHERE) {
        w.pos = at;
        master = firsts(w, MASTER_KEYS);
    }
    static constexpr std::string_view FX_KEYS[] = {"delayTime", "delayFb", "reverbSize"};
    Firsts<3> fx;
    if (const std::size_t at = where(FX, Val::OBJ); at != NOWHERE) {
        w.pos = at;
        fx = firsts(w, FX_KEYS);
    }
    if (w.error) return false;

    // 4. Apply; nothing below allocates or fails.
    readFloat(doc[BPM], e.bpm);
    readFloat(doc[SWING], e.swing);
    readLen(doc[LEN], e.len);

    if (master.any) {
        readFloat(master[0], e.masterDrive);
        readFloat(master[1], e.masterLevel);
    }

    for (int t = 0; t < NUM_TRACKS; ++t) {
        e.tracks[t] = tracks[t];
        e.mute[t] = mute[t];
    }

    if (patsAt != NOWHERE) e.pats.swap(pats);

    if (fx.any) {
        readFx(fx[0], e.fx.delayTime, 0.02f, 1.9f);
        readFx(fx[1], e.fx.delayFb, 0.0f, 0.95f);
        readFx(fx[2], e.fx.reverbSize, 0.0f, 1.0f);
    }

    if (songAt != NOWHERE) e.song.swap(chain);
    return true;
}

bool load_set(Engine* e, const char* text) { return e && load_set(*e, text); }

void copy_set_fields(Engine& to, const Engine& from) {
    to.bpm = from.bpm;
    to.swing = from.swing;
    to.len = from.len;
    std::copy(std::begin(from.tracks), std::end(from.tracks), std::begin(to.tracks));
    std::copy(std::begin(from.mute), std::end(from.mute), std::begin(to.mute));
    to.pats = from.pats;
    to.song = from.song;
    to.chain = from.chain;
    to.masterDrive = from.masterDrive;
    to.masterLevel = from.masterLevel;
    to.fx.delayTime = from.fx.delayTime;
    to.fx.delayFb = from.fx.delayFb;
    to.fx.reverbSize = from.fx.reverbSize;
    to.ensureCapacity();
}

void swap_set_fields(Engine& a, Engine& b) {
    std::swap(a.bpm, b.bpm);
    std::swap(a.swing, b.swing);
    std::swap(a.len, b.len);
    std::swap(a.tracks, b.tracks);
    std::swap(a.mute, b.mute);
    a.pats.swap(b.pats);
    a.song.swap(b.song);
    std::swap(a.chain, b.chain);
    std::swap(a.masterDrive, b.masterDrive);
    std::swap(a.masterLevel, b.masterLevel);
    std::swap(a.fx.delayTime, b.fx.delayTime);
    std::swap(a.fx.delayFb, b.fx.delayFb);
    std::swap(a.fx.reverbSize, b.fx.reverbSize);
}

}  // namespace brs

extern "C" {

BRSKERN_API size_t brskern_save_set(brskern_t h, char* buf, size_t cap) {
    if (!h) return 0;
    try {
        const std::string doc = brs::save_set(*h);
        if (buf && doc.size() < cap) std::memcpy(buf, doc.c_str(), doc.size() + 1);
        return doc.size() + 1;
    } catch (...) {
        return 0;  // out of memory: nothing written
    }
}

BRSKERN_API bool brskern_load_set(brskern_t h, const char* text) {
    if (!h || !text) return false;
    try {
        return brs::load_set(*h, text);
    } catch (...) {
        return false;  // out of memory while parsing: engine untouched
    }
}

}  // extern "C"
