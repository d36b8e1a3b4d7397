// device.h: the sound devices and MIDI inputs the standalone program plays
// through. JACK is driven through libjack itself (ports named by us, MIDI at
// its frame in the same callback, the server's xrun report); ALSA and
// PulseAudio (or PipeWire's Pulse server) through RtAudio; MIDI from the ALSA
// sequencer through RtMidi.
//
// Threads: open/start/stop/connect on the main thread; the device's own
// thread calls Live::process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "standalone/live.h"

namespace brs::app {

// Called around each audio callback; a test's counting library fills these in
// (see rt_probe), otherwise they do nothing.
struct RtProbe {
    void (*enter)() = nullptr;
    void (*leave)() = nullptr;
};
// Looks the probe's functions up in the running process. [main thread]
RtProbe find_rt_probe();

struct DeviceOptions {
    std::string api = "auto";   // auto, jack, pulse, alsa
    uint32_t rate = 48000;      // ignored by JACK, whose server sets the rate
    uint32_t block = 256;       // frames per callback (JACK: the server's)
    bool connect = true;        // JACK: connect the outputs to the system playback ports
    std::string clientName = "brisanto";
};

class Device {
public:
    virtual ~Device() = default;
    // Starts calling live.process on the device's thread. False with a
    // German reason when the device does not run. [main thread]
    virtual bool start(Live& live, std::string* err) = 0;
    // Stops the callbacks; none runs after it returns. [main thread]
    virtual void stop() = 0;
    virtual uint32_t rate() const = 0;
    virtual uint32_t block() const = 0;
    // Output latency in frames as the device reports it (buffer plus
    // whatever the device adds).
    virtual uint32_t latencyFrames() const = 0;
    // "JACK", "ALSA", "PulseAudio".
    virtual std::string name() const = 0;
    // True once the device went away for good (the JACK server ended).
    virtual bool lost() const { return false; }
    // Connects MIDI sources that appeared since the last call (JACK only).
    // [main thread]
    virtual void connectMidi(const std::string& filter) { (void)filter; }
};

// Opens the device chosen by opts.api (auto: a running JACK server, else
// PulseAudio, else ALSA). Null with a German reason in *err when none opens.
// [main thread]
std::unique_ptr<Device> open_device(const DeviceOptions& opts, const RtProbe& probe, std::string* err);

// MIDI from the ALSA sequencer: one input per readable port (or the ports
// whose name contains filter), each feeding live's queue.
class AlsaMidi {
public:
    AlsaMidi();
    ~AlsaMidi();
    // Opens the ports not opened yet. False with a reason when the sequencer
    // cannot be reached at all. [main thread]
    bool scan(Live& live, const std::string& filter, std::string* err);
    // Names of the ports opened so far.
    std::vector<std::string> ports() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brs::app
