// app.h: the standalone program brisanto as a whole: plug-in, window, sound,
// MIDI, transport and the state kept between runs.
//
// Threads: everything here is main-thread work.
#pragma once

#include <string>

#include "standalone/opts.h"

namespace brs::app {

// Where the state is kept between runs: $XDG_CONFIG_HOME/brisanto/zustand
// when that variable holds an absolute path, else $HOME/.config/brisanto/zustand;
// "" when neither is known.
std::string state_path();

// Creates every missing folder of path's parent; false with errno set.
bool make_parent_dirs(const std::string& path);

// Runs the program until its window is closed or it gets SIGINT, SIGTERM or
// SIGHUP.
// Returns the exit status (Exit).
int run(const Options& o);

}  // namespace brs::app
