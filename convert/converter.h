// The core's face to every way in but the version 2.5 plugin: one converter
// level chosen at creation, run on a whole picture. Ways in hand it plain
// pointers and pitches and own one Scratch for each conversion they run at
// once.
#pragma once

#include "creation.h"
#include "plane.h"
#include "processor.h"

namespace bitgrade {

struct RowKernels;

// Y, then U and V, each with convertPlane(plane). In debug mode the map goes
// into Y, and U and V are neutral grey (128) over their whole pitch. False
// when a plane's buffers cannot be had.
template <class ConvertPlane>
bool ConvertFrame(const Frame& frame, bool debug, ConvertPlane convertPlane) {
    if (!convertPlane(frame.planes[0])) return false;
    if (!debug) return convertPlane(frame.planes[1]) && convertPlane(frame.planes[2]);
    for (int p = 1; p < 3; ++p) {
        const Plane& chroma = frame.planes[p];
        FillBytes(chroma.dst, 128, (size_t)chroma.height * (size_t)chroma.dstPitch);
    }
    return true;
}

class Converter {
public:
    // The vector converter with the kernels of `isa`, or another level.
    Converter(Level level, VectorIsa isa);

    // Level 1's working row is the destination pitch, not the plane's width
    // (a frame server's rows run on into padding it does not initialise).
    // Here it is given the rows a frame server's frames have, pitches
    // rounded up to 16 bytes and padded with zeros, whatever the host's
    // pitches: its output is then the same in every host and from run to
    // run. The other levels read and write the host's rows.
    bool ConvertPlane(const Plane& plane, const Settings& settings, Scratch& scratch) const;
    bool ConvertFrame(const Frame& frame, const Settings& settings, Scratch& scratch) const {
        return bitgrade::ConvertFrame(frame, settings.debug,
                                      [&](const Plane& plane) { return ConvertPlane(plane, settings, scratch); });
    }

    Level Chosen() const { return level; }
    // The vector kernels' instruction set, "" for the other levels.
    const char* Isa() const;

private:
    Level level;
    const RowKernels* kernels;
};

}  // namespace bitgrade
