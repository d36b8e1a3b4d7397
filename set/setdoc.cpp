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

template <std::size_t N>
inline char* putLit(char* p, const char (&lit)[N]) {
    std::memcpy(p, lit, N - 1);
    return p + (N - 1);
}

// Writes one step object at p (at most 67 characters), returns the new end.
char* putStep(char* p, const Step& st) {
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
    return p;
}

// Appends the pattern store: one "[...]" per pattern, written straight into
// room made at the end of s and cut to the length used.
void putPatterns(std::string& s, const std::vector<Pattern>& pats) {
    constexpr std::size_t STEP_MAX = 68;  // longest step object and its comma
    const std::size_t start = s.size();
    s.resize(start + pats.size() * (NUM_TRACKS * (NUM_STEPS * STEP_MAX + 3) + 3));
    char* const base = s.data() + start;
    char* p = base;
    for (std::size_t i = 0; i < pats.size(); ++i) {
        if (i) *p++ = ',';
        *p++ = '[';
        for (int t = 0; t < NUM_TRACKS; ++t) {
            if (t) *p++ = ',';
            *p++ = '[';
            for (int k = 0; k < NUM_STEPS; ++k) {
                if (k) *p++ = ',';
                p = putStep(p, pats[i].steps[t][k]);
            }
            *p++ = ']';
        }
        *p++ = ']';
    }
    s.resize(start + static_cast<std::size_t>(p - base));
}

// ---- reading: one pass over the text ---------------------------------------------
//
// The reader walks the text once with the grammar of brs::Parser (the same
// whitespace, literals recognised by their first letter, number tokens and
// their conversion, escapes, trailing commas, nesting limit and errors) and
// takes the values it uses as it passes them, into copies of the engine's
// fields. Nothing is built as a tree and no key or string is copied to the
// heap: keys and the two strings the reader compares ("format", "wave") are
// compared where they stand, or decoded into a small buffer when they hold
// escapes. The engine changes only after the whole text has been read
// without a syntax error and carries the format tag.

// A scalar as the reader takes it: kind, truth value, number, and for a
// string whether it equals the text the caller asked about.
struct Scalar {
    std::int32_t kind = Val::NUL;
    bool b = false;
    double num = 0.0;
    bool same = false;
};

// A decoded string: a view into the text when it holds no escape, else the
// first bytes in `buf` (`len` counts them all, `buf` keeps at most its size).
struct Str {
    const char* p = nullptr;
    std::size_t len = 0;
    char buf[16];

    Str() = default;
    Str(const Str&) = delete;  // p may point into buf
    Str& operator=(const Str&) = delete;

    // Whether view() holds the whole string.
    bool fits() const { return p != buf || len <= sizeof buf; }
    std::string_view view() const { return {p, fits() ? len : sizeof buf}; }
    bool operator==(std::string_view s) const { return len == s.size() && fits() && view() == s; }
};

class Walk {
  public:
    Walk(const char* text, std::size_t size) : t_(text), size_(size) {}

    bool error = false;

    void ws() {
        while (pos_ < size_) {
            const char c = t_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos_;
        }
    }

    // The character where the next value starts, or -1 at the end of the text.
    int peek() {
        ws();
        return pos_ < size_ ? static_cast<unsigned char>(t_[pos_]) : -1;
    }

    // Any value, its contents stepped over. `depth`: containers open around it.
    void skip(std::size_t depth) {
        const int c = peek();
        if (c == '[') {
            array(depth, [&](std::size_t, std::size_t d) { skip(d); });
        } else if (c == '{') {
            object(depth, [&](const Str&, std::size_t d) { skip(d); });
        } else {
            Scalar v;
            scalar(depth, v);
        }
    }

    // Any value; a number, bool or null is taken whole, a string is compared
    // with `want`, an array or object is stepped over (kind only).
    void scalar(std::size_t depth, Scalar& out, std::string_view want = {}) {
        const int c = peek();
        switch (c) {
            case -1: error = true; return;
            case '"': {
                Str s;
                out.kind = Val::STR;
                if (string(s)) out.same = s == want;
                return;
            }
            case '[': out.kind = Val::ARR; array(depth, [&](std::size_t, std::size_t d) { skip(d); }); return;
            case '{': out.kind = Val::OBJ; object(depth, [&](const Str&, std::size_t d) { skip(d); }); return;
            case 't': out.kind = Val::BOOL; out.b = true; pos_ += 4; return;
            case 'f': out.kind = Val::BOOL; pos_ += 5; return;
            case 'n': pos_ += 4; return;
            default: number(out); return;
        }
    }

    // The array at pos: f(i, depth + 1) reads element i (exactly one value).
    template <class F>
    void array(std::size_t depth, F&& f) {
        if (depth >= Parser::MAX_DEPTH) {
            error = true;
            return;
        }
        ++pos_;  // [
        for (std::size_t i = 0;; ++i) {
            ws();
            if (pos_ < size_ && t_[pos_] == ']') {
                ++pos_;
                return;
            }
            f(i, depth + 1);
            if (error || !next(']')) return;
        }
    }

    // The object at pos: f(key, depth + 1) reads each member's value.
    template <class F>
    void object(std::size_t depth, F&& f) {
        if (depth >= Parser::MAX_DEPTH) {
            error = true;
            return;
        }
        ++pos_;  // {
        for (;;) {
            ws();
            if (pos_ < size_ && t_[pos_] == '}') {
                ++pos_;
                return;
            }
            Str key;
            if (pos_ >= size_ || t_[pos_] != '"' || !string(key)) {
                error = true;  // a key must be a string
                return;
            }
            ws();
            if (pos_ >= size_ || t_[pos_] != ':') {
                error = true;
                return;
            }
            ++pos_;
            f(key, depth + 1);
            if (error || !next('}')) return;
        }
    }

    // A step object exactly as the writer writes it, at pos:
    // {"on":I,"acc":I,"note":I,"rat":I,"slice":I,"rev":I} with I an integer
    // of one to three digits, optionally negative. Takes the six numbers
    // into v (in the order on, acc, rev, note, rat, slice) and moves past
    // it; false, with nothing moved, for any other text, which then goes
    // the general way. Both ways give the same values.
    bool writerStep(Scalar (&v)[6]) {
        std::size_t i = pos_;
        if (!(field(i, "{\"on\":", v[0]) && field(i, ",\"acc\":", v[1]) && field(i, ",\"note\":", v[3]) &&
              field(i, ",\"rat\":", v[4]) && field(i, ",\"slice\":", v[5]) && field(i, ",\"rev\":", v[2])))
            return false;
        if (i >= size_ || t_[i] != '}') return false;
        pos_ = i + 1;
        return true;
    }

  private:
    const char* t_;
    std::size_t pos_ = 0;
    std::size_t size_;

    // After an element or member: ',' continues (true), the closing bracket
    // ends the container, anything else is an error (both false).
    bool next(char close) {
        ws();
        if (pos_ < size_ && t_[pos_] == ',') {
            ++pos_;
            return true;
        }
        if (pos_ < size_ && t_[pos_] == close)
            ++pos_;
        else
            error = true;
        return false;
    }

    // The string at pos (its opening quote); false on a syntax error.
    bool string(Str& out) {
        ++pos_;
        if (pos_ >= size_) return fail();
        // The common case: no escape before the closing quote.
        const std::size_t start = pos_;
        while (pos_ < size_ && t_[pos_] != '"' && t_[pos_] != '\\') ++pos_;
        if (pos_ < size_ && t_[pos_] == '"') {
            out.p = t_ + start;
            out.len = pos_ - start;
            ++pos_;
            return true;
        }
        pos_ = start;
        out.p = out.buf;
        out.len = 0;
        auto put = [&](const char* b, std::size_t n) {
            for (std::size_t k = 0; k < n; ++k, ++out.len)
                if (out.len < sizeof out.buf) out.buf[out.len] = b[k];
        };
        for (;;) {
            const std::size_t run = pos_;
            while (pos_ < size_ && t_[pos_] != '"' && t_[pos_] != '\\') ++pos_;
            if (pos_ > run) {
                put(t_ + run, pos_ - run);
                if (pos_ >= size_) return fail();  // unterminated
            }
            if (t_[pos_++] == '"') return true;
            if (pos_ >= size_) return fail();  // a backslash at the end
            const char e = t_[pos_++];
            if (e == 'n') {
                put("\n", 1);
            } else if (e == 't') {
                put("\t", 1);
            } else if (e == 'u') {
                if (size_ - pos_ < 4) return fail();
                char u[3];
                put(u, utf8Of(hexEscapeValue(t_ + pos_), u));
                pos_ += 4;
            } else {
                put(&e, 1);
            }
            if (pos_ >= size_) return fail();  // unterminated
        }
    }

    void number(Scalar& out) {
        const std::size_t start = pos_;
        // Plain integers of up to 15 digits (the step fields) are exact in a
        // double and taken as they are scanned; parseDouble gives them the
        // very same value.
        std::size_t i = pos_;
        const bool sign = i < size_ && (t_[i] == '-' || t_[i] == '+');
        if (sign) ++i;
        std::uint64_t v = 0;
        const std::size_t digits = i;
        while (i < size_ && t_[i] >= '0' && t_[i] <= '9' && i - digits < 16) v = v * 10 + (t_[i++] - '0');
        const std::size_t nd = i - digits;
        if (nd > 0 && nd <= 15 && !(i < size_ && isNumChar(t_[i]))) {
            pos_ = i;
            out.kind = Val::NUM;
            out.num = t_[start] == '-' ? -static_cast<double>(v) : static_cast<double>(v);
            return;
        }
        while (pos_ < size_ && isNumChar(t_[pos_])) ++pos_;
        if (pos_ == start) {
            error = true;
            return;
        }
        std::size_t used = 0;
        const double d = parseDouble(t_ + start, pos_ - start, &used);
        if (used != pos_ - start) {
            error = true;
            return;
        }
        out.kind = Val::NUM;
        out.num = d;
    }

    static bool isNumChar(char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    }

    // writerStep: the literal `lit` at i, then an integer of one to three
    // digits, optionally negative, into out; i moves past both.
    template <std::size_t N>
    bool field(std::size_t& i, const char (&lit)[N], Scalar& out) {
        constexpr std::size_t n = N - 1;
        if (size_ - i < n || std::memcmp(t_ + i, lit, n) != 0) return false;
        i += n;
        const bool neg = i < size_ && t_[i] == '-';
        if (neg) ++i;
        int x = 0, nd = 0;
        for (; i < size_ && t_[i] >= '0' && t_[i] <= '9' && nd < 4; ++i, ++nd) x = x * 10 + (t_[i] - '0');
        if (nd == 0 || nd > 3) return false;
        out.kind = Val::NUM;
        out.num = neg ? -static_cast<double>(x) : static_cast<double>(x);
        return true;
    }

    bool fail() {
        error = true;
        return false;
    }
};

// ---- values -------------------------------------------------------------------

// Each helper takes the first member of a key, or null when it is missing.

bool isNumOrBool(const Scalar* v) { return v && (v->kind == Val::NUM || v->kind == Val::BOOL); }

// Number narrowed to single precision, or 1/0 for a bool.
float floatOf(const Scalar& v) {
    if (v.kind == Val::BOOL) return v.b ? 1.0f : 0.0f;
    return static_cast<float>(v.num);
}

// Float member: stores into `dst` when the value is a number or bool whose
// single-precision value is finite, kept to `range`; otherwise `dst` keeps
// its value.
void readFloat(const Scalar* v, float& dst, ParamRange range) {
    if (!isNumOrBool(v)) return;
    float f = floatOf(*v);
    if (std::isfinite(f)) dst = keepTo(f, range);
}

// Truncated toward zero to a 32-bit integer, low 8 bits kept; a number
// outside the 32-bit range (or NaN) gives 0.
// (trunc(x) lies in [-2^31, 2^31 - 1] exactly when x lies in
// (-2^31 - 1, 2^31), and the conversion truncates by itself.)
std::uint8_t byteOf(double x) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return 0;
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(x));
}

// "on", "acc", "rev": 1 for a number above 0 or true, else 0.
std::uint8_t flagOf(const Scalar* v) {
    if (!v) return 0;
    if (v->kind == Val::NUM) return v->num > 0 ? 1 : 0;
    if (v->kind == Val::BOOL) return v->b ? 1 : 0;
    return 0;
}

bool muteOf(const Scalar* m) {
    if (!m) return false;
    switch (m->kind) {
        case Val::BOOL: return m->b;
        case Val::NUM: return m->num != 0.0;  // NaN gives true
        case Val::NUL: return false;
        default: return true;  // string, array, object
    }
}

// Effect value: clamped like brskern_set_fx; like every float member, a
// value that is not finite in single precision is ignored.
void readFx(const Scalar* v, float& dst, float lo, float hi) {
    if (!isNumOrBool(v)) return;
    float f = floatOf(*v);
    if (!std::isfinite(f)) return;
    dst = f < lo ? lo : (f > hi ? hi : f);
}

void readLen(const Scalar* v, std::uint64_t& len) {
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

// The first member of each of N keys of one object, read as scalars.
template <std::size_t N>
struct Firsts {
    Scalar v[N];
    bool seen[N] = {};

    const Scalar* operator[](std::size_t i) const { return seen[i] ? &v[i] : nullptr; }

    // Reads the member value at the walker for key index i (or steps over it
    // when i is out of range or the key came before).
    void take(Walk& w, std::size_t depth, std::size_t i) {
        if (i < N && !seen[i]) {
            seen[i] = true;
            w.scalar(depth, v[i]);
        } else {
            w.skip(depth);
        }
    }
};

// Index of `key` in `keys`, or N.
template <std::size_t N>
std::size_t keyIndex(const Str& key, const std::string_view (&keys)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (key == keys[i]) return i;
    return N;
}

// The object at the walker, its members named in `keys` taken first-wins.
template <std::size_t N>
Firsts<N> firsts(Walk& w, std::size_t depth, const std::string_view (&keys)[N]) {
    Firsts<N> f;
    w.object(depth, [&](const Str& key, std::size_t d) { f.take(w, d, keyIndex(key, keys)); });
    return f;
}

// A step from the first members of its keys, in the order on, acc, rev,
// note, rat, slice (null: missing), written field by field into st.
void stepOf(Step& st, const Scalar* on, const Scalar* acc, const Scalar* rev, const Scalar* note,
            const Scalar* rat, const Scalar* slice) {
    st.note = 0;
    st.rat = 1;
    st.slice = 0;
    st.on = flagOf(on);
    st.acc = flagOf(acc);
    st.rev = flagOf(rev);
    if (note) {
        if (note->kind == Val::NUM)
            st.note = static_cast<std::int8_t>(byteOf(note->num));
        else if (note->kind == Val::BOOL)
            st.note = note->b ? 1 : 0;
    }
    if (rat && rat->kind == Val::NUM && rat->num > 0) {
        std::uint8_t b = byteOf(rat->num);
        st.rat = b == 0 ? 1 : b;
    }
    if (slice) {
        if (slice->kind == Val::NUM)
            st.slice = slice->num > 0 ? byteOf(slice->num) : 0;
        else if (slice->kind == Val::BOOL)
            st.slice = slice->b ? 1 : 0;
    }
}

// The step at the walker into st; anything but an object with members is
// the default step.
void readStep(Walk& w, std::size_t depth, Step& st) {
    if (w.peek() != '{') {
        w.skip(depth);
        st = Step{0, 0, 0, 1, 0, 0};
        return;
    }
    enum { ON, ACC, REV, NOTE, RAT, SLICE };
    Scalar v[6];
    if (w.writerStep(v)) return stepOf(st, &v[ON], &v[ACC], &v[REV], &v[NOTE], &v[RAT], &v[SLICE]);
    Firsts<6> f;
    w.object(depth, [&](const Str& key, std::size_t d) {
        // The step keys by length and bytes: "on", "acc", "rev", "rat", "note", "slice".
        std::size_t i = 6;
        const std::string_view k = key.fits() ? key.view() : std::string_view();
        switch (k.size()) {
            case 2: i = k == "on" ? ON : 6; break;
            case 3: i = k == "acc" ? ACC : k == "rev" ? REV : k == "rat" ? RAT : 6; break;
            case 4: i = k == "note" ? NOTE : 6; break;
            case 5: i = k == "slice" ? SLICE : 6; break;
            default: break;
        }
        f.take(w, d, i);
    });
    stepOf(st, f[ON], f[ACC], f[REV], f[NOTE], f[RAT], f[SLICE]);
}

int paramIndex(const Str& key) {
    if (!key.fits()) return -1;
    for (int i = 0; i < NUM_PARAMS; ++i)
        if (key.view() == PARAM_NAMES[i]) return i;
    return -1;
}

// "p" of a track: every member in document order, so that the last of
// equal keys wins.
void readParams(Walk& w, std::size_t depth, Track& tr) {
    w.object(depth, [&](const Str& key, std::size_t d) {
        Scalar v;
        if (key == "wave") {
            w.scalar(d, v, "square");
            tr.wave = (v.kind == Val::STR && v.same) ? 1 : 0;
        } else {
            w.scalar(d, v);
            if (isNumOrBool(&v)) {
                const int i = paramIndex(key);
                if (i >= 0) readFloat(&v, tr.p[i], PARAM_RANGES[i]);
            }
        }
    });
}

// The track entry at the walker.
void readTrack(Walk& w, std::size_t depth, Track& tr, bool& mute) {
    mute = false;  // also for an entry that is not an object, or has no "mute"
    if (w.peek() != '{') {
        w.skip(depth);
        return;
    }
    bool seenMute = false, seenP = false;
    w.object(depth, [&](const Str& key, std::size_t d) {
        if (!seenMute && key == "mute") {
            seenMute = true;
            Scalar m;
            w.scalar(d, m);
            mute = muteOf(&m);
        } else if (!seenP && key == "p") {
            seenP = true;
            if (w.peek() == '{')
                readParams(w, d, tr);
            else
                w.skip(d);
        } else {
            w.skip(d);
        }
    });
}

// The song entry at the walker, appended to `chain` when it is an object
// with a number or bool "pat".
void readSongEntry(Walk& w, std::size_t depth, std::vector<SongEntry>& chain) {
    if (w.peek() != '{') {
        w.skip(depth);
        return;
    }
    static constexpr std::string_view KEYS[] = {"pat", "rep"};
    const auto f = firsts(w, depth, KEYS);
    const Scalar* pv = f[0];
    if (!isNumOrBool(pv)) return;
    std::uint8_t pb = pv->kind == Val::BOOL ? (pv->b ? 1 : 0) : byteOf(pv->num);
    std::uint8_t rb = 1;
    if (const Scalar* rv = f[1]) {
        if (rv->kind == Val::NUM)
            rb = byteOf(rv->num);
        else if (rv->kind == Val::BOOL)
            rb = rv->b ? 1 : 0;
    }
    chain.push_back(SongEntry{static_cast<std::uint8_t>(pb & 7), rb});
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
    putPatterns(s, e.pats);
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
    Walk w(text, std::strlen(text));
    if (w.peek() != '{') return false;  // not an object (or nothing at all)

    // Copies of what the document may change. Everything that allocates
    // happens here, before the engine changes, so that running out of
    // memory still leaves it untouched.
    Track tracks[NUM_TRACKS];
    bool mute[NUM_TRACKS];
    for (int t = 0; t < NUM_TRACKS; ++t) {
        tracks[t] = e.tracks[t];
        mute[t] = e.mute[t];
    }
    std::vector<Pattern> pats;
    std::vector<SongEntry> chain;

    // The first member of each top-level key counts, whatever its kind.
    enum { FORMAT, BPM, SWING, LEN, MASTER, TRACKS, PATS, FX, SONG, OTHER };
    static constexpr std::string_view TOP[] = {"format", "bpm",  "swing", "len", "master",
                                               "tracks", "pats", "fx",    "song"};
    bool seen[OTHER] = {};
    Scalar scalars[OTHER];  // format, bpm, swing, len
    bool havePats = false, haveSong = false;
    static constexpr std::string_view MASTER_KEYS[] = {"drive", "level"};
    static constexpr std::string_view FX_KEYS[] = {"delayTime", "delayFb", "reverbSize"};
    Firsts<2> master;
    Firsts<3> fx;

    w.object(0, [&](const Str& key, std::size_t d) {
        const std::size_t k = keyIndex(key, TOP);
        if (k == OTHER || seen[k]) return w.skip(d);
        seen[k] = true;
        const int c = w.peek();
        switch (k) {
            case FORMAT: return w.scalar(d, scalars[FORMAT], SET_FORMAT);
            case BPM:
            case SWING:
            case LEN: return w.scalar(d, scalars[k]);
            case MASTER:
                if (c != '{') return w.skip(d);
                master = firsts(w, d, MASTER_KEYS);
                return;
            case FX:
                if (c != '{') return w.skip(d);
                fx = firsts(w, d, FX_KEYS);
                return;
            case TRACKS:
                if (c != '[') return w.skip(d);
                return w.array(d, [&](std::size_t t, std::size_t d1) {
                    if (t >= NUM_TRACKS) return w.skip(d1);
                    readTrack(w, d1, tracks[t], mute[t]);
                });
            case PATS:
                if (c != '[') return w.skip(d);
                havePats = true;
                pats = e.pats;
                // Entries that are not arrays are skipped; an empty array has
                // no elements to apply, so both leave their pattern or track
                // unchanged.
                return w.array(d, [&](std::size_t p, std::size_t d1) {
                    if (p >= pats.size() || w.peek() != '[') return w.skip(d1);
                    w.array(d1, [&](std::size_t t, std::size_t d2) {
                        if (t >= NUM_TRACKS || w.peek() != '[') return w.skip(d2);
                        w.array(d2, [&](std::size_t st, std::size_t d3) {
                            if (st >= NUM_STEPS) return w.skip(d3);
                            readStep(w, d3, pats[p].steps[t][st]);
                        });
                    });
                });
            default:  // SONG
                if (c != '[') return w.skip(d);
                haveSong = true;
                w.array(d, [&](std::size_t, std::size_t d1) { readSongEntry(w, d1, chain); });
                // The chain replaces the engine's: it keeps the room every engine has.
                chain.reserve(std::max(chain.size(), SONG_RESERVE));
                return;
        }
    });
    if (w.error) return false;
    const Scalar& fmt = scalars[FORMAT];
    if (!seen[FORMAT] || fmt.kind != Val::STR || !fmt.same) return false;

    // Apply; nothing below allocates or fails.
    // Every value is kept to its range as it comes in, so that what a set
    // brings is what the kernel's setters and the host parameters could
    // have made, and saves back as read.
    if (seen[BPM]) readFloat(&scalars[BPM], e.bpm, BPM_RANGE);
    if (seen[SWING]) readFloat(&scalars[SWING], e.swing, SWING_RANGE);
    if (seen[LEN]) readLen(&scalars[LEN], e.len);

    readFloat(master[0], e.masterDrive, MASTER_RANGE);
    readFloat(master[1], e.masterLevel, MASTER_RANGE);

    for (int t = 0; t < NUM_TRACKS; ++t) {
        e.tracks[t] = tracks[t];
        e.mute[t] = mute[t];
    }

    if (havePats) e.pats.swap(pats);

    readFx(fx[0], e.fx.delayTime, 0.02f, 1.9f);
    readFx(fx[1], e.fx.delayFb, 0.0f, 0.95f);
    readFx(fx[2], e.fx.reverbSize, 0.0f, 1.0f);

    if (haveSong) e.song.swap(chain);
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
