// transport.cpp: asking the host to start or stop its transport.
#include "plugin/shell.h"

namespace brs::plug {

bool request_host_transport(Plug& p, bool start) {
    if (!p.host || !p.host->get_extension) return false;
    const auto* tc = static_cast<const clap_host_transport_control_t*>(
        p.host->get_extension(p.host, CLAP_EXT_TRANSPORT_CONTROL));
    if (!tc) return false;
    void (*call)(const clap_host_t*) = start ? tc->request_start : tc->request_stop;
    if (!call) return false;
    call(p.host);
    return true;
}

}  // namespace brs::plug
