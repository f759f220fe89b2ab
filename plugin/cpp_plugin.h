// The filter for the frame server's version 2.5 C++ interface: its entry
// point and its creation function.
#pragma once

#include "../convert/processor.h"
#include "../host/host_interface.h"
#include "avisynth.h"

#if defined(_WIN32)
#define BITGRADE_EXPORT extern "C" __declspec(dllexport)
#else
#define BITGRADE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

BITGRADE_EXPORT const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env);

namespace bitgrade {

// Turns one script call into one filter; raises the creation errors.
AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void* user_data, IScriptEnvironment* env);

// CreateBitgrade for the given processor.
AVSValue CreateBitgradeOn(const AVSValue& args, IScriptEnvironment* env, const Processor& processor);

}  // namespace bitgrade
