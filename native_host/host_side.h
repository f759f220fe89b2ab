// What our own test hosts (the native one and the Windows ones) do alike:
// describe a planar 4:2:0 clip and lay out its frames as the frame server
// does. The plugin itself never uses this.
#pragma once

#include "convert/runtime.h"
#include "host/host_interface.h"

namespace host_side {

inline VideoInfo PlanarVideoInfo(int width, int height, int pixelType = VideoInfo::CS_YV12, int numFrames = 1) {
    VideoInfo vi;
    bitgrade::FillBytes(&vi, 0, sizeof vi);
    vi.width = width;
    vi.height = height;
    vi.fps_numerator = 25;
    vi.fps_denominator = 1;
    vi.num_frames = numFrames;
    vi.pixel_type = pixelType;
    return vi;
}

// Bytes of a frame: the luma plane, then two chroma planes of half height.
inline size_t PlanarFrameBytes(int height, int pitch, int pitchUV) {
    return (size_t)pitch * height + 2 * (size_t)pitchUV * (height / 2);
}

// Points `frame` at `buffer` with the planes one after another, and gives
// the buffer its first reference (the frame's comes from PVideoFrame).
inline void LayOutPlanarFrame(VideoFrame& frame, VideoFrameBuffer& buffer, int width, int height, int pitch,
                              int pitchUV) {
    frame.vfb = &buffer;
    frame.offset = 0;
    frame.pitch = pitch;
    frame.row_size = width;
    frame.height = height;
    frame.pitchUV = pitchUV;
    frame.offsetU = pitch * height;
    frame.offsetV = frame.offsetU + pitchUV * (height / 2);
    buffer.refcount = 1;
}

// The host's MakeWritable: a frame that someone else also holds is replaced
// by a copy of the same layout from newFrame(width, height, pitch, pitchUV).
template <class NewFrame>
bool MakeWritableCopy(PVideoFrame* pvf, NewFrame newFrame) {
    if ((*pvf)->IsWritable()) return false;
    const VideoFrame& old = *pvf->get();
    PVideoFrame copy = newFrame(old.row_size, old.height, old.pitch, old.pitchUV);
    bitgrade::CopyBytes(copy->vfb->data, old.vfb->data, (size_t)old.vfb->data_size);
    *pvf = copy;
    return true;
}

}  // namespace host_side
