// app_fixture.cpp: JACK server, JACK probe clients, the program as a child.
#include "app_fixture.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace brs::apptest {

bool wait_for(const std::function<bool()>& pred, double seconds) {
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

float peak(const std::vector<float>& x) {
    float p = 0.0f;
    for (float v : x) p = std::max(p, std::fabs(v));
    return p;
}

long first_above(const std::vector<float>& x, float level) {
    for (std::size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > level) return long(i);
    return -1;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// ---- JackServer ---------------------------------------------------------------------

namespace {
// Starts argv with env; standard output (and error, unless errLog names
// another file) go to log.
int spawn_child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log,
                const std::string& errLog = "") {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // nothing outlives a crashed test
        if (getppid() != parent) _exit(127);
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (!errLog.empty()) {
            int efd = ::open(errLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (efd >= 0) dup2(efd, 2);
        }
        std::vector<char*> a, e;
        for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
        e.push_back(nullptr);
        execvpe(a[0], a.data(), e.data());
        _exit(127);
    }
    return pid;
}

int wait_pid(int pid, double seconds, bool* done) {
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    int st = 0;
    for (;;) {
        int r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            *done = true;
            return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        if (Clock::now() >= until) {
            *done = false;
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> own_env(const std::map<std::string, std::string>& over) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        size_t eq = s.find('=');
        if (eq != std::string::npos) all[s.substr(0, eq)] = s.substr(eq + 1);
    }
    for (const auto& [k, v] : over) {
        if (v.empty()) all.erase(k);
        else all[k] = v;
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : all) out.push_back(k + "=" + v);
    return out;
}
}  // namespace

namespace {
void jack_quiet(const char*) {}
}  // namespace

bool JackServer::start() {
    jack_set_error_function(jack_quiet);  // the polling below fails until the server is up
    jack_set_info_function(jack_quiet);
    static std::atomic<int> n{0};
    name_ = "brs-app-" + std::to_string(getpid()) + "-" + std::to_string(n++);
    std::string log = "/tmp/" + name_ + ".log";
    pid_ = spawn_child({"jackd", "-n", name_, "-d", "dummy", "-r", "48000", "-p", "256"}, own_env({}), log);
    if (pid_ <= 0) return false;
    return wait_for(
        [&] {
            jack_client_t* c = client("brs-probe");
            if (!c) return false;
            jack_client_close(c);
            return true;
        },
        15.0);
}

void JackServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    bool done = false;
    wait_pid(pid_, 10.0, &done);
    if (!done) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    std::remove(("/tmp/" + name_ + ".log").c_str());
}

jack_client_t* JackServer::client(const char* name) const {
    jack_status_t st{};
    return jack_client_open(name, static_cast<jack_options_t>(JackNoStartServer | JackServerName), &st,
                            name_.c_str());
}

// ---- PulseServer --------------------------------------------------------------------

bool PulseServer::start() {
    char tmpl[] = "/tmp/brs-pulse-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    std::filesystem::create_directories(dir_ + "/home");
    auto e = own_env({{"HOME", dir_ + "/home"}, {"PULSE_RUNTIME_PATH", dir_}, {"XDG_RUNTIME_DIR", dir_},
                      {"DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", ""}});
    pid_ = spawn_child({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                        "-L", "module-null-sink sink_name=brs rate=48000",
                        "-L", "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1"},
                       e, dir_ + "/server.log");
    if (pid_ <= 0) return false;
    return wait_for([&] { return std::filesystem::exists(dir_ + "/native"); }, 10.0);
}

void PulseServer::stop() {
    stopRecording();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        bool done = false;
        wait_pid(pid_, 10.0, &done);
        if (!done) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    dir_.clear();
}

bool PulseServer::startRecording() {
    if (recPid_ > 0) return true;
    recPid_ = spawn_child({"parec", "-d", "brs.monitor", "--raw", "--format=float32le", "--rate=48000",
                           "--channels=2", "--latency-msec=20"},
                          own_env({{"PULSE_SERVER", address()}, {"HOME", dir_ + "/home"}}), dir_ + "/rec.raw",
                          dir_ + "/parec.log");
    return recPid_ > 0;
}

void PulseServer::stopRecording() {
    if (recPid_ <= 0) return;
    ::kill(recPid_, SIGTERM);
    bool done = false;
    wait_pid(recPid_, 5.0, &done);
    if (!done) {
        ::kill(recPid_, SIGKILL);
        waitpid(recPid_, nullptr, 0);
    }
    recPid_ = -1;
}

std::vector<float> PulseServer::recorded() const {
    std::string bytes = read_text(dir_ + "/rec.raw");
    std::vector<float> left(bytes.size() / 8);
    for (std::size_t i = 0; i < left.size(); ++i) std::memcpy(&left[i], bytes.data() + 8 * i, 4);
    return left;
}

std::string PulseServer::log() const { return read_text(dir_ + "/parec.log") + read_text(dir_ + "/server.log"); }

// ---- Probe --------------------------------------------------------------------------

Probe::Probe(JackServer& s) : buf_(CAP) {
    sender_ = s.client("brs-test-send");
    recorder_ = s.client("brs-test-rec");
    if (!sender_ || !recorder_) return;
    midiOut_ = jack_port_register(sender_, "aus", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    inL_ = jack_port_register(recorder_, "in_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    inR_ = jack_port_register(recorder_, "in_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(sender_, on_send, this);
    jack_set_process_callback(recorder_, on_record, this);
    jack_set_xrun_callback(recorder_, on_xrun, this);
    jack_activate(sender_);
    jack_activate(recorder_);
}

Probe::~Probe() {
    if (sender_) jack_client_close(sender_);
    if (recorder_) jack_client_close(recorder_);
}

bool Probe::listen() {
    bool a = jack_connect(recorder_, "brisanto:links", jack_port_name(inL_)) == 0;
    bool b = jack_connect(recorder_, "brisanto:rechts", jack_port_name(inR_)) == 0;
    restart();
    return a && b && wait_for([&] { return count_.load() > 0; }, 5.0);
}

void Probe::restart() {
    restart_.store(true);
    wait_for([&] { return !restart_.load(); }, 5.0);
}

int Probe::on_xrun(void* arg) {
    static_cast<Probe*>(arg)->xruns_.fetch_add(1);
    return 0;
}

void Probe::stall(std::chrono::milliseconds d) { stallMs_.store(int(d.count())); }

bool Probe::senderConnected() const { return midiOut_ && jack_port_connected(midiOut_) > 0; }

uint64_t Probe::send(std::vector<uint8_t> bytes) {
    msgLen_ = std::min<std::size_t>(bytes.size(), 3);
    std::memcpy(msg_, bytes.data(), msgLen_);
    sentAt_.store(0);
    pending_.store(true);
    if (!wait_for([&] { return !pending_.load(); }, 1.0)) return 0;
    return sentAt_.load();
}

int Probe::on_send(jack_nframes_t n, void* arg) {
    auto* p = static_cast<Probe*>(arg);
    void* buf = jack_port_get_buffer(p->midiOut_, n);
    jack_midi_clear_buffer(buf);
    if (int ms = p->stallMs_.exchange(0)) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const double bpm = p->clockBpm_.load();
    const double start = double(jack_last_frame_time(p->sender_));
    if (bpm > 0.0) {
        const double every = 48000.0 * 60.0 / (bpm * 24.0);
        if (p->nextTick_ < start) p->nextTick_ = start;
        const uint8_t tick = 0xF8;
        for (; p->nextTick_ < start + n; p->nextTick_ += every)
            jack_midi_event_write(buf, jack_nframes_t(p->nextTick_ - start), &tick, 1);
    } else {
        p->nextTick_ = -1.0;
    }
    if (p->pending_.load()) {
        if (jack_midi_event_write(buf, NOTE_OFFSET, p->msg_, p->msgLen_) == 0)
            p->sentAt_.store(uint64_t(jack_last_frame_time(p->sender_)) + NOTE_OFFSET);
        p->pending_.store(false);
    }
    return 0;
}

int Probe::on_record(jack_nframes_t n, void* arg) {
    auto* p = static_cast<Probe*>(arg);
    const auto* l = static_cast<const float*>(jack_port_get_buffer(p->inL_, n));
    if (p->restart_.load()) {
        p->count_.store(0);
        p->start_.store(jack_last_frame_time(p->recorder_));
        p->restart_.store(false);
    }
    std::size_t c = p->count_.load();
    // Cycles this client missed (a busy machine) are kept as silence, so that
    // every recorded sample stays at its server frame.
    const uint64_t frame = jack_last_frame_time(p->recorder_), expect = p->start_.load() + c;
    if (frame != expect) {
        p->xruns_.fetch_add(1);
        if (frame > expect && frame - expect <= CAP - c) {
            std::memset(p->buf_.data() + c, 0, std::size_t(frame - expect) * sizeof(float));
            c += std::size_t(frame - expect);
        } else {  // out of reach: start over here
            c = 0;
            p->start_.store(frame);
        }
    }
    const std::size_t k = std::min<std::size_t>(n, CAP - c);
    std::memcpy(p->buf_.data() + c, l, k * sizeof(float));
    p->count_.store(c + k);
    return 0;
}

std::vector<float> Probe::left(uint64_t from, std::size_t n) const {
    const uint64_t s = start_.load();
    const std::size_t c = count_.load();
    if (from < s) from = s;
    const std::size_t i = std::size_t(from - s);
    if (i >= c) return {};
    return std::vector<float>(buf_.begin() + i, buf_.begin() + std::min(c, i + n));
}

bool Probe::reach(uint64_t f, double seconds) const {
    return wait_for([&] { return now() >= f; }, seconds);
}

// ---- App --------------------------------------------------------------------------

bool App::start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    static std::atomic<int> n{0};
    log_ = "/tmp/brs-app-out-" + std::to_string(getpid()) + "-" + std::to_string(n++) + ".txt";
    std::vector<std::string> argv{BRS_APP_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn_child(argv, own_env(env), log_);
    return pid_ > 0;
}

App::~App() {
    kill();
    if (!log_.empty()) std::remove(log_.c_str());
}

int App::wait(double seconds) {
    if (pid_ <= 0) return -1;
    bool done = false;
    int st = wait_pid(pid_, seconds, &done);
    if (done) pid_ = -1;
    return st;
}

int App::quit(double seconds) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int st = wait(seconds);
    if (st == -2) {
        kill();
        return -1;
    }
    return st;
}

void App::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string App::output() const { return read_text(log_); }

// ---- AppTest ----------------------------------------------------------------------

JackServer* AppTest::jack_ = nullptr;
host::Xvfb* AppTest::xvfb_ = nullptr;

void AppTest::SetUpTestSuite() {
    xvfb_ = new host::Xvfb;
    ASSERT_TRUE(xvfb_->start()) << "Xvfb does not start";
    jack_ = new JackServer;
    ASSERT_TRUE(jack_->start()) << "jackd -d dummy does not start";
}

void AppTest::TearDownTestSuite() {
    delete jack_;
    delete xvfb_;
    jack_ = nullptr;
    xvfb_ = nullptr;
}

void AppTest::SetUp() {
    ASSERT_TRUE(jack_ && xvfb_);
    char tmpl[] = "/tmp/brs-app-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
    std::filesystem::create_directories(dir_ + "/home");
    dpy_ = XOpenDisplay(xvfb_->name().c_str());
    ASSERT_TRUE(dpy_);
}

void AppTest::TearDown() {
    if (dpy_) XCloseDisplay(dpy_);
    std::error_code ec;
    if (!HasFailure()) std::filesystem::remove_all(dir_, ec);
}

std::map<std::string, std::string> AppTest::env() const {
    return {{"DISPLAY", xvfb_->name()},
            {"JACK_DEFAULT_SERVER", jack_->name()},
            {"XDG_CONFIG_HOME", dir_ + "/config"},
            {"HOME", dir_ + "/home"},
            {"LD_PRELOAD", BRS_RTCOUNT_LIB},
            {"BRS_RTCOUNT_FILE", dir_ + "/rtcount"}};
}

bool AppTest::launch(App& app, const std::vector<std::string>& args, const std::map<std::string, std::string>& more,
                     const std::string& system) {
    auto e = env();
    for (const auto& [k, v] : more) e[k] = v;
    if (!app.start(args, e)) return false;
    // The program reports its device once everything runs.
    const std::string ready = "brisanto: " + system + ",";
    return wait_for([&] { return window() != 0 && app.output().find(ready) != std::string::npos; }, 15.0);
}

bool AppTest::fixedSize(int w, int h) const {
    XSizeHints hints{};
    long supplied = 0;
    if (!XGetWMNormalHints(dpy_, window(), &hints, &supplied)) return false;
    XWindowAttributes wa{};
    XGetWindowAttributes(dpy_, window(), &wa);
    return (hints.flags & PMinSize) && (hints.flags & PMaxSize) && hints.min_width == w && hints.max_width == w &&
           hints.min_height == h && hints.max_height == h && wa.width == w && wa.height == h;
}

Window AppTest::window() const {
    Window root = DefaultRootWindow(dpy_), r = 0, p = 0, *kids = nullptr;
    unsigned n = 0;
    Window found = 0;
    if (!XQueryTree(dpy_, root, &r, &p, &kids, &n)) return 0;
    for (unsigned i = 0; i < n && !found; ++i) {
        char* name = nullptr;
        if (XFetchName(dpy_, kids[i], &name) && name) {
            if (std::string(name).rfind("brisanto", 0) == 0) found = kids[i];
            XFree(name);
        }
    }
    if (kids) XFree(kids);
    return found;
}

std::string AppTest::windowTitle() const {
    Window w = window();
    char* name = nullptr;
    std::string t;
    if (w && XFetchName(dpy_, w, &name) && name) {
        t = name;
        XFree(name);
    }
    return t;
}

void AppTest::space() const {
    Window w = window();
    for (int type : {KeyPress, KeyRelease}) {
        XEvent ev{};
        ev.xkey.type = type;
        ev.xkey.display = dpy_;
        ev.xkey.window = w;
        ev.xkey.root = DefaultRootWindow(dpy_);
        ev.xkey.keycode = XKeysymToKeycode(dpy_, XK_space);
        ev.xkey.same_screen = True;
        XSendEvent(dpy_, w, False, type == KeyPress ? KeyPressMask : KeyReleaseMask, &ev);
    }
    XFlush(dpy_);
}

void AppTest::typeSpace() const {
    Window w = window();
    XWarpPointer(dpy_, None, w, 0, 0, 0, 0, 400, 200);  // over the editor, which does not take keys itself
    XSync(dpy_, False);
    const KeyCode k = XKeysymToKeycode(dpy_, XK_space);
    XTestFakeKeyEvent(dpy_, k, True, 0);
    XTestFakeKeyEvent(dpy_, k, False, 0);
    XFlush(dpy_);
}

std::vector<long> AppTest::rtCounts() const {
    std::istringstream in(read_text(dir_ + "/rtcount"));
    std::vector<long> v;
    long x;
    while (in >> x) v.push_back(x);
    return v;
}

}  // namespace brs::apptest
