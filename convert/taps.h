// The plateaus mode. An encoder flattens smooth, slightly noisy areas into
// plateaus a few blocks wide and a level apart: wider than the window, so
// their middles stay flat, and strewn with edge pixels that stop the wider
// windows. Here a sample takes, in place of the narrowest window's output,
// the mean of itself and those of its taps (samples on eight rays at half a
// span, one, two and four spans) that lie within a level of it, kept within
// its own level. So a plateau's middle leans towards the plateaus around it,
// nothing is averaged across an edge, and no sample leaves its level.
// Windows wider than the narrowest still have the last word where they
// average.
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

// One row's taps: the sample rows that each tap reads (bytes for 8-bit
// samples, else 16-bit words), and each tap's column offset. The picture
// continues past its edges as its edge samples: a tap above or below the
// plane reads its first or last row, and every row holds `reach.x` copies
// of its first and last sample before and after it.
struct TapRow {
    const void* centre;
    const void* rows[Taps::kMost];
    int32_t dx[Taps::kMost];
};

// The output at column x: the sample's value plus the mean offset of its
// taps within a level of it (the sample counts as one offset of 0), rounded
// down and kept within the sample's own level.
template <class Sample>
inline uint16_t TapMean(const TapRow& t, uint32_t x, const Levels& levels) {
    const int32_t centre = ((const Sample*)t.centre)[x];
    int32_t sum = 0, n = 1;
    for (int k = 0; k < Taps::kMost; ++k) {
        const int32_t d = (int32_t)((const Sample*)t.rows[k])[(int64_t)x + t.dx[k]] - centre;
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

// Columns from..W-1 of a row into `out`, 16-bit little-endian.
template <class Sample>
inline void TapColumns(const TapRow& t, uint32_t from, uint32_t W, const Levels& levels, uint8_t* out) {
    for (uint32_t x = from; x < W; ++x) {
        const uint16_t value = TapMean<Sample>(t, x, levels);
        out[2 * x] = (uint8_t)value;
        out[2 * x + 1] = (uint8_t)(value >> 8);
    }
}

// A kernel for a whole row of W columns, of one sample size, and the
// scalar ones.
typedef void (*TapsKernel)(const TapRow& row, uint32_t W, const Levels& levels, uint8_t* out);
template <class Sample>
void TapRowScalar(const TapRow& t, uint32_t W, const Levels& levels, uint8_t* out) {
    TapColumns<Sample>(t, 0, W, levels, out);
}

// A plane's samples in a ring of rows that follows the row being worked on,
// each row with its edge copies, and its rows of taps means. Columns past the
// source pitch repeat the row's last readable sample, as the converters read
// them.
class TapsStage {
public:
    // Bytes of the ring for a plane of that width and depth.
    static uint64_t RingBytes(const Taps& taps, uint32_t W, SampleDepth depth) {
        return (2 * (uint64_t)taps.reach.y + 1) * Stride(taps, W) * depth.Bytes();
    }

    // `bytes` takes 8-bit rows, `words` deeper ones.
    TapsStage(const Plane& plane, const Taps& taps, uint8_t* ring, TapsKernel bytes, TapsKernel words)
        : plane(plane),
          taps(taps),
          ring(ring),
          kernel(plane.depth.bits > 8 ? words : bytes),
          levels(plane.depth),
          stride(Stride(taps, (uint32_t)plane.width) * plane.depth.Bytes()),
          slots(2 * taps.reach.y + 1),
          loaded(0) {}

    // Row y's output, W values; rows are asked for in order.
    void Row(uint32_t y, uint8_t* out) {
        const int64_t last = plane.height - 1;
        LoadThrough(y + taps.reach.y < last ? y + taps.reach.y : (uint32_t)last);
        TapRow t = {Samples(y), {}, {}};
        for (int k = 0; k < Taps::kMost; ++k) {
            const int64_t row = (int64_t)y + taps.at[k].dy;
            t.rows[k] = Samples((uint32_t)(row < 0 ? 0 : row > last ? last : row));
            t.dx[k] = taps.at[k].dx;
        }
        kernel(t, (uint32_t)plane.width, levels, out);
    }

private:
    // Samples a ring row holds: the edge copies on both sides, and the width.
    static uint64_t Stride(const Taps& taps, uint32_t W) { return (uint64_t)W + 2 * (uint64_t)taps.reach.x; }
    // Row y's column 0.
    uint8_t* Samples(uint32_t y) const {
        return ring + (y % slots) * stride + (uint64_t)taps.reach.x * plane.depth.Bytes();
    }

    void LoadThrough(uint32_t y) {
        for (; loaded <= y; ++loaded) {
            if (plane.depth.bits > 8) Load((uint16_t*)Samples(loaded), loaded);
            else Load(Samples(loaded), loaded);
        }
    }

    template <class Sample>
    void Load(Sample* row, uint32_t y) const {
        const uint32_t W = (uint32_t)plane.width, readable = (uint32_t)plane.ReadableSamples();
        const uint8_t* in = plane.SourceRow(y);
        if (sizeof(Sample) == 1) CopyBytes(row, in, readable);
        else
            for (uint32_t x = 0; x < readable; ++x) row[x] = (Sample)(in[2 * x] | in[2 * x + 1] << 8);
        for (uint32_t x = readable; x < W; ++x) row[x] = row[readable - 1];
        for (uint32_t k = 1; k <= taps.reach.x; ++k) {
            row[-(int64_t)k] = row[0];
            row[W - 1 + k] = row[W - 1];
        }
    }

    const Plane& plane;
    const Taps& taps;
    uint8_t* ring;
    TapsKernel kernel;
    Levels levels;
    uint64_t stride;  // bytes
    uint32_t slots, loaded;
};

}  // namespace bitgrade
