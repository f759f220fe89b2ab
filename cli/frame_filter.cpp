#include "frame_filter.h"

namespace cli {

namespace {

// n samples as 16-bit samples, sample << (16 - bits), in a loop the
// compiler turns into vector code: the floor that the filter is measured by.
template <class Sample>
void Widen(const Sample* from, size_t n, int bits, uint8_t* out) {
    uint16_t* to = (uint16_t*)out;  // output buffers are aligned; samples are little-endian here
    for (size_t i = 0; i < n; ++i) to[i] = (uint16_t)(from[i] << (16 - bits));
}

}  // namespace

FrameFilter::FrameFilter(int width, int height, const FilterArgs& args, bitgrade::Layout layout)
    : width(width), height(height), layout(layout), conversion(args.conversion) {
    if (!args.unfiltered) converter.emplace(conversion);
}

bool FrameFilter::Convert(const uint8_t* in, uint8_t* out, bitgrade::Scratch& scratch) const {
    const bitgrade::SampleDepth depth = conversion.input;
    if (!converter) {
        if (depth.Bytes() == 1) Widen(in, Samples(), depth.bits, out);
        else Widen((const uint16_t*)in, Samples(), depth.bits, out);
        return true;
    }
    return converter->ConvertFrame(
        bitgrade::PackedFrame(in, out, width, height, conversion.SampleBytes(), layout, depth.Bytes()), scratch);
}

}  // namespace cli
