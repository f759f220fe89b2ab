// One frame's conversion as the command's options ask for it: the core's
// converter, chosen and checked as a script call chooses it, or for
// --unfiltered no filter at all. Frames are packed planes, as YUV4MPEG2
// frames are; many threads may convert with one filter, each with its own
// Workspace.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "convert/converter.h"
#include "y4m.h"

namespace cli {

// The script function's arguments, with its defaults, and the processor the
// converter is chosen for (the vector converter's instruction set can be
// forced).
struct FilterArgs {
    int sseopt = 0;
    bitgrade::Settings settings;
    bitgrade::OutputDepth depth;  // the map of --debug is 8-bit at every depth
    bitgrade::Processor processor = bitgrade::DetectProcessor();
    // For benchmarks only: no filter, every sample written as sample * 256,
    // the floor of what the program costs around the filter.
    bool unfiltered = false;
};

// A filter that the arguments cannot make: the filter's own message.
class CreationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class FrameFilter {
public:
    // Throws CreationError when a script call with these arguments would fail.
    FrameFilter(int width, int height, const FilterArgs& args);

    size_t InputBytes() const { return y4m::Frame420Bytes(width, height); }
    size_t OutputBytes() const { return InputBytes() * SampleBytes(); }
    // Bytes of an output sample: 1 for the map and 8-bit codes, else 2.
    int SampleBytes() const { return settings.debug || depth.bits == 8 ? 1 : 2; }
    // The level the filter runs (after detection), and for level 3 the
    // instruction set of its kernels; 0 and "" unfiltered.
    int Level() const { return converter ? (int)converter->Chosen() : 0; }
    const char* Isa() const { return converter ? converter->Isa() : ""; }

    // One frame, InputBytes() into OutputBytes(), with the scratch memory of
    // the thread that converts it; false when the converter's buffers cannot
    // be had.
    bool Convert(const uint8_t* in, uint8_t* out, bitgrade::Scratch& scratch) const;

private:
    int width, height;
    bitgrade::Settings settings;
    bitgrade::OutputDepth depth;
    std::optional<bitgrade::Converter> converter;  // none unfiltered
};

}  // namespace cli
