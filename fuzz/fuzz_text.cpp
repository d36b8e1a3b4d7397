// fuzz_text.cpp: the plug-in's text_to_value ("clap.params") against
// arbitrary text.
//
// Input: byte 0 picks the parameter (its index modulo 57), the rest is the
// text (up to its first zero byte).
//
// Properties checked for every input:
//   - a refused text writes no value and changes no parameter;
//   - an accepted text gives a finite value;
//   - within the parameter's range, the value's text is accepted again and
//     gives a value whose text is the very same (text, value, text is stable).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "fuzz/plugin_open.h"

namespace {

using brs::fuzz::fail;
using brs::host::Host;

struct Rig {
    Host host;
    std::vector<clap_param_info_t> infos;
    const clap_plugin_params_t* pa = nullptr;

    Rig() {
        if (!fuzzOpen(host)) {
            std::fprintf(stderr, "fuzz_text: no plug-in instance: %s\n", host.error().c_str());
            std::abort();
        }
        pa = host.params();
        for (uint32_t i = 0; i < pa->count(host.plugin()); ++i) {
            clap_param_info_t info{};
            if (pa->get_info(host.plugin(), i, &info)) infos.push_back(info);
        }
        if (infos.empty()) std::abort();
    }
};

Rig& rig() {
    static Rig r;
    return r;
}

}  // namespace

long fuzzAccepted = 0;

std::vector<std::string> fuzzSeeds() {
    // Every parameter's own texts at its minimum, default and maximum.
    Rig& r = rig();
    std::vector<std::string> seeds;
    for (std::size_t i = 0; i < r.infos.size(); ++i)
        for (double v : {r.infos[i].min_value, r.infos[i].default_value, r.infos[i].max_value}) {
            char buf[128] = {0};
            if (r.pa->value_to_text(r.host.plugin(), r.infos[i].id, v, buf, sizeof buf))
                seeds.push_back(std::string(1, char(i)) + buf);
        }
    return seeds;
}
std::vector<std::string> fuzzTokens() {
    return {" Hz", " ms", " s", " %", "kHz", ",", ".", "e", "-", "stumm", "an", "ja", "nein", "laden",
            "\u2013", "\xe2\x80", " ", "\t", "0x1p3", "inf", "nan", "1e400"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Rig& r = rig();
    const clap_param_info_t& info = r.infos[data[0] % r.infos.size()];
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);  // ends at its first zero

    double before = 0.0, after = 0.0;
    r.host.getParam(info.id, &before);
    const double sentinel = -1234.5678;
    double value = sentinel;
    const bool ok = r.pa->text_to_value(r.host.plugin(), info.id, text.c_str(), &value);
    r.host.getParam(info.id, &after);
    if (std::memcmp(&before, &after, sizeof before) != 0) fail("text_to_value changed the parameter", input);
    if (!ok) {
        if (std::memcmp(&value, &sentinel, sizeof value) != 0) fail("a refused text wrote a value", input);
        return 0;
    }
    ++fuzzAccepted;
    if (!std::isfinite(value)) fail("an accepted text gave a non-finite value", input);
    if (value < info.min_value || value > info.max_value) return 0;

    char first[256] = {0}, second[256] = {0};
    if (!r.pa->value_to_text(r.host.plugin(), info.id, value, first, sizeof first))
        fail("value_to_text refused an accepted value", input);
    double again = sentinel;
    if (!r.pa->text_to_value(r.host.plugin(), info.id, first, &again))
        fail("the text of an accepted value was refused", input);
    if (!r.pa->value_to_text(r.host.plugin(), info.id, again, second, sizeof second) ||
        std::strcmp(first, second) != 0)
        fail("text, value, text is not stable", input);
    return 0;
}
