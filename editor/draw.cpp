// draw.cpp: colours, text, the control layout and the full repaint.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "editor/editor.h"

namespace brs::plug {

namespace {

using Rgb = XRgb;
constexpr Rgb BACKGROUND = XC_BACKGROUND;
constexpr Rgb FACE = XC_FACE;
constexpr Rgb FILL = XC_FILL;
constexpr Rgb FILL_DRAG = XC_FILL_DRAG;
constexpr Rgb ACCENT = XC_ACCENT;
constexpr Rgb LIT = XC_LIT;
constexpr Rgb LINE = XC_LINE;
constexpr Rgb TEXT2 = XC_TEXT2;
constexpr Rgb TEXT1 = XC_TEXT1;
constexpr Rgb TEXT_ON = XC_TEXT_ON;

const char* const VERSION_LINE = "Velmora \u00b7 Plugin 0.3.0 \u00b7 Noten 36\u201341 spielen die Spuren";
const char* const HELP_LINE =
    "Ziehen = Wert \u00b7 Umschalt = fein \u00b7 Doppelklick = Vorgabe \u00b7 Set aus dem Browser: "
    "~/Documents/Velmora/brisanto-set.json";
const char* const MASTER_HEADS[6] = {"Zerre",      "Pegel",        "Swing",
                                     "Delay Zeit", "R\u00fcckkopplung", "Hall Gr\u00f6\u00dfe"};

struct MasterRow {
    uint32_t id;
    double lo, hi;
    bool logScale;
    double def;
};
constexpr MasterRow MASTER[6] = {
    {1000, 0.0, 1.0, false, 0.15},  {1001, 0.0, 1.0, false, 0.85}, {1002, 0.0, 60.0, false, 0.0},
    {1003, 0.02, 1.9, true, 0.375}, {1004, 0.0, 0.95, false, 0.4}, {1005, 0.0, 1.0, false, 0.8},
};

// A rectangle of the 100 % layout in window pixels at the editor's zoom:
// each edge scaled, so that neighbours stay neighbours at every level.
XRect zoomed(const XGui* g, int x, int y, int w, int h) {
    const int z = g->zoom;
    const int x0 = xz(x, z), y0 = xz(y, z);
    return {x0, y0, xz(x + w, z) - x0, xz(y + h, z) - y0};
}

void fill_px(XGui* g, XRect r, Rgb c) {
    if (r.w <= 0 || r.h <= 0) return;
    XSetForeground(g->dpy, g->gc, xpix(g, c.r, c.g, c.b));
    XFillRectangle(g->dpy, g->pix, g->gc, r.x, r.y, static_cast<unsigned>(r.w), static_cast<unsigned>(r.h));
}

void fill(XGui* g, int x, int y, int w, int h, Rgb c) { fill_px(g, zoomed(g, x, y, w, h), c); }

// A one-pixel outline of (x, y, w - 1, h - 1) of the layout; zoomed, its
// lines are as thick as one layout pixel has become.
void frame(XGui* g, XRect r, Rgb c) {
    if (g->zoom == 100) {
        XSetForeground(g->dpy, g->gc, xpix(g, c.r, c.g, c.b));
        XDrawRectangle(g->dpy, g->pix, g->gc, r.x, r.y, static_cast<unsigned>(r.w - 1),
                       static_cast<unsigned>(r.h - 1));
        return;
    }
    fill(g, r.x, r.y, r.w, 1, c);
    fill(g, r.x, r.y + r.h - 1, r.w, 1, c);
    fill(g, r.x, r.y, 1, r.h, c);
    fill(g, r.x + r.w - 1, r.y, 1, r.h, c);
}

void outline(XGui* g, const XCtl& c) { frame(g, {c.x, c.y, c.w, c.h}, LINE); }

void text(XGui* g, const char* s, XRect r, Rgb c, XftFont* f, int align) {
    xtext(g, s, zoomed(g, r.x, r.y, r.w, r.h), c.r, c.g, c.b, f, align);
}

// The parameter's own display text, as the host sees it.
void value_text(const XGui* g, uint32_t id, double v, char* buf, uint32_t cap) {
    buf[0] = 0;
    const clap_plugin_t* pl = &g->owner->plugin;
    if (!pl->get_extension) return;
    auto* pa = static_cast<const clap_plugin_params_t*>(pl->get_extension(pl, CLAP_EXT_PARAMS));
    if (pa && pa->value_to_text && !pa->value_to_text(pl, id, v, buf, cap)) buf[0] = 0;
    buf[cap - 1] = 0;
}

// Fill width of a slider at normalised position p: lround(p * w) kept in 0..w.
int fill_width(double p, int w) {
    double gp = p * w;
    if (!(gp > 0.0)) return 0;  // also NaN
    if (gp >= w) return w;
    long gl = std::lround(gp);
    return gl < 0 ? 0 : (gl > w ? w : static_cast<int>(gl));
}

void draw_slider(XGui* g, const XCtl& c, bool dragged, double v, const char* valueText = nullptr) {
    fill(g, c.x, c.y, c.w, c.h, FACE);
    int f = fill_width(xpos(c, v), c.w);
    fill(g, c.x, c.y, f, c.h, dragged ? FILL_DRAG : FILL);
    fill(g, c.x + (f > 2 ? f : 2) - 2, c.y, 2, c.h, ACCENT);
    outline(g, c);
    char buf[64];
    if (valueText) std::snprintf(buf, sizeof buf, "%s", valueText);
    else value_text(g, c.id, v, buf, sizeof buf);
    text(g, buf, {c.x + 6, c.y, c.w - 12, c.h}, TEXT1, g->font, 2);
}

void draw_button(XGui* g, const XCtl& c, double v) {
    bool active = false;
    if (c.kind == 1) active = v >= 0.5;
    else if (c.kind == 2) active = std::isfinite(v) && std::fabs(v) < 1e15 && std::lround(v) == c.arg;
    fill(g, c.x, c.y, c.w, c.h, active ? (c.id < 1000 ? ACCENT : LIT) : FACE);
    outline(g, c);
    char label[16];
    if (c.kind == 1 && c.id < 1000) std::snprintf(label, sizeof label, "%s", active ? "stumm" : "an");
    else if (c.kind == 1) std::snprintf(label, sizeof label, "%s", active ? "folgt Host" : "frei");
    else if (c.kind == 2) std::snprintf(label, sizeof label, "%d", c.arg);
    else std::snprintf(label, sizeof label, "%s", "Set laden");
    text(g, label, {c.x, c.y, c.w, c.h}, active ? TEXT_ON : TEXT1, g->fontBold, 1);
}

// Pixels kept free between the version line and the status text.
constexpr int STATUS_GAP = 12;

// Advance width of UTF-8 text s in font f, in pixels.
int advance(XGui* g, XftFont* f, const std::string& s) {
    XGlyphInfo ext{};
    XftTextExtentsUtf8(g->dpy, f, reinterpret_cast<const FcChar8*>(s.data()), static_cast<int>(s.size()), &ext);
    return ext.xOff;
}

// The status text as drawn into a space w pixels wide: the whole text when
// it fits; otherwise the path after "keine Datei " (or the whole text) loses
// characters from its start behind "…", so that the file name at its end
// stays in view. The text kept in Plug::status is not changed.
std::string status_shown(XGui* g, XftFont* f, const std::string& st, int w) {
    if (!f || advance(g, f, st) <= w) return st;
    static const std::string NO_FILE = "keine Datei ", ELLIPSIS = "\u2026";
    std::string head = st.compare(0, NO_FILE.size(), NO_FILE) == 0 ? NO_FILE : std::string();
    const std::string rest = st.substr(head.size());
    // Character starts of rest; the shortened text keeps rest from one of them.
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i <= rest.size(); ++i)
        if (i == rest.size() || (static_cast<unsigned char>(rest[i]) & 0xC0u) != 0x80u) cuts.push_back(i);
    for (int pass = 0; pass < 2; ++pass, head.clear()) {
        // The shown width shrinks as the cut moves right: find the first cut that fits.
        std::size_t lo = 0, hi = cuts.size();
        while (lo < hi) {
            std::size_t mid = (lo + hi) / 2;
            if (advance(g, f, head + ELLIPSIS + rest.substr(cuts[mid])) <= w) hi = mid;
            else lo = mid + 1;
        }
        if (lo < cuts.size() && cuts[lo] < rest.size()) return head + ELLIPSIS + rest.substr(cuts[lo]);
    }
    return ELLIPSIS;  // not even one character fits
}

}  // namespace

void xfill(XGui* g, XRect r, XRgb c) { fill(g, r.x, r.y, r.w, r.h, c); }
void xframe(XGui* g, XRect r, XRgb c) { frame(g, r, c); }
void xlabel(XGui* g, const char* s, XRect r, XRgb c, XftFont* f, int align) { text(g, s, r, c, f, align); }
void xslider(XGui* g, const XCtl& c, bool dragged, double v, const char* valueText) {
    draw_slider(g, c, dragged, v, valueText);
}
void xbutton(XGui* g, const XCtl& c, bool active, XRgb lit, const char* label) {
    fill(g, c.x, c.y, c.w, c.h, active ? lit : FACE);
    outline(g, c);
    text(g, label, {c.x, c.y, c.w, c.h}, active ? TEXT_ON : TEXT1, g->fontBold, 1);
}

// [main thread] no server request on TrueColor visuals
unsigned long xpix(XGui* g, int r, int g8, int b) {
    Visual* v = g->visual;
    if (v && v->c_class == TrueColor) {
        const unsigned long masks[3] = {v->red_mask, v->green_mask, v->blue_mask};
        const int comps[3] = {r, g8, b};
        unsigned long pixel = 0;
        for (int i = 0; i < 3; ++i) {
            unsigned long m = masks[i];
            if (!m) continue;
            int shift = __builtin_ctzl(m);
            int bits = 0;
            while (bits + shift < 64 && ((m >> (shift + bits)) & 1ul)) ++bits;
            int keep = bits < 8 ? bits : 8;
            unsigned long c = static_cast<unsigned long>(comps[i] & 0xFF) >> (8 - keep);
            pixel |= (c << shift) & m;
        }
        return pixel;
    }
    XColor c{};
    c.red = static_cast<unsigned short>((r & 0xFF) * 257);
    c.green = static_cast<unsigned short>((g8 & 0xFF) * 257);
    c.blue = static_cast<unsigned short>((b & 0xFF) * 257);
    c.flags = DoRed | DoGreen | DoBlue;
    if (!g->lost && XAllocColor(g->dpy, g->cmap, &c)) return c.pixel;
    // A full colormap: the nearer of black and white keeps text readable.
    int scr = DefaultScreen(g->dpy);
    return (299 * r + 587 * g8 + 114 * b) >= 128000 ? WhitePixel(g->dpy, scr) : BlackPixel(g->dpy, scr);
}

// [main thread]
void xtext(XGui* g, const char* s, XRect rect, int r, int g8, int b, XftFont* font, int align) {
    if (!s || !*s || !font || !g->draw) return;
    int len = static_cast<int>(std::strlen(s));
    XGlyphInfo ext{};
    XftTextExtentsUtf8(g->dpy, font, reinterpret_cast<const FcChar8*>(s), len, &ext);
    int adv = ext.xOff;
    int x = rect.x;
    if (align == 1) x = rect.x + (rect.w - adv) / 2;
    else if (align != 0) x = rect.x + rect.w - adv;
    int y = rect.y + (rect.h + font->ascent - font->descent) / 2;
    XRenderColor rc{static_cast<unsigned short>(r * 257), static_cast<unsigned short>(g8 * 257),
                    static_cast<unsigned short>(b * 257), 0xFFFF};
    XftColor col;
    if (!XftColorAllocValue(g->dpy, g->visual, g->cmap, &rc, &col)) return;
    XftDrawStringUtf8(g->draw, &col, font, x, y, reinterpret_cast<const FcChar8*>(s), len);
    XftColorFree(g->dpy, g->visual, g->cmap, &col);
}

// [main thread] once per editor, before the fonts are opened
void xlayout(XGui* g) {
    g->ctls.clear();
    g->ctls.reserve(64);
    for (int t = 0; t < 6; ++t) {
        int y = 64 + 34 * t;
        for (int k = 0; k < 7; ++k) {
            XCtl c{};
            c.id = static_cast<uint32_t>(16 * t + k);
            c.x = 92 + 118 * k;
            c.y = y;
            c.w = 108;
            c.h = 26;
            c.kind = 0;
            c.lo = TP[k].min;
            c.hi = TP[k].max;
            c.logScale = k >= 1 && k <= 3;
            c.def = g->owner->trackValues[t][k].load(std::memory_order_relaxed);
            g->ctls.push_back(c);
        }
        g->ctls.push_back(XCtl{static_cast<uint32_t>(16 * t + 7), 918, y, 60, 26, 1, 0.0, 1.0, false, 0.0, 0});
    }
    for (int j = 0; j < 6; ++j) {
        const MasterRow& m = MASTER[j];
        g->ctls.push_back(XCtl{m.id, 92 + 118 * j, 302, 108, 26, 0, m.lo, m.hi, m.logScale, m.def, 0});
    }
    g->ctls.push_back(XCtl{1006, 92, 346, 108, 26, 1, 0.0, 1.0, false, 1.0, 0});
    for (int j = 0; j < 8; ++j)
        g->ctls.push_back(XCtl{1007, 210 + 38 * j, 346, 32, 26, 2, 1.0, 8.0, false, 1.0, j + 1});
    g->ctls.push_back(XCtl{1008, 526, 346, 120, 26, 3, 0.0, 1.0, false, 0.0, 0});
    // The track rows and the master row belong to the mixer page; the
    // bottom row stays on every page.
    for (std::size_t i = 0; i < 54; ++i) g->ctls[i].page = XP_MISCHPULT;
    xlayout_pages(g);
}

double xpos(const XCtl& c, double value) {
    if (c.hi <= c.lo) return 0.0;
    if (c.logScale) return std::log(value / c.lo) / std::log(c.hi / c.lo);
    return (value - c.lo) / (c.hi - c.lo);
}

double xval(const XCtl& c, double p) {
    if (!(p > 0.0)) p = 0.0;  // also NaN
    if (p > 1.0) p = 1.0;
    if (c.logScale) return c.lo * std::pow(c.hi / c.lo, p);
    return c.lo + (c.hi - c.lo) * p;
}

double xwert(const XGui* g, const XCtl& c) {
    if (c.kind >= XK_PAGE) return xwert_page(g, c);
    double v = 0.0;
    if (!cached_value(*g->owner, c.id, &v)) return 0.0;
    return v;
}

// [main thread] one full repaint, presented with one copy
void xzeichne(XGui* g) {
    fill(g, 0, 0, XGUI_W, XGUI_H, BACKGROUND);

    text(g, "BRISANTO", {14, 8, 300, 26}, ACCENT, g->fontTitle, 0);
    text(g, VERSION_LINE, {190, 8, 520, 26}, TEXT2, g->font, 0);
    // The status keeps to its own space, from a little right of the version
    // line's last character to the status rectangle's right edge, however
    // long the path it names.
    {
        // In window pixels: the font's advance is measured at the zoomed size.
        const int z = g->zoom;
        const int left = g->font ? xz(190, z) + advance(g, g->font, VERSION_LINE) + xz(STATUS_GAP, z) : xz(660, z);
        const int right = xz(660 + 316, z);
        const std::string shown = status_shown(g, g->font, g->owner->status, right - left);
        const XRect band = zoomed(g, 0, 8, 1, 26);
        xtext(g, shown.c_str(), {left, band.y, right - left, band.h}, FILL_DRAG.r, FILL_DRAG.g, FILL_DRAG.b,
              g->font, 2);
    }
    if (g->page == XP_MISCHPULT) {
        for (int k = 0; k < 7; ++k) text(g, TP[k].label, {92 + 118 * k, 42, 108, 18}, TEXT2, g->font, 0);
        text(g, "Stumm", {918, 42, 60, 18}, TEXT2, g->font, 0);
        for (int t = 0; t < 6; ++t) text(g, TRACK_DE[t], {14, 64 + 34 * t, 72, 26}, TEXT1, g->fontBold, 0);
        text(g, "Summe", {14, 302, 72, 26}, TEXT1, g->fontBold, 0);
        for (int j = 0; j < 6; ++j) text(g, MASTER_HEADS[j], {92 + 118 * j, 280, 108, 18}, TEXT2, g->font, 0);
    }
    text(g, "Takt", {14, 346, 72, 26}, TEXT1, g->fontBold, 0);
    if (g->page == XP_MISCHPULT) fill(g, 14, 272, 962, 1, LINE);
    else xdraw_page_labels(g);

    for (std::size_t i = 0; i < g->ctls.size(); ++i) {
        const XCtl& c = g->ctls[i];
        if (!xon_page(g, c)) continue;
        bool dragged = g->drag == static_cast<int>(i);
        double v = dragged ? g->dragVal : xwert(g, c);
        if (c.kind == XK_SLIDER) draw_slider(g, c, dragged, v);
        else if (c.kind <= XK_LOAD) draw_button(g, c, v);
        else xdraw_page_ctl(g, c, static_cast<int>(i));
    }

    if (g->page == XP_MISCHPULT) text(g, HELP_LINE, {14, 386, 962, 18}, TEXT2, g->font, 0);

    XCopyArea(g->dpy, g->pix, g->win, g->gc, 0, 0, static_cast<unsigned>(xz(XGUI_W, g->zoom)),
              static_cast<unsigned>(xz(XGUI_H, g->zoom)), 0, 0);
    XFlush(g->dpy);
}

}  // namespace brs::plug
