// brisanto-render: plays brisanto.clap the way a DAW does and writes what it
// plays into a WAV file.
//
// The plug-in is loaded through our own host (host/): entry, factory, create,
// init, activate at the chosen rate, state load, parameter flush, start
// processing, then blocks with a playing transport that carries the tempo.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/brskern.h"
#include "grooves/grooves.h"
#include "host/host.h"
#include "host/cli.h"
#include "host/locate.h"
#include "tools/brisanto-render/opts.h"
#include "tools/brisanto-render/progress.h"
#include "tools/brisanto-render/wavout.h"

namespace brs::render {
namespace {

using host::de;
using host::read_file;

constexpr clap_id PARAM_FOLLOW = 1006;
constexpr clap_id PARAM_PATTERN = 1007;
constexpr double DEFAULT_TEMPO = 175.0;

// One error line on standard error; the exit status is returned for convenience.
int fail(const std::string& msg, int status = 1) {
    std::fprintf(stderr, "brisanto-render: %s\n", msg.c_str());
    return status;
}

std::string absolute(const std::string& path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf)) return buf;
    return path;
}

// What the set part of a document or state says about tempo. The kernel's
// own reader decides; false when it rejects the document.
bool read_set_tempo(const std::string& setText, double* bpm) {
    brskern_t k = brskern_new(48000.0f);
    bool ok = brskern_load_set(k, setText.c_str());
    if (ok) *bpm = brskern_get_param(k, 6, "bpm");
    brskern_free(k);
    return ok;
}

int run(const Options& o) {
    // Source document: read it first, so that a bad file fails before anything is loaded.
    const std::string& srcPath = !o.setFile.empty() ? o.setFile : o.stateFile;
    std::string state;  // the bytes handed to the plug-in's state load
    double setTempo = DEFAULT_TEMPO;
    if (!srcPath.empty()) {
        const char* what = o.setFile.empty() ? "Zustandsdatei" : "Set-Datei";
        int e = 0;
        if (!read_file(srcPath, &state, &e))
            return fail(std::string(what) + " nicht lesbar: " + srcPath + " (" + reason(e) + ")");
        if (!o.setFile.empty()) {
            // A set document becomes a state stream of the document alone. The
            // plug-in cuts a stream at its first line feed, so the line breaks
            // of a hand-formatted document are turned into spaces (JSON whitespace).
            for (char& c : state)
                if (c == '\n' || c == '\r') c = ' ';
        }
        std::string setPart = state.substr(0, state.find('\n'));
        if (!read_set_tempo(setPart, &setTempo))
            return fail(std::string(what) + " abgelehnt: " + srcPath + " ist kein Set-Dokument \"vm-groove/1.0\"");
    }
    // A factory set is loaded by the plug-in itself (preset-load, as a host's
    // preset browser does); its tempo comes from the copy built in here.
    if (!o.werkset.empty()) {
        const grooves::FactorySet* s = grooves::find(o.werkset.c_str());
        if (!s || !read_set_tempo(s->text, &setTempo)) return fail("unbekanntes Werkset: " + o.werkset);
    }

    WavOut wav;
    std::string err;
    if (!wav.open(o.output, o.rate, o.format, &err)) return fail(err);

    // Plug-in.
    std::string pluginPath = o.plugin;
    if (pluginPath.empty()) {
        pluginPath = host::find_plugin();
        if (pluginPath.empty())
            return fail("Plug-in nicht gefunden (gesucht: " + host::candidates_text() +
                        "); bitte mit --plugin angeben");
    }
    if (!host::is_file(pluginPath)) {
        struct stat st {};
        int e = stat(pluginPath.c_str(), &st) == 0 ? EISDIR : errno;
        return fail("Plug-in nicht ladbar: " + pluginPath + " (" + reason(e) + ")");
    }
    host::Host h;
    if (!h.load(pluginPath)) return fail("Plug-in nicht ladbar: " + pluginPath + " (" + h.error() + ")");
    if (!h.create()) return fail("Plug-in nicht ladbar: " + pluginPath + " (keine Instanz: " + h.error() + ")");
    if (!h.activate(o.rate, 1, o.block))
        return fail("Plug-in nicht ladbar: " + pluginPath + " (Aktivierung mit " + std::to_string(o.rate) +
                    " Hz abgelehnt)");
    if (!o.werkset.empty()) {
        const auto* pl = static_cast<const clap_plugin_preset_load_t*>(h.extension(CLAP_EXT_PRESET_LOAD));
        if (!pl || !pl->from_location)
            return fail("Plug-in kennt keine Werksets: " + pluginPath);
        if (!pl->from_location(h.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, o.werkset.c_str()))
            return fail("Werkset nicht geladen: " + o.werkset + " (das Plug-in kennt es nicht)");
        while (h.idle()) {
        }
    }
    if (!srcPath.empty()) {
        if (!h.loadState(state))
            return fail(std::string(o.setFile.empty() ? "Zustandsdatei" : "Set-Datei") + " abgelehnt: " + srcPath +
                        " (das Plug-in hat sie nicht angenommen)");
    }

    // Whether the plug-in follows the host: a saved state may have switched that off.
    double followValue = 1.0;
    bool follow = !h.getParam(PARAM_FOLLOW, &followValue) || followValue >= 0.5;
    for (const ParamSet& p : o.params)
        if (p.id == PARAM_FOLLOW) follow = p.value >= 0.5;

    // Parameter values before the first block, through the host's parameter
    // flush. The pattern must be in place before the transport starts the
    // sequencer, which then begins with it.
    host::EventList pre;
    for (const ParamSet& p : o.params) pre.param(0, p.id, p.value);
    if (o.pattern > 0) pre.param(0, PARAM_PATTERN, o.pattern);
    if (!pre.empty()) h.flush(&pre, nullptr);
    while (h.idle()) {
    }

    // Tempo: the one asked for, else the set's own. The plug-in follows the
    // host's tempo, so it goes out with the transport; when the plug-in does
    // not follow the host it keeps the set's tempo and is started by MIDI Start.
    double tempo = o.tempo > 0.0 ? o.tempo : std::clamp(setTempo, 60.0, 260.0);
    if (!std::isfinite(tempo)) tempo = DEFAULT_TEMPO;
    if (!follow) {
        if (o.tempo > 0.0)
            std::fprintf(stderr,
                         "brisanto-render: Hinweis: \"Sequencer folgt Host\" ist aus, es gilt das Tempo des Sets\n");
        tempo = std::isfinite(setTempo) && setTempo > 0.0 ? setTempo : DEFAULT_TEMPO;
    }
    double seconds = o.seconds > 0.0 ? o.seconds : (o.bars > 0.0 ? o.bars : kDefaultBars) * 240.0 / tempo;
    if (seconds > kMaxSeconds)
        return fail("Länge zu groß: " + de(seconds, 1) + " s (höchstens " + de(kMaxSeconds, 0) + " s)", 2);
    uint64_t total = static_cast<uint64_t>(std::llround(seconds * o.rate));
    if (total == 0) return fail("Länge zu klein: weniger als ein Frame", 2);

    if (!h.startProcessing()) return fail("Plug-in nicht ladbar: " + pluginPath + " (start_processing abgelehnt)");
    host::Transport tr;
    tr.present = true;
    tr.playing = true;
    tr.hasTempo = true;
    tr.tempo = tempo;
    h.setTransport(tr);

    std::vector<float> left(o.block), right(o.block), inter(2 * static_cast<size_t>(o.block));
    host::EventList first;
    if (!follow) first.midi(0, 0xFA, 0, 0);
    Progress bar(stderr, total, isatty(STDERR_FILENO) == 1);
    uint64_t done = 0;
    while (done < total) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(o.block, total - done));
        h.process(n, left.data(), right.data(), done == 0 ? &first : nullptr, nullptr);
        for (uint32_t i = 0; i < n; ++i) {
            inter[2 * i] = left[i];
            inter[2 * i + 1] = right[i];
        }
        if (!wav.write(inter.data(), n, &err)) {
            bar.finish();
            return fail(err);
        }
        done += n;
        bar.update(done);
        while (h.idle()) {
        }
    }
    bar.finish();
    h.stopProcessing();

    if (!o.saveState.empty()) {
        std::vector<uint8_t> bytes;
        if (!h.saveState(bytes)) return fail("Zustand nicht gespeichert: das Plug-in hat ihn nicht geliefert");
        if (!write_file_atomically(o.saveState, bytes.data(), bytes.size(), &err)) return fail(err);
    }
    h.deactivate();
    if (!wav.commit(&err)) return fail(err);

    const char* fmt = o.format == Format::Float32 ? "32 Bit float" : o.format == Format::Pcm24 ? "24 Bit" : "16 Bit";
    double bars = o.bars > 0.0 ? o.bars : kDefaultBars;
    std::string length = o.seconds > 0.0 ? de(seconds, 2) + " s"
                                          : de(bars, bars == std::floor(bars) ? 0 : 2) +
                                                (bars == 1.0 ? " Takt, " : " Takte, ") + de(seconds, 2) + " s";
    std::printf("brisanto-render: %s mit %s BPM, %u Hz, %s geschrieben: %s\n", length.c_str(),
                de(tempo, tempo == std::floor(tempo) ? 0 : 1).c_str(), o.rate, fmt, absolute(o.output).c_str());
    return 0;
}

}  // namespace
}  // namespace brs::render

int main(int argc, char** argv) {
    using namespace brs::render;
    Options o;
    std::string error;
    if (!parse_options(argc, argv, &o, &error)) {
        std::fprintf(stderr, "brisanto-render: %s (Hilfe: brisanto-render --hilfe)\n", error.c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(help_text(), stdout);
        return 0;
    }
    return run(o);
}
