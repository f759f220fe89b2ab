#include "converter.h"

#include "bitgrade_noopt.h"
#include "bitgrade_sse2.h"
#include "bitgrade_sse41.h"

namespace bitgrade {

namespace {

int64_t Align16(int64_t bytes) { return (bytes + 15) / 16 * 16; }

// `rows` rows of `bytes` bytes from rows `fromPitch` apart to rows `toPitch`
// apart, the rest of each destination row up to `clear` bytes zeroed.
void CopyRows(const uint8_t* from, int64_t fromPitch, uint8_t* to, int64_t toPitch, int64_t bytes, int64_t clear,
              int rows) {
    for (int y = 0; y < rows; ++y) {
        CopyBytes(to + y * toPitch, from + y * fromPitch, (size_t)bytes);
        FillBytes(to + y * toPitch + bytes, 0, (size_t)(clear - bytes));
    }
}

bool ConvertPlanePadded(const Plane& plane, const Settings& settings, Scratch& scratch) {
    if (plane.width <= 0 || plane.height <= 0) return true;
    const int bytes = settings.debug ? 1 : 2;
    const int64_t srcPitch = Align16(plane.width), dstPitch = Align16((int64_t)plane.width * bytes);
    const uint64_t inBytes = (uint64_t)srcPitch * (uint64_t)plane.height;
    if (dstPitch > 0x7FFFFFFF || !scratch.paddedRows.Reserve(inBytes + (uint64_t)dstPitch * (uint64_t)plane.height))
        return false;
    uint8_t* in = scratch.paddedRows.Base();
    const Plane padded = {in, (int)srcPitch, in + inBytes, (int)dstPitch, plane.width, plane.height, plane.luma};
    CopyRows(plane.src, plane.srcPitch, in, srcPitch, plane.width, srcPitch, plane.height);
    if (!ProcessPlaneNoopt(padded, settings, scratch)) return false;
    const int64_t rowBytes = (int64_t)plane.width * bytes;
    CopyRows(padded.dst, dstPitch, plane.dst, plane.dstPitch, rowBytes, rowBytes, plane.height);
    return true;
}

}  // namespace

Converter::Converter(Level level, VectorIsa isa) : level(level), kernels(&KernelsFor(isa)) {}

bool Converter::ConvertPlane(const Plane& plane, const Settings& settings, Scratch& scratch) const {
    switch (level) {
    case Level::kPlain: return ConvertPlanePadded(plane, settings, scratch);
    case Level::kStreaming: return ProcessPlaneSSE2(plane, settings, scratch);
    case Level::kVector: return ProcessPlaneSSE41(plane, settings, scratch, *kernels);
    }
    return false;
}

const char* Converter::Isa() const { return level == Level::kVector ? kernels->isa : ""; }

}  // namespace bitgrade
