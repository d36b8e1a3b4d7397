// app_fixture.h: runs the brisanto program end to end: a JACK server of the
// test's own (dummy backend, a server name of its own so parallel tests never
// meet), an Xvfb of its own, the program as a child process, and JACK clients
// of the test that send MIDI to it and record what it plays.
#pragma once

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/embed.h"

namespace brs::apptest {

using Clock = std::chrono::steady_clock;

// Polls pred every 10 ms until it holds or seconds pass.
bool wait_for(const std::function<bool()>& pred, double seconds);

// jackd -n <own name> -d dummy -r 48000 -p 256, ended with the test.
class JackServer {
public:
    ~JackServer() { stop(); }
    bool start();
    void stop();
    const std::string& name() const { return name_; }
    // A client of this server (null when it does not open).
    jack_client_t* client(const char* name) const;

private:
    int pid_ = -1;
    std::string name_;
};

// A PulseAudio server of the test's own (a null sink "brs" at 48000 Hz, its
// own socket), for the program's RtAudio path; recordings come from the sink's
// monitor through parec.
class PulseServer {
public:
    ~PulseServer() { stop(); }
    // False when pulseaudio is not installed or does not start.
    bool start();
    void stop();
    // PULSE_SERVER for clients.
    std::string address() const { return "unix:" + dir_ + "/native"; }
    // Records the sink's left channel from now on, until stop.
    bool startRecording();
    void stopRecording();
    // What was recorded so far (left channel).
    std::vector<float> recorded() const;
    // What parec and the server said.
    std::string log() const;

private:
    int pid_ = -1;
    int recPid_ = -1;
    std::string dir_;
};

// A JACK client of the test: a MIDI output port that sends one message when
// asked (at frame 100 of the next cycle), and two audio inputs that record
// everything with the server's frame time of each sample.
class Probe {
public:
    static constexpr uint32_t NOTE_OFFSET = 100;
    static constexpr std::size_t CAP = 48000 * 120;

    explicit Probe(JackServer& s);
    ~Probe();
    bool ok() const { return sender_ && recorder_; }
    // Connects brisanto's outputs to the recorder.
    bool listen();
    // Sends bytes at NOTE_OFFSET in the next cycle; returns the server frame
    // it was sent at (0 when it was not sent within a second).
    uint64_t send(std::vector<uint8_t> bytes);
    bool senderConnected() const;
    // Recorded samples (left) from server frame `from` on, `n` of them; fewer
    // when not yet recorded.
    std::vector<float> left(uint64_t from, std::size_t n) const;
    // The server frame of the newest recorded sample + 1.
    uint64_t now() const { return start_.load() + count_.load(); }
    // Waits until the recording reaches server frame f.
    bool reach(uint64_t f, double seconds = 10.0) const;
    // Sends MIDI clock ticks (24 per beat) at bpm from the next cycle on, on
    // their exact frames; 0 stops them.
    void clock(double bpm) { clockBpm_.store(bpm); }
    // Sleeps for d in the sender's next cycle, which makes the server miss
    // its deadline (an xrun for every client).
    void stall(std::chrono::milliseconds d);
    // Records from the next cycle on, forgetting what came before.
    void restart();
    // The server's xruns so far, and the cycles the recorder missed (kept as
    // silence). A measurement across one may have lost what it looked for:
    // measure again.
    uint64_t xruns() const { return xruns_.load(); }

private:
    static int on_send(jack_nframes_t n, void* arg);
    static int on_record(jack_nframes_t n, void* arg);
    static int on_xrun(void* arg);

    jack_client_t* sender_ = nullptr;
    jack_client_t* recorder_ = nullptr;
    jack_port_t* midiOut_ = nullptr;
    jack_port_t* inL_ = nullptr;
    jack_port_t* inR_ = nullptr;
    std::atomic<bool> pending_{false};
    std::atomic<int> stallMs_{0};
    std::atomic<double> clockBpm_{0.0};
    double nextTick_ = -1.0;  // server frame of the next clock tick [sender thread]
    uint8_t msg_[3]{};
    std::size_t msgLen_ = 0;
    std::atomic<uint64_t> sentAt_{0};
    std::vector<float> buf_;
    std::atomic<uint64_t> start_{0};
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> restart_{true};
    std::atomic<uint64_t> xruns_{0};
};

// The program as a child process with an environment of the test's making.
class App {
public:
    ~App();
    // Starts the program with args; env entries override the test's own.
    bool start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
    // SIGTERM and wait; the exit status (-1: killed by a signal or timed out).
    int quit(double seconds = 15.0);
    // Waits for the program's own end; the exit status, -2 while it still runs.
    int wait(double seconds);
    void kill();
    std::string output() const;  // standard output and error so far
    bool running() const { return pid_ > 0; }

private:
    int pid_ = -1;
    std::string log_;
};

// The shared scene of the end-to-end tests: servers for the whole suite, a
// fresh folder per test.
class AppTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // The environment a run gets: display, JACK server, config and home
    // folders of this test, the counting library preloaded.
    std::map<std::string, std::string> env() const;
    // Starts the program and waits until its window and JACK ports exist.
    bool launch(App& app, const std::vector<std::string>& args = {},
                const std::map<std::string, std::string>& env = {}, const std::string& system = "JACK");
    // The window's size is w x h and the window manager is told it is fixed.
    bool fixedSize(int w, int h) const;
    // The program's top-level window on the test display, 0 when none.
    Window window() const;
    std::string windowTitle() const;
    // Presses and releases the space bar in the program's window.
    void space() const;
    // The same through the keyboard (XTest), with the pointer over the editor.
    void typeSpace() const;
    // callbacks, allocs, frees, waits as the counting library wrote them.
    std::vector<long> rtCounts() const;

    static JackServer* jack_;
    static host::Xvfb* xvfb_;
    Display* dpy_ = nullptr;
    std::string dir_;
};

float peak(const std::vector<float>& x);
long first_above(const std::vector<float>& x, float level);
std::string read_text(const std::string& path);

}  // namespace brs::apptest
