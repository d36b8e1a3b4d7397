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

// A rectangle in window pixels, origin top left.
struct XRect {
    int x, y, w, h;
};

// One control; it edits exactly one host parameter.
struct XCtl {
    uint32_t id;     // parameter id
    int x, y, w, h;  // rectangle in window pixels
    int kind;        // 0 slider, 1 toggle, 2 pattern button, 3 load button
    double lo, hi;   // value range a slider spans
    bool logScale;   // position maps to value logarithmically
    double def;      // value a double click restores (sliders)
    int arg;         // pattern number 1..8 for pattern buttons, else 0
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
    double shown[256];       // values at the last change check
    std::string shownStatus;
    bool dirty = true;
    uint32_t timerId = XGUI_NO_TIMER;
    bool visible = true;
    // Set when the X connection broke (server gone); from then on the editor
    // makes no X request except releasing its resources.
    bool lost = false;
    // X protocol errors seen on this connection (they are swallowed).
    unsigned xerrors = 0;

    XGui() {
        for (double& v : shown) v = -1e300;
    }
};

// ---- drawing primitives --------------------------------------------------
// The pixel value of a colour: computed from the visual's masks on TrueColor,
// otherwise allocated in the colormap (black or white when that fails).
unsigned long xpix(XGui* g, int r, int g8, int b);
// One line of UTF-8 text into the back buffer; align 0 left, 1 centred, 2 right.
void xtext(XGui* g, const char* text, XRect rect, int r, int g8, int b, XftFont* font, int align);

// ---- layout --------------------------------------------------------------
// Empties ctls and appends the 64 controls.
void xlayout(XGui* g);
// Slider mapping: value -> normalised position (unclamped) and back (p clamped).
double xpos(const XCtl& c, double value);
double xval(const XCtl& c, double p);
// The cached value of a control's parameter, 0 for ids without a slot.
double xwert(const XGui* g, const XCtl& c);
// Repaints the whole picture into the back buffer and copies it to the window.
void xzeichne(XGui* g);

// ---- editing -------------------------------------------------------------
// Queues a complete gesture (begin, value, end) that sets the control's parameter.
void xsetze(XGui* g, const XCtl& c, double value);
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
