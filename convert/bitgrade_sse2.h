// Level 2, the streaming converter (class BitgradeSSE2, named for the SSE2
// row shift it uses; the rest is scalar). Rows are classified with the scalar
// neighbour-code kernel and smoothed by a vertical window over per-row
// horizontal sums, so each pixel costs the same whatever the radius.
#pragma once

#include "plane_common.h"

namespace bitgrade {

class BitgradeSSE2 : public GenericVideoFilter {
public:
    BitgradeSSE2(PClip child, IScriptEnvironment* env, int span, int ythr, int cthr, bool debug);
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
};

}  // namespace bitgrade
