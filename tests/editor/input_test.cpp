// Pointer input: drags, double clicks, the wheel, buttons, the load button,
// and the editor hidden and shown again.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "editor_fixture.h"
#include "engine/brskern.h"
#include "plugin/plug.h"

using namespace edtest;

namespace {

class InputTest : public EditorTest {};

// Kick level slider at (92, 64, 108, 26).
constexpr int KX = 92, KY = 64 + 13;

TEST_F(InputTest, DragJumpsToThePointerAndShiftDragsFinely) {
    open();
    tick();
    drain();

    move(KX + 27, KY);
    button(1, true);
    Picture p = tick();
    expect_events(drain(), {{7, 0, 0.0}, {5, 0, 0.25}});
    // The dragged slider is filled in the drag colour up to the pointer.
    EXPECT_EQ(p.at(KX + 5, 66), FILL_DRAG);
    EXPECT_EQ(p.at(KX + 25, 66), ACCENT);
    EXPECT_EQ(p.at(KX + 28, 66), FACE);

    shift(true);
    move(KX + 27 + 54, KY);
    tick();
    expect_events(drain(), {{5, 0, 0.30}});

    // Without Shift the whole distance from the press counts in full.
    shift(false);
    move(KX + 27 + 27, KY);
    tick();
    expect_events(drain(), {{5, 0, 0.50}});

    // Past the end the value stays at the range's end.
    move(KX + 400, KY);
    tick();
    expect_events(drain(), {{5, 0, 1.0}});

    button(1, false);
    p = tick();
    expect_events(drain(), {{8, 0, 0.0}});
    EXPECT_DOUBLE_EQ(param(0), 1.0);
    EXPECT_EQ(p.at(KX + 5, 66), FILL) << "at rest again";

    // Motion without a drag queues nothing.
    move(KX + 10, KY);
    tick();
    EXPECT_TRUE(drain().empty());
}

TEST_F(InputTest, EveryMotionOfADragQueuesOneValue) {
    open();
    tick();
    move(KX, KY);
    button(1, true);
    for (int i = 1; i <= 5; ++i) move(KX + 10 * i, KY);
    button(1, false);
    tick();
    std::vector<Out> want{{7, 0, 0.0}, {5, 0, 0.0}};
    for (int i = 1; i <= 5; ++i) want.push_back({5, 0, 10.0 * i / 108.0});
    want.push_back({8, 0, 0.0});
    expect_events(drain(), want);
    EXPECT_GE(host.flushRequests(), 8);
}

TEST_F(InputTest, DoubleClickWithin399MillisecondsRestoresTheOpeningValue) {
    host.setParam(0, 0.8);  // the kick level when the editor opens: its default
    const double def = param(0);
    open();
    tick();
    host.setParam(0, 0.1);
    tick();
    drain();

    // 400 ms apart: two single clicks, each a drag to the pointer.
    send_click(KX + 27, KY, 100000);
    send_click(KX + 27, KY, 100400);
    tick();
    std::vector<Out> single{{7, 0, 0.0}, {5, 0, 0.25}, {8, 0, 0.0}};
    std::vector<Out> two = single;
    two.insert(two.end(), single.begin(), single.end());
    expect_events(drain(), two);

    // 399 ms after the last press: the default, as one complete gesture.
    send_click(KX + 54, KY, 100799);
    tick();
    expect_events(drain(), gesture(0, def));
    EXPECT_EQ(param(0), def);

    // The double click's press is remembered: another 399 ms later is a double click again.
    send_button(ButtonPress, 1, KX + 54, KY, 101198);
    tick();
    expect_events(drain(), gesture(0, def));

    // Server time wraps at 32 bits; the difference is taken across the wrap.
    send_click(KX + 27, KY, 0xFFFFFF00ul);
    send_button(ButtonPress, 1, KX + 27, KY, 0x87ul);  // 391 ms later
    tick();
    std::vector<Out> wrap = single;
    wrap.insert(wrap.end(), {{7, 0, 0.0}, {5, 0, def}, {8, 0, 0.0}});
    expect_events(drain(), wrap);

    // A quick press on another control is no double click.
    send_click(KX + 27, KY, 200000);
    send_click(KX + 118 + 27, KY + 34, 200100);  // bass cutoff
    send_click(KX + 27, KY, 200200);
    tick();
    std::vector<Out> got = drain();
    ASSERT_EQ(got.size(), 9u);
    EXPECT_NEAR(got[7].value, 0.25, 1e-12) << "third press is a single click";
}

TEST_F(InputTest, PressesOutsideControlsDoNothing) {
    double def = param(0);
    open();
    tick();
    drain();
    send_click(KX + 27, KY, 5000);
    click(50, 20);         // title line
    click(KX + 110, KY);   // the gap between two sliders
    click(500, 395);       // help line
    tick();
    EXPECT_EQ(drain().size(), 3u);
    // The gap press did not reset the double-click memory.
    send_button(ButtonPress, 1, KX + 27, KY, 5300);
    tick();
    expect_events(drain(), gesture(0, def));
}

TEST_F(InputTest, WheelMovesSlidersByOneHundredthOfTheirTravel) {
    open();
    tick();
    drain();
    // Swing (1002) at (328, 302), range 0..60.
    click(328 + 50, 315, 4);
    tick();
    expect_events(drain(), gesture(1002, 0.6));
    host.setParam(1002, 0.0);
    click(328 + 50, 315, 5);
    tick();
    expect_events(drain(), gesture(1002, 0.0));

    // Kick cutoff at 400 Hz moves along its logarithmic travel.
    host.setParam(1, 400.0);
    click(210 + 50, KY, 4);
    tick();
    double p = std::log(400.0 / 40.0) / std::log(400.0);
    expect_events(drain(), gesture(1, 40.0 * std::pow(400.0, p + 0.01)));

    // Two steps before the queue is drained start from the same cached value.
    double up = param(1);
    click(210 + 50, KY, 5);
    click(210 + 50, KY, 5);
    tick();
    double pu = std::log(up / 40.0) / std::log(400.0);
    std::vector<Out> twice = gesture(1, 40.0 * std::pow(400.0, pu - 0.01));
    std::vector<Out> more = twice;
    twice.insert(twice.end(), more.begin(), more.end());
    expect_events(drain(), twice);

    // Over a button or over nothing the wheel is ignored.
    click(948, KY, 4);
    click(212, 359, 5);
    click(50, 20, 4);
    tick();
    EXPECT_TRUE(drain().empty());
}

TEST_F(InputTest, MuteFollowAndPatternButtons) {
    open();
    tick();
    drain();
    click(948, KY);  // kick mute, cached 0
    tick();
    expect_events(drain(), gesture(7, 1.0));
    Picture p = tick();
    EXPECT_EQ(p.at(920, 66), ACCENT);

    // Two presses before the host drains: both queue the opposite of the
    // cached value at that moment (the second press of a double click acts
    // as another single click).
    send_button(ButtonPress, 1, 948, KY, 9000);
    send_button(ButtonPress, 1, 948, KY, 9100);
    tick();
    std::vector<Out> both = gesture(7, 0.0);
    std::vector<Out> again = gesture(7, 0.0);
    both.insert(both.end(), again.begin(), again.end());
    expect_events(drain(), both);
    p = tick();
    EXPECT_EQ(p.at(920, 66), FACE);

    click(92 + 54, 359);  // follow toggle, cached 1
    tick();
    expect_events(drain(), gesture(1006, 0.0));
    click(210 + 38 * 4 + 16, 359);  // pattern button 5
    tick();
    expect_events(drain(), gesture(1007, 5.0));
    p = tick();
    EXPECT_EQ(p.at(94, 348), FACE);
    EXPECT_EQ(p.at(364, 348), LIT);
    EXPECT_EQ(p.at(212, 348), FACE);
}

class LoadTest : public InputTest {
protected:
    void SetUp() override {
        InputTest::SetUp();
        home = std::filesystem::temp_directory_path() /
               ("brs-editor-home-" + std::to_string(::getpid()));
        std::filesystem::create_directories(home);
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        InputTest::TearDown();
        std::filesystem::remove_all(home);
    }
    std::filesystem::path home;
};

TEST_F(LoadTest, LoadButtonImportsTheSetFileAndShowsTheStatus) {
    open();
    tick();
    drain();
    Picture p = tick();
    EXPECT_EQ(count(p, 660, 8, 316, 26, FILL_DRAG), 0) << "empty status";

    click(586, 359);  // "Set laden" without a file
    p = tick();
    EXPECT_TRUE(drain().empty());
    EXPECT_TRUE(host.rescans().empty());
    EXPECT_GT(count(p, 660, 8, 316, 26, FILL_DRAG), 30) << "status text";
    EXPECT_EQ(p.at(528, 348), FACE) << "the load button never lights";

    // A set whose kick level is 0.3, written by the kernel.
    brskern_t e = brskern_new(48000.0f);
    brskern_set_param(e, 0, "level", 0.3f);
    size_t n = brskern_save_set(e, nullptr, 0);
    std::string text(n, '\0');
    brskern_save_set(e, text.data(), n);
    brskern_free(e);
    text.resize(n - 1);
    std::filesystem::create_directories(home / "Documents/Velmora");
    std::ofstream(home / "Documents/Velmora/brisanto-set.json") << text;
    host.setParam(1006, 0.0);

    click(586, 359);
    p = tick();
    ASSERT_EQ(host.rescans().size(), 1u);
    EXPECT_EQ(host.rescans()[0], 1u);
    EXPECT_TRUE(drain().empty()) << "the import does not go through the edit queue";
    EXPECT_NEAR(param(0), 0.3, 1e-6);
    // The sliders follow: kick level 0.3 fills lround(32.4) = 32 pixels; follow is on again.
    EXPECT_EQ(p.at(92 + 30, 66), ACCENT);
    EXPECT_EQ(p.at(92 + 32, 66), FACE);
    EXPECT_EQ(p.at(94, 348), LIT);
}

// A FIFO in place of the set file: the button's import returns at once
// (nobody will ever write into it) and says there is no set file.
TEST_F(LoadTest, LoadButtonDoesNotWaitOnAFifo) {
    open();
    tick();
    drain();
    std::filesystem::create_directories(home / "Documents/Velmora");
    const std::string path = (home / "Documents/Velmora/brisanto-set.json").string();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const std::string before = brs::plug::from(host.plugin())->status;
    click(586, 359);
    auto f = std::async(std::launch::async, [&] { return tick(); });
    const bool hung = f.wait_for(std::chrono::seconds(5)) != std::future_status::ready;
    if (hung) {  // free the import so that the test can end
        int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) ::close(w);
    }
    Picture p = f.get();
    EXPECT_FALSE(hung) << "the load button blocked the main thread";
    EXPECT_EQ(brs::plug::from(host.plugin())->status, "keine Datei " + path);
    EXPECT_TRUE(host.rescans().empty());
    EXPECT_GT(count(p, 660, 8, 316, 26, FILL_DRAG), 30) << "status text";
}

TEST_F(InputTest, HiddenEditorTracksInputAndRedrawsWhenShownAgain) {
    open();
    tick();
    tick();
    drain();
    const clap_plugin_gui_t* g = embed->gui();
    ASSERT_TRUE(g->hide(host.plugin()));
    sync();
    XWindowAttributes wa;
    ASSERT_TRUE(XGetWindowAttributes(embed->display(), embed->child(), &wa));
    EXPECT_EQ(wa.map_state, IsUnmapped);

    // Events still arrive and are handled while hidden.
    send_button(ButtonPress, 1, 948, KY, 3000);
    tick();
    expect_events(drain(), gesture(7, 1.0));
    tick();  // the change is found while hidden; nothing is drawn

    ASSERT_TRUE(g->show(host.plugin()));
    sync();
    ASSERT_TRUE(XGetWindowAttributes(embed->display(), embed->child(), &wa));
    EXPECT_EQ(wa.map_state, IsViewable);
    Picture before = embed->settle();
    EXPECT_EQ(before.at(920, 66), BG) << "nothing drawn before the first tick after show";
    Picture after = tick();
    EXPECT_EQ(after.at(920, 66), ACCENT);
    EXPECT_EQ(after.at(94, 348), LIT);
}

}  // namespace
