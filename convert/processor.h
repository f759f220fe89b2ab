// What this processor runs: the one place that reads CPUID for the core.
#pragma once

namespace bitgrade {

// The instruction sets the vector converter's kernels come in.
enum class VectorIsa { kSse41, kAvx2 };

// Converter levels up to sseLevel (1 plain, 2 streaming, 3 vector), and the
// instruction set the vector converter's kernels use.
struct Processor {
    int sseLevel;
    VectorIsa vectorIsa;
};

// The highest converter level this processor runs, by CPUID leaf 1: 2 needs
// SSE2, 3 also SSE3 and SSE4.1.
int DetectSseLevel();

// The level and, with AVX2 and an operating system that saves its
// registers, the AVX2 kernels.
Processor DetectProcessor();

}  // namespace bitgrade
