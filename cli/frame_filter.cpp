#include "frame_filter.h"

namespace cli {

namespace {

// n samples as 16-bit samples, sample << shift, in a loop the compiler
// turns into vector code: the floor that the filter is measured by. Bytes
// take a constant shift, which vectorises best.
template <class Sample>
void Widen(const Sample* from, size_t n, int shift, uint8_t* out) {
    uint16_t* to = (uint16_t*)out;  // output buffers are aligned; samples are little-endian here
    for (size_t i = 0; i < n; ++i) to[i] = (uint16_t)(from[i] << shift);
}
void Widen(const uint8_t* from, size_t n, uint8_t* out) {
    uint16_t* to = (uint16_t*)out;
    for (size_t i = 0; i < n; ++i) to[i] = (uint16_t)(from[i] << 8);
}

}  // namespace

FrameFilter::FrameFilter(int width, int height, const FilterArgs& args, bitgrade::Layout layout)
    : width(width), height(height), layout(layout), conversion(args.conversion) {
    if (!args.unfiltered) converter.emplace(conversion);
}

bool FrameFilter::Convert(const uint8_t* in, uint8_t* out, bitgrade::Scratch& scratch) const {
    const bitgrade::SampleDepth depth = conversion.input;
    if (!converter) {
        if (depth.Bytes() == 1) Widen(in, Samples(), out);
        else Widen((const uint16_t*)in, Samples(), 16 - depth.bits, out);
        return true;
    }
    return converter->ConvertFrame(
        bitgrade::PackedFrame(in, out, width, height, conversion.SampleBytes(), layout, depth.Bytes()), scratch);
}

}  // namespace cli
