// vst3_test.cpp: brisanto.vst3 in our own VST3 host (vst3_host.h), checked
// against brisanto.clap in our CLAP host (host/): class and factory, the 57
// parameters, sample-exact events, audio of a whole scene, component state,
// bad states, the editor under a private Xvfb, silence and a clean exit.
#include "vst3/vst3_host.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "pluginterfaces/gui/iplugviewcontentscalesupport.h"

#include "host/embed.h"
#include "host/host.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace v3test {
namespace {

// ---- the same scene through the CLAP ---------------------------------------

// The CLAP value the adapter hands the plug-in for a VST3 normalised value:
// min + n * (max - min), which for our stepped parameters (whole-number
// ranges) is min + n * step count.
double clapValue(const clap_param_info_t& info, double n) {
    return n * (info.max_value - info.min_value) + info.min_value;
}

std::map<clap_id, clap_param_info_t> clapInfos(brs::host::Host& h) {
    std::map<clap_id, clap_param_info_t> m;
    const clap_plugin_params_t* p = h.params();
    for (uint32_t i = 0; i < p->count(h.plugin()); ++i) {
        clap_param_info_t info{};
        if (p->get_info(h.plugin(), i, &info)) m[info.id] = info;
    }
    return m;
}

// A scene: per block its events, the transport's play state and tempo.
struct Scene {
    int blocks = 0;
    std::map<int, std::vector<Ev>> events;
    std::map<int, double> tempo;  // from this block on
    std::map<int, bool> stopped;  // from this block on (playing before the first entry)
    bool playing = true;          // false: never playing
    bool playingAt(int b) const {
        bool on = playing;
        for (auto& [from, st] : stopped)
            if (from <= b) on = playing && !st;
        return on;
    }
    double tempoAt(int b) const {
        double t = 174.0;
        for (auto& [from, bpm] : tempo)
            if (from <= b) t = bpm;
        return t;
    }
    const std::vector<Ev>& at(int b) const {
        static const std::vector<Ev> none;
        auto it = events.find(b);
        return it == events.end() ? none : it->second;
    }
};

struct Audio {
    std::vector<float> l, r;
};

// Index of the first sample that differs, -1 when none does.
long firstDiff(const Audio& a, const Audio& b) {
    if (a.l.size() != b.l.size()) return 0;
    for (std::size_t i = 0; i < a.l.size(); ++i)
        if (std::memcmp(&a.l[i], &b.l[i], sizeof(float)) || std::memcmp(&a.r[i], &b.r[i], sizeof(float)))
            return static_cast<long>(i);
    return -1;
}

double energy(const Audio& a) {
    double e = 0;
    for (std::size_t i = 0; i < a.l.size(); ++i) e += a.l[i] * a.l[i] + a.r[i] * a.r[i];
    return e;
}

Audio renderVst3(Plug& p, const Scene& s) {
    Audio a;
    a.l.resize(static_cast<std::size_t>(s.blocks) * BLOCK);
    a.r.resize(a.l.size());
    for (int b = 0; b < s.blocks; ++b) {
        tresult r = p.block(BLOCK, s.at(b), s.playingAt(b), s.tempoAt(b), &a.l[b * BLOCK], &a.r[b * BLOCK]);
        EXPECT_EQ(r, kResultOk) << "block " << b;
    }
    return a;
}

Audio renderClap(brs::host::Host& h, const Scene& s) {
    auto infos = clapInfos(h);
    Audio a;
    a.l.resize(static_cast<std::size_t>(s.blocks) * BLOCK);
    a.r.resize(a.l.size());
    for (int b = 0; b < s.blocks; ++b) {
        std::vector<Ev> evs = s.at(b);
        std::stable_sort(evs.begin(), evs.end(), [](const Ev& x, const Ev& y) { return x.offset < y.offset; });
        brs::host::EventList in;
        for (const Ev& e : evs) {
            if (e.kind == Ev::Note)
                in.noteOn(static_cast<uint32_t>(e.offset), static_cast<int16_t>(e.id), static_cast<float>(e.value));
            else
                in.param(static_cast<uint32_t>(e.offset), e.id, clapValue(infos.at(e.id), e.value));
        }
        brs::host::Transport t;
        t.playing = s.playingAt(b);
        t.tempo = s.tempoAt(b);
        h.setTransport(t);
        h.process(BLOCK, &a.l[b * BLOCK], &a.r[b * BLOCK], &in, nullptr);
    }
    return a;
}

// A CLAP instance set up as the VST3 one: blocks of 256, 48 kHz unless told.
struct Clap {
    brs::host::Host h;
    bool ok = false;
    explicit Clap(const std::vector<uint8_t>* state = nullptr, double rate = RATE) {
        ok = h.load(BRS_CLAP_PATH) && h.create() && (!state || h.loadState(*state)) &&
             h.activate(rate, 1, BLOCK) && h.startProcessing();
    }
    std::vector<uint8_t> state() {
        std::vector<uint8_t> b;
        EXPECT_TRUE(h.saveState(b));
        return b;
    }
};

// Normalised value of a per-track or global parameter for a plain value,
// with the ranges the plug-in declares.
double norm(double v, double lo, double hi) { return (v - lo) / (hi - lo); }

// A busy scene: notes on all six tracks, sound and effect parameters, a mute,
// a pattern change, swing, a tempo change, and the transport stopping and
// starting again (the sequencer follows it).
Scene busyScene() {
    Scene s;
    s.blocks = 160;
    auto note = [&](int b, int off, int key, double vel) { s.events[b].push_back({Ev::Note, off, uint32_t(key), vel}); };
    auto par = [&](int b, int off, uint32_t id, double n) { s.events[b].push_back({Ev::Param, off, id, n}); };
    note(0, 100, 38, 0.75);                      // hoover
    par(0, 37, 1, norm(1200.0, 40.0, 16000.0));  // kick filter
    par(2, 255, 1000, 0.5);                      // master drive
    note(3, 0, 36, 1.0);                         // kick
    note(3, 17, 41, 0.5);                        // stab
    par(5, 3, 34, 0.875);                        // hoover resonance
    note(7, 250, 39, 1.0);                       // break
    par(9, 128, 1002, 0.25);                     // swing 15 %
    par(12, 64, 23, 1.0);                        // bass muted
    note(14, 9, 40, 0.25);                       // hat
    par(20, 200, 1007, 2.0 / 7.0);               // pattern 3 (empty): the sequencer falls silent
    par(26, 11, 1007, 0.0);                      // back to pattern 1
    par(30, 190, 1003, 0.125);                   // delay time
    par(31, 5, 1005, 0.5);                       // reverb size
    par(40, 1, 23, 0.0);                         // bass back on
    note(44, 127, 37, 0.75);                     // bass note
    par(60, 99, 85, 0.625);                      // stab reverb send
    par(80, 0, 1001, 0.75);                      // master level
    s.tempo[50] = 160.0;
    s.stopped[110] = true;
    s.stopped[125] = false;
    return s;
}

class Vst3Test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(module()) << "brisanto.vst3 could not be loaded from " << BRS_VST3_PATH; }
};

// ---- factory and class -------------------------------------------------------

TEST_F(Vst3Test, FactoryOffersTwoInstrumentsWhoseClassIdsComeFromThePluginIds) {
    auto& f = module()->getFactory();
    auto fi = f.info();
    EXPECT_EQ(fi.vendor(), "Velmora");
    auto infos = f.classInfos();
    ASSERT_EQ(infos.size(), 2u);
    // The Multi (tests/plugin/multi_test.cpp): name-based UUID of
    // "de.velmora.brisanto.multi", da27d54c-e2c8-5643-add3-5aadda312212.
    EXPECT_EQ(infos[1].category(), kVstAudioEffectClass);
    EXPECT_EQ(infos[1].name(), "brisanto Multi");
    EXPECT_NE(infos[1].subCategoriesString().find("Instrument"), std::string::npos);
    EXPECT_EQ(infos[1].ID().toString(false), "DA27D54CE2C85643ADD35AADDA312212");
    const auto& ci = infos[0];
    EXPECT_EQ(ci.category(), kVstAudioEffectClass);
    EXPECT_EQ(ci.name(), "BRISANTO");
    EXPECT_EQ(ci.vendor(), "Velmora");
    EXPECT_EQ(ci.version(), "0.3.0");
    EXPECT_NE(ci.subCategoriesString().find("Instrument"), std::string::npos) << ci.subCategoriesString();
    // The adapter derives it from the plug-in id: the name-based UUID
    // (version 5, DNS namespace) of "de.velmora.brisanto",
    // 64c6112c-f16a-58fa-9ad3-283c4119414f. Saved projects refer to the
    // plug-in by it, so it must never change.
    EXPECT_EQ(ci.ID().toString(false), "64C6112CF16A58FA9AD3283C4119414F");
}

// ---- parameters --------------------------------------------------------------

TEST_F(Vst3Test, TheFiftySevenParametersCarryOurNamesRangesDefaultsAndSteps) {
    Plug p;
    ASSERT_TRUE(p.ok());
    Clap c;
    ASSERT_TRUE(c.ok);
    auto clap = clapInfos(c.h);
    ASSERT_EQ(clap.size(), 57u);

    std::map<ParamID, ParameterInfo> ours;
    int extra = 0;
    for (int32 i = 0; i < p.controller->getParameterCount(); ++i) {
        ParameterInfo pi{};
        ASSERT_EQ(p.controller->getParameterInfo(i, pi), kResultOk);
        if (clap.count(pi.id))
            ours[pi.id] = pi;
        else
            ++extra;
    }
    ASSERT_EQ(ours.size(), 57u);
    // Nothing besides ours: no MIDI-controller entries of the adapter.
    EXPECT_EQ(extra, 0);
    EXPECT_EQ(p.controller->getParameterCount(), 57);

    for (auto& [id, ci] : clap) {
        SCOPED_TRACE(std::string("parameter ") + ci.name);
        const ParameterInfo& v = ours.at(id);
        EXPECT_EQ(utf8(v.title), ci.name);
        const bool stepped = ci.flags & CLAP_PARAM_IS_STEPPED;
        EXPECT_EQ(v.stepCount, stepped ? int32(ci.max_value - ci.min_value) : 0);
        EXPECT_DOUBLE_EQ(v.defaultNormalizedValue, (ci.default_value - ci.min_value) / (ci.max_value - ci.min_value));
        EXPECT_TRUE(v.flags & ParameterInfo::kCanAutomate);
        // The range as a host shows it: the texts of both ends are the CLAP's.
        for (auto [n, plain] : {std::pair{0.0, ci.min_value}, std::pair{1.0, ci.max_value}}) {
            String128 text{};
            ASSERT_EQ(p.controller->getParamStringByValue(id, n, text), kResultOk);
            EXPECT_EQ(utf8(text), c.h.paramText(id, plain)) << "normalised " << n;
        }
        EXPECT_DOUBLE_EQ(p.controller->getParamNormalized(id), v.defaultNormalizedValue);
    }
    // A few pinned outright.
    EXPECT_EQ(utf8(ours.at(0).title), "Kick Pegel");
    EXPECT_EQ(utf8(ours.at(87).title), "Stab Stumm");
    EXPECT_EQ(ours.at(87).stepCount, 1);
    EXPECT_EQ(utf8(ours.at(1004).title), "Delay Rückkopplung");
    EXPECT_EQ(utf8(ours.at(1006).title), "Sequencer folgt Host");
    EXPECT_EQ(ours.at(1006).defaultNormalizedValue, 1.0);
    EXPECT_EQ(ours.at(1007).stepCount, 7);
    EXPECT_EQ(ours.at(1007).defaultNormalizedValue, 0.0);
    EXPECT_DOUBLE_EQ(ours.at(1003).defaultNormalizedValue, (0.375 - 0.02) / (1.9 - 0.02));
}

// The note port takes CLAP notes in the VST3 build only: the adapter then
// adds no MIDI-controller parameters, units or program lists, and offers no
// MIDI mapping through which a controller on some channel could reach one of
// ours. The CLAP keeps both dialects and knows nothing of the VST3 extension.
TEST_F(Vst3Test, NoControllerOnAnyChannelReachesAParameterAndTheClapKeepsMidi) {
    Plug p;
    ASSERT_TRUE(p.ok());
    BusInfo bus{};
    ASSERT_EQ(p.component->getBusInfo(kEvent, kInput, 0, bus), kResultOk);
    EXPECT_EQ(bus.channelCount, 16) << "notes on every channel";
    if (FUnknownPtr<IUnitInfo> units(p.controller); units) {
        EXPECT_EQ(units->getProgramListCount(), 0);
        for (int32 i = 0; i < units->getUnitCount(); ++i) {
            UnitInfo u{};
            ASSERT_EQ(units->getUnitInfo(i, u), kResultOk);
            EXPECT_EQ(utf8(u.name).rfind("MIDI", 0), std::string::npos) << utf8(u.name);
        }
    }
    std::set<ParamID> ours;
    for (int32 i = 0; i < p.controller->getParameterCount(); ++i) {
        ParameterInfo pi{};
        ASSERT_EQ(p.controller->getParameterInfo(i, pi), kResultOk);
        ours.insert(pi.id);
    }
    FUnknownPtr<IMidiMapping> mapping(p.controller);
    EXPECT_FALSE(mapping) << "a MIDI mapping that answers for channels it never set up";
    if (mapping) {
        // The adapter indexes its table with the channel unchecked: only the
        // 16 channels are asked, every controller on each.
        for (int16 ch = 0; ch < 16; ++ch)
            for (CtrlNumber cc = 0; cc < kCountCtrlNumber; ++cc) {
                ParamID id = 0;
                if (mapping->getMidiControllerAssignment(0, ch, cc, id) == kResultTrue)
                    EXPECT_EQ(ours.count(id), 0u) << "channel " << ch << " controller " << cc << " drives " << id;
            }
    }

    Clap c;
    ASSERT_TRUE(c.ok);
    const clap_plugin_t* cp = c.h.plugin();
    auto* np = static_cast<const clap_plugin_note_ports_t*>(cp->get_extension(cp, CLAP_EXT_NOTE_PORTS));
    ASSERT_NE(np, nullptr);
    clap_note_port_info_t info{};
    ASSERT_TRUE(np->get(cp, 0, true, &info));
    EXPECT_EQ(info.supported_dialects, uint32_t(CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI));
    EXPECT_EQ(info.preferred_dialect, uint32_t(CLAP_NOTE_DIALECT_CLAP));
    EXPECT_EQ(cp->get_extension(cp, CLAP_PLUGIN_AS_VST3), nullptr);
}

// ---- audio ---------------------------------------------------------------------

TEST_F(Vst3Test, BusySceneSoundsSampleForSampleAsThroughTheClap) {
    // At the rate the instrument starts with, and at one that makes it
    // rebuild its engine on activation.
    for (double rate : {48000.0, 44100.0}) {
        SCOPED_TRACE("at " + std::to_string(rate) + " Hz");
        Scene s = busyScene();
        Plug p;
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(p.start(rate));
        Clap c(nullptr, rate);
        ASSERT_TRUE(c.ok);
        Audio v = renderVst3(p, s);
        Audio a = renderClap(c.h, s);
        EXPECT_GT(energy(v), 1.0);
        EXPECT_EQ(firstDiff(v, a), -1);
        // The instrument ends the scene in the same state too.
        EXPECT_EQ(p.state(), c.state());
    }
}

// A note and a parameter change land on exactly their sample: each offset
// sounds as through the CLAP, and no two offsets sound alike.
TEST_F(Vst3Test, NotesAndParameterChangesLandOnTheirExactSample) {
    struct Case {
        int note, param;
    };
    const Case cases[] = {{0, 255}, {1, 254}, {100, 7}, {101, 7}, {255, 0}};
    std::vector<Audio> got;
    for (const Case& k : cases) {
        SCOPED_TRACE("note at " + std::to_string(k.note) + ", parameter at " + std::to_string(k.param));
        Scene s;
        s.blocks = 12;
        s.playing = false;
        s.events[1] = {{Ev::Note, k.note, 38, 1.0}, {Ev::Param, k.param, 33, norm(300.0, 40.0, 16000.0)}};
        s.events[3] = {{Ev::Note, k.param, 36, 1.0}};
        Plug p;
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(p.start());
        Clap c;
        ASSERT_TRUE(c.ok);
        Audio v = renderVst3(p, s);
        EXPECT_EQ(firstDiff(v, renderClap(c.h, s)), -1);
        // Silent up to the note's own frame, sounding soon after it.
        for (int i = 0; i < BLOCK + k.note; ++i) ASSERT_EQ(v.l[i], 0.0f) << "frame " << i;
        bool sounds = false;
        for (int i = BLOCK + k.note; i < BLOCK + k.note + 64; ++i) sounds = sounds || v.l[i] != 0.0f;
        EXPECT_TRUE(sounds);
        for (const Audio& other : got) EXPECT_NE(firstDiff(v, other), -1);
        got.push_back(v);
    }
}

// ---- the Multi ---------------------------------------------------------------------

// Its seven stereo outputs become the main bus and six auxiliary buses named
// after the tracks. With every track on "Summe" its main bus sounds as the
// stereo CLAP plug-in and the auxiliary buses are silent; with the tracks on
// their own outputs (routing from a state) it sounds as the Multi through the
// CLAP, bus for port; a host that gives no buffers for the auxiliary buses
// hears every track in the main mix.
TEST_F(Vst3Test, MultiHasSixAuxiliaryTrackBusesThatSoundAsTheClapPorts) {
    Plug m(HandlerAt::Initialize, "brisanto Multi");
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m.component->getBusCount(kAudio, kOutput), 7);
    EXPECT_EQ(m.component->getBusCount(kAudio, kInput), 0);
    const char* const names[] = {"Ausgang", "Kick", "Bass", "Hoover", "Break", "Hat", "Stab"};
    for (int b = 0; b < 7; ++b) {
        BusInfo bi{};
        ASSERT_EQ(m.component->getBusInfo(kAudio, kOutput, b, bi), kResultOk);
        EXPECT_EQ(utf8(bi.name), names[b]);
        EXPECT_EQ(bi.busType, b == 0 ? kMain : kAux) << b;
        EXPECT_EQ(bi.channelCount, 2);
    }
    Scene s = busyScene();
    s.blocks = 100;
    auto auxSilent = [](Plug& p, int bus) {
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < BLOCK; ++i)
                if (p.out(bus, c)[i] != 0.0f) return false;
        return true;
    };
    {
        ASSERT_TRUE(m.start());
        Clap ref;
        ASSERT_TRUE(ref.ok);
        Audio a;
        a.l.resize(size_t(s.blocks) * BLOCK);
        a.r.resize(a.l.size());
        bool silent = true;
        for (int b = 0; b < s.blocks; ++b) {
            ASSERT_EQ(m.block(BLOCK, s.at(b), s.playingAt(b), s.tempoAt(b), &a.l[b * BLOCK], &a.r[b * BLOCK]), kResultOk);
            for (int bus = 1; bus < 7; ++bus) silent = silent && auxSilent(m, bus);
        }
        EXPECT_EQ(firstDiff(a, renderClap(ref.h, s)), -1);
        EXPECT_TRUE(silent);
    }

    // Kick and stab on their own outputs, set through the state.
    brs::host::Host multi;
    ASSERT_TRUE(multi.load(BRS_CLAP_PATH) && multi.create("de.velmora.brisanto.multi"));
    std::vector<uint8_t> st;
    ASSERT_TRUE(multi.saveState(st));
    std::string text(st.begin(), st.end());
    text = text.substr(0, text.find('\n')) + "\n{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"route\":[1,0,0,0,0,1]}";
    st.assign(text.begin(), text.end());
    ASSERT_TRUE(multi.loadState(st));
    ASSERT_TRUE(multi.activate(RATE, 1, BLOCK) && multi.startProcessing());

    Plug r(HandlerAt::Initialize, "brisanto Multi");
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.setState(st), kResultOk);
    ASSERT_TRUE(r.start());
    std::vector<float> ports(14 * BLOCK);
    float* ptr[14];
    for (int c = 0; c < 14; ++c) ptr[c] = &ports[size_t(c) * BLOCK];
    clap_audio_buffer_t bufs[7]{};
    for (int p = 0; p < 7; ++p) {
        bufs[p].data32 = &ptr[2 * p];
        bufs[p].channel_count = 2;
    }
    brs::host::Transport t;
    bool kickHeard = false, sameAsClap = true;
    std::vector<float> l(BLOCK), rr(BLOCK);
    for (int b = 0; b < 60; ++b) {
        t.playing = true;
        t.tempo = s.tempoAt(b);
        multi.setTransport(t);
        multi.processPorts(BLOCK, bufs, 7);
        ASSERT_EQ(r.block(BLOCK, {}, true, s.tempoAt(b), l.data(), rr.data()), kResultOk);
        for (int c = 0; c < 14; ++c)
            sameAsClap = sameAsClap && std::memcmp(r.out(c / 2, c % 2), ptr[c], sizeof(float) * BLOCK) == 0;
        kickHeard = kickHeard || !auxSilent(r, 1);
        EXPECT_TRUE(auxSilent(r, 2)) << "bass stays in the main mix";
    }
    EXPECT_TRUE(sameAsClap);
    EXPECT_TRUE(kickHeard);

    // No buffers for the auxiliary buses: every track in the main mix again.
    Plug n(HandlerAt::Initialize, "brisanto Multi");
    ASSERT_TRUE(n.ok());
    ASSERT_EQ(n.setState(st), kResultOk);
    ASSERT_TRUE(n.start());
    float** given[7];
    for (int bus = 1; bus < 7; ++bus) {
        given[bus] = n.data.outputs[bus].channelBuffers32;
        n.data.outputs[bus].channelBuffers32 = nullptr;
    }
    Clap plain;
    ASSERT_TRUE(plain.ok);
    Scene q;
    q.blocks = 60;
    EXPECT_EQ(firstDiff(renderVst3(n, q), renderClap(plain.h, q)), -1);
    for (int bus = 1; bus < 7; ++bus) n.data.outputs[bus].channelBuffers32 = given[bus];
}

// ---- state ---------------------------------------------------------------------

// Saved from one instance, loaded into a fresh one: the same bytes come back,
// and the fresh instance sounds as a CLAP instance given those bytes.
TEST_F(Vst3Test, ComponentStateCarriesTheClapStateToAFreshInstance) {
    Scene first = busyScene();
    first.blocks = 100;
    std::vector<uint8_t> saved;
    {
        Plug a;
        ASSERT_TRUE(a.ok());
        ASSERT_TRUE(a.start());
        renderVst3(a, first);
        saved = a.state();
    }
    ASSERT_FALSE(saved.empty());
    Clap ref;
    ASSERT_TRUE(ref.ok);
    renderClap(ref.h, first);
    EXPECT_EQ(saved, ref.state()) << "the component state is the CLAP state";

    Scene next;
    next.blocks = 120;
    next.events[2] = {{Ev::Note, 30, 39, 1.0}};
    next.events[40] = {{Ev::Note, 200, 38, 0.5}};

    Plug b;
    ASSERT_TRUE(b.ok());
    ASSERT_EQ(b.setState(saved), kResultOk);
    EXPECT_EQ(b.state(), saved);
    ASSERT_FALSE(b.handler.restarts.empty());
    EXPECT_TRUE(b.handler.restarts.back() & kParamValuesChanged) << "the host is told to re-read the values";
    EXPECT_DOUBLE_EQ(b.controller->getParamNormalized(23), 0.0);     // bass not muted at the end
    EXPECT_DOUBLE_EQ(b.controller->getParamNormalized(1001), 0.75);  // master level
    ASSERT_TRUE(b.start());
    Audio vb = renderVst3(b, next);
    Clap d(&saved);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(firstDiff(vb, renderClap(d.h, next)), -1);

    Plug fresh;
    ASSERT_TRUE(fresh.ok());
    ASSERT_TRUE(fresh.start());
    EXPECT_NE(firstDiff(vb, renderVst3(fresh, next)), -1) << "the loaded state changed nothing audible";
}

// Garbage, a truncated state and an empty one are refused and change nothing.
TEST_F(Vst3Test, BadStatesAreRefusedAndChangeNothing) {
    Plug donor;
    ASSERT_TRUE(donor.ok());
    ASSERT_TRUE(donor.start());
    Scene s = busyScene();
    s.blocks = 40;
    renderVst3(donor, s);
    std::vector<uint8_t> good = donor.state();
    ASSERT_GT(good.size(), 100u);

    std::mt19937 rng(20261207);
    std::vector<uint8_t> garbage(4096);
    for (auto& b : garbage) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> tail = good;
    tail.erase(tail.begin(), tail.begin() + static_cast<long>(good.size() / 3));
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"garbage", garbage},
        {"truncated to half", std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(good.size() / 2))},
        {"first third missing", tail},
        {"empty", {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Plug p;
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(p.setState(good), kResultOk);  // a loaded set, so "nothing changed" means something
        ASSERT_TRUE(p.start());
        std::vector<uint8_t> before = p.state();
        std::vector<double> values;
        for (ParamID id : {0u, 1u, 23u, 34u, 1000u, 1002u, 1007u}) values.push_back(p.controller->getParamNormalized(id));
        EXPECT_NE(p.setState(k.bytes), kResultOk);
        EXPECT_EQ(p.state(), before);
        std::size_t i = 0;
        for (ParamID id : {0u, 1u, 23u, 34u, 1000u, 1002u, 1007u})
            EXPECT_EQ(p.controller->getParamNormalized(id), values[i++]) << "parameter " << id;
    }
}

// A state with a few values away from their defaults, and the values.
struct Donor {
    std::vector<uint8_t> state;
    std::map<ParamID, double> values{{0, 0.25}, {23, 1.0}, {1001, 0.75}, {1002, 0.5}};
};
const Donor& donor() {
    static Donor d = [] {
        Donor r;
        Plug p;
        if (!p.ok() || !p.start()) return r;
        std::vector<Ev> evs;
        for (auto& [id, v] : r.values) evs.push_back({Ev::Param, 0, id, v});
        std::vector<float> l(BLOCK), rr(BLOCK);
        p.block(BLOCK, evs, false, 174.0, l.data(), rr.data());
        r.state = p.state();
        return r;
    }();
    return d;
}

// A VST3 host may restore a state before it sets its component handler, after
// it set it back to null, while active and processing, or with the handler
// set before initialize. Every order loads, the controller shows the loaded
// values, and the handler hears of the load exactly while one is set.
TEST_F(Vst3Test, StateLoadsInEveryHandlerOrderAndOnlyASetHandlerIsTold) {
    const Donor& d = donor();
    ASSERT_FALSE(d.state.empty());
    struct Case {
        const char* what;
        HandlerAt at;
        bool clearedFirst;
        bool processing;
        bool told;
    };
    const Case cases[] = {
        {"before the handler is set", HandlerAt::Never, false, false, false},
        {"before the handler is set, active and processing", HandlerAt::Never, false, true, false},
        {"after the handler was set back to null", HandlerAt::Initialize, true, false, false},
        {"after the handler was set back to null, processing", HandlerAt::Initialize, true, true, false},
        {"handler set before initialize", HandlerAt::BeforeInit, false, false, true},
        {"usual order", HandlerAt::Initialize, false, false, true},
        {"usual order, active and processing", HandlerAt::Initialize, false, true, true},
    };
    std::vector<float> l(BLOCK), r(BLOCK);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Plug p(k.at);
        ASSERT_TRUE(p.ok());
        if (k.clearedFirst) p.controller->setComponentHandler(nullptr);
        if (k.processing) {
            ASSERT_TRUE(p.start());
            for (int b = 0; b < 4; ++b) p.block(BLOCK, {}, true, 174.0, l.data(), r.data());
        }
        p.handler.restarts.clear();
        ASSERT_EQ(p.setState(d.state), kResultOk);
        if (k.processing)
            for (int b = 0; b < 4; ++b) ASSERT_EQ(p.block(BLOCK, {}, true, 174.0, l.data(), r.data()), kResultOk);
        for (auto& [id, v] : d.values) EXPECT_DOUBLE_EQ(p.controller->getParamNormalized(id), v) << "parameter " << id;
        EXPECT_EQ(!p.handler.restarts.empty(), k.told);
        if (k.told) EXPECT_TRUE(p.handler.restarts.back() & kParamValuesChanged);
        EXPECT_EQ(p.state(), d.state);

        // Once the host sets its handler, the next load reaches it.
        p.controller->setComponentHandler(&p.handler);
        p.handler.restarts.clear();
        Plug fresh;
        ASSERT_TRUE(fresh.ok());
        ASSERT_EQ(p.setState(fresh.state()), kResultOk);
        ASSERT_FALSE(p.handler.restarts.empty());
        EXPECT_DOUBLE_EQ(p.controller->getParamNormalized(23), 0.0);
    }
}

// Values a host sets on the controller while it does not process (no block
// carries them to the plug-in) are in the state it saves next; a value that
// reached the plug-in through a block since, while the controller kept an
// older one, stays as the block left it.
TEST_F(Vst3Test, ValuesSetOnTheControllerWithoutProcessingAreSaved) {
    struct Case {
        const char* what;
        bool active;
    };
    const Case cases[] = {{"never activated", false}, {"active, not processing", true}};
    std::vector<float> l(BLOCK), r(BLOCK);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Plug p;
        ASSERT_TRUE(p.ok());
        if (k.active) {
            ASSERT_TRUE(p.start());
            // The kick filter through a block only: the controller keeps its default.
            EventList events(4);
            ParameterChanges changes(4), out(4);
            int32 qi = 0, pi = 0;
            changes.addParameterData(1, qi)->addPoint(0, 0.5, pi);
            p.data.numSamples = BLOCK;
            p.data.inputEvents = &events;
            p.data.inputParameterChanges = &changes;
            p.data.outputParameterChanges = &out;
            ASSERT_EQ(p.processor->process(p.data), kResultOk);
            p.data.inputEvents = nullptr;
            p.data.inputParameterChanges = nullptr;
            p.data.outputParameterChanges = nullptr;
            p.processor->setProcessing(false);
        }
        const std::map<ParamID, double> set{{0, 0.125}, {23, 1.0}, {1002, 0.75}, {1007, 3.0 / 7.0}};
        for (auto& [id, v] : set) ASSERT_EQ(p.controller->setParamNormalized(id, v), kResultOk);
        const std::vector<uint8_t> saved = p.state();
        ASSERT_FALSE(saved.empty());
        Plug q;
        ASSERT_TRUE(q.ok());
        ASSERT_EQ(q.setState(saved), kResultOk);
        for (auto& [id, v] : set) EXPECT_NEAR(q.controller->getParamNormalized(id), v, 1e-6) << "parameter " << id;
        if (k.active) EXPECT_NEAR(q.controller->getParamNormalized(1), 0.5, 1e-6) << "the block's value was kept";
        // Saved twice, the same: nothing is applied again.
        EXPECT_EQ(p.state(), saved);
    }
}

// "Set laden (Datei)" with no editor open (the adapter serves the plug-in's
// main-thread callback only from an editor's run loop): the set file is
// imported within a second, whether the host goes on processing or stops,
// and a processing host reads the new values from the blocks' output.
TEST_F(Vst3Test, SetImportThroughTheHostParameterNeedsNoEditor) {
    const Donor& d = donor();
    ASSERT_FALSE(d.state.empty());
    const std::string set(d.state.begin(), std::find(d.state.begin(), d.state.end(), uint8_t('\n')));
    char dir[] = "/tmp/brs-vst3-home-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string home = dir;
    ASSERT_EQ(system(("mkdir -p " + home + "/Documents/Velmora").c_str()), 0);
    std::ofstream(home + "/Documents/Velmora/brisanto-set.json") << set;
    const char* oldHome = getenv("HOME");
    const std::string keep = oldHome ? oldHome : "";
    setenv("HOME", home.c_str(), 1);

    auto setOf = [](const std::vector<uint8_t>& st) {
        return std::string(st.begin(), std::find(st.begin(), st.end(), uint8_t('\n')));
    };
    std::vector<float> l(BLOCK), r(BLOCK);
    for (bool processing : {true, false}) {
        SCOPED_TRACE(processing ? "host processing" : "host stopped after the request");
        Plug p;
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(p.start());
        ASSERT_NE(setOf(p.state()), set);
        p.block(BLOCK, {{Ev::Param, 10, 1008, 1.0}}, false, 174.0, l.data(), r.data());
        const auto t0 = std::chrono::steady_clock::now();
        std::map<ParamID, ParamValue> told;
        bool loaded = false;
        double ms = 0;
        while (!loaded && ms < 3000) {
            usleep(20000);
            if (processing) {
                p.block(BLOCK, {}, false, 174.0, l.data(), r.data());
                for (auto& [id, v] : p.outChanges) told[id] = v;
                loaded = told.count(23) && told.at(23) == 1.0;
            } else {
                if (p.active) p.stop();
                loaded = setOf(p.state()) == set;
            }
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        }
        EXPECT_TRUE(loaded);
        EXPECT_LT(ms, 1000.0) << "the import took " << ms << " ms";
        EXPECT_EQ(setOf(p.state()), set);
        if (processing)
            for (auto& [id, v] : d.values) EXPECT_DOUBLE_EQ(told[id], v) << "parameter " << id;
        // As after an import in a CLAP host: the trigger reads 0 again.
        EXPECT_DOUBLE_EQ(p.controller->getParamNormalized(1008), 0.0);
    }
    // An instance closed right after the request (the import may be under
    // way) ends cleanly, as do requests that come faster than imports.
    for (int i = 0; i < 3; ++i) {
        Plug p;
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(p.start());
        for (int b = 0; b < 2 * i; ++b)
            p.block(BLOCK, {{Ev::Param, 0, 1008, double(b % 2 == 0)}}, false, 174.0, l.data(), r.data());
        p.block(BLOCK, {{Ev::Param, 0, 1008, 1.0}}, false, 174.0, l.data(), r.data());
        usleep(useconds_t(i * 60000));
    }
    if (oldHome)
        setenv("HOME", keep.c_str(), 1);
    else
        unsetenv("HOME");
    std::remove((home + "/Documents/Velmora/brisanto-set.json").c_str());
    EXPECT_EQ(system(("rm -rf " + home).c_str()), 0);
}

// ---- editor --------------------------------------------------------------------

// Standard output and error of this process go to a file while it lives.
class Capture {
public:
    Capture() {
        fflush(stdout);
        fflush(stderr);
        fd_ = mkstemp(path_);
        saved1_ = dup(1);
        saved2_ = dup(2);
        dup2(fd_, 1);
        dup2(fd_, 2);
    }
    ~Capture() {
        restore();
        unlink(path_);
    }
    // Ends the capture and returns what was written.
    std::string text() {
        restore();
        std::ifstream in(path_);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    void restore() {
        if (fd_ < 0) return;
        fflush(stdout);
        fflush(stderr);
        dup2(saved1_, 1);
        dup2(saved2_, 2);
        close(saved1_);
        close(saved2_);
        close(fd_);
        fd_ = -1;
    }
    char path_[32] = "/tmp/brs-vst3-out-XXXXXX";
    int fd_ = -1, saved1_ = -1, saved2_ = -1;
};

int xErrors = 0;
int countXError(Display*, XErrorEvent*) {
    ++xErrors;
    return 0;
}

brs::host::Picture grab(Display* d, Window w) {
    brs::host::Picture pic;
    XWindowAttributes wa;
    if (!XGetWindowAttributes(d, w, &wa)) return pic;
    XImage* img = XGetImage(d, w, 0, 0, unsigned(wa.width), unsigned(wa.height), AllPlanes, ZPixmap);
    if (!img) return pic;
    pic.w = wa.width;
    pic.h = wa.height;
    auto comp = [](unsigned long p, unsigned long m) {
        int shift = __builtin_ctzl(m);
        unsigned long top = m >> shift;
        return int(((p & m) >> shift) * 255 / top);
    };
    for (int y = 0; y < pic.h; ++y)
        for (int x = 0; x < pic.w; ++x) {
            unsigned long p = XGetPixel(img, x, y);
            pic.px.push_back({comp(p, wa.visual->red_mask), comp(p, wa.visual->green_mask),
                              comp(p, wa.visual->blue_mask)});
        }
    XDestroyImage(img);
    return pic;
}

int children(Display* d, Window w) {
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, w, &root, &parent, &kids, &n)) return -1;
    if (kids) XFree(kids);
    return int(n);
}

TEST_F(Vst3Test, EditorAttachesToAnX11WindowDrawsOnTheRunLoopEditsAndDetachesCleanly) {
    brs::host::Xvfb xvfb;
    ASSERT_TRUE(xvfb.start()) << "Xvfb could not be started";
    setenv("DISPLAY", xvfb.name().c_str(), 1);
    Capture out;

    Plug p;
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(p.start());
    // Bass level at 0 and hoover level at 1, as a DAW's automation sets them.
    std::vector<float> l(BLOCK), r(BLOCK);
    ASSERT_EQ(p.block(BLOCK, {{Ev::Param, 0, 16, 0.0}, {Ev::Param, 0, 32, 1.0}}, false, 174.0, l.data(), r.data()),
              kResultOk);

    XErrorHandler before = XSetErrorHandler(countXError);
    xErrors = 0;
    Display* d = XOpenDisplay(xvfb.name().c_str());
    ASSERT_NE(d, nullptr);
    Window parent = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 990, 412, 0, 0, 0);
    XMapWindow(d, parent);
    XSync(d, False);

    IPtr<IPlugView> view = owned(p.controller->createView(ViewType::kEditor));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->isPlatformTypeSupported(kPlatformTypeX11EmbedWindowID), kResultTrue);
    ViewRect size;
    ASSERT_EQ(view->getSize(&size), kResultOk);
    EXPECT_EQ(size.getWidth(), 990);
    EXPECT_EQ(size.getHeight(), 412);
    // The host's content scale reaches the editor's zoom, and its size
    // follows; back at 1 for what comes below.
    {
        FUnknownPtr<IPlugViewContentScaleSupport> scale(view);
        ASSERT_TRUE(scale);
        const struct {
            float factor;
            int w, h;
        } scales[] = {{2.0f, 1980, 824}, {1.5f, 1485, 618}, {1.3f, 1485, 618}, {1.0f, 990, 412}};
        for (const auto& c : scales) {
            SCOPED_TRACE(c.factor);
            EXPECT_EQ(scale->setContentScaleFactor(c.factor), kResultOk);
            ViewRect zoomed;
            ASSERT_EQ(view->getSize(&zoomed), kResultOk);
            EXPECT_EQ(zoomed.getWidth(), c.w);
            EXPECT_EQ(zoomed.getHeight(), c.h);
        }
    }
    Frame frame;
    ASSERT_EQ(view->setFrame(&frame), kResultOk);
    ASSERT_EQ(view->attached(reinterpret_cast<void*>(parent), kPlatformTypeX11EmbedWindowID), kResultOk);
    EXPECT_FALSE(frame.timers.empty()) << "the editor's timer goes through the host's run loop";
    XSync(d, False);
    EXPECT_EQ(children(d, parent), 1);

    // The run loop drives the editor until its picture settles.
    brs::host::Picture pic, last;
    for (int i = 0; i < 100; ++i) {
        frame.fire();
        usleep(15000);
        pic = grab(d, parent);
        if (i > 3 && pic == last) break;
        last = pic;
    }
    ASSERT_EQ(pic.w, 990);
    ASSERT_EQ(pic.h, 412);
    const brs::host::Rgb8 BG{13, 15, 19}, FACE{24, 28, 36}, FILL{110, 44, 24}, ACCENT{255, 92, 40},
        LINE{48, 54, 66};
    int title = 0;
    for (int y = 8; y < 34; ++y)
        for (int x = 14; x < 184; ++x) title += pic.at(x, y) == ACCENT;
    EXPECT_GT(title, 40) << "title in the accent colour";
    EXPECT_EQ(pic.at(2, 2), BG);
    // Bass level at 0: no fill, the marker at the left edge; hoover level at
    // 1: fill over the whole width, the marker on the last two pixels.
    EXPECT_EQ(pic.at(93, 100), ACCENT);
    EXPECT_EQ(pic.at(94, 100), FACE);
    EXPECT_EQ(pic.at(197, 134), FILL);
    EXPECT_EQ(pic.at(198, 134), ACCENT);
    EXPECT_EQ(pic.at(199, 134), LINE);

    // A click on the kick's mute button reaches the host as one VST3 edit
    // (the next audio block carries it out of the plug-in, the run loop hands
    // it to the component handler).
    p.handler.edits.clear();
    XTestFakeMotionEvent(d, -1, 935, 72, CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XSync(d, False);
    for (int i = 0; i < 50 && p.handler.edits.size() < 3; ++i) {
        usleep(10000);
        frame.fire();
        ASSERT_EQ(p.block(BLOCK, {}, false, 174.0, l.data(), r.data()), kResultOk);
        frame.fire();
    }
    ASSERT_EQ(p.handler.edits.size(), 3u);
    EXPECT_EQ(p.handler.edits[0].kind, 'b');
    EXPECT_EQ(p.handler.edits[1].kind, 'p');
    EXPECT_EQ(p.handler.edits[2].kind, 'e');
    for (auto& e : p.handler.edits) EXPECT_EQ(e.id, 7u);
    EXPECT_EQ(p.handler.edits[1].value, 1.0);

    // The page buttons work here too: the steps page, and a step switched on
    // there shows at once.
    auto clickAt = [&](int x, int y) {
        XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XTestFakeButtonEvent(d, 1, False, CurrentTime);
        XSync(d, False);
        usleep(10000);
        for (int i = 0; i < 4; ++i) {
            frame.fire();
            usleep(15000);
        }
        return grab(d, parent);
    };
    const brs::host::Rgb8 LIT{184, 214, 43};
    pic = clickAt(660 + 81 + 36, 359);
    EXPECT_EQ(pic.at(662 + 81, 348), LIT) << "the steps page's button is lit";
    EXPECT_EQ(pic.at(662, 348), FACE) << "the mixer's is not";
    EXPECT_EQ(pic.at(92 + 50 + 20, 64 + 68 + 20), FACE) << "hoover step 2 is off";
    pic = clickAt(92 + 50 + 23, 64 + 68 + 13);
    EXPECT_EQ(pic.at(92 + 50 + 20, 64 + 68 + 20), FILL) << "hoover step 2 is on";

    // A DAW detaches the view, then releases it: the editor closes with it.
    EXPECT_EQ(view->removed(), kResultOk);
    view->setFrame(nullptr);
    view = nullptr;
    XSync(d, False);
    EXPECT_EQ(children(d, parent), 0) << "the editor's window is gone";
    EXPECT_TRUE(frame.timers.empty()) << "timers left in the run loop";
    EXPECT_TRUE(frame.handlers.empty()) << "descriptors left in the run loop";
    XDestroyWindow(d, parent);
    XSync(d, False);
    EXPECT_EQ(xErrors, 0);
    XErrorHandler now = XSetErrorHandler(before);
    EXPECT_EQ(now, countXError) << "the editor left its X error handler installed";
    XCloseDisplay(d);
    xvfb.stop();
    EXPECT_EQ(out.text(), "") << "the plug-in wrote to standard output or error";
}

// ---- a host process from start to exit -------------------------------------------

// A child process loads the bundle, runs an instance (processing, state,
// parameters) and exits, with or without unloading the module first; it
// must end normally and nothing may appear on its standard output or error.
TEST(Vst3Process, LoadsRunsUnloadsAndExitsCleanlyAndSilently) {
    for (bool unload : {true, false}) {
        SCOPED_TRACE(unload ? "module unloaded before exit" : "module still loaded at exit");
        char path[] = "/tmp/brs-vst3-out-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        fflush(stdout);
        fflush(stderr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            {
                Plug p;
                if (!p.ok() || !p.start()) _exit(3);
                std::vector<float> l(BLOCK), r(BLOCK);
                for (int b = 0; b < 20; ++b)
                    p.block(BLOCK, b == 1 ? std::vector<Ev>{{Ev::Note, 5, 36, 1.0}, {Ev::Param, 9, 1000, 0.3}}
                                          : std::vector<Ev>{},
                            true, 174.0, l.data(), r.data());
                auto st = p.state();
                p.stop();
                if (p.setState(st) != kResultOk) _exit(4);
            }
            if (unload) module().reset();
            exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
        std::ifstream in(path);
        std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(out, "") << "the plug-in wrote to standard output or error";
        close(fd);
        unlink(path);
    }
}

}  // namespace
}  // namespace v3test
