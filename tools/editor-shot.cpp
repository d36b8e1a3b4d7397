// brisanto-editor-shot: writes a PNG picture of the plug-in's editor.
//
//   brisanto-editor-shot <plugin.clap> <out.png> [page] [zoom]
//
// Loads the plug-in with our host, embeds its editor in a window of its own,
// lets the editor's timer draw once and reads the window back. page is one of
// "mischpult" (the default), "schritte", "klang", "song": the tool clicks
// that page's button first. zoom is 100 (the default), 150 or 200: the
// editor is opened at that zoom, as after a host's gui scale. Uses the X display in $DISPLAY, or starts a
// private Xvfb when there is none.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <thread>

#include "host/embed.h"
#include "host/host.h"
#include "tools/png_write.h"

int main(int argc, char** argv) {
    static const char* const PAGES[4] = {"mischpult", "schritte", "klang", "song"};
    int page = 0, zoom = 100;
    if (argc >= 4) {
        page = -1;
        for (int j = 0; j < 4; ++j)
            if (std::strcmp(argv[3], PAGES[j]) == 0) page = j;
    }
    if (argc == 5) {
        zoom = std::strcmp(argv[4], "100") == 0 ? 100
               : std::strcmp(argv[4], "150") == 0 ? 150
               : std::strcmp(argv[4], "200") == 0 ? 200
                                                  : -1;
    }
    if (argc < 3 || argc > 5 || page < 0 || zoom < 0) {
        std::fprintf(stderr, "usage: %s <plugin.clap> <out.png> [mischpult|schritte|klang|song] [100|150|200]\n",
                     argv[0]);
        return 2;
    }
    brs::host::Xvfb server;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        if (!server.start("2048x1024x24")) {  // room for the editor at 200 %
            std::fprintf(stderr, "no DISPLAY and Xvfb could not be started\n");
            return 1;
        }
        setenv("DISPLAY", server.name().c_str(), 1);
    }

    brs::host::Host host;
    if (!host.load(argv[1]) || !host.create()) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], host.error().c_str());
        return 1;
    }
    brs::host::Picture pic;
    {
        brs::host::Embed embed(host);
        const auto* gui = static_cast<const clap_plugin_gui_t*>(host.extension(CLAP_EXT_GUI));
        if (zoom != 100 && (!gui || !gui->set_scale || !gui->set_scale(host.plugin(), zoom / 100.0))) {
            std::fprintf(stderr, "the editor does not take the zoom %d %%\n", zoom);
            return 1;
        }
        if (!embed.open()) {
            std::fprintf(stderr, "cannot open the editor: %s\n", embed.error().c_str());
            return 1;
        }
        embed.tick();
        if (page > 0) {
            // A click on the page's button, right of "Set laden".
            Display* d = embed.display();
            XEvent ev{};
            ev.xbutton.display = d;
            ev.xbutton.window = embed.child();
            ev.xbutton.root = DefaultRootWindow(d);
            ev.xbutton.x = (660 + 81 * page + 36) * zoom / 100;
            ev.xbutton.y = 359 * zoom / 100;
            ev.xbutton.button = Button1;
            ev.xbutton.same_screen = True;
            for (int type : {ButtonPress, ButtonRelease}) {
                ev.xbutton.type = type;
                XSendEvent(d, embed.child(), False, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &ev);
            }
            XSync(d, False);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            embed.tick();
        }
        pic = embed.settle();
    }
    if (pic.w == 0) {
        std::fprintf(stderr, "the editor window could not be read\n");
        return 1;
    }
    std::vector<uint8_t> rgb;
    rgb.reserve(pic.px.size() * 3);
    for (const brs::host::Rgb8& p : pic.px) {
        rgb.push_back(static_cast<uint8_t>(p.r));
        rgb.push_back(static_cast<uint8_t>(p.g));
        rgb.push_back(static_cast<uint8_t>(p.b));
    }
    if (!brs::png::write_file(argv[2], brs::png::encode_rgb(pic.w, pic.h, rgb))) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%s: %d x %d\n", argv[2], pic.w, pic.h);
    return 0;
}
