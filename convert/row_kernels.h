// Scalar row kernels of the streaming converter. They work on rows that the
// caller owns and allocate nothing. (The vector converter's kernels have
// scalar twins of their own, in vector_kernels.)
#pragma once

#include "plane_common.h"

namespace bitgrade {

// NeighbourCode: 16-bit packed neighbour counts, one nibble each. A code is
// the plain sum of one increment per neighbour; no field exceeds 8, so no
// field carries into the next.
const uint16_t kCodeUp = 0x0001;      // neighbour one level higher
const uint16_t kCodeDown = 0x0010;    // neighbour one level lower
const uint16_t kCodeFar = 0x0100;     // neighbour two or more levels away
const uint16_t kRowEndCode = 0x0800;  // far = 8: the first and last pixel of a row

// The busy count a row gives a column whose window does not fit the row: more
// edge pixels than any threshold below 255 allows.
const uint16_t kRowEndBusy = 255;

// Increment for one neighbour, from d = pixel - neighbour, at the levels of
// its plane's depth (for 8-bit samples: 0, -1, 1 or far).
inline uint16_t DiffToCode(int32_t d, const Levels& levels) {
    const uint32_t size = (uint32_t)(d < 0 ? -d : d);
    return size < levels.equal ? 0 : size >= levels.near ? kCodeFar : d < 0 ? kCodeUp : kCodeDown;
}

// The same pair seen from the other pixel: up and down change places.
inline uint16_t SwapNibbles(uint16_t c) { return (uint16_t)(((c >> 4) & 0xF) | ((c & 0xF) << 4) | (c & 0xFF00)); }

inline bool IsFlatCode(uint16_t c) {
    const unsigned up = c & 0xF, down = (c >> 4) & 0xF, far = (c >> 8) & 0xF;
    return far == 0 && (up == 0 || down == 0);
}
inline int FractionOfCode(uint16_t c, const Levels& levels) { return levels.FractionOf(c & 0xF, (c >> 4) & 0xF); }

// Codes of the current row's pixels (every pair differenced once, credited to
// both pixels), and in `carry` the upper-neighbour part of the next row's
// codes for the next call. A zeroed carry stands for a missing row above.
// Entries 0 and n-1 of `code` become kRowEndCode. n >= 1.
void NeighbourCodeRow(const uint16_t* current, const uint16_t* next, uint32_t n, const Levels& levels, uint16_t* carry,
                      uint16_t* code);

// Horizontal window sums of `values` and edge counts of `edges` over the
// 2r+1 columns centred on each column r..W-r-1; the columns whose window does
// not fit get the count kRowEndBusy and no sum. W >= 2r+1. Sum and Count wrap like
// the unsigned types they are.
template <class Sum, class Count, class Edge>
void WindowRowSums(uint32_t r, uint32_t W, const uint16_t* values, const Edge* edges, Sum* sums, Count* counts) {
    Sum sum = 0;
    Count count = 0;
    for (uint32_t i = 0; i <= 2 * r; ++i) {
        sum += values[i];
        count += edges[i] != 0;
    }
    sums[r] = sum;
    counts[r] = count;
    for (uint32_t i = r + 1; i < W - r; ++i) {
        count = (Count)(count - (edges[i - r - 1] != 0) + (edges[i + r] != 0));
        sum += (Sum)values[i + r] - values[i - r - 1];
        sums[i] = sum;
        counts[i] = count;
    }
    for (uint32_t i = 0; i < r; ++i) counts[i] = counts[W - 1 - i] = kRowEndBusy;
}

}  // namespace bitgrade
