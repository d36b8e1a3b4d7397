// opts.h: command line of brisanto-render.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brs::render {

enum class Format { Float32, Pcm16, Pcm24 };

// One host parameter value sent to the plug-in before the first block.
struct ParamSet {
    uint32_t id;
    double value;
};

struct Options {
    std::string plugin;        // empty: search the usual places
    std::string setFile;       // a "vm-groove/1.0" document
    std::string stateFile;     // a saved plug-in state
    std::string werkset;       // key of a factory set built into the plug-in (grooves/)
    std::string saveState;     // write the plug-in state here after the render
    std::string output = "brisanto-demo.wav";
    int pattern = 0;           // 1..8; 0 keeps what the set or state selects
    double bars = 0.0;         // > 0: length in bars (16 steps = 4 beats each)
    double seconds = 0.0;      // > 0: length in seconds
    double tempo = 0.0;        // > 0: host tempo; 0 takes the set's own tempo
    uint32_t rate = 48000;
    uint32_t block = 512;
    Format format = Format::Float32;
    std::vector<ParamSet> params;  // --stumm, --solo and --param, in command-line order
    bool help = false;
};

// Bars rendered when neither a bar count nor seconds are given.
inline constexpr double kDefaultBars = 8.0;
// Longest render accepted, in seconds (keeps a WAV file below its 4 GiB limit).
inline constexpr double kMaxSeconds = 3600.0;

// Parses argv[1..argc). On failure returns false and puts one German line
// (without a trailing line feed) into *error.  [main thread] allocates
bool parse_options(int argc, char** argv, Options* opts, std::string* error);

// The complete --help text, German, with the names of the factory sets.
const char* help_text();

// Track index 0..5 for a track name ("kick" ... "stab", any letter case), or -1.
int track_index(const std::string& name);

}  // namespace brs::render
