// What every converter takes: the script's settings, one plane as plain
// pointers and pitches, and the scratch memory its caller owns. Nothing
// here knows a host.
#pragma once

#include "runtime.h"

namespace bitgrade {

// log2 of a plane's subsampling across and down: 0 and 0 for luma. Both are
// always given (or neither), so that no lone number is taken for one axis.
struct Subsampling {
    constexpr Subsampling() : x(0), y(0) {}
    constexpr Subsampling(int x, int y) : x(x), y(y) {}
    int x, y;
};

// A window's radii across and down: it is (2x + 1) wide and (2y + 1) high.
struct Radii {
    uint32_t x, y;
    bool operator==(const Radii& other) const { return x == other.x && y == other.y; }
    bool operator!=(const Radii& other) const { return !(*this == other); }
};

// Bytes of a sample of `bits` (8 to 16) in a host's planes and in
// YUV4MPEG2: a byte, or a 16-bit little-endian word.
constexpr int BytesPerSample(int bits) { return bits > 8 ? 2 : 1; }

// A plane's samples: `bits` each (8 to 16), and the depth `bands` (8 to
// bits) at which its bands were made, so that one level of the picture is
// 2^(bits - bands) codes. Both are always given, as for Subsampling.
struct SampleDepth {
    constexpr SampleDepth() : bits(8), bands(8) {}
    constexpr SampleDepth(int bits, int bands) : bits(bits), bands(bands) {}
    int bits, bands;
    int Bytes() const { return BytesPerSample(bits); }
};

// The script function's settings, with its defaults. Luma uses ythr, chroma
// cthr. A plane's window radii are the span shifted right by the plane's
// subsampling on each axis, so that chroma windows cover the picture area of
// luma's: the whole span for luma and 4:4:4 chroma, half on both axes for
// 4:2:0 chroma, half across for 4:2:2 (read as unsigned, so that a negative
// span gives radii too large for any plane).
struct Settings {
    int span = 3, ythr = 1, cthr = 1;
    bool debug = false;
    // The adaptive mode's widest window: on only when given above 0 and
    // above span, so that the unset 0 never turns a negative span adaptive.
    int maxSpan = 0;
    // The plateaus mode: every sample that no window wider than the
    // narrowest averages takes the mean of its taps instead (taps.h).
    bool plateaus = false;

    Radii RadiiOf(Subsampling s) const { return RadiiOf(span, s); }
    int Threshold(bool luma) const { return luma ? ythr : cthr; }
    bool Adaptive() const { return maxSpan > 0 && maxSpan > span; }

    static Radii RadiiOf(int span, Subsampling s) { return {(uint32_t)span >> s.x, (uint32_t)span >> s.y}; }
};

// The widest max-span: every rung's window then fits the narrow totals of
// the streaming and vector converters (kNarrowMaxRadius, which says so).
const int kWidestMaxSpan = 127;

// The widest span of the plateaus mode: its furthest taps, four spans out,
// then lie within a max-span of the sample.
const int kWidestTapsSpan = kWidestMaxSpan / 4;

// The adaptive mode's spans, widest first: maxSpan, maxSpan / 2, ... while
// they stay above span (and above 0), then span itself. A sample takes the
// output of the widest of them whose window averages it, and otherwise
// span's output. Off, it is span alone.
struct Rungs {
    static const int kMost = 8;  // 127, 63, 31, 15, 7, 3, 1 and span
    int count;
    int spans[kMost];

    // Creation refuses a max-span above kWidestMaxSpan, whose rungs would
    // not fit kMost.
    explicit Rungs(const Settings& s) : count(0) {
        if (s.maxSpan > kWidestMaxSpan) ReportCheckFailure("maxSpan <= kWidestMaxSpan", __FILE__, __LINE__);
        if (s.Adaptive())
            for (int m = s.maxSpan; m > s.span && m > 0; m /= 2) spans[count++] = m;
        spans[count++] = s.span;
    }
    // The radii of rung k in a plane of that subsampling.
    Radii RadiiOf(int k, Subsampling s) const { return Settings::RadiiOf(spans[k], s); }
};

// One plane: `height` rows of `width` samples, `srcPitch` bytes apart (bytes,
// or 16-bit words deeper than 8 bits, as `depth` says), into rows
// `dstPitch` bytes apart of 16-bit little-endian samples, or of map bytes in
// debug mode, subsampled as `subsampling` says.
struct Plane {
    const uint8_t* src;
    int srcPitch;
    uint8_t* dst;
    int dstPitch;
    int width, height;
    bool luma;
    Subsampling subsampling;
    SampleDepth depth = SampleDepth();

    const uint8_t* SourceRow(int64_t y) const { return src + y * srcPitch; }
    // Samples of a source row within its pitch, up to the width: levels 2
    // and 3 repeat the last of them past it.
    int ReadableSamples() const {
        const int inPitch = srcPitch / depth.Bytes();
        return inPitch < width ? inPitch : width;
    }
    uint8_t* DestinationRow(int64_t y) const { return dst + y * dstPitch; }
};

// How a picture's planes lie: Y alone, or Y, U and V with the chroma
// planes subsampled.
struct Layout {
    int planes;
    Subsampling chroma;
    bool operator==(const Layout& o) const {
        return planes == o.planes && chroma.x == o.chroma.x && chroma.y == o.chroma.y;
    }
};
constexpr Layout kLayout420 = {3, {1, 1}}, kLayout422 = {3, {1, 0}}, kLayout444 = {3, {0, 0}}, kLayout411 = {3, {2, 0}},
                 kLayoutGrey = {1, {0, 0}};

// A picture's planes, Y, then U and V unless it is grey.
struct Frame {
    Plane planes[3];
    int count = 3;
};

// Samples in a picture of that layout and size: luma and the chroma planes.
inline uint64_t PictureSamples(Layout layout, int width, int height) {
    const uint64_t chroma = (uint64_t)(width >> layout.chroma.x) * (uint64_t)(height >> layout.chroma.y);
    return (uint64_t)width * (uint64_t)height + (uint64_t)(layout.planes - 1) * chroma;
}

// A picture whose planes lie one after another without padding, as raw and
// YUV4MPEG2 frames lie, of `inBytes` bytes a sample, into the same layout of
// `bytes` (1 or 2) bytes a sample.
inline Frame PackedFrame(const uint8_t* in, uint8_t* out, int width, int height, int bytes, Layout layout = kLayout420,
                         int inBytes = 1) {
    const int cw = width >> layout.chroma.x, ch = height >> layout.chroma.y;
    const size_t luma = (size_t)width * height, chroma = (size_t)cw * ch;
    Frame frame;
    frame.count = layout.planes;
    frame.planes[0] = Plane{in, width * inBytes, out, width * bytes, width, height, true, {}};
    for (int p = 1; p < frame.count; ++p) {
        const size_t at = luma + (size_t)(p - 1) * chroma;
        frame.planes[p] =
            Plane{in + at * inBytes, cw * inBytes, out + at * bytes, cw * bytes, cw, ch, false, layout.chroma};
    }
    return frame;
}

// One owned, 16-byte aligned block that grows to the largest request and
// never shrinks, so that once the largest plane has been seen no further
// allocation takes place.
class AlignedBlock {
public:
    AlignedBlock() : block(nullptr), capacity(0) {}
    ~AlignedBlock() { FreeAligned16(block); }
    AlignedBlock(const AlignedBlock&) = delete;
    AlignedBlock& operator=(const AlignedBlock&) = delete;

    // Makes room for `bytes`; false when that is more than this process can
    // address or allocate (the old block is then kept).
    bool Reserve(uint64_t bytes) {
        if (bytes <= capacity) return true;
        if (bytes > (uint64_t)(size_t)-1 / 2) return false;
        void* grown = AllocAligned16((size_t)bytes);
        if (!grown) return false;
        FreeAligned16(block);
        block = grown;
        capacity = bytes;
        return true;
    }
    uint8_t* Base() const { return (uint8_t*)block; }

private:
    void* block;
    uint64_t capacity;  // bytes
};

// Working memory of one conversion at a time: the block from which a
// converter carves its buffers for each plane (the carving is redone for
// every plane, so no plane geometry or order can overrun a buffer), and the
// padded rows that level 1 is given in the newer hosts, and the 16-bit rows
// of output brought down to 8 bits. Conversions in flight at once each need
// their own.
class Scratch : public AlignedBlock {
public:
    AlignedBlock paddedRows, wideRows;
};

}  // namespace bitgrade
