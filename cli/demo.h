// The built-in example: a banded 8-bit gradient clip with a sharp object in
// it, converted, and shown as one picture.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame_filter.h"

namespace cli {

struct DemoClip {
    int width, height, frames;
    std::vector<std::vector<uint8_t>> packed;  // 8-bit 4:2:0 frames
};

DemoClip MakeDemoClip();

// A picture that could not be written.
class PngError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes an 8-bit greyscale PNG; throws PngError on failure, leaving no
// partial file behind.
void WriteGreyPng(const std::string& path, int width, int height, const std::vector<uint8_t>& pixels);

// Converts the demo clip; writes a PNG of a magnified crop of frame 0 (input,
// output, decision map, one row's profile, under a caption) and, when
// y4mPath is not empty, the whole converted clip.
void RunDemo(const std::string& pngPath, const std::string& y4mPath, const FilterArgs& args, bool quiet);

}  // namespace cli
