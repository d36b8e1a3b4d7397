// The steps, sound and song pages: real pointer input through XTest into the
// editor of the real brisanto.clap, checked against the set read back from
// a saved state, the way a host would see it.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <thread>

#include "editor_fixture.h"
#include "editor/editor.h"
#include "engine/brskern.h"
#include "engine/engine.h"
#include "plugin/plug.h"
#include "grooves/grooves.h"

using namespace edtest;

namespace {

using edtest::Picture;  // Xrender has a Picture of its own

// Where the pages put their controls.
int page_x(int j) { return 660 + 81 * j + 36; }
constexpr int PAGE_Y = 359;
int cell_x(int col) { return 92 + 50 * col + 4 * (col / 4) + 23; }
int row_y(int t) { return 64 + 34 * t + 13; }

// A set as an engine made by the plug-in's own kernel, freed with it.
using EnginePtr = std::unique_ptr<brs::Engine, void (*)(brs::Engine*)>;

class PagesTest : public EditorTest {
protected:
    void SetUp() override {
        EditorTest::SetUp();
        mk = reinterpret_cast<brskern_t (*)(float)>(host.symbol("brskern_new"));
        fr = reinterpret_cast<void (*)(brskern_t)>(host.symbol("brskern_free"));
        ld = reinterpret_cast<bool (*)(brskern_t, const char*)>(host.symbol("brskern_load_set"));
        ASSERT_TRUE(mk && fr && ld);
    }
    brs::plug::Plug* plug() { return brs::plug::from(host.plugin()); }

    // The set the host would store now.
    EnginePtr saved() {
        std::vector<uint8_t> b;
        EXPECT_TRUE(host.saveState(b));
        std::string text(b.begin(), b.end());
        text.resize(text.find('\n'));
        EnginePtr e(mk(48000.0f), fr);
        EXPECT_TRUE(ld(e.get(), text.c_str()));
        return e;
    }
    void page(int j) {
        click(page_x(j), PAGE_Y);
        tick();
    }
    void wheel(int x, int y, bool up) { click(x, y, up ? 4 : 5); }

    // Byte offsets of the pattern store where a and b differ.
    static std::vector<std::size_t> diff(const brs::Engine& a, const brs::Engine& b) {
        std::vector<std::size_t> d;
        const auto* x = reinterpret_cast<const uint8_t*>(a.pats.data());
        const auto* y = reinterpret_cast<const uint8_t*>(b.pats.data());
        for (std::size_t i = 0; i < 8 * sizeof(brs::Pattern); ++i)
            if (x[i] != y[i]) d.push_back(i);
        return d;
    }
    static std::size_t at(int pat, int t, int s, int field) {
        return std::size_t(pat) * sizeof(brs::Pattern) + (std::size_t(t) * 64 + std::size_t(s)) * 6 + std::size_t(field);
    }

    brskern_t (*mk)(float) = nullptr;
    void (*fr)(brskern_t) = nullptr;
    bool (*ld)(brskern_t, const char*) = nullptr;
};

// ---- switching pages --------------------------------------------------------------

TEST_F(PagesTest, PageButtonsSwitchTheContentAndKeepTheBottomRow) {
    open();
    tick();
    for (int j : {1, 2, 3, 0}) {
        page(j);
        Picture p = tick();
        for (int k = 0; k < 4; ++k) EXPECT_EQ(p.at(page_x(k) - 34, 348), k == j ? LIT : FACE) << "page " << j << " button " << k;
        EXPECT_EQ(p.at(94, 348), LIT) << "the follow toggle stays, page " << j;
        EXPECT_EQ(p.at(212, 348), LIT) << "pattern button 1 stays, page " << j;
        // The mixer's separator is the mixer's alone.
        EXPECT_EQ(p.at(500, 272) == LINE, j == 0) << "page " << j;
    }
    // A page is the editor's own choice: a reopened editor shows the mixer.
    page(2);
    embed.reset();
    open();
    Picture p = tick();
    EXPECT_EQ(p.at(page_x(0) - 34, 348), LIT);
    EXPECT_EQ(p.at(page_x(2) - 34, 348), FACE);
}

// ---- steps ------------------------------------------------------------------------

TEST_F(PagesTest, ClicksPaintingAndTheWheelChangeExactlyTheirStepBytes) {
    open();
    tick();
    page(1);
    const int HOOVER = 2, BREAK = 3;
    struct Case {
        const char* what;
        std::function<void()> act;
        std::vector<std::size_t> bytes;  // offsets that change
    };
    std::vector<Case> cases = {
        {"click: on", [&] { click(cell_x(1), row_y(HOOVER)); }, {at(0, HOOVER, 1, 0)}},
        {"shift-click: accent", [&] { shift(true); click(cell_x(1), row_y(HOOVER)); shift(false); }, {at(0, HOOVER, 1, 1)}},
        {"button 3: accent", [&] { click(cell_x(2), row_y(HOOVER), 3); }, {at(0, HOOVER, 2, 1)}},
        {"paint three cells",
         [&] {
             move(cell_x(4), row_y(HOOVER));
             button(1, true);
             move(cell_x(5), row_y(HOOVER));
             move(cell_x(6), row_y(HOOVER));
             button(1, false);
         },
         {at(0, HOOVER, 4, 0), at(0, HOOVER, 5, 0), at(0, HOOVER, 6, 0)}},
        {"wheel note", [&] { wheel(cell_x(4), row_y(HOOVER), true); }, {at(0, HOOVER, 4, 2)}},
        {"wheel ratchet", [&] { click(92 + 72 + 10, 50); wheel(cell_x(5), row_y(HOOVER), true); }, {at(0, HOOVER, 5, 3)}},
        {"wheel slice on the break", [&] { click(92 + 144 + 10, 50); wheel(cell_x(0), row_y(BREAK), true); }, {at(0, BREAK, 0, 4)}},
        {"wheel slice elsewhere: nothing", [&] { wheel(cell_x(0), row_y(HOOVER), true); }, {}},
        {"wheel reverse on the break", [&] { click(92 + 216 + 10, 50); wheel(cell_x(3), row_y(BREAK), false); }, {at(0, BREAK, 3, 5)}},
        {"third bank: step 33", [&] { click(446 + 128 + 10, 50); click(cell_x(0), row_y(HOOVER)); }, {at(0, HOOVER, 32, 0)}},
    };
    EnginePtr before = saved();
    for (Case& c : cases) {
        c.act();
        tick();
        EnginePtr after = saved();
        EXPECT_EQ(diff(*before, *after), c.bytes) << c.what;
        before = std::move(after);
    }
    const brs::Step s = before->pats[0].steps[HOOVER][4];
    EXPECT_EQ(s.note, 1);
    EXPECT_EQ(before->pats[0].steps[HOOVER][5].rat, 2);
    EXPECT_EQ(before->pats[0].steps[BREAK][0].slice, 1);
    EXPECT_EQ(before->pats[0].steps[BREAK][3].rev, 1);
    // Each gesture told the host that the project changed (paging and
    // choosing the wheel's field or the bank are no change).
    EXPECT_EQ(host.dirtyMarks(), 9);
}

TEST_F(PagesTest, StepsOfTheSelectedPatternAndThePatternTools) {
    open();
    tick();
    page(1);
    click(210 + 38 * 2 + 16, 359);  // pattern button 3 (parameter 1007)
    tick();
    drain();
    click(cell_x(0), row_y(0));
    click(cell_x(2), row_y(1));
    tick();
    EnginePtr e = saved();
    EXPECT_EQ(e->pats[2].steps[0][0].on, 1);
    EXPECT_EQ(e->pats[2].steps[1][2].on, 1);
    EXPECT_EQ(e->pats[0].steps[0][0].acc, 1) << "pattern 1 keeps its groove";

    click(564 + 28 * 6 + 12, 315);  // copy pattern 3 to pattern 7
    tick();
    e = saved();
    EXPECT_EQ(std::memcmp(&e->pats[6], &e->pats[2], sizeof(brs::Pattern)), 0);

    click(944, row_y(1));  // clear the bass
    tick();
    e = saved();
    EXPECT_EQ(e->pats[2].steps[1][2].on, 0);
    EXPECT_EQ(e->pats[2].steps[0][0].on, 1);
    click(500, 315);  // clear the pattern
    tick();
    e = saved();
    for (int t = 0; t < 6; ++t)
        for (int s = 0; s < 64; ++s) {
            EXPECT_EQ(e->pats[2].steps[t][s].on, 0);
            EXPECT_EQ(e->pats[2].steps[t][s].slice, t == 3 ? s % 16 : 0) << "a cleared break walks its slices";
        }
    EXPECT_EQ(e->pats[6].steps[0][0].on, 1) << "the copy stays";

    // Length (1..64) and tempo (60..260) by their sliders: press at a quarter.
    click(92 + 27, 315);
    click(210 + 27, 315);
    tick();
    e = saved();
    EXPECT_EQ(e->len, 17u);  // 1 + 63 / 4, rounded
    EXPECT_FLOAT_EQ(e->bpm, 110.0f);
    // A picture: steps beyond the length are dimmed.
    Picture p = tick();
    EXPECT_EQ(p.at(cell_x(15), row_y(4) + 10), FACE);
    click(446 + 64 + 10, 50);  // steps 17..32
    p = tick();
    EXPECT_EQ(p.at(cell_x(0), row_y(4) + 10), FACE) << "step 17 is inside";
    EXPECT_EQ(p.at(cell_x(1), row_y(4) + 10), (Rgb8{18, 20, 26})) << "step 18 is beyond";

    // "Position folgt Host" is the plug-in's own setting, written at once.
    const int marks = host.dirtyMarks();
    EXPECT_TRUE(plug()->posFollow.load());
    click(889, 315);
    p = tick();
    EXPECT_FALSE(plug()->posFollow.load());
    EXPECT_EQ(p.at(802, 304), FACE);
    EXPECT_EQ(host.dirtyMarks(), marks + 1);
}

TEST_F(PagesTest, StartStopAndThePlayheadFollowTheSequencer) {
    host.setParam(1006, 0.0);  // the sequencer runs on its own
    ASSERT_TRUE(host.activate(48000.0, 1, 64));
    ASSERT_TRUE(host.startProcessing());
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::thread audio([&] {
        std::vector<float> l(64), r(64);
        while (!stop) {
            host.process(64, l.data(), r.data());
            ++blocks;
            std::this_thread::sleep_for(std::chrono::microseconds(1300));  // about real time
        }
    });
    open();
    tick();
    page(1);
    click(382, 315);  // Start
    tick();
    auto playing = [&] { return plug()->pubPlaying.load(); };
    for (int i = 0; i < 400 && !playing(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(playing()) << plug()->setHead.load() << " " << plug()->setTail.load() << " " << blocks.load();
    // The highlighted cell is the one that sounds: seen on several ticks.
    int seen = 0;
    for (int i = 0; i < 8; ++i) {
        // The sounding step is the one before the next; it may move on while
        // the picture is made, so it lies between the two reads.
        const int32_t n0 = plug()->pubStep.load();
        Picture p = tick();
        const int32_t n1 = plug()->pubStep.load();
        int lit = -1, count = 0;
        for (int col = 0; col < 16; ++col)
            if (p.at(cell_x(col) - 22, row_y(0) - 12) == FILL_DRAG) lit = col, ++count;
        EXPECT_EQ(count, 1);
        if (lit >= 0 && (lit + 1 - n0 + 16) % 16 <= (n1 - n0 + 16) % 16) ++seen;
        std::this_thread::sleep_for(std::chrono::milliseconds(45));
    }
    EXPECT_GE(seen, 4);
    Picture p = tick();
    EXPECT_EQ(p.at(330, 304), LIT) << "Stop lit while playing";
    click(382, 315);  // Stop
    tick();
    for (int i = 0; i < 400 && playing(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(playing());
    p = tick();
    for (int col = 0; col < 16; ++col) EXPECT_NE(p.at(cell_x(col) - 22, row_y(0) - 12), FILL_DRAG) << col;
    EXPECT_EQ(host.dirtyMarks(), 0) << "starting and stopping changes no set";
    stop = true;
    audio.join();
}

// ---- sound ------------------------------------------------------------------------

TEST_F(PagesTest, EverySoundSliderEditsItsTrackAndDoubleClickRestoresTheTrackDefault) {
    open();
    tick();
    page(2);
    drain();
    Time t0 = 1000;
    for (int t = 0; t < 6; ++t) {
        click(92 + 118 * t + 54, 77);
        tick();
        // Every slider of the page at a quarter of its travel.
        const brs::plug::XGui* g = plug()->gui;
        ASSERT_NE(g, nullptr);
        std::vector<brs::plug::XCtl> sliders;
        for (const auto& c : g->ctls)
            if (c.page == brs::plug::XP_KLANG && (c.kind == brs::plug::XK_SLIDER || c.kind == brs::plug::XK_SET_SLIDER))
                sliders.push_back(c);
        ASSERT_GE(sliders.size(), 6u) << "track " << t;
        for (const auto& c : sliders) {
            EnginePtr before = saved();
            click(c.x + 27, c.y + 13);
            tick();
            const double want = c.logScale ? c.lo * std::pow(c.hi / c.lo, 0.25) : c.lo + (c.hi - c.lo) * 0.25;
            if (c.kind == brs::plug::XK_SLIDER) {
                expect_events(drain(), {{7, c.id, 0.0}, {5, c.id, want}, {8, c.id, 0.0}});
                EXPECT_EQ(c.id / 16, uint32_t(t));
            }
            EnginePtr after = saved();
            for (int u = 0; u < 6; ++u)
                for (int i = 0; i < brs::NUM_PARAMS; ++i) {
                    const float w = u == t && i == c.b ? float(want) : before->tracks[u].p[i];
                    EXPECT_NEAR(after->tracks[u].p[i], w, 1e-4 * std::max(1.0f, std::fabs(w)))
                        << "track " << t << " slider " << c.b << ": track " << u << " value " << i;
                }
            // Double click: the track's own default.
            send_click(c.x + 80, c.y + 13, t0);
            send_click(c.x + 80, c.y + 13, t0 + 100);
            t0 += 1000;
            tick();
            drain();
            EXPECT_FLOAT_EQ(saved()->tracks[t].p[c.b], brs::defaultParam(t, c.b)) << "track " << t << " value " << c.b;
        }
    }
    // The bass's wave shape.
    click(92 + 118 + 54, 77);
    click(92 + 118 * 5 + 54, 141);
    tick();
    EXPECT_EQ(saved()->tracks[1].wave, 1);
    EXPECT_GT(host.dirtyMarks(), 40);
}

TEST_F(PagesTest, OutputToggleOnlyWithPerTrackOutputs) {
    open();
    tick();
    page(2);
    Picture p = tick();
    EXPECT_EQ(p.at(802, 66), BG) << "no toggle in the stereo plug-in";
    embed.reset();
    plug()->multi = true;
    open();
    tick();
    page(2);
    click(92 + 118 * 3 + 54, 77);  // the break
    click(889, 77);
    tick();
    EXPECT_EQ(plug()->route[3].load(), 1);
    EXPECT_EQ(plug()->route[0].load(), 0);
    EXPECT_EQ(host.dirtyMarks(), 1);
    plug()->multi = false;
}

// ---- song -------------------------------------------------------------------------

TEST_F(PagesTest, SongListEditsAndThePatternButtonRule) {
    open();
    tick();
    page(3);
    auto song = [&] {
        std::vector<std::pair<int, int>> v;
        EnginePtr e = saved();
        for (const brs::SongEntry& s : e->song) v.push_back({s.pat + 1, s.rep});
        return v;
    };
    using V = std::vector<std::pair<int, int>>;
    auto pat = [&](int j) { click(92 + 38 * (j - 1) + 16, 235); };
    auto tool = [&](int k) { click(92 + 118 * k + 54, 275); };
    auto slot = [&](int s) { click(92 + 55 * (s % 16) + 25, 64 + 34 * (s / 16) + 13); };

    pat(2);
    tool(0);  // add pattern 2, chosen
    pat(5);   // the chosen entry becomes pattern 5
    click(562, 235);
    click(562, 235);  // and plays three times
    tick();
    EXPECT_EQ(song(), (V{{5, 3}}));
    slot(20);  // nothing there: no entry chosen
    tool(0);   // a new entry takes pattern and repeats from above
    tick();
    EXPECT_EQ(song(), (V{{5, 3}, {5, 3}}));
    pat(8);  // the chosen (new) entry
    slot(0);
    tool(1);  // insert before the first
    tick();
    EXPECT_EQ(song(), (V{{8, 3}, {5, 3}, {8, 3}}));
    tool(4);  // the chosen first one moves later
    tick();
    EXPECT_EQ(song(), (V{{5, 3}, {8, 3}, {8, 3}}));
    slot(2);
    tool(3);  // and the last one earlier
    tick();
    EXPECT_EQ(song(), (V{{5, 3}, {8, 3}, {8, 3}}));
    tool(2);  // remove the chosen one
    tick();
    EXPECT_EQ(song(), (V{{5, 3}, {8, 3}}));
    wheel(92 + 25, 64 + 13, true);  // entry 1: one more pass
    shift(true);
    wheel(92 + 55 + 25, 64 + 13, false);  // entry 2: one pattern lower
    shift(false);
    tick();
    EXPECT_EQ(song(), (V{{5, 4}, {7, 3}}));
    Picture p = tick();
    EXPECT_EQ(p.at(92 + 55 + 1, 64 + 1), ACCENT) << "the chosen entry is framed";

    // A pattern button replaces the chain; the page brings the old one back.
    const V before = song();
    click(210 + 38 * 3 + 16, 359);  // pattern 4
    tick();
    drain();
    tick();
    EXPECT_EQ(song(), (V{{4, 1}}));
    tool(6);  // "Song zurückholen"
    tick();
    EXPECT_EQ(song(), before);
    tool(5);  // clear
    tick();
    EXPECT_TRUE(song().empty());
}

// ---- the whole way ------------------------------------------------------------------

// A groove made in the editor alone (steps with accents, notes, ratchets and
// slices, a sound value, a song chain) is in the project: an instance that
// loads the saved state renders the very same samples.
TEST_F(PagesTest, AGrooveMadeInTheEditorSoundsTheSameInTheReopenedProject) {
    open();
    tick();
    page(1);
    click(cell_x(0), row_y(2));          // hoover on step 1
    wheel(cell_x(0), row_y(2), false);   // a semitone down
    click(92 + 72 + 10, 50);             // the wheel changes ratchets
    wheel(cell_x(8), row_y(4), true);    // hat step 9: two hits
    shift(true);
    click(cell_x(3), row_y(3));          // break step 4, with accent
    shift(false);
    click(cell_x(3), row_y(3));          // and on
    click(92 + 144 + 10, 50);            // the wheel changes slices
    wheel(cell_x(3), row_y(3), true);
    page(2);
    click(92 + 54, 77);                  // the kick
    click(92 + 80, 141);                 // its tune
    page(3);
    click(92 + 38 + 16, 235);            // pattern 2 for the next entry
    click(92 + 54, 275);                 // add it
    click(92 + 16, 235);                 // pattern 1
    click(92 + 54, 275);                 // add it
    tick();
    std::vector<uint8_t> state;
    ASSERT_TRUE(host.saveState(state));

    Host other;
    ASSERT_TRUE(other.load(BRS_CLAP_PATH) && other.create());
    ASSERT_TRUE(other.loadState(state));
    embed.reset();
    std::vector<float> a(256), b(256), r(256);
    double energy = 0.0;
    for (Host* h : {&host, &other}) {
        ASSERT_TRUE(h->activate(48000.0, 1, 256));
        ASSERT_TRUE(h->startProcessing());
        h->setTransport({true, true, true, 175.0});
    }
    for (int blk = 0; blk < 600; ++blk) {  // two passes of the chain
        host.process(256, a.data(), r.data());
        other.process(256, b.data(), r.data());
        ASSERT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * 256), 0) << "block " << blk;
        for (float x : a) energy += double(x) * x;
    }
    EXPECT_GT(energy, 1.0);
    // The song page lights the entry that plays.
    open();
    tick();
    page(3);
    Picture p = tick();
    const int32_t pos = plug()->pubSongPos.load();
    ASSERT_TRUE(plug()->pubPlaying.load());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(p.at(92 + 55 * i + 4, 64 + 4), i == pos ? LIT : FACE) << "entry " << i;
    EnginePtr e = saved();
    EXPECT_EQ(e->pats[0].steps[2][0].note, -1);
    EXPECT_EQ(e->pats[0].steps[4][8].rat, 2);
    EXPECT_EQ(e->pats[0].steps[3][3].acc, 1);
    EXPECT_EQ(e->pats[0].steps[3][3].slice, 4);
    EXPECT_EQ(e->song.size(), 2u);
}

// ---- the way edits take ---------------------------------------------------------------

// Edits while the host does not process, while it processes 64-frame blocks
// on its audio thread, and around a state load and a set import.
TEST_F(PagesTest, EditsReachTheEngineWhateverTheHostDoesAndLoadsDiscardOlderOnes) {
    open();
    tick();
    page(1);
    // Inactive: the main thread applies them itself.
    click(cell_x(9), row_y(2));
    tick();
    EXPECT_EQ(plug()->engine->pats[0].steps[2][9].on, 1);
    EXPECT_EQ(saved()->pats[0].steps[2][9].on, 1);
    std::vector<uint8_t> state;
    ASSERT_TRUE(host.saveState(state));

    // Processing in 64-frame blocks at another rate: the engine is rebuilt
    // and the edit is carried across.
    ASSERT_TRUE(host.activate(44100.0, 1, 64));
    ASSERT_TRUE(host.startProcessing());
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        std::vector<float> l(64), r(64);
        while (!stop) {
            host.process(64, l.data(), r.data());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(saved()->pats[0].steps[2][9].on, 1);
    for (int col = 10; col < 16; ++col) click(cell_x(col), row_y(2));
    tick();
    EnginePtr e = saved();  // saved right after the edits: all of them
    for (int col = 9; col < 16; ++col) EXPECT_EQ(e->pats[0].steps[2][col].on, 1) << col;

    // A state load discards set edits queued before it. The host stops;
    // a pattern choice it has not flushed yet holds the next edit back.
    stop = true;
    audio.join();
    host.stopProcessing();
    host.deactivate();
    click(212 + 16, 359);  // pattern button 1: a host parameter edit, not flushed
    click(cell_x(0), row_y(5));
    tick();
    EXPECT_NE(plug()->setHead.load(), plug()->setTail.load()) << "queued behind the pattern choice";
    ASSERT_TRUE(host.loadState(state));
    drain();
    e = saved();
    EXPECT_EQ(e->pats[0].steps[5][0].on, 0) << "the queued edit is gone";
    EXPECT_EQ(e->pats[0].steps[2][10].on, 0) << "the loaded set";
    EXPECT_EQ(e->pats[0].steps[2][9].on, 1);
    EXPECT_EQ(plug()->setHead.load(), plug()->setTail.load());
    Picture p = tick();
    EXPECT_EQ(p.at(cell_x(0), row_y(5) + 10), FACE) << "the page shows the loaded set";

    // A set import replaces the set the same way.
    char tmpl[] = "/tmp/brs-pages-XXXXXX";
    const std::string home = mkdtemp(tmpl);
    std::filesystem::create_directories(home + "/Documents/Velmora");
    {
        std::string set(state.begin(), state.end());
        set.resize(set.find('\n'));
        const std::size_t len = set.find("\"len\":16");
        ASSERT_NE(len, std::string::npos);
        set.replace(len, 8, "\"len\":32");
        std::ofstream(home + "/Documents/Velmora/brisanto-set.json") << set;
    }
    const char* oldHome = std::getenv("HOME");
    const std::string keep = oldHome ? oldHome : "";
    setenv("HOME", home.c_str(), 1);
    click(586, 359);  // "Set laden"
    p = tick();
    if (oldHome) setenv("HOME", keep.c_str(), 1);
    std::filesystem::remove_all(home);
    e = saved();
    EXPECT_EQ(e->len, 32u);
    EXPECT_EQ(e->pats[0].steps[2][10].on, 0);
    click(cell_x(2), row_y(4));
    tick();
    EXPECT_EQ(saved()->pats[0].steps[4][2].on, 1) << "edits go on after the import";
}

// A full queue (the audio thread renders, but cannot take the instance lock
// for a while) is emptied by the main thread itself before the editor adds
// to it: nothing is dropped, nothing overtakes.
TEST_F(PagesTest, AFullQueueIsEmptiedInOrderNotDropped) {
    ASSERT_TRUE(host.activate(48000.0, 1, 64));
    ASSERT_TRUE(host.startProcessing());
    open();
    tick();
    page(1);
    brs::plug::Plug* p = plug();
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        std::vector<float> l(64), r(64);
        while (!stop) {
            host.process(64, l.data(), r.data());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    {
        // The lock is busy for 300 ms: blocks are silent and take nothing.
        std::mutex ready;
        ready.lock();
        std::thread holder([&] {
            std::lock_guard<std::mutex> g(p->engineMutex);
            ready.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        ready.lock();
        // Fill the queue as the editor would: the note of hoover step 8 counts
        // up, the last edit leaves it at 7.
        for (uint32_t i = 0; i < brs::plug::SET_EDIT_CAP; ++i) {
            brs::plug::SetEdit e;
            e.kind = brs::plug::SE_STEP;
            e.b = 2;
            e.c = 7;
            e.step = brs::Step{0, 0, int8_t(int(i % 8)), 1, 0, 0};
            e.seq = ++p->editSeq;
            p->setq[(p->setTail.load() + 0) % brs::plug::SET_EDIT_CAP] = e;
            p->setTail.store(p->setTail.load() + 1);
        }
        ASSERT_EQ(p->setTail.load() - p->setHead.load(), brs::plug::SET_EDIT_CAP);
        click(cell_x(1), row_y(2));  // hoover step 2 on: the queue has no room
        tick();
        holder.join();
    }
    for (int i = 0; i < 500 && p->setHead.load() != p->setTail.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    audio.join();
    EnginePtr e = saved();
    EXPECT_EQ(e->pats[0].steps[2][7].note, 7) << "every queued edit, in order";
    EXPECT_EQ(e->pats[0].steps[2][1].on, 1) << "and the click after them";
    EXPECT_TRUE(p->gui->note.empty()) << "nothing was refused";
}

// Edits left queued when the host stops sending blocks reach the engine on the
// editor's next tick, not only with the next save.
TEST_F(PagesTest, EditsLeftQueuedWhenBlocksStopArriveOnTheNextTick) {
    ASSERT_TRUE(host.activate(48000.0, 1, 64));
    ASSERT_TRUE(host.startProcessing());
    open();
    tick();
    page(1);
    brs::plug::Plug* p = plug();
    std::atomic<bool> stop{false};
    std::mutex ready;
    ready.lock();
    std::thread holder([&] {  // blocks keep coming but find the lock busy
        std::lock_guard<std::mutex> g(p->engineMutex);
        ready.unlock();
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ready.lock();
    std::thread audio([&] {
        std::vector<float> l(64), r(64);
        while (!stop) {
            host.process(64, l.data(), r.data());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    click(cell_x(6), row_y(2));
    tick();
    EXPECT_NE(p->setHead.load(), p->setTail.load()) << "queued for the next block";
    stop = true;
    audio.join();
    holder.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // no block for a while
    tick();
    EXPECT_EQ(p->setHead.load(), p->setTail.load());
    EXPECT_EQ(p->engine->pats[0].steps[2][6].on, 1);
}

// Host parameter edits and set edits made one after the other keep their
// order, even when the host drains them in one go.
TEST_F(PagesTest, PatternButtonAndSongEditsKeepTheirOrder) {
    ASSERT_TRUE(host.activate(48000.0, 1, 64));
    // Activated, but no block comes for now: the edits wait for the flush.
    open();
    tick();
    page(3);
    click(210 + 38 * 1 + 16, 359);  // pattern 2: chain [2]
    click(92 + 38 * 6 + 16, 235);   // next entry: pattern 7
    click(92 + 54, 275);            // add: [2, 7]
    tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drain();  // the flush applies both queues in their order
    std::vector<int> pats;
    EnginePtr e = saved();
    for (const brs::SongEntry& s : e->song) pats.push_back(s.pat + 1);
    EXPECT_EQ(pats, (std::vector<int>{2, 7}));
}

}  // namespace

// ---- factory sets on the song page ----------------------------------------------------

// The arrows step through the factory sets (wrapping at either end) and
// "laden" loads the one shown as the set import would: status, parameter
// rescan, and the whole set in the state the host saves next.
TEST_F(PagesTest, SongPageLoadsTheChosenFactorySet) {
    const int n = int(brs::grooves::count());
    ASSERT_GE(n, 3);
    open();
    tick();
    page(3);
    auto prev = [&] { click(656 + 13, 235); };
    auto next = [&] { click(866 + 13, 235); };
    auto load = [&] { click(900 + 39, 235); };
    struct Case {
        int prevs, nexts;  // presses from where the last case left off
        int want;          // the factory set loaded
    };
    const Case cases[] = {
        {0, 2, 2},      // forward
        {1, 0, 1},      // and back
        {2, 0, n - 1},  // back past the first wraps to the last
        {0, 1, 0},      // forward past the last wraps to the first
    };
    for (const Case& c : cases) {
        for (int k = 0; k < c.prevs; ++k) prev();
        for (int k = 0; k < c.nexts; ++k) next();
        plug()->status.clear();
        load();
        tick();
        EXPECT_EQ(plug()->status, "Set geladen") << "set " << c.want;
        const brs::grooves::FactorySet* f = brs::grooves::at(std::size_t(c.want));
        EnginePtr want(mk(48000.0f), fr);
        ASSERT_TRUE(ld(want.get(), f->text)) << f->key;
        EnginePtr got = saved();
        EXPECT_TRUE(diff(*got, *want).empty()) << "patterns of " << f->key;
        EXPECT_EQ(got->bpm, want->bpm) << f->key;
        EXPECT_EQ(got->len, want->len) << f->key;
        ASSERT_EQ(got->song.size(), want->song.size()) << f->key;
        for (std::size_t i = 0; i < got->song.size(); ++i) {
            EXPECT_EQ(got->song[i].pat, want->song[i].pat) << f->key << " entry " << i;
            EXPECT_EQ(got->song[i].rep, want->song[i].rep) << f->key << " entry " << i;
        }
    }
    // The page is still drawn in its palette after loads: the name field's
    // face, framed, between the arrows.
    edtest::Picture p = tick();
    EXPECT_EQ(p.at(686, 222), LINE);
    EXPECT_EQ(p.at(688, 224), FACE);
}
