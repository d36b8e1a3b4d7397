// editor.h: the embedded X11/Xft editor of a plug-in instance.
//
// One XGui per instance, created by the host through "clap.gui" and driven by
// the host's 40 ms timer ("clap.timer-support"). The editor opens its own X
// connection, draws into a 990 x 412 back buffer and copies it to its window
// when something changed. It touches the engine only through the parameter
// cache (read) and the edit queue (append).
//
// Every function here runs on the host's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/plug.h"

#include <X11/Xlib.h>
#include <X11/Xft/Xft.h>

namespace brs::plug {

constexpr int XGUI_W = 990;
constexpr int XGUI_H = 412;
constexpr uint32_t XGUI_NO_TIMER = 0xFFFFFFFFu;
// The zoom levels in percent. The layout is made for 100 %; every other
// level draws the same layout with each coordinate scaled.
constexpr int XZOOMS[3] = {100, 150, 200};
// The zoom level nearest to a host's scale factor; 0 for a factor that is
// not a positive finite number.
int xzoom_nearest(double scale);
// A length or coordinate of the 100 % layout at zoom z (percent), rounded
// down; window pixels back to the layout the other way round.
inline int xz(int v, int z) {
    const long long n = static_cast<long long>(v) * z;
    return static_cast<int>(n >= 0 ? n / 100 : -((-n + 99) / 100));
}
inline int xunz(int px, int z) {
    const long long n = static_cast<long long>(px) * 100;
    return static_cast<int>(n >= 0 ? n / z : -((-n + z - 1) / z));
}

// A rectangle in window pixels, origin top left.
struct XRect {
    int x, y, w, h;
};

// The editor's pages, in the order of the page buttons.
enum XPage : int { XP_ALL = -1, XP_MISCHPULT = 0, XP_SCHRITTE = 1, XP_KLANG = 2, XP_SONG = 3, XP_COUNT = 4 };

// Kinds of control. 0..3 edit host parameters (the mixer page and the bottom
// row); the others edit the set through the set-edit queue or the editor's
// own state.
enum XKind : int {
    XK_SLIDER = 0,      // host parameter slider
    XK_TOGGLE = 1,      // host parameter toggle
    XK_PATTERN = 2,     // pattern button (1007), arg 1..8
    XK_LOAD = 3,        // set import
    XK_PAGE = 4,        // page button, arg the page
    XK_SET_SLIDER = 5,  // set value slider, arg an XSv
    XK_CELL = 6,        // one step: a track, b column on the shown bank
    XK_CMD = 7,         // command button, arg an XCmd, a and b its operands
    XK_SONG = 8,        // one song entry: a slot on the shown bank
};

// What a set value slider edits.
enum XSv : int { SV_PARAM = 0, SV_LEN = 1, SV_BPM = 2 };  // SV_PARAM: a track, b value index

// Command buttons.
enum XCmd : int {
    C_FIELD,        // a: wheel field 0 note, 1 ratchet, 2 slice, 3 reverse
    C_BANK,         // a: steps bank 0..3
    C_CLEAR_TRACK,  // a: track
    C_CLEAR_PAT,
    C_COPY,         // a: target pattern 0..7
    C_STARTSTOP,
    C_POSFOLLOW,
    C_TRACK,        // a: the sound page's track
    C_WAVE,         // a: track (bass)
    C_ROUTE,        // a: track
    C_SONG_ADD,
    C_SONG_INSERT,
    C_SONG_REMOVE,
    C_SONG_EARLIER,
    C_SONG_LATER,
    C_SONG_CLEAR,
    C_SONG_RESTORE,
    C_SONG_PAT,     // a: pattern 0..7 for the chosen or the next entry
    C_SONG_REP,     // a: +1 or -1 repeats
    C_SONG_BANK,    // a: bank of 64 entries
    C_WERK_STEP,    // a: +1 or -1 through the factory sets
    C_WERK_LOAD,    // loads the chosen factory set
    C_ZOOM,         // the editor's next zoom level
};

// One control: a row of the page tables.
struct XCtl {
    uint32_t id;     // parameter id (host parameter kinds); 0 otherwise
    int x, y, w, h;  // rectangle in window pixels
    int kind;        // XKind
    double lo, hi;   // value range a slider spans
    bool logScale;   // position maps to value logarithmically
    double def;      // value a double click restores (sliders)
    int arg;         // pattern number 1..8 for pattern buttons; page, XSv or XCmd
    int page = XP_ALL;  // the page that shows it
    int a = 0, b = 0;   // operands of page controls
};

struct XGui {
    Plug* owner = nullptr;
    Display* dpy = nullptr;
    Window win = 0;
    Pixmap pix = 0;
    GC gc = nullptr;
    XftDraw* draw = nullptr;
    XftFont* font = nullptr;       // "DejaVu Sans:size=9"
    XftFont* fontBold = nullptr;   // "DejaVu Sans:bold:size=9"
    XftFont* fontTitle = nullptr;  // "DejaVu Sans:bold:size=14"
    Visual* visual = nullptr;
    Colormap cmap = 0;
    int depth = 24;
    std::vector<XCtl> ctls;
    int drag = -1;           // index of the slider being dragged, -1 none
    double dragVal = 0.0;    // its value as last computed
    double dragFrac0 = 0.0;  // normalised pointer position at the press (unclamped)
    int dragX0 = 0;          // pointer x at the press
    Time clickTime = 0;      // server time of the last press that hit a control
    int clickCtl = -1;       // the control it hit
    std::vector<double> shown;  // values at the last change check, per control
    std::string shownStatus;
    // ---- pages --------------------------------------------------------------
    int page = XP_MISCHPULT;  // shown page; every editor starts on the mixer
    int field = 0;            // what the wheel changes over a step
    int bank = 0;             // steps 16 * bank + 1 .. 16 * bank + 16 shown
    int track = 0;            // the sound page's track
    int songSel = -1;         // chosen song entry, -1 none
    int songBank = 0;         // song entries 64 * songBank .. + 63 shown
    int songPat = 0;          // pattern 0..7 of the next added entry
    int songRep = 1;          // and its repeats
    int paint = -1;           // while painting steps: the on value painted
    int setDrag = 0;          // a set slider is dragged (drag is its index)
    std::string note;         // a page's message (an edit that was refused)
    int werkset = 0;          // the factory set the song page offers to load
    int zoom = 100;           // the zoom the window, back buffer and fonts are made for
    // What page content was drawn from at the last change check.
    uint64_t shownViewGen = ~uint64_t(0);
    int64_t shownPlay = -1;
    bool dirty = true;
    uint32_t timerId = XGUI_NO_TIMER;
    bool visible = true;
    // Set when the X connection broke (server gone); from then on the editor
    // makes no X request except releasing its resources.
    bool lost = false;
    // X protocol errors seen on this connection (they are swallowed).
    unsigned xerrors = 0;

    XGui() = default;
};

// ---- palette --------------------------------------------------------------
struct XRgb {
    int r, g, b;
};
constexpr XRgb XC_BACKGROUND{13, 15, 19};
constexpr XRgb XC_FACE{24, 28, 36};         // control face, inactive button
constexpr XRgb XC_FILL{110, 44, 24};        // slider fill at rest; a step that is on
constexpr XRgb XC_FILL_DRAG{53, 224, 208};  // slider fill while dragged, status text, playhead
constexpr XRgb XC_ACCENT{255, 92, 40};      // marker, title, active mute button, accent
constexpr XRgb XC_LIT{184, 214, 43};        // active follow toggle, pattern and page button
constexpr XRgb XC_LINE{48, 54, 66};         // outlines and separator
constexpr XRgb XC_TEXT2{150, 160, 176};     // secondary text
constexpr XRgb XC_TEXT1{228, 232, 238};     // primary text
constexpr XRgb XC_TEXT_ON{16, 16, 16};      // text on an active button
constexpr XRgb XC_DIM{18, 20, 26};          // steps beyond the pattern length

// ---- drawing primitives --------------------------------------------------
// The pixel value of a colour: computed from the visual's masks on TrueColor,
// otherwise allocated in the colormap (black or white when that fails).
unsigned long xpix(XGui* g, int r, int g8, int b);
// One line of UTF-8 text into the back buffer; align 0 left, 1 centred, 2 right.
void xtext(XGui* g, const char* text, XRect rect, int r, int g8, int b, XftFont* font, int align);

// Helpers shared by the pages: a filled rectangle, a one-pixel outline of
// (x, y, w - 1, h - 1), one line of text, a slider with its value text, a
// button face with a centred bold label.
void xfill(XGui* g, XRect r, XRgb c);
void xframe(XGui* g, XRect r, XRgb c);
void xlabel(XGui* g, const char* s, XRect r, XRgb c, XftFont* f, int align);
void xslider(XGui* g, const XCtl& c, bool dragged, double v, const char* valueText);
void xbutton(XGui* g, const XCtl& c, bool active, XRgb lit, const char* label);

// ---- layout --------------------------------------------------------------
// Empties ctls and appends the 64 controls of the mixer page, then the page
// buttons and the other pages' controls (editor/pages.cpp).
void xlayout(XGui* g);
// Appends the page buttons and the controls of the steps, song and sound pages.
void xlayout_pages(XGui* g);
// Replaces the sound page's controls (they follow the chosen track).
void xlayout_klang(XGui* g);
// True when c is on the shown page (or on every page).
inline bool xon_page(const XGui* g, const XCtl& c) { return c.page == XP_ALL || c.page == g->page; }
// Draws the labels of a page other than the mixer, and one page control.
void xdraw_page_labels(XGui* g);
void xdraw_page_ctl(XGui* g, const XCtl& c, int index);
// The value change detection compares for a page control.
double xwert_page(const XGui* g, const XCtl& c);
// Input on page controls; true when the event was taken.
bool xpress_page(XGui* g, int index, unsigned button, unsigned state);
void xmotion_page(XGui* g, int px, int py, unsigned state);
void xrelease_page(XGui* g);
bool xwheel_page(XGui* g, int index, bool up, unsigned state);
// The pattern the steps page edits (parameter 1007), 0..7.
int xpattern(const XGui* g);
// Slider mapping: value -> normalised position (unclamped) and back (p clamped).
double xpos(const XCtl& c, double value);
double xval(const XCtl& c, double p);
// The cached value of a control's parameter, 0 for ids without a slot.
double xwert(const XGui* g, const XCtl& c);
// Repaints the whole picture into the back buffer and copies it to the window.
void xzeichne(XGui* g);
// Makes window, back buffer and fonts for zoom z (a level of XZOOMS). When
// askHost, the host is asked to resize its window (host gui request_resize);
// a host that refuses, or has no such request, keeps the previous zoom and
// the status says so. False when the zoom did not change.
bool xzoom_set(XGui* g, int z, bool askHost);

// ---- editing -------------------------------------------------------------
// Queues a complete gesture (begin, value, end) that sets the control's parameter.
void xsetze(XGui* g, const XCtl& c, double value);
// Sets a set value slider's value: the view at once, the engine through the
// set-edit queue.
void xset_slider(XGui* g, const XCtl& c, double value);
// Appends one edit under gevMutex, then asks the host to flush.
void xqueue(XGui* g, uint32_t id, double value, int32_t kind);
// One timer tick: drain X events, detect changes, redraw when dirty.
void timer_cb(const clap_plugin_t* plugin, clap_id timerId);

// ---- "clap.gui" ------------------------------------------------------------
bool gui_supported(const clap_plugin_t* plugin, const char* api, bool isFloating);
bool gui_preferred(const clap_plugin_t* plugin, const char** api, bool* isFloating);
bool gui_create(const clap_plugin_t* plugin, const char* api, bool isFloating);
bool gui_scale(const clap_plugin_t* plugin, double scale);
bool gui_size(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height);
bool gui_can_resize(const clap_plugin_t* plugin);
bool gui_hints(const clap_plugin_t* plugin, clap_gui_resize_hints_t* hints);
bool gui_adjust(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height);
bool gui_set_size(const clap_plugin_t* plugin, uint32_t width, uint32_t height);
bool gui_parent(const clap_plugin_t* plugin, const clap_window_t* window);
bool gui_transient(const clap_plugin_t* plugin, const clap_window_t* window);
void gui_title(const clap_plugin_t* plugin, const char* title);
bool gui_show(const clap_plugin_t* plugin);
bool gui_hide(const clap_plugin_t* plugin);

}  // namespace brs::plug
