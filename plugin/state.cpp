// state.cpp: the plug-in state stream ("clap.state") and the set import file.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>
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
    settle_host_values(p);
    refresh_cache(p);
    p.globalValues[8].store(0.0, std::memory_order_relaxed);
    p.globalValues[6].store(1.0, std::memory_order_relaxed);
    p.globalValues[7].store(1.0, std::memory_order_relaxed);
    update_tail(p);  // the host hears of it with the next block
}


// The state's last line, with its leading line feed: the two plug-in
// settings and, only while it is raised, the import trigger.
std::string state_tail(const Plug& p) {
    const double follow = p.globalValues[6].load(std::memory_order_relaxed);
    const long pat = round_host(p.globalValues[7].load(std::memory_order_relaxed));
    const double load = p.globalValues[8].load(std::memory_order_relaxed);
    const int hostPos = p.posFollow.load(std::memory_order_relaxed) ? 1 : 0;
    char tail[MAX_TAIL_BYTES + 1];
    int len = std::snprintf(tail, sizeof tail, "\n{\"plugin\":\"brisanto\",\"follow\":%d,\"pat\":%d,\"hostPos\":%d",
                            follow >= 0.5 ? 1 : 0, int(pat), hostPos);
    // The import trigger (1008) is carried only when it is raised, so that a
    // host reads back the value it saved; older states simply lack it.
    if (load != 0.0) {
        const char* at = ",\"load\":";
        std::memcpy(tail + len, at, std::strlen(at));
        len += int(std::strlen(at));
        len = int(std::to_chars(tail + len, tail + sizeof tail - 2, load).ptr - tail);
    }
    std::string text(tail, size_t(len));
    text += route_member(p);  // the Multi's routing; nothing for the stereo plug-in
    text += zoom_member(p);   // the editor's zoom; nothing at 100 %
    text += '}';
    return text;
}

// Whether the set in e, followed by a tail of tailBytes, saves within
// MAX_SET_BYTES. What fits in any case is not formatted: everything but the
// song chain writes well under 300,000 bytes (the pattern store at most
// 8 x 6 x 64 steps of 68 bytes), and one chain entry at most 20.
// [main thread] may allocate a document's length
bool savable(const Engine& e, std::size_t tailBytes) {
    constexpr std::size_t FIXED_MAX = 300000, ENTRY_MAX = 20;
    if (FIXED_MAX + ENTRY_MAX * e.song.size() + tailBytes <= MAX_SET_BYTES) return true;
    return save_set(e).size() + tailBytes <= MAX_SET_BYTES;
}

// Loads the set document text into p's engine without holding engineMutex
// for the parse: the engine's set is copied into the stage at a block
// boundary, the document is read into the stage, and the stage's set is
// swapped in at a later block boundary, where after() runs (engineMutex held,
// no allocation). Values applied in between are applied again after the
// swap (plugin/handover.cpp). [main thread]
// A set that a later save could not write within MAX_SET_BYTES (a compact
// document can grow when written out: each song entry gets its "rep"),
// whatever tail the settings then give it, is refused like an unreadable
// one, so that the host can always store what the instance holds.
template <class After>
bool load_set_staged(Plug& p, const char* text, After&& after) {
    StageAccess stage(p);
    brskern_t st = stage.copy();
    if (!st || !brskern_load_set(st, text)) return false;
    // The editor's view becomes the loaded set. A chain that the pattern
    // parameter sets from here on still reaches it (sync_view).
    p.viewSongGen = p.songGen.load(std::memory_order_acquire);
    p.viewPubBpm = p.pubBpm.load(std::memory_order_relaxed);  // the loaded tempo stands until a block says otherwise
    try {
        if (!savable(*st, MAX_TAIL_BYTES)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (p.view) {
        try {
            brs::copy_set_fields(*p.view, *st);
        } catch (const std::bad_alloc&) {
            return false;
        }
        ++p.viewGen;
    }
    if (stage.hand_over(after)) return true;
    // Out of memory: the live set stays, and so must the view.
    if (p.view)
        if (brskern_t live = stage.copy()) {
            try {
                brs::copy_set_fields(*p.view, *live);
            } catch (const std::bad_alloc&) {
            }
        }
    return false;
}

// [main thread] formats a copy of the engine's set taken at a block boundary
bool st_save(const clap_plugin_t* plugin, const clap_ostream_t* stream) {
    Plug* p = from(plugin);
    if (!stream || !stream->write) return false;
    // VST3: the host's values that no block carried to the plug-in yet, and
    // an import the worker finished, belong to what is saved.
    settle_import(*p);
    take_host_values(*p);
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
    text += state_tail(*p);
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
// asked to rescan after the lock is released (rescan_values: a VST3 host that
// restores a state before it sets its component handler is not called).
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
    // The pattern is kept to the parameter's range 1..8, like every value a
    // state brings in.
    if (size_t at = tail.find("\"pat\":"); at != std::string::npos)
        pat = clamp_host(1007, double(int32_t(uint32_t(std::strtol(tail.c_str() + at + 6, nullptr, 10)))));
    // "Position folgt Host": states from before the setting existed lack it
    // and keep playing as they did, from step 0 at the host's start.
    const bool hostPos = tail.find("\"hostPos\":1") != std::string::npos;
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
        p->posFollow.store(hostPos, std::memory_order_relaxed);
    });
    if (!ok) return false;
    read_route(*p, tail);
    p->zoom = read_zoom(tail);  // an open editor follows at its next tick
    rescan_values(*p);
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

Plug::ImportOutcome Plug::import_file() {
    std::string text;
    switch (read_set_file(set_datei(), text)) {
    case FileRead::NO_FILE: return ImportOutcome::NO_FILE;
    case FileRead::UNREADABLE: return ImportOutcome::UNREADABLE;
    case FileRead::OK: break;
    }
    const bool ok = load_set_staged(*this, text.c_str(), [this] { reset_cache_after_load(*this); });
    return ok ? ImportOutcome::LOADED : ImportOutcome::UNREADABLE;
}

std::string import_status(Plug::ImportOutcome o) {
    switch (o) {
    case Plug::ImportOutcome::LOADED: return "Set geladen";
    case Plug::ImportOutcome::NO_FILE: return "keine Datei " + set_datei();
    case Plug::ImportOutcome::UNREADABLE: break;
    }
    return "Set nicht lesbar";
}

bool Plug::load_file() {
    const ImportOutcome o = import_file();
    status = import_status(o);
    return o == ImportOutcome::LOADED;
}

std::string zoom_member(const Plug& p) {
    if (p.zoom != 150 && p.zoom != 200) return {};
    return p.zoom == 150 ? ",\"zoom\":150" : ",\"zoom\":200";
}

int read_zoom(const std::string& tail) {
    const size_t at = tail.find("\"zoom\":");
    if (at == std::string::npos) return 100;
    const long z = std::strtol(tail.c_str() + at + 7, nullptr, 10);
    return z == 150 || z == 200 ? int(z) : 100;
}

}  // namespace brs::plug
