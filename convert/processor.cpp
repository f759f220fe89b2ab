#include "processor.h"

#include <cpuid.h>

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

}  // namespace bitgrade
