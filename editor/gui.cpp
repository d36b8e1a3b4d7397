// gui.cpp: "clap.gui" and "clap.timer-support": the editor window's lifecycle.
//
// The editor keeps its own X connection. Xlib's error handlers are process
// wide and their defaults end the process, which a plug-in must never do to
// its host; so while an editor exists we install handlers that swallow errors
// on our own connections and pass every other connection's errors on to the
// handlers that were there before. A broken connection (server gone) marks
// the editor lost through a per-connection exit handler, which returns
// instead of exiting; the editor then stays quiet until the host destroys it.
#include "editor/editor.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrender.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace brs::plug {

namespace {

// ---- X error handling shared by all editors of the process ----------------

struct XErrors {
    std::mutex mu;
    std::vector<XGui*> guis;  // editors whose connection is open
    XErrorHandler prevErr = nullptr;
    XIOErrorHandler prevIO = nullptr;
    bool installed = false;
};

XErrors& xerrors() {
    static XErrors s;
    return s;
}

XGui* owner_of(Display* d) {
    for (XGui* g : xerrors().guis)
        if (g->dpy == d) return g;
    return nullptr;
}

int on_x_error(Display* d, XErrorEvent* e) {
    XErrorHandler prev;
    {
        std::lock_guard<std::mutex> lock(xerrors().mu);
        if (XGui* g = owner_of(d)) {
            ++g->xerrors;
            return 0;
        }
        prev = xerrors().prevErr;
    }
    return prev ? prev(d, e) : 0;
}

int on_x_io_error(Display* d) {
    XIOErrorHandler prev;
    {
        std::lock_guard<std::mutex> lock(xerrors().mu);
        if (XGui* g = owner_of(d)) {
            g->lost = true;
            return 0;  // the connection's exit handler runs next and returns too
        }
        prev = xerrors().prevIO;
    }
    return prev ? prev(d) : 0;
}

void on_x_io_exit(Display*, void* data) {
    std::lock_guard<std::mutex> lock(xerrors().mu);
    static_cast<XGui*>(data)->lost = true;
}

void track_display(XGui* g) {
    XErrors& s = xerrors();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.installed) {
        s.prevErr = XSetErrorHandler(on_x_error);
        s.prevIO = XSetIOErrorHandler(on_x_io_error);
        s.installed = true;
    }
    s.guis.push_back(g);
    XSetIOErrorExitHandler(g->dpy, on_x_io_exit, g);
}

// Forgets an editor's connection; the last one puts the previous handlers
// back, unless someone installed other handlers after ours.
void untrack_display(XGui* g) {
    XErrors& s = xerrors();
    std::lock_guard<std::mutex> lock(s.mu);
    s.guis.erase(std::remove(s.guis.begin(), s.guis.end(), g), s.guis.end());
    if (!s.guis.empty() || !s.installed) return;
    XErrorHandler curErr = XSetErrorHandler(s.prevErr);
    if (curErr != on_x_error) XSetErrorHandler(curErr);
    XIOErrorHandler curIO = XSetIOErrorHandler(s.prevIO);
    if (curIO != on_x_io_error) XSetIOErrorHandler(curIO);
    s.installed = false;
    s.prevErr = nullptr;
    s.prevIO = nullptr;
}

const clap_host_timer_support_t* host_timers(const Plug& p) {
    if (!p.host || !p.host->get_extension) return nullptr;
    return static_cast<const clap_host_timer_support_t*>(
        p.host->get_extension(p.host, CLAP_EXT_TIMER_SUPPORT));
}

bool is_x11(const char* api) { return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0; }

const clap_host_gui_t* host_gui(const Plug& p) {
    if (!p.host || !p.host->get_extension) return nullptr;
    return static_cast<const clap_host_gui_t*>(p.host->get_extension(p.host, CLAP_EXT_GUI));
}

bool is_zoom(int z) { return z == 100 || z == 150 || z == 200; }

// The fonts at the zoom's size (9 and 14 points at 100 %).
void open_fonts(XGui* g, int z) {
    const int scr = DefaultScreen(g->dpy);
    char name[64];
    std::snprintf(name, sizeof name, "DejaVu Sans:size=%g", 9.0 * z / 100.0);
    g->font = XftFontOpenName(g->dpy, scr, name);
    std::snprintf(name, sizeof name, "DejaVu Sans:bold:size=%g", 9.0 * z / 100.0);
    g->fontBold = XftFontOpenName(g->dpy, scr, name);
    std::snprintf(name, sizeof name, "DejaVu Sans:bold:size=%g", 14.0 * z / 100.0);
    g->fontTitle = XftFontOpenName(g->dpy, scr, name);
}

void close_fonts(XGui* g) {
    if (g->font) XftFontClose(g->dpy, g->font);
    if (g->fontBold) XftFontClose(g->dpy, g->fontBold);
    if (g->fontTitle) XftFontClose(g->dpy, g->fontTitle);
    g->font = g->fontBold = g->fontTitle = nullptr;
}

// The back buffer and its Xft drawable at the editor's zoom.
void make_buffer(XGui* g) {
    g->pix = XCreatePixmap(g->dpy, g->win, unsigned(xz(XGUI_W, g->zoom)), unsigned(xz(XGUI_H, g->zoom)),
                           static_cast<unsigned>(g->depth));
    if (!g->gc) g->gc = XCreateGC(g->dpy, g->pix, 0, nullptr);
    g->draw = XftDrawCreate(g->dpy, g->pix, g->visual, g->cmap);
}

// Window, back buffer and fonts made for zoom z.
void apply_zoom(XGui* g, int z) {
    g->zoom = z;
    close_fonts(g);
    open_fonts(g, z);
    if (g->win && !g->lost) {
        if (g->draw) XftDrawDestroy(g->draw);
        if (g->pix) XFreePixmap(g->dpy, g->pix);
        g->draw = nullptr;
        g->pix = 0;
        make_buffer(g);
        XResizeWindow(g->dpy, g->win, unsigned(xz(XGUI_W, z)), unsigned(xz(XGUI_H, z)));
        XFlush(g->dpy);
    }
    g->dirty = true;
}

}  // namespace

// ---- "clap.gui" ------------------------------------------------------------

// [main thread]
bool gui_supported(const clap_plugin_t*, const char* api, bool isFloating) {
    return is_x11(api) && !isFloating;
}

// [main thread]
bool gui_preferred(const clap_plugin_t*, const char** api, bool* isFloating) {
    if (api) *api = CLAP_WINDOW_API_X11;
    if (isFloating) *isFloating = false;
    return true;
}

// [main thread] opens the X connection and the fonts, registers the timer
bool gui_create(const clap_plugin_t* plugin, const char* api, bool isFloating) {
    if (!is_x11(api) || isFloating) return false;
    Plug* p = from(plugin);
    if (p->gui) return true;

    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    // Register the Render extension on this connection before Xft does. On
    // XCloseDisplay the extensions' close hooks run newest first, and Xft's
    // hook frees pictures and glyph sets through Render: with Render's
    // bookkeeping already gone it is recreated for a display that no longer
    // exists, and the next connection opened at the same address inherits
    // it and sends requests with bogus opcodes.
    int renderEvent = 0, renderError = 0;
    XRenderQueryExtension(dpy, &renderEvent, &renderError);

    XGui* g = new XGui;
    g->owner = p;
    g->dpy = dpy;
    p->gui = g;
    track_display(g);

    sync_view(*p);  // what changed the set while no editor was open
    xlayout(g);

    int scr = DefaultScreen(dpy);
    g->visual = DefaultVisual(dpy, scr);
    g->cmap = DefaultColormap(dpy, scr);
    g->depth = DefaultDepth(dpy, scr);

    g->zoom = is_zoom(p->zoom) ? p->zoom : 100;
    open_fonts(g, g->zoom);

    if (const clap_host_timer_support_t* t = host_timers(*p)) {
        if (t->register_timer) {
            clap_id id = XGUI_NO_TIMER;
            // A host that refuses leaves us without a timer, not with a stale id.
            if (t->register_timer(p->host, 40, &id)) g->timerId = id;
        }
    }
    return true;
}

// [main thread] releases everything gui_create and gui_parent made
void gui_destroy(const clap_plugin_t* plugin) {
    Plug* p = from(plugin);
    XGui* g = p->gui;
    if (!g) return;

    // A drag cut short by closing the editor still ends its gesture.
    if (g->drag >= 0) {
        const XCtl& c = g->ctls[static_cast<std::size_t>(g->drag)];
        if (c.kind == XK_SLIDER) xqueue(g, c.id, 0.0, 2);
        else mark_dirty(*p);
        g->drag = -1;
    }
    if (g->paint >= 0) mark_dirty(*p);  // a painting cut short still changed the set

    if (g->timerId != XGUI_NO_TIMER) {
        const clap_host_timer_support_t* t = host_timers(*p);
        if (t && t->unregister_timer) t->unregister_timer(p->host, g->timerId);
    }

    // On a lost connection Xlib drops these requests; the client-side memory
    // is released all the same.
    if (g->draw) XftDrawDestroy(g->draw);
    if (g->pix) XFreePixmap(g->dpy, g->pix);
    if (g->gc) XFreeGC(g->dpy, g->gc);
    if (g->win) XDestroyWindow(g->dpy, g->win);
    close_fonts(g);
    // Errors raised by the requests above (a window the host destroyed
    // already) arrive while closing and must still find our handler.
    XCloseDisplay(g->dpy);
    untrack_display(g);

    p->gui = nullptr;
    delete g;
}

// [main thread] the nearest zoom level; an open editor changes at once (the
// host asks for the size next)
bool gui_scale(const clap_plugin_t* plugin, double scale) {
    const int z = xzoom_nearest(scale);
    if (!z) return false;
    Plug* p = from(plugin);
    p->zoom = z;
    if (XGui* g = p->gui; g && g->zoom != z) apply_zoom(g, z);
    return true;
}

// [main thread] the size at the instance's zoom
bool gui_size(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height) {
    const int z = is_zoom(from(plugin)->zoom) ? from(plugin)->zoom : 100;
    if (width) *width = uint32_t(xz(XGUI_W, z));
    if (height) *height = uint32_t(xz(XGUI_H, z));
    return true;
}

// [main thread] the size follows the zoom only
bool gui_can_resize(const clap_plugin_t*) { return false; }

// [main thread]
bool gui_hints(const clap_plugin_t*, clap_gui_resize_hints_t*) { return false; }

// [main thread]
bool gui_adjust(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height) {
    return gui_size(plugin, width, height);
}

// [main thread]
bool gui_set_size(const clap_plugin_t* plugin, uint32_t width, uint32_t height) {
    uint32_t w = 0, h = 0;
    gui_size(plugin, &w, &h);
    return width == w && height == h;
}

// [main thread] creates the editor window inside the host's window
bool gui_parent(const clap_plugin_t* plugin, const clap_window_t* window) {
    Plug* p = from(plugin);
    XGui* g = p->gui;
    if (!g || !window || window->x11 == 0 || g->lost) return false;
    if (g->win) return false;  // one window per editor

    // A parent that does not exist shows up as an error only after a round
    // trip: catch it here instead of drawing into nothing.
    unsigned errorsBefore = g->xerrors;
    Window win = XCreateSimpleWindow(g->dpy, static_cast<Window>(window->x11), 0, 0,
                                     unsigned(xz(XGUI_W, g->zoom)), unsigned(xz(XGUI_H, g->zoom)), 0, 0,
                                     xpix(g, 13, 15, 19));
    XSync(g->dpy, False);
    if (!win || g->xerrors != errorsBefore || g->lost) {
        if (win && !g->lost) {
            XDestroyWindow(g->dpy, win);
            XSync(g->dpy, False);
        }
        return false;
    }
    g->win = win;
    XSelectInput(g->dpy, win,
                 ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ExposureMask |
                     StructureNotifyMask);

    // XEmbed information: protocol version 0, flags 0 (the editor maps itself).
    Atom info = XInternAtom(g->dpy, "_XEMBED_INFO", False);
    long infoData[2] = {0, 0};
    XChangeProperty(g->dpy, win, info, info, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(infoData), 2);

    make_buffer(g);

    XMapWindow(g->dpy, win);
    XFlush(g->dpy);
    g->dirty = true;
    return true;
}

// [main thread]
bool gui_transient(const clap_plugin_t*, const clap_window_t*) { return false; }

// [main thread]
void gui_title(const clap_plugin_t*, const char*) {}

// [main thread]
bool gui_show(const clap_plugin_t* plugin) {
    XGui* g = from(plugin)->gui;
    if (!g) return false;
    g->visible = true;
    if (g->win && !g->lost) {
        XMapWindow(g->dpy, g->win);
        g->dirty = true;
        XFlush(g->dpy);
    }
    return true;
}

// [main thread]
bool gui_hide(const clap_plugin_t* plugin) {
    XGui* g = from(plugin)->gui;
    if (!g) return false;
    g->visible = false;
    if (g->win && !g->lost) {
        XUnmapWindow(g->dpy, g->win);
        XFlush(g->dpy);
    }
    return true;
}

int xzoom_nearest(double scale) {
    if (!std::isfinite(scale) || !(scale > 0.0)) return 0;
    int best = XZOOMS[0];
    for (int z : XZOOMS)
        if (std::fabs(scale * 100.0 - z) < std::fabs(scale * 100.0 - best)) best = z;
    return best;
}

// [main thread]
bool xzoom_set(XGui* g, int z, bool askHost) {
    Plug& p = *g->owner;
    if (!is_zoom(z) || z == g->zoom) {
        p.zoom = g->zoom;
        return false;
    }
    if (askHost && g->win) {
        // The host may ask for the size while it answers: it is the new one.
        p.zoom = z;
        const clap_host_gui_t* hg = host_gui(p);
        if (!hg || !hg->request_resize ||
            !hg->request_resize(p.host, uint32_t(xz(XGUI_W, z)), uint32_t(xz(XGUI_H, z)))) {
            // The window would not fit the host's: the editor stays as it is.
            char msg[96];
            std::snprintf(msg, sizeof msg, "Zoom %d %%: der Host \u00e4ndert die Fenstergr\u00f6\u00dfe nicht", z);
            p.status = msg;
            p.zoom = g->zoom;
            g->dirty = true;
            return false;
        }
    }
    p.zoom = z;
    apply_zoom(g, z);
    return true;
}

const clap_plugin_gui_t GUI = {
    gui_supported, gui_preferred, gui_create,  gui_destroy, gui_scale,
    gui_size,      gui_can_resize, gui_hints,  gui_adjust,  gui_set_size,
    gui_parent,    gui_transient, gui_title,   gui_show,    gui_hide,
};

const clap_plugin_timer_support_t TIMER = {timer_cb};

}  // namespace brs::plug
