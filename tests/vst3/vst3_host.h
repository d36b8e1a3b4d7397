// vst3_host.h: a small VST3 host of our own, from the SDK's hosting classes,
// that drives brisanto.vst3 the way a DAW does: one module, instances with
// component and controller, activation, 32-bit process blocks with note
// events, parameter changes and a transport, component state, and an editor
// frame with a run loop whose timers the test fires.
#pragma once

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstevents.h"
#include "pluginterfaces/vst/ivstmidicontrollers.h"
#include "pluginterfaces/vst/ivstunits.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "public.sdk/source/common/memorystream.h"
#include "public.sdk/source/vst/hosting/eventlist.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"
#include "public.sdk/source/vst/hosting/module.h"
#include "public.sdk/source/vst/hosting/parameterchanges.h"
#include "public.sdk/source/vst/hosting/processdata.h"
#include "public.sdk/source/vst/utility/stringconvert.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace v3test {

using namespace Steinberg;
using namespace Steinberg::Vst;

constexpr double RATE = 48000.0;
constexpr int BLOCK = 256;

// One input of a block: a note-on (id = key, value = velocity) or a
// parameter change (id, value normalised the VST3 way).
struct Ev {
    enum Kind { Note, Param } kind;
    int offset;
    uint32_t id;
    double value;
};

// The module, loaded once per test process as a DAW loads it once.
inline VST3::Hosting::Module::Ptr& module() {
    static VST3::Hosting::Module::Ptr m;
    if (!m) {
        std::string err;
        m = VST3::Hosting::Module::create(BRS_VST3_PATH, err);
    }
    return m;
}

inline IPtr<HostApplication>& hostApp() {
    static IPtr<HostApplication> app = owned(new HostApplication());
    return app;
}

// The host side of the edit controller: edits and restart requests, recorded.
class Handler : public IComponentHandler {
public:
    tresult PLUGIN_API beginEdit(ParamID id) override {
        edits.push_back({'b', id, 0.0});
        return kResultOk;
    }
    tresult PLUGIN_API performEdit(ParamID id, ParamValue v) override {
        edits.push_back({'p', id, v});
        return kResultOk;
    }
    tresult PLUGIN_API endEdit(ParamID id) override {
        edits.push_back({'e', id, 0.0});
        return kResultOk;
    }
    tresult PLUGIN_API restartComponent(int32 flags) override {
        restarts.push_back(flags);
        return kResultOk;
    }
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IComponentHandler::iid)) {
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    // Lives as long as the instance that uses it.
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

    struct Edit {
        char kind;  // 'b' begin, 'p' perform, 'e' end
        ParamID id;
        ParamValue value;
    };
    std::vector<Edit> edits;
    std::vector<int32> restarts;
};

// When the host sets its component handler on the controller.
enum class HandlerAt {
    Initialize,  // right after initialize, as most DAWs do
    Never,       // the test sets it (or not) itself
    BeforeInit,  // before initialize
};

// One plug-in instance: component, processor and edit controller, with the
// component handler a DAW sets before anything else (unless told otherwise).
class Plug {
public:
    // The instrument class of that name: the stereo plug-in, or "brisanto Multi".
    explicit Plug(HandlerAt at = HandlerAt::Initialize, const char* className = "BRISANTO") {
        auto& m = module();
        if (!m) return;
        auto infos = m->getFactory().classInfos();
        for (auto& ci : infos)
            if (ci.category() == kVstAudioEffectClass && ci.name() == className) {
                component = m->getFactory().createInstance<IComponent>(ci.ID());
                break;
            }
        if (component && at == HandlerAt::BeforeInit) {
            if (auto early = FUnknownPtr<IEditController>(component)) early->setComponentHandler(&handler);
        }
        if (!component || component->initialize(hostApp()) != kResultOk) {
            component = nullptr;
            return;
        }
        processor = FUnknownPtr<IAudioProcessor>(component);
        controller = FUnknownPtr<IEditController>(component);
        if (!controller) {
            TUID cid;
            if (component->getControllerClassId(cid) == kResultTrue) {
                controller = m->getFactory().createInstance<IEditController>(VST3::UID::fromTUID(cid));
                if (controller && controller->initialize(hostApp()) == kResultOk) separate = true;
            }
        }
        if (controller && at == HandlerAt::Initialize) controller->setComponentHandler(&handler);
    }
    ~Plug() {
        stop();
        if (controller) controller->setComponentHandler(nullptr);
        if (controller && separate) controller->terminate();
        controller = nullptr;
        processor = nullptr;
        if (component) component->terminate();
    }
    Plug(const Plug&) = delete;
    Plug& operator=(const Plug&) = delete;

    bool ok() const { return component && processor && controller; }

    // setupProcessing, the buses a DAW switches on, active, processing.
    bool start(double sampleRate = RATE) {
        rate = sampleRate;
        ProcessSetup setup{kRealtime, kSample32, BLOCK, rate};
        if (processor->setupProcessing(setup) != kResultOk) return false;
        component->activateBus(kAudio, kOutput, 0, true);
        component->activateBus(kEvent, kInput, 0, true);
        if (component->setActive(true) != kResultOk) return false;
        active = true;
        data.prepare(*component, BLOCK, kSample32);
        processor->setProcessing(true);
        return true;
    }
    void stop() {
        if (!active) return;
        processor->setProcessing(false);
        component->setActive(false);
        data.unprepare();
        active = false;
    }

    // One block of n frames into left / right.
    tresult block(int n, const std::vector<Ev>& evs, bool playing, double tempo, float* left, float* right) {
        EventList events(64);
        ParameterChanges changes(64), out(64);
        for (const Ev& e : evs) {
            if (e.kind == Ev::Note) {
                Event v{};
                v.busIndex = 0;
                v.sampleOffset = e.offset;
                v.type = Event::kNoteOnEvent;
                v.noteOn.channel = 0;
                v.noteOn.pitch = static_cast<int16>(e.id);
                v.noteOn.velocity = static_cast<float>(e.value);
                v.noteOn.noteId = -1;
                events.addEvent(v);
            } else {
                int32 qi = 0, pi = 0;
                changes.addParameterData(e.id, qi)->addPoint(e.offset, e.value, pi);
                controller->setParamNormalized(e.id, e.value);
            }
        }
        ProcessContext ctx{};
        ctx.state = (playing ? ProcessContext::kPlaying : 0) | ProcessContext::kTempoValid;
        ctx.tempo = tempo;
        ctx.sampleRate = rate;
        ctx.projectTimeSamples = position;
        data.numSamples = n;
        data.inputEvents = &events;
        data.inputParameterChanges = &changes;
        data.outputParameterChanges = &out;
        data.processContext = &ctx;
        tresult r = processor->process(data);
        outChanges.clear();
        for (int32 i = 0; i < out.getParameterCount(); ++i) {
            IParamValueQueue* q = out.getParameterData(i);
            int32 off = 0;
            ParamValue v = 0;
            if (q && q->getPointCount() > 0 && q->getPoint(q->getPointCount() - 1, off, v) == kResultOk)
                outChanges[q->getParameterId()] = v;
        }
        std::copy_n(data.outputs[0].channelBuffers32[0], n, left);
        std::copy_n(data.outputs[0].channelBuffers32[1], n, right);
        data.inputEvents = nullptr;
        data.inputParameterChanges = nullptr;
        data.outputParameterChanges = nullptr;
        data.processContext = nullptr;
        position += n;
        return r;
    }

    // Channel c of output bus b as the last block left it.
    const float* out(int b, int c) const { return data.outputs[b].channelBuffers32[c]; }

    std::vector<uint8_t> state() {
        MemoryStream s;
        if (component->getState(&s) != kResultOk) return {};
        const auto* p = reinterpret_cast<const uint8_t*>(s.getData());
        return std::vector<uint8_t>(p, p + s.getSize());
    }
    // component->setState, then the controller's setComponentState as a DAW
    // does after a successful load; the component's answer.
    tresult setState(std::vector<uint8_t> bytes) {
        MemoryStream s(bytes.empty() ? nullptr : bytes.data(), static_cast<TSize>(bytes.size()));
        tresult r = component->setState(&s);
        if (r == kResultOk) {
            MemoryStream again(bytes.data(), static_cast<TSize>(bytes.size()));
            controller->setComponentState(&again);
        }
        return r;
    }

    Handler handler;
    // The last value of each parameter the last block reported to the host.
    std::map<ParamID, ParamValue> outChanges;
    IPtr<IComponent> component;
    IPtr<IAudioProcessor> processor;
    IPtr<IEditController> controller;
    bool separate = false;
    bool active = false;
    double rate = RATE;
    int64 position = 0;
    HostProcessData data;
};

inline std::string utf8(const TChar* s) {
    return Steinberg::Vst::StringConvert::convert(std::u16string(reinterpret_cast<const char16_t*>(s)));
}

// The editor's frame: resizes, and the Linux run loop whose timers the test
// fires (as a DAW's event loop would).
class Frame : public IPlugFrame, public Linux::IRunLoop {
public:
    tresult PLUGIN_API resizeView(IPlugView* view, ViewRect* r) override {
        ++resizes;
        return view->onSize(r);
    }
    tresult PLUGIN_API registerEventHandler(Linux::IEventHandler* h, Linux::FileDescriptor fd) override {
        handlers.push_back({h, fd});
        return kResultOk;
    }
    tresult PLUGIN_API unregisterEventHandler(Linux::IEventHandler* h) override {
        auto it = std::find_if(handlers.begin(), handlers.end(), [h](auto& e) { return e.first == h; });
        if (it == handlers.end()) return kInvalidArgument;
        handlers.erase(it);
        return kResultOk;
    }
    tresult PLUGIN_API registerTimer(Linux::ITimerHandler* h, Linux::TimerInterval) override {
        timers.push_back(h);
        return kResultOk;
    }
    tresult PLUGIN_API unregisterTimer(Linux::ITimerHandler* h) override {
        auto it = std::find_if(timers.begin(), timers.end(), [h](auto& t) { return t.get() == h; });
        if (it == timers.end()) return kInvalidArgument;
        timers.erase(it);
        return kResultOk;
    }
    // Fires every registered timer once (a handler may unregister others).
    int fire() {
        auto now = timers;
        for (auto& t : now) t->onTimer();
        return static_cast<int>(now.size());
    }

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IPlugFrame::iid)) {
            *obj = static_cast<IPlugFrame*>(this);
            return kResultOk;
        }
        if (FUnknownPrivate::iidEqual(iid, Linux::IRunLoop::iid)) {
            *obj = static_cast<Linux::IRunLoop*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    // Lives as long as the test that made it.
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

    int resizes = 0;
    std::vector<IPtr<Linux::ITimerHandler>> timers;
    std::vector<std::pair<Linux::IEventHandler*, Linux::FileDescriptor>> handlers;
};

}  // namespace v3test
