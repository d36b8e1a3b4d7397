// Set documents: exact text, reader conversions and tolerances, rejection,
// write/read round trips, non-finite values, the pattern image.
#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <limits>

#include "set/set.h"
#include "set_fixture.h"

using settest::EnginePtr;
using settest::fresh;
using settest::save;

namespace {

const char* const KEYS[6] = {"kick", "bass", "hoover", "break", "hat", "stab"};

// The document built independently with printf-style formatting.
std::string referenceText(const brs::Engine& e) {
    std::string s;
    char b[128];
    auto g = [&](float f) {
        std::snprintf(b, sizeof b, "%.9g", static_cast<double>(f));
        s += b;
    };
    s += "{\"format\":\"vm-groove/1.0\",\"bpm\":";
    g(e.bpm);
    s += ",\"swing\":";
    g(e.swing);
    std::snprintf(b, sizeof b, ",\"len\":%.9g", static_cast<double>(e.len));
    s += b;
    s += ",\"master\":{\"drive\":";
    g(e.masterDrive);
    s += ",\"level\":";
    g(e.masterLevel);
    s += "},\"tracks\":[";
    for (int t = 0; t < 6; ++t) {
        s += t ? ",{\"key\":\"" : "{\"key\":\"";
        s += KEYS[t];
        s += e.mute[t] ? "\",\"mute\":true,\"p\":{" : "\",\"mute\":false,\"p\":{";
        for (int i = 0; i < 20; ++i) {
            s += i ? ",\"" : "\"";
            s += brs::PARAM_NAMES[i];
            s += "\":";
            g(e.tracks[t].p[i]);
        }
        s += e.tracks[t].wave ? ",\"wave\":\"square\"}}" : ",\"wave\":\"saw\"}}";
    }
    s += "],\"pats\":[";
    for (int p = 0; p < 8; ++p) {
        s += p ? ",[" : "[";
        for (int t = 0; t < 6; ++t) {
            s += t ? ",[" : "[";
            for (int i = 0; i < 64; ++i) {
                const brs::Step& st = e.pats[p].steps[t][i];
                std::snprintf(b, sizeof b, "%s{\"on\":%d,\"acc\":%d,\"note\":%d,\"rat\":%d,\"slice\":%d,\"rev\":%d}",
                              i ? "," : "", st.on, st.acc, st.note, st.rat, st.slice, st.rev);
                s += b;
            }
            s += "]";
        }
        s += "]";
    }
    s += "],\"fx\":{\"delayTime\":";
    g(e.fx.delayTime);
    s += ",\"delayFb\":";
    g(e.fx.delayFb);
    s += ",\"reverbSize\":";
    g(e.fx.reverbSize);
    s += "},\"song\":[";
    for (std::size_t i = 0; i < e.song.size(); ++i) {
        std::snprintf(b, sizeof b, "%s{\"pat\":%d,\"rep\":%d}", i ? "," : "", e.song[i].pat, e.song[i].rep);
        s += b;
    }
    s += e.chain ? "],\"chain\":true}" : "],\"chain\":false}";
    return s;
}

// A document with the format tag followed by the given members.
std::string doc(const std::string& members) {
    return "{\"format\":\"vm-groove/1.0\"" + (members.empty() ? "" : "," + members) + "}";
}

bool load(brs::Engine* e, const std::string& text) { return brskern_load_set(e, text.c_str()); }

brs::Step stepOf(const std::string& json) {
    EnginePtr e = fresh();
    EXPECT_TRUE(load(e.get(), doc("\"pats\":[[[" + json + "]]]"))) << json;
    return e->pats[0].steps[0][0];
}

void expectStep(const brs::Step& s, int on, int acc, int note, int rat, int slice, int rev) {
    EXPECT_EQ(s.on, on);
    EXPECT_EQ(s.acc, acc);
    EXPECT_EQ(s.note, note);
    EXPECT_EQ(s.rat, rat);
    EXPECT_EQ(s.slice, slice);
    EXPECT_EQ(s.rev, rev);
}

}  // namespace

// ---- writer -------------------------------------------------------------------

TEST(SetWriter, FreshEngineText) {
    EnginePtr e = fresh();
    const std::string s = save(e.get());
    EXPECT_EQ(s.size(), 161993u);
    EXPECT_EQ(s.rfind("{\"format\":\"vm-groove/1.0\",\"bpm\":175,\"swing\":0,\"len\":16,"
                      "\"master\":{\"drive\":0.150000006,\"level\":0.850000024},\"tracks\":["
                      "{\"key\":\"kick\",\"mute\":false,\"p\":{\"tune\":100,\"pitchAmt\":6,"
                      "\"pitchDec\":0.0599999987,\"click\":0.400000006,\"tone\":3000,\"cut\":400,"
                      "\"res\":6,\"env\":0.5,\"decay\":0.349999994,\"drive\":0.600000024,"
                      "\"level\":0.899999976,\"detune\":22,\"slide\":12,\"slideT\":0.25,\"pitch\":0,"
                      "\"gate\":1,\"open\":0,\"chord\":3,\"delaySend\":0,\"reverbSend\":0,"
                      "\"wave\":\"saw\"}},{\"key\":\"bass\",",
                      0),
              0u);
    EXPECT_NE(s.find("{\"key\":\"hoover\",\"mute\":false,\"p\":{\"tune\":100,\"pitchAmt\":6,"
                     "\"pitchDec\":0.0599999987,\"click\":0.400000006,\"tone\":3000,\"cut\":1800,"
                     "\"res\":3,\"env\":0.5,\"decay\":0.5,\"drive\":0.300000012,"
                     "\"level\":0.600000024,"),
              std::string::npos);
    EXPECT_NE(s.find("\"wave\":\"saw\"}}],\"pats\":[[[{\"on\":0,\"acc\":0,\"note\":0,\"rat\":1,"
                     "\"slice\":0,\"rev\":0},{\"on\":0,"),
              std::string::npos);
    // Pattern 0, break track: slices 0..15 repeating.
    EXPECT_NE(s.find("\"slice\":14,\"rev\":0},{\"on\":0,\"acc\":0,\"note\":0,\"rat\":1,\"slice\":15,"
                     "\"rev\":0},{\"on\":0,\"acc\":0,\"note\":0,\"rat\":1,\"slice\":0,"),
              std::string::npos);
    const std::string tail =
        "\"rev\":0}]]],\"fx\":{\"delayTime\":0.375,\"delayFb\":0.400000006,"
        "\"reverbSize\":0.800000012},\"song\":[],\"chain\":false}";
    ASSERT_GE(s.size(), tail.size());
    EXPECT_EQ(s.substr(s.size() - tail.size()), tail);
    EXPECT_EQ(s.find_first_of(" \t\r\n"), std::string::npos);
    EXPECT_EQ(s, referenceText(*e));
}

// Every field at random (bytes over their whole range, floats over all
// finite bit patterns) against the printf-built text.
TEST(SetWriter, MatchesPrintfFormattingOverRandomEngines) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        EnginePtr e = fresh();
        e->bpm = settest::randomFloat(rng);
        e->swing = settest::randomFloat(rng);
        e->len = 1 + rng() % 64;
        e->masterDrive = settest::randomFloat(rng);
        e->masterLevel = settest::randomFloat(rng);
        for (auto& tr : e->tracks) {
            for (float& p : tr.p) p = settest::randomFloat(rng);
            tr.wave = static_cast<std::uint8_t>(rng() % 3);
        }
        for (bool& m : e->mute) m = rng() % 2;
        for (auto& pat : e->pats)
            for (auto& trk : pat.steps)
                for (auto& st : trk) {
                    std::uint32_t r = static_cast<std::uint32_t>(rng());
                    st = brs::Step{static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(r >> 8),
                                   static_cast<std::int8_t>(r >> 16), static_cast<std::uint8_t>(r >> 24),
                                   static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())};
                }
        e->song.clear();
        for (std::uint32_t i = rng() % 20; i > 0; --i)
            e->song.push_back({static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())});
        e->chain = rng() % 2;
        e->fx.delayTime = settest::randomFloat(rng);
        e->fx.delayFb = settest::randomFloat(rng);
        e->fx.reverbSize = settest::randomFloat(rng);
        ASSERT_EQ(save(e.get()), referenceText(*e));
    }
    // Edge floats.
    EnginePtr e = fresh();
    const float edges[] = {0.0f, -0.0f, FLT_MAX, -FLT_MAX, FLT_MIN, 1e-45f, 1e9f, 123456789.0f,
                           0.1f, 1e-5f, 100000000.0f, 999999999.0f, 1e-4f};
    for (float f : edges) {
        e->bpm = f;
        char want[64];
        std::snprintf(want, sizeof want, "\"bpm\":%.9g,", static_cast<double>(f));
        EXPECT_NE(save(e.get()).find(want), std::string::npos) << want;
    }
}

TEST(SetWriter, BufferProtocol) {
    EnginePtr e = fresh();
    const std::string s = save(e.get());
    const std::size_t n = brskern_save_set(e.get(), nullptr, 0);
    EXPECT_EQ(n, s.size() + 1);
    EXPECT_EQ(brskern_save_set(e.get(), nullptr, 1u << 20), n);  // no buffer: nothing written

    std::vector<char> small(n - 1, 'x');  // room for the text but not its zero
    EXPECT_EQ(brskern_save_set(e.get(), small.data(), small.size()), n);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](char c) { return c == 'x'; }));

    std::vector<char> big(n + 10, 'x');
    EXPECT_EQ(brskern_save_set(e.get(), big.data(), big.size()), n);
    EXPECT_EQ(std::string(big.data()), s);
    EXPECT_EQ(big[n], 'x');  // nothing beyond the terminating zero

    char one = 'x';
    EXPECT_EQ(brskern_save_set(nullptr, &one, 1), 0u);
    EXPECT_EQ(one, 'x');
}

// ---- reader: rejection ---------------------------------------------------------

TEST(SetReader, RejectedDocumentsLeaveTheEngineUntouched) {
    EnginePtr e = fresh();
    settest::randomEdits(e.get(), 77, 300);
    brskern_set_global(e.get(), e->swing, e->len, true, e->masterDrive, e->masterLevel);
    const std::string before = save(e.get());
    const std::vector<std::uint8_t> patsBefore(
        reinterpret_cast<const std::uint8_t*>(e->pats.data()),
        reinterpret_cast<const std::uint8_t*>(e->pats.data() + e->pats.size()));

    const char* bad[] = {
        "",
        "   ",
        "[]",
        "null",
        "\"vm-groove/1.0\"",
        "{}",
        "{\"bpm\":100}",
        "{\"format\":\"vm-groove/1.1\",\"bpm\":100}",
        "{\"format\":\"vm-groove/1.0 \",\"bpm\":100}",
        "{\"format\":\"VM-groove/1.0\",\"bpm\":100}",
        "{\"format\":\"vm-groove/1.\",\"bpm\":100}",
        "{\"format\":\"vm-groove/1.0\\u0000\",\"bpm\":100}",
        "{\"format\":1,\"bpm\":100}",
        "{\"format\":[\"vm-groove/1.0\"],\"bpm\":100}",
        "{\"format\":\"vm-groove/1.1\",\"format\":\"vm-groove/1.0\",\"bpm\":100}",
        "{\"format\":\"vm-groove/1.0\",\"bpm\":100",
        "{\"format\":\"vm-groove/1.0\",\"bpm\":100,\"pats\":[[[{\"on\":1}]]],\"song\":[1,2,x]}",
        "{\"format\":\"vm-groove/1.0\",\"song\":[{\"pat\":3}],\"bpm\":1e5e}",
        "{\"format\":\"vm-groove/1.0\",\"tracks\":[{\"mute\":true},{\"p\":{\"cut\":5}}],\"x\":[t]}",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(brskern_load_set(e.get(), text)) << text;
        ASSERT_EQ(save(e.get()), before) << text;
    }
    EXPECT_FALSE(brskern_load_set(e.get(), nullptr));
    EXPECT_FALSE(brskern_load_set(nullptr, doc("").c_str()));
    EXPECT_EQ(save(e.get()), before);
    EXPECT_TRUE(e->chain);
    EXPECT_EQ(0, std::memcmp(patsBefore.data(), e->pats.data(), patsBefore.size()));
}

TEST(SetReader, FormatTagRules) {
    EnginePtr e = fresh();
    const std::string before = save(e.get());
    // The tag alone is accepted and changes nothing.
    EXPECT_TRUE(load(e.get(), doc("")));
    EXPECT_EQ(save(e.get()), before);
    // Only the first "format" counts; the tag need not be the first member.
    EXPECT_TRUE(load(e.get(), doc("\"format\":\"vm-groove/2.0\",\"bpm\":120")));
    EXPECT_EQ(e->bpm, 120.0f);
    EXPECT_TRUE(brskern_load_set(e.get(), "{\"bpm\":130,\"format\":\"vm-groove/1.0\"}"));
    EXPECT_EQ(e->bpm, 130.0f);
    // Whitespace, a trailing comma and text after the document are tolerated.
    EXPECT_TRUE(brskern_load_set(e.get(), " {\n\"format\" : \"vm-groove/1.0\",\t\"bpm\":140,} junk"));
    EXPECT_EQ(e->bpm, 140.0f);
}

TEST(SetReader, SequencerStateChainAndLanesAreNotTouched) {
    EnginePtr e = fresh();
    brskern_set_global(e.get(), 0.0f, 16, true, 0.15f, 0.85f);
    brskern_start(e.get());
    std::vector<float> out(2 * 4000);
    brskern_process(e.get(), out.data(), 4000);
    std::vector<float> lanes(brs::AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
    lanes[5] = 0.25f;
    brskern_set_auto(e.get(), lanes.data(), lanes.size(), false);
    const auto step = e->step, pat = e->pat;
    const double clock = e->clock;
    const std::size_t voices = e->voices.size();

    std::string other = save(fresh().get());  // says "chain":false
    ASSERT_TRUE(load(e.get(), other));
    EXPECT_TRUE(e->chain);
    EXPECT_TRUE(e->playing);
    EXPECT_EQ(e->step, step);
    EXPECT_EQ(e->pat, pat);
    EXPECT_EQ(e->clock, clock);
    EXPECT_EQ(e->voices.size(), voices);
    EXPECT_FALSE(e->autoOn);
    EXPECT_EQ(e->autom[5], 0.25f);
}

// ---- reader: conversions ---------------------------------------------------------

TEST(SetReader, TempoSwingAndMasterAreKeptToTheirRanges) {
    EnginePtr e = fresh();
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":1000,\"swing\":-5,\"master\":{\"drive\":2.5}")));
    EXPECT_EQ(e->bpm, 260.0f);
    EXPECT_EQ(e->swing, 0.0f);
    EXPECT_EQ(e->masterDrive, 1.0f);
    EXPECT_EQ(e->masterLevel, 0.85f);  // missing member: unchanged
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":0.1,\"swing\":true,\"master\":{\"level\":false}")));
    EXPECT_EQ(e->bpm, 60.0f);
    EXPECT_EQ(e->swing, 1.0f);
    EXPECT_EQ(e->masterLevel, 0.0f);
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":97.3,\"swing\":61,\"master\":{\"drive\":-7,\"level\":0.5}")));
    EXPECT_EQ(e->bpm, 97.3f);  // narrowed to single precision
    EXPECT_EQ(e->swing, 60.0f);
    EXPECT_EQ(e->masterDrive, 0.0f);
    EXPECT_EQ(e->masterLevel, 0.5f);
    // Other kinds leave the fields alone; so does an empty or non-object "master".
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":\"fast\",\"swing\":null,\"master\":{}")));
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":[1],\"swing\":{\"a\":1},\"master\":[{\"drive\":9}]")));
    EXPECT_EQ(e->bpm, 97.3f);
    EXPECT_EQ(e->swing, 60.0f);
    EXPECT_EQ(e->masterDrive, 0.0f);
    // Duplicate keys: the first wins.
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":150,\"bpm\":160,\"master\":{\"drive\":0.5,\"drive\":0.7}")));
    EXPECT_EQ(e->bpm, 150.0f);
    EXPECT_EQ(e->masterDrive, 0.5f);
}

TEST(SetReader, PatternLengthRules) {
    const struct {
        const char* json;
        std::uint64_t want;
    } cases[] = {{"0", 1},     {"-3", 1},    {"false", 1}, {"true", 1},  {"64.9", 64}, {"1000", 64},
                 {"0.5", 1},   {"16.9", 16}, {"1", 1},     {"63.99", 63}, {"1e999", 64}, {"-1e999", 1},
                 {"-0", 1},    {"1e-300", 1}};
    for (const auto& c : cases) {
        EnginePtr e = fresh();
        e->len = 33;
        ASSERT_TRUE(load(e.get(), doc(std::string("\"len\":") + c.json))) << c.json;
        EXPECT_EQ(e->len, c.want) << c.json;
    }
    for (const char* keep : {"\"8\"", "null", "[8]", "{\"a\":8}"}) {
        EnginePtr e = fresh();
        e->len = 33;
        ASSERT_TRUE(load(e.get(), doc(std::string("\"len\":") + keep)));
        EXPECT_EQ(e->len, 33u) << keep;
    }
}

TEST(SetReader, TrackEntriesAndMuteKinds) {
    const struct {
        const char* json;
        bool want;
    } kinds[] = {{"true", true}, {"false", false}, {"0", false}, {"-0", false}, {"2", true},
                 {"-0.5", true}, {"null", false},  {"\"no\"", true}, {"\"\"", true},
                 {"[]", true},   {"{}", true}};
    for (const auto& k : kinds) {
        EnginePtr e = fresh();
        ASSERT_TRUE(load(e.get(), doc(std::string("\"tracks\":[{\"mute\":") + k.json + "}]")));
        EXPECT_EQ(e->mute[0], k.want) << k.json;
    }

    EnginePtr e = fresh();
    for (int t = 0; t < 6; ++t) brskern_set_mute(e.get(), t, true);
    brskern_set_param(e.get(), 0, "cut", 555.0f);
    // An empty object or a non-object clears the mute and keeps the rest;
    // a member without "mute" clears it too. Entries 3..5 are not given.
    ASSERT_TRUE(load(e.get(), doc("\"tracks\":[{},5,{\"key\":\"x\"}]")));
    EXPECT_FALSE(e->mute[0]);
    EXPECT_FALSE(e->mute[1]);
    EXPECT_FALSE(e->mute[2]);
    EXPECT_TRUE(e->mute[3]);
    EXPECT_TRUE(e->mute[5]);
    EXPECT_EQ(e->tracks[0].p[brs::P_CUT], 555.0f);

    // Tracks are taken by position (the "key" is not read); entries past six are ignored.
    ASSERT_TRUE(load(e.get(), doc("\"tracks\":[{\"key\":\"stab\",\"mute\":true},1,2,3,4,"
                                  "{\"mute\":true},{\"mute\":true,\"p\":{\"cut\":1}}]")));
    EXPECT_TRUE(e->mute[0]);
    EXPECT_TRUE(e->mute[5]);
    EXPECT_FALSE(e->mute[4]);
    // "tracks" that is not an array changes nothing.
    ASSERT_TRUE(load(e.get(), doc("\"tracks\":{\"0\":{\"mute\":false}}")));
    EXPECT_TRUE(e->mute[0]);
}

TEST(SetReader, TrackParametersAndWave) {
    EnginePtr e = fresh();
    brskern_set_wave(e.get(), 1, 1);
    ASSERT_TRUE(load(e.get(), doc("\"tracks\":[{\"p\":{\"cut\":900,\"cut\":950,\"res\":true,"
                                  "\"tune\":\"x\",\"Cut\":1,\"nope\":3,\"cut\\u0000\":7,"
                                  "\"level\":null,\"wave\":\"square\",\"reverbSend\":0.25}},"
                                  "{\"p\":{\"wave\":\"SQUARE\"}},{\"p\":{\"wave\":\"square\",\"wave\":1}},"
                                  "{\"p\":{\"wave\":\"saw\",\"wave\":\"square\"}},{\"p\":[1,2]}]")));
    const brs::Track& k = e->tracks[0];
    EXPECT_EQ(k.p[brs::P_CUT], 950.0f);  // within "p" the last of equal keys wins
    EXPECT_EQ(k.p[brs::P_RES], 1.0f);
    EXPECT_EQ(k.p[brs::P_TUNE], 100.0f);
    EXPECT_EQ(k.p[brs::P_LEVEL], 0.9f);
    EXPECT_EQ(k.p[brs::P_REVERB_SEND], 0.25f);
    EXPECT_EQ(k.wave, 1);
    EXPECT_EQ(e->tracks[1].wave, 0);
    EXPECT_EQ(e->tracks[2].wave, 0);
    EXPECT_EQ(e->tracks[3].wave, 1);
    EXPECT_EQ(e->tracks[4].p[brs::P_CUT], 8000.0f);  // "p" not an object
    // Every other parameter of track 0 kept its default.
    EnginePtr d = fresh();
    for (int i = 0; i < brs::NUM_PARAMS; ++i) {
        if (i != brs::P_CUT && i != brs::P_RES && i != brs::P_REVERB_SEND) {
            EXPECT_EQ(k.p[i], d->tracks[0].p[i]) << brs::PARAM_NAMES[i];
        }
    }
    // All twenty keys map to their own index (values inside every range).
    auto inside = [](int i) {
        const brs::ParamRange r = brs::PARAM_RANGES[i];
        return r.lo + (r.hi - r.lo) * float(i + 1) / 32.0f;
    };
    std::string p;
    for (int i = 0; i < brs::NUM_PARAMS; ++i)
        p += std::string(i ? "," : "") + "\"" + brs::PARAM_NAMES[i] + "\":" + std::to_string(inside(i));
    ASSERT_TRUE(load(e.get(), doc("\"tracks\":[1,1,1,1,1,{\"p\":{" + p + "}}]")));
    for (int i = 0; i < brs::NUM_PARAMS; ++i)
        EXPECT_EQ(e->tracks[5].p[i], std::stof(std::to_string(inside(i)))) << brs::PARAM_NAMES[i];
}

TEST(SetReader, StepConversions) {
    expectStep(stepOf("{}"), 0, 0, 0, 1, 0, 0);
    expectStep(stepOf("5"), 0, 0, 0, 1, 0, 0);
    expectStep(stepOf("[1,1]"), 0, 0, 0, 1, 0, 0);
    expectStep(stepOf("{\"x\":1}"), 0, 0, 0, 1, 0, 0);
    expectStep(stepOf("{\"on\":1,\"acc\":1,\"note\":7,\"rat\":3,\"slice\":9,\"rev\":1}"), 1, 1, 7, 3, 9, 1);
    // on / acc / rev: above 0 gives 1.
    expectStep(stepOf("{\"on\":0.5,\"acc\":-1,\"rev\":2}"), 1, 0, 0, 1, 0, 1);
    expectStep(stepOf("{\"on\":true,\"acc\":\"1\",\"rev\":false}"), 1, 0, 0, 1, 0, 0);
    // Duplicate keys in a step: the first wins.
    expectStep(stepOf("{\"on\":1,\"on\":0,\"note\":3,\"note\":4}"), 1, 0, 3, 1, 0, 0);

    const struct {
        const char* json;
        int want;
    } rat[] = {{"0", 1}, {"-2", 1}, {"true", 1}, {"false", 1}, {"256", 1}, {"257", 1}, {"2.9", 2},
               {"255", 255}, {"\"4\"", 1}, {"null", 1}, {"4294967296", 1}, {"0.5", 1}},
      note[] = {{"-12", -12}, {"300", 44}, {"-5", -5}, {"12.7", 12}, {"-12.7", -12}, {"true", 1},
                {"false", 0}, {"\"3\"", 0}, {"127", 127}, {"128", -128}, {"2147483647", -1},
                {"2147483648", 0}, {"-2147483648", 0}, {"-2147483649", 0}, {"3e9", 0}, {"1e999", 0}},
      slice[] = {{"-4", 0}, {"17", 17}, {"true", 1}, {"false", 0}, {"300", 44}, {"15.9", 15},
                 {"[3]", 0}, {"1e10", 0}};
    for (const auto& c : rat)
        EXPECT_EQ(stepOf(std::string("{\"rat\":") + c.json + "}").rat, c.want) << "rat " << c.json;
    for (const auto& c : note)
        EXPECT_EQ(stepOf(std::string("{\"note\":") + c.json + "}").note, c.want) << "note " << c.json;
    for (const auto& c : slice)
        EXPECT_EQ(stepOf(std::string("{\"slice\":") + c.json + "}").slice, c.want) << "slice " << c.json;

    // A note of -12 is the byte 0xF4 and is written back as -12.
    EnginePtr e = fresh();
    ASSERT_TRUE(load(e.get(), doc("\"pats\":[[[{\"note\":-12}]]]")));
    EXPECT_EQ(static_cast<std::uint8_t>(e->pats[0].steps[0][0].note), 0xF4);
    EXPECT_NE(save(e.get()).find("[[[{\"on\":0,\"acc\":0,\"note\":-12,\"rat\":1,"), std::string::npos);
}

TEST(SetReader, PatternStoreShapes) {
    EnginePtr e = fresh();
    brskern_set_step(e.get(), 0, 0, 0, 1, 0, 0, 1, 0, 0);
    brskern_set_step(e.get(), 1, 0, 5, 1, 1, 0, 1, 0, 0);
    brskern_set_step(e.get(), 1, 2, 0, 1, 1, 0, 1, 0, 0);
    brskern_set_step(e.get(), 1, 3, 0, 1, 1, 0, 1, 0, 0);
    brskern_set_step(e.get(), 1, 3, 1, 1, 1, 0, 1, 0, 0);
    // Pattern 0: empty array, unchanged. Pattern 1: track 0 gives two steps
    // (the rest keep their bytes), track 1 is empty, track 2 not an array.
    ASSERT_TRUE(load(e.get(), doc("\"pats\":[[],[[{\"on\":1,\"rat\":4},{}],[],{},[{}]]]")));
    EXPECT_EQ(e->pats[0].steps[0][0].on, 1);
    expectStep(e->pats[1].steps[0][0], 1, 0, 0, 4, 0, 0);
    expectStep(e->pats[1].steps[0][1], 0, 0, 0, 1, 0, 0);
    EXPECT_EQ(e->pats[1].steps[0][5].acc, 1);
    EXPECT_EQ(e->pats[1].steps[2][0].on, 1);
    EXPECT_EQ(e->pats[1].steps[3][0].on, 0);  // step 0 of track 3 overwritten
    EXPECT_EQ(e->pats[1].steps[3][1].on, 1);  // step 1 kept

    // Too long everywhere: extras are cut, nothing else moves.
    std::string steps, tracks, pats;
    for (int i = 0; i < 70; ++i) steps += std::string(i ? "," : "") + "{\"on\":1,\"slice\":" + std::to_string(i) + "}";
    for (int t = 0; t < 8; ++t) tracks += std::string(t ? "," : "") + "[" + steps + "]";
    for (int p = 0; p < 10; ++p) pats += std::string(p ? "," : "") + "[" + tracks + "]";
    EnginePtr f = fresh();
    ASSERT_TRUE(load(f.get(), doc("\"pats\":[" + pats + "]")));
    for (int p = 0; p < 8; ++p)
        for (int t = 0; t < 6; ++t)
            for (int s = 0; s < 64; ++s) ASSERT_EQ(f->pats[p].steps[t][s].slice, s);
    EXPECT_EQ(f->pats.size(), 8u);
    // "pats" that is not an array changes nothing.
    ASSERT_TRUE(load(f.get(), doc("\"pats\":{\"0\":[]}")));
    EXPECT_EQ(f->pats[7].steps[5][63].slice, 63);
}

// The store is read straight from the text; random shapes (entries that are
// not arrays, empty arrays, short and long arrays, whitespace, trailing
// commas, a second "pats" member) must land exactly where the rules put them.
TEST(SetReader, PatternStoreShapesAtRandom) {
    const char* const stepTexts[] = {"{}", "7", "{\"on\":1,\"rat\":3}", "{ \"note\" : -5 , }",
                                     "{\"slice\":9,\"rev\":true,\"acc\":2}", "[1]", "null",
                                     "{\"on\":1,\"on\":0,\"rat\":0}", "\"x\"", "{\"note\":300}"};
    std::vector<brs::Step> stepValues;
    for (const char* t : stepTexts) stepValues.push_back(stepOf(t));
    const char* const ws[] = {"", " ", "\n\t", "\r "};

    EnginePtr e = fresh();
    for (std::uint32_t seed = 1; seed <= 150; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        settest::randomEdits(e.get(), seed, 30);
        std::vector<brs::Pattern> want = e->pats;
        auto sp = [&] { return ws[rng() % 4]; };
        std::string text = "[";
        const int np = static_cast<int>(rng() % 11);
        for (int p = 0; p < np; ++p) {
            text += sp();
            if (rng() % 6 == 0) {
                text += rng() % 2 ? "{\"a\":[[{}]]}" : "5";  // not an array: pattern kept
            } else {
                text += "[";
                const int nt = static_cast<int>(rng() % 9);  // 0: empty, pattern kept
                for (int t = 0; t < nt; ++t) {
                    text += sp();
                    if (rng() % 5 == 0) {
                        text += "{}";
                    } else {
                        text += "[";
                        const int ns = rng() % 3 == 0 ? static_cast<int>(rng() % 70) : static_cast<int>(rng() % 5);
                        for (int s = 0; s < ns; ++s) {
                            const int k = static_cast<int>(rng() % 10);
                            text += sp();
                            text += stepTexts[k];
                            text += s + 1 < ns || rng() % 4 == 0 ? "," : "";
                            if (p < 8 && t < 6 && s < 64) want[p].steps[t][s] = stepValues[k];
                        }
                        text += "]";
                    }
                    text += t + 1 < nt || rng() % 4 == 0 ? "," : "";
                }
                text += sp();
                text += "]";
            }
            text += p + 1 < np || rng() % 4 == 0 ? "," : "";
        }
        text += "]";
        const std::string second = rng() % 2 ? ",\"pats\":[[[{\"on\":1,\"slice\":3}]]]" : "";
        const std::string d = rng() % 2 ? doc("\"pats\":" + text + second)
                                        : "{\"pats\":" + text + ",\"format\":\"vm-groove/1.0\"" + second + "}";
        ASSERT_TRUE(load(e.get(), d)) << d;
        for (int p = 0; p < 8; ++p)
            for (int t = 0; t < 6; ++t)
                for (int s = 0; s < 64; ++s) {
                    const brs::Step& g = e->pats[p].steps[t][s];
                    const brs::Step& w = want[p].steps[t][s];
                    ASSERT_TRUE(std::memcmp(&g, &w, sizeof g) == 0) << p << " " << t << " " << s << "\n" << d;
                }
    }
}

TEST(SetReader, EffectLimits) {
    EnginePtr e = fresh();
    ASSERT_TRUE(load(e.get(), doc("\"fx\":{\"delayTime\":5,\"delayFb\":-1,\"reverbSize\":true}")));
    EXPECT_EQ(e->fx.delayTime, 1.9f);
    EXPECT_EQ(e->fx.delayFb, 0.0f);
    EXPECT_EQ(e->fx.reverbSize, 1.0f);
    ASSERT_TRUE(load(e.get(), doc("\"fx\":{\"delayTime\":0,\"delayFb\":true,\"reverbSize\":false}")));
    EXPECT_EQ(e->fx.delayTime, 0.02f);
    EXPECT_EQ(e->fx.delayFb, 0.95f);
    EXPECT_EQ(e->fx.reverbSize, 0.0f);
    ASSERT_TRUE(load(e.get(), doc("\"fx\":{\"delayTime\":true}")));
    EXPECT_EQ(e->fx.delayTime, 1.0f);
    ASSERT_TRUE(load(e.get(), doc("\"fx\":{\"delayTime\":false,\"delayFb\":0.3,\"reverbSize\":0.7}")));
    EXPECT_EQ(e->fx.delayTime, 0.02f);
    EXPECT_EQ(e->fx.delayFb, 0.3f);
    EXPECT_EQ(e->fx.reverbSize, 0.7f);
    // Wrong kinds, an empty object and a non-object leave the values.
    ASSERT_TRUE(load(e.get(), doc("\"fx\":{\"delayTime\":\"1\",\"delayFb\":null}")));
    ASSERT_TRUE(load(e.get(), doc("\"fx\":{}")));
    ASSERT_TRUE(load(e.get(), doc("\"fx\":[0.5,0.5,0.5]")));
    EXPECT_EQ(e->fx.delayTime, 0.02f);
    EXPECT_EQ(e->fx.delayFb, 0.3f);
    EXPECT_EQ(e->fx.reverbSize, 0.7f);
}

TEST(SetReader, SongChainRules) {
    EnginePtr e = fresh();
    const std::uint8_t two[] = {3, 2, 4, 1};
    brskern_set_song(e.get(), two, 4);
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":150")));  // "song" missing: kept
    EXPECT_EQ(e->song.size(), 2u);
    ASSERT_TRUE(load(e.get(), doc("\"song\":[]")));
    EXPECT_TRUE(e->song.empty());
    EXPECT_NE(save(e.get()).find(",\"song\":[],"), std::string::npos);

    brskern_set_song(e.get(), two, 4);
    ASSERT_TRUE(load(e.get(), doc("\"song\":{\"pat\":1}")));  // not an array: kept
    EXPECT_EQ(e->song.size(), 2u);

    ASSERT_TRUE(load(e.get(), doc("\"song\":[{\"pat\":9},{\"rep\":3},{},5,{\"pat\":\"1\",\"rep\":2},"
                                  "{\"pat\":2,\"rep\":0},{\"pat\":true,\"rep\":true},"
                                  "{\"pat\":false,\"rep\":false},{\"pat\":-1,\"rep\":300},"
                                  "{\"pat\":6.9,\"rep\":\"x\"},{\"pat\":4,\"pat\":5,\"rep\":2.5}]")));
    const std::vector<std::pair<int, int>> want = {{1, 1}, {2, 0}, {1, 1}, {0, 0}, {7, 44}, {6, 1}, {4, 2}};
    ASSERT_EQ(e->song.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(e->song[i].pat, want[i].first) << i;
        EXPECT_EQ(e->song[i].rep, want[i].second) << i;
    }
    // Written back as stored, repeat 0 included.
    EXPECT_NE(save(e.get()).find("\"song\":[{\"pat\":1,\"rep\":1},{\"pat\":2,\"rep\":0},{\"pat\":1,\"rep\":1},"
                                 "{\"pat\":0,\"rep\":0},{\"pat\":7,\"rep\":44},{\"pat\":6,\"rep\":1},"
                                 "{\"pat\":4,\"rep\":2}],\"chain\":false}"),
              std::string::npos);
}

// ---- round trips ---------------------------------------------------------------

TEST(SetRoundTrip, WriteReadWriteIsIdentical) {
    for (std::uint32_t seed = 1; seed <= 25; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        EnginePtr a = fresh(44100.0f);
        settest::randomEdits(a.get(), seed, 60 + static_cast<int>(seed) * 10);
        const std::string first = save(a.get());
        EnginePtr b = fresh();
        ASSERT_TRUE(load(b.get(), first));
        ASSERT_EQ(save(b.get()), first);
        EXPECT_EQ(0, std::memcmp(a->pats.data(), b->pats.data(), 8 * sizeof(brs::Pattern)));
        for (int t = 0; t < 6; ++t) {
            EXPECT_EQ(0, std::memcmp(a->tracks[t].p, b->tracks[t].p, sizeof a->tracks[t].p)) << t;
            EXPECT_EQ(a->tracks[t].wave, b->tracks[t].wave) << t;
            EXPECT_EQ(a->mute[t], b->mute[t]) << t;
        }
        EXPECT_EQ(a->len, b->len);
        EXPECT_EQ(a->song.size(), b->song.size());
    }
}

TEST(SetRoundTrip, FlagsAndStepBytesComeBackAsZeroOrOne) {
    EnginePtr a = fresh();
    brskern_set_wave(a.get(), 2, 7);
    brskern_set_step(a.get(), 3, 4, 5, 9, 200, -7, 0, 99, 3);
    EnginePtr b = fresh();
    ASSERT_TRUE(load(b.get(), save(a.get())));
    EXPECT_EQ(b->tracks[2].wave, 1);
    expectStep(b->pats[3].steps[4][5], 1, 1, -7, 1, 99, 1);
}

// ---- non-finite values -----------------------------------------------------------

TEST(SetNonFinite, ReaderIgnoresValuesThatOverflowSinglePrecision) {
    EnginePtr e = fresh();
    const std::string before = save(e.get());
    for (const char* big : {"1e39", "-1e39", "1e999", "-1e999", "3.5e38"}) {
        const std::string b(big);
        ASSERT_TRUE(load(e.get(), doc("\"bpm\":" + b + ",\"swing\":" + b + ",\"master\":{\"drive\":" + b +
                                      ",\"level\":" + b + "},\"tracks\":[{\"p\":{\"cut\":" + b +
                                      ",\"level\":" + b + "}}],\"fx\":{\"delayTime\":" + b +
                                      ",\"delayFb\":" + b + ",\"reverbSize\":" + b + "}")))
            << big;
        ASSERT_EQ(save(e.get()), before) << big;
    }
    // The largest finite float is still taken, and kept to the range.
    ASSERT_TRUE(load(e.get(), doc("\"bpm\":3.40282347e38,\"tracks\":[{\"p\":{\"cut\":-3.40282347e38}}]")));
    EXPECT_EQ(e->bpm, 260.0f);
    EXPECT_EQ(e->tracks[0].p[brs::P_CUT], 40.0f);
}

TEST(SetNonFinite, WriterNeverPrintsInfOrNan) {
    EnginePtr e = fresh();
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    e->bpm = inf;
    e->swing = -inf;
    e->masterDrive = nan;
    e->tracks[1].p[brs::P_CUT] = nan;
    e->tracks[5].p[brs::P_REVERB_SEND] = -inf;
    e->fx.delayTime = inf;
    const std::string s = save(e.get());
    EXPECT_EQ(s.find("inf"), std::string::npos);
    EXPECT_EQ(s.find("nan"), std::string::npos);
    EXPECT_EQ(s.rfind("{\"format\":\"vm-groove/1.0\",\"bpm\":0,\"swing\":0,\"len\":16,"
                      "\"master\":{\"drive\":0,",
                      0),
              0u);
    EXPECT_NE(s.find("\"fx\":{\"delayTime\":0,"), std::string::npos);
    EnginePtr f = fresh();
    ASSERT_TRUE(load(f.get(), s));
    EXPECT_EQ(f->tracks[1].p[brs::P_CUT], 40.0f);  // the stand-in 0 is kept to the range on the way in
    EXPECT_EQ(f->bpm, 60.0f);
    EXPECT_EQ(f->fx.delayTime, 0.02f);
    EXPECT_EQ(save(f.get()).find("inf"), std::string::npos);
}

// Kernel calls with non-finite arguments, automation lanes and loads in any
// order never lead to a saved text that the reader rejects.
TEST(SetNonFinite, NoKernelSequenceProducesAnUnreadableDocument) {
    const float odd[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN(), FLT_MAX, -FLT_MAX, 1e-45f};
    std::mt19937 rng(4242);
    EnginePtr e = fresh();
    std::vector<float> lanes(brs::AUTOM_SIZE, std::numeric_limits<float>::quiet_NaN());
    for (std::size_t i = 0; i < lanes.size(); i += 37) lanes[i] = odd[rng() % 6];
    brskern_set_auto(e.get(), lanes.data(), lanes.size(), true);
    std::vector<float> out(2 * 512);
    EnginePtr f = fresh();
    for (int i = 0; i < 200; ++i) {
        float v = odd[rng() % 6];
        switch (rng() % 7) {
            case 0: brskern_set_bpm(e.get(), v); break;
            case 1: brskern_set_swing(e.get(), v); break;
            case 2: brskern_set_fx(e.get(), v, v, v); break;
            case 3: brskern_set_global(e.get(), v, 16, false, v, v); break;
            case 4: brskern_set_param(e.get(), rng() % 8, brs::PARAM_NAMES[rng() % 20], v); break;
            case 5: brskern_set_param(e.get(), 7, rng() % 2 ? "drive" : "level", v); break;
            default: brskern_start(e.get()); brskern_process(e.get(), out.data(), 512); break;
        }
        const std::string s = save(e.get());
        ASSERT_EQ(s.find("inf"), std::string::npos) << i;
        ASSERT_EQ(s.find("nan"), std::string::npos) << i;
        ASSERT_TRUE(load(f.get(), s)) << i;
        // What was read saves and reads back to the same document.
        const std::string kept = save(f.get());
        EnginePtr g = fresh();
        ASSERT_TRUE(load(g.get(), kept)) << i;
        ASSERT_EQ(save(g.get()), kept) << i;
    }
}

// ---- pattern image --------------------------------------------------------------

TEST(PatternImage, LengthRule) {
    EnginePtr e = fresh();
    std::vector<std::uint8_t> img(brs::PAT_IMAGE_BYTES + 100, 1);
    const std::string before = save(e.get());
    EXPECT_FALSE(brskern_load_pats(e.get(), img.data(), brs::PAT_IMAGE_BYTES - 1));
    EXPECT_FALSE(brskern_load_pats(e.get(), img.data(), 0));
    EXPECT_FALSE(brskern_load_pats(e.get(), nullptr, brs::PAT_IMAGE_BYTES));
    EXPECT_FALSE(brskern_load_pats(nullptr, img.data(), img.size()));
    EXPECT_EQ(save(e.get()), before);
    EXPECT_TRUE(brskern_load_pats(e.get(), img.data(), brs::PAT_IMAGE_BYTES));
    expectStep(e->pats[7].steps[5][63], 1, 1, 1, 1, 1, 1);
    // Bytes after the first 18432 are ignored.
    std::fill(img.begin() + brs::PAT_IMAGE_BYTES, img.end(), 9);
    std::fill(img.begin(), img.begin() + brs::PAT_IMAGE_BYTES, 0);
    EXPECT_TRUE(brskern_load_pats(e.get(), img.data(), img.size()));
    for (int p = 0; p < 8; ++p)
        for (int t = 0; t < 6; ++t)
            for (int s = 0; s < 64; ++s) expectStep(e->pats[p].steps[t][s], 0, 0, 0, 1, 0, 0);
}

TEST(PatternImage, ByteConversionsAndLayout) {
    EnginePtr e = fresh();
    brskern_set_song(e.get(), std::vector<std::uint8_t>{2, 3}.data(), 2);
    std::vector<std::uint8_t> img(brs::PAT_IMAGE_BYTES);
    for (int p = 0; p < 8; ++p)
        for (int t = 0; t < 6; ++t)
            for (int s = 0; s < 64; ++s) {
                std::uint8_t* b = &img[p * 2304 + t * 384 + s * 6];
                b[0] = static_cast<std::uint8_t>(s);
                b[1] = static_cast<std::uint8_t>(p * 6 + t);
                b[2] = static_cast<std::uint8_t>(p * 30 + t);
                b[3] = static_cast<std::uint8_t>(s * 4);
                b[4] = static_cast<std::uint8_t>(p * 16 + t);
                b[5] = static_cast<std::uint8_t>(255 - s);
            }
    const std::uint8_t special[6] = {7, 200, 0xF4, 0, 17, 2};
    std::memcpy(&img[5 * 2304 + 3 * 384 + 42 * 6], special, 6);
    ASSERT_TRUE(brskern_load_pats(e.get(), img.data(), img.size()));
    for (int p = 0; p < 8; ++p)
        for (int t = 0; t < 6; ++t)
            for (int s = 0; s < 64; ++s) {
                if (p == 5 && t == 3 && s == 42) continue;
                const brs::Step& st = e->pats[p].steps[t][s];
                ASSERT_EQ(st.on, s != 0 ? 1 : 0);
                ASSERT_EQ(st.acc, p * 6 + t != 0 ? 1 : 0);
                ASSERT_EQ(static_cast<std::uint8_t>(st.note), static_cast<std::uint8_t>(p * 30 + t));
                ASSERT_EQ(st.rat, s == 0 ? 1 : s * 4);
                ASSERT_EQ(st.slice, p * 16 + t);
                ASSERT_EQ(st.rev, 1);
            }
    expectStep(e->pats[5].steps[3][42], 1, 1, -12, 1, 17, 1);
    // Nothing but the steps changes.
    EXPECT_EQ(e->len, 16u);
    ASSERT_EQ(e->song.size(), 1u);
    EXPECT_EQ(e->song[0].pat, 2);
}

// ---- hostile values: every value kept to its range ------------------------------

// Each value a document carries, beyond each end of its range, at huge
// magnitudes and inside it: the engine holds the value kept to the range,
// and the accepted set saves and reads back to the same document.
TEST(SetRanges, EveryValueIsKeptToItsRangeAndSavesBackTheSame) {
    struct Row {
        std::string key;  // the member as written inside its object
        std::string wrap; // the document around it; "@" stands for the member
        float brs::Engine::*field;
        int param;  // track parameter index, or -1 for field
        brs::ParamRange range;
    };
    std::vector<Row> rows = {
        {"bpm", "@", &brs::Engine::bpm, -1, brs::BPM_RANGE},
        {"swing", "@", &brs::Engine::swing, -1, brs::SWING_RANGE},
        {"drive", "\"master\":{@}", &brs::Engine::masterDrive, -1, brs::MASTER_RANGE},
        {"level", "\"master\":{@}", &brs::Engine::masterLevel, -1, brs::MASTER_RANGE},
    };
    for (int i = 0; i < brs::NUM_PARAMS; ++i)
        rows.push_back({brs::PARAM_NAMES[i], "\"tracks\":[{},{},{\"p\":{@}}]", nullptr, i, brs::PARAM_RANGES[i]});
    for (const Row& row : rows) {
        const brs::ParamRange r = row.range;
        const float mid = r.lo + (r.hi - r.lo) * 0.375f;
        const struct {
            std::string text;
            float want;
        } values[] = {
            {"1e30", r.hi},   {"-1e30", r.lo}, {"3.4e38", r.hi}, {"-7", std::max(r.lo, std::min(-7.0f, r.hi))},
            {"1000", std::max(r.lo, std::min(1000.0f, r.hi))},   {"true", std::max(r.lo, std::min(1.0f, r.hi))},
            {"false", std::max(r.lo, std::min(0.0f, r.hi))},
            {std::to_string(mid), std::stof(std::to_string(mid))},
        };
        for (const auto& v : values) {
            SCOPED_TRACE(row.key + " = " + v.text);
            EnginePtr e = fresh();
            const std::string member = "\"" + row.key + "\":" + v.text;
            std::string body = row.wrap;
            body.replace(body.find('@'), 1, member);
            ASSERT_TRUE(load(e.get(), doc(body)));
            const float got = row.param < 0 ? (*e).*row.field : e->tracks[2].p[row.param];
            EXPECT_EQ(got, v.want);
            EXPECT_GE(got, r.lo);
            EXPECT_LE(got, r.hi);
            const std::string saved = save(e.get());
            EnginePtr back = fresh();
            ASSERT_TRUE(load(back.get(), saved));
            EXPECT_EQ(save(back.get()), saved);
        }
    }
}

// A step's flags stored through the kernel as any non-zero byte are kept as
// 1, so the engine's bytes and its document agree and save, load and save
// again give the same text.
TEST(SetRanges, StepFlagsFromTheKernelSaveLoadAndSaveTheSame) {
    EnginePtr a = fresh();
    brskern_set_step(a.get(), 2, 1, 9, 2, 255, -5, 3, 17, 7);
    brskern_set_step(a.get(), 2, 1, 10, 0x100, 0x200, 0, 1, 0, 0x300);  // low bytes 0: off
    expectStep(a->pats[2].steps[1][9], 1, 1, -5, 3, 17, 1);
    expectStep(a->pats[2].steps[1][10], 0, 0, 0, 1, 0, 0);
    const std::string first = save(a.get());
    EXPECT_NE(first.find("{\"on\":1,\"acc\":1,\"note\":-5,\"rat\":3,\"slice\":17,\"rev\":1}"), std::string::npos);
    EnginePtr b = fresh();
    ASSERT_TRUE(load(b.get(), first));
    EXPECT_EQ(save(b.get()), first);
    EXPECT_EQ(0, std::memcmp(a->pats.data(), b->pats.data(), 8 * sizeof(brs::Pattern)));
}
