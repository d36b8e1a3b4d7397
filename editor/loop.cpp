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

// The first control containing (px, py), -1 for none.
int hit(const XGui* g, int px, int py) {
    for (std::size_t i = 0; i < g->ctls.size(); ++i) {
        const XCtl& c = g->ctls[i];
        if (px >= c.x && px < c.x + c.w && py >= c.y && py < c.y + c.h) return static_cast<int>(i);
    }
    return -1;
}

void button_action(XGui* g, const XCtl& c) {
    if (c.kind == 1) {
        xsetze(g, c, xwert(g, c) >= 0.5 ? 0.0 : 1.0);
    } else if (c.kind == 2) {
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
        if (c.kind == 0) {
            xsetze(g, c, c.def);
            g->drag = -1;
            g->dirty = true;
            return;
        }
        button_action(g, c);
        return;
    }
    g->clickTime = e.time;
    g->clickCtl = i;
    if (c.kind != 0) {
        button_action(g, c);
        return;
    }
    g->drag = i;
    g->dragX0 = e.x;
    g->dragFrac0 = static_cast<double>(e.x - c.x) / c.w;
    g->dragVal = xval(c, g->dragFrac0);
    xqueue(g, c.id, 0.0, 0);
    xqueue(g, c.id, g->dragVal, 1);
    g->dirty = true;
}

void drag_motion(XGui* g, const XMotionEvent& e) {
    const XCtl& c = g->ctls[static_cast<std::size_t>(g->drag)];
    double f = (e.state & ShiftMask) ? 0.1 : 1.0;
    double p = (e.x - g->dragX0) * f / c.w + g->dragFrac0;
    g->dragVal = xval(c, p);  // clamps p to 0..1
    xqueue(g, c.id, g->dragVal, 1);
    g->dirty = true;
}

void drag_end(XGui* g) {
    xqueue(g, g->ctls[static_cast<std::size_t>(g->drag)].id, 0.0, 2);
    g->drag = -1;
    g->dirty = true;
}

void wheel(XGui* g, const XButtonEvent& e) {
    int i = hit(g, e.x, e.y);
    if (i < 0) return;
    const XCtl& c = g->ctls[static_cast<std::size_t>(i)];
    if (c.kind != 0) return;
    double p = xpos(c, xwert(g, c));
    p += e.button == Button4 ? 0.01 : -0.01;
    xsetze(g, c, xval(c, p));  // clamps p to 0..1
    g->dirty = true;
}

void handle(XGui* g, const XEvent& ev) {
    switch (ev.type) {
    case ButtonPress:
        if (ev.xbutton.button == Button1) left_press(g, ev.xbutton);
        else if (ev.xbutton.button == Button4 || ev.xbutton.button == Button5) wheel(g, ev.xbutton);
        break;
    case ButtonRelease:
        if (ev.xbutton.button == Button1 && g->drag >= 0) drag_end(g);
        break;
    case MotionNotify:
        if (g->drag >= 0) drag_motion(g, ev.xmotion);
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
    std::size_t n = g->ctls.size() < 256 ? g->ctls.size() : 256;
    for (std::size_t i = 0; i < n; ++i) {
        double v = xwert(g, g->ctls[i]);
        if (v != g->shown[i] || std::isnan(v) || std::isnan(g->shown[i])) {
            g->shown[i] = v;
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
        p.gevs.push_back(Plug::GEv{id, value, kind});
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

    detect_changes(g);

    if (!g->dirty || !g->visible || !g->win) return;
    xzeichne(g);
    if (!g->lost) g->dirty = false;
}

}  // namespace brs::plug
