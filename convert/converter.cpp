#include "converter.h"

#include "plain_converter.h"
#include "streaming_converter.h"
#include "vector_converter.h"
#include "vector_kernels.h"

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
    const int bytes = settings.debug ? 1 : 2;  // level 1 itself writes 16-bit values or the map
    const int64_t sampleRow = (int64_t)plane.width * plane.depth.Bytes();
    const int64_t srcPitch = Align16(sampleRow), dstPitch = Align16((int64_t)plane.width * bytes);
    const uint64_t inBytes = (uint64_t)srcPitch * (uint64_t)plane.height;
    if (srcPitch > 0x7FFFFFFF || dstPitch > 0x7FFFFFFF ||
        !scratch.paddedRows.Reserve(inBytes + (uint64_t)dstPitch * (uint64_t)plane.height))
        return false;
    uint8_t* in = scratch.paddedRows.Base();
    const Plane padded = {in,           (int)srcPitch, in + inBytes,      (int)dstPitch, plane.width,
                          plane.height, plane.luma,    plane.subsampling, plane.depth};
    CopyRows(plane.src, plane.srcPitch, in, srcPitch, sampleRow, srcPitch, plane.height);
    if (!ConvertPlainPlane(padded, settings, scratch)) return false;
    const int64_t rowBytes = (int64_t)plane.width * bytes;
    CopyRows(padded.dst, dstPitch, plane.dst, plane.dstPitch, rowBytes, rowBytes, plane.height);
    return true;
}

}  // namespace

Converter::Converter(const Conversion& conversion, PlainRows plainRows)
    : conversion(conversion), plainRows(plainRows), kernels(&KernelsFor(conversion.isa)) {
    if (conversion.depth.Reduced()) MakeThresholds(conversion.depth.Shift(), conversion.depth.dither, thresholds);
}

// Level 3 reduces each row as soon as it is complete, while it is still in
// cache (at 8 bits from one 16-bit row of the scratch memory that every row
// is written to); the other levels reduce the converted plane.
bool Converter::ConvertPlane(const Plane& given, Scratch& scratch) const {
    // The samples are as deep as creation found the source, whichever host
    // laid the plane out.
    Plane plane = given;
    plane.depth = conversion.input;
    if (conversion.settings.debug || !conversion.depth.Reduced()) return ConvertPlaneAt16(plane, scratch);
    if (plane.width <= 0 || plane.height <= 0) return true;
    const bool rowByRow = conversion.level == Level::kVector;
    Plane wide = plane;
    if (conversion.depth.bits == 8) {
        const int64_t rowBytes = Align16((int64_t)plane.width * 2);
        if (!scratch.wideRows.Reserve((uint64_t)rowBytes * (rowByRow ? 1 : (uint64_t)plane.height))) return false;
        wide.dst = scratch.wideRows.Base();
        wide.dstPitch = rowByRow ? 0 : (int)rowBytes;
    }
    if (rowByRow) {
        const Reduction reduction = {this, &wide, &plane};
        const RowDone done = {[](void* context, uint32_t y) {
                                  const Reduction& r = *(const Reduction*)context;
                                  r.converter->ReduceRow(*r.wide, *r.plane, y);
                              },
                              (void*)&reduction};
        return ConvertVectorPlane(wide, conversion.settings, scratch, *kernels, &done);
    }
    if (!ConvertPlaneAt16(wide, scratch)) return false;
    for (int y = 0; y < plane.height; ++y) ReduceRow(wide, plane, (uint32_t)y);
    return true;
}

// The vector kernels need SSE4.1, which only a converter of level 3 is sure
// of; the others reduce with the scalar twin.
void Converter::ReduceRow(const Plane& wide, const Plane& plane, uint32_t y) const {
    const uint16_t* values = (const uint16_t*)wide.DestinationRow(y);
    const uint32_t shift = conversion.depth.Shift(), W = (uint32_t)plane.width;
    const RowKernels& k = conversion.level == Level::kVector ? *kernels : kScalarKernels;
    if (conversion.depth.dither == Dither::kDiffusion) return k.diffuseRow(values, W, shift, plane.DestinationRow(y));
    k.reduceRow(values, W, shift, thresholds + (y % kMatrixSide) * kMatrixSide, plane.DestinationRow(y));
}

bool Converter::ConvertPlaneAt16(const Plane& plane, Scratch& scratch) const {
    switch (conversion.level) {
    case Level::kPlain:
        return plainRows == PlainRows::kHosts ? ConvertPlainPlane(plane, conversion.settings, scratch)
                                              : ConvertPlanePadded(plane, conversion.settings, scratch);
    case Level::kStreaming: return ConvertStreamingPlane(plane, conversion.settings, scratch);
    case Level::kVector: return ConvertVectorPlane(plane, conversion.settings, scratch, *kernels);
    }
    return false;
}

const char* Converter::Isa() const { return conversion.level == Level::kVector ? kernels->isa : ""; }

}  // namespace bitgrade
