// Level 2, the streaming converter, named for the SSE2 row shift it uses
// (the rest is scalar). Rows are classified with the scalar neighbour-code
// kernel and smoothed by a vertical window over per-row horizontal sums, so
// each pixel costs the same whatever the radius.
#pragma once

#include "plane.h"

namespace bitgrade {

// Converts one plane; false when its buffers cannot be had.
bool ProcessPlaneSSE2(const Plane& plane, const Settings& settings, Scratch& scratch);

}  // namespace bitgrade
