// fuzz_load_set.cpp: brskern_load_set against arbitrary text.
//
// Properties checked for every input:
//   - a rejected document leaves everything the engine would save unchanged;
//   - an accepted document leaves an engine whose saved text holds no
//     inf/nan and is accepted by a second engine, which then holds
//     bit-identical values (and so saves the very same text).
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
using brs::fuzz::saved;

struct Engines {
    brs::Engine* base;   // edited baseline, never loaded into
    brs::Engine* work;   // receives the input
    brs::Engine* check;  // reads back what work saves
    std::string baseText;

    Engines() : base(brskern_new(48000.0f)), work(brskern_new(48000.0f)), check(brskern_new(48000.0f)) {
        brs::fuzz::editBaseline(base);
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
std::vector<std::string> fuzzSeeds() { return {engines().baseText}; }
std::vector<std::string> fuzzTokens() { return {}; }

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
