// brisanto-render end to end: the real program, the real plug-in, files read back.
#include <pty.h>
#include <signal.h>

#include <cstring>

#include "tests/tools/render_fixture.h"

namespace brs::test {
namespace {

constexpr int RATE = 48000;
constexpr long TOL = 2;  // frames; a step's start is fractional, its first sample rounds

float peak(const std::vector<float>& x) {
    float p = 0.0f;
    for (float v : x) p = std::max(p, std::fabs(v));
    return p;
}

bool same_samples(const Wav& a, const Wav& b) {
    return a.ok && b.ok && a.left.size() == b.left.size() &&
           std::memcmp(a.left.data(), b.left.data(), a.left.size() * sizeof(float)) == 0 &&
           std::memcmp(a.right.data(), b.right.data(), a.right.size() * sizeof(float)) == 0;
}

// A set whose pattern 3 (index 2) holds a kick on steps 0 and 8 and a hat on
// steps 4 and 12, selected by the song chain, at 140 BPM.
std::string set_140(bool muteHat) {
    return make_set([&](brskern_t k) {
        brskern_set_bpm(k, 140.0f);
        for (int s : {0, 8}) brskern_set_step(k, 2, 0, s, 1, 1, 0, 1, 0, 0);
        for (int s : {4, 12}) brskern_set_step(k, 2, 4, s, 1, 1, 0, 1, 0, 0);
        const uint8_t song[2] = {2, 1};
        brskern_set_song(k, song, 2);
        brskern_set_mute(k, 4, muteHat);
    });
}

// ---- the default groove -----------------------------------------------------

TEST_F(RenderTest, NoArgumentsWritesEightBarsOfTheDefaultGrooveAndSaysWhere) {
    RunResult r = render({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress bar or chatter when standard error is not a terminal";
    EXPECT_NE(r.out.find(path("brisanto-demo.wav")), std::string::npos) << r.out;
    EXPECT_EQ(listing(), std::vector<std::string>{"brisanto-demo.wav"});

    Wav w = read_wav(path("brisanto-demo.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.rate, 48000);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(w.frames(), 526629u);  // 8 bars × 16 steps at 175 BPM = 10.971 s
    float p = std::max(peak(w.left), peak(w.right));
    EXPECT_GT(p, 0.05f) << "the default groove is audible";
    EXPECT_LE(p, 0.7080f) << "the limiter ceiling holds";
}

TEST_F(RenderTest, KickSoloHitsEveryFourStepsAt175Bpm) {
    RunResult r = render({"--solo", "kick", "-o", "kick.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    Wav w = read_wav(path("kick.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_TRUE(on_grid(onsets(w.left, RATE), grid(175.0, 4, RATE, 32), TOL));
    EXPECT_TRUE(on_grid(onsets(w.right, RATE), grid(175.0, 4, RATE, 32), TOL));
}

// Loudness envelope: RMS of each 10 ms window.
std::vector<double> envelope(const std::vector<float>& x, int rate) {
    std::size_t w = static_cast<std::size_t>(rate / 100);
    std::vector<double> env;
    for (std::size_t i = 0; i + w <= x.size(); i += w) {
        double s = 0.0;
        for (std::size_t j = i; j < i + w; ++j) s += double(x[j]) * x[j];
        env.push_back(std::sqrt(s / double(w)));
    }
    return env;
}

TEST_F(RenderTest, BlockSizeDoesNotChangeWhatIsPlayed) {
    // The same settings twice give the same bits.
    ASSERT_EQ(render({"--takte", "2", "-o", "r1.wav"}).status, 0);
    ASSERT_EQ(render({"--takte", "2", "-o", "r2.wav"}).status, 0);
    EXPECT_TRUE(slurp(path("r1.wav")) == slurp(path("r2.wav"))) << "the files differ";

    // Across block sizes the steps fire at the same frames. A step whose time
    // falls exactly on a frame may start one frame apart, since its fractional
    // start offset is measured from a block start, so the comparison is by
    // onsets and by loudness, not by bits.
    for (const char* track : {"kick", "bass", "hat", "stab"}) {
        SCOPED_TRACE(track);
        std::vector<std::vector<long>> seen;
        for (const char* block : {"64", "1024", "1000"}) {
            ASSERT_EQ(render({"--solo", track, "--block", block, "-o", "solo.wav"}).status, 0);
            Wav w = read_wav(path("solo.wav"));
            ASSERT_EQ(w.frames(), 526629u);
            seen.push_back(onsets(w.left, RATE));
        }
        ASSERT_FALSE(seen[0].empty());
        for (std::size_t b = 1; b < seen.size(); ++b) EXPECT_TRUE(on_grid(seen[b], seen[0], 1));
    }
    ASSERT_EQ(render({"--block", "64", "-o", "b64.wav"}).status, 0);
    ASSERT_EQ(render({"--block", "1024", "-o", "b1024.wav"}).status, 0);
    Wav a = read_wav(path("b64.wav")), b = read_wav(path("b1024.wav"));
    ASSERT_EQ(a.frames(), b.frames());
    std::vector<double> ea = envelope(a.left, RATE), eb = envelope(b.left, RATE);
    double top = *std::max_element(ea.begin(), ea.end());
    EXPECT_GT(top, 0.1);
    double worst = 0.0;
    for (std::size_t i = 0; i < ea.size(); ++i) worst = std::max(worst, std::fabs(ea[i] - eb[i]));
    EXPECT_LT(worst, 0.01 * top) << "10 ms loudness differs by " << worst;
}

TEST_F(RenderTest, HostTempoAndPatternReachThePlugin) {
    // The tempo travels with the transport: 140 BPM spaces the kicks 4 × 15/140 s apart.
    RunResult r = render({"--tempo", "140", "--solo", "kick", "--takte", "2", "-o", "t.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    Wav t = read_wav(path("t.wav"));
    EXPECT_EQ(t.frames(), static_cast<size_t>(std::lround(2 * 240.0 / 140.0 * RATE)));
    EXPECT_TRUE(on_grid(onsets(t.left, RATE), grid(140.0, 4, RATE, 8), TOL));

    // Pattern 2 of a fresh instance is empty; pattern 1 is the default groove.
    ASSERT_EQ(render({"--pattern", "2", "--takte", "1", "-o", "p2.wav"}).status, 0);
    ASSERT_EQ(render({"-m", "1", "--takte", "1", "-o", "p1.wav"}).status, 0);
    ASSERT_EQ(render({"--takte", "1", "-o", "p0.wav"}).status, 0);
    Wav p2 = read_wav(path("p2.wav")), p1 = read_wav(path("p1.wav")), p0 = read_wav(path("p0.wav"));
    ASSERT_TRUE(p2.ok);
    EXPECT_EQ(peak(p2.left) + peak(p2.right), 0.0f);
    EXPECT_TRUE(same_samples(p1, p0));
}

// ---- set documents ----------------------------------------------------------

TEST_F(RenderTest, SetFileBringsItsTempoPatternAndMutes) {
    spit(path("muted.json"), set_140(true));
    spit(path("open.json"), set_140(false));
    RunResult r = render({"--set", "muted.json", "--takte", "2", "-o", "muted.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(render({"-s", "open.json", "--takte", "2", "-o", "open.wav"}).status, 0);
    Wav muted = read_wav(path("muted.wav")), open = read_wav(path("open.wav"));
    ASSERT_TRUE(muted.ok);
    // Two bars at the set's own 140 BPM.
    EXPECT_EQ(muted.frames(), static_cast<size_t>(std::lround(2 * 240.0 / 140.0 * RATE)));
    // Pattern 3 plays: kicks every 8 steps; the muted hat adds nothing between them.
    EXPECT_TRUE(on_grid(onsets(muted.left, RATE), grid(140.0, 8, RATE, 4), TOL));
    // Unmuted, the hats come in halfway between the kicks.
    std::vector<long> found = onsets(open.left, RATE);
    for (long at : grid(140.0, 8, RATE, 4)) {
        long hat = at + std::lround(4 * 15.0 / 140.0 * RATE);
        EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](long f) { return std::labs(f - hat) <= TOL; }))
            << "no hat at frame " << hat;
    }

    // --pattern overrides the set's song: its pattern 1 is empty.
    ASSERT_EQ(render({"--set", "open.json", "--pattern", "1", "--takte", "1", "-o", "p1.wav"}).status, 0);
    EXPECT_EQ(peak(read_wav(path("p1.wav")).left), 0.0f);
}

TEST_F(RenderTest, SetFileWithLineBreaksPlaysLikeTheOneLineDocument) {
    std::string one = set_140(false), pretty;
    for (std::size_t i = 0; i < one.size(); ++i) {
        pretty += one[i];
        if (one[i] == ',' || one[i] == '{' || one[i] == '[') pretty += "\r\n  ";
    }
    spit(path("one.json"), one);
    spit(path("pretty.json"), pretty);
    ASSERT_EQ(render({"--set", "one.json", "--takte", "1", "-o", "one.wav"}).status, 0);
    RunResult r = render({"--set", "pretty.json", "--takte", "1", "-o", "pretty.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_samples(read_wav(path("one.wav")), read_wav(path("pretty.wav"))));
}

// Every factory set renders through --werkset (loaded by the plug-in itself)
// exactly as its file in grooves/ renders through --set, at its own tempo;
// names are matched by key or by name in any letter case; --hilfe lists them.
TEST_F(RenderTest, FactorySetsRenderAsTheirFilesAndAreListedInTheHelp) {
    const std::string help = render({"--hilfe"}).out;
    DIR* d = opendir((std::string(BRS_SOURCE_DIR) + "/grooves").c_str());
    ASSERT_NE(d, nullptr);
    int sets = 0;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() < 6 || n.compare(n.size() - 5, 5, ".json") != 0) continue;
        const std::string key = n.substr(0, n.size() - 5);
        SCOPED_TRACE(key);
        ++sets;
        EXPECT_NE(help.find("  " + key + " "), std::string::npos) << help;
        RunResult a = render({"--werkset", key, "--takte", "2", "-o", "w.wav"});
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(render({"--set", std::string(BRS_SOURCE_DIR) + "/grooves/" + n, "--takte", "2", "-o", "s.wav"}).status, 0);
        Wav w = read_wav(path("w.wav")), f = read_wav(path("s.wav"));
        EXPECT_TRUE(same_samples(w, f));
        EXPECT_GT(peak(w.left), 0.05f);
        for (float x : w.left) ASSERT_TRUE(std::isfinite(x));
    }
    closedir(d);
    EXPECT_GE(sets, 8);
    RunResult upper = render({"-w", "KETTENLAUF", "--takte", "1", "-o", "k.wav"});
    EXPECT_EQ(upper.status, 0) << upper.err;
    RunResult byName = render({"--werkset", "Breakcore rückwärts", "--takte", "1", "-o", "b.wav"});
    EXPECT_EQ(byName.status, 0) << byName.err;
    RunResult bad = render({"--werkset", "polka", "-o", "x.wav"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unbekanntes Werkset: polka (gabber-hoover, "), std::string::npos) << bad.err;
    RunResult both = render({"--werkset", "kettenlauf", "--set", "a.json"});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("schließen einander aus"), std::string::npos) << both.err;
}

TEST_F(RenderTest, GuidesPartialSetChangesOnlyWhatItNames) {
    const std::string example = std::string(BRS_SOURCE_DIR) + "/docs/examples/partial-set.json";
    RunResult r = render({"--set", example, "--takte", "1", "--zustand-speichern", "p.state"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_wav(path("brisanto-demo.wav")).frames(), 76800u);  // one bar at 150 BPM
    std::string state = slurp(path("p.state"));
    for (const char* part : {"\"bpm\":150,", "\"swing\":20,", "{\"key\":\"kick\",\"mute\":false,",
                             "{\"key\":\"bass\",\"mute\":true,", "{\"key\":\"hat\",\"mute\":false,"})
        EXPECT_NE(state.find(part), std::string::npos) << part;
    // The default groove stays: its kick now runs at 150 BPM.
    ASSERT_EQ(render({"--set", example, "--takte", "1", "--solo", "kick", "-o", "k.wav"}).status, 0);
    EXPECT_TRUE(on_grid(onsets(read_wav(path("k.wav")).left, RATE), grid(150.0, 4, RATE, 4), TOL));
}

// ---- plug-in state ----------------------------------------------------------

TEST_F(RenderTest, SavedStateRoundTripsThroughARender) {
    std::string set = set_140(false);
    spit(path("s.json"), set);
    RunResult r = render({"--set", "s.json", "--takte", "2", "-o", "a.wav", "--zustand-speichern", "a.state"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string state = slurp(path("a.state"));
    // A set file carries no plug-in settings: it loads as a state from before
    // "Position folgt Host" existed, with that setting off.
    EXPECT_EQ(state, set + "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"hostPos\":0}");

    r = render({"--zustand", "a.state", "--takte", "2", "-o", "b.wav", "--zustand-speichern", "b.state"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(path("b.state")), state);
    Wav a = read_wav(path("a.wav")), b = read_wav(path("b.wav"));
    EXPECT_GT(peak(a.left), 0.05f);
    EXPECT_TRUE(same_samples(a, b));

    // A state whose sequencer does not follow the host still plays, started by
    // MIDI Start, at the set's own tempo.
    spit(path("free.state"), set + "\n{\"plugin\":\"brisanto\",\"follow\":0,\"pat\":1}");
    r = render({"-z", "free.state", "--takte", "2", "-o", "c.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_samples(a, read_wav(path("c.wav"))));
}

// ---- failures -----------------------------------------------------------------

struct Failure {
    std::vector<std::string> args;
    int status;
    const char* message;  // part of the one line on standard error
};

TEST_F(RenderTest, FailuresGiveOneGermanLineAStatusAndNoOutputFile) {
    std::string wrongTag = make_set([](brskern_t) {});
    wrongTag.replace(wrongTag.find("1.0"), 3, "1.1");
    spit(path("wrong-tag.json"), wrongTag);
    spit(path("empty.json"), "");
    spit(path("not-a-plugin.clap"), "kein ELF\n");
    mkdir(path("ordner.wav").c_str(), 0755);
    const std::vector<std::string> before = listing();

    const Failure cases[] = {
        {{"--set", "fehlt.json"}, 1, "Set-Datei nicht lesbar: fehlt.json (nicht vorhanden)"},
        {{"--set", "ordner.wav"}, 1, "Set-Datei nicht lesbar: ordner.wav (ist ein Verzeichnis)"},
        {{"--set", "wrong-tag.json"}, 1, "Set-Datei abgelehnt: wrong-tag.json"},
        {{"--set", "empty.json"}, 1, "Set-Datei abgelehnt: empty.json"},
        {{"--zustand", "wrong-tag.json"}, 1, "Zustandsdatei abgelehnt: wrong-tag.json"},
        {{"-o", "kein/ordner/x.wav"}, 1, "Ausgabedatei nicht schreibbar: kein/ordner/x.wav"},
        {{"-o", "ordner.wav"}, 1, "Ausgabedatei nicht schreibbar: ordner.wav (ist ein Verzeichnis)"},
        {{"--plugin", "not-a-plugin.clap"}, 1, "Plug-in nicht ladbar: not-a-plugin.clap"},
        {{"--plugin", "fehlt.clap"}, 1, "Plug-in nicht ladbar: fehlt.clap (nicht vorhanden)"},
        {{"--zustand-speichern", "kein/ordner/z.state", "--takte", "1"}, 1, "Datei nicht schreibbar: kein/ordner"},
        {{"--pattern", "9"}, 2, "Pattern muss 1 bis 8 sein"},
        {{"--tempo", "300"}, 2, "Tempo muss zwischen 60 und 260 BPM liegen"},
        {{"--takte", "2", "--sekunden", "1"}, 2, "schließen einander aus"},
        {{"--sekunden", "4000"}, 2, "Länge zu groß"},
        {{"--format", "8"}, 2, "Format muss float, 24 oder 16 sein"},
        {{"--solo", "snare"}, 2, "unbekannte Spur: snare"},
        {{"--param", "8=1"}, 2, "unbekannte Parameter-ID: 8"},
        {{"--gibtsnicht"}, 2, "unbekannte Option: --gibtsnicht"},
        {{"--set"}, 2, "braucht einen Wert"},
        {{"zusatz"}, 2, "unerwartetes Argument: zusatz"},
    };
    for (const Failure& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        RunResult r = render(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("brisanto-render: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(listing(), before) << "no output and no temporary file is left behind";
    }
}

TEST_F(RenderTest, FailureKeepsAnOlderOutputFileUntouched) {
    spit(path("brisanto-demo.wav"), "alt");
    spit(path("bad.json"), "{\"format\":\"vm-groove/2.0\"}");
    EXPECT_EQ(render({"--set", "bad.json"}).status, 1);
    EXPECT_EQ(slurp(path("brisanto-demo.wav")), "alt");
    // A failure after the audio was rendered does not publish it either.
    EXPECT_EQ(render({"--takte", "1", "--zustand-speichern", "nirgends/z.state"}).status, 1);
    EXPECT_EQ(slurp(path("brisanto-demo.wav")), "alt");
    EXPECT_EQ(listing(), (std::vector<std::string>{"bad.json", "brisanto-demo.wav"}));
}

TEST_F(RenderTest, InterruptedRenderLeavesNoFile) {
    std::string exe = BRS_RENDER_EXE, o = path("lang.wav");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execl(exe.c_str(), exe.c_str(), "--sekunden", "3000", "-o", o.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the temporary file exists, then interrupt.
    bool started = false;
    for (int i = 0; i < 500 && !started; ++i) {
        usleep(10000);
        for (const std::string& n : listing()) started = started || n.find("lang.wav.") != std::string::npos;
    }
    usleep(100000);
    kill(pid, SIGINT);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(started);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT);
    EXPECT_EQ(listing(), std::vector<std::string>{});
}

// ---- the WAV header -----------------------------------------------------------

TEST_F(RenderTest, HeaderHoldsRateChannelsFormatAndLength) {
    struct Case {
        std::vector<std::string> args;
        int rate, format;
        size_t frames;
    };
    const Case cases[] = {
        {{"--format", "16", "--rate", "44100", "--sekunden", "1"}, 44100, SF_FORMAT_PCM_16, 44100},
        {{"-f", "24", "-r", "96000", "-d", "0,5"}, 96000, SF_FORMAT_PCM_24, 48000},
        {{"--takte", "1", "--tempo", "120"}, 48000, SF_FORMAT_FLOAT, 96000},  // 4 beats at 120 BPM = 2 s
        {{"--takte", "0.5", "--rate", "22050", "--tempo", "60"}, 22050, SF_FORMAT_FLOAT, 44100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "h.wav"});
        RunResult r = render(args);
        ASSERT_EQ(r.status, 0) << r.err;
        Wav w = read_wav(path("h.wav"));
        ASSERT_TRUE(w.ok);
        EXPECT_EQ(w.rate, c.rate);
        EXPECT_EQ(w.channels, 2);
        EXPECT_EQ(w.format, SF_FORMAT_WAV | c.format);
        EXPECT_EQ(w.frames(), c.frames);
        EXPECT_GT(peak(w.left), 0.05f);
    }
    // 16-bit PCM holds the float render to within one step of its quantiser.
    ASSERT_EQ(render({"--sekunden", "1", "-o", "f.wav"}).status, 0);
    ASSERT_EQ(render({"--sekunden", "1", "--format", "16", "-o", "i.wav"}).status, 0);
    Wav f = read_wav(path("f.wav")), i = read_wav(path("i.wav"));
    ASSERT_EQ(f.frames(), i.frames());
    float worst = 0.0f;
    for (size_t n = 0; n < f.frames(); ++n) worst = std::max(worst, std::fabs(f.left[n] - i.left[n]));
    EXPECT_LE(worst, 1.0f / 32768.0f);
}

// ---- progress on a terminal ----------------------------------------------------

TEST_F(RenderTest, ProgressBarAppearsOnATerminalForALongRender) {
    // A crowded set keeps the voice list full, and four minutes of it last
    // well over a second however fast the machine renders the plain groove.
    const std::string dense = path("dicht.json");
    spit(dense, make_set([](brskern_t k) {
        brskern_set_global(k, 0.0f, 64, false, 0.15f, 0.85f);
        for (uint32_t t = 0; t < 6; ++t) {
            brskern_set_param(k, t, "decay", 2.0f);
            for (uint32_t s = 0; s < 64; ++s) brskern_set_step(k, 0, t, s, 1, 1, 0, 4, int(s), 0);
        }
    }));
    std::string exe = BRS_RENDER_EXE, o = path("lang.wav");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(exe.c_str(), exe.c_str(), "--set", dense.c_str(), "--sekunden", "240", "--format", "16", "-o",
              o.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    char buf[512];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        seen.append(buf, static_cast<size_t>(n));
    }
    int st = 0;
    waitpid(pid, &st, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << seen;
    EXPECT_NE(seen.find("\r["), std::string::npos) << seen;
    EXPECT_NE(seen.find("100 %"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r\033[K"), std::string::npos) << "the bar is wiped before the closing line";
    EXPECT_NE(seen.find("lang.wav"), std::string::npos);
}

}  // namespace
}  // namespace brs::test
