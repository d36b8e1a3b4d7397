// fuzz_state.cpp: the plug-in's state load ("clap.state") against arbitrary
// streams, delivered in short reads and failing part way.
//
// Input: 4 header bytes, then the stream. Header byte 0 caps every read at
// that many bytes (0: as many as the plug-in asks for); bytes 1..3 (little
// endian) are the offset at which the stream fails with -1 (0xFFFFFF: never).
//
// Properties checked for every input:
//   - a load that meets a failing read is refused;
//   - short reads change nothing: the verdict and the resulting state are
//     those of the same bytes in one piece;
//   - a refused load changes nothing (saved state and all 57 values);
//   - an accepted load leaves a state that saves the same in short writes,
//     loads into a second instance, which then reports the same values and
//     saves the very same text.
// Each input starts from the same edited baseline, so a failure replays alone.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "fuzz/plugin_open.h"

namespace {

using brs::fuzz::fail;
using brs::host::Host;

struct Snapshot {
    std::vector<uint8_t> state;
    std::vector<double> values;
    bool operator==(const Snapshot& o) const { return state == o.state && values == o.values; }
};

struct Rig {
    Host hostile;  // reads the input in short reads, failing part way
    Host whole;    // reads the same bytes in one piece
    Host check;    // reads back what hostile saves
    std::vector<clap_id> ids;
    std::vector<uint8_t> baseState;
    Snapshot base;

    Rig() {
        for (Host* h : {&hostile, &whole, &check})
            if (!fuzzOpen(*h)) {
                std::fprintf(stderr, "fuzz_state: no plug-in instance: %s\n", h->error().c_str());
                std::abort();
            }
        const clap_plugin_params_t* pa = hostile.params();
        for (uint32_t i = 0; i < pa->count(hostile.plugin()); ++i) {
            clap_param_info_t info{};
            if (pa->get_info(hostile.plugin(), i, &info)) ids.push_back(info.id);
        }
        // A baseline away from the defaults, so that "unchanged" means something.
        const std::pair<clap_id, double> edits[] = {{17, 777.0}, {16 * 4 + 3, 0.5}, {16 * 2 + 7, 1.0},
                                                    {1002, 17.0}, {1004, 0.25},    {1006, 0.0},
                                                    {1007, 3.0}};
        for (auto [id, v] : edits) hostile.setParam(id, v);
        if (!hostile.saveState(baseState)) std::abort();
        restore(true, true, true);
        base = snap(hostile);
    }

    Snapshot snap(Host& h) {
        Snapshot s;
        h.setWriteChunk(0);
        h.setWriteLimit(-1);
        if (!h.saveState(s.state)) std::abort();
        for (clap_id id : ids) {
            double v = 0.0;
            h.getParam(id, &v);
            s.values.push_back(v);
        }
        return s;
    }

    // Loads the baseline state into the instances named.
    void restore(bool intoHostile, bool intoWhole, bool intoCheck) {
        for (Host* h : {intoHostile ? &hostile : nullptr, intoWhole ? &whole : nullptr, intoCheck ? &check : nullptr}) {
            if (!h) continue;
            h->setReadChunk(0);
            h->setReadErrorAt(-1);
            if (!h->loadState(baseState)) {
                std::fprintf(stderr, "fuzz_state: the baseline state does not load\n");
                std::abort();
            }
        }
    }
};

Rig& rig() {
    static Rig r;
    return r;
}

std::string asText(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

}  // namespace

long fuzzAccepted = 0;

std::vector<std::string> fuzzSeeds() {
    const std::string plain("\0\xff\xff\xff", 4);
    const std::string base = asText(rig().baseState);
    return {plain + base, std::string("\x07\xff\xff\xff", 4) + base, std::string("\x01\x20\x00\x00", 4) + base,
            std::string("\x0d\x00\x30\x00", 4) + base};
}
std::vector<std::string> fuzzTokens() {
    return {"\n{\"plugin\":\"brisanto\",\"follow\":0,\"pat\":3}", "\"follow\":0", "\"pat\":", "\"pat\":-2147483648",
            "\"plugin\":"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Rig& r = rig();
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t chunk = 0;
    int64_t errorAt = -1;
    std::vector<uint8_t> stream;
    if (size >= 4) {
        chunk = data[0];
        const uint32_t at = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16;
        errorAt = at == 0xFFFFFFu ? -1 : int64_t(at);
        stream.assign(data + 4, data + size);
    } else {
        stream.assign(data, data + size);
    }
    const bool failing = errorAt >= 0 && uint64_t(errorAt) < stream.size();
    // Whole reads need no second instance to compare with.
    const bool hostileReads = chunk != 0 || failing;

    r.hostile.setReadChunk(chunk);
    r.hostile.setReadErrorAt(errorAt);
    const bool ok = r.hostile.loadState(stream);
    bool okWhole = ok;
    if (hostileReads) {
        r.whole.setReadChunk(0);
        r.whole.setReadErrorAt(-1);
        okWhole = r.whole.loadState(stream);
    }

    if (failing && ok) fail("a load that met a failing read was accepted", input);
    if (!failing && ok != okWhole) fail("short reads changed the verdict", input);
    if (!ok) {
        if (!(r.snap(r.hostile) == r.base)) fail("a refused load changed the instance", input);
        if (hostileReads && okWhole) r.restore(false, true, false);
        return 0;
    }
    ++fuzzAccepted;
    const Snapshot got = r.snap(r.hostile);
    if (hostileReads && !(r.snap(r.whole) == got)) fail("short reads changed the loaded state", input);
    // Saving in short writes gives the same bytes; a stream that refuses fails the save.
    std::vector<uint8_t> pieces;
    r.hostile.setWriteChunk(chunk ? chunk : 1);
    if (!r.hostile.saveState(pieces) || pieces != got.state) fail("short writes changed the saved state", input);
    r.hostile.setWriteChunk(0);
    r.hostile.setWriteLimit(int64_t(got.state.size() / 2));
    std::vector<uint8_t> cut;
    if (r.hostile.saveState(cut)) fail("a save into a full stream reported success", input);
    r.hostile.setWriteLimit(-1);
    // Another instance reads it back to the same values and the same text.
    if (!r.check.loadState(got.state)) fail("the saved state was refused", input);
    if (!(r.snap(r.check) == got)) fail("the saved state did not read back to the same state", input);
    r.restore(true, hostileReads, true);
    return 0;
}
