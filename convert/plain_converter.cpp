// Level 1, the plain converter: every window summed directly.
//
// Its rules, where the other levels differ:
// - The working row is the destination pitch in samples (half the pitch for
//   16-bit output, the pitch itself for the map), which is usually wider
//   than the plane: the columns past the width are read from the source
//   row's padding, classified, smoothed and written like the others, and the
//   row's last column, a border pixel, is the last of the pitch.
// - Thresholds are compared unsigned: a negative one is never exceeded, so
//   every pixel whose window fits the plane is smoothed.
// - A pixel with both a higher and a lower neighbour and no far one is flat,
//   with the fraction of its net count.
#include "plain_converter.h"

#include "plane_common.h"

namespace bitgrade {

namespace {

// Rows of one plane, each `width` samples long, of bytes or 16-bit words.
// The working row length may exceed the source pitch (the destination pitch
// decides it); columns past the end of a source row repeat its last readable
// sample, so nothing outside the source plane is ever read.
struct SourcePlane {
    const uint8_t* data;
    int pitch;     // bytes
    int readable;  // samples
    int bytes;     // a sample's

    uint32_t At(int row, int column) const {
        const uint8_t* at = data + (size_t)row * pitch + (size_t)(column < readable ? column : readable - 1) * bytes;
        return bytes == 1 ? *at : (uint32_t)(at[0] | at[1] << 8);
    }
};

// Net count of higher minus lower neighbours, or kFar if any neighbour is
// far.
const int kFar = 100;

int NetNeighbourCount(const SourcePlane& s, const Levels& levels, int i, int j) {
    const int64_t centre = s.At(i, j);
    int net = 0;
    bool far = false;
    for (int y = i - 1; y <= i + 1; ++y) {
        for (int x = j - 1; x <= j + 1; ++x) {
            const int64_t d = (int64_t)s.At(y, x) - centre;
            const uint64_t size = (uint64_t)(d < 0 ? -d : d);
            if (size < levels.equal) continue;
            if (size >= levels.near) far = true;
            else net += d > 0 ? 1 : -1;
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

bool ConvertPlainPlane(const Plane& plane, const Settings& settings, Scratch& scratch) {
    const bool debug = settings.debug;
    const int H = plane.height;
    const int W = debug ? plane.dstPitch : plane.dstPitch / 2;
    if (H <= 0 || W <= 0) return true;
    const int bytes = plane.depth.Bytes(), readable = plane.srcPitch / bytes;
    const SourcePlane source = {plane.src, plane.srcPitch, readable < W ? readable : W, bytes};
    const Levels levels(plane.depth);

    const uint64_t N = (uint64_t)H * (uint64_t)W;
    ScratchLayout layout;
    const uint64_t fracAt = layout.Add(N, 1), edgeAt = layout.Add(N, 1);
    const uint64_t workAt = layout.Add(N, 2), debugAt = layout.Add(N, 1);
    if (!ReservePlane(scratch, N, layout.Total())) return false;
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
            const int net = NetNeighbourCount(source, levels, i, j);
            if (net == kFar) continue;
            fracMap[(size_t)i * W + j] = (int8_t)(net >= 0 ? levels.FractionOf(net, 0) : levels.FractionOf(0, -net));
            edgeMask[(size_t)i * W + j] = 0;
        }
    }

    // Unsmoothed values, then windows over the unsmoothed values.
    for (int i = 0; i < H; ++i) {
        for (int j = 0; j < W; ++j) {
            const size_t at = (size_t)i * W + j;
            workPlane[at] = levels.Value(source.At(i, j), fracMap[at]);
            debugMap[at] = edgeMask[at] | kFlatMark;
        }
    }

    const Radii r = settings.RadiiOf(plane.subsampling);
    const uint32_t threshold = (uint32_t)settings.Threshold(plane.luma);
    if (WindowFits(r, H, W)) {
        const BoxMean mean(r);
        const int Rx = (int)r.x, Ry = (int)r.y;
        for (int i = Ry; i < H - Ry; ++i) {
            for (int j = Rx; j < W - Rx; ++j) {
                uint64_t sum = 0, busy = 0;
                for (int y = i - Ry; y <= i + Ry; ++y) {
                    for (int x = j - Rx; x <= j + Rx; ++x) {
                        const size_t at = (size_t)y * W + x;
                        sum += levels.Value(source.At(y, x), fracMap[at]);
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
    const size_t rowBytes = debug ? (size_t)W : (size_t)W * 2;
    for (int i = 0; i < H; ++i) {
        const void* row = debug ? (const void*)(debugMap + (size_t)i * W) : (const void*)(workPlane + (size_t)i * W);
        CopyBytes(plane.DestinationRow(i), row, rowBytes);
    }
    return true;
}

}  // namespace bitgrade
