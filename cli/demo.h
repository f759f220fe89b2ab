// The built-in example: a banded 8-bit gradient clip with a sharp object in
// it, converted, and shown as one picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_engine.h"

namespace cli {

struct DemoClip {
    int width, height, frames;
    std::vector<std::vector<uint8_t>> packed;  // 8-bit 4:2:0 frames
};

DemoClip MakeDemoClip();

// Writes an 8-bit greyscale PNG; throws y4m::Error on failure, leaving no
// partial file behind.
void WriteGreyPng(const std::string& path, int width, int height, const std::vector<uint8_t>& pixels);

// Converts the demo clip; writes the side-by-side PNG of frame 0 and, when
// y4mPath is not empty, the whole converted clip.
void RunDemo(const std::string& pngPath, const std::string& y4mPath, const FilterArgs& args, int threads, bool quiet);

}  // namespace cli
