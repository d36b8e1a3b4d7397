// editor_fixture.h: the editor under a private Xvfb, through our host and
// the built brisanto.clap.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <X11/Xatom.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/embed.h"
#include "host/host.h"

namespace brs::host {
inline void PrintTo(const Rgb8& c, std::ostream* os) { *os << "(" << c.r << ", " << c.g << ", " << c.b << ")"; }
}  // namespace brs::host

namespace edtest {

using brs::host::Embed;
using brs::host::EventList;
using brs::host::Host;
using brs::host::Picture;
using brs::host::Rgb8;

// Palette of the editor.
constexpr Rgb8 BG{13, 15, 19};
constexpr Rgb8 FACE{24, 28, 36};
constexpr Rgb8 FILL{110, 44, 24};
constexpr Rgb8 FILL_DRAG{53, 224, 208};
constexpr Rgb8 ACCENT{255, 92, 40};
constexpr Rgb8 LIT{184, 214, 43};
constexpr Rgb8 LINE{48, 54, 66};

// One output event of a params flush, reduced to what the editor decides.
struct Out {
    int type;  // 5 value, 7 gesture begin, 8 gesture end
    uint32_t id;
    double value;
};

inline std::ostream& operator<<(std::ostream& os, const Out& o) {
    return os << "{type " << o.type << ", id " << o.id << ", value " << o.value << "}";
}

// The expected events of one complete editor gesture that sets id to value.
inline std::vector<Out> gesture(uint32_t id, double value) {
    return {{7, id, 0.0}, {5, id, value}, {8, id, 0.0}};
}

inline void expect_events(const std::vector<Out>& got, const std::vector<Out>& want) {
    ASSERT_EQ(got.size(), want.size()) << "got " << ::testing::PrintToString(got);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, want[i].type) << "event " << i;
        EXPECT_EQ(got[i].id, want[i].id) << "event " << i;
        EXPECT_NEAR(got[i].value, want[i].value, 1e-12) << "event " << i;
    }
}

class EditorTest : public ::testing::Test {
protected:
    // The screen the private server offers.
    virtual std::string screen() const { return "1280x1024x24"; }

    void SetUp() override {
        // A desktop host has the font libraries loaded for its own windows.
        // Keeping them loaded here too means that unloading the plug-in
        // leaves their process-wide caches reachable, as in a real host, so
        // the leak checker sees only what the editor itself leaves behind.
        static void* fontLibs = dlopen("libXft.so.2", RTLD_NOW | RTLD_GLOBAL);
        (void)fontLibs;
        ASSERT_TRUE(xvfb.start(screen())) << "Xvfb could not be started";
        setenv("DISPLAY", xvfb.name().c_str(), 1);
        ASSERT_TRUE(host.load(BRS_CLAP_PATH)) << host.error();
        ASSERT_TRUE(host.create()) << host.error();
    }

    void TearDown() override {
        embed.reset();  // the editor goes before its instance
        host.destroy();
        xvfb.stop();
    }

    // Embeds the editor (create, set_parent, show).
    void open() {
        embed = std::make_unique<Embed>(host);
        ASSERT_TRUE(embed->open()) << embed->error();
    }

    // One timer tick, then the picture once the server has drawn it.
    Picture tick() {
        embed->tick();
        return embed->settle();
    }

    // The editor's queued edits as the host sees them in the next flush.
    std::vector<Out> drain() {
        EventList out;
        host.flush(nullptr, &out);
        std::vector<Out> v;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const clap_event_header_t* h = out.at(i);
            if (h->type == CLAP_EVENT_PARAM_VALUE) {
                const auto& e = out.as<clap_event_param_value_t>(i);
                v.push_back({h->type, e.param_id, e.value});
            } else if (h->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || h->type == CLAP_EVENT_PARAM_GESTURE_END) {
                v.push_back({h->type, out.as<clap_event_param_gesture_t>(i).param_id, 0.0});
            }
        }
        return v;
    }

    double param(uint32_t id) {
        double v = -1.0;
        EXPECT_TRUE(host.getParam(id, &v));
        return v;
    }

    // Waits until the server has handed our requests and the events they
    // cause to their clients.
    void sync() {
        XSync(embed->display(), False);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // ---- real pointer and keyboard input through XTest (root = window coordinates)
    void move(int x, int y) {
        XTestFakeMotionEvent(embed->display(), -1, x, y, CurrentTime);
        sync();
    }
    void button(unsigned b, bool down) {
        XTestFakeButtonEvent(embed->display(), b, down ? True : False, CurrentTime);
        sync();
    }
    void click(int x, int y, unsigned b = 1) {
        move(x, y);
        button(b, true);
        button(b, false);
    }
    void shift(bool down) {
        KeyCode kc = XKeysymToKeycode(embed->display(), XK_Shift_L);
        XTestFakeKeyEvent(embed->display(), kc, down ? True : False, CurrentTime);
        sync();
    }

    // ---- synthetic button events with a chosen server time
    void send_button(int type, unsigned b, int x, int y, Time t, unsigned state = 0) {
        Window w = embed->child();
        XEvent ev{};
        ev.xbutton.type = type;
        ev.xbutton.display = embed->display();
        ev.xbutton.window = w;
        ev.xbutton.root = DefaultRootWindow(embed->display());
        ev.xbutton.time = t;
        ev.xbutton.x = x;
        ev.xbutton.y = y;
        ev.xbutton.x_root = x;
        ev.xbutton.y_root = y;
        ev.xbutton.state = state;
        ev.xbutton.button = b;
        ev.xbutton.same_screen = True;
        XSendEvent(embed->display(), w, False, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask,
                   &ev);
        sync();
    }
    void send_click(int x, int y, Time t) {
        send_button(ButtonPress, 1, x, y, t);
        send_button(ButtonRelease, 1, x, y, t + 20, Button1Mask);
    }

    brs::host::Xvfb xvfb;
    Host host;
    std::unique_ptr<Embed> embed;
};

// Pixels of exactly colour c inside (x, y, w, h).
inline int count(const Picture& p, int x, int y, int w, int h, Rgb8 c) {
    int n = 0;
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i)
            if (p.at(i, j) == c) ++n;
    return n;
}

}  // namespace edtest
