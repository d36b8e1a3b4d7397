// The entry, the factory, the descriptor, the ports and the instance lifecycle.
#include <cstring>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

TEST(Entry, DescriptorAndFactory) {
    Host h;
    ASSERT_TRUE(h.load(BRS_CLAP_PATH)) << h.error();
    const clap_plugin_entry_t* e = h.entry();
    EXPECT_EQ(e->clap_version.major, 1u);
    EXPECT_EQ(e->clap_version.minor, 2u);
    EXPECT_EQ(e->clap_version.revision, 6u);
    EXPECT_NE(e->get_factory("clap.preset-discovery-factory/2"), nullptr);
    EXPECT_EQ(e->get_factory("clap.plugin-invalidation-factory/1"), nullptr);
    const clap_plugin_factory_t* f = h.factory();
    ASSERT_NE(f, nullptr);
    // The stereo plug-in first, then the Multi (tests/plugin/multi_test.cpp).
    EXPECT_EQ(f->get_plugin_count(f), 2u);
    EXPECT_EQ(f->get_plugin_descriptor(f, 2), nullptr);
    const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, 0);
    ASSERT_NE(d, nullptr);
    const std::string id = d->id;
    EXPECT_EQ(id.substr(id.size() - 9), ".brisanto");
    EXPECT_STREQ(d->name, "BRISANTO");
    EXPECT_STREQ(d->vendor, "Velmora");
    EXPECT_STREQ(d->version, "0.3.0");
    EXPECT_STREQ(d->description,
                 "Hardcore-Groovebox: Kick, Bass, Hoover, Break, Hat, Stab \u2014 Sequencer folgt dem Host, "
                 "Noten 36\u201341 spielen die Spuren");
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.revision, 6u);
    ASSERT_NE(d->url, nullptr);
    ASSERT_NE(d->manual_url, nullptr);
    ASSERT_NE(d->support_url, nullptr);
    const char* const want[] = {"instrument", "drum-machine", "synthesizer", "stereo"};
    for (int i = 0; i < 4; ++i) EXPECT_STREQ(d->features[i], want[i]);
    EXPECT_EQ(d->features[4], nullptr);
}

TEST(Entry, CreationRefusals) {
    Host h;
    ASSERT_TRUE(h.load(BRS_CLAP_PATH));
    EXPECT_FALSE(h.create("de.velmora.brisanto2"));
    EXPECT_FALSE(h.create(""));
    h.setHostVersion({0, 9, 0});
    EXPECT_FALSE(h.create());
    h.setHostVersion({1, 0, 0});
    EXPECT_TRUE(h.create());
}

TEST_F(PluginTest, ExtensionsAndPorts) {
    EXPECT_NE(host.audioPorts(), nullptr);
    EXPECT_NE(host.notePorts(), nullptr);
    EXPECT_NE(host.params(), nullptr);
    EXPECT_NE(host.state(), nullptr);
    EXPECT_NE(host.extension("clap.gui"), nullptr);
    EXPECT_NE(host.extension("clap.timer-support"), nullptr);
    EXPECT_EQ(host.extension("clap.latency"), nullptr);
    EXPECT_EQ(host.extension("clap.params.x"), nullptr);

    const clap_plugin_t* pl = host.plugin();
    const clap_plugin_audio_ports_t* ap = host.audioPorts();
    EXPECT_EQ(ap->count(pl, false), 1u);
    EXPECT_EQ(ap->count(pl, true), 0u);
    clap_audio_port_info_t ai;
    std::memset(&ai, 0x5a, sizeof ai);
    EXPECT_FALSE(ap->get(pl, 0, true, &ai));
    EXPECT_FALSE(ap->get(pl, 1, false, &ai));
    EXPECT_EQ(ai.id, 0x5a5a5a5au);  // untouched by a refusal
    ASSERT_TRUE(ap->get(pl, 0, false, &ai));
    EXPECT_EQ(ai.id, 0u);
    EXPECT_STREQ(ai.name, "Ausgang");
    EXPECT_EQ(ai.flags, 1u);
    EXPECT_EQ(ai.channel_count, 2u);
    EXPECT_STREQ(ai.port_type, "stereo");
    EXPECT_EQ(ai.in_place_pair, 0xFFFFFFFFu);

    const clap_plugin_note_ports_t* np = host.notePorts();
    EXPECT_EQ(np->count(pl, true), 1u);
    EXPECT_EQ(np->count(pl, false), 0u);
    clap_note_port_info_t ni;
    EXPECT_FALSE(np->get(pl, 0, false, &ni));
    EXPECT_FALSE(np->get(pl, 1, true, &ni));
    ASSERT_TRUE(np->get(pl, 0, true, &ni));
    EXPECT_EQ(ni.id, 0u);
    EXPECT_EQ(ni.supported_dialects, 3u);
    EXPECT_EQ(ni.preferred_dialect, 1u);
    EXPECT_STREQ(ni.name, "Noten 36\u201341");
}

// Track t's steps of pattern 0 in the state's set document, as "on:acc:note:rat" for on steps.
std::vector<std::string> onSteps(const Val& set, int pat, int t) {
    std::vector<std::string> out;
    const Val& steps = find(set, "pats")->arr[pat].arr[t];
    for (size_t s = 0; s < steps.arr.size(); ++s) {
        const Val& st = steps.arr[s];
        if (find(st, "on")->num == 0) continue;
        char b[128];
        std::snprintf(b, sizeof b, "%zu:%g:%g:%g:%g:%g", s, find(st, "acc")->num, find(st, "note")->num,
                      find(st, "rat")->num, find(st, "slice")->num, find(st, "rev")->num);
        out.push_back(b);
    }
    return out;
}

TEST_F(PluginTest, FreshInstanceHoldsTheDefaultGrooveAt175) {
    const Val set = parse(setText());
    EXPECT_EQ(find(set, "bpm")->num, 175.0);
    EXPECT_EQ(find(set, "len")->num, 16.0);
    EXPECT_EQ(find(set, "swing")->num, 0.0);
    using V = std::vector<std::string>;
    EXPECT_EQ(onSteps(set, 0, 0), (V{"0:1:0:1:0:0", "4:0:0:1:0:0", "8:0:0:1:0:0", "12:0:0:1:0:0"}));
    EXPECT_EQ(onSteps(set, 0, 1),
              (V{"2:1:0:1:0:0", "6:0:0:1:0:0", "7:0:3:1:0:0", "10:0:0:1:0:0", "14:0:0:1:0:0"}));
    EXPECT_EQ(onSteps(set, 0, 2), V{});
    EXPECT_EQ(onSteps(set, 0, 3), V{});
    EXPECT_EQ(onSteps(set, 0, 4), (V{"1:0:0:1:0:0", "3:1:0:1:0:0", "5:0:0:1:0:0", "7:1:0:1:0:0", "9:0:0:1:0:0",
                                     "11:1:0:1:0:0", "13:0:0:1:0:0", "15:1:0:2:0:0"}));
    EXPECT_EQ(onSteps(set, 0, 5), (V{"4:0:0:1:0:0", "12:1:0:1:0:0"}));
    // The break track keeps the engine's slice layout: slice = step mod 16.
    const Val& brk = find(set, "pats")->arr[0].arr[3];
    for (int s = 0; s < 64; ++s) EXPECT_EQ(find(brk.arr[s], "slice")->num, s % 16) << s;
    for (int p = 1; p < 8; ++p)
        for (int t = 0; t < 6; ++t) EXPECT_TRUE(onSteps(set, p, t).empty()) << p << "/" << t;

    // The cache mirrors the fresh engine; the plug-in settings start at 1, 1, 0.
    EXPECT_DOUBLE_EQ(value(16 * 1 + 1), kern.get_param(engine(), 1, "cut"));
    EXPECT_DOUBLE_EQ(value(1001), kern.get_param(engine(), 6, "level"));
    EXPECT_DOUBLE_EQ(value(1003), kern.get_param(engine(), 6, "delayTime"));
    EXPECT_EQ(value(87), 0.0);
    EXPECT_EQ(value(1006), 1.0);
    EXPECT_EQ(value(1007), 1.0);
    EXPECT_EQ(value(1008), 0.0);
    EXPECT_EQ(plug()->sampleRate, 48000.0);
    EXPECT_TRUE(plug()->status.empty());

    // With a playing transport and no tempo, the groove plays at 175 BPM:
    // the kick sounds from the first frames, the step advances every
    // 60 / 175 / 4 s (4114.29 frames at 48 kHz).
    activate();
    host.setTransport({true, true, false, 90.0});
    auto [l, r] = run(64);
    EXPECT_GE(firstSound(l), 0);
    EXPECT_LT(firstSound(l), 8);
    EXPECT_TRUE(kern.playing(engine()));
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 175.0f);
    run(4114 - 64);
    EXPECT_EQ(kern.step(engine()), 1);
    run(2);
    EXPECT_EQ(kern.step(engine()), 2);
}

TEST_F(PluginTest, ActivationAtAnotherRateKeepsTheSet) {
    std::string changed = engineSet();
    changed.replace(changed.find("\"bpm\":175"), 9, "\"bpm\":140");
    ASSERT_TRUE(host.loadState(changed));
    host.setParam(0, 0.25);
    host.setParam(1002, 33.0);
    host.setParam(1007, 3.0);
    activate(48000.0);
    host.setTransport({true, true, false, 0.0});
    run(512);
    ASSERT_TRUE(kern.playing(engine()));
    brskern_t first = engine();
    const std::string mid = engineSet();
    host.deactivate();
    ASSERT_TRUE(host.activate(48000.0, 1, 512));
    EXPECT_EQ(engine(), first);  // same rate: the engine stays, and keeps playing
    EXPECT_TRUE(kern.playing(engine()));
    host.deactivate();
    ASSERT_TRUE(host.activate(44100.0, 32, 512));
    EXPECT_EQ(plug()->sampleRate, 44100.0);
    EXPECT_FALSE(kern.playing(engine()));  // a new engine starts stopped
    EXPECT_EQ(engineSet(), mid);           // everything the set document carries came across
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 140.0f);
    EXPECT_EQ(kern.get_param(engine(), 0, "level"), 0.25f);
    // hostPlaying kept its value: a host that keeps playing does not restart it...
    EXPECT_TRUE(plug()->hostPlaying);
    host.startProcessing();
    run(256);
    EXPECT_FALSE(kern.playing(engine()));
    // ...until its next transition from stopped to playing.
    host.setTransport({true, false, false, 0.0});
    run(256);
    host.setTransport({true, true, false, 0.0});
    run(256);
    EXPECT_TRUE(kern.playing(engine()));
}

TEST_F(PluginTest, ActivationReappliesHostValuesButNotPatternOrLoad) {
    auto set_fx = reinterpret_cast<void (*)(brskern_t, float, float, float)>(host.symbol("brskern_set_fx"));
    auto set_mute = reinterpret_cast<void (*)(brskern_t, uint32_t, bool)>(host.symbol("brskern_set_mute"));
    auto set_song = reinterpret_cast<void (*)(brskern_t, const uint8_t*, size_t)>(host.symbol("brskern_set_song"));
    auto set_param = reinterpret_cast<int (*)(brskern_t, uint32_t, const char*, float)>(host.symbol("brskern_set_param"));
    host.setParam(1004, 0.7);
    host.setParam(16 * 2 + 7, 1.0);  // hoover muted
    host.setParam(1007, 5.0);
    host.setParam(1008, 1.0);
    const int requests = host.callbackRequests();
    // The engine drifts away from the host's values behind the cache's back.
    set_fx(engine(), 0.375f, 0.1f, 0.8f);
    set_mute(engine(), 2, false);
    set_param(engine(), 6, "drive", 0.9f);
    const uint8_t chain[2] = {0, 1};
    set_song(engine(), chain, 2);
    const std::string song = engineSet().substr(engineSet().find("\"song\""));
    activate(96000.0);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayFb"), 0.7f);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayTime"), float(value(1003)));
    EXPECT_EQ(kern.get_param(engine(), 2, "mute"), 1.0f);
    EXPECT_EQ(kern.get_param(engine(), 6, "drive"), float(value(1000)));
    EXPECT_EQ(engineSet().substr(engineSet().find("\"song\"")), song);  // 1007 not replayed
    EXPECT_EQ(host.callbackRequests(), requests);                        // 1008 not replayed
}

TEST_F(PluginTest, ResetStopsTheSequencerAndForgetsTheHostPlayState) {
    activate();
    host.setTransport({true, true, true, 175.0});
    run(256);
    ASSERT_TRUE(kern.playing(engine()));
    ASSERT_TRUE(plug()->hostPlaying);
    host.reset();
    EXPECT_FALSE(kern.playing(engine()));
    EXPECT_FALSE(plug()->hostPlaying);
    // The host still plays: the next block is a transition to playing again.
    run(256);
    EXPECT_TRUE(kern.playing(engine()));
}

}  // namespace
}  // namespace brs::ptest
