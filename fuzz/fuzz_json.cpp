// fuzz_json.cpp: the JSON reader (set/json.h) against arbitrary bytes.
//
// Properties checked for every input:
//   - the syntax-only reader (build = false) agrees with the building one on
//     the error flag and on where the cursor stops;
//   - after a value the scratch stacks are empty again;
//   - an accepted value, written back as JSON, reads back to the same value
//     (bit for bit), and writing that one gives the very same text.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "set/json.h"

namespace {

using brs::Parser;
using brs::Val;
using brs::fuzz::fail;

// Writes v as JSON the reader takes back unchanged: strings escape only the
// quote and the backslash (any other escaped character stands for itself),
// numbers carry 17 digits, infinities are written as numbers out of range.
void write(const Val& v, std::string& out) {
    switch (v.kind) {
        case Val::NUL: out += "null"; break;
        case Val::BOOL: out += v.b ? "true" : "false"; break;
        case Val::NUM: {
            char buf[40];
            if (std::isinf(v.num))
                std::snprintf(buf, sizeof buf, "%s", v.num > 0 ? "1e999" : "-1e999");
            else
                std::snprintf(buf, sizeof buf, "%.17g", v.num);
            out += buf;
            break;
        }
        case Val::STR:
            out += '"';
            for (char c : v.str) {
                if (c == '"' || c == '\\') out += '\\';
                out += c;
            }
            out += '"';
            break;
        case Val::ARR:
            out += '[';
            for (std::size_t i = 0; i < v.arr.size(); ++i) {
                if (i) out += ',';
                write(v.arr[i], out);
            }
            out += ']';
            break;
        case Val::OBJ:
            out += '{';
            for (std::size_t i = 0; i < v.obj.size(); ++i) {
                if (i) out += ',';
                Val key;
                key.kind = Val::STR;
                key.str = v.obj[i].first;
                write(key, out);
                out += ':';
                write(v.obj[i].second, out);
            }
            out += '}';
            break;
        default: out += "?"; break;
    }
}

bool same(const Val& a, const Val& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Val::BOOL: return a.b == b.b;
        case Val::NUM: return std::memcmp(&a.num, &b.num, sizeof a.num) == 0;
        case Val::STR: return a.str == b.str;
        case Val::ARR:
            if (a.arr.size() != b.arr.size()) return false;
            for (std::size_t i = 0; i < a.arr.size(); ++i)
                if (!same(a.arr[i], b.arr[i])) return false;
            return true;
        case Val::OBJ:
            if (a.obj.size() != b.obj.size()) return false;
            for (std::size_t i = 0; i < a.obj.size(); ++i)
                if (a.obj[i].first != b.obj[i].first || !same(a.obj[i].second, b.obj[i].second)) return false;
            return true;
        default: return true;
    }
}

}  // namespace

long fuzzAccepted = 0;

std::vector<std::string> fuzzSeeds() {
    return {"{\"a\":[1,-2.5e3,true,false,null,\"x\\\"y\\\\z\\u00e4\\n\"],\"a\":{}}",
            "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
            std::string(Parser::MAX_DEPTH, '[') + std::string(Parser::MAX_DEPTH, ']'),
            std::string(Parser::MAX_DEPTH + 1, '[') + std::string(Parser::MAX_DEPTH + 1, ']')};
}
std::vector<std::string> fuzzTokens() { return {"\\u0000", "\\ud800", "\"\\", "tru", "nul", "1e-400", "-0", "\t"}; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    Parser built(input.data(), input.size());
    const Val v = built.val();
    Parser checked(input.data(), input.size());
    checked.build = false;
    const Val w = checked.val();
    if (built.error != checked.error) fail("syntax check and reader disagree on the error", input);
    if (built.pos != checked.pos) fail("syntax check and reader stop at different places", input);
    if (!built.error && v.kind != w.kind) fail("syntax check and reader disagree on the kind", input);
    if (built.depth != 0 || checked.depth != 0) fail("nesting depth left open", input);
    if (!built.items.empty() || !built.members.empty()) fail("scratch not empty after a value", input);
    if (built.error) return 0;

    ++fuzzAccepted;
    std::string text;
    write(v, text);
    Parser again(text.data(), text.size());
    const Val back = again.val();
    if (again.error) fail("written value was rejected", input);
    if (again.pos != text.size()) fail("written value was not read to its end", input);
    if (!same(v, back)) fail("written value read back differently", input);
    std::string text2;
    write(back, text2);
    if (text2 != text) fail("second writing differs", input);
    return 0;
}
