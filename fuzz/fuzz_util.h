// fuzz_util.h: what the fuzz targets share: a broken property aborts with
// the input, and two engines compare by everything a set document carries.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/brskern.h"
#include "engine/engine.h"

namespace brs::fuzz {

// Reports the broken property and the start of the input, then aborts, which
// libFuzzer and the replay driver both take as a crash.
[[noreturn]] inline void fail(const char* what, const std::string& input) {
    std::fprintf(stderr, "property broken: %s\ninput (%zu bytes): ", what, input.size());
    for (std::size_t i = 0; i < input.size() && i < 400; ++i) {
        const unsigned char c = static_cast<unsigned char>(input[i]);
        if (c >= 32 && c < 127)
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02x", c);
    }
    std::fputc('\n', stderr);
    std::abort();
}

// The engine's set document through the kernel's C entry.
inline std::string saved(brskern_t e) {
    std::size_t n = brskern_save_set(e, nullptr, 0);
    std::string s(n, '\0');
    if (n == 0 || brskern_save_set(e, s.data(), n) != n) {
        std::fprintf(stderr, "brskern_save_set failed\n");
        std::abort();
    }
    s.resize(n - 1);
    return s;
}

inline bool sameBits(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// Everything a set document carries but the patterns, bit for bit.
inline bool sameSetButPatterns(const Engine& a, const Engine& b) {
    bool same = sameBits(&a.bpm, &b.bpm, sizeof a.bpm) && sameBits(&a.swing, &b.swing, sizeof a.swing) &&
                a.len == b.len && sameBits(a.mute, b.mute, sizeof a.mute) && a.chain == b.chain &&
                sameBits(&a.masterDrive, &b.masterDrive, sizeof(float)) &&
                sameBits(&a.masterLevel, &b.masterLevel, sizeof(float)) &&
                sameBits(&a.fx.delayTime, &b.fx.delayTime, sizeof(float)) &&
                sameBits(&a.fx.delayFb, &b.fx.delayFb, sizeof(float)) &&
                sameBits(&a.fx.reverbSize, &b.fx.reverbSize, sizeof(float)) && a.song.size() == b.song.size() &&
                (a.song.empty() || sameBits(a.song.data(), b.song.data(), a.song.size() * sizeof(SongEntry)));
    for (int t = 0; same && t < NUM_TRACKS; ++t)
        same = sameBits(a.tracks[t].p, b.tracks[t].p, sizeof a.tracks[t].p) && a.tracks[t].wave == b.tracks[t].wave;
    return same;
}

inline bool samePatterns(const Engine& a, const Engine& b) {
    return a.pats.size() == b.pats.size() && sameBits(a.pats.data(), b.pats.data(), a.pats.size() * sizeof(Pattern));
}

// Everything a set document carries (and the chain flag) is bit-identical,
// which is what makes two engines write the same text.
inline bool sameSet(const Engine& a, const Engine& b) { return sameSetButPatterns(a, b) && samePatterns(a, b); }

// An engine away from the defaults, so that "unchanged" means something.
inline void editBaseline(brskern_t e) {
    brskern_set_bpm(e, 142.5f);
    brskern_set_swing(e, 17.0f);
    brskern_set_fx(e, 0.5f, 0.6f, 0.3f);
    brskern_set_global(e, 17.0f, 12, false, 0.3f, 0.7f);
    brskern_set_mute(e, 2, true);
    brskern_set_wave(e, 4, 1);
    brskern_set_param(e, 1, "cut", 777.25f);
    brskern_set_param(e, 5, "chord", 7.0f);
    const std::uint8_t song[] = {1, 2, 3, 1, 0, 4};
    brskern_set_song(e, song, sizeof song);
    std::uint32_t x = 2463534242u;
    for (int i = 0; i < 300; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        brskern_set_step(e, x % 8, (x >> 3) % 6, (x >> 6) % 64, 1, (x >> 12) & 1,
                         static_cast<int>((x >> 13) % 25) - 12, 1 + (x >> 18) % 4, (x >> 20) % 16, (x >> 24) & 1);
    }
}

}  // namespace brs::fuzz

// Implemented by every fuzz target for the replay driver (replay_main.cpp):
// inputs the target builds itself, added to its corpus, and tokens its
// mutations insert besides the common ones.
std::vector<std::string> fuzzSeeds();
std::vector<std::string> fuzzTokens();
// Inputs accepted so far.
extern long fuzzAccepted;
