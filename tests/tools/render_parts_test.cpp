// brisanto-render's parts: the command line and the file writers.
#include <dirent.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/brisanto-render/opts.h"
#include "tools/brisanto-render/wavout.h"

namespace brs::render {
namespace {

struct Parsed {
    bool ok;
    Options o;
    std::string error;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "brisanto-render");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    p.ok = parse_options(static_cast<int>(args.size()), argv.data(), &p.o, &p.error);
    return p;
}

TEST(RenderOptions, DefaultsRenderEightBarsOfFloatAt48k) {
    Parsed p = parse({});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.o.output, "brisanto-demo.wav");
    EXPECT_EQ(p.o.rate, 48000u);
    EXPECT_EQ(p.o.format, Format::Float32);
    EXPECT_EQ(p.o.pattern, 0);
    EXPECT_EQ(p.o.bars, 0.0);
    EXPECT_EQ(p.o.seconds, 0.0);
    EXPECT_EQ(p.o.tempo, 0.0);
    EXPECT_TRUE(p.o.plugin.empty() && p.o.setFile.empty() && p.o.stateFile.empty() && p.o.params.empty());
    EXPECT_EQ(kDefaultBars, 8.0);
}

TEST(RenderOptions, LongShortAndEqualsFormsAllParse) {
    Parsed p = parse({"--plugin=x.clap", "-s", "a.json", "--pattern", "3", "-t", "142,5", "--takte=4", "-o", "b.wav",
                      "--format=24", "-r", "44100", "--block", "64", "--zustand-speichern", "z"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.o.plugin, "x.clap");
    EXPECT_EQ(p.o.setFile, "a.json");
    EXPECT_EQ(p.o.pattern, 3);
    EXPECT_EQ(p.o.tempo, 142.5);
    EXPECT_EQ(p.o.bars, 4.0);
    EXPECT_EQ(p.o.output, "b.wav");
    EXPECT_EQ(p.o.format, Format::Pcm24);
    EXPECT_EQ(p.o.rate, 44100u);
    EXPECT_EQ(p.o.block, 64u);
    EXPECT_EQ(p.o.saveState, "z");

    p = parse({"-z", "st", "-d", "2.25", "-f", "16", "-k", "1", "-m", "8"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.o.stateFile, "st");
    EXPECT_EQ(p.o.seconds, 2.25);
    EXPECT_EQ(p.o.format, Format::Pcm16);
    EXPECT_EQ(p.o.block, 1u);
    EXPECT_EQ(p.o.pattern, 8);

    EXPECT_TRUE(parse({"--hilfe"}).o.help);
    EXPECT_TRUE(parse({"-h"}).o.help);
    EXPECT_TRUE(parse({"--help"}).o.help);
    // The parser starts afresh every time: a second parse does not inherit the first.
    EXPECT_EQ(parse({}).o.pattern, 0);
}

TEST(RenderOptions, MutesSoloAndParametersBecomeHostParameterValues) {
    Parsed p = parse({"--solo", "Hoover"});
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.o.params.size(), 6u);
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(p.o.params[t].id, uint32_t(16 * t + 7));  // the "Stumm" parameter of track t
        EXPECT_EQ(p.o.params[t].value, t == 2 ? 0.0 : 1.0);
    }
    p = parse({"--stumm", "hat,stab", "--param", "1002=30", "--param", "17=900,5"});
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.o.params.size(), 4u);
    EXPECT_EQ(p.o.params[0].id, 71u);
    EXPECT_EQ(p.o.params[1].id, 87u);
    EXPECT_EQ(p.o.params[2].id, 1002u);
    EXPECT_EQ(p.o.params[2].value, 30.0);
    EXPECT_EQ(p.o.params[3].id, 17u);
    EXPECT_EQ(p.o.params[3].value, 900.5);
    // Every declared id is accepted, the gaps between them are not.
    for (uint32_t id : {0u, 7u, 80u, 87u, 1000u, 1008u}) EXPECT_TRUE(parse({"--param", std::to_string(id) + "=1"}).ok);
    for (uint32_t id : {8u, 15u, 88u, 96u, 999u, 1009u}) EXPECT_FALSE(parse({"--param", std::to_string(id) + "=1"}).ok);
}

TEST(RenderOptions, OutOfRangeAndMalformedValuesAreRefusedWithTheirReason) {
    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--pattern", "0"}, "Pattern muss 1 bis 8 sein: 0"},
        {{"--pattern", "2.5"}, "Pattern muss 1 bis 8 sein"},
        {{"--tempo", "59.9"}, "Tempo muss zwischen 60 und 260 BPM liegen"},
        {{"--tempo", "nan"}, "Tempo"},
        {{"--tempo", "175bpm"}, "Tempo"},
        {{"--takte", "0"}, "Taktzahl muss größer als 0 sein"},
        {{"--sekunden", "-1"}, "Sekunden müssen größer als 0 sein"},
        {{"--sekunden", "inf"}, "Sekunden"},
        {{"--rate", "7999"}, "Abtastrate"},
        {{"--rate", "44100.5"}, "Abtastrate"},
        {{"--block", "8193"}, "Blockgröße"},
        {{"--block", "0"}, "Blockgröße"},
        {{"--format", "pcm"}, "Format muss float, 24 oder 16 sein"},
        {{"--stumm", "kick,,bass"}, "unbekannte Spur: "},
        {{"--param", "1002"}, "ID=WERT"},
        {{"--param", "x=1"}, "ID=WERT"},
        {{"--set", "a", "--zustand", "b"}, "--set und --zustand schließen einander aus"},
        {{"-o", ""}, "Ausgabedatei fehlt"},
        {{"-x"}, "unbekannte Option: -x"},
        {{"--tempo"}, "braucht einen Wert"},
    };
    for (const auto& [args, msg] : bad) {
        Parsed p = parse(args);
        EXPECT_FALSE(p.ok) << args[0];
        EXPECT_NE(p.error.find(msg), std::string::npos) << args[0] << ": " << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos);
    }
}

TEST(RenderOptions, HelpNamesEveryOption) {
    std::string help = help_text();
    for (const char* opt : {"--plugin", "--set", "--zustand", "--zustand-speichern", "--pattern", "--tempo",
                            "--stumm", "--solo", "--param", "--takte", "--sekunden", "--ausgabe", "--format",
                            "--rate", "--block", "--hilfe"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

// ---- writers ------------------------------------------------------------------

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/brs-wav-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string path(const std::string& n) const { return dir_ + "/" + n; }
    // Files in the scratch directory, hidden ones included.
    int entries() const {
        int n = 0;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
            closedir(d);
        }
        return n;
    }
    static std::string slurp(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::string dir_;
};

TEST_F(Scratch, WavAppearsOnlyOnCommit) {
    std::ofstream(path("out.wav")) << "alt";
    std::string err;
    {
        WavOut w;
        ASSERT_TRUE(w.open(path("out.wav"), 44100, Format::Pcm24, &err)) << err;
        std::vector<float> frames(2 * 1000, 0.25f);
        ASSERT_TRUE(w.write(frames.data(), 1000, &err));
        ASSERT_TRUE(w.write(frames.data(), 500, &err));
        EXPECT_EQ(slurp(path("out.wav")), "alt") << "the target is untouched while writing";
        EXPECT_EQ(entries(), 2) << "target plus one temporary file";
        ASSERT_TRUE(w.commit(&err)) << err;
    }
    EXPECT_EQ(entries(), 1);
    SF_INFO info{};
    SNDFILE* sf = sf_open(path("out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 1500);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    float first[2] = {0, 0};
    sf_readf_float(sf, first, 1);
    sf_close(sf);
    EXPECT_NEAR(first[0], 0.25f, 1e-6f);
    struct stat st {};
    ASSERT_EQ(stat(path("out.wav").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u) << "an ordinary file mode, not the temporary file's 0600";
}

TEST_F(Scratch, AbandonedOrFailedWavLeavesNothing) {
    std::string err;
    {
        WavOut w;
        ASSERT_TRUE(w.open(path("a.wav"), 48000, Format::Float32, &err));
        float f[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        ASSERT_TRUE(w.write(f, 2, &err));
    }  // destroyed without commit
    EXPECT_EQ(entries(), 0);
    {
        WavOut w;
        ASSERT_TRUE(w.open(path("b.wav"), 48000, Format::Pcm16, &err));
        w.abort();
        EXPECT_EQ(entries(), 0);
        EXPECT_FALSE(w.commit(&err));
    }
    WavOut w;
    EXPECT_FALSE(w.open(path("fehlt/c.wav"), 48000, Format::Float32, &err));
    EXPECT_EQ(err, "Ausgabedatei nicht schreibbar: " + path("fehlt/c.wav") + " (Verzeichnis nicht vorhanden)");
    EXPECT_FALSE(w.open(dir_, 48000, Format::Float32, &err));
    EXPECT_NE(err.find("(ist ein Verzeichnis)"), std::string::npos) << err;
    EXPECT_EQ(entries(), 0);
}

TEST_F(Scratch, AtomicFileWriteReplacesWholeOrNothing) {
    std::string err;
    std::string big(300000, 'x');
    ASSERT_TRUE(write_file_atomically(path("s"), big.data(), big.size(), &err)) << err;
    EXPECT_EQ(slurp(path("s")), big);
    ASSERT_TRUE(write_file_atomically(path("s"), "kurz", 4, &err));
    EXPECT_EQ(slurp(path("s")), "kurz");
    EXPECT_FALSE(write_file_atomically(path("nein/s"), "x", 1, &err));
    EXPECT_NE(err.find("Datei nicht schreibbar: " + path("nein/s")), std::string::npos) << err;
    // Renaming onto a directory fails after the bytes were written: nothing stays behind.
    mkdir(path("d").c_str(), 0755);
    EXPECT_FALSE(write_file_atomically(path("d"), "x", 1, &err));
    EXPECT_EQ(entries(), 2);
}

}  // namespace
}  // namespace brs::render
