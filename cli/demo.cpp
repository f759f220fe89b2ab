#include "demo.h"

#include <spng.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "y4m.h"

namespace cli {

namespace {

// Luma: a gentle ramp over 64 levels, so 8 bits leave bands about 10 pixels
// wide, and a hard-edged disc that moves across it.
uint8_t DemoLuma(int x, int y, int frame, int width, int height) {
    const double cx = width * (0.2 + 0.02 * frame), cy = height * 0.5, radius = height * 0.18;
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < radius * radius) return 225;
    return (uint8_t)std::floor(40.0 + 60.0 * x / width + 4.0 * y / height);
}

// Output values stretched so that 8-bit bands become visible steps.
uint8_t Stretch(double value16) {
    const double lo = 40 * 256.0, hi = 104 * 256.0;
    return (uint8_t)std::clamp((value16 - lo) * 255.0 / (hi - lo), 0.0, 255.0);
}

std::vector<uint8_t> ConvertFirst(const DemoClip& clip, FilterArgs args) {
    FrameEngine engine(clip.width, clip.height, args, 1);
    std::vector<uint8_t> frame = clip.packed[0];
    engine.Submit(frame);
    std::vector<uint8_t> out;
    engine.Collect(out);
    return out;
}

}  // namespace

DemoClip MakeDemoClip() {
    DemoClip clip{640, 360, 24, {}};
    const int w = clip.width, h = clip.height;
    for (int f = 0; f < clip.frames; ++f) {
        std::vector<uint8_t> frame((size_t)w * h * 3 / 2);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) frame[(size_t)y * w + x] = DemoLuma(x, y, f, w, h);
        uint8_t* u = frame.data() + (size_t)w * h;
        uint8_t* v = u + (size_t)w * h / 4;
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w / 2; ++x) {
                u[(size_t)y * w / 2 + x] = (uint8_t)(120 + 12 * x / (w / 2));
                v[(size_t)y * w / 2 + x] = (uint8_t)(136 - 10 * y / (h / 2));
            }
        clip.packed.push_back(std::move(frame));
    }
    return clip;
}

void WriteGreyPng(const std::string& path, int width, int height, const std::vector<uint8_t>& pixels) {
    const std::string partial = path + ".partial";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (!file) throw y4m::Error("cannot write '" + path + "'");
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_ihdr ihdr = {};
    ihdr.width = (uint32_t)width;
    ihdr.height = (uint32_t)height;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
    int error = spng_set_png_file(ctx, file);
    if (!error) error = spng_set_ihdr(ctx, &ihdr);
    if (!error) error = spng_encode_image(ctx, pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    spng_ctx_free(ctx);
    const bool closed = std::fclose(file) == 0;
    if (error || !closed || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        throw y4m::Error("cannot write '" + path + "'" + (error ? std::string(": ") + spng_strerror(error) : ""));
    }
}

void RunDemo(const std::string& pngPath, const std::string& y4mPath, const FilterArgs& args, int threads, bool quiet) {
    const DemoClip clip = MakeDemoClip();
    const int w = clip.width, h = clip.height, gap = 8;
    FilterArgs mapArgs = args;
    mapArgs.debug = true;
    FilterArgs valueArgs = args;
    valueArgs.debug = false;
    const std::vector<uint8_t> values = ConvertFirst(clip, valueArgs);
    const std::vector<uint8_t> map = ConvertFirst(clip, mapArgs);

    // Input | output | map, luma only.
    const int pw = 3 * w + 2 * gap;
    std::vector<uint8_t> picture((size_t)pw * h, 255);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t at = (size_t)y * w + x;
            const double out = values[2 * at] + 256.0 * values[2 * at + 1];
            picture[(size_t)y * pw + x] = Stretch(clip.packed[0][at] * 256.0);
            picture[(size_t)y * pw + w + gap + x] = Stretch(out);
            picture[(size_t)y * pw + 2 * (w + gap) + x] = map[at];
        }
    WriteGreyPng(pngPath, pw, h, picture);
    if (!quiet)
        std::fprintf(stderr,
                     "bitgrade: wrote %s: the 8-bit input, the 16-bit output (both contrast-stretched, so the "
                     "input's bands show) and the map (black averaged, grey flat, white edge)\n",
                     pngPath.c_str());
    if (y4mPath.empty()) return;

    FILE* out = std::fopen(y4mPath.c_str(), "wb");
    if (!out) throw y4m::Error("cannot write '" + y4mPath + "'");
    y4m::StreamHeader header;
    header.width = w;
    header.height = h;
    header.tags = {"F24:1", "Ip", "A1:1"};
    std::fputs(y4m::OutputHeader(header, args.debug).c_str(), out);
    FrameEngine engine(w, h, args, threads);
    for (std::vector<uint8_t> frame : clip.packed) engine.Submit(frame);
    for (std::vector<uint8_t> converted; engine.Collect(converted);) {
        std::fputs("FRAME\n", out);
        std::fwrite(converted.data(), 1, converted.size(), out);
    }
    if (std::fclose(out) != 0) throw y4m::Error("cannot write '" + y4mPath + "'");
    if (!quiet) std::fprintf(stderr, "bitgrade: wrote %s (%d frames)\n", y4mPath.c_str(), clip.frames);
}

}  // namespace cli
