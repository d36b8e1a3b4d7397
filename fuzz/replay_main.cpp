// replay_main.cpp: runs a fuzz target without libFuzzer, so that its
// properties are checked in every build.
//
//   <target>_replay <corpus-dir> [mutations] [seed]
//
// Feeds every file of the corpus, the inputs the target builds itself
// (fuzzSeeds, for example the engine's own saved document), and then
// `mutations` (default 3000) seeded random mutations of those inputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run(const std::string& s) { LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

std::vector<std::string> tokens = {
    "{", "}", "[", "]", ",", ":", "\"", "\\", "\\u", "\\uD83D", "-", "+", ".", "e", "0", "1", "-1",
    "1e999", "1e39", "-1e39", "0.5", "64.9", "256", "-12", "2147483648", "true", "false", "null", "t",
    "\"format\":\"vm-groove/1.0\"", "\"vm-groove/1.1\"", "\"bpm\":", "\"len\":", "\"tracks\":",
    "\"pats\":", "\"song\":", "\"fx\":", "\"master\":", "\"p\":", "\"mute\":", "\"wave\":\"square\"",
    "\"rat\":", "\"note\":", "\"slice\":", "\"on\":", "\"rep\":", "\"pat\":", "{}", "[]", "\n", " "};
// Tokens 15 to 25 are numbers (used to replace digits).
constexpr std::size_t NUMBER_TOKENS = 15;

std::string mutate(std::string s, const std::vector<std::string>& pool, std::mt19937& rng) {
    const int edits = rng() % 4 == 0 ? 2 + static_cast<int>(rng() % 3) : 1;
    for (int k = 0; k < edits; ++k) {
        const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 7) {
            case 0:  // flip a byte
                if (!s.empty()) s[at % s.size()] = static_cast<char>(rng());
                break;
            case 1:  // delete a run
                if (!s.empty()) s.erase(at % s.size(), 1 + rng() % 16);
                break;
            case 2:  // insert a token
                s.insert(at, tokens[rng() % tokens.size()]);
                break;
            case 3: {  // copy a chunk of the input elsewhere
                if (s.empty()) break;
                std::size_t from = rng() % s.size();
                std::size_t len = 1 + rng() % 64;
                s.insert(at, s.substr(from, len));
                break;
            }
            case 4: {  // splice with another input
                const std::string& o = pool[rng() % pool.size()];
                if (o.empty()) break;
                s = s.substr(0, at) + o.substr(rng() % o.size());
                break;
            }
            case 5:  // cut the end
                s.resize(at);
                break;
            default: {  // change a digit into another number
                std::size_t d = s.find_first_of("0123456789", at);
                if (d != std::string::npos) s.replace(d, 1, tokens[NUMBER_TOKENS + rng() % 11]);
                break;
            }
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus-dir> [mutations] [seed]\n", argv[0]);
        return 2;
    }
    const long mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 3000;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1u;

    std::vector<std::string> pool;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], ec)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        pool.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (ec || pool.empty()) {
        std::fprintf(stderr, "no corpus files in %s\n", argv[1]);
        return 2;
    }
    const std::size_t corpusFiles = pool.size();
    for (std::string& s : fuzzSeeds()) pool.push_back(std::move(s));
    for (std::string& t : fuzzTokens()) tokens.push_back(std::move(t));
    for (const std::string& s : pool) run(s);

    std::mt19937 rng(seed);
    for (long i = 0; i < mutations; ++i) {
        // Corpus files most of the time; the target's own inputs now and then.
        const bool own = pool.size() > corpusFiles && rng() % 8 == 0;
        const std::string& base =
            pool[own ? corpusFiles + rng() % (pool.size() - corpusFiles) : rng() % corpusFiles];
        run(mutate(base, pool, rng));
    }
    std::printf("replayed %zu corpus files, %zu inputs of the target's own and %ld mutations (seed %u): "
                "%ld accepted\n",
                corpusFiles, pool.size() - corpusFiles, mutations, seed, fuzzAccepted);
    return 0;
}
