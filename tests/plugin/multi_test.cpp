// "brisanto Multi": its ports, its main output against the stereo plug-in,
// each track on its own port, the routing in the state, and hosts that give
// fewer or broken buffers.
#include <cstring>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

constexpr uint32_t BLOCK = 256;
constexpr int BLOCKS = 120;  // about 0.64 s at 48 kHz: two bars of the groove at 175 BPM

// One scene for both plug-ins: the default groove playing, and a note on
// every track now and then so that hoover and break (no steps in it) sound too.
void sceneEvents(int b, EventList& ev) {
    ev.clear();
    if (b % 15 == 0)
        for (int16_t key = 36; key <= 41; ++key) ev.noteOn(uint32_t(17 * (key - 35)), key, 0.8);
}

// Output of a scene: channels [2 * port + c], BLOCKS * BLOCK samples each.
using Channels = std::vector<std::vector<float>>;

// Parameter values both plug-ins get before activation.
struct Setting {
    clap_id id;
    double value;
};

Channels playStereo(const std::vector<Setting>& set) {
    Host h;
    EXPECT_TRUE(open(h));
    for (const Setting& s : set) h.setParam(s.id, s.value);
    EXPECT_TRUE(h.activate(48000.0, 1, BLOCK));
    EXPECT_TRUE(h.startProcessing());
    h.setTransport({true, true, true, 175.0});
    Channels out(2);
    EventList ev;
    std::vector<float> l(BLOCK), r(BLOCK);
    for (int b = 0; b < BLOCKS; ++b) {
        sceneEvents(b, ev);
        h.process(BLOCK, l.data(), r.data(), &ev);
        out[0].insert(out[0].end(), l.begin(), l.end());
        out[1].insert(out[1].end(), r.begin(), r.end());
    }
    return out;
}

// The Multi with the tracks whose bit is set in apart on their own ports;
// ports: how many ports the host hands over (7: all of them).
Channels playMulti(const std::vector<Setting>& set, unsigned apart, uint32_t ports = 7) {
    Host h;
    EXPECT_TRUE(openMulti(h));
    for (const Setting& s : set) h.setParam(s.id, s.value);
    for (int t = 0; t < 6; ++t) plug::from(h.plugin())->route[t].store((apart >> t) & 1u);
    EXPECT_TRUE(h.activate(48000.0, 1, BLOCK));
    EXPECT_TRUE(h.startProcessing());
    h.setTransport({true, true, true, 175.0});
    Channels out(14);
    EventList ev;
    Ports p(7, BLOCK);
    for (int b = 0; b < BLOCKS; ++b) {
        sceneEvents(b, ev);
        p.fill(9.0f);
        p.run(h, BLOCK, &ev, ports);
        for (uint32_t c = 0; c < 2 * ports; ++c) out[c].insert(out[c].end(), p.data[c].begin(), p.data[c].end());
    }
    return out;
}

bool silent(const std::vector<float>& x) { return allZero(x); }

TEST(Multi, FactoryDescribesBothPlugInsAndTheMultiHasSevenNamedStereoPorts) {
    Host h;
    ASSERT_TRUE(h.load(BRS_CLAP_PATH)) << h.error();
    const clap_plugin_factory_t* f = h.factory();
    ASSERT_EQ(f->get_plugin_count(f), 2u);
    EXPECT_STREQ(f->get_plugin_descriptor(f, 0)->id, "de.velmora.brisanto");
    const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, 1);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->id, MULTI_ID);
    EXPECT_STREQ(d->name, "brisanto Multi");
    EXPECT_STREQ(d->vendor, "Velmora");
    EXPECT_STREQ(d->features[0], "instrument");
    EXPECT_EQ(f->get_plugin_descriptor(f, 2), nullptr);

    ASSERT_TRUE(h.create(MULTI_ID)) << h.error();
    EXPECT_EQ(h.plugin()->desc, d);
    const clap_plugin_audio_ports_t* ap = h.audioPorts();
    ASSERT_EQ(ap->count(h.plugin(), false), 7u);
    EXPECT_EQ(ap->count(h.plugin(), true), 0u);
    const char* const names[] = {"Ausgang", "Kick", "Bass", "Hoover", "Break", "Hat", "Stab"};
    for (uint32_t i = 0; i < 7; ++i) {
        clap_audio_port_info_t info;
        std::memset(&info, 0x5a, sizeof info);
        ASSERT_TRUE(ap->get(h.plugin(), i, false, &info)) << i;
        EXPECT_EQ(info.id, i);
        EXPECT_STREQ(info.name, names[i]);
        EXPECT_EQ(info.flags, i == 0 ? 1u : 0u) << "only the first port is the main one";
        EXPECT_EQ(info.channel_count, 2u);
        EXPECT_STREQ(info.port_type, "stereo");
        EXPECT_EQ(info.in_place_pair, CLAP_INVALID_ID);
    }
    clap_audio_port_info_t info{};
    EXPECT_FALSE(ap->get(h.plugin(), 7, false, &info));
    EXPECT_FALSE(ap->get(h.plugin(), 0, true, &info));
    EXPECT_FALSE(ap->get(h.plugin(), 0, false, nullptr));
}

// With every track on "Summe" the main output is the stereo plug-in's, bit
// for bit, and every track port carries exact silence.
TEST(Multi, EverythingOnSummeSoundsAsTheStereoPlugInAndTrackPortsAreSilent) {
    const Channels ref = playStereo({});
    ASSERT_FALSE(silent(ref[0]));
    const Channels m = playMulti({}, 0);
    EXPECT_EQ(m[0], ref[0]);
    EXPECT_EQ(m[1], ref[1]);
    for (int c = 2; c < 14; ++c) EXPECT_TRUE(silent(m[c])) << "port " << c / 2;
}

// Each track alone on its port, with master drive off and a level low enough
// that the limiter never acts, so everything is linear: the track's port
// carries its dry signal times the master level on both channels, no other
// port sounds, and the main output plus that port is the stereo plug-in's
// output. The track also sends to the delay, so a port that took the sends
// along would break the sum.
TEST(Multi, EachTrackOnItsOwnPortLeavesTheMainMixButKeepsItsSends) {
    for (int t = 0; t < 6; ++t) {
        SCOPED_TRACE(t);
        const std::vector<Setting> set = {{1000, 0.0}, {1001, 0.04}, {clap_id(16 * t + 5), 0.6}};
        const Channels ref = playStereo(set);
        const Channels m = playMulti(set, 1u << t);
        const std::vector<float>& own = m[2 + 2 * t];
        ASSERT_FALSE(silent(own));
        EXPECT_EQ(own, m[3 + 2 * t]) << "a track is mono on both channels";
        for (int u = 0; u < 6; ++u)
            if (u != t) EXPECT_TRUE(silent(m[2 + 2 * u])) << "port of track " << u;
        double worst = 0.0, peak = 0.0;
        for (int c = 0; c < 2; ++c)
            for (size_t i = 0; i < ref[c].size(); ++i) {
                peak = std::max(peak, double(std::fabs(ref[c][i])));
                const double d = std::fabs(m[c][i] + own[i] - ref[c][i]);
                worst = std::max(worst, d);
            }
        ASSERT_LT(peak, 0.7) << "the limiter must stay out of this comparison";
        EXPECT_LT(worst, 1e-6);
        EXPECT_NE(m[0], ref[0]) << "the track left the main mix";
    }
}

// A track's port carries it after the master drive curve and level, exactly:
// the stereo plug-in playing that track alone (the others muted, no sends,
// so nothing reaches delay or reverb, and quiet enough for the limiter to
// stay out) gives the same samples as the Multi's port, with a strong drive.
TEST(Multi, ATrackPortIsTheTrackThroughMasterDriveAndLevel) {
    for (int t : {0, 1, 4, 5}) {  // the tracks the default groove plays
        SCOPED_TRACE(t);
        std::vector<Setting> set = {{1000, 0.5}, {1001, 0.5}};
        for (int u = 0; u < 6; ++u)
            if (u != t) set.push_back({clap_id(16 * u + 7), 1.0});
        Host s;
        ASSERT_TRUE(open(s));
        for (const Setting& v : set) s.setParam(v.id, v.value);
        ASSERT_TRUE(s.activate(48000.0, 1, BLOCK));
        s.setTransport({true, true, true, 175.0});
        Host m;
        ASSERT_TRUE(openMulti(m));
        for (const Setting& v : set) m.setParam(v.id, v.value);
        plug::from(m.plugin())->route[t].store(1);
        ASSERT_TRUE(m.activate(48000.0, 1, BLOCK));
        m.setTransport({true, true, true, 175.0});
        Ports p(7, BLOCK);
        std::vector<float> l(BLOCK), r(BLOCK);
        bool sounded = false;
        for (int b = 0; b < BLOCKS; ++b) {
            s.process(BLOCK, l.data(), r.data());
            p.run(m, BLOCK);
            ASSERT_EQ(p.ch(uint32_t(t + 1), 0), l) << "block " << b;
            ASSERT_TRUE(silent(p.ch(0, 0))) << "nothing else plays";
            sounded = sounded || !silent(l);
        }
        EXPECT_TRUE(sounded);
    }
}

// The limiter guards the main mix only; a loud track on its own port is not
// limited, but never carries a non-finite sample.
TEST(Multi, TrackPortsAreNotLimited) {
    const Channels m = playMulti({{1000, 0.0}, {1001, 1.0}}, 0x3f);
    float mainPeak = 0.0f, trackPeak = 0.0f;
    for (int c = 0; c < 14; ++c)
        for (float x : m[c]) {
            ASSERT_TRUE(std::isfinite(x));
            (c < 2 ? mainPeak : trackPeak) = std::max(c < 2 ? mainPeak : trackPeak, std::fabs(x));
        }
    EXPECT_LE(mainPeak, 0.7079f + 1e-6f);
    EXPECT_GT(trackPeak, 0.7079f);
}

// Hosts that hand over fewer ports, ports without buffers or without a
// channel: nothing crashes, a track whose port is missing stays in the main
// mix (so with all tracks routed and only the main port given, the main
// output is the stereo plug-in's), and what is given is written.
TEST(Multi, MissingAndNullBuffersOfTrackPorts) {
    const Channels ref = playStereo({});
    struct Case {
        const char* what;
        uint32_t ports;
        int nullData;     // port whose data32 is null, or -1
        int nullRight;    // port whose right channel is null, or -1
    } cases[] = {
        {"main port only", 1, -1, -1},
        {"three ports", 3, -1, -1},
        {"kick port without data", 7, 1, -1},
        {"bass port without its right channel", 7, -1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Host h;
        ASSERT_TRUE(openMulti(h));
        for (int t = 0; t < 6; ++t) plug::from(h.plugin())->route[t].store(1);
        ASSERT_TRUE(h.activate(48000.0, 1, BLOCK));
        ASSERT_TRUE(h.startProcessing());
        h.setTransport({true, true, true, 175.0});
        Ports p(7, BLOCK);
        if (c.nullData >= 0) p.bufs[size_t(c.nullData)].data32 = nullptr;
        if (c.nullRight >= 0) p.ptrs[size_t(2 * c.nullRight + 1)] = nullptr;
        Channels got(14);
        EventList ev;
        for (int b = 0; b < BLOCKS; ++b) {
            sceneEvents(b, ev);
            p.fill(9.0f);
            p.run(h, BLOCK, &ev, c.ports);
            for (uint32_t k = 0; k < 2 * c.ports; ++k) got[k].insert(got[k].end(), p.data[k].begin(), p.data[k].end());
        }
        for (const auto& x : got)
            for (float v : x) ASSERT_TRUE(std::isfinite(v));
        if (c.ports == 1) {
            EXPECT_EQ(got[0], ref[0]);
            EXPECT_EQ(got[1], ref[1]);
        } else {
            EXPECT_NE(got[0], ref[0]);  // the tracks with ports left the mix
        }
        if (c.nullData == 1) {
            EXPECT_TRUE(std::all_of(got[2].begin(), got[2].end(), [](float v) { return v == 9.0f; }));
        } else if (c.ports > 1) {
            EXPECT_FALSE(silent(got[2])) << "the kick has its port";
        }
        if (c.nullRight == 2) EXPECT_FALSE(silent(got[4])) << "the bass keeps its left channel";
    }
    // No outputs at all, and a block before activation.
    Host h;
    ASSERT_TRUE(openMulti(h));
    Ports p(7, BLOCK);
    EXPECT_EQ(p.run(h, BLOCK), CLAP_PROCESS_CONTINUE);
    for (int c = 0; c < 14; ++c) EXPECT_TRUE(silent(p.data[size_t(c)])) << c;
    ASSERT_TRUE(h.activate(48000.0, 1, BLOCK));
    EXPECT_EQ(h.processPorts(BLOCK, nullptr, 0), CLAP_PROCESS_CONTINUE);
}

// While the instance lock is held elsewhere, every port is silent.
TEST(Multi, BusyBlocksSilenceEveryPort) {
    Host h;
    ASSERT_TRUE(openMulti(h));
    plug::from(h.plugin())->route[0].store(1);
    ASSERT_TRUE(h.activate(48000.0, 1, BLOCK));
    h.setTransport({true, true, true, 175.0});
    Ports p(7, BLOCK);
    for (int b = 0; b < 4; ++b) p.run(h, BLOCK);
    LockHeld busy(plug::from(h.plugin())->engineMutex);
    p.fill(9.0f);
    p.run(h, BLOCK);
    for (int c = 0; c < 14; ++c) EXPECT_TRUE(silent(p.data[size_t(c)])) << c;
}

// The routing travels in the state's tail as its own member; the stereo
// plug-in's state keeps its old form, and an old state puts every track on
// "Summe".
TEST(Multi, RoutingIsStoredInTheStateTail) {
    Host a;
    ASSERT_TRUE(openMulti(a));
    const unsigned apart = 0b100101;
    for (int t = 0; t < 6; ++t) plug::from(a.plugin())->route[t].store((apart >> t) & 1u);
    std::vector<uint8_t> st;
    ASSERT_TRUE(a.saveState(st));
    const std::string text(st.begin(), st.end());
    const std::string tail = text.substr(text.find('\n') + 1);
    EXPECT_EQ(tail, "{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"hostPos\":1,\"route\":[1,0,1,0,0,1]}");

    Host b;
    ASSERT_TRUE(openMulti(b));
    ASSERT_TRUE(b.loadState(st));
    for (int t = 0; t < 6; ++t) EXPECT_EQ(plug::from(b.plugin())->route[t].load(), (apart >> t) & 1u) << t;

    // An old state (no route member), a broken list and a rejected state.
    const std::string set = text.substr(0, text.find('\n'));
    struct {
        std::string tail;
        bool ok;
        unsigned want;
    } cases[] = {
        {"{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1}", true, 0},
        {"{\"route\":[1,1,x,1]}", true, 0b11},
        {"{\"route\":[0,7,1,1,1,1,1,1]}", true, 0b111100},
    };
    for (const auto& c : cases) {
        for (int t = 0; t < 6; ++t) plug::from(b.plugin())->route[t].store(1);
        EXPECT_EQ(b.loadState(set + "\n" + c.tail), c.ok) << c.tail;
        unsigned got = 0;
        for (int t = 0; t < 6; ++t) got |= unsigned(plug::from(b.plugin())->route[t].load()) << t;
        EXPECT_EQ(got, c.want) << c.tail;
    }
    for (int t = 0; t < 6; ++t) plug::from(b.plugin())->route[t].store(1);
    EXPECT_FALSE(b.loadState(std::string("{\"format\":\"vm-groove/1.1\"}\n{\"route\":[0,0,0,0,0,0]}")));
    for (int t = 0; t < 6; ++t) EXPECT_EQ(plug::from(b.plugin())->route[t].load(), 1u) << "a refused state changes nothing";

    Host s;
    ASSERT_TRUE(open(s));
    std::vector<uint8_t> ss;
    ASSERT_TRUE(s.saveState(ss));
    const std::string stext(ss.begin(), ss.end());
    EXPECT_EQ(stext.substr(stext.find('\n') + 1), "{\"plugin\":\"brisanto\",\"follow\":1,\"pat\":1,\"hostPos\":1}");
}

}  // namespace
}  // namespace brs::ptest
