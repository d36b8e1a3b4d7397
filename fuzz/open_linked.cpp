// open_linked.cpp: the libFuzzer build's instance, from the linked shell.
#include "fuzz/plugin_open.h"

extern "C" const clap_plugin_entry_t clap_entry;

bool fuzzOpen(brs::host::Host& h) { return h.attach(&clap_entry) && h.create(); }
