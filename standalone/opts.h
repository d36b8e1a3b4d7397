// opts.h: command line of the standalone program brisanto.
#pragma once

#include <cstdint>
#include <string>

namespace brs::app {

struct Options {
    std::string plugin;       // empty: search the usual places
    std::string setFile;      // a "vm-groove/1.0" document to import at start
    std::string stateFile;    // a saved plug-in state to open at start
    std::string saveState;    // also write the state here on quit
    bool noState = false;     // neither restore nor keep the automatic state
    std::string api = "auto"; // auto, jack, pulse, alsa
    uint32_t rate = 48000;
    uint32_t block = 256;
    bool rateGiven = false;   // --rate or --block on the command line
    bool blockGiven = false;
    bool connect = true;      // JACK: connect to the system playback ports
    std::string midi;         // only MIDI ports whose name contains this
    bool noMidi = false;      // no MIDI input at all
    bool followClock = true;  // an external MIDI clock sets the tempo
    double tempo = 0.0;       // > 0: fixed host tempo
    bool play = false;        // start the transport at once
    bool help = false;
};

// Parses argv[1..argc). On failure returns false and puts one German line
// (without a trailing line feed) into *error.  [main thread] allocates
bool parse_options(int argc, char** argv, Options* opts, std::string* error);

// The complete --hilfe text, German.
const char* help_text();

// Exit statuses.
enum Exit : int {
    EXIT_OK = 0,
    EXIT_FILE = 1,       // a file to open or save failed
    EXIT_USAGE = 2,      // wrong options
    EXIT_PLUGIN = 3,     // plug-in not found or not loadable
    EXIT_DISPLAY = 4,    // the X display cannot be opened
    EXIT_AUDIO = 5,      // no sound device opens
};

}  // namespace brs::app
