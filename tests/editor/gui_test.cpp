// The editor's "clap.gui" answers, its window and the picture it draws.

#include <cmath>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iterator>

#include "editor_fixture.h"
#include "plugin/plug.h"

#include <X11/Xft/Xft.h>

using namespace edtest;

namespace {

using edtest::Picture;  // Xrender has a Picture of its own

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
    // The host's scale picks the nearest zoom level; the size follows it,
    // and only that size is accepted.
    struct ScaleCase {
        double scale;
        bool taken;
        uint32_t w, h;
    };
    const ScaleCase scales[] = {
        {2.0, true, 1980, 824},  {1.5, true, 1485, 618}, {1.0, true, 990, 412},
        {1.8, true, 1980, 824},  {1.2, true, 990, 412},  {3.0, true, 1980, 824},
        {1.4, true, 1485, 618},  {0.0, false, 1485, 618}, {-2.0, false, 1485, 618},
        {std::nan(""), false, 1485, 618}, {INFINITY, false, 1485, 618}, {1.0, true, 990, 412},
    };
    for (const ScaleCase& c : scales) {
        SCOPED_TRACE(c.scale);
        EXPECT_EQ(g->set_scale(pl, c.scale), c.taken);
        w = h = 0;
        EXPECT_TRUE(g->get_size(pl, &w, &h));
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        uint32_t aw = 7, ah = 9;
        EXPECT_TRUE(g->adjust_size(pl, &aw, &ah));
        EXPECT_EQ(aw, c.w);
        EXPECT_EQ(ah, c.h);
        EXPECT_TRUE(g->set_size(pl, c.w, c.h));
        EXPECT_FALSE(g->set_size(pl, c.w == 990 ? 1980 : 990, c.h == 412 ? 824 : 412));
    }
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

// The editor's texts drawn a second time, by the rules alone, on a pixmap of
// the test's own connection: x from the measured advance by alignment (the
// halves of a centred leftover truncated), the baseline at
// rect.y + (rect.h + ascent - descent) / 2.
class TextRef {
public:
    explicit TextRef(Display* d) : d_(d) {
        int scr = DefaultScreen(d);
        vis_ = DefaultVisual(d, scr);
        cmap_ = DefaultColormap(d, scr);
        pm_ = XCreatePixmap(d, RootWindow(d, scr), 990, 412, static_cast<unsigned>(DefaultDepth(d, scr)));
        draw_ = XftDrawCreate(d, pm_, vis_, cmap_);
        font = XftFontOpenName(d, scr, "DejaVu Sans:size=9");
        bold = XftFontOpenName(d, scr, "DejaVu Sans:bold:size=9");
        title = XftFontOpenName(d, scr, "DejaVu Sans:bold:size=14");
    }
    ~TextRef() {
        for (XftFont* f : {font, bold, title})
            if (f) XftFontClose(d_, f);
        XftDrawDestroy(draw_);
        XFreePixmap(d_, pm_);
    }
    void fill(int x, int y, int w, int h, Rgb8 c) {
        XftColor col = colour(c);
        XftDrawRect(draw_, &col, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XftColorFree(d_, vis_, cmap_, &col);
    }
    void text(const char* s, int x, int y, int w, int h, Rgb8 c, XftFont* f, int align) {
        const auto* u = reinterpret_cast<const FcChar8*>(s);
        int len = static_cast<int>(std::strlen(s));
        XGlyphInfo ext{};
        XftTextExtentsUtf8(d_, f, u, len, &ext);
        int tx = align == 0 ? x : align == 1 ? x + (w - ext.xOff) / 2 : x + w - ext.xOff;
        int ty = y + (h + f->ascent - f->descent) / 2;
        XftColor col = colour(c);
        XftDrawStringUtf8(draw_, &col, f, tx, ty, u, len);
        XftColorFree(d_, vis_, cmap_, &col);
    }
    Picture read() {
        Picture p;
        XImage* img = XGetImage(d_, pm_, 0, 0, 990, 412, AllPlanes, ZPixmap);
        if (!img) return p;
        p.w = 990;
        p.h = 412;
        for (int y = 0; y < 412; ++y)
            for (int x = 0; x < 990; ++x) {
                unsigned long v = XGetPixel(img, x, y);
                p.px.push_back({static_cast<int>((v >> 16) & 255), static_cast<int>((v >> 8) & 255),
                                static_cast<int>(v & 255)});
            }
        XDestroyImage(img);
        return p;
    }
    XftFont* font = nullptr;
    XftFont* bold = nullptr;
    XftFont* title = nullptr;

private:
    XftColor colour(Rgb8 c) {
        XRenderColor rc{static_cast<unsigned short>(c.r * 257), static_cast<unsigned short>(c.g * 257),
                        static_cast<unsigned short>(c.b * 257), 0xFFFF};
        XftColor col{};
        XftColorAllocValue(d_, vis_, cmap_, &rc, &col);
        return col;
    }
    Display* d_;
    Visual* vis_;
    Colormap cmap_;
    Pixmap pm_;
    XftDraw* draw_;
};

// Pixels of (x, y, w, h) where the two pictures differ.
int differing(const Picture& a, const Picture& b, int x, int y, int w, int h) {
    int n = 0;
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i)
            if (!(a.at(i, j) == b.at(i, j))) ++n;
    return n;
}

// Every label, the help line and the texts on buttons and sliders: their
// string, font, colour, rectangle and alignment, to the pixel.
TEST_F(GuiTest, TextsSitExactlyWhereTheirRectanglesAndAlignmentsPutThem) {
    open();
    Picture p = tick();
    ASSERT_EQ(p.w, 990);
    TextRef ref(embed->display());
    ASSERT_TRUE(ref.font && ref.bold && ref.title) << "DejaVu Sans is needed for this test";

    const Rgb8 TEXT1{228, 232, 238}, TEXT2{150, 160, 176}, TEXT_ON{16, 16, 16};
    ref.fill(0, 0, 990, 412, BG);
    ref.text("BRISANTO", 14, 8, 300, 26, ACCENT, ref.title, 0);
    ref.text("Velmora \u00b7 Plugin 0.3.0 \u00b7 Noten 36\u201341 spielen die Spuren", 190, 8, 520, 26, TEXT2,
             ref.font, 0);
    const char* heads[7] = {"Pegel", "Filter", "Resonanz", "Ausklang", "Zerre", "Delay", "Hall"};
    for (int k = 0; k < 7; ++k) ref.text(heads[k], 92 + 118 * k, 42, 108, 18, TEXT2, ref.font, 0);
    ref.text("Stumm", 918, 42, 60, 18, TEXT2, ref.font, 0);
    const char* tracks[6] = {"Kick", "Bass", "Hoover", "Break", "Hat", "Stab"};
    for (int t = 0; t < 6; ++t) ref.text(tracks[t], 14, 64 + 34 * t, 72, 26, TEXT1, ref.bold, 0);
    ref.text("Summe", 14, 302, 72, 26, TEXT1, ref.bold, 0);
    const char* master[6] = {"Zerre", "Pegel", "Swing", "Delay Zeit", "R\u00fcckkopplung", "Hall Gr\u00f6\u00dfe"};
    for (int j = 0; j < 6; ++j) ref.text(master[j], 92 + 118 * j, 280, 108, 18, TEXT2, ref.font, 0);
    ref.text("Takt", 14, 346, 72, 26, TEXT1, ref.bold, 0);
    ref.fill(14, 272, 962, 1, LINE);
    ref.text("Ziehen = Wert \u00b7 Umschalt = fein \u00b7 Doppelklick = Vorgabe \u00b7 Set aus dem Browser: "
             "~/Documents/Velmora/brisanto-set.json",
             14, 386, 962, 18, TEXT2, ref.font, 0);

    // Button faces and labels (centred, bold); each compared inside its outline.
    struct Btn {
        int x, y, w;
        Rgb8 face, ink;
        const char* label;
    };
    std::vector<Btn> btns{{92, 346, 108, LIT, TEXT_ON, "folgt Host"},
                          {210, 346, 32, LIT, TEXT_ON, "1"},
                          {526, 346, 120, FACE, TEXT1, "Set laden"}};
    for (int j = 1; j < 8; ++j) btns.push_back({210 + 38 * j, 346, 32, FACE, TEXT1, nullptr});
    for (int t = 0; t < 6; ++t) btns.push_back({918, 64 + 34 * t, 60, FACE, TEXT1, "an"});
    for (Btn& b : btns) {
        std::string label = b.label ? b.label : std::to_string((b.x - 210) / 38 + 1);
        ref.fill(b.x, b.y, b.w, 26, b.face);
        ref.text(label.c_str(), b.x, b.y, b.w, 26, b.ink, ref.bold, 1);
    }
    // The delay send sliders rest at 0: face and marker at the left edge, the
    // value text right-aligned 6 pixels inside.
    for (int t = 0; t < 6; ++t) {
        int x = 92 + 118 * 5, y = 64 + 34 * t;
        ref.fill(x, y, 108, 26, FACE);
        ref.text("0.00", x + 6, y, 96, 26, TEXT1, ref.font, 2);
    }
    Picture want = ref.read();
    ASSERT_EQ(want.w, 990);

    // Outside the controls the picture is the labels, the separator and the help line.
    int outside = 0;
    for (int y = 0; y < 412; ++y)
        for (int x = 0; x < 990; ++x) {
            bool inControl = (x >= 92 && x < 978 && ((y >= 64 && y < 64 + 34 * 5 + 26) || (y >= 302 && y < 328))) ||
                             (y >= 346 && y < 372 && x >= 92 && x < 646) ||
                             (y >= 346 && y < 372 && x >= 660 && x < 976);  // the page selector
            if (!inControl && !(p.at(x, y) == want.at(x, y))) ++outside;
        }
    EXPECT_EQ(outside, 0) << "labels, separator or help line differ";
    for (const Btn& b : btns)
        EXPECT_EQ(differing(p, want, b.x + 1, b.y + 1, b.w - 2, 24), 0) << "button at x = " << b.x << ", y = " << b.y;
    for (int t = 0; t < 6; ++t)
        EXPECT_EQ(differing(p, want, 92 + 118 * 5 + 2, 65 + 34 * t, 105, 24), 0) << "delay send value, track " << t;
}

// The stored picture of the mixer page (docs/editor.png, 8-bit RGB rows
// without filters), as a Picture; empty when it cannot be read.
Picture stored_picture(const std::string& path) {
    Picture p;
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto be32 = [&](std::size_t at) {
        return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
    };
    std::vector<uint8_t> idat;
    int w = 0, h = 0;
    for (std::size_t at = 8; at + 12 <= d.size();) {
        const uint32_t len = be32(at);
        if (at + 12 + len > d.size()) return p;
        const std::string type(d.begin() + std::ptrdiff_t(at + 4), d.begin() + std::ptrdiff_t(at + 8));
        if (type == "IHDR") w = int(be32(at + 8)), h = int(be32(at + 12));
        if (type == "IDAT") idat.insert(idat.end(), d.begin() + std::ptrdiff_t(at + 8), d.begin() + std::ptrdiff_t(at + 8 + len));
        at += 12 + len;
    }
    std::vector<uint8_t> rows(std::size_t(h) * (1 + 3 * std::size_t(w)));
    uLongf n = uLongf(rows.size());
    if (w <= 0 || uncompress(rows.data(), &n, idat.data(), uLong(idat.size())) != Z_OK || n != rows.size()) return p;
    p.w = w;
    p.h = h;
    for (int y = 0; y < h; ++y) {
        const uint8_t* r = &rows[std::size_t(y) * (1 + 3 * std::size_t(w))];
        if (r[0] != 0) return Picture{};  // the screenshot tool writes no row filters
        for (int x = 0; x < w; ++x) p.px.push_back({r[1 + 3 * x], r[2 + 3 * x], r[3 + 3 * x]});
    }
    return p;
}

// The mixer page is the picture in the guide, pixel for pixel, everywhere but
// in the page selector right of "Set laden".
TEST_F(GuiTest, MixerPageIsTheStoredPictureOutsideThePageSelector) {
    const Picture want = stored_picture(std::string(BRS_SOURCE_DIR) + "/docs/editor.png");
    ASSERT_EQ(want.w, 990) << "docs/editor.png could not be read";
    open();
    const Picture p = tick();
    int outside = 0, inside = 0;
    for (int y = 0; y < 412; ++y)
        for (int x = 0; x < 990; ++x) {
            const bool selector = x >= 660 && x < 976 && y >= 346 && y < 372;
            if (!(p.at(x, y) == want.at(x, y))) ++(selector ? inside : outside);
        }
    EXPECT_EQ(outside, 0);
    EXPECT_GT(inside, 0) << "the page selector is drawn";
    // Its four buttons, the mixer's lit like a pattern button.
    EXPECT_EQ(p.at(662, 348), LIT);
    for (int j = 1; j < 4; ++j) EXPECT_EQ(p.at(662 + 81 * j, 348), FACE) << "page button " << j;
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

// A home folder with a long name: the status "keine Datei " and the path
// would reach far into the version line.
class LongHomeTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        home = std::filesystem::temp_directory_path() / ("brs-editor-home-" + std::to_string(::getpid())) /
               "ein-recht-langer-ordnername-fuer-das-heimverzeichnis";
        std::filesystem::create_directories(home);
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        GuiTest::TearDown();
        std::filesystem::remove_all(home.parent_path());
    }
    std::filesystem::path home;
};

TEST_F(LongHomeTest, StatusKeepsToItsOwnSpaceAndShowsTheFileName) {
    open();
    tick();
    const Picture before = tick();
    click(586, 359);  // "Set laden" without a file
    const Picture p = tick();
    const std::string path = home.string() + "/Documents/Velmora/brisanto-set.json";
    EXPECT_EQ(brs::plug::from(host.plugin())->status, "keine Datei " + path) << "the whole text is kept";

    // The status space starts 12 pixels right of the version line's last character.
    TextRef ref(embed->display());
    ASSERT_TRUE(ref.font) << "DejaVu Sans is needed for this test";
    auto advance = [&](const char* s) {
        XGlyphInfo ext{};
        XftTextExtentsUtf8(embed->display(), ref.font, reinterpret_cast<const FcChar8*>(s),
                           static_cast<int>(std::strlen(s)), &ext);
        return static_cast<int>(ext.xOff);
    };
    const int left = 190 + advance("Velmora \u00b7 Plugin 0.3.0 \u00b7 Noten 36\u201341 spielen die Spuren") + 12;
    ASSERT_LT(left, 660);

    // The header left of the status space is exactly what it was without a status.
    EXPECT_EQ(differing(p, before, 0, 0, left, 40), 0) << "the status ran into the version line";
    EXPECT_EQ(count(p, 0, 0, left, 40, FILL_DRAG), 0);
    EXPECT_GT(count(p, left, 8, 976 - left, 26, FILL_DRAG), 30) << "status text";
    EXPECT_EQ(differing(p, before, 976, 0, 14, 40), 0) << "nothing right of the status space";

    // The file name at its end is drawn whole where a right-aligned status puts it.
    const char* name = "brisanto-set.json";
    const int nameWidth = advance(name);
    ref.fill(0, 0, 990, 412, BG);
    ref.text(name, 660, 8, 316, 26, FILL_DRAG, ref.font, 2);
    const Picture want = ref.read();
    const int x0 = 976 - nameWidth + 2;  // the neighbouring "/" may touch the first column
    EXPECT_EQ(differing(p, want, x0, 8, 976 - x0, 26), 0) << "the file name is not shown whole";
}

}  // namespace
