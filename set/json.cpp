// json.cpp: recursive-descent reader for set documents.
#include "set/json.h"

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>
#include <locale.h>
#include <new>
#include <stdlib.h>

namespace brs {

namespace {

inline bool isNumChar(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The "C" locale, made once: numbers are always read with "." whatever
// LC_NUMERIC the host process runs with.
locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (!loc) throw std::bad_alloc();  // newlocale("C") fails only when out of memory
    return loc;
}

void appendUtf8(std::string& s, unsigned long v) {
    char b[3];
    s.append(b, utf8Of(v, b));
}

}  // namespace

unsigned long hexEscapeValue(const char* four) {
    char hex[5];
    std::memcpy(hex, four, 4);
    hex[4] = '\0';
    return strtoul_l(hex, nullptr, 16, cLocale());
}

std::size_t utf8Of(unsigned long v, char out[3]) {
    if (v < 0x80) {
        out[0] = static_cast<char>(v);
        return 1;
    }
    if (v < 0x800) {
        out[0] = static_cast<char>(0xC0 | (v >> 6));
        out[1] = static_cast<char>(0x80 | (v & 0x3F));
        return 2;
    }
    // Only the low byte of each expression is kept (a "\u-001" escape
    // converts to a huge value and lands here).
    out[0] = static_cast<char>(0xE0 | (v >> 12));
    out[1] = static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (v & 0x3F));
    return 3;
}

double parseDouble(const char* s, std::size_t n, std::size_t* used) {
    // Plain integers of up to 15 digits are exact in a double: convert them
    // directly (the set document is made of little else).
    if (n > 0 && n <= 16) {
        std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
        if (i < n && n - i <= 15) {
            double v = 0.0;
            std::size_t j = i;
            for (; j < n && s[j] >= '0' && s[j] <= '9'; ++j) v = v * 10.0 + (s[j] - '0');
            if (j == n) {
                *used = n;
                return s[0] == '-' ? -v : v;
            }
        }
    }
    // std::from_chars is correctly rounded and locale-free, like strtod in
    // the "C" locale, and needs no copy of the token. It knows no leading
    // '+', and reports overflow and underflow instead of converting them;
    // those tokens, and every one it cannot convert, go to strtod itself.
    {
        const char* b = s;
        const char* e = s + n;
        if (b < e && *b == '+' && e - b > 1 && ((b[1] >= '0' && b[1] <= '9') || b[1] == '.')) ++b;
        double v = 0.0;
        const auto r = std::from_chars(b, e, v, std::chars_format::general);
        if (r.ec == std::errc()) {
            *used = static_cast<std::size_t>(r.ptr - s);
            return v;
        }
    }
    char small[64];
    std::string big;
    char* buf = small;
    if (n < sizeof small) {
        std::memcpy(small, s, n);
        small[n] = '\0';
    } else {
        big.assign(s, n);
        buf = big.data();
    }
    char* end = buf;
    double v = strtod_l(buf, &end, cLocale());
    *used = static_cast<std::size_t>(end - buf);
    return v;
}

Val Parser::val() {
    Val out;
    skipWs();
    if (pos >= size) {
        error = true;
        return out;
    }
    switch (text[pos]) {
        case '"':
            readString(out);
            break;
        case '[':
        case '{':
            if (depth >= MAX_DEPTH) {
                error = true;
                break;
            }
            ++depth;
            if (text[pos] == '[')
                readArray(out);
            else
                readObject(out);
            --depth;
            break;
        case 't':
            out.kind = Val::BOOL;
            out.b = true;
            pos += 4;
            break;
        case 'f':
            out.kind = Val::BOOL;
            pos += 5;
            break;
        case 'n':
            pos += 4;
            break;
        default:
            readNumber(out);
            break;
    }
    return out;
}

void Parser::readString(Val& out) {
    out.kind = Val::STR;
    ++pos;  // opening quote
    if (pos >= size) {
        error = true;
        return;
    }
    for (;;) {
        // Plain bytes are taken as one run.
        std::size_t start = pos;
        while (pos < size && text[pos] != '"' && text[pos] != '\\') ++pos;
        if (pos > start) {
            if (build) out.str.append(text + start, pos - start);
            if (pos >= size) {
                error = true;  // unterminated
                return;
            }
        }
        char c = text[pos++];
        if (c == '"') return;
        // c is a backslash
        if (pos >= size) {
            error = true;
            return;
        }
        char e = text[pos++];
        if (!build) {
            if (e == 'u') {
                if (size - pos < 4) {
                    error = true;
                    return;
                }
                pos += 4;
            }
        } else if (e == 'n') {
            out.str.push_back('\n');
        } else if (e == 't') {
            out.str.push_back('\t');
        } else if (e == 'u') {
            if (size - pos < 4) {
                error = true;
                return;
            }
            const unsigned long v = hexEscapeValue(text + pos);
            pos += 4;
            appendUtf8(out.str, v);
        } else {
            out.str.push_back(e);
        }
        if (pos >= size) {
            error = true;  // unterminated
            return;
        }
    }
}

// After an element or member: a comma continues the container (true); its
// closing bracket ends it, anything else is a syntax error (false).
bool Parser::next(char close) {
    skipWs();
    if (pos < size && text[pos] == ',') {
        ++pos;
        return true;
    }
    if (pos < size && text[pos] == close)
        ++pos;
    else
        error = true;
    return false;
}

void Parser::readArray(Val& out) {
    out.kind = Val::ARR;
    ++pos;  // [
    const std::size_t base = items.size();
    for (;;) {
        skipWs();
        if (pos < size && text[pos] == ']') {
            ++pos;
            break;
        }
        if (build)
            items.push_back(val());
        else
            val();
        if (error || !next(']')) break;
    }
    out.arr.assign(std::make_move_iterator(items.begin() + base),
                   std::make_move_iterator(items.end()));
    items.erase(items.begin() + base, items.end());
}

void Parser::readObject(Val& out) {
    out.kind = Val::OBJ;
    ++pos;  // {
    const std::size_t base = members.size();
    for (;;) {
        skipWs();
        if (pos < size && text[pos] == '}') {
            ++pos;
            break;
        }
        Val key = val();
        if (error || key.kind != Val::STR) {
            error = true;
            break;
        }
        skipWs();
        if (pos >= size || text[pos] != ':') {
            error = true;
            break;
        }
        ++pos;
        Val v = val();
        if (error) break;
        if (build) members.emplace_back(std::move(key.str), std::move(v));
        if (!next('}')) break;
    }
    out.obj.assign(std::make_move_iterator(members.begin() + base),
                   std::make_move_iterator(members.end()));
    members.erase(members.begin() + base, members.end());
}

void Parser::readNumber(Val& out) {
    const std::size_t start = pos;
    while (pos < size && isNumChar(text[pos])) ++pos;
    if (pos == start) {
        error = true;
        return;
    }
    std::size_t used = 0;
    out.num = parseDouble(text + start, pos - start, &used);
    if (used != pos - start) {
        error = true;  // stays null; num holds the converted prefix
        return;
    }
    out.kind = Val::NUM;
}

const Val* find(const Val& object, std::string_view key) {
    for (const auto& m : object.obj)
        if (m.first.size() == key.size() && std::memcmp(m.first.data(), key.data(), key.size()) == 0)
            return &m.second;
    return nullptr;
}

}  // namespace brs
