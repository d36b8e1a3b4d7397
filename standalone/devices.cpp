// devices.cpp: JACK through libjack, ALSA and PulseAudio through RtAudio,
// ALSA sequencer MIDI through RtMidi.
#include <dlfcn.h>
#include <unistd.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <RtAudio.h>
#include <RtMidi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

#include "standalone/device.h"

namespace brs::app {

RtProbe find_rt_probe() {
    RtProbe p;
    p.enter = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "brs_rt_enter"));
    p.leave = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "brs_rt_leave"));
    if (!p.enter || !p.leave) p = RtProbe{};
    return p;
}

namespace {

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- JACK ---------------------------------------------------------------------------

class JackDevice final : public Device {
public:
    JackDevice(jack_client_t* c, const DeviceOptions& o, const RtProbe& probe) : c_(c), opts_(o), probe_(probe) {}
    ~JackDevice() override {
        stop();
        jack_client_close(c_);
    }

    bool setup(std::string* err) {
        left_ = jack_port_register(c_, "links", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput | JackPortIsTerminal, 0);
        right_ = jack_port_register(c_, "rechts", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput | JackPortIsTerminal, 0);
        midi_ = jack_port_register(c_, "midi_ein", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput | JackPortIsTerminal, 0);
        if (!left_ || !right_ || !midi_) {
            *err = "JACK-Ports lassen sich nicht anlegen";
            return false;
        }
        jack_set_process_callback(c_, on_process, this);
        jack_set_xrun_callback(c_, on_xrun, this);
        jack_set_port_registration_callback(c_, on_port, this);
        jack_on_shutdown(c_, on_shutdown, this);
        return true;
    }

    bool start(Live& live, std::string* err) override {
        live_ = &live;
        if (jack_activate(c_) != 0) {
            *err = "JACK-Client lässt sich nicht aktivieren";
            live_ = nullptr;
            return false;
        }
        active_ = true;
        if (opts_.connect) {
            // The system's first two playback ports, as every JACK program does.
            const char** ports = jack_get_ports(c_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
            if (ports) {
                // What the server reports for our own port lags behind the
                // connection; the playback port's own figure does not.
                if (ports[0]) {
                    jack_latency_range_t r{};
                    jack_port_get_latency_range(jack_port_by_name(c_, ports[0]), JackPlaybackLatency, &r);
                    playbackLatency_ = r.max;
                }
                if (ports[0]) jack_connect(c_, jack_port_name(left_), ports[0]);
                if (ports[0] && ports[1]) jack_connect(c_, jack_port_name(right_), ports[1]);
                else if (ports[0]) jack_connect(c_, jack_port_name(right_), ports[0]);
                jack_free(ports);
            }
        }
        return true;
    }

    void stop() override {
        if (active_ && !gone_.load()) jack_deactivate(c_);
        active_ = false;
    }

    uint32_t rate() const override { return jack_get_sample_rate(c_); }
    uint32_t block() const override { return jack_get_buffer_size(c_); }
    uint32_t latencyFrames() const override {
        jack_latency_range_t r{};
        jack_port_get_latency_range(left_, JackPlaybackLatency, &r);
        return std::max<uint32_t>(std::max<uint32_t>(r.max, playbackLatency_), block());
    }
    std::string name() const override { return "JACK"; }
    bool lost() const override { return gone_.load(); }

    void connectMidi(const std::string& filter) override {
        if (!active_ || gone_.load()) return;
        if (!firstScan_ && !portsChanged_.exchange(false)) return;
        firstScan_ = false;
        const char** ports = jack_get_ports(c_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
        if (!ports) return;
        const std::string own = jack_port_name(midi_);
        const std::string prefix = std::string(jack_get_client_name(c_)) + ":";
        for (int i = 0; ports[i]; ++i) {
            std::string name = ports[i];
            if (seen_.count(name) || name.rfind(prefix, 0) == 0) continue;
            seen_.insert(name);
            if (!filter.empty() && name.find(filter) == std::string::npos) continue;
            jack_connect(c_, name.c_str(), own.c_str());
        }
        jack_free(ports);
    }

private:
    static int on_process(jack_nframes_t n, void* arg) {
        auto* d = static_cast<JackDevice*>(arg);
        if (d->probe_.enter) d->probe_.enter();
        auto* L = static_cast<float*>(jack_port_get_buffer(d->left_, n));
        auto* R = static_cast<float*>(jack_port_get_buffer(d->right_, n));
        void* mb = jack_port_get_buffer(d->midi_, n);
        std::size_t k = 0;
        const uint32_t count = mb ? jack_midi_get_event_count(mb) : 0;
        // Clock ticks need a time: the frame's place on the server's clock.
        const double t0 = static_cast<double>(jack_last_frame_time(d->c_)) / jack_get_sample_rate(d->c_);
        for (uint32_t i = 0; i < count && k < MAX_TIMED; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, mb, i) != 0 || ev.size == 0 || ev.size > 3) continue;
            MidiMsg& m = d->timed_[k++];
            std::memset(m.b, 0, sizeof m.b);
            std::memcpy(m.b, ev.buffer, ev.size);
            m.n = static_cast<uint8_t>(ev.size);
            m.frame = ev.time;
            m.t = t0 + static_cast<double>(ev.time) / jack_get_sample_rate(d->c_);
        }
        if (d->live_) {
            d->live_->process(n, L, R, d->timed_, k);
        } else {
            std::fill(L, L + n, 0.0f);
            std::fill(R, R + n, 0.0f);
        }
        if (d->probe_.leave) d->probe_.leave();
        return 0;
    }
    static int on_xrun(void* arg) {
        auto* d = static_cast<JackDevice*>(arg);
        if (d->live_) d->live_->xruns.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    static void on_shutdown(void* arg) { static_cast<JackDevice*>(arg)->gone_.store(true); }
    static void on_port(jack_port_id_t, int registered, void* arg) {
        if (registered) static_cast<JackDevice*>(arg)->portsChanged_.store(true);
    }

    static constexpr std::size_t MAX_TIMED = 512;
    jack_client_t* c_;
    DeviceOptions opts_;
    RtProbe probe_;
    Live* live_ = nullptr;
    jack_port_t* left_ = nullptr;
    jack_port_t* right_ = nullptr;
    jack_port_t* midi_ = nullptr;
    bool active_ = false;
    bool firstScan_ = true;
    std::atomic<bool> portsChanged_{false};
    std::atomic<bool> gone_{false};
    uint32_t playbackLatency_ = 0;
    std::set<std::string> seen_;
    MidiMsg timed_[MAX_TIMED]{};
};

void jack_quiet(const char*) {}

std::unique_ptr<Device> open_jack(const DeviceOptions& o, const RtProbe& probe, std::string* err) {
    // libjack explains a missing server in several lines of its own; the
    // program says it in one, and falls back to the next sound system.
    jack_set_error_function(jack_quiet);
    jack_set_info_function(jack_quiet);
    jack_status_t status{};
    jack_client_t* c = jack_client_open(o.clientName.c_str(), JackNoStartServer, &status);
    if (!c) {
        *err = "kein JACK-Server erreichbar";
        return nullptr;
    }
    auto d = std::make_unique<JackDevice>(c, o, probe);
    if (!d->setup(err)) return nullptr;
    return d;
}

// ---- RtAudio (ALSA, PulseAudio) ---------------------------------------------------------

class RtDevice final : public Device {
public:
    RtDevice(RtAudio::Api api, const DeviceOptions& o, const RtProbe& probe) : rt_(api), api_(api), opts_(o), probe_(probe) {
        rt_.showWarnings(false);
    }
    ~RtDevice() override {
        stop();
        try {
            if (rt_.isStreamOpen()) rt_.closeStream();
        } catch (...) {
        }
    }

    bool open(std::string* err) {
        try {
            if (rt_.getDeviceCount() == 0) {
                *err = name() + ": kein Ausgabegerät";
                return false;
            }
            RtAudio::StreamParameters out;
            out.deviceId = rt_.getDefaultOutputDevice();
            out.nChannels = 2;
            RtAudio::StreamOptions so;
            so.flags = RTAUDIO_NONINTERLEAVED | RTAUDIO_SCHEDULE_REALTIME;
            so.numberOfBuffers = 2;
            so.streamName = opts_.clientName;
            block_ = opts_.block;
            rt_.openStream(&out, nullptr, RTAUDIO_FLOAT32, opts_.rate, &block_, on_audio, this, &so, nullptr);
            rate_ = rt_.getStreamSampleRate();
            if (!rate_) rate_ = opts_.rate;
            return true;
        } catch (const RtAudioError& e) {
            *err = name() + ": " + e.getMessage();
            return false;
        } catch (...) {
            *err = name() + ": Gerät lässt sich nicht öffnen";
            return false;
        }
    }

    bool start(Live& live, std::string* err) override {
        live_ = &live;
        try {
            rt_.startStream();
            return true;
        } catch (const RtAudioError& e) {
            *err = name() + ": " + e.getMessage();
        } catch (...) {
            *err = name() + ": Gerät startet nicht";
        }
        live_ = nullptr;
        return false;
    }
    void stop() override {
        try {
            if (rt_.isStreamRunning()) rt_.stopStream();
        } catch (...) {
        }
    }
    uint32_t rate() const override { return rate_; }
    uint32_t block() const override { return block_; }
    uint32_t latencyFrames() const override {
        long l = const_cast<RtAudio&>(rt_).getStreamLatency();
        return std::max<uint32_t>(static_cast<uint32_t>(l > 0 ? l : 0), block_);
    }
    std::string name() const override { return api_ == RtAudio::LINUX_PULSE ? "PulseAudio" : "ALSA"; }

private:
    static int on_audio(void* output, void*, unsigned int n, double, RtAudioStreamStatus status, void* arg) {
        auto* d = static_cast<RtDevice*>(arg);
        if (d->probe_.enter) d->probe_.enter();
        auto* L = static_cast<float*>(output);
        float* R = L + n;  // non-interleaved: the right channel follows the left
        if (status & RTAUDIO_OUTPUT_UNDERFLOW) {
            if (d->live_) d->live_->xruns.fetch_add(1, std::memory_order_relaxed);
        }
        if (d->live_) {
            d->live_->process(n, L, R, nullptr, 0);
        } else {
            std::fill(L, L + 2 * n, 0.0f);
        }
        if (d->probe_.leave) d->probe_.leave();
        return 0;
    }

    RtAudio rt_;
    RtAudio::Api api_;
    DeviceOptions opts_;
    RtProbe probe_;
    Live* live_ = nullptr;
    unsigned int block_ = 256;
    unsigned int rate_ = 0;
};

std::unique_ptr<Device> open_rt(RtAudio::Api api, const DeviceOptions& o, const RtProbe& probe, std::string* err) {
    try {
        auto d = std::make_unique<RtDevice>(api, o, probe);
        if (!d->open(err)) return nullptr;
        return d;
    } catch (const RtAudioError& e) {
        *err = e.getMessage();
    } catch (...) {
        *err = "Audio-System nicht verfügbar";
    }
    return nullptr;
}

bool compiled(RtAudio::Api api) {
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

}  // namespace

std::unique_ptr<Device> open_device(const DeviceOptions& o, const RtProbe& probe, std::string* err) {
    std::string why;
    std::string all;
    auto note = [&](const std::string& what) { all += (all.empty() ? "" : "; ") + what; };
    if (o.api == "jack" || o.api == "auto") {
        if (auto d = open_jack(o, probe, &why)) return d;
        note("JACK: " + why);
    }
    if ((o.api == "pulse" || o.api == "auto") && compiled(RtAudio::LINUX_PULSE)) {
        if (auto d = open_rt(RtAudio::LINUX_PULSE, o, probe, &why)) return d;
        note(why);
    }
    if ((o.api == "alsa" || o.api == "auto") && compiled(RtAudio::LINUX_ALSA)) {
        if (auto d = open_rt(RtAudio::LINUX_ALSA, o, probe, &why)) return d;
        note(why);
    }
    *err = all.empty() ? "kein Audio-System verfügbar" : all;
    return nullptr;
}

// ---- ALSA sequencer MIDI --------------------------------------------------------------

struct AlsaMidi::Impl {
    std::vector<std::unique_ptr<RtMidiIn>> ins;
    std::vector<std::string> names;
    bool broken = false;
};

AlsaMidi::AlsaMidi() : impl_(std::make_unique<Impl>()) {}
AlsaMidi::~AlsaMidi() {
    for (auto& in : impl_->ins) {
        try {
            in->cancelCallback();
            in->closePort();
        } catch (...) {
        }
    }
}

namespace {
void on_midi(double, std::vector<unsigned char>* msg, void* arg) {
    if (!msg || msg->empty()) return;
    static_cast<Live*>(arg)->queue().push(msg->data(), msg->size(), steady_seconds());
}
void quiet(RtMidiError::Type, const std::string&, void*) {}
}  // namespace

bool AlsaMidi::scan(Live& live, const std::string& filter, std::string* err) {
    if (impl_->broken) return false;
    // Without the sequencer device alsa-lib and RtMidi would each print their
    // own complaint; one clear line is enough.
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
        impl_->broken = true;
        *err = "/dev/snd/seq fehlt oder ist nicht zugänglich";
        return false;
    }
    try {
        RtMidiIn probe(RtMidi::LINUX_ALSA, "brisanto");
        probe.setErrorCallback(quiet, nullptr);
        const unsigned n = probe.getPortCount();
        std::vector<std::string> present;
        for (unsigned i = 0; i < n; ++i) present.push_back(probe.getPortName(i));
        // A port that went away (a keyboard unplugged) is let go, so that it
        // is taken again when it comes back.
        for (size_t k = impl_->names.size(); k-- > 0;) {
            if (std::find(present.begin(), present.end(), impl_->names[k]) != present.end()) continue;
            try {
                impl_->ins[k]->cancelCallback();
                impl_->ins[k]->closePort();
            } catch (...) {
            }
            impl_->ins.erase(impl_->ins.begin() + long(k));
            impl_->names.erase(impl_->names.begin() + long(k));
        }
        for (unsigned i = 0; i < n; ++i) {
            const std::string& name = present[i];
            if (name.empty() || name.find("brisanto") != std::string::npos) continue;  // our own ports
            if (std::find(impl_->names.begin(), impl_->names.end(), name) != impl_->names.end()) continue;
            if (!filter.empty() && name.find(filter) == std::string::npos) continue;
            auto in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, "brisanto", 1024);
            in->setErrorCallback(quiet, nullptr);
            in->ignoreTypes(true, false, true);  // sysex and active sensing out, clock in
            in->setCallback(on_midi, &live);
            in->openPort(i, "midi_ein");
            impl_->ins.push_back(std::move(in));
            impl_->names.push_back(name);
        }
        return true;
    } catch (const RtMidiError& e) {
        impl_->broken = true;
        *err = e.getMessage();
    } catch (...) {
        impl_->broken = true;
        *err = "ALSA-Sequencer nicht erreichbar";
    }
    return false;
}

std::vector<std::string> AlsaMidi::ports() const { return impl_->names; }

}  // namespace brs::app
