// The core's face to every way in: the conversion decided at creation, run
// on a whole picture by the one level it names. Ways in hand it plain
// pointers and pitches and own one Scratch for each conversion they run at
// once.
#pragma once

#include "creation.h"
#include "depth.h"
#include "plane.h"
#include "processor.h"

namespace bitgrade {

struct RowKernels;

// Y, then U and V where there are, each with convertPlane(plane). In debug
// mode the map goes into Y, and U and V are neutral grey (128) over their
// whole pitch. False when a plane's buffers cannot be had.
template <class ConvertPlane>
bool ConvertFrame(const Frame& frame, bool debug, ConvertPlane convertPlane) {
    if (!convertPlane(frame.planes[0])) return false;
    if (!debug) {
        for (int p = 1; p < frame.count; ++p)
            if (!convertPlane(frame.planes[p])) return false;
        return true;
    }
    for (int p = 1; p < frame.count; ++p) {
        const Plane& chroma = frame.planes[p];
        FillBytes(chroma.dst, 128, (size_t)chroma.height * (size_t)chroma.dstPitch);
    }
    return true;
}

// The rows level 1 works on. Its working row is the destination pitch, not
// the plane's width (a frame server's rows run on into padding it does not
// initialise). The version 2.5 plugin gives it the host's rows, as written;
// every newer host gives it rows of its own as a frame server's frames
// have them, pitches rounded up to 16 bytes and padded with zeros, whatever
// the host's pitches, so that its output is the same in every host and from
// run to run. The other levels read and write the host's rows.
enum class PlainRows { kPadded, kHosts };

class Converter {
public:
    // The conversion creation decided; the vector converter takes the
    // kernels of its instruction set.
    explicit Converter(const Conversion& conversion, PlainRows plainRows = PlainRows::kPadded);

    // Brought down to fewer bits, rows are converted at 16 bits first (in
    // place, or at 8 bits into rows of the scratch memory) and then reduced.
    // The plane's samples are of the conversion's input depth.
    bool ConvertPlane(const Plane& plane, Scratch& scratch) const;
    bool ConvertFrame(const Frame& frame, Scratch& scratch) const {
        return bitgrade::ConvertFrame(frame, conversion.settings.debug,
                                      [&](const Plane& plane) { return ConvertPlane(plane, scratch); });
    }

    const Conversion& Chosen() const { return conversion; }
    // The vector kernels' instruction set, "" for the other levels.
    const char* Isa() const;

private:
    bool ConvertPlaneAt16(const Plane& plane, Scratch& scratch) const;
    // Row y of `wide`, 16-bit values, into row y of `plane` at the depth.
    void ReduceRow(const Plane& wide, const Plane& plane, uint32_t y) const;
    struct Reduction {
        const Converter* converter;
        const Plane *wide, *plane;
    };

    Conversion conversion;
    PlainRows plainRows;
    const RowKernels* kernels;
    uint16_t thresholds[kMatrixEntries];  // by row of the matrix, for reduceRow
};

}  // namespace bitgrade
