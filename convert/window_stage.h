// The vertical half of the box window, shared by the optimised converters:
// per-row horizontal sums kept in a ring of 2r+2 row slots, and per-column
// running totals that gain the entering row and lose the leaving one. Each
// pixel then costs the same whatever the radius.
#pragma once

#include "row_kernels.h"

namespace bitgrade {

// Up to this radius on both axes a window's sum (at most 65535 * 255^2)
// fits 32 bits and its busy count (at most 255^2) 16 bits, so running
// totals in those types are exact; wider windows use 64-bit sums and 32-bit
// counts.
const uint32_t kNarrowMaxRadius = 127;
static_assert(kWidestMaxSpan <= (int)kNarrowMaxRadius, "only a single span may be wider than the narrow totals");

// The plane being smoothed: H rows of `stride` entries, W in use, held in
// `rows` row slots (all H, or a ring of fewer in which row y is slot y % rows).
template <class Edge>
struct WorkPlane {
    uint16_t* values;
    Edge* edges;
    uint64_t stride;
    uint32_t H, W;
    uint32_t rows;
    uint16_t* Row(uint32_t y) const { return values + (y % rows) * stride; }
    Edge* EdgeRow(uint32_t y) const { return edges + (y % rows) * stride; }
};

// Where the window stage's buffers lie in the scratch memory.
struct WindowLayout {
    uint64_t columnSums, columnCounts, sumRing, countRing;
};

// Scratch of the window stage, in elements: columnSums and columnCounts one
// row each, the rings 2r.y+2 rows each.
template <class Sum, class Count>
struct WindowScratch {
    Sum* columnSums;
    Count* columnCounts;
    Sum* sumRing;
    Count* countRing;

    static WindowLayout Lay(ScratchLayout& layout, uint64_t stride, Radii r) {
        const uint64_t ringRows = 2 * (uint64_t)r.y + 2;
        WindowLayout at;
        at.columnSums = layout.Add(stride, sizeof(Sum));
        at.columnCounts = layout.Add(stride, sizeof(Count));
        at.sumRing = layout.Add(ringRows * stride, sizeof(Sum));
        at.countRing = layout.Add(ringRows * stride, sizeof(Count));
        return at;
    }
    static WindowScratch Carved(const Scratch& scratch, const WindowLayout& at) {
        return WindowScratch{Carve<Sum>(scratch, at.columnSums), Carve<Count>(scratch, at.columnCounts),
                             Carve<Sum>(scratch, at.sumRing), Carve<Count>(scratch, at.countRing)};
    }
};

// Runs the window down rows r.y..H-r.y-1 and, at each, calls
// smoothRow(y, sums, counts) with the window sums and busy counts of columns
// r.x..W-r.x-1. Windows always see unsmoothed values, because a row enters
// the ring before it is smoothed. The window must fit the plane.
template <class Sum, class Count, class Edge, class SmoothRow>
void SlideWindowDown(const WorkPlane<Edge>& p, Radii radii, const WindowScratch<Sum, Count>& s, SmoothRow smoothRow) {
    const uint64_t stride = p.stride;
    const uint32_t r = radii.y, rx = radii.x, slots = 2 * r + 2, W = p.W;
    FillBytes(s.columnSums, 0, stride * sizeof(Sum));
    FillBytes(s.columnCounts, 0, stride * sizeof(Count));
    RowQueue<Sum> sumRows(s.sumRing, stride, slots);
    RowQueue<Count> countRows(s.countRing, stride, slots);

    for (uint32_t k = 0; k <= 2 * r; ++k) {
        Sum* sums = sumRows.Slot(k);
        Count* counts = countRows.Slot(k);
        WindowRowSums(rx, W, p.Row(k), p.EdgeRow(k), sums, counts);
        for (uint32_t x = rx; x < W - rx; ++x) {
            s.columnSums[x] += sums[x];
            s.columnCounts[x] += counts[x];
        }
    }
    smoothRow(r, (const Sum*)s.columnSums, (const Count*)s.columnCounts);
    for (uint32_t y = r + 1; y + r < p.H; ++y) {
        const Sum* leavingSums = sumRows.Front();
        const Count* leavingCounts = countRows.Front();
        Sum* enteringSums = sumRows.Back();
        Count* enteringCounts = countRows.Back();
        WindowRowSums(rx, W, p.Row(y + r), p.EdgeRow(y + r), enteringSums, enteringCounts);
        for (uint32_t x = rx; x < W - rx; ++x) {
            s.columnCounts[x] = (Count)(s.columnCounts[x] - leavingCounts[x] + enteringCounts[x]);
            s.columnSums[x] += enteringSums[x] - leavingSums[x];
        }
        smoothRow(y, (const Sum*)s.columnSums, (const Count*)s.columnCounts);
        sumRows.Rotate();
        countRows.Rotate();
    }
}

// Smooths rows r.y..H-r.y-1, columns r.x..W-r.x-1 in place: a pixel whose
// window holds at most `limit` edge pixels takes the window's mean (debug:
// its edge entry becomes 0); any other keeps its value (debug: its entry is
// marked unsmoothed). limit >= 0.
template <class Sum, class Count, class Edge>
void SmoothPlane(const WorkPlane<Edge>& p, Radii r, int64_t limit, bool debug, const WindowScratch<Sum, Count>& s) {
    const BoxMean mean(r);
    SlideWindowDown(p, r, s, [&](uint32_t y, const Sum* sums, const Count* counts) {
        uint16_t* values = p.Row(y);
        Edge* edges = p.EdgeRow(y);
        for (uint32_t x = r.x; x < p.W - r.x; ++x) {
            const bool smooth = (int64_t)counts[x] <= limit;
            if (debug) edges[x] = smooth ? 0 : (Edge)(edges[x] | kFlatMark);
            else if (smooth) values[x] = mean(sums[x]);
        }
    });
}

// One destination row from the work plane: W little-endian 16-bit values, or
// W map bytes, where columns [markedFrom, markedTo) hold the marks that
// smoothing left and every other column is marked unsmoothed.
template <class Edge>
void WriteRow(const WorkPlane<Edge>& p, uint32_t y, bool debug, uint32_t markedFrom, uint32_t markedTo, uint8_t* out) {
    if (!debug) {
        CopyBytes(out, p.Row(y), (size_t)p.W * 2);
        return;
    }
    const Edge* edges = p.EdgeRow(y);
    for (uint32_t x = 0; x < p.W; ++x) {
        const bool marked = x >= markedFrom && x < markedTo;
        out[x] = (uint8_t)(marked ? edges[x] : edges[x] | kFlatMark);
    }
}

}  // namespace bitgrade
