#include "plugin.h"

#include <cpuid.h>

#include "../convert/bitgrade_noopt.h"
#include "../convert/bitgrade_sse2.h"
#include "../convert/bitgrade_sse41.h"
#include "frame_pipeline.h"

namespace bitgrade {

int DetectSseLevel() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    if (!(edx & (1u << 26))) return 1;
    return (ecx & 0x80001u) == 0x80001u ? 3 : 2;
}

AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void*, IScriptEnvironment* env) {
    PClip clip = args[0].AsClip();
    if (!clip || !clip->GetVideoInfo().IsYV12()) env->ThrowError(BITGRADE_MSG_NOT_YV12);

    int sseopt = args[1].AsInt(0);
    const int span = args[2].AsInt(3);
    const int ythr = args[3].AsInt(1);
    const int cthr = args[4].AsInt(1);
    const bool debug = args[5].AsBool(false);
    if (sseopt == 0) sseopt = DetectSseLevel();

    if (sseopt < 1 || sseopt > 3) env->ThrowError(BITGRADE_MSG_BAD_SSEOPT);
    IClip* filter = sseopt == 1   ? (IClip*)new BitgradeNoopt(clip, env, span, ythr, cthr, debug)
                    : sseopt == 2 ? (IClip*)new BitgradeSSE2(clip, env, span, ythr, cthr, debug)
                                  : (IClip*)new BitgradeSSE41(clip, env, span, ythr, cthr, debug);
    return AVSValue(filter);
}

}  // namespace bitgrade

const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction(BITGRADE_FUNCTION, BITGRADE_PARAMS, bitgrade::CreateBitgrade, nullptr);
    return BITGRADE_VERSION;
}
