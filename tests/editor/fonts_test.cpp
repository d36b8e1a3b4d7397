// Without any font the editor draws everything but text. A program of its
// own: fontconfig reads its configuration once per process.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "editor_fixture.h"

using namespace edtest;

namespace {

class NoFontsTest : public EditorTest {
protected:
    void SetUp() override {
        conf = std::filesystem::temp_directory_path() / ("brs-nofonts-" + std::to_string(::getpid()) + ".conf");
        std::ofstream(conf) << "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n";
        setenv("FONTCONFIG_FILE", conf.c_str(), 1);
        EditorTest::SetUp();
    }
    void TearDown() override {
        EditorTest::TearDown();
        std::filesystem::remove(conf);
    }
    std::filesystem::path conf;
};

TEST_F(NoFontsTest, ControlsWorkWithoutText) {
    open();
    Picture p = tick();
    EXPECT_EQ(count(p, 14, 8, 170, 26, ACCENT), 0) << "no title text";
    EXPECT_EQ(count(p, 14, 386, 962, 18, BG), 962 * 18) << "no help line";
    EXPECT_EQ(count(p, 93, 347, 106, 24, LIT), 106 * 24) << "follow toggle lit, without its label";
    EXPECT_EQ(p.at(250, 66), ACCENT);  // kick cutoff marker

    move(92 + 27, 77);
    button(1, true);
    button(1, false);
    tick();
    expect_events(drain(), {{7, 0, 0.0}, {5, 0, 0.25}, {8, 0, 0.0}});
}

}  // namespace
