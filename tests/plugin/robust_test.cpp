// Hostile set files, host values and texts through the real brisanto.clap:
// imports that must neither hang nor lose the set, states at the size bound,
// values beyond their ranges, typed values in any locale, short text buffers.
#include <clocale>
#include <cstring>
#include <future>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "plugin/shell.h"
#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

using namespace std::chrono_literals;

// Every cached parameter value but the import trigger, for "nothing changed" checks.
std::vector<double> paramValues(Host& h) {
    std::vector<double> v;
    for (uint32_t id = 0; id < 1016; ++id) {
        double x;
        if (id != 1008 && h.getParam(id, &x)) v.push_back(x);
        if (id == 95) id = 999;
    }
    return v;
}

// ---- hostile set files ---------------------------------------------------------------

struct FileCase {
    const char* name;
    // Puts something at the set path (the folder exists).
    void (*make)(const std::string& path);
    // The expected status; "keine Datei " is followed by the path.
    const char* status;
};

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const FileCase FILE_CASES[] = {
    {"missing", [](const std::string&) {}, "keine Datei "},
    {"empty", [](const std::string& p) { writeBytes(p, ""); }, "Set nicht lesbar"},
    {"binary",
     [](const std::string& p) {
         std::string b(4096, '\0');
         std::mt19937 rng(7);
         for (char& c : b) c = char(rng() | 1);  // no zero byte, so all of it is read
         writeBytes(p, b);
     },
     "Set nicht lesbar"},
    {"directory", [](const std::string& p) { std::filesystem::create_directory(p); }, "keine Datei "},
    {"fifo without writer", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "keine Datei "},
    {"symlink loop", [](const std::string& p) { std::filesystem::create_symlink(p, p); }, "keine Datei "},
    {"/dev/zero behind a symlink", [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); },
     "keine Datei "},
    {"20 MB",
     [](const std::string& p) {
         std::string b = "{\"format\":\"vm-groove/1.0\",\"bpm\":120}";
         b.resize(20u * 1000 * 1000, ' ');
         writeBytes(p, b);
     },
     "Set nicht lesbar"},
};

// Runs one import on another thread; a hung import is freed by opening the
// FIFO at the set path for writing, and reported.
bool importWithin(const std::function<bool()>& run, const std::string& path, bool* hung) {
    auto f = std::async(std::launch::async, run);
    *hung = f.wait_for(5s) != std::future_status::ready;
    if (*hung) {
        int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) ::close(w);
    }
    return f.get();
}

TEST_F(PluginTest, HostileSetFilesNeitherHangNorLoseTheSet) {
    TempHome home;
    const std::string path = home.setFile();
    std::filesystem::create_directories(home.dir() + "/Documents/Velmora");
    host.setParam(0, 0.37);
    host.setParam(1006, 0.0);
    host.setParam(1007, 3.0);
    const std::string set = engineSet();
    const std::vector<double> values = paramValues(host);

    // The import the host parameter raises, served on the main thread (the
    // editor's button runs the same import; tests/editor covers it).
    const std::function<bool()> run = [&] { return import(); };
    for (const FileCase& c : FILE_CASES) {
        {
            SCOPED_TRACE(c.name);
            std::filesystem::remove_all(path);
            c.make(path);
            host.clearRescans();
            const auto t0 = std::chrono::steady_clock::now();
            bool hung = false;
            EXPECT_FALSE(importWithin(run, path, &hung));
            EXPECT_FALSE(hung) << "the import blocked the main thread";
            EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
            const std::string want = std::string(c.status) + (c.status[0] == 'k' ? path : "");
            EXPECT_EQ(plug()->status, want);
            EXPECT_EQ(engineSet(), set);
            EXPECT_EQ(paramValues(host), values);
            EXPECT_TRUE(host.rescans().empty());
        }
    }
    std::filesystem::remove_all(path);

    // A file its owner may not read. Root reads it all the same: then it is
    // simply imported, which is what can be checked there.
    std::string readable = set;
    readable.replace(readable.find("\"bpm\":175"), 9, "\"bpm\":133");
    writeBytes(path, readable);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    if (::access(path.c_str(), R_OK) != 0) {
        EXPECT_FALSE(import());
        EXPECT_EQ(plug()->status, "keine Datei " + path);
        EXPECT_EQ(engineSet(), set);
    } else {
        EXPECT_TRUE(import());
        EXPECT_EQ(plug()->status, "Set geladen");
        EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 133.0f);
    }
}

// ---- state size bound ----------------------------------------------------------------------

// A set document with a song chain of n entries, the first `longer` of them
// with two-digit repeats: saved, each entry is {"pat":P,"rep":R}.
std::string chainSet(const std::string& base, size_t n, size_t longer) {
    std::string s = base.substr(0, base.find("\"song\":[") + 8);
    s.reserve(n * 19 + s.size() + 64);
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ',';
        s += i < longer ? "{\"pat\":0,\"rep\":10}" : "{\"pat\":0}";
    }
    s += "]}";
    return s;
}

TEST_F(PluginTest, SavedStatesStayWithinTheBoundTheyAreLoadedWith) {
    const std::string base = engineSet();
    constexpr size_t SMALL = 1000;
    ASSERT_TRUE(host.loadState(chainSet(base, SMALL, 0)));
    const size_t smallSize = stateText().size();
    // Every further entry adds {"pat":0,"rep":1} and a comma; a two-digit
    // repeat one byte more.
    // A load keeps room for the longest tail a later save may write (a
    // raised import trigger), so the largest state accepted is that much
    // smaller than the bound. Just at it, one byte over it, and a set
    // document that alone is over the bound.
    const std::string plainTail = "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"hostPos\":1}";
    const size_t largest = plug::MAX_SET_BYTES - (plug::MAX_TAIL_BYTES - plainTail.size());
    for (size_t target : {largest, largest + 1, plug::MAX_SET_BYTES + 200}) {
        SCOPED_TRACE(target);
        const size_t extra = target - smallSize;
        const size_t n = SMALL + extra / 18, longer = extra % 18;
        const std::string doc = chainSet(base, n, longer);
        ASSERT_LT(doc.size(), plug::MAX_SET_BYTES);
        std::vector<uint8_t> state;
        if (target <= largest) {
            ASSERT_TRUE(host.loadState(doc)) << "the chain is accepted";
            ASSERT_TRUE(host.saveState(state));
            EXPECT_EQ(state.size(), target);
            // The settings with their longest texts still save within the bound.
            // (The pattern parameter would replace the chain; its text is one digit anyway.)
            host.setParam(1006, 0.0);
            host.setParam(1008, 2.2250738585072014e-308);
            plug::from(host.plugin())->zoom = 150;  // the editor's zoom, as its button sets it
            std::vector<uint8_t> longest;
            ASSERT_TRUE(host.saveState(longest));
            EXPECT_LE(longest.size(), plug::MAX_SET_BYTES);
            EXPECT_EQ(longest.size() - target,
                      std::strlen(",\"load\":2.2250738585072014e-308") + std::strlen(",\"zoom\":150"));
            EXPECT_LE(longest.size() - target + plainTail.size(), plug::MAX_TAIL_BYTES);
            plug::from(host.plugin())->zoom = 100;
            host.setParam(1008, 0.0);
            host.setParam(1006, 1.0);
            Host second;
            ASSERT_TRUE(open(second)) << second.error();
            EXPECT_TRUE(second.loadState(state)) << "what was saved loads again";
            std::vector<uint8_t> again;
            ASSERT_TRUE(second.saveState(again));
            EXPECT_EQ(again, state);
        } else {
            // Accepted, it could not be saved again within the bound: the
            // load is refused and the instance keeps what it holds, which saves.
            const std::string before = engineSet();
            EXPECT_FALSE(host.loadState(doc)) << "a set that could not be saved again is refused";
            EXPECT_EQ(engineSet(), before);
            ASSERT_TRUE(host.saveState(state));
            EXPECT_LE(state.size(), plug::MAX_SET_BYTES);
            // The same document as the import file: refused with the usual status.
            TempHome home;
            home.writeSet(doc);
            EXPECT_FALSE(import());
            EXPECT_EQ(plug()->status, "Set nicht lesbar");
            EXPECT_EQ(engineSet(), before);
        }
    }
}

// ---- host values beyond their ranges -------------------------------------------------------

struct Declared {
    clap_id id;
    double min, max;
};

std::vector<Declared> declared(const Host& h) {
    std::vector<Declared> v;
    for (uint32_t i = 0; i < h.params()->count(h.plugin()); ++i) {
        clap_param_info_t pi{};
        EXPECT_TRUE(h.params()->get_info(h.plugin(), i, &pi));
        v.push_back({pi.id, pi.min_value, pi.max_value});
    }
    return v;
}

// The cache holds engine values in single precision, inside the range.
double stored(clap_id id, double bound, double lo, double hi) {
    const bool engineValue = id < 1000 ? (id & 15u) != 7 : id <= 1005;
    if (!engineValue) return bound;
    float f = float(bound);
    if (double(f) < lo) f = std::nextafter(f, 1e30f);
    if (double(f) > hi) f = std::nextafter(f, -1e30f);
    return double(f);
}

// ---- set values beyond their ranges --------------------------------------------------------

// Hostile values a set document or a state may carry, one row each: the
// member as written in the set, or the state's tail.
struct HostileRow {
    const char* what;
    std::string from, to;  // replaced in the default set (empty: nothing)
    std::string tail;      // the state's last line
};

std::vector<HostileRow> hostileRows() {
    return {
        {"kick decay 1000", "\"decay\":0.349999994", "\"decay\":1000", ""},
        {"delay send 1e30", "\"delaySend\":0", "\"delaySend\":1e30", ""},
        {"master drive -7", "\"drive\":0.150000006", "\"drive\":-7", ""},
        {"bpm 1", "\"bpm\":175", "\"bpm\":1", ""},
        {"swing 1e9", "\"swing\":0", "\"swing\":1e9", ""},
        {"kick cut -5", "\"cut\":400", "\"cut\":-5", ""},
        {"kick res 1e30", "\"res\":6", "\"res\":1e30", ""},
        {"kick decay 0", "\"decay\":0.349999994", "\"decay\":0", ""},
        {"delay time 0", "\"delayTime\":0.375", "\"delayTime\":0", ""},
        {"master level 3", "\"level\":0.850000024", "\"level\":3", ""},
        {"pattern 99", "", "", "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":99}"},
        {"pattern -3", "", "", "\n{\"plugin\":\"brisanto\",\"follow\":0,\"pat\":-3}"},
        {"pattern 0", "", "", "\n{\"plugin\":\"brisanto\",\"pat\":0}"},
    };
}

// Every row as a state and as an import file: the host then reads every
// parameter inside its declared range, a deactivation and activation at the
// same rate changes nothing the host could save, and kick voices of the
// loaded set end within the longest declared decay.
TEST_F(PluginTest, HostileSetValuesReachTheHostInRangeAndStayThere) {
    activate(48000.0, 256);
    const std::vector<Declared> params = declared(host);
    const std::string base = engineSet();
    for (const HostileRow& row : hostileRows()) {
        for (bool viaImport : {false, true}) {
            if (viaImport && !row.tail.empty()) continue;  // an import carries no tail
            SCOPED_TRACE(std::string(row.what) + (viaImport ? " (import)" : " (state)"));
            std::string set = base;
            if (!row.from.empty()) {
                const size_t at = set.find(row.from);
                ASSERT_NE(at, std::string::npos);
                set.replace(at, row.from.size(), row.to);
            }
            ASSERT_TRUE(host.loadState(base));  // start from the default set each time
            if (viaImport) {
                TempHome home;
                home.writeSet(set);
                ASSERT_TRUE(import());
            } else {
                ASSERT_TRUE(host.loadState(set + row.tail));
            }
            for (const Declared& d : params) {
                const double v = value(d.id);
                EXPECT_GE(v, d.min) << "id " << d.id;
                EXPECT_LE(v, d.max) << "id " << d.id;
            }
            const std::string before = stateText();
            host.deactivate();
            ASSERT_TRUE(host.activate(48000.0, 1, 256));
            ASSERT_TRUE(host.startProcessing());
            EXPECT_EQ(stateText(), before) << "the re-activation changed the set";
            // What was saved loads back to the same state.
            ASSERT_TRUE(host.loadState(before));
            EXPECT_EQ(stateText(), before);

            EventList ev;
            for (int i = 0; i < 64; ++i) ev.noteOn(uint32_t(i), 36, 1.0);
            host.setTransport({false});
            run(256, &ev);
            for (int b = 0; b < 48000 * 2 / 256 + 20; ++b) run(256);
            EXPECT_TRUE(engine()->voices.empty()) << "kick voices outlived the longest declared decay";
        }
    }
}

TEST_F(PluginTest, HostValuesKeepToTheDeclaredRangeOnEveryPath) {
    activate();
    const std::vector<Declared> params = declared(host);
    ASSERT_EQ(params.size(), 57u);
    enum Path { PROCESS, FLUSH, EDITOR, TEXT };
    const char* const NAMES[] = {"process", "flush", "editor", "text"};
    for (Path path : {PROCESS, FLUSH, EDITOR, TEXT}) {
        for (const Declared& d : params) {
            if (d.id == 1008) continue;  // the trigger would start imports
            for (int side = 0; side < 2; ++side) {
                const double beyond = side ? d.max + 1000.0 * (d.max - d.min) + 1000.0 : d.min - 1e6;
                const double want = stored(d.id, side ? d.max : d.min, d.min, d.max);
                SCOPED_TRACE(std::string(NAMES[path]) + " id " + std::to_string(d.id) + " at " +
                             std::to_string(beyond));
                EventList ev;
                double v = beyond;
                switch (path) {
                case PROCESS:
                    ev.param(0, d.id, v);
                    run(32, &ev);
                    break;
                case FLUSH: host.setParam(d.id, v); break;
                case EDITOR: {
                    std::lock_guard<std::mutex> g(plug()->gevMutex);
                    plug()->gevs.push_back({d.id, v, 1});
                }
                    host.flush(nullptr, nullptr);
                    break;
                case TEXT: {
                    const std::string t = std::to_string(side ? d.max * 1000 + 1e6 : -1e6);
                    ASSERT_TRUE(host.params()->text_to_value(host.plugin(), d.id, t.c_str(), &v)) << t;
                    EXPECT_EQ(v, side ? d.max : d.min) << t;
                    host.setParam(d.id, v);
                    break;
                }
                }
                EXPECT_EQ(value(d.id), want);
                static const char* const KEYS[7] = {"level", "cut", "res", "decay", "drive", "delaySend", "reverbSend"};
                if (d.id < 96 && (d.id & 15u) != 7) {
                    EXPECT_EQ(double(kern.get_param(engine(), d.id / 16, KEYS[d.id & 15u])), want);
                }
            }
        }
    }
    // Non-finite values are still ignored.
    host.setParam(3, 0.5);
    host.setParam(3, std::nan(""));
    host.setParam(3, HUGE_VAL);
    EXPECT_EQ(value(3), 0.5);
}

// Decays far beyond 2 s cannot hold the voice list: 64 hits end within the
// longest declared decay and the list is free for new hits.
TEST_F(PluginTest, VoicesOfHugeDecaysEndAndFreeTheList) {
    activate(48000.0, 256);
    EventList ev;
    for (uint32_t t = 0; t < 6; ++t) ev.param(0, 16 * t + 3, 1000.0);
    run(256, &ev);
    ev.clear();
    const int16_t keys[] = {36, 37, 38, 41};  // tracks whose length follows the decay alone
    for (int i = 0; i < 64; ++i) ev.noteOn(uint32_t(i), keys[i % 4], 1.0);
    run(256, &ev);
    ASSERT_EQ(engine()->voices.size(), 64u);
    for (int b = 0; b < 48000 * 5 / 2 / 256; ++b) run(256);
    EXPECT_EQ(engine()->voices.size(), 0u) << "voices outlived the longest decay";
    ev.clear();
    ev.noteOn(0, 36, 1.0);
    run(256, &ev);
    EXPECT_EQ(engine()->voices.size(), 1u);
}

// ---- the import trigger in a saved state ----------------------------------------------

TEST_F(PluginTest, ImportTriggerSurvivesSaveAndLoadWithoutImporting) {
    TempHome home;
    std::string other = engineSet();
    other.replace(other.find("\"bpm\":175"), 9, "\"bpm\":140");
    home.writeSet(other);
    activate();
    EventList ev;
    ev.param(0, 1008, 1.0);
    run(64, &ev);
    ASSERT_EQ(value(1008), 1.0);
    host.plugin()->on_main_thread(host.plugin());  // imports: the cache reads 0 again
    ASSERT_EQ(plug()->status, "Set geladen");
    ASSERT_EQ(value(1008), 0.0);
    std::string plain = stateText();
    EXPECT_EQ(plain.substr(plain.find('\n')), "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"hostPos\":1}")
        << "a lowered trigger leaves the tail as it always was";

    // The host raises the trigger again (0, then 1) and saves.
    ev.clear();
    ev.param(0, 1008, 0.0).param(1, 1008, 1.0);
    run(64, &ev);
    ASSERT_EQ(value(1008), 1.0);
    const std::string raised = stateText();
    EXPECT_EQ(raised.substr(raised.find('\n')), "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"hostPos\":1,\"load\":1}");

    // Another instance loads it: the host reads 1 back, nothing is imported,
    // and the trigger stays armed like one the host raised itself.
    Host second;
    ASSERT_TRUE(open(second)) << second.error();
    std::string diff = other;
    diff.replace(diff.find("\"bpm\":140"), 9, "\"bpm\":150");
    home.writeSet(diff);
    const int requests = second.callbackRequests();
    ASSERT_TRUE(second.loadState(raised));
    double v = -1;
    ASSERT_TRUE(second.getParam(1008, &v));
    EXPECT_EQ(v, 1.0);
    EXPECT_EQ(second.callbackRequests(), requests);
    EXPECT_FALSE(second.idle());
    second.setParam(1008, 1.0);  // still 1: no rising edge
    EXPECT_FALSE(second.idle());
    plug::Plug* p2 = plug::from(second.plugin());
    EXPECT_EQ(p2->status, "");
    std::vector<uint8_t> again;
    ASSERT_TRUE(second.saveState(again));
    EXPECT_EQ(std::string(again.begin(), again.end()), raised);
    second.setParam(1008, 0.0);
    second.setParam(1008, 1.0);
    EXPECT_TRUE(second.idle());
    EXPECT_EQ(p2->status, "Set geladen");

    // Tails from older states, and odd values, load as before or are tolerated.
    const std::pair<const char*, double> tails[] = {
        {"{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":2}", 0.0},
        {"{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":2,\"load\":0.5}", 0.5},
        {"{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":2,\"load\":7}", 1.0},
        {"{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":2,\"load\":nan}", 0.0},
        {"{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":2,\"load\":", 0.0},
    };
    for (auto [tail, want] : tails) {
        ASSERT_TRUE(second.loadState(engineSet() + "\n" + tail)) << tail;
        ASSERT_TRUE(second.getParam(1008, &v));
        EXPECT_EQ(v, want) << tail;
        ASSERT_TRUE(second.getParam(1007, &v));
        EXPECT_EQ(v, 2.0) << tail;
        EXPECT_FALSE(second.idle()) << tail;
    }
}

// ---- typed values ------------------------------------------------------------------------------

struct TextCase {
    clap_id id;
    const char* text;
    bool ok;
    double value;
};

const TextCase TEXT_CASES[] = {
    {0, "0,5", true, 0.5},        {0, "0.5", true, 0.5},        {0, " 0,25 ", true, 0.25},
    {0, "1,5 s", false, 0},       {0, "0.5xyz", false, 0},      {0, "0,5,5", false, 0},
    {0, "1.234,5", false, 0},     {0, ",5", true, 0.5},         {0, "-0", true, 0.0},
    {0, "5e-1", true, 0.5},       {0, "0.5 Hz", false, 0},      {0, "nan", false, 0},
    {3, "350 ms", true, 0.35},    {3, "350ms", true, 0.35},     {3, "1,5 s", false, 0},
    {3, "120 msec", false, 0},    {3, "0,35", true, 0.35},      {3, "120 MS", true, 0.12},
    {1, "5 kHz", false, 0},       {1, "400 Hz", true, 400.0},   {1, "400,5 Hz", true, 400.5},
    {1, "400 hz", true, 400.0},   {1, "400 Hz x", false, 0},    {1, "400 %", false, 0},
    {1003, "375 ms", true, 0.375}, {1003, "0,375", true, 0.375}, {1003, "375 s", false, 0},
    {1002, "30 %", true, 30.0},   {1002, "30,5%", true, 30.5},  {1002, "30 ms", false, 0},
    {1007, "3", true, 3.0},       {1007, "3 Hz", false, 0},     {7, "stumm", true, 1.0},
    {7, "1", true, 1.0},          {1008, "\u2013", true, 0.0},  {1006, "ja", true, 1.0},
    {1012, "4,5", true, 4.5},     {5000, "2,25", true, 2.25},
};

void checkTexts(const Host& h) {
    for (const TextCase& c : TEXT_CASES) {
        double v = -99.0;
        const bool ok = h.params()->text_to_value(h.plugin(), c.id, c.text, &v);
        EXPECT_EQ(ok, c.ok) << "id " << c.id << " \"" << c.text << "\" gave " << v;
        if (ok && c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << "id " << c.id << " \"" << c.text << "\"";
        }
    }
    // Every parameter reads back its own texts over its range.
    for (uint32_t i = 0; i < h.params()->count(h.plugin()); ++i) {
        clap_param_info_t pi{};
        ASSERT_TRUE(h.params()->get_info(h.plugin(), i, &pi));
        for (int s = 0; s <= 20; ++s) {
            const double v = pi.min_value + (pi.max_value - pi.min_value) * s / 20.0;
            const std::string t = h.paramText(pi.id, v);
            double back = -99;
            ASSERT_TRUE(h.params()->text_to_value(h.plugin(), pi.id, t.c_str(), &back)) << pi.name << " " << t;
            EXPECT_EQ(h.paramText(pi.id, back), t) << pi.name;
        }
    }
}

TEST_F(PluginTest, TypedValuesReadTheSameInEveryLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    {
        SCOPED_TRACE("C locale");
        ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
        checkTexts(host);
    }
    {
        SCOPED_TRACE("de_DE.UTF-8");
        ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr)
            << "locale de_DE.UTF-8 is not installed; tools/setup-debian.sh generates it";
        EXPECT_EQ(host.paramText(0, 0.5), "0,50") << "the host's locale shows a decimal comma";
        checkTexts(host);
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

// ---- short text buffers ----------------------------------------------------------------------

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST_F(PluginTest, ValueTextsCutToShortBuffersStayWholeCharacters) {
    const clap_plugin_params_t* pa = host.params();
    for (const Declared& d : declared(host)) {
        for (double v : {d.min, d.max, (d.min + d.max) / 2, 0.0, 1.0}) {
            const std::string full = host.paramText(d.id, v);
            for (uint32_t cap = 0; cap <= full.size() + 2; ++cap) {
                SCOPED_TRACE("id " + std::to_string(d.id) + " \"" + full + "\" cap " + std::to_string(cap));
                std::vector<char> buf(cap + 4, '#');
                ASSERT_TRUE(pa->value_to_text(host.plugin(), d.id, v, buf.data(), cap));
                if (cap == 0) {
                    EXPECT_EQ(buf[0], '#') << "nothing written";
                    continue;
                }
                const char* end = static_cast<const char*>(std::memchr(buf.data(), 0, cap));
                ASSERT_NE(end, nullptr) << "not terminated";
                const std::string got(buf.data(), size_t(end - buf.data()));
                EXPECT_TRUE(validUtf8(got));
                EXPECT_EQ(full.compare(0, got.size(), got), 0) << "not a prefix: " << got;
                // The longest such prefix: one more character would not fit.
                size_t next = got.size() < full.size() ? got.size() + 1 : got.size();
                while (next < full.size() && (static_cast<unsigned char>(full[next]) & 0xC0) == 0x80) ++next;
                if (got.size() < full.size()) {
                    EXPECT_GT(next, cap - 1);
                }
                EXPECT_EQ(buf[cap], '#') << "written past the capacity";
            }
        }
    }
}

}  // namespace
}  // namespace brs::ptest
