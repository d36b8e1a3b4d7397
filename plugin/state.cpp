// state.cpp: the plug-in state stream ("clap.state") and the set import file.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "plugin/shell.h"
#include "set/set.h"

namespace brs::plug {
namespace {

// After a load: the set's values into the cache, the plug-in settings to their
// import defaults. Values parked while the load held the lock are dropped: the
// loaded set replaces them, and the host is asked to rescan. [engineMutex held]
void reset_cache_after_load(Plug& p) {
    p.pending.store(0, std::memory_order_relaxed);
    refresh_cache(p);
    p.globalValues[8].store(0.0, std::memory_order_relaxed);
    p.globalValues[6].store(1.0, std::memory_order_relaxed);
    p.globalValues[7].store(1.0, std::memory_order_relaxed);
}


// Loads the set document text into p's engine without holding engineMutex
// for the parse: the engine's set is copied into the stage at a block
// boundary, the document is read into the stage, and the stage's set is
// swapped in at a later block boundary, where after() runs (engineMutex held,
// no allocation). Values applied in between are applied again after the
// swap (plugin/handover.cpp). [main thread]
template <class After>
bool load_set_staged(Plug& p, const char* text, After&& after) {
    StageAccess stage(p);
    brskern_t st = stage.copy();
    if (!st || !brskern_load_set(st, text)) return false;
    return stage.hand_over(after);
}

// [main thread] formats a copy of the engine's set taken at a block boundary
bool st_save(const clap_plugin_t* plugin, const clap_ostream_t* stream) {
    Plug* p = from(plugin);
    if (!stream || !stream->write) return false;
    std::string text;
    {
        StageAccess stage(*p);
        brskern_t st = stage.copy();
        if (!st) return false;
        size_t n = brskern_save_set(st, nullptr, 0);
        if (n == 0) return false;
        if (n - 1 > MAX_SET_BYTES) return false;  // could not be loaded again; see below
        text.assign(n, '\0');
        brskern_save_set(st, text.data(), n);
        text.resize(n - 1);  // drop the terminating zero
    }
    const int follow = p->globalValues[6].load(std::memory_order_relaxed) >= 0.5 ? 1 : 0;
    const long pat = round_host(p->globalValues[7].load(std::memory_order_relaxed));
    char tail[128];
    int len = std::snprintf(tail, sizeof tail, "\n{\"plugin\":\"brisanto\",\"follow\":%d,\"pat\":%d", follow, int(pat));
    // The import trigger (1008) is carried only when it is raised, so that a
    // host reads back the value it saved; older states simply lack it.
    const double load = p->globalValues[8].load(std::memory_order_relaxed);
    if (load != 0.0) {
        const char* at = ",\"load\":";
        std::memcpy(tail + len, at, std::strlen(at));
        len += int(std::strlen(at));
        len = int(std::to_chars(tail + len, tail + sizeof tail - 2, load).ptr - tail);
    }
    text.append(tail, size_t(len));
    text += route_member(*p);
    text += '}';
    // What could not be loaded again is not written at all.
    if (text.size() > MAX_SET_BYTES) return false;

    size_t off = 0;
    while (off < text.size()) {
        int64_t r = stream->write(stream, text.data() + off, text.size() - off);
        if (r <= 0) return false;
        off += uint64_t(r) < text.size() - off ? size_t(r) : text.size() - off;
    }
    return true;
}

// [main thread] reads and parses the stream outside engineMutex; the host is
// asked to rescan after the lock is released.
bool st_load(const clap_plugin_t* plugin, const clap_istream_t* stream) {
    Plug* p = from(plugin);
    if (!stream || !stream->read) return false;
    std::string data;
    char chunk[8192];
    for (;;) {
        int64_t r = stream->read(stream, chunk, sizeof chunk);
        if (r < 0 || uint64_t(r) > sizeof chunk) return false;
        if (r == 0) break;
        if (data.size() + size_t(r) > MAX_SET_BYTES) return false;  // unreadable: too large
        data.append(chunk, size_t(r));
    }
    const size_t lf = data.find('\n');
    std::string tail;
    if (lf != std::string::npos) {
        tail = data.substr(lf + 1);
        data.resize(lf);
    }
    // The plug-in settings from the tail (a missing or broken tail keeps
    // follow 1 and pattern 1).
    double follow = tail.find("\"follow\":0") != std::string::npos ? 0.0 : 1.0;
    double pat = 1.0;
    if (size_t at = tail.find("\"pat\":"); at != std::string::npos)
        pat = double(int32_t(uint32_t(std::strtol(tail.c_str() + at + 6, nullptr, 10))));
    double load = 0.0;
    if (size_t at = tail.find("\"load\":"); at != std::string::npos) {
        const char* b = tail.c_str() + at + 7;
        double v = 0.0;
        if (std::from_chars(b, tail.c_str() + tail.size(), v).ec == std::errc() && std::isfinite(v))
            load = clamp_host(1008, v);
    }

    const bool ok = load_set_staged(*p, data.c_str(), [&] {
        reset_cache_after_load(*p);
        p->globalValues[6].store(follow, std::memory_order_relaxed);
        p->globalValues[7].store(pat, std::memory_order_relaxed);
        // The trigger comes back as saved, and as already applied: a state
        // load never starts an import.
        p->globalValues[8].store(load, std::memory_order_relaxed);
        p->loadLast = load;
    });
    if (!ok) return false;
    read_route(*p, tail);
    if (const clap_host_params_t* hp = host_params(*p); hp && hp->rescan) hp->rescan(p->host, CLAP_PARAM_RESCAN_VALUES);
    return true;
}

}  // namespace

const clap_plugin_state_t ST = {st_save, st_load};

std::string set_datei() {
    const char* home = std::getenv("HOME");
    std::string path = home ? home : ".";
    path += "/Documents/Velmora/brisanto-set.json";
    return path;
}

namespace {

// Reads the set file at path into text. Only a regular file is read, and it
// is opened without blocking, so that a FIFO, a device or a socket put in its
// place can never hold the main thread. [main thread]
enum class FileRead { OK, NO_FILE, UNREADABLE };
FileRead read_set_file(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return FileRead::NO_FILE;
    struct ::stat st {};
    FileRead res = FileRead::OK;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        res = FileRead::NO_FILE;  // a folder, FIFO, device or socket is no set file
    } else if (uint64_t(st.st_size) > MAX_SET_BYTES) {
        res = FileRead::UNREADABLE;  // too large: nothing is read
    } else {
        text.reserve(size_t(st.st_size));
        char chunk[65536];
        for (;;) {
            const ssize_t r = ::read(fd, chunk, sizeof chunk);
            if (r == 0) break;
            if (r < 0) {
                if (errno == EINTR) continue;
                res = FileRead::UNREADABLE;  // a read error: what came so far is no set
                break;
            }
            if (text.size() + size_t(r) > MAX_SET_BYTES) {  // the file grew meanwhile
                res = FileRead::UNREADABLE;
                break;
            }
            text.append(chunk, size_t(r));
        }
    }
    ::close(fd);
    return res;
}

}  // namespace

bool import_text(Plug& p, const char* text) {
    const bool ok = load_set_staged(p, text, [&p] { reset_cache_after_load(p); });
    p.status = ok ? "Set geladen" : "Set nicht lesbar";
    return ok;
}

bool import_path(Plug& p, const std::string& path) {
    std::string text;
    switch (read_set_file(path, text)) {
    case FileRead::NO_FILE: p.status = "keine Datei " + path; return false;
    case FileRead::UNREADABLE: p.status = "Set nicht lesbar"; return false;
    case FileRead::OK: break;
    }
    return import_text(p, text.c_str());
}

bool Plug::load_file() {
    const std::string path = set_datei();
    std::string text;
    switch (read_set_file(path, text)) {
    case FileRead::NO_FILE: status = "keine Datei " + path; return false;
    case FileRead::UNREADABLE: status = "Set nicht lesbar"; return false;
    case FileRead::OK: break;
    }
    const bool ok = load_set_staged(*this, text.c_str(), [this] { reset_cache_after_load(*this); });
    status = ok ? "Set geladen" : "Set nicht lesbar";
    return ok;
}

}  // namespace brs::plug
