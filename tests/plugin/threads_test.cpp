// The audio thread renders without pause while the main thread saves and
// loads state, flushes parameters, imports the set file and the editor
// queues edits. Meant to run under ThreadSanitizer (label "tsan"): any data
// race the shell lets through is reported there; here the results must also
// stay consistent.
#include <algorithm>
#include <atomic>
#include <thread>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

TEST_F(PluginTest, AudioThreadAgainstMainThreadWork) {
    TempHome home;
    home.writeSet(engineSet());
    activate(48000.0, 256);
    plug::Plug* p = plug();

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0}, silent{0};
    std::thread audio([&] {
        std::vector<float> l(256), r(256);
        EventList ev, out;
        long b = 0;
        while (!stop.load()) {
            ev.clear();
            out.clear();
            ev.noteOn(uint32_t(b % 200), int16_t(36 + b % 6), 1.0);
            if (b % 8 == 0) {  // automation now and then: loads take both of their paths
                ev.param(10, uint32_t(16 * (b % 6)), 0.5 + 0.01 * (b % 40));
                ev.param(20, 1004, 0.1 * (b % 9));
            }
            ev.param(30, 1008, (b / 3) % 2 ? 1.0 : 0.0);
            host.setTransport({true, (b / 40) % 2 == 0, true, 100.0 + b % 120});
            host.process(256, l.data(), r.data(), &ev, &out);
            bool quiet = true;
            for (float x : l) quiet = quiet && x == 0.0f;
            if (quiet) silent.fetch_add(1);
            ++b;
            blocks.store(b);
        }
    });

    int loads = 0;
    std::vector<uint8_t> state;
    for (int it = 0; it < 16; ++it) {
        ASSERT_TRUE(host.saveState(state));
        ASSERT_GT(state.size(), 100000u);
        if (host.loadState(state)) ++loads;
        EventList in, out;
        in.param(0, 16 * (it % 6) + 1, 400.0 + it).param(0, 1002, double(it % 60));
        host.flush(&in, &out);  // the host serialises: this one runs while audio renders
        {
            std::lock_guard<std::mutex> g(p->gevMutex);
            p->gevs.push_back({uint32_t(16 * (it % 6) + 2), 0.0, 0});
            p->gevs.push_back({uint32_t(16 * (it % 6) + 2), 1.0 + it % 10, 1});
            p->gevs.push_back({uint32_t(16 * (it % 6) + 2), 0.0, 2});
        }
        host.idle();  // serves the 1008 edges of the audio thread
        double v;
        for (uint32_t id : {0u, 17u, 1003u, 1007u}) ASSERT_TRUE(host.getParam(id, &v));
        host.paramText(3, 0.2);
        std::this_thread::yield();
    }
    // Let the audio thread see at least a few more blocks before stopping,
    // and enough in all to have raised an import (saves and loads hardly
    // wait, so the loop above may end after a few blocks).
    const long seen = blocks.load();
    while (blocks.load() < std::max(seen + 4, 12L)) std::this_thread::yield();
    stop = true;
    audio.join();
    host.idle();

    EXPECT_EQ(loads, 16);
    EXPECT_EQ(p->status, "Set geladen");
    EXPECT_GT(blocks.load(), 4);
    EXPECT_LT(silent.load(), blocks.load());
    // The instance is still whole: a saved state loads into a fresh one.
    ASSERT_TRUE(host.saveState(state));
    Host fresh;
    ASSERT_TRUE(open(fresh));
    EXPECT_TRUE(fresh.loadState(state));
}

// The paths between the threads that keep the audio going: saves and loads
// served by the audio thread at block boundaries (and by the main thread when
// the audio thread pauses), events, transport and resets parked while another
// thread holds the lock and replayed at the next block, resets carried out
// at once or later.
TEST_F(PluginTest, HandOverParkedEventsAndDeferredResets) {
    TempHome home;
    home.writeSet(engineSet());
    activate(44100.0, 512);
    plug::Plug* p = plug();

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::thread audio([&] {
        std::vector<float> l(512), r(512);
        EventList ev, out;
        for (long b = 0; !stop.load(); ++b) {
            ev.clear();
            out.clear();
            ev.noteOn(uint32_t(b % 300), int16_t(36 + b % 6), 1.0);
            ev.midi(uint32_t(b % 100), b % 17 == 0 ? 0xFA : (b % 17 == 9 ? 0xFC : 0x93), 37, 90);
            ev.param(40, uint32_t(16 * (b % 6) + 3), 0.1 + 0.01 * double(b % 50));
            ev.param(50, 1007, double(1 + b % 8));
            ev.param(60, 1008, (b / 5) % 2 ? 1.0 : 0.0);  // imports, served on the main thread
            host.setTransport({true, (b / 30) % 2 == 0, true, 90.0 + double(b % 150)});
            host.process(b % 3 == 0 ? 512 : 64, l.data(), r.data(), &ev, &out);
            if (b % 11 == 0) host.reset();
            if (b % 200 == 199) std::this_thread::sleep_for(std::chrono::milliseconds(80));  // the host pauses
            blocks.store(b + 1);
        }
    });
    std::thread holder([&] {  // another thread takes the lock now and then
        while (!stop.load()) {
            {
                LockHeld busy(p->engineMutex);
                std::this_thread::sleep_for(std::chrono::microseconds(700));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });

    int loads = 0;
    std::vector<uint8_t> state;
    for (int it = 0; it < 24; ++it) {
        ASSERT_TRUE(host.saveState(state));
        if (host.loadState(state)) ++loads;
        host.idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const long seen = blocks.load();
    while (blocks.load() < std::max(seen + 4, 12L)) std::this_thread::yield();  // an import was raised
    stop = true;
    audio.join();
    holder.join();

    host.idle();
    EXPECT_EQ(loads, 24);
    EXPECT_EQ(p->status, "Set geladen");
    ASSERT_TRUE(host.saveState(state));
    Host fresh;
    ASSERT_TRUE(open(fresh));
    EXPECT_TRUE(fresh.loadState(state));
}

}  // namespace
}  // namespace brs::ptest

namespace brs::ptest {
namespace {

// A save and a load while the audio thread really renders, with the groove
// playing and automation coming: what the hand-over reports back is whole.
// Each save is a set the reader takes and that saves back to itself; each
// load of a changed set returns true, and the next save carries exactly that
// change, whichever thread served the hand-over.
TEST_F(PluginTest, SavesAndLoadsWhileTheAudioThreadRendersReportWholeSets) {
    activate(48000.0, 128);
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        std::vector<float> l(128), r(128);
        EventList ev;
        for (long b = 0; !stop.load(); ++b) {
            ev.clear();
            ev.param(5, 4 * 16 + 0, 0.3 + 0.001 * double(b % 100));  // hat level automation
            host.setTransport({true, true, false, 175.0});  // plays, says no tempo: the set's stays
            host.process(b % 4 == 0 ? 128 : 32, l.data(), r.data(), &ev);
            if (b % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::vector<uint8_t> state;
    for (int it = 0; it < 20; ++it) {
        ASSERT_TRUE(host.saveState(state));
        std::string text(state.begin(), state.end());
        const std::string set = text.substr(0, text.find('\n'));
        Host check;
        ASSERT_TRUE(open(check));
        ASSERT_TRUE(check.loadState(set)) << "a saved set the reader refuses";
        // A changed tempo, loaded while the audio runs, is what the next save holds.
        const std::string bpm = "\"bpm\":" + std::to_string(100 + it);
        const size_t at = text.find("\"bpm\":");
        text.replace(at, text.find(',', at) - at, bpm);
        ASSERT_TRUE(host.loadState(text));
        ASSERT_TRUE(host.saveState(state));
        const std::string again(state.begin(), state.end());
        EXPECT_NE(again.find("{\"format\":\"vm-groove/1.0\"," + bpm + ","), std::string::npos) << it;
    }
    stop = true;
    audio.join();
}

}  // namespace
}  // namespace brs::ptest
