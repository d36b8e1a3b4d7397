// fuzz_load_pats.cpp: brskern_load_pats against arbitrary bytes.
//
// Properties checked for every input:
//   - an image shorter than 18432 bytes is refused and changes nothing;
//   - an accepted image changes the patterns only: every step holds the
//     image's bytes with on, acc and rev made 0 or 1 and a ratchet of 0
//     made 1, and a second load of the same image changes nothing more;
//   - the engine's saved text is accepted by a second engine, which then
//     holds bit-identical values (and so saves the very same text).
// Each input starts from the same edited baseline, so a failure replays alone.
#include <cstdint>
#include <string>

#include "engine/brskern.h"
#include "engine/engine.h"
#include "fuzz/fuzz_util.h"
#include "set/set.h"

namespace {

using brs::fuzz::fail;
using brs::fuzz::sameSet;
using brs::fuzz::sameSetButPatterns;
using brs::fuzz::samePatterns;

struct Engines {
    brs::Engine* base = brskern_new(48000.0f);   // edited baseline, never loaded into
    brs::Engine* work = brskern_new(48000.0f);   // receives the input
    brs::Engine* check = brskern_new(48000.0f);  // reads back what work saves
    brs::Engine* twice = brskern_new(48000.0f);  // receives the input a second time
    Engines() { brs::fuzz::editBaseline(base); }
};

Engines& engines() {
    static Engines e;
    return e;
}

// The image of e's patterns, as brskern_load_pats reads it.
std::string image(const brs::Engine& e) {
    std::string s;
    for (const brs::Pattern& p : e.pats)
        s.append(reinterpret_cast<const char*>(&p), sizeof p);
    return s;
}

}  // namespace

long fuzzAccepted = 0;

std::vector<std::string> fuzzSeeds() {
    std::string img = image(*engines().base);
    std::string longer = img + "trailing bytes are ignored";
    std::string ones(brs::PAT_IMAGE_BYTES, '\xff');
    return {img, longer, ones, img.substr(0, brs::PAT_IMAGE_BYTES - 1)};
}
std::vector<std::string> fuzzTokens() { return {std::string(6, '\0'), "\x01\x01\x7f\x00\x0f\x01", "\xff\xff\x80\xff\xff\xff"}; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Engines& en = engines();
    brs::copy_set_fields(*en.work, *en.base);
    const std::string input(reinterpret_cast<const char*>(data), size);

    if (!brskern_load_pats(en.work, data, size)) {
        if (size >= brs::PAT_IMAGE_BYTES) fail("a full image was refused", input);
        if (!sameSet(*en.work, *en.base)) fail("refused image changed the engine", input);
        return 0;
    }
    if (size < brs::PAT_IMAGE_BYTES) fail("a short image was accepted", input);
    ++fuzzAccepted;
    if (!sameSetButPatterns(*en.work, *en.base)) fail("the image changed more than the patterns", input);
    const std::uint8_t* b = data;
    for (int p = 0; p < brs::NUM_PATTERNS; ++p)
        for (const auto& track : en.work->pats[p].steps)
            for (const brs::Step& s : track) {
                const bool ok = s.on == (b[0] != 0) && s.acc == (b[1] != 0) &&
                                s.note == static_cast<std::int8_t>(b[2]) && s.rat == (b[3] ? b[3] : 1) &&
                                s.slice == b[4] && s.rev == (b[5] != 0);
                if (!ok) fail("a step does not hold the image's bytes", input);
                b += 6;
            }
    // Loading the same image again changes nothing more.
    brs::copy_set_fields(*en.twice, *en.work);
    if (!brskern_load_pats(en.twice, data, size) || !samePatterns(*en.twice, *en.work))
        fail("a second load of the image changed the patterns", input);
    // What the engine saves reads back to the same set.
    const std::string text = brs::save_set(*en.work);
    brs::copy_set_fields(*en.check, *en.base);
    if (!brskern_load_set(en.check, text.c_str())) fail("saved text was rejected", input);
    if (!sameSet(*en.check, *en.work)) fail("saved text did not read back to the same values", input);
    return 0;
}
