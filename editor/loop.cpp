// loop.cpp: the timer tick: pointer input becomes queued edits, changes
// found in the parameter cache become a repaint.
#include <cmath>
#include <cstring>

#include "editor/editor.h"

namespace brs::plug {

namespace {

constexpr Time DOUBLE_CLICK_MS = 399;

void request_flush(const Plug& p) {
    const clap_host_params_t* hp = host_params(p);
    if (hp && hp->request_flush) hp->request_flush(p.host);
}

// The first control of the shown page containing the window pixel
// (wx, wy), -1 for none. The controls' rectangles are those of the 100 %
// layout; the pixel is taken back to it.
int hit(const XGui* g, int wx, int wy) {
    const int px = xunz(wx, g->zoom), py = xunz(wy, g->zoom);
    for (std::size_t i = 0; i < g->ctls.size(); ++i) {
        const XCtl& c = g->ctls[i];
        if (!xon_page(g, c)) continue;
        if (px >= c.x && px < c.x + c.w && py >= c.y && py < c.y + c.h) return static_cast<int>(i);
    }
    return -1;
}

bool is_slider(const XCtl& c) { return c.kind == XK_SLIDER || c.kind == XK_SET_SLIDER; }

// A slider's new value: host parameters through the gesture queue, set
// values through the set-edit queue.
void slider_value(XGui* g, const XCtl& c, double v) {
    if (c.kind == XK_SLIDER) xqueue(g, c.id, v, 1);
    else xset_slider(g, c, v);
}

void button_action(XGui* g, int index, const XButtonEvent& e) {
    const XCtl& c = g->ctls[static_cast<std::size_t>(index)];
    if (c.kind >= XK_PAGE) {
        xpress_page(g, index, e.button, e.state);
        g->dirty = true;
        return;
    }
    if (c.kind == 1) {
        xsetze(g, c, xwert(g, c) >= 0.5 ? 0.0 : 1.0);
    } else if (c.kind == 2) {
        view_pattern_chosen(*g->owner, c.arg);
        xsetze(g, c, static_cast<double>(c.arg));
    } else if (c.kind == 3) {
        Plug& p = *g->owner;
        if (p.load_file()) rescan_values(p);
    }
    g->dirty = true;
}

void drag_end(XGui* g);

void left_press(XGui* g, const XButtonEvent& e) {
    int i = hit(g, e.x, e.y);
    if (i < 0) return;
    // A release that never reached us (the pointer grab was broken) must not
    // leave the host with an open gesture.
    if (g->drag >= 0) drag_end(g);
    const XCtl& c = g->ctls[static_cast<std::size_t>(i)];
    // Server time is 32 bits and wraps; the difference is taken in that width.
    uint32_t since = static_cast<uint32_t>(e.time) - static_cast<uint32_t>(g->clickTime);
    if (i == g->clickCtl && since <= DOUBLE_CLICK_MS) {
        g->clickTime = e.time;
        if (c.kind == XK_SLIDER) {
            xsetze(g, c, c.def);
            g->drag = -1;
            g->dirty = true;
            return;
        }
        if (c.kind == XK_SET_SLIDER) {
            xset_slider(g, c, c.def);
            mark_dirty(*g->owner);
            g->drag = -1;
            g->dirty = true;
            return;
        }
        button_action(g, i, e);
        return;
    }
    g->clickTime = e.time;
    g->clickCtl = i;
    if (!is_slider(c)) {
        button_action(g, i, e);
        return;
    }
    g->drag = i;
    g->dragX0 = e.x;
    g->dragFrac0 = (e.x * (100.0 / g->zoom) - c.x) / c.w;
    g->dragVal = xval(c, g->dragFrac0);
    if (c.kind == XK_SLIDER) xqueue(g, c.id, 0.0, 0);
    slider_value(g, c, g->dragVal);
    g->dirty = true;
}

void drag_motion(XGui* g, const XMotionEvent& e) {
    const XCtl& c = g->ctls[static_cast<std::size_t>(g->drag)];
    double f = (e.state & ShiftMask) ? 0.1 : 1.0;
    // Pointer travel in window pixels over the slider's zoomed width.
    double p = (e.x - g->dragX0) * f / (c.w * (g->zoom / 100.0)) + g->dragFrac0;
    g->dragVal = xval(c, p);  // clamps p to 0..1
    slider_value(g, c, g->dragVal);
    g->dirty = true;
}

void drag_end(XGui* g) {
    const XCtl& c = g->ctls[static_cast<std::size_t>(g->drag)];
    if (c.kind == XK_SLIDER) xqueue(g, c.id, 0.0, 2);
    else mark_dirty(*g->owner);  // one set-value gesture ends
    g->drag = -1;
    g->dirty = true;
}

void wheel(XGui* g, const XButtonEvent& e) {
    int i = hit(g, e.x, e.y);
    if (i < 0) return;
    const XCtl& c = g->ctls[static_cast<std::size_t>(i)];
    if (c.kind >= XK_PAGE && c.kind != XK_SET_SLIDER) {
        if (xwheel_page(g, i, e.button == Button4, e.state)) g->dirty = true;
        return;
    }
    if (!is_slider(c)) return;
    double p = xpos(c, xwert(g, c));
    p += e.button == Button4 ? 0.01 : -0.01;
    if (c.kind == XK_SLIDER) {
        xsetze(g, c, xval(c, p));  // clamps p to 0..1
    } else {
        xset_slider(g, c, xval(c, p));
        mark_dirty(*g->owner);
    }
    g->dirty = true;
}

// Button 3 over a page control (the steps page toggles accents with it).
void right_press(XGui* g, const XButtonEvent& e) {
    int i = hit(g, e.x, e.y);
    if (i < 0 || g->ctls[static_cast<std::size_t>(i)].kind < XK_PAGE) return;
    if (xpress_page(g, i, e.button, e.state)) g->dirty = true;
}

void handle(XGui* g, const XEvent& ev) {
    switch (ev.type) {
    case ButtonPress:
        if (ev.xbutton.button == Button1) left_press(g, ev.xbutton);
        else if (ev.xbutton.button == Button4 || ev.xbutton.button == Button5) wheel(g, ev.xbutton);
        else if (ev.xbutton.button == Button3) right_press(g, ev.xbutton);
        break;
    case ButtonRelease:
        if (ev.xbutton.button == Button1 && g->drag >= 0) drag_end(g);
        if (ev.xbutton.button == Button1 && g->paint >= 0) xrelease_page(g);
        break;
    case MotionNotify:
        if (g->drag >= 0) drag_motion(g, ev.xmotion);
        else if (g->paint >= 0)
            xmotion_page(g, xunz(ev.xmotion.x, g->zoom), xunz(ev.xmotion.y, g->zoom), ev.xmotion.state);
        break;
    case Expose:
        g->dirty = true;
        break;
    default:
        break;
    }
}

void detect_changes(XGui* g) {
    const std::string& st = g->owner->status;
    if (g->shownStatus.size() != st.size() || std::memcmp(g->shownStatus.data(), st.data(), st.size()) != 0) {
        g->shownStatus = st;
        g->dirty = true;
    }
    if (g->shown.size() != g->ctls.size()) {
        g->shown.assign(g->ctls.size(), -1e300);
        g->dirty = true;
    }
    for (std::size_t i = 0; i < g->ctls.size(); ++i) {
        if (!xon_page(g, g->ctls[i])) continue;
        double v = xwert(g, g->ctls[i]);
        if (v != g->shown[i] || std::isnan(v) || std::isnan(g->shown[i])) {
            g->shown[i] = v;
            g->dirty = true;
        }
    }
    if (g->page != XP_MISCHPULT) {
        // The pages show the set's view and the sequencer's position.
        const Plug& p = *g->owner;
        const int64_t play = p.pubPlaying.load(std::memory_order_acquire)
                                 ? (int64_t(p.pubPat.load(std::memory_order_relaxed)) << 40) |
                                       (int64_t(p.pubSongPos.load(std::memory_order_relaxed)) << 8) |
                                       int64_t(p.pubStep.load(std::memory_order_relaxed) & 0xFF)
                                 : -2;
        if (p.viewGen != g->shownViewGen || play != g->shownPlay) {
            g->shownViewGen = p.viewGen;
            g->shownPlay = play;
            g->dirty = true;
        }
    }
}

}  // namespace

// [main thread] holds gevMutex only for the append; asks the host after unlocking
void xqueue(XGui* g, uint32_t id, double value, int32_t kind) {
    Plug& p = *g->owner;
    {
        std::lock_guard<std::mutex> lock(p.gevMutex);
        p.gevs.push_back(Plug::GEv{id, value, kind, ++p.editSeq});
    }
    request_flush(p);
}

// [main thread]
void xsetze(XGui* g, const XCtl& c, double value) {
    xqueue(g, c.id, 0.0, 0);
    xqueue(g, c.id, value, 1);
    xqueue(g, c.id, 0.0, 2);
}

// [main thread] the host's 40 ms editor timer
void timer_cb(const clap_plugin_t* plugin, clap_id) {
    if (!plugin) return;
    Plug* p = from(plugin);
    XGui* g = p ? p->gui : nullptr;
    if (!g || !g->dpy || !g->win || g->lost) return;
    settle_import(*p);  // the status of an import that the worker carried out

    while (!g->lost && XPending(g->dpy) > 0) {
        XEvent ev;
        XNextEvent(g->dpy, &ev);
        handle(g, ev);
    }
    if (g->lost) return;

    // A zoom that a state load brought (the host's scale applies at once):
    // the host is asked for the window size like for the editor's button.
    if (p->zoom != g->zoom) xzoom_set(g, p->zoom, true);

    settle_set_edits(*p);  // edits left queued when the host stopped sending blocks
    sync_view(*p);
    detect_changes(g);

    if (!g->dirty || !g->visible || !g->win) return;
    xzeichne(g);
    if (!g->lost) g->dirty = false;
}

}  // namespace brs::plug
