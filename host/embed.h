// embed.h: embeds a plug-in's editor in an X11 window of the host's own.
//
// The host side of "clap.gui" for X11: open a connection, make a top-level
// parent window of the editor's size, then create / set_parent / show the
// editor, drive the timers the editor registered, and close it all again.
// Tests read the picture back with XGetImage and send pointer input through
// the XTest extension or XSendEvent on display().
//
// Threads: everything here is main-thread work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"

#include <X11/Xlib.h>

namespace brs::host {

// One 24-bit colour, as three 8-bit components.
struct Rgb8 {
    int r, g, b;
    bool operator==(const Rgb8& o) const { return r == o.r && g == o.g && b == o.b; }
};

// A picture read back from the server, as 8-bit components.
struct Picture {
    int w = 0, h = 0;
    std::vector<Rgb8> px;  // row-major
    // The pixel at (x, y); (-1, -1, -1) outside the picture.
    Rgb8 at(int x, int y) const {
        if (x < 0 || y < 0 || x >= w || y >= h) return {-1, -1, -1};
        return px[static_cast<std::size_t>(y) * w + x];
    }
    bool operator==(const Picture& o) const {
        return w == o.w && h == o.h && px == o.px;
    }
};

// A virtual X server of our own (Xvfb) on a display number it picks itself,
// for tests and tools that need a screen.
class Xvfb {
public:
    Xvfb() = default;
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // Starts "Xvfb -displayfd <fd> -screen 0 <screen> -nolisten tcp -noreset" and
    // waits (up to 15 s) until it reports its display number. False when it
    // cannot be started.
    bool start(const std::string& screen = "1280x1024x24");
    // Ends the server (SIGTERM) and waits for it.
    void stop();
    // Ends the server at once (SIGKILL), as a crashing server would.
    void kill();
    bool running() const { return pid_ > 0; }
    // ":N", for XOpenDisplay or the DISPLAY variable.
    const std::string& name() const { return name_; }

private:
    int pid_ = -1;
    std::string name_;
};

class Embed {
public:
    explicit Embed(Host& host) : host_(host) {}
    ~Embed() { close(); }
    Embed(const Embed&) = delete;
    Embed& operator=(const Embed&) = delete;

    // Opens the display (null: $DISPLAY), makes and maps the parent window at
    // the editor's size, and calls the editor's create and set_parent; show
    // too when callShow; then waits until the editor's window is on screen.
    // False with error() on the first step that fails; what was made stays
    // until close().
    bool open(const char* displayName = nullptr, bool callShow = true);
    // Makes the parent window an application's own top-level window (call
    // before open): title and class name, its size fixed to the editor's
    // (smallest = largest size), the window manager's close button reported
    // as a WM_DELETE_WINDOW client message, key presses and focus changes
    // selected. Read them with nextEvent().
    void setTopLevel(const std::string& title) {
        topLevel_ = true;
        title_ = title;
    }
    // Changes the window's title (WM_NAME and _NET_WM_NAME, UTF-8).
    void setTitle(const std::string& title);
    const std::string& title() const { return title_; }
    // The next event of the parent window that is waiting, without blocking;
    // false when none is. Events of the editor's own connection never arrive
    // here.
    bool nextEvent(XEvent* ev);
    // True for the window manager's request to close the window.
    bool isCloseRequest(const XEvent& ev) const;
    // Only the connection and the parent window, for tests that call the
    // editor's functions themselves.
    bool openParent(const char* displayName = nullptr, uint32_t w = 990, uint32_t h = 412);
    // Destroys the editor (if created), the parent window and the connection.
    void close();
    // Destroys only the editor; the parent window stays.
    void destroyEditor();

    // Waits (up to about two seconds) until the editor's window is on screen,
    // so that pointer input reaches it. False when it does not get there.
    bool waitViewable();

    // Runs the editor's timers once each (force) and returns the call count.
    int tick() { return host_.runTimers(true); }

    const clap_plugin_gui_t* gui() const;
    Display* display() const { return dpy_; }
    Window parent() const { return parent_; }
    // The editor's window: the parent's first child, 0 when there is none.
    Window child() const;
    // True once the host's own connection broke (the server went away).
    bool lost() const { return lost_; }
    const std::string& error() const { return error_; }

    // Waits until the server has finished what the editor sent: reads the
    // parent window's picture until two reads 15 ms apart agree (at most
    // about two seconds). Returns the last picture.
    Picture settle();
    // The parent window's picture now (empty when it cannot be read).
    Picture grab();

private:
    Host& host_;
    Display* dpy_ = nullptr;
    Window parent_ = 0;
    bool created_ = false;
    bool lost_ = false;
    bool topLevel_ = false;
    std::string title_;
    Atom wmDelete_ = 0;
    std::string error_;
};

}  // namespace brs::host
