// locate.h: where our programs look for brisanto.clap.
//
// The plug-in beside the running program comes first (a build folder, or
// <prefix>/bin next to <prefix>/lib/clap), then the folders CLAP hosts search:
// ~/.clap, <prefix>/lib/clap of the program's own install prefix,
// /usr/local/lib/clap and /usr/lib/clap.
//
// Threads: any; reads the environment ("HOME") and /proc/self/exe.
#pragma once

#include <string>
#include <vector>

namespace brs::host {

// The folder that holds the running program ("." when unknown).
std::string exe_dir();
// The places searched for the plug-in, in order.
std::vector<std::string> plugin_candidates();
// The first candidate that is a regular file; "" when there is none.
std::string find_plugin();
// The candidates as one comma-separated line, for error messages.
std::string candidates_text();
// True for an existing regular file.
bool is_file(const std::string& path);

}  // namespace brs::host
