// opts.cpp: command line of the standalone program brisanto.
#include "standalone/opts.h"

#include <getopt.h>

#include "host/cli.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace brs::app {

namespace {

using host::read_int;
using host::read_number;

const char HELP[] =
    "Aufruf: brisanto [Optionen]\n"
    "\n"
    "Spielt brisanto.clap live: Fenster mit dem Editor, Ton über JACK, PulseAudio\n"
    "oder ALSA, Noten 36 bis 41 und MIDI Start/Stop von jedem MIDI-Eingang.\n"
    "Leertaste im Fenster: Transport starten/stoppen. Beim Beenden wird der Zustand\n"
    "gespeichert ($XDG_CONFIG_HOME/brisanto/zustand, sonst ~/.config/brisanto/zustand)\n"
    "und beim nächsten Start wiederhergestellt.\n"
    "\n"
    "Quelle:\n"
    "  -p, --plugin DATEI     Plug-in-Datei (Vorgabe: brisanto.clap neben diesem\n"
    "                         Programm, sonst ~/.clap, <Präfix>/lib/clap,\n"
    "                         /usr/local/lib/clap, /usr/lib/clap)\n"
    "  -s, --set DATEI        Set-Dokument (\"vm-groove/1.0\") beim Start laden, z. B. das\n"
    "                         der Browser-Anwendung: ~/Documents/Velmora/brisanto-set.json\n"
    "  -z, --zustand DATEI    gespeicherten Plug-in-Zustand beim Start öffnen\n"
    "      --zustand-speichern DATEI\n"
    "                         Zustand beim Beenden auch in DATEI schreiben\n"
    "      --ohne-zustand     den zuletzt gespeicherten Zustand weder laden noch\n"
    "                         überschreiben\n"
    "\n"
    "Audio:\n"
    "  -a, --audio SYSTEM     auto (Vorgabe: JACK, wenn ein Server läuft, sonst\n"
    "                         PulseAudio/PipeWire, sonst ALSA), jack, pulse oder alsa\n"
    "  -r, --rate HZ          Abtastrate 8000..384000 (Vorgabe: 48000; bei JACK gilt\n"
    "                         die Rate des Servers)\n"
    "  -k, --block N          Blockgröße in Frames 16..8192 (Vorgabe: 256; bei JACK\n"
    "                         gilt die Blockgröße des Servers)\n"
    "      --nicht-verbinden  JACK-Ausgänge brisanto:links/rechts nicht mit den\n"
    "                         Wiedergabe-Ports des Systems verbinden\n"
    "\n"
    "MIDI und Transport:\n"
    "      --midi NAME        nur MIDI-Ports, deren Name NAME enthält (Vorgabe: alle)\n"
    "      --ohne-midi        keine MIDI-Eingänge öffnen\n"
    "      --ohne-midi-uhr    externe MIDI-Clock nicht als Tempo übernehmen\n"
    "  -t, --tempo BPM        festes Host-Tempo 60..260 (Vorgabe: Tempo des Sets)\n"
    "      --spielen          Transport gleich beim Start laufen lassen\n"
    "  -h, --hilfe, --help    diese Hilfe\n"
    "\n"
    "Zahlen dürfen ein Dezimalkomma haben (2,5).\n"
    "Rückgabewert: 0 bei normalem Ende, 1 bei Fehlern mit Dateien, 2 bei falschen\n"
    "Optionen, 3 wenn das Plug-in fehlt oder nicht ladbar ist, 4 wenn die Anzeige\n"
    "(X11) nicht zu öffnen ist, 5 wenn sich kein Audiogerät öffnen lässt.\n";

bool fail(std::string* error, std::string msg) {
    *error = std::move(msg);
    return false;
}

}  // namespace

const char* help_text() { return HELP; }

bool parse_options(int argc, char** argv, Options* o, std::string* error) {
    enum { OPT_SAVE = 1000, OPT_NOSTATE, OPT_NOCONNECT, OPT_MIDI, OPT_NOMIDI, OPT_NOCLOCK, OPT_PLAY };
    static const option LONG[] = {
        {"plugin", required_argument, nullptr, 'p'},
        {"set", required_argument, nullptr, 's'},
        {"zustand", required_argument, nullptr, 'z'},
        {"zustand-speichern", required_argument, nullptr, OPT_SAVE},
        {"ohne-zustand", no_argument, nullptr, OPT_NOSTATE},
        {"audio", required_argument, nullptr, 'a'},
        {"rate", required_argument, nullptr, 'r'},
        {"block", required_argument, nullptr, 'k'},
        {"nicht-verbinden", no_argument, nullptr, OPT_NOCONNECT},
        {"midi", required_argument, nullptr, OPT_MIDI},
        {"ohne-midi", no_argument, nullptr, OPT_NOMIDI},
        {"ohne-midi-uhr", no_argument, nullptr, OPT_NOCLOCK},
        {"tempo", required_argument, nullptr, 't'},
        {"spielen", no_argument, nullptr, OPT_PLAY},
        {"hilfe", no_argument, nullptr, 'h'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    *o = Options{};
    optind = 0;  // full re-initialisation, so that the parser can run more than once
    opterr = 0;
    for (;;) {
        int idx = -1;
        int c = getopt_long(argc, argv, ":p:s:z:a:r:k:t:h", LONG, &idx);
        if (c == -1) break;
        const char* arg = optarg;
        long n = 0;
        double v = 0;
        switch (c) {
        case 'p': o->plugin = arg; break;
        case 's': o->setFile = arg; break;
        case 'z': o->stateFile = arg; break;
        case OPT_SAVE: o->saveState = arg; break;
        case OPT_NOSTATE: o->noState = true; break;
        case 'a': {
            std::string a = arg;
            if (a != "auto" && a != "jack" && a != "pulse" && a != "alsa")
                return fail(error, "Audio-System muss auto, jack, pulse oder alsa sein: " + a);
            o->api = a;
            break;
        }
        case 'r':
            if (!read_int(arg, 8000, 384000, &n))
                return fail(error, std::string("Abtastrate muss eine ganze Zahl von 8000 bis 384000 sein: ") + arg);
            o->rate = static_cast<uint32_t>(n);
            o->rateGiven = true;
            break;
        case 'k':
            if (!read_int(arg, 16, 8192, &n))
                return fail(error, std::string("Blockgröße muss eine ganze Zahl von 16 bis 8192 sein: ") + arg);
            o->block = static_cast<uint32_t>(n);
            o->blockGiven = true;
            break;
        case OPT_NOCONNECT: o->connect = false; break;
        case OPT_MIDI:
            if (!*arg) return fail(error, "MIDI-Portname ist leer");
            o->midi = arg;
            break;
        case OPT_NOMIDI: o->noMidi = true; break;
        case OPT_NOCLOCK: o->followClock = false; break;
        case 't':
            if (!read_number(arg, &v) || v < 60.0 || v > 260.0)
                return fail(error, std::string("Tempo muss zwischen 60 und 260 BPM liegen: ") + arg);
            o->tempo = v;
            break;
        case OPT_PLAY: o->play = true; break;
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
    if (!o->setFile.empty() && !o->stateFile.empty()) return fail(error, "--set und --zustand schließen einander aus");
    if (o->noMidi && !o->midi.empty()) return fail(error, "--midi und --ohne-midi schließen einander aus");
    return true;
}

}  // namespace brs::app
