// json.h: the small JSON reader behind set documents.
//
// `Val` carries every alternative at once; `kind` says which member counts.
// `Parser` is a cursor over a borrowed buffer that reads one value per call
// of val(). The reader is deliberately lenient in a few fixed ways that set
// files may rely on:
//   - a comma before a closing bracket or brace is accepted ([1,] is [1]);
//   - true, false and null are recognised by their first letter alone, and
//     the cursor skips 4, 5 or 4 characters without looking at them;
//   - numbers are the longest run of "0123456789-+.eE" converted like
//     strtod (always with "." as decimal separator, whatever the locale);
//   - escapes: \n and \t are control codes, \uXXXX is encoded as UTF-8 on its
//     own (surrogate halves are not paired), any other escaped character
//     stands for itself (\r gives r, \b gives b).
// Nesting deeper than MAX_DEPTH arrays/objects is a syntax error, so a hostile
// text cannot exhaust the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brs {

struct Val {
    enum : int32_t { NUL = 0, BOOL = 1, NUM = 2, STR = 3, ARR = 4, OBJ = 5 };

    int32_t kind = NUL;
    bool b = false;
    double num = 0.0;
    std::string str;                               // UTF-8 bytes, may hold zero bytes
    std::vector<Val> arr;                          // document order
    std::vector<std::pair<std::string, Val>> obj;  // document order, duplicates kept

    // Deep copies, cheap moves. Declared here and defaulted below, where the
    // member pair type is complete (some compilers check it too early otherwise).
    Val();
    Val(const Val&);
    Val(Val&&) noexcept;
    Val& operator=(const Val&);
    Val& operator=(Val&&) noexcept;
    ~Val();
};

inline Val::Val() = default;
inline Val::Val(const Val&) = default;
inline Val::Val(Val&&) noexcept = default;
inline Val& Val::operator=(const Val&) = default;
inline Val& Val::operator=(Val&&) noexcept = default;
inline Val::~Val() = default;

struct Parser {
    // Deepest nesting of arrays and objects accepted; one level more is an error.
    static constexpr std::size_t MAX_DEPTH = 512;

    Parser() = default;
    // A cursor at the start of the `size` characters at `text`.
    Parser(const char* text_, std::size_t size_) : text(text_), size(size_) {}

    const char* text = nullptr;  // not owned; must outlive the parse
    std::size_t pos = 0;         // next unread character
    std::size_t size = 0;        // never read at or beyond this index
    bool error = false;          // set at the first syntax error, never cleared
    std::size_t depth = 0;       // arrays/objects currently open
    // false: check the syntax only. Values come back with their kind but
    // without contents (no text, no elements, no members), and nothing is
    // allocated but a copy of a number token longer than 63 characters; the
    // grammar, the cursor and `error` behave exactly as when building.
    bool build = true;

    // Reads one value at pos and leaves pos just behind it. On a syntax error
    // sets `error` and returns a partial value that must not be used.
    // [any thread] allocates
    Val val();

    // Scratch: elements and members of the containers being read, shared by
    // all levels so that each finished container is allocated once, at its
    // final size. Empty between calls of val().
    std::vector<Val> items;
    std::vector<std::pair<std::string, Val>> members;

    // Moves pos past space, tab, line feed and carriage return (the only
    // whitespace). [any thread] no allocation
    void skipWs() {
        while (pos < size) {
            const char c = text[pos];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos;
        }
    }

  private:
    void readString(Val& out);
    bool next(char close);
    void readArray(Val& out);
    void readObject(Val& out);
    void readNumber(Val& out);
};

// The value of the first member of `object` whose key has exactly the bytes
// of `key`, or null when there is none (or `object` is not an object).
// [any thread] no allocation
const Val* find(const Val& object, std::string_view key);

// The code value of the four characters after "\u", converted like strtoul
// with base 16 in the "C" locale (stopping at the first character that is not
// a hexadecimal digit). [any thread] no allocation
unsigned long hexEscapeValue(const char* four);

// Writes code value v as the reader encodes a "\u" escape (1 to 3 bytes,
// surrogate halves on their own) and returns the number of bytes.
// [any thread] no allocation
std::size_t utf8Of(unsigned long v, char out[3]);

// strtod over exactly [s, s + n) with "." as decimal separator whatever the
// process locale. *used receives the number of characters converted.
// [any thread] no allocation for tokens up to 63 characters
double parseDouble(const char* s, std::size_t n, std::size_t* used);

}  // namespace brs
