// plugin_open.h: how a plug-in fuzz target gets its instance. The replay
// build loads the real brisanto.clap (open_clap.cpp); the libFuzzer build
// links the shell's sources, instrumented, and attaches their clap_entry
// (open_linked.cpp).
#pragma once

#include "host/host.h"

// Loads or attaches the plug-in into h and creates an instance; false on failure.
bool fuzzOpen(brs::host::Host& h);
