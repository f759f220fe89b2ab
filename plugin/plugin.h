// The plugin's face to the host: the entry point and what it registers.
#pragma once

#include "../convert/vector_kernels.h"
#include "../host/host_interface.h"

#if defined(_WIN32)
#define BITGRADE_EXPORT extern "C" __declspec(dllexport)
#else
#define BITGRADE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define BITGRADE_VERSION "Bitgrade ver 0.1"
#define BITGRADE_FUNCTION "Bitgrade"
#define BITGRADE_PARAMS "c[sseopt]i[span]i[ythr]i[cthr]i[debug]b"

BITGRADE_EXPORT const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env);

namespace bitgrade {

// Turns one script call into one filter; raises the creation errors.
AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void* user_data, IScriptEnvironment* env);

// What the processor runs: converter levels up to sseLevel, and the
// instruction set the vector converter's kernels use.
struct Processor {
    int sseLevel;
    VectorIsa vectorIsa;
};
// The one place that reads CPUID for the converters.
Processor DetectProcessor();

// CreateBitgrade for the given processor; the level of the filter it made
// goes to *createdLevel when that is given.
AVSValue CreateBitgradeOn(const AVSValue& args, IScriptEnvironment* env, const Processor& processor,
                          int* createdLevel = nullptr);

// The highest converter level this processor runs, by CPUID leaf 1:
// 1 plain, 2 streaming (SSE2), 3 vector (SSE4.1, which also needs SSE3).
int DetectSseLevel();

// The converter level that `sseopt` asks for: 0 is the processor's own.
int ChosenLevel(int sseopt, int processorLevel);

}  // namespace bitgrade
