// gate.cpp: the VST3 build's answers about the adapter that hosts the
// plug-in (vst3/gate.h). The adapter hands some of the plug-in's notices to
// the VST3 host's component handler without checking that the host set one
// (a host may restore a state before it sets the handler, or after it has set
// it back to null); the shell asks here first.
//
// Compiled against the adapter's own declarations of the pinned release
// (vst3/CMakeLists.txt); the two members read here are not public there.
#include "wrapasvst3.h"
#include "detail/vst3/parameter.h"

#include "vst3/gate.h"

namespace {

// The adapter keeps its VST3 side in a private member of the CLAP proxy that
// the host record's host_data points to. An explicit instantiation may name a
// private member; the friend defined by it hands the member's address out.
struct ParentHost {
    using type = Clap::IHost* Clap::Plugin::*;
    friend type member(ParentHost);
};
template <class Tag, typename Tag::type M>
struct Expose {
    friend typename Tag::type member(Tag) { return M; }
};
template struct Expose<ParentHost, &Clap::Plugin::_parentHost>;

// The proxy's own main-thread callback request: a host record that carries it
// is one of the proxy's (the library also answers CLAP hosts, whose records
// are their own).
struct RequestCallback {
    using type = void (*)(const clap_host*);
    friend type member(RequestCallback);
};
template struct Expose<RequestCallback, &Clap::Plugin::clapRequestCallback>;

// The component handler of an edit controller, a protected member.
struct HandlerOf : Steinberg::Vst::EditController {
    static bool set(const Steinberg::Vst::EditController& c) { return c.*(&HandlerOf::componentHandler) != nullptr; }
};

Clap::Plugin* proxy(const void* host) {
    auto* h = static_cast<const clap_host_t*>(host);
    if (!h || !h->host_data || h->request_callback != member(RequestCallback{})) return nullptr;
    return static_cast<Clap::Plugin*>(h->host_data);
}

ClapAsVst3* adapter(const void* host) {
    Clap::Plugin* pr = proxy(host);
    return pr ? dynamic_cast<ClapAsVst3*>(pr->*member(ParentHost{})) : nullptr;
}

// [main thread]
int can_notify(const void* host) {
    ClapAsVst3* a = adapter(host);
    return a && HandlerOf::set(*a) ? 1 : 0;
}

// [main thread] the value half of the adapter's own rescan, with the same
// conversion, for every parameter of the plug-in's (none of its MIDI ones)
void refresh_values(const void* host) {
    ClapAsVst3* a = adapter(host);
    Clap::Plugin* pr = proxy(host);
    if (!a || !pr->_plugin || !pr->_ext._params) return;
    const Steinberg::int32 n = a->getParameterCount();
    for (Steinberg::int32 i = 0; i < n; ++i) {
        Steinberg::Vst::ParameterInfo info{};
        if (a->getParameterInfo(i, info) != Steinberg::kResultOk) continue;
        auto* par = static_cast<Vst3Parameter*>(a->getParameterObject(info.id));
        if (!par || par->isMidi) continue;
        double v = 0.0;
        if (pr->_ext._params->get_value(pr->_plugin, par->id, &v)) par->setNormalized(par->asVst3Value(v));
    }
}

// [main thread] with the adapter's own conversion of normalised values
int host_value(const void* host, unsigned id, double* plain) {
    ClapAsVst3* a = adapter(host);
    auto* par = a ? static_cast<Vst3Parameter*>(a->getParameterObject(id)) : nullptr;
    if (!par || par->isMidi) return 0;
    *plain = par->asClapValue(par->getNormalized());
    return 1;
}

}  // namespace

extern "C" const brs_vst3_gate_t brs_vst3_gate = {can_notify, refresh_values, host_value};
