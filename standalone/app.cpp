// app.cpp: the standalone program: finds and loads the plug-in through our
// own host, shows its editor in a window of its own, plays it live on a sound
// device with MIDI in, and keeps its state between runs.
#include "standalone/app.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/embed.h"
#include "host/host.h"
#include "host/cli.h"
#include "host/locate.h"
#include "standalone/device.h"
#include "standalone/live.h"
#include "tools/brisanto-render/wavout.h"

namespace brs::app {

namespace {

using host::de;
using host::read_file;

constexpr clap_id PARAM_FOLLOW = 1006;

std::atomic<bool> g_quit{false};

void on_signal(int) { g_quit.store(true); }

int fail(const std::string& msg, int status) {
    std::fprintf(stderr, "brisanto: %s\n", msg.c_str());
    return status;
}

void note(const std::string& msg) { std::fprintf(stderr, "brisanto: Hinweis: %s\n", msg.c_str()); }

bool save_to(host::Host& h, const std::string& path, std::string* err) {
    std::vector<uint8_t> bytes;
    if (!h.saveState(bytes)) {
        *err = "das Plug-in hat keinen Zustand geliefert";
        return false;
    }
    if (!make_parent_dirs(path)) {
        *err = "Ordner für " + path + " nicht anlegbar (" + render::reason(errno) + ")";
        return false;
    }
    return render::write_file_atomically(path, bytes.data(), bytes.size(), err);
}

std::string window_title(uint64_t xruns) {
    if (xruns == 0) return "brisanto";
    return "brisanto – " + std::to_string(xruns) + (xruns == 1 ? " Aussetzer" : " Aussetzer");
}

}  // namespace

std::string state_path() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/brisanto/zustand";
    const char* home = std::getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.config/brisanto/zustand";
    return "";
}

bool make_parent_dirs(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = path.substr(0, slash);
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        struct stat st {};
        if (stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return false;
            }
            continue;
        }
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

int run(const Options& o) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;  // a quit request must not break a device call half-way
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);  // the terminal it was started from closed

    // What to open: a set or state named on the command line, else the state
    // the last run left. Named files are read first, so a bad one fails early.
    std::string src;
    std::string srcPath;
    const char* srcWhat = nullptr;
    const std::string autoPath = o.noState ? std::string() : state_path();
    if (!o.setFile.empty() || !o.stateFile.empty()) {
        srcPath = !o.setFile.empty() ? o.setFile : o.stateFile;
        srcWhat = !o.setFile.empty() ? "Set-Datei" : "Zustandsdatei";
        int e = 0;
        if (!read_file(srcPath, &src, &e))
            return fail(std::string(srcWhat) + " nicht lesbar: " + srcPath + " (" + render::reason(e) + ")", EXIT_FILE);
        // A set document becomes a state stream of the document alone; the
        // plug-in cuts a stream at its first line feed, so the line breaks of
        // a hand-formatted document become spaces (JSON whitespace).
        if (!o.setFile.empty())
            for (char& c : src)
                if (c == '\n' || c == '\r') c = ' ';
    } else if (!autoPath.empty() && host::is_file(autoPath)) {
        int e = 0;
        if (read_file(autoPath, &src, &e)) {
            srcPath = autoPath;
            srcWhat = "gespeicherter Zustand";
        } else {
            note("gespeicherter Zustand nicht lesbar: " + autoPath + " (" + render::reason(e) + ")");
        }
    }

    // Plug-in.
    std::string pluginPath = o.plugin.empty() ? host::find_plugin() : o.plugin;
    if (pluginPath.empty())
        return fail("Plug-in nicht gefunden (gesucht: " + host::candidates_text() + "); bitte mit --plugin angeben",
                    EXIT_PLUGIN);
    if (!host::is_file(pluginPath)) {
        struct stat st {};
        int e = stat(pluginPath.c_str(), &st) == 0 ? EISDIR : errno;
        return fail("Plug-in nicht ladbar: " + pluginPath + " (" + render::reason(e) + ")", EXIT_PLUGIN);
    }
    host::Host h;
    h.setExtensionProvider(app_extension);
    if (!h.load(pluginPath)) return fail("Plug-in nicht ladbar: " + pluginPath + " (" + h.error() + ")", EXIT_PLUGIN);
    if (!h.create())
        return fail("Plug-in nicht ladbar: " + pluginPath + " (keine Instanz: " + h.error() + ")", EXIT_PLUGIN);

    // The window: the editor in a top-level window of its own.
    host::Embed win(h);
    win.setTopLevel("brisanto");
    if (!win.open()) {
        if (!win.display()) {
            const char* d = std::getenv("DISPLAY");
            return fail(std::string("Anzeige nicht zu öffnen (DISPLAY=") + (d ? d : "nicht gesetzt") + ")",
                        EXIT_DISPLAY);
        }
        return fail("Editor lässt sich nicht öffnen: " + win.error(), EXIT_PLUGIN);
    }

    // Sound.
    DeviceOptions dopt;
    dopt.api = o.api;
    dopt.rate = o.rate;
    dopt.block = o.block;
    dopt.connect = o.connect;
    std::string err;
    std::unique_ptr<Device> dev = open_device(dopt, find_rt_probe(), &err);
    if (!dev) return fail("kein Audiogerät zu öffnen (" + err + ")", EXIT_AUDIO);
    const uint32_t rate = dev->rate();
    if ((o.rateGiven && rate != o.rate) || (o.blockGiven && dev->block() != o.block))
        note(dev->name() + " bestimmt Rate und Blockgröße selbst: " + std::to_string(rate) + " Hz, Block " +
             std::to_string(dev->block()));
    // The plug-in gets blocks of at most this size; a longer device block is
    // handed over in pieces, so a server that changes its block size later
    // needs no new activation.
    const uint32_t maxFrames = std::max<uint32_t>(dev->block(), 2048);
    if (!h.activate(rate, 1, maxFrames))
        return fail("Plug-in nicht ladbar: " + pluginPath + " (Aktivierung mit " + std::to_string(rate) +
                        " Hz abgelehnt)",
                    EXIT_PLUGIN);

    if (!src.empty()) {
        if (!h.loadState(src)) {
            if (srcPath != autoPath)
                return fail(std::string(srcWhat) + " abgelehnt: " + srcPath + " (das Plug-in hat sie nicht angenommen)",
                            EXIT_FILE);
            // Keep the unreadable file for a look, and start with the default groove.
            std::string kept = autoPath + ".defekt";
            std::rename(autoPath.c_str(), kept.c_str());
            note("gespeicherter Zustand abgelehnt, beiseitegelegt als " + kept + "; es gilt der Standard-Groove");
        }
    }
    while (h.idle()) {
    }

    if (!h.startProcessing()) return fail("Plug-in nicht ladbar: " + pluginPath + " (start_processing abgelehnt)", EXIT_PLUGIN);
    Live live(h, maxFrames, rate);
    live.setFixedTempo(o.tempo);
    live.setFollowClock(o.followClock);
    double follow = 1.0;
    if (h.getParam(PARAM_FOLLOW, &follow)) live.setFollow(follow >= 0.5);
    set_transport_target(&live);
    if (o.play) live.requestPlay(true);
    if (!dev->start(live, &err)) {
        set_transport_target(nullptr);
        h.stopProcessing();
        return fail("kein Audiogerät zu öffnen (" + err + ")", EXIT_AUDIO);
    }

    AlsaMidi alsa;
    if (!o.noMidi) {
        if (!alsa.scan(live, o.midi, &err)) note("kein ALSA-MIDI (" + err + ")");
        dev->connectMidi(o.midi);
    }

    const double latencyMs = 1000.0 * dev->latencyFrames() / rate;
    std::printf("brisanto: %s, %u Hz, Block %u, Latenz %s ms; Plug-in: %s\n", dev->name().c_str(), rate, dev->block(),
                de(latencyMs, 1).c_str(), pluginPath.c_str());
    if (!srcPath.empty()) std::printf("brisanto: geöffnet: %s\n", srcPath.c_str());
    std::fflush(stdout);

    // Main loop: window events, the editor's timers, the plug-in's callbacks.
    using clock = std::chrono::steady_clock;
    auto nextCheck = clock::now();
    auto nextMidiScan = clock::now() + std::chrono::seconds(2);
    uint64_t shownXruns = 0;
    bool lostDevice = false;
    const int fd = ConnectionNumber(win.display());
    while (!g_quit.load()) {
        XEvent ev;
        while (win.nextEvent(&ev)) {
            if (win.isCloseRequest(ev)) g_quit.store(true);
            if (ev.type == KeyPress && XLookupKeysym(&ev.xkey, 0) == XK_space) live.requestToggle();
        }
        if (win.lost()) {
            note("Verbindung zur Anzeige verloren");
            break;
        }
        if (dev->lost()) {
            fail(dev->name() + " ist weg (Server beendet); der Zustand wird gespeichert", EXIT_AUDIO);
            lostDevice = true;
            break;
        }
        h.pump();
        auto now = clock::now();
        if (now >= nextCheck) {
            nextCheck = now + std::chrono::milliseconds(100);
            if (h.getParam(PARAM_FOLLOW, &follow)) live.setFollow(follow >= 0.5);
            uint64_t x = live.xruns.load();
            if (x != shownXruns) {
                shownXruns = x;
                win.setTitle(window_title(x));
            }
            if (!o.noMidi) dev->connectMidi(o.midi);
        }
        if (!o.noMidi && now >= nextMidiScan) {
            nextMidiScan = now + std::chrono::seconds(2);
            alsa.scan(live, o.midi, &err);
        }
        pollfd pf{fd, POLLIN, 0};
        poll(&pf, 1, 10);
    }

    // Quit: sound off, state kept, window closed.
    dev->stop();
    set_transport_target(nullptr);
    h.stopProcessing();
    int status = lostDevice ? EXIT_AUDIO : EXIT_OK;
    std::string saved;
    if (!autoPath.empty()) {
        if (save_to(h, autoPath, &err)) saved = autoPath;
        else status = fail("Zustand nicht gespeichert: " + err, EXIT_FILE);
    } else if (!o.noState) {
        note("weder XDG_CONFIG_HOME noch HOME gesetzt: Zustand wird nicht gespeichert");
    }
    if (!o.saveState.empty()) {
        if (save_to(h, o.saveState, &err)) saved += (saved.empty() ? "" : ", ") + o.saveState;
        else status = fail("Zustand nicht gespeichert: " + err, EXIT_FILE);
    }
    win.close();
    h.deactivate();
    dev.reset();
    std::printf("brisanto: beendet nach %s s, %llu Aussetzer%s%s\n",
                de(static_cast<double>(live.frames.load()) / rate, 1).c_str(),
                static_cast<unsigned long long>(live.xruns.load()), saved.empty() ? "" : "; Zustand gespeichert: ",
                saved.c_str());
    return status;
}

}  // namespace brs::app
