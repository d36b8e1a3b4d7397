// Proves that rendering allocates nothing: every global allocation function
// is replaced by a counting one, and brskern_process runs with the sequencer
// playing ratchets on every track and the voice list held at its cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "set/set.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* take(std::size_t size, std::size_t align = 0) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    void* p = nullptr;
    if (align > alignof(std::max_align_t)) {
        const std::size_t rounded = (size + align - 1) / align * align;
        p = std::aligned_alloc(align, rounded);
    } else {
        p = std::malloc(size);
    }
    return p;
}

void* takeOrThrow(std::size_t size, std::size_t align = 0) {
    void* p = take(size, align);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return takeOrThrow(n); }
void* operator new[](std::size_t n) { return takeOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return take(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return take(n); }
void* operator new(std::size_t n, std::align_val_t a) { return takeOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return takeOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return take(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return take(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

struct Counting {
    Counting() {
        allocations = 0;
        counting = true;
    }
    ~Counting() { counting = false; }
};

}  // namespace

TEST(AllocationCounter, SeesAllocationsWhenThereAreSome) {
    long seen = 0;
    {
        Counting c;
        auto* v = new std::vector<int>(100);
        delete v;
        seen = allocations.load();
    }
    EXPECT_GE(seen, 2);
    {
        Counting c;
        auto e = brstest::makeEngine();  // construction allocates, on purpose
        seen = allocations.load();
    }
    EXPECT_GT(seen, 0);
}

TEST(RealTime, ProcessAllocatesNothingWithRatchetsEverywhereAndVoicesAtTheCap) {
    auto e = brstest::makeEngine();
    brskern_t h = e.get();
    // Every track on every step with four ratchet hits at 260 BPM and voices of
    // about a second: the list stays at 64, the sequencer keeps being refused
    // and finished voices keep leaving.
    for (uint32_t t = 0; t < 6; ++t)
        for (uint32_t s = 0; s < 64; ++s) brskern_set_step(h, 0, t, s, 1, s & 1, 3, 4, s, s & 2);
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(h, t, "decay", 1.0f);  // about a second: full list, still churning
        brskern_set_param(h, t, "gate", 6.0f);
        brskern_set_param(h, t, "delaySend", 0.4f);
        brskern_set_param(h, t, "reverbSend", 0.5f);
    }
    brskern_set_global(h, 30.0f, 64, false, 0.5f, 0.9f);
    brskern_set_bpm(h, 260.0f);
    std::vector<float> lanes(brs::AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
    for (std::size_t t = 0; t < 6; ++t)  // a cut lane on every step of every track
        for (std::size_t s = 0; s < 64; ++s) lanes[t * 1280 + brs::P_CUT * 64 + s] = 300.0f + s;
    brskern_set_auto(h, lanes.data(), lanes.size(), true);
    const uint8_t song[] = {0, 2, 0, 1};
    brskern_set_song(h, song, sizeof song);
    brskern_start(h);

    std::vector<float> out(2 * 4096);
    std::size_t most = 0;
    long seen = 0;
    {
        Counting c;
        for (int round = 0; round < 40; ++round) {
            for (uint32_t frames : {1u, 64u, 4096u}) {
                brskern_process(h, out.data(), frames);
                most = std::max(most, e->voices.size());
                // Short voices between blocks keep the list churning.
                if (round % 3 == 0) {
                    brskern_midi(h, 0x90, 36 + (round % 6), 100);
                    brskern_trigger(h, 3, round, true, 60.0f, 0.8f);
                }
            }
            for (int i = 0; i < 64; ++i) brskern_process(h, out.data(), 1);
        }
        seen = allocations.load();
    }
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(most, brs::MAX_VOICES);
    EXPECT_GT(brskern_step(h), 0);
}

// Every engine keeps the room the audio thread relies on, however it came to
// be: built at any rate, loaded from a document with an empty or a long song
// chain, or given another engine's set. Then a one-entry song (the plug-in's
// pattern switch), skipping time and a reset allocate nothing.
TEST(RealTime, EveryEngineKeepsItsRoomAfterLoadsAndCopies) {
    auto src = brstest::makeEngine();
    brstest::writeDefaultGroove(src.get());
    const std::size_t n = brskern_save_set(src.get(), nullptr, 0);
    std::string doc(n, '\0');
    brskern_save_set(src.get(), doc.data(), n);
    doc.resize(n - 1);
    const std::size_t at = doc.find("\"song\":[]");
    ASSERT_NE(at, std::string::npos);
    std::string longSong = doc;
    std::string entries = "\"song\":[";
    for (int i = 0; i < 300; ++i) entries += i ? ",{\"pat\":1,\"rep\":2}" : "{\"pat\":1,\"rep\":2}";
    longSong.replace(at, 9, entries + "]");

    struct Case {
        const char* name;
        float rate;
        const std::string* text;  // loaded into the engine; null: a copy of src's set instead
    };
    const Case cases[] = {{"44.1 kHz, empty song", 44100.0f, &doc},
                          {"96 kHz, long song", 96000.0f, &longSong},
                          {"48 kHz, copied set", 48000.0f, nullptr}};
    std::vector<float> out(2 * 512);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto e = brstest::makeEngine(c.rate);
        if (c.text)
            ASSERT_TRUE(brskern_load_set(e.get(), c.text->c_str()));
        else
            brs::copy_set_fields(*e, *src);
        brskern_start(e.get());
        long seen = 0;
        {
            Counting count;
            for (uint8_t p = 0; p < 8; ++p) {
                const uint8_t one[] = {p, 1};
                brskern_set_song(e.get(), one, sizeof one);
                brskern_process(e.get(), out.data(), 512);
                brskern_skip(e.get(), 3000);
                brskern_midi(e.get(), 0x90, 38, 100);
            }
            brskern_reset(e.get());
            brskern_process(e.get(), out.data(), 512);
            seen = allocations.load();
        }
        EXPECT_EQ(seen, 0);
    }
}
