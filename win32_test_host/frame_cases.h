// Frames and conversions that the native build and the Windows test host
// both run, so that the DLL's output can be compared with the native one's
// by checksum. Plain code: it builds against either host, without a C++
// standard library.
#pragma once

#include "native_host/host_side.h"

namespace frame_cases {

struct Case {
    int width, height, sseopt, span, ythr, cthr;
    bool debug;
};

// sseopt 0 is left out: what it picks depends on the processor.
const Case kCases[] = {
    {64, 48, 1, 3, 1, 1, false}, {64, 48, 2, 3, 1, 1, false}, {64, 48, 3, 3, 1, 1, false},
    {80, 36, 3, 6, 4, 2, false}, {48, 40, 2, 0, 0, 5, false}, {96, 64, 3, 9, 12, 12, false},
    {64, 48, 1, 3, 1, 1, true},  {64, 48, 3, 2, 0, 9, true},  {720, 32, 3, 3, 1, 1, false},
};
const int kCaseCount = sizeof kCases / sizeof kCases[0];

// A banded gradient with a hard-edged block and some grain, the same on
// every platform.
inline BYTE Sample(int x, int y, int plane, int width) {
    unsigned noise = (unsigned)(x * 73856093) ^ (unsigned)(y * 19349663) ^ (unsigned)(plane * 83492791);
    noise = (noise ^ (noise >> 13)) * 1274126177u;
    const bool block = x > width / 3 && x < width / 2 && y > 6 && y < 20;
    if (block) return (BYTE)(200 + plane);
    return (BYTE)(50 + plane * 20 + (x * 16 + y * 5) / (width + 40) + ((noise >> 29) == 0));
}

// A source clip whose frames come from Sample.
class GeneratedClip : public IClip {
public:
    explicit GeneratedClip(const VideoInfo& info, bool* destroyed = nullptr) : vi(info), destroyed(destroyed) {}
    ~GeneratedClip() override {
        if (destroyed) *destroyed = true;
    }
    PVideoFrame HOST_STDCALL GetFrame(int, IScriptEnvironment* env) override {
        PVideoFrame frame = env->NewVideoFrame(vi, 16);
        const int planes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
        for (int p = 0; p < 3; ++p) {
            const int w = p ? vi.width / 2 : vi.width, h = frame->GetHeight(planes[p]);
            BYTE* row = frame->GetWritePtr(planes[p]);
            for (int y = 0; y < h; ++y, row += frame->GetPitch(planes[p]))
                for (int x = 0; x < w; ++x) row[x] = Sample(x, y, p, w);
        }
        return frame;
    }
    bool HOST_STDCALL GetParity(int) override { return false; }
    void HOST_STDCALL GetAudio(void*, long long, long long, IScriptEnvironment*) override {}
    void HOST_STDCALL SetCacheHints(int, int) override {}
    const VideoInfo& HOST_STDCALL GetVideoInfo() override { return vi; }
    long References() const { return refcnt; }

private:
    VideoInfo vi;
    bool* destroyed;
};

// FNV-1a over the visible bytes of three planes (chroma: half the row
// bytes and rows).
inline unsigned long long HashPlanes(const BYTE* const planes[3], const int pitches[3], int rowBytes, int height) {
    unsigned long long hash = 14695981039346656037ull;
    for (int p = 0; p < 3; ++p) {
        const int bytes = p ? rowBytes / 2 : rowBytes, rows = p ? height / 2 : height;
        const BYTE* row = planes[p];
        for (int y = 0; y < rows; ++y, row += pitches[p])
            for (int x = 0; x < bytes; ++x) hash = (hash ^ row[x]) * 1099511628211ull;
    }
    return hash;
}

inline unsigned long long HashFrame(const PVideoFrame& frame, int rowBytes, int height) {
    const BYTE* const planes[3] = {frame->GetReadPtr(PLANAR_Y), frame->GetReadPtr(PLANAR_U),
                                   frame->GetReadPtr(PLANAR_V)};
    const int pitches[3] = {frame->GetPitch(PLANAR_Y), frame->GetPitch(PLANAR_U), frame->GetPitch(PLANAR_V)};
    return HashPlanes(planes, pitches, rowBytes, height);
}

// Bitgrade(clip, sseopt, span, ythr, cthr, debug) through the environment's
// Invoke, as a script would call it; the checksum of its frame 0.
inline unsigned long long ConvertCase(IScriptEnvironment* env, const Case& c) {
    const AVSValue args[6] = {AVSValue(new GeneratedClip(host_side::PlanarVideoInfo(c.width, c.height))),
                              AVSValue(c.sseopt),
                              AVSValue(c.span),
                              AVSValue(c.ythr),
                              AVSValue(c.cthr),
                              AVSValue(c.debug)};
    const PClip filter = env->Invoke("Bitgrade", AVSValue(args, 6)).AsClip();
    const PVideoFrame frame = filter->GetFrame(0, env);
    return HashFrame(frame, filter->GetVideoInfo().width, c.height);
}

}  // namespace frame_cases
