// memory_test.cpp: the set reader's heap use stays a small multiple of the
// text, whatever shape a hostile document has.
//
// This program replaces the global operator new/delete with counting
// versions (bytes live now and the highest count since the last reset), so
// it is a test executable of its own.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "engine/brskern.h"
#include "engine/engine.h"
#include "set_fixture.h"

namespace {

std::size_t liveBytes = 0;
std::size_t peakBytes = 0;

// Every block carries its size in a header in front of it.
constexpr std::size_t HEADER = alignof(std::max_align_t);

[[gnu::noinline]] void* counted(std::size_t n) {
    void* raw = std::malloc(n + HEADER);
    if (!raw) return nullptr;
    *static_cast<std::size_t*>(raw) = n;
    liveBytes += n;
    if (liveBytes > peakBytes) peakBytes = liveBytes;
    return static_cast<char*>(raw) + HEADER;
}

[[gnu::noinline]] void release(void* p) {
    if (!p) return;
    void* raw = static_cast<char*>(p) - HEADER;
    liveBytes -= *static_cast<std::size_t*>(raw);
    std::free(raw);
}

}  // namespace

void* operator new(std::size_t n) {
    if (void* p = counted(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

using settest::EnginePtr;
using settest::fresh;

constexpr std::size_t TARGET = 8u << 20;  // about 8 MB of hostile text per document
constexpr int CUT = 5;                    // index of "cut" in PARAM_NAMES

// Appends copies of `piece`, comma-separated, until `s` has grown by `bytes`;
// returns how many.
std::size_t repeat(std::string& s, const std::string& piece, std::size_t bytes) {
    const std::size_t end = s.size() + bytes;
    std::size_t count = 1;
    s += piece;
    for (; s.size() < end; ++count) {
        s += ',';
        s += piece;
    }
    return count;
}

// An array nested `levels` deep around a zero.
std::string nested(int levels) { return std::string(levels, '[') + "0" + std::string(levels, ']'); }

struct Shape {
    const char* name;
    std::string text;
    std::function<void(const brs::Engine&)> check;
};

std::string head() { return "{\"format\":\"vm-groove/1.0\""; }

std::vector<Shape> shapes() {
    std::vector<Shape> out;
    {
        // A track entry that is one wide array, and junk inside the next one.
        std::string s = head() + ",\"tracks\":[[";
        repeat(s, "0", TARGET / 2);
        s += "],{\"mute\":true,\"junk\":[";
        repeat(s, "[1,{\"cut\":2}]", TARGET / 2);
        s += "],\"p\":{\"cut\":500}},{\"mute\":0}]}";
        out.push_back({"wide track entries", std::move(s), [](const brs::Engine& e) {
                           EXPECT_FALSE(e.mute[0]);
                           EXPECT_EQ(e.tracks[0].wave, 1);
                           EXPECT_TRUE(e.mute[1]);
                           EXPECT_EQ(e.tracks[1].p[CUT], 500.0f);
                           EXPECT_FALSE(e.mute[2]);
                       }});
    }
    {
        // Hundreds of thousands of small song entries, some of them unusable.
        std::string s = head() + ",\"song\":[";
        const std::size_t groups = repeat(s, "{\"pat\":9,\"rep\":0},{\"rep\":4},{\"pat\":true},{}", TARGET);
        s += "]}";
        out.push_back({"long song", std::move(s), [groups](const brs::Engine& e) {
                           ASSERT_EQ(e.song.size(), 2 * groups);
                           EXPECT_EQ(e.song[0].pat, 1);
                           EXPECT_EQ(e.song[0].rep, 0);
                           EXPECT_EQ(e.song[1].pat, 1);
                           EXPECT_EQ(e.song[1].rep, 1);
                           EXPECT_EQ(e.song.back().pat, 1);
                           EXPECT_EQ(e.song.back().rep, 1);
                       }});
    }
    {
        // An unknown member holding a big tree, before the members that count.
        std::string s = head() + ",\"zzz\":{\"a\":[";
        repeat(s, "{\"b\":[1,2,\"x\"],\"c\":{}}", TARGET);
        s += "]},\"bpm\":150,\"zzz\":[]}";
        out.push_back({"unknown member", std::move(s),
                       [](const brs::Engine& e) { EXPECT_EQ(e.bpm, 150.0f); }});
    }
    {
        // Nesting to the deepest level accepted, over and over, inside
        // "master" (whose own members must still be found) and under an
        // unknown key.
        const std::string deep = nested(510);  // document and "master" make 512 levels
        std::string s = head() + ",\"master\":{\"drive\":0.5,";
        repeat(s, "\"x\":" + deep, TARGET / 2);
        s += ",\"level\":0.25},\"y\":[";
        repeat(s, nested(510), TARGET / 2);
        s += "]}";
        out.push_back({"deep nesting", std::move(s), [](const brs::Engine& e) {
                           EXPECT_EQ(e.masterDrive, 0.5f);
                           EXPECT_EQ(e.masterLevel, 0.25f);
                       }});
    }
    {
        // A parameter object with a huge number of members; the last "cut" wins.
        std::string s = head() + ",\"tracks\":[{\"p\":{\"cut\":100,\"wave\":\"saw\",";
        repeat(s, "\"q\":3,\"tune\":[4],\"wave\":{}", TARGET);
        s += ",\"cut\":700,\"wave\":\"square\"}}]}";
        out.push_back({"huge parameter object", std::move(s), [](const brs::Engine& e) {
                           EXPECT_EQ(e.tracks[0].p[CUT], 700.0f);
                           EXPECT_EQ(e.tracks[0].wave, 1);
                           EXPECT_FALSE(e.mute[0]);
                       }});
    }
    {
        // Long texts are the one thing read whole: a long key and a long
        // "wave" string cost about their own length, once at a time.
        const std::string longText(TARGET / 2, 'w');
        std::string s = head() + ",\"tracks\":[{\"mute\":true,\"p\":{\"" + longText + "\":1,\"wave\":\"" +
                        longText + "\",\"tune\":30}}]}";
        out.push_back({"long strings", std::move(s), [](const brs::Engine& e) {
                           EXPECT_TRUE(e.mute[0]);
                           EXPECT_EQ(e.tracks[0].wave, 0);
                           EXPECT_EQ(e.tracks[0].p[0], 30.0f);
                       }});
    }
    {
        // A step object that carries a big junk member between its fields.
        std::string s = head() + ",\"pats\":[[[{\"on\":1,\"junk\":[";
        repeat(s, "{\"on\":0}", TARGET);
        s += "],\"note\":-3,\"on\":0},{}]]]}";
        out.push_back({"huge step object", std::move(s), [](const brs::Engine& e) {
                           const brs::Step& a = e.pats[0].steps[0][0];
                           EXPECT_EQ(a.on, 1);
                           EXPECT_EQ(a.note, -3);
                           EXPECT_EQ(a.rat, 1);
                           const brs::Step& b = e.pats[0].steps[0][1];
                           EXPECT_EQ(b.on, 0);
                           EXPECT_EQ(b.rat, 1);
                       }});
    }
    return out;
}

TEST(SetMemory, HostileShapesStayWithinFourTimesTheText) {
    constexpr std::size_t FIXED = 1u << 20;
    for (const Shape& sh : shapes()) {
        SCOPED_TRACE(sh.name);
        EnginePtr e = fresh();
        // Steps that a default step would overwrite, so the reads show.
        brskern_set_step(e.get(), 0, 0, 1, 1, 1, 5, 3, 2, 1);
        brskern_set_mute(e.get(), 0, true);
        brskern_set_mute(e.get(), 2, true);
        brskern_set_wave(e.get(), 0, 1);

        peakBytes = liveBytes;
        const std::size_t before = liveBytes;
        const bool ok = brskern_load_set(e.get(), sh.text.c_str());
        const std::size_t peak = peakBytes - before;
        std::printf("[ shape    ] %-22s %9zu bytes of text, peak heap %10zu bytes\n", sh.name, sh.text.size(),
                    peak);
        ASSERT_TRUE(ok);
        EXPECT_LT(peak, 4 * sh.text.size() + FIXED);
        sh.check(*e);
    }
}

// A regular document needs little more than its engine-sized copies.
TEST(SetMemory, RegularDocumentNeedsLittleHeap) {
    EnginePtr src = fresh();
    settest::randomEdits(src.get(), 11, 200);
    const std::string doc = settest::save(src.get());
    EnginePtr e = fresh();
    peakBytes = liveBytes;
    const std::size_t before = liveBytes;
    ASSERT_TRUE(brskern_load_set(e.get(), doc.c_str()));
    const std::size_t peak = peakBytes - before;
    std::printf("[ regular  ] %zu bytes of text, peak heap %zu bytes\n", doc.size(), peak);
    EXPECT_LT(peak, doc.size());
    EXPECT_EQ(settest::save(e.get()), doc);
}

}  // namespace
