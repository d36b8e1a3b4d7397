// locate.cpp: where our programs look for brisanto.clap.
#include "host/locate.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace brs::host {

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string exe_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::vector<std::string> plugin_candidates() {
    std::vector<std::string> c;
    std::string dir = exe_dir();
    c.push_back(dir + "/brisanto.clap");
    if (const char* home = std::getenv("HOME")) c.push_back(std::string(home) + "/.clap/brisanto.clap");
    // An install under another prefix keeps the plug-in in <prefix>/lib/clap.
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && dir.substr(slash) == "/bin") {
        std::string own = dir.substr(0, slash) + "/lib/clap/brisanto.clap";
        if (own != "/usr/local/lib/clap/brisanto.clap" && own != "/usr/lib/clap/brisanto.clap") c.push_back(own);
    }
    c.push_back("/usr/local/lib/clap/brisanto.clap");
    c.push_back("/usr/lib/clap/brisanto.clap");
    return c;
}

std::string find_plugin() {
    for (const std::string& c : plugin_candidates())
        if (is_file(c)) return c;
    return "";
}

std::string candidates_text() {
    std::string list;
    for (const std::string& c : plugin_candidates()) list += (list.empty() ? "" : ", ") + c;
    return list;
}

}  // namespace brs::host
