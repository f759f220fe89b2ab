// One frame's conversion as the command's options ask for it: the core's
// converter, or for --unfiltered no filter at all. Frames are packed planes,
// as YUV4MPEG2 frames are; many threads may convert with one filter, each
// with its own scratch memory.
#pragma once

#include <cstdint>
#include <optional>

#include "convert/converter.h"
#include "y4m.h"

namespace cli {

// The conversion the options asked for, decided as a script call decides
// it; for benchmarks, unfiltered, no filter at all: every sample written as
// sample * 256, the floor of what the program costs around the filter.
struct FilterArgs {
    bitgrade::Conversion conversion;
    bool unfiltered = false;
};

class FrameFilter {
public:
    // The conversion's input depth is the frames' (8 bits unless it says).
    FrameFilter(int width, int height, const FilterArgs& args, bitgrade::Layout layout = bitgrade::kLayout420);

    size_t Samples() const { return (size_t)bitgrade::PictureSamples(layout, width, height); }
    size_t InputBytes() const { return Samples() * (size_t)conversion.input.Bytes(); }
    size_t OutputBytes() const { return Samples() * (size_t)conversion.SampleBytes(); }
    // The level the filter runs (after detection), and for level 3 the
    // instruction set of its kernels; 0 and "" unfiltered.
    int Level() const { return converter ? (int)conversion.level : 0; }
    const char* Isa() const { return converter ? converter->Isa() : ""; }

    // One frame, InputBytes() into OutputBytes(), with the scratch memory of
    // the thread that converts it; false when the converter's buffers cannot
    // be had.
    bool Convert(const uint8_t* in, uint8_t* out, bitgrade::Scratch& scratch) const;

private:
    int width, height;
    bitgrade::Layout layout;
    bitgrade::Conversion conversion;
    std::optional<bitgrade::Converter> converter;  // none unfiltered
};

}  // namespace cli
