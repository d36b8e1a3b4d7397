// The editor on an 8-bit PseudoColor screen: colours come from the colormap,
// and a colormap with no free cell still gives a usable picture.
#include "editor_fixture.h"

using namespace edtest;

namespace {

class PseudoColorTest : public EditorTest {
protected:
    std::string screen() const override { return "1280x1024x8"; }

    void SetUp() override {
        EditorTest::SetUp();
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        int cls = DefaultVisual(d, DefaultScreen(d))->c_class;
        XCloseDisplay(d);
        if (cls != PseudoColor) GTEST_SKIP() << "this Xvfb offers no PseudoColor default visual";
    }
};

TEST_F(PseudoColorTest, ColoursAreAllocatedInTheColormap) {
    open();
    Picture p = tick();
    EXPECT_EQ(p.at(2, 2), BG);
    EXPECT_EQ(p.at(94, 348), LIT);
    EXPECT_EQ(p.at(920, 66), FACE);
    EXPECT_EQ(p.at(500, 272), LINE);
    EXPECT_EQ(p.at(250, 66), ACCENT);
}

// Another client holds every free cell: the editor falls back to black and
// white by brightness and keeps working.
TEST_F(PseudoColorTest, FullColormapFallsBackToBlackAndWhite) {
    embed = std::make_unique<Embed>(host);
    ASSERT_TRUE(embed->openParent());
    Display* d = embed->display();
    Colormap cmap = DefaultColormap(d, DefaultScreen(d));
    int taken = 0;
    unsigned long pixel;
    while (XAllocColorCells(d, cmap, False, nullptr, 0, &pixel, 1)) ++taken;
    ASSERT_GT(taken, 0);
    XSync(d, False);

    const clap_plugin_gui_t* g = embed->gui();
    clap_window_t win{};
    win.api = "x11";
    win.x11 = embed->parent();
    ASSERT_TRUE(g->create(host.plugin(), "x11", false));
    ASSERT_TRUE(g->set_parent(host.plugin(), &win));
    ASSERT_TRUE(embed->waitViewable());
    Picture p = tick();
    const Rgb8 black{0, 0, 0}, white{255, 255, 255};
    EXPECT_EQ(p.at(2, 2), black) << "dark background";
    EXPECT_EQ(p.at(920, 66), black) << "dark control face";
    EXPECT_EQ(p.at(94, 348), white) << "bright lit toggle";
    EXPECT_EQ(p.at(250, 66), white) << "bright marker";

    // Input still works.
    click(948, 77);
    tick();
    expect_events(drain(), gesture(7, 1.0));
    g->destroy(host.plugin());
}

}  // namespace
