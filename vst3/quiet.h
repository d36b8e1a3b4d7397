// quiet.h: forced into the adapter's VST3 unit only (vst3/CMakeLists.txt).
// The adapter writes its bus counts to standard error whenever an instance
// sets up its buses; a plug-in inside a host writes nothing, so that unit's
// standard error is a sink of ours (vst3/quiet.cpp).
#pragma once

#include <cstdio>

extern "C" FILE* brs_vst3_sink(void);

#undef stderr
#define stderr (brs_vst3_sink())
