// The plateaus mode. An encoder flattens smooth, slightly noisy areas into
// plateaus a few blocks wide and a level apart: wider than the window, so
// their middles stay flat, and strewn with edge pixels that stop the wider
// windows. Here a sample takes, in place of the narrowest window's output,
// the mean of itself and those of its taps (samples on eight rays at half a
// span, one, two and four spans) that lie within a level of it, kept within
// half a level of its own value (its own level). So a plateau's middle leans towards the
// plateaus around it, nothing is averaged across an edge, and no sample
// leaves its level. Windows wider than the narrowest still have the last word
// where they average.
#pragma once

#include "plane_common.h"

namespace bitgrade {

struct Tap {
    int dx, dy;
};

// The taps of a plane of that subsampling: at each distance, on each axis
// the distance shifted right by the axis's subsampling (at least 1), the
// diagonals at 181/256 (about 1/sqrt 2) of that, rounded.
struct Taps {
    static const int kMost = 32;
    Tap at[kMost];
    Radii reach;  // the furthest tap across and down

    Taps(int span, Subsampling s) : at(), reach(Shifted(4 * span, s)) {
        const int distances[4] = {span / 2, span, 2 * span, 4 * span};
        int n = 0;
        for (int r : distances) {
            const Radii d = Shifted(r, s);
            const int x = (int)d.x, y = (int)d.y, qx = (x * 181 + 128) >> 8, qy = (y * 181 + 128) >> 8;
            const Tap ray[8] = {{x, 0}, {-x, 0}, {0, y}, {0, -y}, {qx, qy}, {-qx, qy}, {qx, -qy}, {-qx, -qy}};
            for (const Tap& t : ray) at[n++] = t;
        }
    }

private:
    static Radii Shifted(int r, Subsampling s) {
        const int x = r >> s.x, y = r >> s.y;
        return {(uint32_t)(x > 1 ? x : 1), (uint32_t)(y > 1 ? y : 1)};
    }
};

// One row's taps: the sample rows (16-bit) that each tap reads, taps above
// and below the plane left out, and each tap's column offset.
struct TapRow {
    const uint16_t* centre;
    const uint16_t* rows[Taps::kMost];
    int32_t dx[Taps::kMost];
    uint32_t count;
    uint32_t W;
};

// The output at column x: the sample's value plus the mean offset of the
// taps within a level of it (taps past the row's ends left out; the sample
// counts as one offset of 0), rounded down and kept within the sample's own
// level.
inline uint16_t TapMean(const TapRow& t, uint32_t x, const Levels& levels) {
    const int32_t centre = t.centre[x];
    int32_t sum = 0, n = 1;
    for (uint32_t k = 0; k < t.count; ++k) {
        const int64_t at = (int64_t)x + t.dx[k];
        if (at < 0 || at >= (int64_t)t.W) continue;
        const int32_t d = (int32_t)t.rows[k][at] - centre;
        if ((uint32_t)(d < 0 ? -d : d) >= levels.near) continue;
        sum += d;
        ++n;
    }
    const int32_t scaled = sum * (1 << levels.shift);
    int32_t offset = scaled >= 0 ? scaled / n : -((n - 1 - scaled) / n);
    offset = offset < -levels.below ? -levels.below : offset > levels.above ? levels.above : offset;
    const int32_t value = centre * (1 << levels.shift) + offset;
    return (uint16_t)(value < 0 ? 0 : value > 65535 ? 65535 : value);
}

// Columns from..to-1 of a row into `out`, 16-bit little-endian.
inline void TapColumns(const TapRow& t, uint32_t from, uint32_t to, const Levels& levels, uint8_t* out) {
    for (uint32_t x = from; x < to; ++x) {
        const uint16_t value = TapMean(t, x, levels);
        out[2 * x] = (uint8_t)value;
        out[2 * x + 1] = (uint8_t)(value >> 8);
    }
}

// A kernel for the columns whose taps all lie in the row.
typedef void (*TapsKernel)(const TapRow& row, uint32_t from, uint32_t to, const Levels& levels, uint8_t* out);

// A plane's samples as 16-bit words, in a ring of rows that follows the row
// being worked on, and its rows of taps means. Columns past the source pitch
// repeat the row's last readable sample, as the converters read them.
class TapsStage {
public:
    // Entries of the ring for a plane of that width.
    static uint64_t RingEntries(const Taps& taps, uint32_t W) { return (2 * (uint64_t)taps.reach.y + 1) * Stride(W); }

    TapsStage(const Plane& plane, const Taps& taps, uint16_t* ring, TapsKernel kernel)
        : plane(plane),
          taps(taps),
          ring(ring),
          kernel(kernel),
          levels(plane.depth),
          stride(Stride((uint32_t)plane.width)),
          slots(2 * taps.reach.y + 1),
          loaded(0) {}

    // Row y's output, W values; rows are asked for in order.
    void Row(uint32_t y, uint8_t* out) {
        const uint32_t H = (uint32_t)plane.height, W = (uint32_t)plane.width;
        LoadThrough(y + taps.reach.y < H ? y + taps.reach.y : H - 1);
        TapRow t = {Samples(y), {}, {}, 0, W};
        for (const Tap& tap : taps.at) {
            const int64_t row = (int64_t)y + tap.dy;
            if (row < 0 || row >= (int64_t)H) continue;
            t.rows[t.count] = Samples((uint32_t)row);
            t.dx[t.count++] = tap.dx;
        }
        // Columns within reach of an end leave some taps out; the kernel takes
        // those between, [from, to).
        const uint32_t reach = taps.reach.x, from = reach < W ? reach : W, to = W > 2 * reach ? W - reach : from;
        TapColumns(t, 0, from, levels, out);
        if (to > from) kernel(t, from, to, levels, out);
        TapColumns(t, to, W, levels, out);
    }

private:
    static uint64_t Stride(uint32_t W) { return ((uint64_t)W + 15) & ~(uint64_t)15; }
    uint16_t* Samples(uint32_t y) const { return ring + (y % slots) * stride; }

    void LoadThrough(uint32_t y) {
        const int bytes = plane.depth.Bytes(), pitchSamples = plane.srcPitch / bytes;
        const uint32_t W = (uint32_t)plane.width, readable = (uint32_t)(pitchSamples < (int)W ? pitchSamples : W);
        for (; loaded <= y; ++loaded) {
            const uint8_t* in = plane.SourceRow(loaded);
            uint16_t* row = Samples(loaded);
            for (uint32_t x = 0; x < W; ++x) {
                const uint8_t* at = in + (size_t)(x < readable ? x : readable - 1) * bytes;
                row[x] = bytes == 1 ? *at : (uint16_t)(at[0] | at[1] << 8);
            }
        }
    }

    const Plane& plane;
    const Taps& taps;
    uint16_t* ring;
    TapsKernel kernel;
    Levels levels;
    uint64_t stride;
    uint32_t slots, loaded;
};

}  // namespace bitgrade
