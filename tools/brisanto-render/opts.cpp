// opts.cpp: command line of brisanto-render.
#include "tools/brisanto-render/opts.h"

#include <getopt.h>

#include "host/cli.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "grooves/grooves.h"

namespace brs::render {

namespace {

using host::read_int;
using host::read_number;

const char* const TRACK_KEYS[6] = {"kick", "bass", "hoover", "break", "hat", "stab"};

const char HELP[] =
    "Aufruf: brisanto-render [Optionen]\n"
    "\n"
    "Lädt brisanto.clap wie eine DAW (Transport läuft, Tempo vom Host) und schreibt,\n"
    "was das Plug-in spielt, in eine WAV-Datei. Ohne Optionen: 8 Takte des\n"
    "Standard-Grooves mit 48000 Hz nach brisanto-demo.wav.\n"
    "\n"
    "Quelle:\n"
    "  -p, --plugin DATEI     Plug-in-Datei (Vorgabe: brisanto.clap neben diesem\n"
    "                         Programm, sonst ~/.clap, /usr/local/lib/clap, /usr/lib/clap)\n"
    "  -s, --set DATEI        Set-Dokument (\"vm-groove/1.0\") laden, z. B. das der\n"
    "                         Browser-Anwendung: ~/Documents/Velmora/brisanto-set.json\n"
    "  -w, --werkset NAME     ein Werkset des Plug-ins laden (Namen unten)\n"
    "  -z, --zustand DATEI    gespeicherten Plug-in-Zustand laden\n"
    "      --zustand-speichern DATEI\n"
    "                         Plug-in-Zustand nach dem Rendern in DATEI schreiben\n"
    "\n"
    "Spielen:\n"
    "  -m, --pattern N        Pattern N (1..8) spielen, über den Parameter \"Pattern\"\n"
    "  -t, --tempo BPM        Host-Tempo 60..260 (Vorgabe: Tempo des Sets, sonst 175)\n"
    "      --stumm SPUREN     Spuren stummschalten, durch Komma getrennt:\n"
    "                         kick, bass, hoover, break, hat, stab\n"
    "      --solo SPUR        nur diese Spur hören, alle anderen stumm\n"
    "      --param ID=WERT    Host-Parameter vor dem ersten Block setzen (IDs und\n"
    "                         Bereiche: docs/guide.md); mehrfach möglich\n"
    "\n"
    "Länge:\n"
    "  -b, --takte N          Länge in Takten zu 16 Schritten = 4 Schlägen (Vorgabe: 8)\n"
    "  -d, --sekunden S       Länge in Sekunden statt in Takten\n"
    "\n"
    "Ausgabe:\n"
    "  -o, --ausgabe DATEI    WAV-Datei (Vorgabe: brisanto-demo.wav)\n"
    "  -f, --format F         float (32 Bit Gleitkomma, Vorgabe), 24 oder 16 (Bit PCM)\n"
    "  -r, --rate HZ          Abtastrate 8000..384000 (Vorgabe: 48000)\n"
    "  -k, --block N          Blockgröße in Frames 1..8192 (Vorgabe: 512)\n"
    "  -h, --hilfe, --help    diese Hilfe\n"
    "\n"
    "Zahlen dürfen ein Dezimalkomma haben (2,5). Die Datei wird erst unter einem\n"
    "vorläufigen Namen geschrieben und nur bei Erfolg umbenannt.\n"
    "Rückgabewert: 0 bei Erfolg, 1 bei Fehlern beim Laden, Rendern oder Schreiben,\n"
    "2 bei falschen Optionen.\n";

// Per-track ids 16 * track + k (k 0..7) and the global ids 1000..1008.
bool is_param_id(long id) {
    if (id >= 0 && id < 96) return (id % 16) < 8;
    return id >= 1000 && id <= 1008;
}

uint32_t mute_id(int track) { return static_cast<uint32_t>(16 * track + 7); }

bool fail(std::string* error, std::string msg) {
    *error = std::move(msg);
    return false;
}

}  // namespace

const char* help_text() {
    static const std::string text = [] {
        std::string t = HELP;
        t += "\nWerksets (--werkset NAME oder der Name in Anführungszeichen):\n";
        for (std::size_t i = 0; i < grooves::count(); ++i) {
            const grooves::FactorySet* s = grooves::at(i);
            char line[160];
            std::snprintf(line, sizeof line, "  %-24s%s, %.0f BPM\n", s->key, s->name, s->bpm);
            t += line;
        }
        return t;
    }();
    return text.c_str();
}

int track_index(const std::string& name) {
    std::string low;
    for (char c : name) low += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int t = 0; t < 6; ++t)
        if (low == TRACK_KEYS[t]) return t;
    return -1;
}

bool parse_options(int argc, char** argv, Options* o, std::string* error) {
    enum { OPT_SAVE = 1000, OPT_MUTE, OPT_SOLO, OPT_PARAM };
    static const option LONG[] = {
        {"plugin", required_argument, nullptr, 'p'},
        {"set", required_argument, nullptr, 's'},
        {"zustand", required_argument, nullptr, 'z'},
        {"werkset", required_argument, nullptr, 'w'},
        {"zustand-speichern", required_argument, nullptr, OPT_SAVE},
        {"pattern", required_argument, nullptr, 'm'},
        {"tempo", required_argument, nullptr, 't'},
        {"stumm", required_argument, nullptr, OPT_MUTE},
        {"solo", required_argument, nullptr, OPT_SOLO},
        {"param", required_argument, nullptr, OPT_PARAM},
        {"takte", required_argument, nullptr, 'b'},
        {"sekunden", required_argument, nullptr, 'd'},
        {"ausgabe", required_argument, nullptr, 'o'},
        {"format", required_argument, nullptr, 'f'},
        {"rate", required_argument, nullptr, 'r'},
        {"block", required_argument, nullptr, 'k'},
        {"hilfe", no_argument, nullptr, 'h'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    *o = Options{};
    optind = 0;  // full re-initialisation, so that the parser can run more than once
    opterr = 0;
    for (;;) {
        int idx = -1;
        int c = getopt_long(argc, argv, ":p:s:z:w:m:t:b:d:o:f:r:k:h", LONG, &idx);
        if (c == -1) break;
        const char* arg = optarg;
        long n = 0;
        double v = 0;
        switch (c) {
        case 'p': o->plugin = arg; break;
        case 's': o->setFile = arg; break;
        case 'z': o->stateFile = arg; break;
        case 'w': {
            const grooves::FactorySet* s = grooves::find(arg);
            if (!s) {
                std::string names;
                for (std::size_t i = 0; i < grooves::count(); ++i) names += (i ? ", " : "") + std::string(grooves::at(i)->key);
                return fail(error, std::string("unbekanntes Werkset: ") + arg + " (" + names + ")");
            }
            o->werkset = s->key;
            break;
        }
        case OPT_SAVE: o->saveState = arg; break;
        case 'o': o->output = arg; break;
        case 'm':
            if (!read_int(arg, 1, 8, &n)) return fail(error, std::string("Pattern muss 1 bis 8 sein: ") + arg);
            o->pattern = static_cast<int>(n);
            break;
        case 't':
            if (!read_number(arg, &v) || v < 60.0 || v > 260.0)
                return fail(error, std::string("Tempo muss zwischen 60 und 260 BPM liegen: ") + arg);
            o->tempo = v;
            break;
        case 'b':
            if (!read_number(arg, &v) || v <= 0.0)
                return fail(error, std::string("Taktzahl muss größer als 0 sein: ") + arg);
            o->bars = v;
            break;
        case 'd':
            if (!read_number(arg, &v) || v <= 0.0)
                return fail(error, std::string("Sekunden müssen größer als 0 sein: ") + arg);
            o->seconds = v;
            break;
        case 'r':
            if (!read_int(arg, 8000, 384000, &n))
                return fail(error, std::string("Abtastrate muss eine ganze Zahl von 8000 bis 384000 sein: ") + arg);
            o->rate = static_cast<uint32_t>(n);
            break;
        case 'k':
            if (!read_int(arg, 1, 8192, &n))
                return fail(error, std::string("Blockgröße muss eine ganze Zahl von 1 bis 8192 sein: ") + arg);
            o->block = static_cast<uint32_t>(n);
            break;
        case 'f': {
            std::string f = arg;
            if (f == "float" || f == "32f" || f == "f32") o->format = Format::Float32;
            else if (f == "24") o->format = Format::Pcm24;
            else if (f == "16") o->format = Format::Pcm16;
            else return fail(error, "Format muss float, 24 oder 16 sein: " + f);
            break;
        }
        case OPT_MUTE: {
            std::string list = arg;
            size_t start = 0;
            for (;;) {
                size_t comma = list.find(',', start);
                std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                int t = track_index(name);
                if (t < 0) return fail(error, "unbekannte Spur: " + name + " (kick, bass, hoover, break, hat, stab)");
                o->params.push_back({mute_id(t), 1.0});
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            break;
        }
        case OPT_SOLO: {
            int t = track_index(arg);
            if (t < 0)
                return fail(error, std::string("unbekannte Spur: ") + arg + " (kick, bass, hoover, break, hat, stab)");
            for (int u = 0; u < 6; ++u) o->params.push_back({mute_id(u), u == t ? 0.0 : 1.0});
            break;
        }
        case OPT_PARAM: {
            std::string s = arg;
            size_t eq = s.find('=');
            long id = 0;
            if (eq == std::string::npos || !read_int(s.substr(0, eq).c_str(), 0, 1008, &id) ||
                !read_number(s.c_str() + eq + 1, &v))
                return fail(error, "Parameter bitte als ID=WERT angeben: " + s);
            if (!is_param_id(id)) return fail(error, "unbekannte Parameter-ID: " + s.substr(0, eq));
            o->params.push_back({static_cast<uint32_t>(id), v});
            break;
        }
        case 'h': o->help = true; break;
        case ':': return fail(error, std::string("Option ") + argv[optind - 1] + " braucht einen Wert");
        default: {
            const char* bad = argv[optind - 1];
            if (optopt && optopt != '?') return fail(error, std::string("unbekannte Option: -") + static_cast<char>(optopt));
            return fail(error, std::string("unbekannte Option: ") + bad);
        }
        }
    }
    if (optind < argc) return fail(error, std::string("unerwartetes Argument: ") + argv[optind]);
    if (!o->setFile.empty() && !o->stateFile.empty())
        return fail(error, "--set und --zustand schließen einander aus");
    if (!o->werkset.empty() && (!o->setFile.empty() || !o->stateFile.empty()))
        return fail(error, "--werkset und --set oder --zustand schließen einander aus");
    if (o->bars > 0.0 && o->seconds > 0.0) return fail(error, "--takte und --sekunden schließen einander aus");
    if (o->output.empty()) return fail(error, "Ausgabedatei fehlt");
    return true;
}

}  // namespace brs::render
