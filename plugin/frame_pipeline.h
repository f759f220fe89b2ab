// What the three filter classes share: their output description and the
// per-frame pipeline around their own ProcessPlane.
#pragma once

#include "../host/host_interface.h"
#include "messages.h"

namespace bitgrade {

// 16-bit samples take two bytes each, so the declared width doubles; the
// debug map keeps one byte per sample.
inline VideoInfo OutputVideoInfo(VideoInfo vi, bool debug) {
    if (!debug) vi.width *= 2;
    return vi;
}

// Converts every plane of src into dst with filter.ProcessPlane (debug: the
// map into luma, neutral grey chroma); false only when the filter's buffers
// cannot be allocated. Every host's frame path ends here.
template <class Filter>
bool ConvertPlanes(Filter& filter, const PVideoFrame& src, const PVideoFrame& dst, bool debug) {
    if (!filter.ProcessPlane(src, dst, PLANAR_Y)) return false;
    if (!debug) return filter.ProcessPlane(src, dst, PLANAR_U) && filter.ProcessPlane(src, dst, PLANAR_V);
    // The map has no chroma: neutral grey, padding included.
    const size_t bytes = (size_t)src->GetHeight(PLANAR_U) * (size_t)dst->GetPitch(PLANAR_U);
    FillBytes(dst->GetWritePtr(PLANAR_U), 128, bytes);
    FillBytes(dst->GetWritePtr(PLANAR_V), 128, bytes);
    return true;
}

// Frame n of `child`, converted by filter.ConvertFrame into a new frame.
template <class Filter>
PVideoFrame RunFramePipeline(Filter& filter, const PClip& child, const VideoInfo& vi, int n, IScriptEnvironment* env) {
    PVideoFrame src = child->GetFrame(n, env);
    PVideoFrame dst = env->NewVideoFrame(vi, 16);
    env->MakeWritable(&dst);
    if (!filter.ConvertFrame(src, dst)) env->ThrowError(BITGRADE_MSG_NO_MEMORY);
    return dst;
}

}  // namespace bitgrade
