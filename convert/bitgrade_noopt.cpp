// Level 1, the plain converter: every window summed directly.
#include "bitgrade_noopt.h"

#include "../plugin/frame_pipeline.h"

namespace bitgrade {

namespace {

// Rows of one plane, each `width` samples long. The working row length may
// exceed the source pitch (the destination pitch decides it); columns past
// the end of a source row repeat its last readable sample, so nothing outside
// the source plane is ever read.
struct SourcePlane {
    const uint8_t* data;
    int pitch;
    int readable;

    uint8_t At(int row, int column) const {
        return data[(size_t)row * pitch + (column < readable ? column : readable - 1)];
    }
};

// Net count of higher minus lower neighbours, or kFar if any neighbour
// differs by two levels or more.
const int kFar = 100;

int NetNeighbourCount(const SourcePlane& s, int i, int j) {
    const int centre = s.At(i, j);
    int net = 0;
    bool far = false;
    for (int y = i - 1; y <= i + 1; ++y) {
        for (int x = j - 1; x <= j + 1; ++x) {
            const int d = centre - s.At(y, x);
            if (d == -1) ++net;
            else if (d == 1) --net;
            else if (d != 0) far = true;
        }
    }
    return far ? kFar : net;
}

// The stored mean never strays more than one from the truncated quotient.
// The report's text is the filter's own; in it DST(j, i) is `stored`, the
// value written for pixel (i, j), and a is `sum`, its window's sum.
void CheckMean(uint16_t stored, uint64_t sum, uint64_t area) {
    const uint64_t quotient = sum / area;
    const uint64_t gap = stored > quotient ? stored - quotient : quotient - stored;
    if (gap > 1) ReportCheckFailure("abs((int)DST(j, i) - (int)a / area) <= 1", __FILE__, __LINE__);
}

}  // namespace

BitgradeNoopt::BitgradeNoopt(PClip child, IScriptEnvironment*, int span, int ythr, int cthr, bool debug)
    : GenericVideoFilter(child), capacity(0), span(span), ythr(ythr), cthr(cthr), debug(debug) {
    vi = OutputVideoInfo(vi, debug);
}

PVideoFrame BitgradeNoopt::GetFrame(int n, IScriptEnvironment* env) {
    return RunFramePipeline(*this, child, vi, n, env);
}

bool BitgradeNoopt::ConvertFrame(const PVideoFrame& src, const PVideoFrame& dst) {
    return ConvertPlanes(*this, src, dst, debug);
}

bool BitgradeNoopt::ProcessPlane(const PVideoFrame& src, const PVideoFrame& dst, int plane) {
    const int H = src->GetHeight(plane);
    const int dstPitch = dst->GetPitch(plane);
    const int W = debug ? dstPitch : dstPitch / 2;
    if (H <= 0 || W <= 0) return true;
    const SourcePlane source = {src->GetReadPtr(plane), src->GetPitch(plane),
                                src->GetPitch(plane) < W ? src->GetPitch(plane) : W};

    const uint64_t N = (uint64_t)H * (uint64_t)W;
    ScratchLayout layout;
    const uint64_t fracAt = layout.Add(N, 1), edgeAt = layout.Add(N, 1);
    const uint64_t workAt = layout.Add(N, 2), debugAt = layout.Add(N, 1);
    if (!ReservePlane(scratch, capacity, N, layout.Total())) return false;
    int8_t* fracMap = Carve<int8_t>(scratch, fracAt);
    uint8_t* edgeMask = Carve<uint8_t>(scratch, edgeAt);
    uint16_t* workPlane = Carve<uint16_t>(scratch, workAt);
    uint8_t* debugMap = Carve<uint8_t>(scratch, debugAt);

    // Every sample starts as a border pixel: no fraction, an edge.
    FillBytes(fracMap, 0, (size_t)N);
    FillBytes(edgeMask, kEdgeMark, (size_t)N);

    // Classification reads only the source, so no pixel influences another.
    for (int i = 1; i + 1 < H; ++i) {
        for (int j = 1; j + 1 < W; ++j) {
            const int net = NetNeighbourCount(source, i, j);
            if (net == kFar) continue;
            fracMap[(size_t)i * W + j] = (int8_t)Fraction(net);
            edgeMask[(size_t)i * W + j] = 0;
        }
    }

    // Unsmoothed values, then windows over the unsmoothed values.
    for (int i = 0; i < H; ++i) {
        for (int j = 0; j < W; ++j) {
            const size_t at = (size_t)i * W + j;
            workPlane[at] = (uint16_t)(source.At(i, j) * 256 + fracMap[at]);
            debugMap[at] = edgeMask[at] | kFlatMark;
        }
    }

    const uint32_t r = PlaneRadius(span, plane);
    const uint32_t threshold = (uint32_t)(plane == PLANAR_Y ? ythr : cthr);
    if (WindowFits(r, H, W)) {
        const BoxMean mean(r);
        const int R = (int)r;
        for (int i = R; i < H - R; ++i) {
            for (int j = R; j < W - R; ++j) {
                uint64_t sum = 0, busy = 0;
                for (int y = i - R; y <= i + R; ++y) {
                    for (int x = j - R; x <= j + R; ++x) {
                        const size_t at = (size_t)y * W + x;
                        sum += (uint64_t)(source.At(y, x) * 256 + fracMap[at]);
                        busy += edgeMask[at] != 0;
                    }
                }
                if (busy > threshold) continue;
                const size_t at = (size_t)i * W + j;
                workPlane[at] = mean(sum);
                CheckMean(workPlane[at], sum, mean.area);
                debugMap[at] = 0;
            }
        }
    }

    // W entries fill one destination row, its padding included.
    BYTE* out = dst->GetWritePtr(plane);
    const size_t rowBytes = debug ? (size_t)W : (size_t)W * 2;
    for (int i = 0; i < H; ++i) {
        const void* row = debug ? (const void*)(debugMap + (size_t)i * W) : (const void*)(workPlane + (size_t)i * W);
        CopyBytes(out + (size_t)i * dstPitch, row, rowBytes);
    }
    return true;
}

}  // namespace bitgrade
