// setdoc.cpp: the "vm-groove/1.0" set document, writer and reader.
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

// ---- reader -----------------------------------------------------------------

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

Step readStep(const Val& v) {
    Step st{0, 0, 0, 1, 0, 0};
    if (v.kind != Val::OBJ || v.obj.empty()) return st;
    st.on = flagOf(find(v, "on"));
    st.acc = flagOf(find(v, "acc"));
    st.rev = flagOf(find(v, "rev"));
    if (const Val* n = find(v, "note")) {
        if (n->kind == Val::NUM)
            st.note = static_cast<std::int8_t>(byteOf(n->num));
        else if (n->kind == Val::BOOL)
            st.note = n->b ? 1 : 0;
    }
    if (const Val* r = find(v, "rat"); r && r->kind == Val::NUM && r->num > 0) {
        std::uint8_t b = byteOf(r->num);
        st.rat = b == 0 ? 1 : b;
    }
    if (const Val* sl = find(v, "slice")) {
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

void readTrack(const Val& tv, Track& tr, bool& mute) {
    if (tv.kind != Val::OBJ || tv.obj.empty()) {
        mute = false;
        return;
    }
    mute = muteOf(find(tv, "mute"));
    const Val* p = find(tv, "p");
    if (!p || p->kind != Val::OBJ) return;
    // Every member in document order: within "p" the last of equal keys wins.
    for (const auto& [key, v] : p->obj) {
        if (key == "wave") {
            tr.wave = (v.kind == Val::STR && v.str == "square") ? 1 : 0;
        } else if (isNumOrBool(&v)) {
            int i = paramIndex(key);
            if (i >= 0) readFloat(&v, tr.p[i]);
        }
    }
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

bool objWithMembers(const Val* v) { return v && v->kind == Val::OBJ && !v->obj.empty(); }

// ---- walking text that is already known to be valid ---------------------------

constexpr std::size_t NOWHERE = static_cast<std::size_t>(-1);

void skipValue(Parser& p) {
    p.build = false;
    p.val();
    p.build = true;
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

// p.pos is at (or before whitespace and) the '{' of a valid object: calls
// f(key) with p.pos at each member's value; f reads or skips the value.
template <class F>
void eachMember(Parser& p, F&& f) {
    p.skipWs();
    ++p.pos;
    for (;;) {
        p.skipWs();
        if (p.pos >= p.size || p.text[p.pos] == '}') return;
        Val key = p.val();
        p.skipWs();
        ++p.pos;  // ':'
        p.skipWs();
        f(std::move(key.str));
        if (p.error) return;
        p.skipWs();
        if (p.pos >= p.size || p.text[p.pos++] != ',') return;
    }
}

// Top-level members read besides "pats".
bool isTopKey(std::string_view k) {
    return k == "format" || k == "bpm" || k == "swing" || k == "len" || k == "master" || k == "tracks" ||
           k == "fx" || k == "song";
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

    // 2. The top-level members the reader uses (first occurrences), except
    //    the pattern store, whose position is noted instead: its 3072 step
    //    objects are read one at a time below rather than held all at once.
    Val doc;
    doc.kind = Val::OBJ;
    std::size_t patsAt = NOWHERE;
    {
        Parser w(text, n);
        eachMember(w, [&](std::string&& key) {
            if (key == "pats") {
                if (patsAt == NOWHERE) patsAt = w.pos;
                skipValue(w);
            } else if (isTopKey(key) && !find(doc, key)) {
                doc.obj.emplace_back(std::move(key), w.val());
            } else {
                skipValue(w);
            }
        });
        if (w.error) return false;
    }
    const Val* fmt = find(doc, "format");
    if (!fmt || fmt->kind != Val::STR || fmt->str != std::string_view(SET_FORMAT)) return false;

    // 3. Everything that allocates is prepared before the engine changes, so
    //    that running out of memory still leaves it untouched.
    const bool patsGiven = patsAt != NOWHERE && text[patsAt] == '[';
    std::vector<Pattern> pats;
    if (patsGiven) {
        pats = e.pats;
        Parser w(text, n);
        w.pos = patsAt;
        // Entries that are not arrays are skipped; an empty array has no
        // elements to apply, so both leave their pattern or track unchanged.
        eachElement(w, [&](std::size_t p) {
            if (p >= pats.size() || text[w.pos] != '[') return skipValue(w);
            eachElement(w, [&](std::size_t t) {
                if (t >= NUM_TRACKS || text[w.pos] != '[') return skipValue(w);
                eachElement(w, [&](std::size_t st) {
                    if (st >= NUM_STEPS) return skipValue(w);
                    pats[p].steps[t][st] = readStep(w.val());
                });
            });
        });
        if (w.error) return false;
    }

    const Val* song = find(doc, "song");
    const bool songGiven = song && song->kind == Val::ARR;
    std::vector<SongEntry> chain;
    if (songGiven) {
        chain.reserve(song->arr.size());
        for (const Val& en : song->arr) {
            if (!objWithMembers(&en)) continue;
            const Val* pv = find(en, "pat");
            if (!isNumOrBool(pv)) continue;
            std::uint8_t pb = pv->kind == Val::BOOL ? (pv->b ? 1 : 0) : byteOf(pv->num);
            std::uint8_t rb = 1;
            if (const Val* rv = find(en, "rep")) {
                if (rv->kind == Val::NUM)
                    rb = byteOf(rv->num);
                else if (rv->kind == Val::BOOL)
                    rb = rv->b ? 1 : 0;
            }
            chain.push_back(SongEntry{static_cast<std::uint8_t>(pb & 7), rb});
        }
    }

    // 4. Apply; nothing below allocates or fails.
    readFloat(find(doc, "bpm"), e.bpm);
    readFloat(find(doc, "swing"), e.swing);
    readLen(find(doc, "len"), e.len);

    if (const Val* m = find(doc, "master"); objWithMembers(m)) {
        readFloat(find(*m, "drive"), e.masterDrive);
        readFloat(find(*m, "level"), e.masterLevel);
    }

    if (const Val* tr = find(doc, "tracks"); tr && tr->kind == Val::ARR) {
        const std::size_t nt = tr->arr.size() < NUM_TRACKS ? tr->arr.size() : NUM_TRACKS;
        for (std::size_t t = 0; t < nt; ++t) readTrack(tr->arr[t], e.tracks[t], e.mute[t]);
    }

    if (patsGiven) e.pats.swap(pats);

    if (const Val* fx = find(doc, "fx"); objWithMembers(fx)) {
        readFx(find(*fx, "delayTime"), e.fx.delayTime, 0.02f, 1.9f);
        readFx(find(*fx, "delayFb"), e.fx.delayFb, 0.0f, 0.95f);
        readFx(find(*fx, "reverbSize"), e.fx.reverbSize, 0.0f, 1.0f);
    }

    if (songGiven) e.song.swap(chain);
    return true;
}

bool load_set(Engine* e, const char* text) { return e && load_set(*e, text); }

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
