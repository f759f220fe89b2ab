// Level 1, the plain converter (no vector code): the reference that every
// other level is held against.
#pragma once

#include "plane.h"

namespace bitgrade {

// Converts one plane; false when its buffers cannot be had. Its working row
// is the destination pitch, not the plane's width (see the file).
bool ConvertPlainPlane(const Plane& plane, const Settings& settings, Scratch& scratch);

}  // namespace bitgrade
