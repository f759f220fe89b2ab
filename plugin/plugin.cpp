#include "plugin.h"

#include <cpuid.h>

#include "../convert/bitgrade_noopt.h"
#include "../convert/bitgrade_sse2.h"
#include "../convert/bitgrade_sse41.h"
#include "messages.h"

namespace bitgrade {

namespace {

// CPUID leaf 1 feature bits.
const unsigned kEdxSse2 = 1u << 26;
const unsigned kEcxSse3 = 1u << 0;
const unsigned kEcxSse41 = 1u << 19;

}  // namespace

int DetectSseLevel() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    if (!(edx & kEdxSse2)) return 1;
    const unsigned vector = kEcxSse3 | kEcxSse41;
    return (ecx & vector) == vector ? 3 : 2;
}

int ChosenLevel(int sseopt, int processorLevel) { return sseopt == 0 ? processorLevel : sseopt; }

AVSValue CreateBitgradeOn(const AVSValue& args, IScriptEnvironment* env, int processorLevel, int* createdLevel) {
    PClip clip = args[0].AsClip();
    if (!clip || !clip->GetVideoInfo().IsYV12()) env->ThrowError(BITGRADE_MSG_NOT_YV12);

    const int level = ChosenLevel(args[1].AsInt(0), processorLevel);
    const int span = args[2].AsInt(3);
    const int ythr = args[3].AsInt(1);
    const int cthr = args[4].AsInt(1);
    const bool debug = args[5].AsBool(false);

    if (level < 1 || level > 3) env->ThrowError(BITGRADE_MSG_BAD_SSEOPT);
    // Asked for by number, a level the processor cannot run would end in an
    // illegal instruction at the first frame.
    if (level > processorLevel) env->ThrowError(level == 2 ? BITGRADE_MSG_NO_SSE2 : BITGRADE_MSG_NO_SSE41);
    IClip* filter = level == 1   ? (IClip*)new BitgradeNoopt(clip, env, span, ythr, cthr, debug)
                    : level == 2 ? (IClip*)new BitgradeSSE2(clip, env, span, ythr, cthr, debug)
                                 : (IClip*)new BitgradeSSE41(clip, env, span, ythr, cthr, debug);
    if (createdLevel) *createdLevel = level;
    return AVSValue(filter);
}

AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void*, IScriptEnvironment* env) {
    return CreateBitgradeOn(args, env, DetectSseLevel());
}

}  // namespace bitgrade
