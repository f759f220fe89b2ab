#include "plugin.h"

#include <cpuid.h>

#include "../convert/bitgrade_noopt.h"
#include "../convert/bitgrade_sse2.h"
#include "../convert/bitgrade_sse41.h"
#include "messages.h"

namespace bitgrade {

namespace {

// CPUID feature bits: leaf 1 EDX and ECX, leaf 7 EBX; XCR0 state bits.
const unsigned kEdxSse2 = 1u << 26;
const unsigned kEcxSse3 = 1u << 0;
const unsigned kEcxSse41 = 1u << 19;
const unsigned kEcxOsxsave = 1u << 27;
const unsigned kEcxAvx = 1u << 28;
const unsigned kLeaf7EbxAvx2 = 1u << 5;
const unsigned kXcr0SseAndAvxState = (1u << 1) | (1u << 2);

// Whether the processor has AVX2 and the operating system saves the YMM
// registers across context switches.
bool HasAvx2() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    if ((ecx & (kEcxOsxsave | kEcxAvx)) != (kEcxOsxsave | kEcxAvx)) return false;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & kXcr0SseAndAvxState) != kXcr0SseAndAvxState) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & kLeaf7EbxAvx2) != 0;
}

}  // namespace

int DetectSseLevel() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    if (!(edx & kEdxSse2)) return 1;
    const unsigned vector = kEcxSse3 | kEcxSse41;
    return (ecx & vector) == vector ? 3 : 2;
}

Processor DetectProcessor() {
    const int sseLevel = DetectSseLevel();
    return Processor{sseLevel, sseLevel == 3 && HasAvx2() ? VectorIsa::kAvx2 : VectorIsa::kSse41};
}

int ChosenLevel(int sseopt, int processorLevel) { return sseopt == 0 ? processorLevel : sseopt; }

AVSValue CreateBitgradeOn(const AVSValue& args, IScriptEnvironment* env, const Processor& processor,
                          int* createdLevel) {
    const int processorLevel = processor.sseLevel;
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
                                 : (IClip*)new BitgradeSSE41(clip, env, span, ythr, cthr, debug, processor.vectorIsa);
    if (createdLevel) *createdLevel = level;
    return AVSValue(filter);
}

AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void*, IScriptEnvironment* env) {
    return CreateBitgradeOn(args, env, DetectProcessor());
}

}  // namespace bitgrade
