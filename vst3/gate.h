// gate.h: what the VST3 build tells the shared plug-in objects about the
// adapter that hosts them there (vst3/gate.cpp). Plain C types only: the
// shell is compiled against our own CLAP declarations, the gate against the
// adapter's.
#pragma once

extern "C" {

typedef struct brs_vst3_gate {
    // 1 when the adapter behind this host record can hand a notice (values
    // changed, tail changed) to the VST3 host's component handler now, 0 when
    // the VST3 host has set none. [main thread]
    int (*can_notify)(const void* host);
    // Has the adapter re-read the plug-in's parameter values into the copies
    // the VST3 host reads, without a notice to the host. [main thread]
    void (*refresh_values)(const void* host);
    // The plain value of the adapter's copy of parameter id: what the VST3
    // host last set on the controller, or what the adapter last read from the
    // plug-in. 0 for ids the adapter does not know. [main thread]
    int (*host_value)(const void* host, unsigned id, double* plain);
} brs_vst3_gate_t;

// Defined by the VST3 build only; its address is null in brisanto.clap.
extern const brs_vst3_gate_t brs_vst3_gate __attribute__((weak, visibility("hidden")));
}
