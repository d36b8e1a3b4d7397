// The audio callback: host transport, sample-accurate events, a busy lock and
// hosts with unusual output buffers.
#include <condition_variable>
#include <future>
#include <thread>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

using host::Transport;

TEST_F(PluginTest, FollowsHostPlayStateAndTempo) {
    activate();
    run(256);
    EXPECT_FALSE(kern.playing(engine()));
    host.setTransport({true, true, true, 300.0});
    auto [l1, r1] = run(256);
    EXPECT_TRUE(kern.playing(engine()));
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 260.0f);
    host.setTransport({true, true, true, 40.0});
    run(256);
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 60.0f);
    host.setTransport({true, true, false, 200.0});  // no tempo flag: tempo unchanged
    run(256);
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 60.0f);
    host.setTransport({true, true, true, std::nan("")});  // a broken tempo is not taken
    run(256);
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 60.0f);
    host.setTransport({true, false, true, 120.0});
    run(256);
    EXPECT_FALSE(kern.playing(engine()));
    EXPECT_FALSE(plug()->hostPlaying);
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 120.0f);

    // Without a transport nothing is followed.
    host.setTransport({false, true, true, 150.0});
    run(256);
    EXPECT_FALSE(kern.playing(engine()));
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 120.0f);

    // Switch off: the host is ignored and hostPlaying is not updated...
    host.setParam(1006, 0.0);
    host.setTransport({true, true, true, 150.0});
    run(256);
    EXPECT_FALSE(kern.playing(engine()));
    EXPECT_FALSE(plug()->hostPlaying);
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 120.0f);
    // ...but MIDI Start and Stop still run the sequencer.
    EventList ev;
    ev.midi(10, 0xFA, 0, 0);
    run(256, &ev);
    EXPECT_TRUE(kern.playing(engine()));
    ev.clear();
    ev.midi(0, 0xFC, 0, 0);
    run(256, &ev);
    EXPECT_FALSE(kern.playing(engine()));
    // Switching it on while the host already plays starts at the next block.
    EventList on;
    on.param(0, 1006, 1.0);
    run(256, &on);  // the transport is read before the block's events
    EXPECT_FALSE(kern.playing(engine()));
    run(256);
    EXPECT_TRUE(kern.playing(engine()));
    EXPECT_EQ(kern.get_param(engine(), 6, "bpm"), 150.0f);
}

TEST_F(PluginTest, HostStartFiresTheFirstStepAtTheBlockStart) {
    activate();
    for (int b = 0; b < 4; ++b) {
        auto [l, r] = run(256);
        ASSERT_TRUE(allZero(l) && allZero(r)) << b;
    }
    host.setTransport({true, true, false, 0.0});
    auto [l, r] = run(256);
    // Same as a MIDI Start at frame 0 of the same block in a twin instance.
    Host twin;
    ASSERT_TRUE(open(twin));
    twin.activate(48000.0, 1, 2048);
    std::vector<float> tl(256), tr(256);
    for (int b = 0; b < 4; ++b) twin.process(256, tl.data(), tr.data());
    EventList start;
    start.midi(0, 0xFA, 0, 0);
    twin.process(256, tl.data(), tr.data(), &start);
    EXPECT_EQ(l, tl);
    EXPECT_EQ(r, tr);
    EXPECT_GE(firstSound(l), 0);
    EXPECT_LT(firstSound(l), 8);
}

TEST_F(PluginTest, NoteAtOffset100SoundsFromFrame100) {
    activate();
    EventList ev;
    ev.noteOn(100, 38, 1.0);
    auto [l, r] = run(256, &ev);
    for (int f = 0; f < 100; ++f) ASSERT_EQ(l[f], 0.0f) << f;
    ASSERT_GE(firstSound(l), 100);
    EXPECT_LT(firstSound(l), 110);
    // Sample-exact: the same as a twin that gets the note at frame 0 of a
    // block starting 100 frames in.
    Host twin;
    ASSERT_TRUE(open(twin));
    twin.activate(48000.0, 1, 2048);
    std::vector<float> tl(156), tr(156), skip(100);
    twin.process(100, skip.data(), skip.data());
    EventList at0;
    at0.noteOn(0, 38, 1.0);
    twin.process(156, tl.data(), tr.data(), &at0);
    EXPECT_EQ(std::vector<float>(l.begin() + 100, l.end()), tl);
    EXPECT_EQ(std::vector<float>(r.begin() + 100, r.end()), tr);

    // A note-on at velocity 1 is MIDI velocity 127 on the kernel's note port.
    Host midi;
    ASSERT_TRUE(open(midi));
    midi.activate(48000.0, 1, 2048);
    EventList m;
    m.midi(100, 0x95, 38, 127);
    std::vector<float> ml(256), mr(256);
    midi.process(256, ml.data(), mr.data(), &m);
    EXPECT_EQ(ml, l);
}

TEST_F(PluginTest, NotesOutsideTheTracksAndNoteOffsAreIgnored) {
    activate();
    EventList ev;
    ev.noteOn(0, 35, 1.0).noteOn(0, 42, 1.0).noteOn(5, 36, 0.001).noteOff(0, 36).midi(0, 0x80, 36, 100);
    ev.midi(0, 0xB0, 36, 100);
    for (int b = 0; b < 8; ++b) {
        auto [l, r] = run(256, b == 0 ? &ev : nullptr);
        ASSERT_TRUE(allZero(l) && allZero(r)) << b;
    }
    // A note-off does not shorten a note.
    Host a, b;
    ASSERT_TRUE(open(a) && open(b));
    a.activate(48000, 1, 512);
    b.activate(48000, 1, 512);
    EventList on, onOff;
    on.noteOn(0, 36, 0.8);
    onOff.noteOn(0, 36, 0.8).noteOff(10, 36);
    std::vector<float> al(512), ar(512), bl(512), br(512);
    a.process(512, al.data(), ar.data(), &on);
    b.process(512, bl.data(), br.data(), &onOff);
    EXPECT_EQ(al, bl);
    EXPECT_GE(firstSound(al), 0);
}

TEST_F(PluginTest, EventsAtOneOffsetAndBeyondTheBlock) {
    activate();
    // Both events at frame 50 apply before frame 50: the kick level is 0 when
    // the note starts, so nothing sounds.
    EventList ev;
    ev.param(50, 0, 0.0).noteOn(50, 36, 1.0);
    for (int b = 0; b < 4; ++b) {
        auto [l, r] = run(256, b == 0 ? &ev : nullptr);
        ASSERT_TRUE(allZero(l)) << b;
    }
    host.setParam(0, 0.9);
    // An event at or beyond the block end is applied after the block.
    ev.clear();
    ev.noteOn(256, 36, 1.0).param(300, 1002, 17.0);
    auto [l, r] = run(256, &ev);
    EXPECT_TRUE(allZero(l));
    EXPECT_EQ(kern.get_param(engine(), 6, "swing"), 17.0f);
    auto [l2, r2] = run(256);
    EXPECT_GE(firstSound(l2), 0);
    EXPECT_LT(firstSound(l2), 10);
    // A block of 0 frames applies its events and renders nothing.
    ev.clear();
    ev.param(0, 1002, 23.0);
    host.process(0, nullptr, nullptr, &ev);
    EXPECT_EQ(kern.get_param(engine(), 6, "swing"), 23.0f);
}

TEST_F(PluginTest, BusyLockGivesSilenceButKeepsParameterValues) {
    activate();
    host.setTransport({true, true, true, 175.0});
    run(512);
    ASSERT_GE(firstSound(run(512).first), 0);
    const int requests = host.callbackRequests();
    {
        LockHeld busy(plug()->engineMutex);
        EventList ev;
        ev.param(0, 1004, 0.25).param(3, 17, 333.0).param(5, 1008, 1.0).noteOn(0, 38, 1.0);
        ev.param(9, 1007, 4.0).param(9, 95, 1.0).param(12, 1015, 0.5);
        auto [l, r] = run(256, &ev);
        EXPECT_TRUE(allZero(l));
        EXPECT_TRUE(allZero(r));
        // The host sees its values at once, as the engine will hold them...
        EXPECT_EQ(value(1004), 0.25);
        EXPECT_EQ(value(17), 333.0);
        EXPECT_EQ(value(1015), 0.5);
        ev.clear();
        ev.param(0, 17, 444.1).param(0, 1005, 0.3).param(0, 1009, 0.3);
        run(256, &ev);
        EXPECT_EQ(value(17), double(444.1f));
        EXPECT_EQ(value(1005), double(0.3f));
        EXPECT_EQ(value(1009), 0.3);
        ev.clear();
        ev.param(0, 17, 444.0);
        run(256, &ev);
        EXPECT_EQ(host.callbackRequests(), requests);
    }
    // ...and the next block that gets the lock applies them, once.
    EXPECT_NE(kern.get_param(engine(), 1, "cut"), 444.0f);
    run(256);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 444.0f);
    EXPECT_EQ(kern.get_param(engine(), 6, "delayFb"), 0.25f);
    EXPECT_EQ(engineSet().substr(engineSet().find("\"song\"")), "\"song\":[{\"pat\":3,\"rep\":1}],\"chain\":false}");
    EXPECT_EQ(host.callbackRequests(), requests + 1);
    EXPECT_EQ(plug()->pending.load(), 0u);
    run(256);
    EXPECT_EQ(host.callbackRequests(), requests + 1);
    EXPECT_TRUE(plug()->loadRequest.load());
}

// A load replaces the values that were parked while it held the lock: the next
// block must neither re-send the restored pattern setting to the song chain nor
// put a parked value over the loaded set behind the host's back.
TEST_F(PluginTest, ValuesParkedDuringALoadGiveWayToTheLoadedSet) {
    activate();
    host.setParam(17, 500.0);
    host.setParam(1007, 2.0);
    std::string state = stateText();
    const size_t at = state.find("\"pat\":2,");
    ASSERT_NE(at, std::string::npos);
    state.replace(at, 8, "\"pat\":6,");  // the tail names another pattern than the set's chain
    auto songOf = [](const std::string& set) { return set.substr(set.find("\"song\"")); };
    const std::string song = songOf(engineSet());
    ASSERT_EQ(song, "\"song\":[{\"pat\":1,\"rep\":1}],\"chain\":false}");

    auto parkWhileBusy = [&] {
        LockHeld busy(plug()->engineMutex);
        EventList ev;
        ev.param(0, 17, 333.0).param(0, 1007, 7.0);
        run(64, &ev);
    };

    host.setParam(17, 900.0);
    host.setParam(1007, 5.0);
    parkWhileBusy();
    ASSERT_TRUE(host.loadState(state));
    run(64);
    EXPECT_EQ(songOf(engineSet()), song);
    EXPECT_EQ(value(1007), 6.0);
    EXPECT_EQ(value(17), 500.0);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 500.0f);

    // The same for a set import served on the main thread.
    TempHome home;
    home.writeSet(state.substr(0, state.find('\n')));
    host.setParam(17, 900.0);
    host.setParam(1007, 5.0);
    host.setParam(1008, 0.0);
    host.setParam(1008, 1.0);
    parkWhileBusy();
    host.clearRescans();
    ASSERT_TRUE(host.idle());
    ASSERT_FALSE(host.rescans().empty());
    run(64);
    EXPECT_EQ(songOf(engineSet()), song);
    EXPECT_EQ(value(1007), 1.0);
    EXPECT_EQ(value(17), 500.0);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 500.0f);

    // Outside a load a parked value is still applied at the next block.
    parkWhileBusy();
    run(64);
    EXPECT_EQ(value(17), 333.0);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 333.0f);
    EXPECT_EQ(songOf(engineSet()), "\"song\":[{\"pat\":6,\"rep\":1}],\"chain\":false}");
}

TEST_F(PluginTest, HostsWithoutTwoOutputChannelsDoNotCrashThePlugin) {
    activate(48000, 512);
    host.setTransport({true, true, true, 175.0});
    Host ref;
    ASSERT_TRUE(open(ref));
    ref.activate(48000, 1, 512);
    ref.setTransport({true, true, true, 175.0});
    std::vector<float> rl(512), rr(512);

    const host::OutputLayout layouts[] = {
        {0, 2, false, false},  // no output buffers at all
        {1, 0, false, false},  // a bus without channels
        {1, 2, true, false},   // channel array missing
        {1, 1, false, false},  // mono: left only
        {1, 2, false, true},   // right pointer null
        {1, 2, false, false},  // back to normal
    };
    for (const auto& lay : layouts) {
        host.setOutputLayout(lay);
        std::vector<float> l(512, 9.0f), r(512, 9.0f);
        host.process(512, l.data(), r.data());
        ref.process(512, rl.data(), rr.data());
        const bool leftGiven = lay.buffers && lay.channels >= 1 && !lay.nullChannels;
        const bool rightGiven = leftGiven && lay.channels >= 2 && !lay.nullChannel1;
        if (leftGiven)
            EXPECT_EQ(l, rl);  // the engine kept running through every block
        else
            EXPECT_EQ(l[0], 9.0f);
        if (rightGiven)
            EXPECT_EQ(r, rr);
        else
            EXPECT_EQ(r[0], 9.0f);
    }
    // A block far beyond the announced maximum renders in pieces.
    std::vector<float> big(20000);
    host.process(20000, big.data(), big.data());
    ref.process(20000, big.data(), big.data());
    host.process(512, rl.data(), rr.data());
    std::vector<float> l2(512), r2(512);
    ref.process(512, l2.data(), r2.data());
    EXPECT_EQ(rl, l2);
}


// While active, a flush runs on the audio thread: with the lock busy it keeps
// the values like a block does instead of waiting for the main thread.
TEST_F(PluginTest, ActiveFlushNeverWaitsForTheLock) {
    activate();
    std::future<void> flushed;
    {
        LockHeld busy(plug()->engineMutex);
        EventList ev;
        ev.param(0, 17, 555.0);
        flushed = std::async(std::launch::async, [&] { host.flush(&ev, nullptr); });
        ASSERT_EQ(flushed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(value(17), 555.0);
        EXPECT_NE(kern.get_param(engine(), 1, "cut"), 555.0f);
    }
    run(64);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 555.0f);
    // Inactive, the flush is the main thread's and simply waits its turn.
    host.deactivate();
    EventList ev;
    ev.param(0, 17, 666.0);
    host.flush(&ev, nullptr);
    EXPECT_EQ(kern.get_param(engine(), 1, "cut"), 666.0f);
}

}  // namespace
}  // namespace brs::ptest
