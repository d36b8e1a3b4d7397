// The 57 host parameters: info, values, texts, the apply rules, the editor's
// edit queue and the set-load trigger.
#include <cstring>
#include <thread>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

clap_param_info_t info(const Host& h, uint32_t index, bool* ok) {
    clap_param_info_t i;
    std::memset(&i, 0x7f, sizeof i);
    *ok = h.params()->get_info(h.plugin(), index, &i);
    return i;
}

TEST_F(PluginTest, ParameterInfo) {
    const clap_plugin_params_t* pa = host.params();
    EXPECT_EQ(pa->count(host.plugin()), 57u);
    bool ok;
    clap_param_info_t i = info(host, 0, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.id, 0u);
    EXPECT_STREQ(i.name, "Kick Pegel");
    EXPECT_STREQ(i.module, "Kick");
    EXPECT_EQ(i.flags, uint32_t(CLAP_PARAM_IS_AUTOMATABLE));
    EXPECT_EQ(i.cookie, nullptr);
    EXPECT_EQ(i.min_value, 0.0);
    EXPECT_EQ(i.max_value, 1.0);
    EXPECT_EQ(i.default_value, double(kern.get_param(engine(), 0, "level")));
    EXPECT_EQ(i.name[sizeof i.name - 1], 0);  // cleared first: no stale bytes
    EXPECT_EQ(i.module[sizeof i.module - 1], 0);

    i = info(host, 47, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.id, 87u);
    EXPECT_STREQ(i.name, "Stab Stumm");
    EXPECT_STREQ(i.module, "Stab");
    EXPECT_EQ(i.flags, uint32_t(CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED));
    EXPECT_EQ(i.default_value, 0.0);

    i = info(host, 8 * 1 + 1, &ok);  // Bass Filter
    EXPECT_STREQ(i.name, "Bass Filter");
    EXPECT_EQ(i.id, 17u);
    EXPECT_EQ(i.min_value, 40.0);
    EXPECT_EQ(i.max_value, 16000.0);
    i = info(host, 8 * 2 + 3, &ok);
    EXPECT_STREQ(i.name, "Hoover Ausklang");
    EXPECT_EQ(i.min_value, 0.01);
    EXPECT_EQ(i.max_value, 2.0);

    i = info(host, 48, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.id, 1000u);
    EXPECT_STREQ(i.name, "Summe Zerre");
    EXPECT_STREQ(i.module, "Summe");
    EXPECT_EQ(i.default_value, 0.15);
    EXPECT_EQ(i.flags, uint32_t(CLAP_PARAM_IS_AUTOMATABLE));
    i = info(host, 52, &ok);
    EXPECT_STREQ(i.name, "Delay R\u00fcckkopplung");
    EXPECT_EQ(i.max_value, 0.95);
    i = info(host, 53, &ok);
    EXPECT_STREQ(i.name, "Hall Gr\u00f6\u00dfe");
    i = info(host, 55, &ok);
    EXPECT_EQ(i.id, 1007u);
    EXPECT_EQ(i.min_value, 1.0);
    EXPECT_EQ(i.max_value, 8.0);
    EXPECT_EQ(i.flags, uint32_t(CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED));

    i = info(host, 56, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.id, 1008u);
    EXPECT_STREQ(i.name, "Set laden (Datei)");
    EXPECT_STREQ(i.module, "Summe");
    EXPECT_EQ(i.default_value, 0.0);

    clap_param_info_t untouched = info(host, 57, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(untouched.id, 0x7f7f7f7fu);
    info(host, 0xFFFFFFFFu, &ok);
    EXPECT_FALSE(ok);
}

TEST_F(PluginTest, PerTrackDefaultsStayTheFreshInstanceValues) {
    bool ok;
    const double level0 = info(host, 0, &ok).default_value;
    const double cut9 = info(host, 9, &ok).default_value;
    EXPECT_EQ(level0, double(kern.get_param(engine(), 0, "level")));
    host.setParam(0, 0.2);
    host.setParam(17, 900.0);
    host.setParam(7, 1.0);
    EXPECT_EQ(value(0), double(0.2f));
    EXPECT_EQ(info(host, 0, &ok).default_value, level0);
    EXPECT_EQ(info(host, 9, &ok).default_value, cut9);
    EXPECT_EQ(info(host, 7, &ok).default_value, 0.0);
    // A state load changes the values, never the defaults.
    std::string s = engineSet();
    ASSERT_TRUE(host.loadState(s));
    EXPECT_EQ(value(17), 900.0);
    EXPECT_EQ(info(host, 9, &ok).default_value, cut9);
    // Globals report their table defaults whatever their value.
    host.setParam(1001, 0.1);
    EXPECT_EQ(info(host, 49, &ok).default_value, 0.85);
}

TEST_F(PluginTest, ValuesHaveCacheSlotsOnlyForTheirIds) {
    double v = 7.0;
    EXPECT_FALSE(host.getParam(8, &v));
    EXPECT_FALSE(host.getParam(15, &v));
    EXPECT_FALSE(host.getParam(96, &v));
    EXPECT_FALSE(host.getParam(999, &v));
    EXPECT_FALSE(host.getParam(1016, &v));
    EXPECT_EQ(v, 7.0);
    EXPECT_TRUE(host.getParam(1010, &v));
    EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(host.getParam(87, &v));
    // Out-of-family ids are ignored; 1009..1015 only hold the value.
    host.setParam(8, 0.5);
    host.setParam(96, 0.5);
    host.setParam(1012, 4.5);
    EXPECT_EQ(value(1012), 4.5);
    // Out-of-range values are kept to the parameter's range, in the cache and the kernel.
    host.setParam(1002, 99.0);
    EXPECT_EQ(value(1002), 60.0);
    EXPECT_EQ(kern.get_param(engine(), 6, "swing"), 60.0f);
}

TEST_F(PluginTest, ValueTexts) {
    EXPECT_EQ(host.paramText(1, 400.0), "400 Hz");
    EXPECT_EQ(host.paramText(3, 0.35), "350 ms");
    EXPECT_EQ(host.paramText(0, 0.9), "0.90");
    EXPECT_EQ(host.paramText(7, 1.0), "stumm");
    EXPECT_EQ(host.paramText(7, 0.0), "an");
    EXPECT_EQ(host.paramText(87, 0.5), "stumm");
    EXPECT_EQ(host.paramText(81, 12000.0), "12000 Hz");
    EXPECT_EQ(host.paramText(18, 4.0), "4.00");
    EXPECT_EQ(host.paramText(9, 2.0), "2.00");  // low bits alone decide: 9 is "%.2f"
    EXPECT_EQ(host.paramText(1000, 0.15), "0.15");
    EXPECT_EQ(host.paramText(1002, 30.0), "30 %");
    EXPECT_EQ(host.paramText(1003, 0.375), "375 ms");
    EXPECT_EQ(host.paramText(1004, 0.4), "0.40");
    EXPECT_EQ(host.paramText(1006, 0.0), "nein");
    EXPECT_EQ(host.paramText(1006, 1.0), "ja");
    EXPECT_EQ(host.paramText(1007, 3.0), "3");
    EXPECT_EQ(host.paramText(1007, 2.5), "3");  // halves away from zero
    EXPECT_EQ(host.paramText(1008, 1.0), "laden");
    EXPECT_EQ(host.paramText(1008, 0.0), "\u2013");
    EXPECT_EQ(host.paramText(5000, 1.0), "1.00");
    // Never past the host's capacity, and always zero-terminated.
    char b[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(host.params()->value_to_text(host.plugin(), 1, 16000.0, b, 4));
    EXPECT_STREQ(b, "160");
    char one = 'x';
    EXPECT_TRUE(host.params()->value_to_text(host.plugin(), 1008, 0.0, &one, 1));
    EXPECT_EQ(one, 0);
}

bool t2v(const Host& h, clap_id id, const char* text, double* v) {
    return h.params()->text_to_value(h.plugin(), id, text, v);
}

TEST_F(PluginTest, TextsReadBackAsValues) {
    double v = -1;
    EXPECT_TRUE(t2v(host, 1003, "375 ms", &v));
    EXPECT_DOUBLE_EQ(v, 0.375);
    EXPECT_TRUE(t2v(host, 1, "400 Hz", &v));
    EXPECT_EQ(v, 400.0);
    EXPECT_TRUE(t2v(host, 1002, "30 %", &v));
    EXPECT_EQ(v, 30.0);
    EXPECT_TRUE(t2v(host, 0, "0.9", &v));  // a plain number reads as before
    EXPECT_EQ(v, 0.9);
    EXPECT_TRUE(t2v(host, 0, " 0.5 ", &v));
    EXPECT_EQ(v, 0.5);
    EXPECT_FALSE(t2v(host, 0, " 0.5xyz", &v));  // what follows a number must be its unit
    const std::pair<const char*, double> words[] = {{"stumm", 1}, {"an", 0},   {"ja", 1},        {"nein", 0},
                                                    {"laden", 1}, {"\u2013", 0}, {" Stumm ", 1}};
    for (auto [w, want] : words) {
        v = -1;
        EXPECT_TRUE(t2v(host, 7, w, &v)) << w;
        EXPECT_EQ(v, want) << w;
    }
    EXPECT_FALSE(t2v(host, 0, "", &v));
    EXPECT_FALSE(t2v(host, 0, "abc", &v));
    EXPECT_FALSE(t2v(host, 0, "ms", &v));
    EXPECT_FALSE(t2v(host, 0, "nan", &v));
    EXPECT_FALSE(t2v(host, 0, "inf", &v));
    EXPECT_FALSE(t2v(host, 0, "anders", &v));
}

// value -> text -> value -> text gives the same text for every parameter
// over its whole range.
TEST_F(PluginTest, TextRoundTripIsStableForEveryParameter) {
    bool ok;
    for (uint32_t index = 0; index < 57; ++index) {
        clap_param_info_t i = info(host, index, &ok);
        ASSERT_TRUE(ok);
        for (int s = 0; s <= 200; ++s) {
            double v = i.min_value + (i.max_value - i.min_value) * s / 200.0;
            std::string t1 = host.paramText(i.id, v);
            double back = -99;
            ASSERT_TRUE(t2v(host, i.id, t1.c_str(), &back)) << i.name << " " << t1;
            std::string t2 = host.paramText(i.id, back);
            EXPECT_EQ(t1, t2) << i.name << " at " << v;
        }
    }
    // The value itself comes back within the text's precision.
    double v;
    ASSERT_TRUE(t2v(host, 3, host.paramText(3, 0.35).c_str(), &v));
    EXPECT_DOUBLE_EQ(v, 0.35);
    ASSERT_TRUE(t2v(host, 1003, host.paramText(1003, 1.9).c_str(), &v));
    EXPECT_DOUBLE_EQ(v, 1.9);
}

TEST_F(PluginTest, EffectValuesTravelTogether) {
    host.setParam(1003, 0.5);
    host.setParam(1005, 0.3);
    host.setParam(1004, 0.6);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayTime"), 0.5f);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayFb"), 0.6f);
    EXPECT_EQ(kern.get_param(engine(), 6, "reverbSize"), 0.3f);
    // A value beyond the range arrives as the range's end, in the kernel and the cache.
    host.setParam(1004, 2.0);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayFb"), 0.95f);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayTime"), 0.5f);
    EXPECT_EQ(value(1004), double(0.95f));
    host.setParam(1000, 0.4);
    host.setParam(1001, 0.6);
    EXPECT_EQ(kern.get_param(engine(), 6, "drive"), 0.4f);
    EXPECT_EQ(kern.get_param(engine(), 6, "level"), 0.6f);
    host.setParam(16 * 3 + 1, 900.0);
    EXPECT_EQ(kern.get_param(engine(), 3, "cut"), 900.0f);
    host.setParam(16 * 3 + 7, 0.49);
    EXPECT_EQ(kern.get_param(engine(), 3, "mute"), 0.0f);
    host.setParam(16 * 3 + 7, 0.5);
    EXPECT_EQ(kern.get_param(engine(), 3, "mute"), 1.0f);
}

TEST_F(PluginTest, PatternParameterSelectsThroughTheSongChain) {
    auto songOf = [&] {
        std::string s = engineSet();
        return s.substr(s.find("\"song\""));
    };
    host.setParam(1007, 3.0);
    EXPECT_EQ(songOf(), "\"song\":[{\"pat\":2,\"rep\":1}],\"chain\":false}");
    host.setParam(1007, 0.4);  // below the range: pattern 1
    EXPECT_EQ(songOf(), "\"song\":[{\"pat\":0,\"rep\":1}],\"chain\":false}");
    host.setParam(1007, 12.0);  // beyond the range: pattern 8
    EXPECT_EQ(songOf(), "\"song\":[{\"pat\":7,\"rep\":1}],\"chain\":false}");
    host.setParam(1007, 7.6);
    EXPECT_EQ(songOf(), "\"song\":[{\"pat\":7,\"rep\":1}],\"chain\":false}");
    host.setParam(1007, std::nan(""));  // a value that is not a number is ignored
    EXPECT_EQ(songOf(), "\"song\":[{\"pat\":7,\"rep\":1}],\"chain\":false}");
    EXPECT_EQ(value(1007), 7.6);
    EXPECT_EQ(host.paramText(1007, std::nan("")), "0");
}

TEST_F(PluginTest, LoadTriggerRisingEdgesImportOnTheMainThread) {
    TempHome home;
    std::string s = engineSet();
    s.replace(s.find("\"bpm\":175"), 9, "\"bpm\":150");
    home.writeSet(s);
    activate();
    EventList ev;
    // 1, 1, 0, 1 with the main thread running in between: two imports.
    int imports = 0;
    for (double v : {1.0, 1.0, 0.0, 1.0}) {
        ev.clear();
        ev.param(0, 1008, v);
        run(64, &ev);
        if (host.idle()) ++imports;
    }
    EXPECT_EQ(host.callbackRequests(), 2);
    EXPECT_EQ(imports, 2);
    EXPECT_EQ(plug()->status, "Set geladen");
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 150.0f);
    EXPECT_EQ(host.rescans(), (std::vector<uint32_t>{CLAP_PARAM_RESCAN_VALUES, CLAP_PARAM_RESCAN_VALUES}));
    // After an import the cached 1008 reads 0 again.
    EXPECT_EQ(value(1008), 0.0);

    // 1, 0, 1 before the main thread runs: the request is raised twice, one import.
    host.clearRescans();
    for (double v : {0.0, 1.0, 0.0, 1.0}) {
        ev.clear();
        ev.param(0, 1008, v);
        run(64, &ev);
    }
    EXPECT_EQ(host.callbackRequests(), 4);
    EXPECT_TRUE(host.idle());
    EXPECT_FALSE(host.idle());
    EXPECT_EQ(host.rescans().size(), 1u);

    // The flush raises it too; with no import file there is no rescan.
    std::filesystem::remove(home.setFile());
    host.setParam(1008, 0.0);
    host.setParam(1008, 1.0);
    host.clearRescans();
    EXPECT_TRUE(host.idle());
    EXPECT_EQ(plug()->status, "keine Datei " + home.setFile());
    EXPECT_TRUE(host.rescans().empty());
}

TEST_F(PluginTest, LoadRequestWaitsWithoutHostCallbackOrParams) {
    Host h;
    h.offerRequestCallback(false);
    h.offerParams(false);
    ASSERT_TRUE(open(h));
    TempHome home;
    home.writeSet(engineSet());
    h.setParam(1008, 1.0);
    EXPECT_FALSE(h.idle());  // nobody asked for the callback
    plug::Plug* p = plug::from(h.plugin());
    EXPECT_TRUE(p->loadRequest.load());
    h.plugin()->on_main_thread(h.plugin());  // the host calls it for another reason
    EXPECT_FALSE(p->loadRequest.load());
    EXPECT_EQ(p->status, "Set geladen");
    h.plugin()->on_main_thread(h.plugin());  // nothing pending: nothing happens
    EXPECT_EQ(p->status, "Set geladen");
}

void queue(plug::Plug* p, std::initializer_list<plug::Plug::GEv> evs) {
    std::lock_guard<std::mutex> g(p->gevMutex);
    for (const auto& e : evs) p->gevs.push_back(e);
}

TEST_F(PluginTest, EditorEditsAreAppliedAndReported) {
    activate();
    queue(plug(), {{17, 0.0, 0}, {17, 700.0, 1}, {17, 650.0, 1}, {17, 0.0, 2}, {1002, 12.0, 1}});
    EventList out;
    run(128, nullptr, &out);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 650.0f);
    EXPECT_EQ(value(17), 650.0);
    EXPECT_EQ(kern.get_param(engine(), 6, "swing"), 12.0f);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out.at(0)->type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out.at(0)->size, 20u);
    EXPECT_EQ(out.as<clap_event_param_gesture_t>(0).param_id, 17u);
    const auto& v = out.as<clap_event_param_value_t>(1);
    EXPECT_EQ(v.header.type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(v.header.size, 56u);
    EXPECT_EQ(v.header.time, 0u);
    EXPECT_EQ(v.header.flags, 0u);
    EXPECT_EQ(v.param_id, 17u);
    EXPECT_EQ(v.value, 700.0);
    EXPECT_EQ(v.note_id, -1);
    EXPECT_EQ(v.port_index, -1);
    EXPECT_EQ(v.channel, -1);
    EXPECT_EQ(v.key, -1);
    EXPECT_EQ(v.cookie, nullptr);
    EXPECT_EQ(out.at(3)->type, CLAP_EVENT_PARAM_GESTURE_END);
    EXPECT_EQ(out.as<clap_event_param_value_t>(4).value, 12.0);
    EXPECT_TRUE(plug()->gevs.empty());

    // A flush with both lists absent applies values and drops gestures.
    queue(plug(), {{0, 0.0, 0}, {0, 0.33, 1}, {0, 0.0, 2}});
    host.flush(nullptr, nullptr);
    EXPECT_EQ(kern.get_param(engine(), 0, "level"), 0.33f);
    EXPECT_TRUE(plug()->gevs.empty());

    // While the editor holds its queue, the edits wait for a later block.
    queue(plug(), {{1, 300.0, 1}});
    plug()->gevMutex.lock();
    out.clear();
    run(64, nullptr, &out);
    plug()->gevMutex.unlock();
    EXPECT_TRUE(out.empty());
    EXPECT_NE(value(1), 300.0);
    run(64, nullptr, &out);
    EXPECT_EQ(value(1), 300.0);
    EXPECT_EQ(out.size(), 1u);
}

TEST_F(PluginTest, FlushAppliesHostEventsInOrder) {
    EventList in;
    in.param(0, 0, 0.1).param(0, 0, 0.2).noteOn(0, 36, 1.0).param(999, 1002, 20.0);
    in.param(0, 16 * 4 + 7, 1.0);
    EventList out;
    host.flush(&in, &out);
    EXPECT_EQ(value(0), double(0.2f));
    EXPECT_EQ(kern.get_param(engine(), 0, "level"), 0.2f);
    EXPECT_EQ(kern.get_param(engine(), 6, "swing"), 20.0f);  // event times are not used here
    EXPECT_EQ(kern.get_param(engine(), 4, "mute"), 1.0f);
    EXPECT_TRUE(out.empty());
    // Events of another space are ignored.
    clap_event_param_value_t foreign{};
    foreign.header = {sizeof foreign, 0, 7, CLAP_EVENT_PARAM_VALUE, 0};
    foreign.param_id = 0;
    foreign.value = 0.9;
    in.clear();
    in.push(&foreign.header);
    host.flush(&in, nullptr);
    EXPECT_EQ(value(0), double(0.2f));
}

}  // namespace
}  // namespace brs::ptest
