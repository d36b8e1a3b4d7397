// Hostile hosts: what careless and unusual hosts do to a plug-in, driven
// through host/ into the real brisanto.clap. One harness, one table per
// theme. Every rendered block is checked for non-finite samples and for
// peaks beyond what the limiter lets through; nothing may crash, hang
// (ctest's timeout) or, in the AddressSanitizer lane, leak.
#include <cstring>
#include <functional>
#include <random>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

using host::EventShape;
using host::OutputLayout;
using host::Transport;

// The limiter's ceiling is 0.7079; nothing a host does may push a sample far past it.
constexpr float PEAK_BOUND = 1.0f;

// A raw MIDI system-exclusive event (the plug-in ignores it; the buffer may be anything).
struct SysexEvent {
    clap_event_header_t header;
    uint16_t port_index;
    const uint8_t* buffer;
    uint32_t size;
};

class HostileTest : public PluginTest {
protected:
    // Every given sample finite and within PEAK_BOUND.
    static ::testing::AssertionResult clean(const std::vector<float>& x, uint32_t frames = ~0u) {
        const size_t n = frames < x.size() ? frames : x.size();
        for (size_t i = 0; i < n; ++i) {
            if (!std::isfinite(x[i])) return ::testing::AssertionFailure() << "non-finite sample at " << i;
            if (std::fabs(x[i]) > PEAK_BOUND)
                return ::testing::AssertionFailure() << "sample " << x[i] << " at " << i;
        }
        return ::testing::AssertionSuccess();
    }

    // A busy block: a note on every track spread over the block, a filter
    // and a swing value, MIDI clock and now and then MIDI Start.
    static void scene(EventList& ev, uint32_t frames, uint32_t b) {
        ev.clear();
        for (int t = 0; t < 6; ++t) ev.noteOn(frames ? uint32_t(t) * frames / 6 : 0, int16_t(36 + t), 0.8);
        ev.param(frames / 2, 16 * (b % 6) + 1, 200.0 + 50.0 * (b % 40));
        ev.param(frames / 2, 1002, double(b % 60));
        ev.midi(frames / 3, b % 16 == 0 ? 0xFA : 0xF8, 0, 0);
    }

    // The set document of h's engine, straight from the kernel in h's library.
    static std::string setOf(const Host& h) {
        Kern k(h);
        const brskern_t e = plug::from(h.plugin())->engine;
        size_t n = k.save_set(e, nullptr, 0);
        std::string s(n, '\0');
        k.save_set(e, s.data(), n);
        s.resize(n - 1);
        return s;
    }

    // Renders blocks of the given sizes into h with the scene; every block clean.
    // Returns the largest magnitude seen.
    static float play(Host& h, const std::vector<uint32_t>& sizes, const char* what) {
        float peak = 0.0f;
        EventList ev;
        std::vector<float> l, r;
        for (size_t b = 0; b < sizes.size(); ++b) {
            const uint32_t n = sizes[b];
            l.assign(n ? n : 1, 7.0f);
            r.assign(n ? n : 1, 7.0f);
            scene(ev, n, uint32_t(b));
            h.process(n, l.data(), r.data(), &ev);
            EXPECT_TRUE(clean(l, n)) << what << ", block " << b << " of " << n << " frames (left)";
            EXPECT_TRUE(clean(r, n)) << what << ", block " << b << " of " << n << " frames (right)";
            for (uint32_t i = 0; i < n; ++i) peak = std::max(peak, std::max(std::fabs(l[i]), std::fabs(r[i])));
        }
        return peak;
    }
};

// ---- sample rates --------------------------------------------------------------------

TEST_F(HostileTest, EverySampleRateFromOneHertzTo768kHz) {
    const double RATES[] = {1.0,     2.0,     3.5,      11.025,   100.0,   999.9,    4000.0,
                            8000.0,  11025.0, 16000.0,  22050.0,  32000.0, 44100.0,  44100.5,
                            47999.999, 48000.0, 48000.25, 88200.0, 96000.0, 176400.0, 192000.0,
                            352800.0, 384000.0, 705600.0, 767999.5, 768000.0};
    // What the scene leaves in the set at 48 kHz; every rate must leave the same.
    std::string refSet;
    {
        Host ref;
        ASSERT_TRUE(open(ref));
        ASSERT_TRUE(ref.activate(48000.0, 1, 512));
        ref.setTransport({true, true, true, 175.0});
        play(ref, std::vector<uint32_t>(16, 512), "reference");
        refSet = setOf(ref);
    }
    for (double rate : RATES) {
        Host h;
        ASSERT_TRUE(open(h));
        ASSERT_TRUE(h.activate(rate, 1, 512)) << rate;
        ASSERT_TRUE(h.startProcessing());
        h.setTransport({true, true, true, 175.0});
        const std::string what = "rate " + std::to_string(rate);
        const float peak = play(h, std::vector<uint32_t>(16, 512), what.c_str());
        if (rate >= 8000.0) {
            EXPECT_GT(peak, 1e-3f) << what << ": the tracks must sound";
        }
        // Rebuilt for the rate, the engine holds the same set as at 48 kHz.
        EXPECT_TRUE(setOf(h) == refSet) << what;
    }
}

// ---- block sizes ------------------------------------------------------------------------------

// Blocks of 0 and 1 frames, of the announced maximum, beyond it and of
// random sizes: each block is clean, and without input events the output is
// bit-identical to the same frames rendered in fixed blocks of 512.
TEST_F(HostileTest, BlockSizesZeroOneMaximumAndRandom) {
    struct Announced {
        uint32_t min, max;
    };
    const Announced ANNOUNCED[] = {{1, 1}, {1, 64}, {32, 4096}, {1, 8192}, {0, 65536}, {1, 0xFFFFFFFFu}};
    for (const Announced& a : ANNOUNCED) {
        const unsigned seed = 1234u + a.max;
        std::mt19937 rng(seed);
        const uint32_t top = a.max < 20000 ? a.max : 20000;
        std::vector<uint32_t> sizes = {0, 1, top, 0, 0, 1, top};
        for (int i = 0; i < 40; ++i) sizes.push_back(rng() % 4 == 0 ? rng() % 3 : rng() % (top + 1));
        sizes.push_back(top + 777);  // a host that exceeds what it announced
        const std::string what = "announced " + std::to_string(a.min) + ".." + std::to_string(a.max) +
                                 " (seed " + std::to_string(seed) + ")";

        Host busy;
        ASSERT_TRUE(open(busy));
        ASSERT_TRUE(busy.activate(48000.0, a.min, a.max)) << what;
        busy.setTransport({true, true, true, 175.0});
        play(busy, sizes, what.c_str());

        // The same frames without events, in these blocks and in blocks of
        // 512: the sequencer keeps the same time. (The samples themselves
        // may differ: a long block creates its voices earlier, while older
        // ones are still in the list, which gives them other noise seeds.)
        Host cut, even;
        ASSERT_TRUE(open(cut) && open(even));
        ASSERT_TRUE(cut.activate(48000.0, a.min, a.max));
        ASSERT_TRUE(even.activate(48000.0, 1, 512));
        cut.setTransport({true, true, true, 175.0});
        even.setTransport({true, true, true, 175.0});
        std::vector<float> cl;
        size_t total = 0;
        for (uint32_t n : sizes) {
            std::vector<float> l(n ? n : 1), r(n ? n : 1);
            cut.process(n, l.data(), r.data());
            EXPECT_TRUE(clean(l, n) && clean(r, n)) << what;
            cl.insert(cl.end(), l.begin(), l.begin() + n);
            total += n;
        }
        std::vector<float> el;
        for (size_t done = 0; done < total;) {
            const uint32_t n = uint32_t(total - done < 512 ? total - done : 512);
            std::vector<float> l(n), r(n);
            even.process(n, l.data(), r.data());
            el.insert(el.end(), l.begin(), l.end());
            done += n;
        }
        EXPECT_GT(firstSound(el), -1) << what;
        EXPECT_EQ(firstSound(cl), firstSound(el)) << what;
        const brskern_t ce = plug::from(cut.plugin())->engine, ee = plug::from(even.plugin())->engine;
        Kern k(cut);
        EXPECT_EQ(k.step(ce), k.step(ee)) << what << " after " << total << " frames";
    }
}

// ---- host extensions ---------------------------------------------------------------------------

// A host that offers no extension at all (no params, no timers, nothing):
// parameters, notes, the import trigger, state and reactivation still work,
// and nothing the plug-in would tell the host is sent anywhere.
TEST_F(HostileTest, HostWithoutAnyOptionalExtension) {
    TempHome home;
    {
        Host ref;
        ASSERT_TRUE(open(ref));
        ref.setParam(16 * 2 + 2, 7.5);
        home.writeSet(setOf(ref));
    }
    Host bare;
    bare.offerExtensions(false);
    ASSERT_TRUE(open(bare));
    ASSERT_TRUE(bare.activate(44100.0, 1, 256));
    ASSERT_TRUE(bare.startProcessing());
    bare.setTransport({true, true, true, 150.0});
    EventList ev;
    ev.param(0, 17, 700.0).param(0, 1008, 1.0).noteOn(10, 37, 1.0);
    std::vector<float> l(256), r(256);
    bare.process(256, l.data(), r.data(), &ev);
    EXPECT_TRUE(clean(l) && clean(r));
    EXPECT_GT(firstSound(l), -1);
    double v = 0.0;
    ASSERT_TRUE(bare.getParam(17, &v));
    EXPECT_EQ(v, 700.0);
    // The import request still reaches the main thread through the core callback.
    EXPECT_TRUE(bare.idle());
    EXPECT_EQ(plug::from(bare.plugin())->status, "Set geladen");
    ASSERT_TRUE(bare.getParam(16 * 2 + 2, &v));
    EXPECT_EQ(v, 7.5);
    EXPECT_TRUE(bare.rescans().empty());
    EXPECT_EQ(bare.flushRequests(), 0);
    // State saves and loads, and a reactivation at another rate keeps the set.
    std::vector<uint8_t> state;
    ASSERT_TRUE(bare.saveState(state));
    EXPECT_TRUE(bare.loadState(state));
    bare.deactivate();
    bare.setParam(16 * 4 + 3, 0.5);  // flush while inactive, with nobody to tell
    ASSERT_TRUE(bare.activate(96000.0, 1, 256));
    play(bare, std::vector<uint32_t>(8, 256), "no extensions, 96 kHz");
    ASSERT_TRUE(bare.getParam(16 * 2 + 2, &v));
    EXPECT_EQ(v, 7.5);
    ASSERT_TRUE(bare.getParam(16 * 4 + 3, &v));
    EXPECT_EQ(v, 0.5);
}

// ---- null lists and buffers ----------------------------------------------------------------------

TEST_F(HostileTest, NullEventListsAndBuffers) {
    struct Case {
        const char* what;
        OutputLayout layout;
        EventShape shape;
        bool outList;      // the block carries an output list
        bool transport;    // the block carries a transport
        uint32_t frames;
    };
    const Case CASES[] = {
        {"in_events null", {}, {true, false, false}, true, true, 256},
        {"in_events without functions", {}, {false, true, false}, true, true, 256},
        {"out_events null, edits queued", {}, {}, false, true, 256},
        {"out_events without try_push, edits queued", {}, {false, false, true}, true, true, 256},
        {"no transport", {}, {}, true, false, 256},
        {"no outputs, no input list", {0, 2, false, false}, {true, false, false}, false, false, 256},
        {"channel array null, input without functions", {1, 2, true, false}, {false, true, true}, true, true, 256},
        {"zero frames, everything null", {0, 0, true, true}, {true, false, false}, false, false, 0},
        {"zero frames, channel array null", {1, 2, true, false}, {}, true, true, 0},
        {"one frame, right channel null", {1, 2, false, true}, {false, false, true}, true, true, 1},
        {"eight channels", {1, 8, false, false}, {}, true, true, 256},
    };
    activate(48000.0, 512);
    plug::Plug* p = plug();
    EventList ev, out;
    for (const Case& c : CASES) {
        host.setOutputLayout(c.layout);
        host.setEventShape(c.shape);
        host.setTransport({c.transport, true, true, 175.0});
        for (uint32_t b = 0; b < 4; ++b) {
            {
                std::lock_guard<std::mutex> g(p->gevMutex);
                p->gevs.push_back({16 * 5 + 2, 0.0, 0});
                p->gevs.push_back({16 * 5 + 2, 1.0 + b, 1});
                p->gevs.push_back({16 * 5 + 2, 0.0, 2});
            }
            scene(ev, c.frames, b);
            out.clear();
            std::vector<float> l(8192, 7.0f), r(8192, 7.0f), extra[6];
            float* chans[8] = {l.data(), r.data()};
            for (int k = 0; k < 6; ++k) {
                extra[k].assign(512, 7.0f);
                chans[2 + k] = extra[k].data();
            }
            if (c.layout.channels > 2) {
                // A wide bus: the host's own buffers behind the first two channels.
                clap_audio_buffer_t wide{};
                wide.data32 = chans;
                wide.channel_count = c.layout.channels;
                clap_process_t pr{};
                pr.frames_count = c.frames;
                pr.steady_time = -1;
                pr.audio_outputs = &wide;
                pr.audio_outputs_count = 1;
                pr.in_events = ev.input();
                pr.out_events = out.output();
                host.plugin()->process(host.plugin(), &pr);
                for (int k = 0; k < 6; ++k) EXPECT_TRUE(allZero({extra[k].begin(), extra[k].begin() + c.frames}))
                    << c.what << ": channel " << 2 + k << " must be silent";
            } else {
                host.process(c.frames, l.data(), r.data(), &ev, c.outList ? &out : nullptr);
            }
            EXPECT_TRUE(clean(l, c.frames) || l[0] == 7.0f) << c.what;
            EXPECT_TRUE(clean(r, c.frames) || r[0] == 7.0f) << c.what;
        }
        // The editor's edits are applied whether or not the host can hear of them.
        EXPECT_EQ(value(16 * 5 + 2), 4.0) << c.what;
    }
    // A flush with lists that have no functions, or no lists at all.
    clap_input_events_t noFuncs{nullptr, nullptr, nullptr};
    clap_output_events_t noPush{nullptr, nullptr};
    host.params()->flush(host.plugin(), &noFuncs, &noPush);
    host.params()->flush(host.plugin(), nullptr, nullptr);
    // A process call without a process record.
    EXPECT_EQ(host.plugin()->process(host.plugin(), nullptr), CLAP_PROCESS_CONTINUE);
    // Back to a conforming host: the instance plays on.
    host.setOutputLayout({});
    host.setEventShape({});
    EXPECT_GT(play(host, std::vector<uint32_t>(8, 512), "conforming again"), 1e-3f);
}

// ---- events ------------------------------------------------------------------------------------------

clap_event_note_t note(int16_t key, double velocity, int32_t id = -1, int16_t port = 0, int16_t channel = 0) {
    clap_event_note_t e{};
    e.header = {sizeof e, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_NOTE_ON, 0};
    e.note_id = id;
    e.port_index = port;
    e.channel = channel;
    e.key = key;
    e.velocity = velocity;
    return e;
}

clap_event_param_value_t paramValue(clap_id id, double value) {
    clap_event_param_value_t e{};
    e.header = {sizeof e, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
    e.param_id = id;
    e.note_id = -1;
    e.port_index = -1;
    e.channel = -1;
    e.key = -1;
    e.value = value;
    return e;
}

// Each hostile event list must do exactly what its plain counterpart does
// (nothing, when the counterpart is empty): same output, same value of
// parameter 17.
TEST_F(HostileTest, EventsWithWrongSizesForeignSpacesAndWildcards) {
    using Fill = std::function<void(EventList&)>;
    struct Case {
        const char* what;
        Fill hostile;
        Fill plain;
    };
    auto nothing = [](EventList&) {};
    auto key38 = [](EventList& l) { l.noteOn(0, 38, 1.0); };
    auto withSize = [](uint32_t size) {
        return [size](EventList& l) {
            clap_event_note_t e = note(38, 1.0);
            e.header.size = size;
            l.pushRaw(&e, sizeof e);
        };
    };
    auto inSpace = [](uint16_t space) {
        return [space](EventList& l) {
            clap_event_note_t e = note(38, 1.0);
            e.header.space_id = space;
            l.push(&e.header);
        };
    };
    auto ofType = [](uint16_t type) {
        return [type](EventList& l) {
            clap_event_note_t e = note(38, 1.0, -1, -1, -1);
            e.header.type = type;
            l.push(&e.header);
        };
    };
    static const uint8_t SYSEX[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    const Case CASES[] = {
        {"note-on with note id, port and channel -1", [](EventList& l) { l.noteOn(0, 38, 1.0, -1, -1, -1); }, key38},
        {"note-on with key -1", [](EventList& l) { l.noteOn(0, -1, 1.0, -1, -1, -1); }, nothing},
        {"note-on with key 32767", [](EventList& l) { l.noteOn(0, 32767, 1.0); }, nothing},
        {"note-on with note id 2^31-1 on channel 15", [](EventList& l) { l.noteOn(0, 38, 1.0, 15, 0, 0x7FFFFFFF); },
         key38},
        {"note-on of size 0", withSize(0), nothing},
        {"note-on of the header's size", withSize(sizeof(clap_event_header_t)), nothing},
        {"note-on one byte short", withSize(sizeof(clap_event_note_t) - 1), nothing},
        {"note-on in space 1", inSpace(1), nothing},
        {"note-on in space 0xFFFF", inSpace(0xFFFF), nothing},
        {"unknown type 0x7777", ofType(0x7777), nothing},
        {"note choke, all wildcards", ofType(CLAP_EVENT_NOTE_CHOKE), nothing},
        {"note end, all wildcards", ofType(CLAP_EVENT_NOTE_END), nothing},
        {"note expression, all wildcards", ofType(CLAP_EVENT_NOTE_EXPRESSION), nothing},
        {"note-off with key -1", [](EventList& l) { l.noteOff(0, -1, 0.0, -1); }, nothing},
        {"velocity NaN", [](EventList& l) { l.noteOn(0, 38, std::nan("")); }, [](EventList& l) { l.noteOn(0, 38, 0.0); }},
        {"velocity 1e300", [](EventList& l) { l.noteOn(0, 38, 1e300); }, key38},
        {"velocity -inf", [](EventList& l) { l.noteOn(0, 38, -HUGE_VAL); }, [](EventList& l) { l.noteOn(0, 38, 0.0); }},
        {"null events around a note", [](EventList& l) { l.pushNull(); l.noteOn(0, 38, 1.0); l.pushNull(); }, key38},
        {"MIDI note-on on port 0xFFFF", [](EventList& l) { l.midi(0, 0x92, 38, 100, 0xFFFF); },
         [](EventList& l) { l.midi(0, 0x90, 38, 100); }},
        {"MIDI message one byte short",
         [](EventList& l) {
             clap_event_midi_t e{};
             e.header = {sizeof e - 1, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
             e.data[0] = 0x90, e.data[1] = 38, e.data[2] = 100;
             l.pushRaw(&e, sizeof e);
         },
         nothing},
        {"SysEx with a null buffer",
         [](EventList& l) {
             SysexEvent e{{sizeof(SysexEvent), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI_SYSEX, 0}, 0, nullptr, 4096};
             l.push(&e.header);
         },
         nothing},
        {"SysEx with a buffer",
         [](EventList& l) {
             SysexEvent e{{sizeof(SysexEvent), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI_SYSEX, 0}, 0, SYSEX,
                          sizeof SYSEX};
             l.push(&e.header);
         },
         nothing},
        {"MIDI 2 words", ofType(CLAP_EVENT_MIDI2), nothing},
        {"parameter value with a stray cookie and wildcards",
         [](EventList& l) {
             clap_event_param_value_t e = paramValue(17, 640.0);
             e.cookie = reinterpret_cast<void*>(uintptr_t(0xDEADBEEF));
             l.push(&e.header);
         },
         [](EventList& l) { l.param(0, 17, 640.0); }},
        {"parameter value one byte short",
         [](EventList& l) {
             clap_event_param_value_t e = paramValue(17, 640.0);
             e.header.size -= 1;
             l.pushRaw(&e, sizeof e);
         },
         nothing},
        {"parameter value in space 7",
         [](EventList& l) {
             clap_event_param_value_t e = paramValue(17, 640.0);
             e.header.space_id = 7;
             l.push(&e.header);
         },
         nothing},
        {"parameter modulation",
         [](EventList& l) {
             clap_event_param_value_t e = paramValue(17, 640.0);
             e.header.type = CLAP_EVENT_PARAM_MOD;
             l.push(&e.header);
         },
         nothing},
        {"parameter ids 16 * 6, 8, 999, 1016, 0xFFFFFFFF",
         [](EventList& l) { l.param(0, 96, 1.0).param(0, 8, 1.0).param(0, 999, 1.0).param(0, 1016, 1.0).param(0, 0xFFFFFFFFu, 1.0); },
         nothing},
        {"gesture begin and end from the host", ofType(CLAP_EVENT_PARAM_GESTURE_BEGIN), nothing},
        {"a transport event in the list",
         [](EventList& l) {
             clap_event_transport_t t{};
             t.header = {sizeof t, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
             t.flags = CLAP_TRANSPORT_IS_PLAYING | CLAP_TRANSPORT_HAS_TEMPO;
             t.tempo = 250.0;
             l.push(&t.header);
         },
         nothing},
    };
    for (const Case& c : CASES) {
        Host a, b;
        ASSERT_TRUE(open(a) && open(b));
        ASSERT_TRUE(a.activate(48000.0, 1, 512) && b.activate(48000.0, 1, 512));
        EventList ea, eb;
        c.hostile(ea);
        c.plain(eb);
        std::vector<float> al(512), ar(512), bl(512), br(512);
        for (int blk = 0; blk < 4; ++blk) {
            a.process(512, al.data(), ar.data(), blk == 0 ? &ea : nullptr);
            b.process(512, bl.data(), br.data(), blk == 0 ? &eb : nullptr);
            EXPECT_TRUE(clean(al) && clean(ar)) << c.what;
            EXPECT_TRUE(al == bl && ar == br) << c.what << ", block " << blk;
        }
        double va = 0.0, vb = 0.0;
        ASSERT_TRUE(a.getParam(17, &va) && b.getParam(17, &vb));
        EXPECT_EQ(va, vb) << c.what;
    }
}

// ---- activation cycles ------------------------------------------------------------------------------------

// 1,000 activations at alternating rates, each with a block or two: every
// block is clean, the set survives every rebuild, and the instance still plays.
TEST_F(HostileTest, ThousandActivationCyclesAtAlternatingRates) {
    const double RATES[] = {44100.0, 48000.0, 88200.0, 22050.5};
    host.setTransport({true, false, true, 175.0});  // the default groove's tempo
    host.setParam(16 * 1 + 1, 555.0);
    host.setParam(1002, 21.0);
    const std::string before = engineSet();
    EventList ev;
    ev.noteOn(0, 36, 1.0).noteOn(7, 40, 1.0);
    std::vector<float> l(128), r(128);
    for (int i = 0; i < 1000; ++i) {
        const double rate = RATES[i % 4];
        ASSERT_TRUE(host.activate(rate, 1, 128)) << "cycle " << i;
        ASSERT_TRUE(host.startProcessing());
        host.process(128, l.data(), r.data(), &ev);
        ASSERT_TRUE(clean(l) && clean(r)) << "cycle " << i << " at " << rate;
        if (i % 3 == 0) host.process(0, l.data(), r.data(), &ev);
        host.deactivate();
    }
    EXPECT_TRUE(engineSet() == before);
    EXPECT_EQ(value(17), 555.0);
    activate(48000.0, 512);
    EXPECT_GT(firstSound(run(512, &ev).first), -1);
}

// ---- destroy and the main-thread callback -----------------------------------------------------------------

// The host destroys the instance while an import it was asked to serve is
// still pending (request_callback raised, on_main_thread not yet called).
TEST_F(HostileTest, DestroyWhileAnImportIsPending) {
    TempHome home;
    home.writeSet(engineSet());
    struct Case {
        const char* what;
        std::function<void(Host&)> raise;
    };
    const Case CASES[] = {
        {"raised by a flush while inactive", [](Host& h) { h.setParam(1008, 1.0); }},
        {"raised by a block while processing",
         [](Host& h) {
             ASSERT_TRUE(h.activate(48000.0, 1, 256) && h.startProcessing());
             EventList ev;
             ev.param(5, 1008, 1.0);
             std::vector<float> l(256), r(256);
             h.process(256, l.data(), r.data(), &ev);
         }},
        {"raised, then a state load",
         [](Host& h) {
             std::vector<uint8_t> s;
             ASSERT_TRUE(h.saveState(s));
             h.setParam(1008, 1.0);
             ASSERT_TRUE(h.loadState(s));
         }},
        {"raised twice, the host deactivated in between",
         [](Host& h) {
             ASSERT_TRUE(h.activate(44100.0, 1, 64));
             EventList ev;
             ev.param(0, 1008, 1.0).param(1, 1008, 0.0).param(2, 1008, 1.0);
             std::vector<float> l(64), r(64);
             h.process(64, l.data(), r.data(), &ev);
             h.deactivate();
         }},
    };
    for (const Case& c : CASES) {
        Host h;
        ASSERT_TRUE(open(h));
        c.raise(h);
        EXPECT_TRUE(h.callbackPending()) << c.what;
        h.destroy();
        EXPECT_FALSE(h.idle()) << c.what;  // no instance left to call
        // A new instance in the same library starts without the old request.
        ASSERT_TRUE(h.create());
        h.plugin()->on_main_thread(h.plugin());
        EXPECT_TRUE(plug::from(h.plugin())->status.empty()) << c.what;
    }
}

// on_main_thread called without a request, or more often than asked, imports nothing extra.
TEST_F(HostileTest, SpuriousMainThreadCallbacksImportNothing) {
    TempHome home;
    home.writeSet(engineSet());
    for (int i = 0; i < 5; ++i) host.plugin()->on_main_thread(host.plugin());
    EXPECT_TRUE(plug()->status.empty());
    EXPECT_TRUE(host.rescans().empty());
    host.setParam(1008, 1.0);
    host.clearRescans();
    for (int i = 0; i < 5; ++i) host.plugin()->on_main_thread(host.plugin());
    EXPECT_EQ(plug()->status, "Set geladen");
    EXPECT_EQ(host.rescans().size(), 1u);  // one request, one import
}

}  // namespace
}  // namespace brs::ptest
