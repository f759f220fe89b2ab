// Level 1, the plain converter (class BitgradeNoopt, no vector code): the
// reference that every other level is held against.
#pragma once

#include "plane_common.h"

namespace bitgrade {

class BitgradeNoopt : public GenericVideoFilter {
public:
    BitgradeNoopt(PClip child, IScriptEnvironment* env, int span, int ythr, int cthr, bool debug);
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
