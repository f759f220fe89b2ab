// The entry point of the frame server's version 2.5 C++ interface.
#include "plugin.h"

const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction(BITGRADE_FUNCTION, BITGRADE_PARAMS, bitgrade::CreateBitgrade, nullptr);
    return BITGRADE_VERSION;
}
