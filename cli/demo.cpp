#include "demo.h"

#include <spng.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "output.h"
#include "y4m.h"

namespace cli {

namespace {

// Luma: a ramp over 80 levels, so that 8 bits leave bands 8 pixels wide (a
// default window spans 7), and a hard-edged disc that moves across it.
uint8_t DemoLuma(int x, int y, int frame, int width, int height) {
    const double cx = width * (0.2 + 0.02 * frame), cy = height * 0.5, radius = height * 0.18;
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < radius * radius) return 225;
    return (uint8_t)(60 + 80 * x / width);
}

// The part of frame 0 that the picture shows, magnified: 20 levels of the
// ramp beside the disc's right edge.
const int kCropX = 160, kCropY = 135, kCropW = 160, kCropH = 90, kZoom = 3;
const int kPanelW = kCropW * kZoom, kPanelH = kCropH * kZoom;
const double kLow = 80 * 256.0, kHigh = 100 * 256.0;

// 16-bit values stretched over the crop's levels, so that each 8-bit band is
// a plainly visible step of about 13 grey levels.
uint8_t Stretch(double value16) { return (uint8_t)std::clamp((value16 - kLow) * 255.0 / (kHigh - kLow), 0.0, 255.0); }

std::vector<uint8_t> ConvertFirst(const DemoClip& clip, const FilterArgs& args) {
    const FrameFilter filter(clip.width, clip.height, args);
    bitgrade::Scratch scratch;
    std::vector<uint8_t> out(filter.OutputBytes());
    if (!filter.Convert(clip.packed[0].data(), out.data(), scratch)) throw std::bad_alloc();
    return out;
}

// A greyscale canvas with a 3x5 pixel font, drawn twice the size.
class Canvas {
public:
    Canvas(int width, int height) : width(width), height(height), pixels((size_t)width * height, 255) {}

    void Set(int x, int y, uint8_t grey) {
        if (x >= 0 && y >= 0 && x < width && y < height) pixels[(size_t)y * width + x] = grey;
    }
    void Fill(int x, int y, int w, int h, uint8_t grey) {
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) Set(x + i, y + j, grey);
    }
    // Upper-case text; other characters show as blanks.
    void Text(int x, int y, const std::string& text) {
        static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789:,-.()=/";
        static const char* const kGlyphs[] = {
            "010101111101101", "110101110101110", "011100100100011", "110101101101110", "111100110100111",
            "111100110100100", "011100101101011", "101101111101101", "111010010010111", "001001001101010",
            "101101110101101", "100100100100111", "101111111101101", "110101101101101", "010101101101010",
            "110101110100100", "010101101110011", "110101110101101", "011100010001110", "111010010010010",
            "101101101101111", "101101101101010", "101101111111101", "101101010101101", "101101010010010",
            "111001010100111", "111101101101111", "010110010010111", "110001010100111", "110001010001110",
            "101101111001001", "111100110001110", "011100111101111", "111001010010010", "111101111101111",
            "111101111001110", "000010000010000", "000000010010100", "000000111000000", "000000000000010",
            "001010010010001", "100010010010100", "000111000111000", "001001010100100"};
        for (size_t k = 0; k < text.size(); ++k) {
            const char* found = std::strchr(kChars, text[k]);
            if (!found || text[k] == '\0') continue;
            const char* glyph = kGlyphs[found - kChars];
            for (int bit = 0; bit < 15; ++bit)
                if (glyph[bit] == '1') Fill(x + (int)k * 8 + bit % 3 * 2, y + bit / 3 * 2, 2, 2, 0);
        }
    }
    // A vertical run between two heights, two pixels wide.
    void Column(int x, int y0, int y1, uint8_t grey) {
        for (int y = std::min(y0, y1); y <= std::max(y0, y1); ++y) Fill(x, y, 2, 1, grey);
    }

    int width, height;
    std::vector<uint8_t> pixels;
};

// One panel: the crop of a plane, magnified, through `grey`.
template <class Grey>
void DrawPanel(Canvas& canvas, int x0, int y0, int planeWidth, Grey grey) {
    for (int y = 0; y < kPanelH; ++y)
        for (int x = 0; x < kPanelW; ++x) {
            const size_t at = (size_t)(kCropY + y / kZoom) * planeWidth + kCropX + x / kZoom;
            canvas.Set(x0 + x, y0 + y, grey(at));
        }
}

// One row of the crop as curves: grey the 8-bit input, black the output.
void DrawProfile(Canvas& canvas, int x0, int y0, int row, const std::vector<double>& input,
                 const std::vector<double>& output) {
    canvas.Fill(x0, y0, kPanelW, kPanelH, 250);
    auto height = [&](double value16) { return y0 + kPanelH - 1 - Stretch(value16) * (kPanelH - 1) / 255; };
    for (const auto& [curve, grey] : {std::pair{&input, (uint8_t)160}, {&output, (uint8_t)0}}) {
        int previous = height((*curve)[0]);
        for (int x = 0; x < kPanelW; x += 2) {
            const int y = height((*curve)[x / kZoom]);
            canvas.Column(x0 + x, previous, y, grey);
            previous = y;
        }
    }
    canvas.Text(x0 + 6, y0 + 6, "ROW " + std::to_string(kCropY + row));
}

// A picture is written beside its file and renamed over it, so that a failed
// write leaves no half picture; a device or pipe (/dev/stdout) is written as
// it stands, since a rename would replace it.
bool WritesInPlace(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Closes a file written through stdio: false when the close or any write
// before it failed (a write that failed midway, on a full disk, may leave
// nothing for the close to fail on).
bool CloseWritten(FILE* file) {
    const bool failed = std::ferror(file) != 0;
    return std::fclose(file) == 0 && !failed;
}

}  // namespace

DemoClip MakeDemoClip() {
    DemoClip clip{640, 360, 24, {}};
    const int w = clip.width, h = clip.height;
    for (int f = 0; f < clip.frames; ++f) {
        std::vector<uint8_t> frame(bitgrade::PictureSamples(bitgrade::kLayout420, w, h));
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
    const bool inPlace = WritesInPlace(path);
    const std::string partial = inPlace ? path : path + ".partial";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (!file) throw PngError("cannot write '" + path + "'");
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
    const bool written = CloseWritten(file);
    if (error || !written || (!inPlace && std::rename(partial.c_str(), path.c_str()) != 0)) {
        if (!inPlace) std::remove(partial.c_str());
        throw PngError("cannot write '" + path + "'" + (error ? std::string(": ") + spng_strerror(error) : ""));
    }
}

void RunDemo(const std::string& pngPath, const std::string& y4mPath, const FilterArgs& args, bool quiet) {
    const DemoClip clip = MakeDemoClip();
    const int w = clip.width, h = clip.height;
    FilterArgs mapArgs = args;
    mapArgs.conversion.settings.debug = true;
    FilterArgs valueArgs = args;
    valueArgs.conversion.settings.debug = false;
    const std::vector<uint8_t> values = ConvertFirst(clip, valueArgs);
    const std::vector<uint8_t> map = ConvertFirst(clip, mapArgs);
    auto input16 = [&](size_t at) { return clip.packed[0][at] * 256.0; };
    auto output16 = [&](size_t at) { return values[2 * at] + 256.0 * values[2 * at + 1]; };

    // A caption, then input | output over map | one row's profile.
    const int gap = 8, label = 16, top = 28;
    Canvas canvas(2 * kPanelW + 3 * gap, top + 2 * (label + kPanelH) + gap);
    canvas.Text(gap, 8, "BITGRADE: 8-BIT BANDS IN, 16-BIT GRADIENT OUT, EDGES KEPT (CROP, 3X, STRETCHED)");
    const int left = gap, right = 2 * gap + kPanelW, upper = top + label, lower = upper + kPanelH + label;
    canvas.Text(left, upper - 13, "8-BIT INPUT");
    DrawPanel(canvas, left, upper, w, [&](size_t at) { return Stretch(input16(at)); });
    canvas.Text(right, upper - 13, "16-BIT OUTPUT");
    DrawPanel(canvas, right, upper, w, [&](size_t at) { return Stretch(output16(at)); });
    canvas.Text(left, lower - 13, "MAP: BLACK AVERAGED, GREY FLAT, WHITE EDGE");
    DrawPanel(canvas, left, lower, w, [&](size_t at) { return map[at]; });
    canvas.Text(right, lower - 13, "ONE ROW: GREY INPUT, BLACK OUTPUT");
    const int row = kCropH * 3 / 4;
    std::vector<double> inputRow, outputRow;
    for (int x = 0; x < kCropW; ++x) {
        const size_t at = (size_t)(kCropY + row) * w + kCropX + x;
        inputRow.push_back(input16(at));
        outputRow.push_back(output16(at));
    }
    DrawProfile(canvas, right, lower, row, inputRow, outputRow);
    WriteGreyPng(pngPath, canvas.width, canvas.height, canvas.pixels);
    if (!quiet)
        std::fprintf(stderr,
                     "bitgrade: wrote %s: a crop of the built-in example, magnified and contrast-stretched: the "
                     "8-bit input's bands, the 16-bit output, the decision map and one row's profile\n",
                     pngPath.c_str());
    if (y4mPath.empty()) return;

    Output out(y4mPath);
    y4m::StreamHeader header;
    header.width = w;
    header.height = h;
    header.tags = {"F24:1", "Ip", "A1:1"};
    out.WriteHeader(y4m::OutputHeader(header, args.conversion.settings.debug, args.conversion.depth.bits));
    const FrameFilter filter(w, h, args);
    bitgrade::Scratch scratch;
    const std::string bare;  // FRAME lines without parameters
    std::vector<uint8_t> frameBytes(bare.size() + 6 + filter.OutputBytes());
    uint8_t* samples = frameBytes.data() + bare.size() + 6;
    for (const std::vector<uint8_t>& frame : clip.packed) {
        if (!filter.Convert(frame.data(), samples, scratch)) throw std::bad_alloc();
        out.WriteFrame(y4m::PutFrameLine(bare, samples), frameBytes.size());
    }
    if (!quiet) std::fprintf(stderr, "bitgrade: wrote %s (%d frames)\n", y4mPath.c_str(), clip.frames);
}

}  // namespace cli
