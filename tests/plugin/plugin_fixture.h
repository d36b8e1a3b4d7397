// plugin_fixture.h: drives the real brisanto.clap through host/ for the shell tests.
//
// The instance record is read through plugin/plug.h (the same header the
// editor uses) and the kernel functions are taken from the loaded plug-in
// itself, so every check looks at the engine the plug-in really renders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/brskern.h"
#include "host/host.h"
#include "plugin/plug.h"
#include "set/json.h"

namespace brs::ptest {

// Built with a sanitizer: every hold of the instance lock lasts many times
// longer than in the real build, longer than the spin a block grants a
// hand-over, so checks that no block is ever silent hold in the real build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

using host::EventList;
using host::Host;

// Kernel entry points resolved in the loaded plug-in.
struct Kern {
    bool (*playing)(brskern_t) = nullptr;
    int32_t (*step)(brskern_t) = nullptr;
    float (*get_param)(brskern_t, uint32_t, const char*) = nullptr;
    size_t (*save_set)(brskern_t, char*, size_t) = nullptr;

    Kern() = default;
    explicit Kern(const Host& h) {
        playing = reinterpret_cast<decltype(playing)>(h.symbol("brskern_playing"));
        step = reinterpret_cast<decltype(step)>(h.symbol("brskern_step"));
        get_param = reinterpret_cast<decltype(get_param)>(h.symbol("brskern_get_param"));
        save_set = reinterpret_cast<decltype(save_set)>(h.symbol("brskern_save_set"));
    }
};

// HOME pointed at a fresh temporary folder for the test's lifetime.
class TempHome {
public:
    TempHome() {
        char tmpl[] = "/tmp/brs-home-XXXXXX";
        dir_ = mkdtemp(tmpl);
        if (const char* h = std::getenv("HOME")) old_ = h, hadOld_ = true;
        setenv("HOME", dir_.c_str(), 1);
    }
    ~TempHome() {
        if (hadOld_)
            setenv("HOME", old_.c_str(), 1);
        else
            unsetenv("HOME");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }
    std::string setFile() const { return dir_ + "/Documents/Velmora/brisanto-set.json"; }
    // Writes the import file (bytes as given).
    void writeSet(const std::string& bytes) const {
        std::filesystem::create_directories(dir_ + "/Documents/Velmora");
        std::ofstream(setFile(), std::ios::binary) << bytes;
    }

private:
    std::string dir_, old_;
    bool hadOld_ = false;
};

// Loads the plug-in into h and creates an instance.
inline bool open(Host& h) { return h.load(BRS_CLAP_PATH) && h.create(); }

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(open(host)) << host.error();
        kern = Kern(host);
        ASSERT_TRUE(kern.playing && kern.step && kern.get_param && kern.save_set);
    }



    plug::Plug* plug() const { return plug::from(host.plugin()); }
    brskern_t engine() const { return plug()->engine; }

    void activate(double rate = 48000.0, uint32_t maxFrames = 2048) {
        ASSERT_TRUE(host.activate(rate, 1, maxFrames));
        ASSERT_TRUE(host.startProcessing());
    }

    // Renders frames (stereo) with the given events; returns left, right.
    std::pair<std::vector<float>, std::vector<float>> run(uint32_t frames, const EventList* ev = nullptr,
                                                          EventList* out = nullptr) {
        std::vector<float> l(frames, 9.0f), r(frames, 9.0f);
        host.process(frames, l.data(), r.data(), ev, out);
        return {l, r};
    }

    double value(clap_id id) {
        double v = -12345.0;
        EXPECT_TRUE(host.getParam(id, &v)) << id;
        return v;
    }

    // Raises a set import through parameter 1008 and lets the host's main
    // loop serve it. True when the import succeeded (the host was asked to
    // rescan); the status text tells the rest.
    bool import(Host& h) {
        h.setParam(1008, 0.0);
        h.setParam(1008, 1.0);
        h.clearRescans();
        EXPECT_TRUE(h.idle());
        return !h.rescans().empty();
    }
    bool import() { return import(host); }

    std::string stateText() {
        std::vector<uint8_t> b;
        EXPECT_TRUE(host.saveState(b));
        return std::string(b.begin(), b.end());
    }
    // The set document part of the state (before the first line feed).
    std::string setText() {
        std::string s = stateText();
        return s.substr(0, s.find('\n'));
    }
    // The engine's set document, straight from the kernel.
    std::string engineSet() {
        size_t n = kern.save_set(engine(), nullptr, 0);
        std::string s(n, '\0');
        kern.save_set(engine(), s.data(), n);
        s.resize(n - 1);
        return s;
    }
    static Val parse(const std::string& text) {
        Parser p(text.data(), text.size());
        Val v = p.val();
        EXPECT_FALSE(p.error);
        return v;
    }

    Host host;
    Kern kern;
};

// Holds a mutex on a thread of its own (the main thread's role) until
// release(), or for five seconds at most, so that a plug-in that waits for
// it shows up as a failed check rather than a hung test.
class LockHeld {
public:
    explicit LockHeld(std::mutex& m) : t_([this, &m] {
        std::unique_lock<std::mutex> g(m);
        {
            std::lock_guard<std::mutex> s(mu_);
            held_ = true;
        }
        cv_.notify_all();
        std::unique_lock<std::mutex> s(mu_);
        cv_.wait_for(s, std::chrono::seconds(5), [this] { return release_; });
    }) {
        std::unique_lock<std::mutex> s(mu_);
        cv_.wait(s, [this] { return held_; });
    }
    ~LockHeld() { release(); }
    void release() {
        {
            std::lock_guard<std::mutex> s(mu_);
            release_ = true;
        }
        cv_.notify_all();
        if (t_.joinable()) t_.join();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool held_ = false, release_ = false;
    std::thread t_;
};

// The Multi's plug-in id, and an instance of it in h.
inline constexpr const char* MULTI_ID = "de.velmora.brisanto.multi";
inline bool openMulti(Host& h) { return h.load(BRS_CLAP_PATH) && h.create(MULTI_ID); }

// Output buffers for a plug-in with several stereo ports, as a host lays
// them out: port p's channels are ch(p, 0) and ch(p, 1). Every sample starts
// at 9 so that a port the plug-in leaves unwritten shows. Building the
// records allocates nothing once constructed.
struct Ports {
    explicit Ports(uint32_t ports = 7, uint32_t frames = 4096)
        : n(ports), data(size_t(ports) * 2, std::vector<float>(frames, 9.0f)), ptrs(size_t(ports) * 2),
          bufs(ports) {
        for (uint32_t p = 0; p < n; ++p) {
            ptrs[2 * p] = data[2 * p].data();
            ptrs[2 * p + 1] = data[2 * p + 1].data();
            bufs[p] = clap_audio_buffer_t{};
            bufs[p].data32 = &ptrs[2 * p];
            bufs[p].channel_count = 2;
        }
    }
    std::vector<float>& ch(uint32_t port, int c) { return data[2 * port + c]; }
    void fill(float v) {
        for (auto& d : data) std::fill(d.begin(), d.end(), v);
    }
    // Runs one block of frames into the first count ports (default: all).
    clap_process_status run(Host& h, uint32_t frames, const EventList* ev = nullptr, uint32_t count = ~0u) {
        return h.processPorts(frames, bufs.data(), count > n ? n : count, ev, nullptr);
    }
    uint32_t n;
    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
    std::vector<clap_audio_buffer_t> bufs;
};

// Index of the first sample whose magnitude exceeds eps, or -1.
inline long firstSound(const std::vector<float>& x, float eps = 1e-6f) {
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > eps) return long(i);
    return -1;
}
inline bool allZero(const std::vector<float>& x) { return firstSound(x, 0.0f) < 0; }

}  // namespace brs::ptest
