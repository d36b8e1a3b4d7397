// open_clap.cpp: the replay build's instance, from the built brisanto.clap.
#include "fuzz/plugin_open.h"

bool fuzzOpen(brs::host::Host& h) { return h.load(BRS_CLAP_PATH) && h.create(); }
