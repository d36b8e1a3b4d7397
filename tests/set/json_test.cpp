// The JSON reader: syntax, leniencies, escapes, numbers, depth limit.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "set/json.h"

using brs::Parser;
using brs::Val;

namespace {

struct Parsed {
    Val v;
    bool error;
    std::size_t pos;
};

Parsed parse(std::string_view s) {
    Parser p(s.data(), s.size());
    Val v = p.val();
    return {std::move(v), p.error, p.pos};
}

bool fails(std::string_view s) { return parse(s).error; }

std::string str(std::string_view json) {
    Parsed r = parse(json);
    EXPECT_FALSE(r.error) << json;
    EXPECT_EQ(r.v.kind, Val::STR) << json;
    return r.v.str;
}

}  // namespace

TEST(JsonReader, EmptyOrWhitespaceOnlyIsAnError) {
    EXPECT_TRUE(fails(""));
    EXPECT_TRUE(fails(" \t\r\n "));
    // Only space, tab, line feed and carriage return are whitespace.
    EXPECT_TRUE(fails("\v1"));
    EXPECT_TRUE(fails("\f1"));
    EXPECT_FALSE(fails(" \t\r\n1"));
}

TEST(JsonReader, ContainersAndTrailingCommas) {
    Parsed a = parse("[1,]");
    ASSERT_FALSE(a.error);
    ASSERT_EQ(a.v.kind, Val::ARR);
    ASSERT_EQ(a.v.arr.size(), 1u);
    EXPECT_EQ(a.v.arr[0].num, 1.0);

    Parsed o = parse("{ \"a\" : 1 , \"b\":[true,false,null] ,}");
    ASSERT_FALSE(o.error);
    ASSERT_EQ(o.v.kind, Val::OBJ);
    ASSERT_EQ(o.v.obj.size(), 2u);
    EXPECT_EQ(o.v.obj[0].first, "a");
    EXPECT_EQ(o.v.obj[1].first, "b");
    const Val& b = o.v.obj[1].second;
    ASSERT_EQ(b.arr.size(), 3u);
    EXPECT_EQ(b.arr[0].kind, Val::BOOL);
    EXPECT_TRUE(b.arr[0].b);
    EXPECT_EQ(b.arr[1].kind, Val::BOOL);
    EXPECT_FALSE(b.arr[1].b);
    EXPECT_EQ(b.arr[2].kind, Val::NUL);

    EXPECT_FALSE(fails("[]"));
    EXPECT_FALSE(fails("{}"));
    EXPECT_FALSE(fails("[ ]"));
    EXPECT_TRUE(fails("[,1]"));
    EXPECT_TRUE(fails("[1,,]"));
    EXPECT_TRUE(fails("{,}"));
    EXPECT_TRUE(fails("[1 2]"));
    EXPECT_TRUE(fails("[1"));
    EXPECT_TRUE(fails("[1,"));
    EXPECT_TRUE(fails("{\"a\":1"));
    EXPECT_TRUE(fails("{\"a\" 1}"));
    EXPECT_TRUE(fails("{\"a\":}"));
    EXPECT_TRUE(fails("{\"a\"}"));
    EXPECT_TRUE(fails("{\"a\":1;}"));
    EXPECT_TRUE(fails("]"));

    // Only the first complete value is read.
    Parsed t = parse("[1] trailing garbage");
    EXPECT_FALSE(t.error);
    EXPECT_EQ(t.pos, 3u);
}

TEST(JsonReader, DuplicateKeysAreKeptAndFindTakesTheFirst) {
    Parsed r = parse("{\"a\":1,\"a\":2,\"ab\":3}");
    ASSERT_FALSE(r.error);
    ASSERT_EQ(r.v.obj.size(), 3u);
    const Val* a = brs::find(r.v, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->num, 1.0);
    EXPECT_EQ(r.v.obj[1].second.num, 2.0);
    EXPECT_EQ(brs::find(r.v, "b"), nullptr);
    EXPECT_EQ(brs::find(r.v, ""), nullptr);
    EXPECT_EQ(brs::find(r.v, "ab")->num, 3.0);

    // Keys compare by length and bytes: an embedded zero byte is part of the key.
    Parsed z = parse("{\"k\\u0000\":1,\"k\":2}");
    ASSERT_FALSE(z.error);
    EXPECT_EQ(brs::find(z.v, "k")->num, 2.0);
    EXPECT_EQ(brs::find(z.v, std::string_view("k\0", 2))->num, 1.0);

    // find on something that is not an object finds nothing.
    EXPECT_EQ(brs::find(parse("[\"a\"]").v, "a"), nullptr);
}

TEST(JsonReader, KeysMustBeStrings) {
    EXPECT_TRUE(fails("{1:2}"));
    EXPECT_TRUE(fails("{true:2}"));
    EXPECT_TRUE(fails("{a:2}"));
    EXPECT_TRUE(fails("{[]:2}"));
}

TEST(JsonReader, LiteralsAreRecognisedByTheirFirstLetter) {
    Parsed t = parse("tx!z");
    EXPECT_FALSE(t.error);
    EXPECT_EQ(t.v.kind, Val::BOOL);
    EXPECT_TRUE(t.v.b);
    EXPECT_EQ(t.pos, 4u);

    Parsed f = parse("[fubar,nope,tick]");
    ASSERT_FALSE(f.error);
    ASSERT_EQ(f.v.arr.size(), 3u);
    EXPECT_EQ(f.v.arr[0].kind, Val::BOOL);
    EXPECT_FALSE(f.v.arr[0].b);
    EXPECT_EQ(f.v.arr[1].kind, Val::NUL);
    EXPECT_TRUE(f.v.arr[2].b);

    // The four characters from t run past the closing bracket.
    EXPECT_TRUE(fails("[t]"));
    EXPECT_TRUE(fails("{\"a\":n}"));
    // At top level running past the end is no error.
    Parsed shortF = parse("fa");
    EXPECT_FALSE(shortF.error);
    EXPECT_EQ(shortF.v.kind, Val::BOOL);
    EXPECT_EQ(shortF.pos, 5u);
}

TEST(JsonReader, StringEscapes) {
    EXPECT_EQ(str("\"\\u00e9\""), "\xC3\xA9");
    EXPECT_EQ(str("\"\\u20ac\""), "\xE2\x82\xAC");
    EXPECT_EQ(str("\"\\u20AC\""), "\xE2\x82\xAC");
    EXPECT_EQ(str("\"\\u0041\""), "A");
    EXPECT_EQ(str("\"\\u07ff\\u0800\""), "\xDF\xBF\xE0\xA0\x80");
    // Surrogate halves are encoded one by one, not paired.
    EXPECT_EQ(str("\"\\uD83D\\uDE00\""), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(str("\"\\u0000\""), std::string("\0", 1));
    // The hex conversion stops at the first character that is not a hex digit,
    // and the cursor still moves on by four.
    EXPECT_EQ(str("\"\\u00g1x\""), std::string("\0x", 2));
    EXPECT_EQ(str("\"\\u4g00\""), "\x04");

    EXPECT_EQ(str("\"a\\rb\""), "arb");
    EXPECT_EQ(str("\"\\b\\f\\r\""), "bfr");
    EXPECT_EQ(str("\"\\n\\t\""), "\n\t");
    EXPECT_EQ(str("\"\\\"\\\\\\/\""), "\"\\/");
    // Control characters and bytes above 0x7F are taken unchanged.
    EXPECT_EQ(str("\"\x01\n\xFF\""), "\x01\n\xFF");

    // \u needs four characters inside the buffer.
    EXPECT_TRUE(fails("\"\\u12"));
    EXPECT_TRUE(fails("\"\\u123"));
}

TEST(JsonReader, UnterminatedStrings) {
    EXPECT_TRUE(fails("\""));
    EXPECT_TRUE(fails("\"abc"));
    EXPECT_TRUE(fails("\"abc\\"));
    EXPECT_TRUE(fails("\"abc\\\""));
    EXPECT_TRUE(fails("\"\\u0041"));
    EXPECT_TRUE(fails("[\"a]"));
    EXPECT_FALSE(fails("\"\""));
}

TEST(JsonReader, NumbersFollowTheStrtodTokenRules) {
    auto num = [](std::string_view s) {
        Parsed r = parse(s);
        EXPECT_FALSE(r.error) << s;
        EXPECT_EQ(r.v.kind, Val::NUM) << s;
        return r.v.num;
    };
    EXPECT_EQ(num("1.5e3"), 1500.0);
    EXPECT_EQ(num("+5"), 5.0);
    EXPECT_EQ(num(".5"), 0.5);
    EXPECT_EQ(num("5."), 5.0);
    EXPECT_EQ(num("1e3"), 1000.0);
    EXPECT_EQ(num("1E-2"), 0.01);
    EXPECT_EQ(num("-12"), -12.0);
    double z = num("-0");
    EXPECT_EQ(z, 0.0);
    EXPECT_TRUE(std::signbit(z));
    EXPECT_EQ(num("000123"), 123.0);
    EXPECT_EQ(num("12345678901234567890"), 12345678901234567890.0);
    EXPECT_EQ(num("0.150000006"), 0.150000006);
    // Too large for a double: an infinity, but a valid token.
    EXPECT_TRUE(std::isinf(num("1e999")));
    EXPECT_EQ(num("1e-999"), 0.0);

    for (const char* bad : {"1-2", "--1", "-", "e", "+", ".", "1e", "1e+", "1.2.3", "x", "inf",
                            "[0x10]", "[1e5e]"})
        EXPECT_TRUE(fails(bad)) << bad;

    // At top level the token 0 ends at the x; the rest is never looked at.
    Parsed hex = parse("0x10");
    EXPECT_FALSE(hex.error);
    EXPECT_EQ(hex.v.num, 0.0);
    EXPECT_EQ(hex.pos, 1u);

    // A failed token leaves the value null with the converted prefix in num.
    Parsed part = parse("1-2");
    EXPECT_EQ(part.v.kind, Val::NUL);
    EXPECT_EQ(part.v.num, 1.0);
}

// The reader's own conversion (integer shortcut plus strtod) must agree with
// strtod on every token made of the number characters.
TEST(JsonReader, NumberConversionAgreesWithStrtod) {
    const char chars[] = "0123456789-+.eE";
    std::mt19937 rng(20240611u);
    for (int i = 0; i < 200000; ++i) {
        std::string tok;
        int len = 1 + static_cast<int>(rng() % 20);
        bool digitsOnly = rng() % 3 == 0;
        for (int k = 0; k < len; ++k)
            tok.push_back(digitsOnly && k > 0 ? chars[rng() % 10] : chars[rng() % 15]);
        char* end = nullptr;
        double want = std::strtod(tok.c_str(), &end);
        std::size_t used = 0;
        double got = brs::parseDouble(tok.data(), tok.size(), &used);
        ASSERT_EQ(used, static_cast<std::size_t>(end - tok.c_str())) << tok;
        if (used == tok.size()) {
            ASSERT_TRUE(got == want || (std::isnan(got) && std::isnan(want))) << tok;
            ASSERT_EQ(std::signbit(got), std::signbit(want)) << tok;
        }
    }
}

// Tokens at the edges of the double range and of correct rounding, and the
// printed forms of random doubles and floats: the same bits as strtod.
TEST(JsonReader, NumberConversionAgreesWithStrtodAtTheEdges) {
    std::vector<std::string> tokens = {
        "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-320",
        "2.2250738585072011e-308", "2.2250738585072014e-308", "1.7976931348623157e308",
        "1.7976931348623158e308",  "1.7976931348623159e308",  "-1.7976931348623159e308", "1e308", "1e309",
        "-1e-400", "9007199254740993", "9007199254740992.5", "0.1", "0.30000000000000004",
        "123456789012345678901234567890e-20", "0.000000000000000000000000000000000000000000001e40",
        "+.5e1", "+0", "-.0", "00000000000000000000.5", "1.e5", ".1e-5", "7e-1", "+1e+1",
        std::string(400, '9'), "0." + std::string(500, '0') + "1e500"};
    std::mt19937_64 rng(99);
    char b[64];
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        std::snprintf(b, sizeof b, i % 3 == 0 ? "%.17g" : i % 3 == 1 ? "%.9g" : "%.3e", d);
        tokens.push_back(b);
        std::snprintf(b, sizeof b, "%.9g", static_cast<double>(static_cast<float>(d)));
        tokens.push_back(b);
    }
    for (const std::string& tok : tokens) {
        char* end = nullptr;
        const double want = std::strtod(tok.c_str(), &end);
        std::size_t used = 0;
        const double got = brs::parseDouble(tok.data(), tok.size(), &used);
        ASSERT_EQ(used, static_cast<std::size_t>(end - tok.c_str())) << tok;
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << tok << " " << got << " " << want;
    }
}

TEST(JsonReader, ZeroBytesInsideTheBuffer) {
    using namespace std::string_literals;
    Parsed s = parse("\"a\0b\""s);
    ASSERT_FALSE(s.error);
    EXPECT_EQ(s.v.str, "a\0b"s);
    // A zero byte ends a number token, and is no separator.
    EXPECT_TRUE(fails("[1\0]"s));
    Parsed top = parse("12\0 34"s);
    EXPECT_FALSE(top.error);
    EXPECT_EQ(top.v.num, 12.0);
    // Where a value, key, colon or separator is expected it is a syntax error.
    EXPECT_TRUE(fails("\0"s));
    EXPECT_TRUE(fails("[\0]"s));
    EXPECT_TRUE(fails("{\0\"a\":1}"s));
    EXPECT_TRUE(fails("{\"a\"\0:1}"s));
    EXPECT_TRUE(fails("{\"a\":1\0}"s));
    // The reader never reads at or beyond size, whatever follows in memory.
    std::string buf = "[1,2]";
    Parser p(buf.data(), 4);
    p.val();
    EXPECT_TRUE(p.error);
}

TEST(JsonReader, PartialValueOnError) {
    Parsed a = parse("[1,2,x]");
    ASSERT_TRUE(a.error);
    ASSERT_EQ(a.v.arr.size(), 3u);  // the failed element is kept
    EXPECT_EQ(a.v.arr[2].kind, Val::NUL);
    Parsed o = parse("{\"a\":1,\"b\":x}");
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.v.obj.size(), 1u);  // only complete pairs
    // The error is sticky and a second parser starts clean.
    Parser p("x", 1);
    p.val();
    EXPECT_TRUE(p.error);
    Parser q("[[1],{\"a\":[2]}]", 15);
    Val v = q.val();
    EXPECT_FALSE(q.error);
    EXPECT_EQ(v.arr[1].obj[0].second.arr[0].num, 2.0);
}

TEST(JsonReader, ValuesAreDeepCopies) {
    Parsed r = parse("{\"a\":[1,{\"b\":\"x\"}]}");
    Val copy = r.v;
    r.v.obj[0].second.arr[1].obj[0].second.str = "changed";
    r.v.obj[0].second.arr.clear();
    ASSERT_EQ(copy.obj[0].second.arr.size(), 2u);
    EXPECT_EQ(copy.obj[0].second.arr[1].obj[0].second.str, "x");
}

TEST(JsonReader, NestingDepthIsLimited) {
    const std::size_t lim = Parser::MAX_DEPTH;
    auto nested = [](std::size_t n, char open, char close, std::string_view inner) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            s += open;
            if (open == '{') s += "\"k\":";
        }
        s += inner;
        s.append(n, close);
        return s;
    };
    EXPECT_FALSE(fails(nested(lim, '[', ']', "1")));
    EXPECT_TRUE(fails(nested(lim + 1, '[', ']', "1")));
    EXPECT_FALSE(fails(nested(lim - 1, '{', '}', "[]")));
    EXPECT_TRUE(fails(nested(lim, '{', '}', "[]")));
    // Far deeper than any stack would take: a clean error, no crash.
    EXPECT_TRUE(fails(std::string(2000000, '[')));
    EXPECT_TRUE(fails(nested(1000000, '{', '}', "1")));
}
