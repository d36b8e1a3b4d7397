// The zoomed editor: pictures, hit-testing, the host's window size and the
// zoom kept in the state, through our host and the built brisanto.clap.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "editor_fixture.h"
#include "plugin/plug.h"

using namespace edtest;

namespace {

using edtest::Picture;  // Xrender has a Picture of its own

constexpr Rgb8 PALETTE[] = {BG, FACE, FILL, FILL_DRAG, ACCENT, LIT, LINE,
                            {150, 160, 176}, {228, 232, 238}, {16, 16, 16}, {18, 20, 26}};

// A layout coordinate at zoom z (percent), as the editor rounds it: down.
int zx(int v, int z) { return v * z / 100; }

bool in_palette(Rgb8 c) {
    for (const Rgb8& p : PALETTE)
        if (p == c) return true;
    return false;
}

// Pixels within r of a colour outside the palette: text, whose glyphs
// blend into what lies beneath them.
std::vector<bool> near_text(const Picture& p, int r) {
    std::vector<bool> odd(std::size_t(p.w) * p.h), near(odd.size());
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) odd[std::size_t(y) * p.w + x] = !in_palette(p.at(x, y));
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            if (!odd[std::size_t(y) * p.w + x]) continue;
            for (int j = std::max(0, y - r); j <= std::min(p.h - 1, y + r); ++j)
                for (int i = std::max(0, x - r); i <= std::min(p.w - 1, x + r); ++i) near[std::size_t(j) * p.w + i] = true;
        }
    return near;
}

class ZoomEditorTest : public EditorTest {
protected:
    std::string screen() const override { return "2048x1024x24"; }

    const clap_plugin_gui_t* gui() {
        return static_cast<const clap_plugin_gui_t*>(host.plugin()->get_extension(host.plugin(), CLAP_EXT_GUI));
    }
    brs::plug::Plug* plug() { return brs::plug::from(host.plugin()); }
    // A host that sizes its window as the editor asks (or refuses when told).
    void offer_resize() {
        static ZoomEditorTest* self = nullptr;
        self = this;
        static const clap_host_gui_t HG = {
            nullptr,
            [](const clap_host_t*, uint32_t w, uint32_t h) {
                ++self->resizeAsks;
                uint32_t gw = 0, gh = 0;  // hosts read the size while they resize
                self->gui()->get_size(self->host.plugin(), &gw, &gh);
                EXPECT_EQ(gw, w);
                EXPECT_EQ(gh, h);
                if (!self->allowResize || !self->embed) return false;
                XResizeWindow(self->embed->display(), self->embed->parent(), w, h);
                XSync(self->embed->display(), False);
                return true;
            },
            nullptr, nullptr, nullptr};
        host.setExtensionProvider([](const char* id) -> const void* {
            return std::string(id) == CLAP_EXT_GUI ? &HG : nullptr;
        });
    }
    void page(int j, int z) {
        click(zx(660 + 81 * j + 36, z), zx(359, z));
        tick();
    }
    uint32_t width() {
        uint32_t w = 0, h = 0;
        EXPECT_TRUE(gui()->get_size(host.plugin(), &w, &h));
        return w;
    }
    bool allowResize = true;
    int resizeAsks = 0;
};

}  // namespace

// Every page at 200 % is its 100 % picture with each pixel made two by two,
// away from text (glyphs are drawn from the font at its own size); reaching
// the pages at 200 % also clicks the page buttons at their zoomed places.
TEST_F(ZoomEditorTest, TwiceTheSizeIsThePictureScaledByTwoAwayFromText) {
    std::vector<Picture> small;
    open();
    tick();
    for (int j = 0; j < 4; ++j) {
        page(j, 100);
        small.push_back(tick());
        ASSERT_EQ(small.back().w, 990);
    }
    embed.reset();
    ASSERT_TRUE(gui()->set_scale(host.plugin(), 2.0));
    open();
    tick();
    for (int j = 0; j < 4; ++j) {
        SCOPED_TRACE(j);
        page(j, 200);
        const Picture big = tick();
        ASSERT_EQ(big.w, 1980);
        ASSERT_EQ(big.h, 824);
        const Picture& s = small[std::size_t(j)];
        const std::vector<bool> a = near_text(s, 3), b = near_text(big, 6);
        int compared = 0, wrong = 0;
        for (int y = 0; y < s.h; ++y)
            for (int x = 0; x < s.w; ++x) {
                if (a[std::size_t(y) * s.w + x]) continue;
                for (int k = 0; k < 4; ++k) {
                    const int bx = 2 * x + (k & 1), by = 2 * y + (k >> 1);
                    if (b[std::size_t(by) * big.w + bx]) continue;
                    ++compared;
                    if (big.at(bx, by) != s.at(x, y) && ++wrong <= 5)
                        ADD_FAILURE() << "(" << x << ", " << y << ") " << ::testing::PrintToString(s.at(x, y))
                                      << " became " << ::testing::PrintToString(big.at(bx, by));
                }
            }
        EXPECT_EQ(wrong, 0);
        EXPECT_GT(compared, 4 * s.w * s.h / 2) << "most of the picture is compared";
        EXPECT_EQ(big.at(2 * (660 + 81 * j) + 10, 2 * 346 + 10), LIT) << "the page's button is lit";
    }
}

// Clicks at the zoomed places of controls give the same edits as at 100 %:
// slider values from the pointer's place, toggles, pattern buttons.
TEST_F(ZoomEditorTest, ClicksAtEveryZoomHitTheSameControls) {
    // Even x, so that every zoom puts a window pixel exactly on it: a
    // slider takes its value from the pointer's place to the window pixel.
    struct Point {
        int x, y;  // in the 100 % layout
    };
    const Point points[] = {
        {92 + 10, 64 + 13},       // kick level, low
        {92 + 118 + 80, 98 + 5},  // bass filter, high
        {918 + 30, 64 + 13},      // kick mute
        {918 + 30, 64 + 13},      // and back
        {92 + 118 * 5 + 106, 302 + 25},  // master: near the slider's end
        {210 + 38 * 2 + 16, 359},        // pattern 3
        {210 + 38 * 2 + 16, 359 + 12},   // again, at the button's lower edge
        {90, 64 + 13},                   // between label and slider: nothing
    };
    std::vector<std::vector<Out>> want;
    for (int z : {100, 150, 200}) {
        SCOPED_TRACE(z);
        ASSERT_TRUE(gui()->set_scale(host.plugin(), z / 100.0));
        open();
        tick();
        drain();
        for (std::size_t i = 0; i < std::size(points); ++i) {
            const int x = zx(points[i].x, z), y = zx(points[i].y, z);
            click(x, y);
            tick();
            const std::vector<Out> got = drain();
            if (z == 100) {
                want.push_back(got);
            } else {
                SCOPED_TRACE(i);
                expect_events(got, want[i]);
            }
            // No double click between neighbours in the table.
            std::this_thread::sleep_for(std::chrono::milliseconds(420));
        }
        embed.reset();
    }
    EXPECT_FALSE(want[0].empty());
    EXPECT_TRUE(want[7].empty());
}

// The song page's zoom button asks the host for the new size; a host that
// agrees gets the zoomed window, one that refuses keeps the editor as it was
// and the status says so. The zoom goes with the state.
TEST_F(ZoomEditorTest, ZoomButtonAsksTheHostAndTheStateKeepsTheZoom) {
    offer_resize();
    open();
    tick();
    page(3, 100);
    const int bx = 620 + 46, by = 40 + 10;
    click(bx, by);
    tick();
    EXPECT_EQ(resizeAsks, 1);
    EXPECT_EQ(width(), 1485u);
    Picture p = tick();
    EXPECT_EQ(p.w, 1485);
    EXPECT_EQ(p.at(zx(660 + 81 * 3, 150) + 10, zx(346, 150) + 10), LIT) << "still the song page";

    std::vector<uint8_t> st150;
    ASSERT_TRUE(host.saveState(st150));
    const std::string text(st150.begin(), st150.end());
    EXPECT_NE(text.find("\"zoom\":150"), std::string::npos) << text.substr(text.find('\n'));

    allowResize = false;
    click(zx(bx, 150), zx(by, 150));
    tick();
    EXPECT_EQ(resizeAsks, 2);
    EXPECT_EQ(width(), 1485u) << "refused: the zoom stays";
    EXPECT_EQ(plug()->status, "Zoom 200 %: der Host \u00e4ndert die Fenstergr\u00f6\u00dfe nicht");

    allowResize = true;
    click(zx(bx, 150), zx(by, 150));  // 200 %
    tick();
    EXPECT_EQ(width(), 1980u);
    click(zx(bx, 200) + 1, zx(by, 200) + 1);  // and round to 100 %
    tick();
    EXPECT_EQ(width(), 990u);
    std::vector<uint8_t> st100;
    ASSERT_TRUE(host.saveState(st100));
    const std::string t100(st100.begin(), st100.end());
    EXPECT_EQ(t100.find("zoom"), std::string::npos) << "100 % writes the tail as before";

    // A state brings its zoom to the open editor, which asks the host.
    ASSERT_TRUE(host.loadState(st150));
    tick();
    EXPECT_EQ(width(), 1485u);
    EXPECT_EQ(tick().w, 1485);
    EXPECT_EQ(resizeAsks, 5);
}

// Zoom values in a state: only 150 and 200 are kept, anything else is 100 %.
TEST_F(ZoomEditorTest, StateZoomValuesOutsideTheLevelsMeanOneHundred) {
    std::vector<uint8_t> b;
    ASSERT_TRUE(host.saveState(b));
    std::string base(b.begin(), b.end());
    ASSERT_EQ(base.back(), '}');
    base.pop_back();
    const struct {
        const char* member;
        uint32_t w;
    } cases[] = {
        {",\"zoom\":150", 1485}, {",\"zoom\":200", 1980}, {",\"zoom\":1500", 990}, {",\"zoom\":175", 990},
        {",\"zoom\":-200", 990}, {",\"zoom\":x", 990},     {"", 990},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member);
        ASSERT_TRUE(host.loadState(base + c.member + "}"));
        EXPECT_EQ(width(), c.w);
        std::vector<uint8_t> again;
        ASSERT_TRUE(host.saveState(again));
        const std::string t(again.begin(), again.end());
        EXPECT_EQ(t.find("\"zoom\"") != std::string::npos, c.w != 990) << "saved as it loaded";
    }
}
