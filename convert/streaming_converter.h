// Level 2, the streaming converter: it classifies the plane row by row with
// the scalar neighbour-code kernel, then moves a window of 2r+1 rows down
// the plane, keeping per-column running totals of per-row horizontal sums,
// so that each pixel costs the same whatever the radius. It needs SSE2 for
// one row shift; the rest is scalar.
#pragma once

#include "plane.h"

namespace bitgrade {

// Converts one plane; false when its buffers cannot be had.
bool ConvertStreamingPlane(const Plane& plane, const Settings& settings, Scratch& scratch);

}  // namespace bitgrade
