// Level 3, the vector converter, the product's engine. It classifies each
// row from the source bytes sixteen or thirty-two pixels at a time, keeps
// per-column totals of the window's rows (or, for the adaptive window's
// rungs, integrals that they share), sums each band row's windows across
// them and writes each smoothed row straight to the destination, keeping
// only a ring of rows. It needs SSE4.1 and takes any plane width.
#pragma once

#include "plane.h"
#include "vector_kernels.h"

namespace bitgrade {

// Called with each destination row's number as soon as that row is
// complete, rows in order, so that the row can be worked on further while it
// is still in cache (or written to a one-row destination of pitch 0).
struct RowDone {
    void (*call)(void* context, uint32_t y);
    void* context;
};

// Converts one plane with the kernels of one table, which the processor
// must run; false when its buffers cannot be had.
bool ConvertVectorPlane(const Plane& plane, const Settings& settings, Scratch& scratch, const RowKernels& kernels,
                        const RowDone* rowDone = nullptr);

}  // namespace bitgrade
