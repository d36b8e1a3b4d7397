// embed.cpp: X11 embedding of a plug-in editor for our host.
#include "host/embed.h"

#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace brs::host {

namespace {

// Xlib's default reaction to a broken connection ends the process. The host
// keeps going instead: its own connections are marked lost and the handler
// returns; other connections go to whatever handler was there before.
struct HostIO {
    std::mutex mu;
    std::vector<std::pair<Display*, bool*>> conns;
    XIOErrorHandler prev = nullptr;
    XErrorHandler prevErr = nullptr;
    bool installed = false;
};

HostIO& hostio() {
    static HostIO s;
    return s;
}

bool mark_lost(Display* d) {
    std::lock_guard<std::mutex> lock(hostio().mu);
    for (auto& c : hostio().conns)
        if (c.first == d) {
            *c.second = true;
            return true;
        }
    return false;
}

int on_io_error(Display* d) {
    if (mark_lost(d)) return 0;
    XIOErrorHandler prev;
    {
        std::lock_guard<std::mutex> lock(hostio().mu);
        prev = hostio().prev;
    }
    return prev ? prev(d) : 0;
}

void on_io_exit(Display* d, void*) { mark_lost(d); }

// Protocol errors on the host's own connection (an image of a window that
// is not viewable) are answered by the call that caused them; errors on other
// connections go to the handler that was there before.
int on_error(Display* d, XErrorEvent* e) {
    XErrorHandler prev;
    {
        std::lock_guard<std::mutex> lock(hostio().mu);
        for (auto& c : hostio().conns)
            if (c.first == d) return 0;
        prev = hostio().prevErr;
    }
    return prev ? prev(d, e) : 0;
}

void track(Display* d, bool* lost) {
    HostIO& s = hostio();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.installed) {
        s.prev = XSetIOErrorHandler(on_io_error);
        s.prevErr = XSetErrorHandler(on_error);
        s.installed = true;
    }
    s.conns.emplace_back(d, lost);
    XSetIOErrorExitHandler(d, on_io_exit, nullptr);
}

void untrack(Display* d) {
    HostIO& s = hostio();
    std::lock_guard<std::mutex> lock(s.mu);
    s.conns.erase(std::remove_if(s.conns.begin(), s.conns.end(),
                                 [d](const auto& c) { return c.first == d; }),
                  s.conns.end());
}

int mask_shift(unsigned long m) { return m ? __builtin_ctzl(m) : 0; }

int mask_to8(unsigned long pixel, unsigned long m) {
    if (!m) return 0;
    int shift = mask_shift(m);
    unsigned long v = (pixel & m) >> shift;
    unsigned long top = m >> shift;
    return static_cast<int>((v * 255 + top / 2) / top);
}

}  // namespace

// ---- Xvfb ------------------------------------------------------------------

bool Xvfb::start(const std::string& screen) {
    if (pid_ > 0) return true;
    int fds[2];
    if (pipe(fds) != 0) return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);  // the write end stays open in the child
    std::string fdArg = std::to_string(fds[1]);
    // -noreset: the server stays as it is when its last client leaves, so a
    // test that closes every connection and opens a new one is not turned
    // away by a server in the middle of its reset.
    const char* argv[] = {"Xvfb", "-displayfd", fdArg.c_str(), "-screen", "0", screen.c_str(),
                          "-nolisten", "tcp", "-noreset", nullptr};
    pid_t parentPid = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec. The server ends
        // with us, even when a test crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parentPid) _exit(127);
        int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execvp("Xvfb", const_cast<char* const*>(argv));
        _exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return false;
    }
    pid_ = pid;
    // The server writes its display number and a line feed once it accepts clients.
    std::string num;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < until) {
        pollfd pf{fds[0], POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) continue;
        char c;
        ssize_t n = read(fds[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n') break;
        num.push_back(c);
    }
    ::close(fds[0]);
    if (num.empty()) {
        kill();
        return false;
    }
    name_ = ":" + num;
    return true;
}

void Xvfb::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
}

void Xvfb::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
}

// ---- Embed -----------------------------------------------------------------

const clap_plugin_gui_t* Embed::gui() const {
    return static_cast<const clap_plugin_gui_t*>(host_.extension(CLAP_EXT_GUI));
}

bool Embed::openParent(const char* displayName, uint32_t w, uint32_t h) {
    if (dpy_) return true;
    dpy_ = XOpenDisplay(displayName);
    if (!dpy_) {
        error_ = "cannot open display";
        return false;
    }
    lost_ = false;
    track(dpy_, &lost_);
    int scr = DefaultScreen(dpy_);
    parent_ = XCreateSimpleWindow(dpy_, RootWindow(dpy_, scr), 0, 0, w, h, 0, BlackPixel(dpy_, scr),
                                  BlackPixel(dpy_, scr));
    if (topLevel_) {
        // A window of its own in the desktop: fixed size, named, closable.
        XSizeHints* hints = XAllocSizeHints();
        if (hints) {
            hints->flags = PMinSize | PMaxSize | PSize;
            hints->min_width = hints->max_width = hints->width = static_cast<int>(w);
            hints->min_height = hints->max_height = hints->height = static_cast<int>(h);
            XSetWMNormalHints(dpy_, parent_, hints);
            XFree(hints);
        }
        XClassHint* cls = XAllocClassHint();
        if (cls) {
            std::string name = title_.empty() ? std::string("brisanto") : title_;
            cls->res_name = name.data();
            cls->res_class = name.data();
            XSetClassHint(dpy_, parent_, cls);
            XFree(cls);
        }
        wmDelete_ = XInternAtom(dpy_, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(dpy_, parent_, &wmDelete_, 1);
        XSelectInput(dpy_, parent_, KeyPressMask | KeyReleaseMask | StructureNotifyMask | FocusChangeMask);
        setTitle(title_);
    }
    XMapWindow(dpy_, parent_);
    XSync(dpy_, False);
    return true;
}

bool Embed::open(const char* displayName, bool callShow) {
    const clap_plugin_gui_t* g = gui();
    if (!host_.plugin() || !g) {
        error_ = "no plug-in or no clap.gui";
        return false;
    }
    uint32_t w = 0, h = 0;
    if (!g->get_size || !g->get_size(host_.plugin(), &w, &h) || !w || !h) {
        w = 990;
        h = 412;
    }
    if (!openParent(displayName, w, h)) return false;
    if (!g->create(host_.plugin(), CLAP_WINDOW_API_X11, false)) {
        error_ = "create refused";
        return false;
    }
    created_ = true;
    clap_window_t win{};
    win.api = CLAP_WINDOW_API_X11;
    win.x11 = parent_;
    if (!g->set_parent(host_.plugin(), &win)) {
        error_ = "set_parent refused";
        return false;
    }
    if (callShow && !g->show(host_.plugin())) {
        error_ = "show refused";
        return false;
    }
    if (!waitViewable()) {
        error_ = "the editor window did not appear";
        return false;
    }
    return true;
}

bool Embed::waitViewable() {
    for (int i = 0; i < 200; ++i) {
        if (Window w = child()) {
            XWindowAttributes wa;
            if (XGetWindowAttributes(dpy_, w, &wa) && wa.map_state == IsViewable) return true;
        }
        if (lost_) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Embed::destroyEditor() {
    if (!created_) return;
    if (const clap_plugin_gui_t* g = gui()) g->destroy(host_.plugin());
    created_ = false;
}

void Embed::close() {
    destroyEditor();
    if (!dpy_) return;
    if (parent_ && !lost_) XDestroyWindow(dpy_, parent_);
    parent_ = 0;
    XCloseDisplay(dpy_);
    untrack(dpy_);
    dpy_ = nullptr;
}

void Embed::setTitle(const std::string& title) {
    title_ = title;
    if (!dpy_ || !parent_ || lost_) return;
    XStoreName(dpy_, parent_, title.c_str());
    Atom net = XInternAtom(dpy_, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(dpy_, "UTF8_STRING", False);
    XChangeProperty(dpy_, parent_, net, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    XFlush(dpy_);
}

bool Embed::nextEvent(XEvent* ev) {
    if (!dpy_ || lost_) return false;
    if (XPending(dpy_) <= 0 || lost_) return false;
    XNextEvent(dpy_, ev);
    return true;
}

bool Embed::isCloseRequest(const XEvent& ev) const {
    return ev.type == ClientMessage && wmDelete_ != 0 && ev.xclient.format == 32 &&
           static_cast<Atom>(ev.xclient.data.l[0]) == wmDelete_;
}

Window Embed::child() const {
    if (!dpy_ || !parent_ || lost_) return 0;
    Window root = 0, par = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy_, parent_, &root, &par, &kids, &n)) return 0;
    Window w = n ? kids[0] : 0;
    if (kids) XFree(kids);
    return w;
}

Picture Embed::grab() {
    Picture pic;
    if (!dpy_ || !parent_ || lost_) return pic;
    XWindowAttributes wa;
    if (!XGetWindowAttributes(dpy_, parent_, &wa)) return pic;
    XImage* img = XGetImage(dpy_, parent_, 0, 0, static_cast<unsigned>(wa.width),
                            static_cast<unsigned>(wa.height), AllPlanes, ZPixmap);
    if (!img) return pic;
    pic.w = wa.width;
    pic.h = wa.height;
    pic.px.resize(static_cast<std::size_t>(pic.w) * pic.h);
    Visual* v = wa.visual;
    if (v->c_class == TrueColor) {
        for (int y = 0; y < pic.h; ++y)
            for (int x = 0; x < pic.w; ++x) {
                unsigned long p = XGetPixel(img, x, y);
                pic.px[static_cast<std::size_t>(y) * pic.w + x] = {
                    mask_to8(p, v->red_mask), mask_to8(p, v->green_mask), mask_to8(p, v->blue_mask)};
            }
    } else {
        std::map<unsigned long, Rgb8> cache;
        for (int y = 0; y < pic.h; ++y)
            for (int x = 0; x < pic.w; ++x) {
                unsigned long p = XGetPixel(img, x, y);
                auto it = cache.find(p);
                if (it == cache.end()) {
                    XColor c{};
                    c.pixel = p;
                    XQueryColor(dpy_, wa.colormap, &c);
                    it = cache.emplace(p, Rgb8{c.red >> 8, c.green >> 8, c.blue >> 8}).first;
                }
                pic.px[static_cast<std::size_t>(y) * pic.w + x] = it->second;
            }
    }
    XDestroyImage(img);
    return pic;
}

Picture Embed::settle() {
    Picture last = grab();
    for (int i = 0; i < 130; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        Picture now = grab();
        if (now == last) return now;
        last = std::move(now);
    }
    return last;
}

}  // namespace brs::host
