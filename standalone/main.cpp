// brisanto: the groovebox as a program of its own, with its window, live sound
// and MIDI, and no DAW needed.
#include <cstdio>
#include <string>

#include "standalone/app.h"

int main(int argc, char** argv) {
    using namespace brs::app;
    Options o;
    std::string error;
    if (!parse_options(argc, argv, &o, &error)) {
        std::fprintf(stderr, "brisanto: %s (Hilfe: brisanto --hilfe)\n", error.c_str());
        return EXIT_USAGE;
    }
    if (o.help) {
        std::fputs(help_text(), stdout);
        return EXIT_OK;
    }
    return run(o);
}
