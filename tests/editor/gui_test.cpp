// The editor's "clap.gui" answers, its window and the picture it draws.


#include <cmath>

#include "editor_fixture.h"

using namespace edtest;

namespace {

class GuiTest : public EditorTest {};

TEST_F(GuiTest, AnswersForApiSizeAndResizing) {
    const clap_plugin_gui_t* g = static_cast<const clap_plugin_gui_t*>(host.extension(CLAP_EXT_GUI));
    ASSERT_NE(g, nullptr);
    const clap_plugin_t* pl = host.plugin();

    EXPECT_TRUE(g->is_api_supported(pl, "x11", false));
    EXPECT_FALSE(g->is_api_supported(pl, "x11", true));
    EXPECT_FALSE(g->is_api_supported(pl, "cocoa", false));
    EXPECT_FALSE(g->is_api_supported(pl, "win32", false));
    EXPECT_FALSE(g->is_api_supported(pl, nullptr, false));

    const char* api = nullptr;
    bool floating = true;
    EXPECT_TRUE(g->get_preferred_api(pl, &api, &floating));
    ASSERT_NE(api, nullptr);
    EXPECT_STREQ(api, "x11");
    EXPECT_FALSE(floating);

    uint32_t w = 0, h = 0;
    EXPECT_TRUE(g->get_size(pl, &w, &h));
    EXPECT_EQ(w, 990u);
    EXPECT_EQ(h, 412u);
    w = 1500;
    h = 20;
    EXPECT_TRUE(g->adjust_size(pl, &w, &h));
    EXPECT_EQ(w, 990u);
    EXPECT_EQ(h, 412u);
    EXPECT_TRUE(g->set_size(pl, 990, 412));
    EXPECT_FALSE(g->set_size(pl, 991, 412));
    EXPECT_FALSE(g->set_size(pl, 990, 411));
    EXPECT_FALSE(g->can_resize(pl));
    clap_gui_resize_hints_t hints{true, true, true, 7, 9};
    EXPECT_FALSE(g->get_resize_hints(pl, &hints));
    EXPECT_EQ(hints.aspect_ratio_width, 7u);  // untouched
    EXPECT_FALSE(g->set_scale(pl, 2.0));
    clap_window_t tw{};
    tw.api = "x11";
    tw.x11 = 1;
    EXPECT_FALSE(g->set_transient(pl, &tw));

    // Without an editor: no show, no hide, no parent, no timer.
    EXPECT_FALSE(g->show(pl));
    EXPECT_FALSE(g->hide(pl));
    EXPECT_FALSE(g->set_parent(pl, &tw));
    EXPECT_FALSE(g->create(pl, "x11", true));
    EXPECT_FALSE(g->create(pl, "cocoa", false));
    EXPECT_FALSE(g->create(pl, nullptr, false));
    EXPECT_TRUE(host.timers().empty());
    g->destroy(pl);  // no editor: nothing happens
}

TEST_F(GuiTest, CreateTwiceKeepsOneEditorWithOneTimerAndOneWindow) {
    embed = std::make_unique<Embed>(host);
    ASSERT_TRUE(embed->openParent());
    const clap_plugin_gui_t* g = embed->gui();
    const clap_plugin_t* pl = host.plugin();

    ASSERT_TRUE(g->create(pl, "x11", false));
    ASSERT_TRUE(g->create(pl, "x11", false));
    ASSERT_EQ(host.timers().size(), 1u);
    EXPECT_EQ(host.timers()[0].periodMs, 40u);
    EXPECT_EQ(embed->child(), 0u);  // the window comes with set_parent

    clap_window_t none{};
    none.api = "x11";
    none.x11 = 0;
    EXPECT_FALSE(g->set_parent(pl, &none));
    // A parent that does not exist is refused instead of drawing into nothing.
    clap_window_t bogus{};
    bogus.api = "x11";
    bogus.x11 = 0x7ffff0;
    EXPECT_FALSE(g->set_parent(pl, &bogus));

    clap_window_t win{};
    win.api = "x11";
    win.x11 = embed->parent();
    ASSERT_TRUE(g->set_parent(pl, &win));
    EXPECT_TRUE(g->create(pl, "x11", false));
    EXPECT_EQ(host.timers().size(), 1u);

    Display* d = embed->display();
    Window root = 0, par = 0, *kids = nullptr;
    unsigned n = 0;
    ASSERT_TRUE(XQueryTree(d, embed->parent(), &root, &par, &kids, &n));
    EXPECT_EQ(n, 1u);
    if (kids) XFree(kids);

    g->destroy(pl);
    EXPECT_TRUE(host.timers().empty());
    EXPECT_EQ(embed->child(), 0u);
}

TEST_F(GuiTest, WindowGeometryEventsAndEmbeddingInfo) {
    open();
    Display* d = embed->display();
    Window w = embed->child();
    ASSERT_NE(w, 0u);

    XWindowAttributes wa;
    ASSERT_TRUE(XGetWindowAttributes(d, w, &wa));
    EXPECT_EQ(wa.x, 0);
    EXPECT_EQ(wa.y, 0);
    EXPECT_EQ(wa.width, 990);
    EXPECT_EQ(wa.height, 412);
    EXPECT_EQ(wa.border_width, 0);
    EXPECT_EQ(wa.map_state, IsViewable);
    EXPECT_EQ(wa.all_event_masks & 0x2804C, 0x2804C);

    Atom info = XInternAtom(d, "_XEMBED_INFO", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    ASSERT_EQ(XGetWindowProperty(d, w, info, 0, 16, False, AnyPropertyType, &type, &format, &items, &after,
                                 &data),
              Success);
    EXPECT_EQ(type, info);
    EXPECT_EQ(format, 32);
    ASSERT_EQ(items, 2u);
    const long* v = reinterpret_cast<const long*>(data);
    EXPECT_EQ(v[0], 0);  // protocol version
    EXPECT_EQ(v[1], 0);  // flags
    XFree(data);
}

// The picture after the first tick: background, title, buttons, slider fills.
TEST_F(GuiTest, FirstTickDrawsLabelsButtonsAndSliderFills) {
    host.setParam(1, 400.0);   // kick cutoff: lround(ln 10 / ln 400 * 108) = 42
    host.setParam(16, 0.0);    // bass level at the lower end
    host.setParam(32, 1.0);    // hoover level at the upper end
    host.setParam(1003, 1.9);  // delay time at the upper end of a log range
    open();
    Picture before = embed->settle();
    EXPECT_EQ(before.at(120, 76), BG);  // the window background, nothing drawn yet
    Picture p = tick();
    ASSERT_EQ(p.w, 990);
    ASSERT_EQ(p.h, 412);

    EXPECT_EQ(p.at(2, 2), BG);
    EXPECT_EQ(p.at(985, 405), BG);
    EXPECT_EQ(p.at(500, 272), LINE);  // separator
    EXPECT_EQ(p.at(13, 272), BG);
    EXPECT_EQ(p.at(976, 272), BG);
    EXPECT_GT(count(p, 14, 8, 170, 26, ACCENT), 40) << "title in the accent colour";

    // Follow toggle (1006 = 1) and pattern button 1 (1007 = 1) lit, the others not.
    EXPECT_EQ(p.at(94, 348), LIT);
    EXPECT_EQ(p.at(212, 348), LIT);
    for (int j = 1; j < 8; ++j) EXPECT_EQ(p.at(212 + 38 * j, 348), FACE) << "pattern button " << j + 1;
    EXPECT_EQ(p.at(528, 348), FACE);  // load button
    EXPECT_EQ(p.at(526, 346), LINE);
    // Mute buttons unlit, outlined.
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(p.at(920, 66 + 34 * t), FACE) << "mute " << t;
        EXPECT_EQ(p.at(918, 64 + 34 * t), LINE) << "mute " << t;
        EXPECT_EQ(p.at(977, 89 + 34 * t), LINE) << "mute " << t;
    }

    // Kick cutoff at (210, 64): fill 42 pixels, the marker on its last two.
    EXPECT_EQ(p.at(210, 66), LINE);
    EXPECT_EQ(p.at(211, 66), FILL);
    EXPECT_EQ(p.at(249, 66), FILL);
    EXPECT_EQ(p.at(250, 66), ACCENT);
    EXPECT_EQ(p.at(251, 66), ACCENT);
    EXPECT_EQ(p.at(252, 66), FACE);
    // Bass level at 0: no fill, the marker at the left edge.
    EXPECT_EQ(p.at(93, 100), ACCENT);
    EXPECT_EQ(p.at(94, 100), FACE);
    // Hoover level at 1: fill over the whole width, the marker on the last two pixels
    // (the rightmost one lies under the outline).
    EXPECT_EQ(p.at(197, 134), FILL);
    EXPECT_EQ(p.at(198, 134), ACCENT);
    EXPECT_EQ(p.at(199, 134), LINE);
    // Delay time (446, 302) at its maximum on a logarithmic scale.
    EXPECT_EQ(p.at(552, 304), ACCENT);
    EXPECT_EQ(p.at(551, 304), FILL);
}

// A tick without input or change leaves the window alone; a change found in
// the cache repaints the whole picture on the next tick, not before.
TEST_F(GuiTest, RedrawsOnlyWhenSomethingChanged) {
    open();
    tick();
    Picture first = tick();  // also takes the Expose of the first mapping
    ASSERT_EQ(first.at(94, 348), LIT);

    // Scribble over the editor from another client.
    Display* d = embed->display();
    GC gc = XCreateGC(d, embed->child(), 0, nullptr);
    XSetForeground(d, gc, 0x00FF00);
    XFillRectangle(d, embed->child(), gc, 0, 0, 990, 412);
    XFreeGC(d, gc);
    XSync(d, False);

    Picture quiet = tick();
    EXPECT_EQ(quiet.at(500, 200), (Rgb8{0, 255, 0})) << "a tick without change drew";

    host.setParam(0, 0.5);  // automation of kick level
    Picture notYet = embed->settle();
    EXPECT_EQ(notYet.at(500, 200), (Rgb8{0, 255, 0}));
    Picture again = tick();
    EXPECT_EQ(again.at(2, 2), BG);
    EXPECT_EQ(again.at(94, 348), LIT);
    // Kick level at 0.5: fill 54 pixels.
    EXPECT_EQ(again.at(92 + 52, 66), ACCENT);
    EXPECT_EQ(again.at(92 + 53, 66), ACCENT);
    EXPECT_EQ(again.at(92 + 54, 66), FACE);
    EXPECT_EQ(again.at(92 + 51, 66), FILL);
}

TEST_F(GuiTest, AutomationOfButtonsShowsOnTheNextTick) {
    open();
    tick();
    host.setParam(1007, 3.0);
    host.setParam(1006, 0.0);
    host.setParam(87, 1.0);  // stab mute
    Picture p = tick();
    EXPECT_EQ(p.at(288, 348), LIT) << "pattern 3 (x = 286) lit";
    EXPECT_EQ(p.at(212, 348), FACE);
    EXPECT_EQ(p.at(94, 348), FACE) << "follow off";
    EXPECT_EQ(p.at(920, 236), ACCENT) << "stab mute lit";
    EXPECT_EQ(p.at(920, 66), FACE);
    // Pattern values round to the nearest button, halves away from zero.
    host.setParam(1007, 4.5);
    p = tick();
    EXPECT_EQ(p.at(364, 348), LIT) << "4.5 lights button 5";
    host.setParam(1007, 2.49);
    p = tick();
    EXPECT_EQ(p.at(250, 348), LIT) << "2.49 lights button 2";
    EXPECT_EQ(p.at(364, 348), FACE);
}

}  // namespace
