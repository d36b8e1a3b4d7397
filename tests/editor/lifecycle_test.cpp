// Editor lifecycle and X failures: repeated open and close, the host tearing
// things down in an unexpected order, and an X server that goes away. These
// run in the address-sanitizer lane with the leak checker as well.
#include <dirent.h>

#include "editor_fixture.h"

using namespace edtest;

namespace {

class LifecycleTest : public EditorTest {};

int open_fds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

int children(Display* d, Window w) {
    Window root = 0, par = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, w, &root, &par, &kids, &n)) return -1;
    if (kids) XFree(kids);
    return static_cast<int>(n);
}

XErrorHandler current_error_handler() {
    XErrorHandler h = XSetErrorHandler(nullptr);
    XSetErrorHandler(h);
    return h;
}

TEST_F(LifecycleTest, OpeningAndClosingManyTimesLeavesNothingBehind) {
    embed = std::make_unique<Embed>(host);
    ASSERT_TRUE(embed->openParent());
    const clap_plugin_gui_t* g = embed->gui();
    const clap_plugin_t* pl = host.plugin();
    clap_window_t win{};
    win.api = "x11";
    win.x11 = embed->parent();
    XErrorHandler hostHandler = current_error_handler();

    int fds = -1;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(g->create(pl, "x11", false)) << "cycle " << i;
        ASSERT_TRUE(g->set_parent(pl, &win)) << "cycle " << i;
        ASSERT_TRUE(g->show(pl));
        ASSERT_TRUE(embed->waitViewable()) << "cycle " << i;
        embed->tick();
        if (i % 2) {  // closed in the middle of a drag
            XTestFakeMotionEvent(embed->display(), -1, 92 + 27, 77, CurrentTime);
            XTestFakeButtonEvent(embed->display(), 1, True, CurrentTime);
            sync();
            embed->tick();
        }
        g->destroy(pl);
        if (i % 2) {
            XTestFakeButtonEvent(embed->display(), 1, False, CurrentTime);
            sync();
        }
        EXPECT_TRUE(host.timers().empty()) << "cycle " << i;
        EXPECT_EQ(children(embed->display(), embed->parent()), 0) << "cycle " << i;
        EXPECT_EQ(current_error_handler(), hostHandler) << "cycle " << i;
        if (i == 1) {
            fds = open_fds();
        } else if (i > 1) {
            EXPECT_EQ(open_fds(), fds) << "cycle " << i;
        }
    }
    // A drag cut short by closing still ends its gesture.
    std::vector<Out> ev = drain();
    ASSERT_FALSE(ev.empty());
    int begins = 0, ends = 0;
    for (const Out& o : ev) {
        begins += o.type == 7;
        ends += o.type == 8;
    }
    EXPECT_EQ(begins, 20);
    EXPECT_EQ(ends, 20);
}

TEST_F(LifecycleTest, TimerCallsAfterDestroyAreHarmless) {
    open();
    tick();
    ASSERT_EQ(host.timers().size(), 1u);
    clap_id id = host.timers()[0].id;
    auto* ts = static_cast<const clap_plugin_timer_support_t*>(host.extension(CLAP_EXT_TIMER_SUPPORT));
    ASSERT_NE(ts, nullptr);
    embed->destroyEditor();
    // A host that had the tick queued already calls it after destroy.
    ts->on_timer(host.plugin(), id);
    ts->on_timer(host.plugin(), id);
    EXPECT_FALSE(embed->gui()->show(host.plugin()));
    EXPECT_FALSE(embed->gui()->hide(host.plugin()));
    // Created but never parented: the timer has no window to serve.
    ASSERT_TRUE(embed->gui()->create(host.plugin(), "x11", false));
    ts->on_timer(host.plugin(), host.timers()[0].id);
    embed->gui()->destroy(host.plugin());
    EXPECT_TRUE(host.timers().empty());
}

TEST_F(LifecycleTest, InstanceDestroyedWithTheEditorOpen) {
    open();
    tick();
    host.destroy();  // closes the editor first
    EXPECT_TRUE(host.timers().empty());
    EXPECT_EQ(children(embed->display(), embed->parent()), 0);
}

// The host destroys its window (and so ours) before destroying the editor:
// drawing and tearing down then meet windows that are gone, which must not
// end the host process.
TEST_F(LifecycleTest, ParentWindowDestroyedBeforeTheEditor) {
    // The host's own error handler keeps seeing the host's own errors.
    static int hostErrors = 0;
    embed = std::make_unique<Embed>(host);
    ASSERT_TRUE(embed->openParent());
    XErrorHandler before = current_error_handler();
    XSetErrorHandler([](Display*, XErrorEvent*) -> int {
        ++hostErrors;
        return 0;
    });
    XErrorHandler counting = current_error_handler();

    const clap_plugin_gui_t* g = embed->gui();
    clap_window_t win{};
    win.api = "x11";
    win.x11 = embed->parent();
    ASSERT_TRUE(g->create(host.plugin(), "x11", false));
    ASSERT_TRUE(g->set_parent(host.plugin(), &win));
    tick();
    XMapWindow(embed->display(), 0x7ffff0);  // no such window
    XSync(embed->display(), False);
    EXPECT_EQ(hostErrors, 1);

    XDestroyWindow(embed->display(), embed->parent());
    XSync(embed->display(), False);
    host.setParam(0, 0.3);
    embed->tick();  // repaints into a window that is gone
    host.setParam(1007, 4.0);
    embed->tick();
    g->destroy(host.plugin());
    EXPECT_EQ(hostErrors, 1) << "the editor's errors reached the host's handler";
    EXPECT_EQ(current_error_handler(), counting);

    // A new editor in a new window works as before.
    embed.reset();
    open();
    Picture p = tick();
    EXPECT_EQ(p.at(2, 2), BG);
    embed.reset();
    XSetErrorHandler(before);
}

// Two instances with open editors: closing one keeps the other protected,
// closing the last gives the host its own error handler back.
TEST_F(LifecycleTest, TwoEditorsShareTheErrorHandling) {
    embed = std::make_unique<Embed>(host);
    ASSERT_TRUE(embed->openParent());
    XErrorHandler hostHandler = current_error_handler();
    ASSERT_TRUE(embed->open()) << embed->error();

    Host host2;
    ASSERT_TRUE(host2.load(BRS_CLAP_PATH)) << host2.error();
    ASSERT_TRUE(host2.create()) << host2.error();
    {
        Embed embed2(host2);
        ASSERT_TRUE(embed2.open()) << embed2.error();
        embed->tick();
        embed2.tick();
        EXPECT_NE(current_error_handler(), hostHandler);

        embed->destroyEditor();
        EXPECT_NE(current_error_handler(), hostHandler) << "the second editor lost its protection";
        // The second editor meets a window that is gone: its errors must
        // not reach the host's handler.
        XDestroyWindow(embed2.display(), embed2.parent());
        XSync(embed2.display(), False);
        host2.setParam(0, 0.2);
        embed2.tick();
        embed2.destroyEditor();
        EXPECT_EQ(current_error_handler(), hostHandler);
    }
    host2.destroy();
}

// The X server goes away under an open editor: the host process survives,
// the editor stays quiet until destroyed, and a new one cannot be created.
TEST_F(LifecycleTest, XServerGoneUnderTheEditor) {
    open();
    tick();
    host.setParam(0, 0.4);
    xvfb.kill();
    embed->tick();
    embed->tick();
    host.setParam(0, 0.5);
    embed->tick();
    EXPECT_EQ(host.timers().size(), 1u);
    embed->destroyEditor();
    EXPECT_TRUE(host.timers().empty());
    EXPECT_FALSE(embed->gui()->create(host.plugin(), "x11", false));
    EXPECT_TRUE(host.timers().empty());
    embed.reset();
}

}  // namespace
