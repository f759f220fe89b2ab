// Level 3, the vector converter (class BitgradeSSE41), the product's engine.
// It classifies each row from the source bytes sixteen or thirty-two pixels
// at a time, moves a vertical window over per-row horizontal sums and writes
// each smoothed row straight to the destination, keeping only a ring of
// rows. It needs SSE4.1 and a clip width that is a multiple of 16.
#pragma once

#include "vector_kernels.h"

namespace bitgrade {

class BitgradeSSE41 : public GenericVideoFilter {
public:
    // Raises the width error through env when the width is not a multiple of
    // 16. Its row kernels are those of `isa`, which the processor must run.
    BitgradeSSE41(PClip child, IScriptEnvironment* env, int span, int ythr, int cthr, bool debug,
                  VectorIsa isa = VectorIsa::kSse41);
    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
    // Every plane of src into dst; false when the buffers cannot be allocated.
    bool ConvertFrame(const PVideoFrame& src, const PVideoFrame& dst);

    // Converts one plane of src into the same plane of dst; false when the
    // buffers for it cannot be allocated.
    bool ProcessPlane(const PVideoFrame& src, const PVideoFrame& dst, int plane);

private:
    ScratchArena scratch;
    uint32_t capacity;
    int span, ythr, cthr;
    bool debug;
    const RowKernels* kernels;
};

}  // namespace bitgrade
