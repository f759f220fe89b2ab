// Level 3, the vector converter, the product's engine. It classifies each
// row from the source bytes sixteen or thirty-two pixels at a time, moves a
// vertical window over per-row horizontal sums and writes each smoothed row
// straight to the destination, keeping only a ring of rows. It needs SSE4.1
// and takes any plane width.
#pragma once

#include "plane.h"
#include "vector_kernels.h"

namespace bitgrade {

// Converts one plane with the kernels of one table, which the processor
// must run; false when its buffers cannot be had.
bool ProcessPlaneSSE41(const Plane& plane, const Settings& settings, Scratch& scratch, const RowKernels& kernels);

}  // namespace bitgrade
