// fuzz_load_set.cpp: brskern_load_set against arbitrary text.
//
// Properties checked for every input:
//   - a rejected document leaves everything the engine would save unchanged;
//   - an accepted document leaves an engine whose saved text holds no
//     inf/nan and is accepted by a second engine, which then holds
//     bit-identical values (and so saves the very same text).
// Each input starts from the same edited baseline, so a failure replays alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/brskern.h"
#include "engine/engine.h"
#include "set/set.h"

namespace {

std::string saved(brs::Engine* e) {
    std::size_t n = brskern_save_set(e, nullptr, 0);
    std::string s(n, '\0');
    if (n == 0 || brskern_save_set(e, s.data(), n) != n) {
        std::fprintf(stderr, "brskern_save_set failed\n");
        std::abort();
    }
    s.resize(n - 1);
    return s;
}

[[noreturn]] void fail(const char* what, const std::string& input) {
    std::fprintf(stderr, "property broken: %s\ninput (%zu bytes): %.400s\n", what, input.size(),
                 input.c_str());
    std::abort();
}

bool sameBits(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// Everything a set document carries (and the chain flag) is bit-identical,
// which is what makes two engines write the same text.
bool sameSet(const brs::Engine& a, const brs::Engine& b) {
    bool same = sameBits(&a.bpm, &b.bpm, sizeof a.bpm) && sameBits(&a.swing, &b.swing, sizeof a.swing) &&
                a.len == b.len && sameBits(a.mute, b.mute, sizeof a.mute) && a.chain == b.chain &&
                sameBits(&a.masterDrive, &b.masterDrive, sizeof(float)) &&
                sameBits(&a.masterLevel, &b.masterLevel, sizeof(float)) &&
                sameBits(&a.fx.delayTime, &b.fx.delayTime, sizeof(float)) &&
                sameBits(&a.fx.delayFb, &b.fx.delayFb, sizeof(float)) &&
                sameBits(&a.fx.reverbSize, &b.fx.reverbSize, sizeof(float)) && a.pats.size() == b.pats.size() &&
                sameBits(a.pats.data(), b.pats.data(), a.pats.size() * sizeof(brs::Pattern)) &&
                a.song.size() == b.song.size() &&
                (a.song.empty() || sameBits(a.song.data(), b.song.data(), a.song.size() * sizeof(brs::SongEntry)));
    for (int t = 0; same && t < brs::NUM_TRACKS; ++t)
        same = sameBits(a.tracks[t].p, b.tracks[t].p, sizeof a.tracks[t].p) && a.tracks[t].wave == b.tracks[t].wave;
    return same;
}

struct Engines {
    brs::Engine* base;   // edited baseline, never loaded into
    brs::Engine* work;   // receives the input
    brs::Engine* check;  // reads back what work saves
    std::string baseText;

    Engines() : base(brskern_new(48000.0f)), work(brskern_new(48000.0f)), check(brskern_new(48000.0f)) {
        // A baseline away from the defaults, so that "unchanged" means something.
        brskern_set_bpm(base, 142.5f);
        brskern_set_swing(base, 17.0f);
        brskern_set_fx(base, 0.5f, 0.6f, 0.3f);
        brskern_set_global(base, 17.0f, 12, false, 0.3f, 0.7f);
        brskern_set_mute(base, 2, true);
        brskern_set_wave(base, 4, 1);
        brskern_set_param(base, 1, "cut", 777.25f);
        brskern_set_param(base, 5, "chord", 7.0f);
        const std::uint8_t song[] = {1, 2, 3, 1, 0, 4};
        brskern_set_song(base, song, sizeof song);
        std::uint32_t x = 2463534242u;
        for (int i = 0; i < 300; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            brskern_set_step(base, x % 8, (x >> 3) % 6, (x >> 6) % 64, 1, (x >> 12) & 1,
                             static_cast<int>((x >> 13) % 25) - 12, 1 + (x >> 18) % 4, (x >> 20) % 16,
                             (x >> 24) & 1);
        }
        baseText = saved(base);
    }
};

Engines& engines() {
    static Engines e;
    return e;
}

}  // namespace

// Inputs accepted so far (reported by the replay driver).
long fuzzAccepted = 0;

// The engine's own text for the baseline, used by the replay driver as a seed.
std::string fuzzBaselineText() { return engines().baseText; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Engines& en = engines();
    brs::copy_set_fields(*en.work, *en.base);
    const std::string input(reinterpret_cast<const char*>(data), size);  // zero-terminated copy

    if (!brskern_load_set(en.work, input.c_str())) {
        if (!sameSet(*en.work, *en.base)) fail("rejected document changed the engine", input);
        return 0;
    }
    ++fuzzAccepted;
    const std::string first = brs::save_set(*en.work);
    if (first.find("inf") != std::string::npos || first.find("nan") != std::string::npos)
        fail("saved text holds a non-finite number", input);
    brs::copy_set_fields(*en.check, *en.base);
    if (!brskern_load_set(en.check, first.c_str())) fail("saved text was rejected", input);
    // Bit-identical set fields write the identical text.
    if (!sameSet(*en.check, *en.work)) fail("saved text did not read back to the same values", input);
    return 0;
}
