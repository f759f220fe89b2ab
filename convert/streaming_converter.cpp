// Level 2, the streaming converter: scalar row kernels and running window sums.
//
// Its rules, where the plain converter's differ:
// - The working row is the plane's width: its last column is a border
//   pixel, and nothing past it is read or written.
// - Thresholds are compared signed: a negative one smooths nothing.
// - A pixel with both a higher and a lower neighbour is an edge pixel.
#include "streaming_converter.h"

#include <emmintrin.h>

#include "taps.h"
#include "window_stage.h"

namespace bitgrade {

namespace {

// sample -> sample << shift, sixteen samples per step.
__attribute__((target("sse2"))) void ShiftRowLeft(uint16_t* row, uint32_t n, int shift) {
    const __m128i count = _mm_cvtsi32_si128(shift);
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i* at = (__m128i*)(row + i);
        _mm_storeu_si128(at, _mm_sll_epi16(_mm_loadu_si128(at), count));
        _mm_storeu_si128(at + 1, _mm_sll_epi16(_mm_loadu_si128(at + 1), count));
    }
    for (; i < n; ++i) row[i] = (uint16_t)(row[i] << shift);
}

// Turns the samples of the work plane into unsmoothed values (sample <<
// shift plus the fraction of a flat pixel) and gives edge and border pixels
// their edge mark. Codes always come from unshifted samples: a row is
// shifted only after the call in which it is the upper row.
void ClassifyPlane(const WorkPlane<uint8_t>& p, const Levels& levels, uint16_t* carryCodes, uint16_t* codeRow) {
    const uint32_t H = p.H, W = p.W;
    FillBytes(carryCodes, 0, (size_t)p.stride * 2);
    if (H >= 3) NeighbourCodeRow(p.Row(0), p.Row(1), W, levels, carryCodes, codeRow);
    for (uint32_t y = 1; y + 1 < H; ++y) {
        uint16_t* values = p.Row(y);
        uint8_t* edges = p.EdgeRow(y);
        NeighbourCodeRow(values, p.Row(y + 1), W, levels, carryCodes, codeRow);
        ShiftRowLeft(values, W, levels.shift);
        edges[0] = edges[W - 1] = kEdgeMark;
        for (uint32_t x = 1; x + 1 < W; ++x) {
            const uint16_t c = codeRow[x];
            const bool flat = IsFlatCode(c);
            edges[x] = flat ? 0 : kEdgeMark;
            if (flat) values[x] = (uint16_t)(values[x] + FractionOfCode(c, levels));
        }
    }
    auto borderRow = [&](uint32_t y) {
        ShiftRowLeft(p.Row(y), W, levels.shift);
        FillBytes(p.EdgeRow(y), kEdgeMark, (size_t)p.stride);
    };
    borderRow(0);
    if (H > 1) borderRow(H - 1);
}

// The adaptive mode over the classified plane, into the destination: its
// rows start unsmoothed (the marks of unsmoothed samples in debug mode), and
// each rung, narrowest first, writes its means (in debug mode, 0) where its
// window averages, so that the widest rung that averages a sample has the
// last word. The work plane stays unsmoothed for every rung's windows. In the
// plateaus mode the rows start as the taps' means, which take the narrowest
// rung's place.
void SmoothRungs(const WorkPlane<uint8_t>& p, const Radii* radii, uint32_t count, int threshold, bool debug,
                 const WindowScratch<uint32_t, uint16_t>& s, const Plane& plane, TapsStage* taps) {
    for (uint32_t y = 0; y < p.H; ++y) {
        if (taps) taps->Row(y, plane.DestinationRow(y));
        else WriteRow(p, y, debug, 0, 0, plane.DestinationRow(y));
    }
    for (uint32_t k = taps ? 1 : 0; k < count; ++k) {
        const Radii r = radii[k];
        const BoxMean mean(r);
        SlideWindowDown(p, r, s, [&](uint32_t y, const uint32_t* sums, const uint16_t* counts) {
            uint8_t* out = plane.DestinationRow(y);
            for (uint32_t x = r.x; x < p.W - r.x; ++x) {
                if (counts[x] > threshold) continue;
                if (debug) {
                    out[x] = 0;
                    continue;
                }
                const uint16_t value = mean(sums[x]);
                CopyBytes(out + 2 * x, &value, 2);  // little-endian, as WriteRow writes them
            }
        });
    }
}

}  // namespace

bool ConvertStreamingPlane(const Plane& plane, const Settings& settings, Scratch& scratch) {
    const bool debug = settings.debug;
    const int H = plane.height, W = plane.width;
    if (H <= 0 || W <= 0) return true;
    const int bytes = plane.depth.Bytes(), srcSamples = plane.srcPitch / bytes;
    const uint64_t stride = ((uint64_t)(srcSamples > W ? srcSamples : W) + 7) & ~(uint64_t)7;
    const int threshold = settings.Threshold(plane.luma);
    // A negative threshold is never met: nothing to smooth.
    Radii radii[Rungs::kMost];
    const uint32_t count = threshold >= 0 ? FittingRadii(settings, plane.subsampling, H, W, radii) : 0;
    const bool smoothing = count > 0, adaptive = count > 1;
    const Radii r = smoothing ? radii[count - 1] : Radii{0, 0};          // the widest
    const bool wide = r.x > kNarrowMaxRadius || r.y > kNarrowMaxRadius;  // only a single span is so wide

    ScratchLayout layout;
    const uint64_t workAt = layout.Add((uint64_t)H * stride, 2), edgeAt = layout.Add((uint64_t)H * stride, 1);
    const uint64_t carryAt = layout.Add(stride, 2), codeAt = layout.Add(stride, 2);
    const Taps taps(settings.span, plane.subsampling);
    const uint64_t tapsAt = settings.plateaus ? layout.Add(TapsStage::RingBytes(taps, (uint32_t)W, plane.depth), 1) : 0;
    WindowLayout window = {};
    if (smoothing) {
        if (wide) window = WindowScratch<uint64_t, uint32_t>::Lay(layout, stride, r);
        else window = WindowScratch<uint32_t, uint16_t>::Lay(layout, stride, r);
    }
    if (!ReservePlane(scratch, (uint64_t)H * stride, layout.Total())) return false;
    const WorkPlane<uint8_t> p = {Carve<uint16_t>(scratch, workAt),
                                  Carve<uint8_t>(scratch, edgeAt),
                                  stride,
                                  (uint32_t)H,
                                  (uint32_t)W,
                                  (uint32_t)H};

    const int readable = plane.ReadableSamples();
    for (int y = 0; y < H; ++y) {
        uint16_t* row = p.Row(y);
        const uint8_t* in = plane.SourceRow(y);
        for (int x = 0; x < W; ++x) {
            const uint8_t* at = in + (size_t)(x < readable ? x : readable - 1) * bytes;
            row[x] = bytes == 1 ? *at : (uint16_t)(at[0] | at[1] << 8);
        }
    }
    ClassifyPlane(p, Levels(plane.depth), Carve<uint16_t>(scratch, carryAt), Carve<uint16_t>(scratch, codeAt));
    if (adaptive || settings.plateaus) {
        TapsStage stage(plane, taps, Carve<uint8_t>(scratch, tapsAt), TapRowScalar<uint8_t>, TapRowScalar<uint16_t>);
        SmoothRungs(p, radii, count, threshold, debug, WindowScratch<uint32_t, uint16_t>::Carved(scratch, window),
                    plane, settings.plateaus ? &stage : nullptr);
        return true;
    }
    if (smoothing) {
        if (wide) SmoothPlane(p, r, threshold, debug, WindowScratch<uint64_t, uint32_t>::Carved(scratch, window));
        else SmoothPlane(p, r, threshold, debug, WindowScratch<uint32_t, uint16_t>::Carved(scratch, window));
    }

    for (int y = 0; y < H; ++y) {
        const bool band = smoothing && (uint32_t)y >= r.y && (uint32_t)y + r.y < (uint32_t)H;
        WriteRow(p, (uint32_t)y, debug, band ? r.x : 0, band ? W - r.x : 0, plane.DestinationRow(y));
    }
    return true;
}

}  // namespace bitgrade
