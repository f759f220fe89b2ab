// The filter for the frame server's version 2.5 C++ interface: its entry
// point and its creation function.
#pragma once

#include "../convert/processor.h"
#include "../host/host_interface.h"
#include "avisynth.h"
#include "export.h"

BITGRADE_EXPORT const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env);

namespace bitgrade {

// Turns one script call into one filter; raises the creation errors.
AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void* user_data, IScriptEnvironment* env);

// CreateBitgrade for the given processor.
AVSValue CreateBitgradeOn(const AVSValue& args, IScriptEnvironment* env, const Processor& processor);

}  // namespace bitgrade
