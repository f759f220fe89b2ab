// Pictures, frames and filter calls for the tests, on the native host.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <vector>

#include "convert/converter.h"
#include "native_host/native_host.h"
#include "plugin/cpp_plugin.h"

namespace testing_support {

// A plane's or a picture's size, as test parameters print it: 64x40.
struct Size {
    int width, height;
};
inline void PrintTo(const Size& size, std::ostream* os) { *os << size.width << "x" << size.height; }

// One 8-bit plane, tightly packed.
struct Plane {
    int width = 0, height = 0;
    std::vector<uint8_t> samples;
    uint8_t& at(int x, int y) { return samples[(size_t)y * width + x]; }
    uint8_t at(int x, int y) const { return samples[(size_t)y * width + x]; }
};

Plane MakePlane(int width, int height, const std::function<int(int x, int y)>& sample);

// Generators shared by many tests: a banded gradient with a sharp object,
// noise, steps, the extreme levels, a constant; each is deterministic in its
// seed.
Plane Gradient(int width, int height, int seed);
Plane Noise(int width, int height, int seed, int lo = 0, int hi = 255);
Plane Steps(int width, int height, int seed);
Plane Constant(int width, int height, int level);
// Stripes a few rows high of 0, 1, 254 and 255, with neighbouring levels and
// the other extremes sprinkled in: flat runs of the extreme levels that meet
// both sides of the plane, where padding and clamping faults show.
Plane Extremes(int width, int height, int seed);
Plane Structured(int kind, int width, int height, int seed);  // kind 0..4: the five above
const int kStructuredKinds = 5;

// A picture of one of the core's layouts; a grey one's u and v are empty.
struct Picture {
    Plane y, u, v;
    bitgrade::Layout layout = bitgrade::kLayout420;
};
// A picture whose chroma planes come from the same generator.
Picture MakePicture(int width, int height, const std::function<Plane(int w, int h)>& generator,
                    bitgrade::Layout layout = bitgrade::kLayout420);

// Copies a plane into a frame's plane, whatever its pitch.
void WritePlane(const PVideoFrame& frame, int plane, const Plane& samples);
PVideoFrame FrameOf(native_host::Environment& env, const Picture& picture, int pixelType = VideoInfo::CS_YV12);
PClip ClipOf(native_host::Environment& env, const Picture& picture, int pixelType = VideoInfo::CS_YV12);

// The visible 16-bit samples (or map bytes) of one output plane.
std::vector<uint16_t> Read16(const PVideoFrame& frame, int plane, int width, int height);
std::vector<uint8_t> Read8(const PVideoFrame& frame, int plane, int width, int height);

// The processor the tests create filters for: this one's, with the vector
// converter's instruction set forced by BITGRADE_ISA=sse41 or avx2.
bitgrade::Processor TestProcessor();

struct Args {
    int sseopt = 1, span = 3, ythr = 1, cthr = 1;
    bool debug = false;
    int maxSpan = 0;  // the newer hosts' adaptive mode; off
    // The newer hosts' output depth, and the depth the bands were made at (0:
    // the input's default).
    bitgrade::OutputDepth depth = bitgrade::OutputDepth();
    int bands = 0;
    bool plateaus = false;  // the newer hosts' plateaus mode
};
// Bitgrade(clip, sseopt, span, ythr, cthr, debug), called as a script would.
AVSValue CallBitgrade(native_host::Environment& env, const PClip& clip, const Args& args);

// Every visible output sample of frame 0, the three planes one after another
// (map bytes widened to 16 bits in debug mode; no chroma then).
std::vector<uint16_t> Convert(native_host::Environment& env, const Picture& picture, const Args& args);

// The same through the core's Converter on packed planes, as every newer
// host converts (the command, AviSynth+'s plain-C plugin, VapourSynth): at
// every width, and level 1 on zero-padded rows of its own. sseopt 0 is the
// processor's level.
std::vector<uint16_t> ConvertInCore(const Picture& picture, const Args& args);

// A picture of samples deeper than 8 bits, in 16-bit words: Y, U and V as
// a Picture of that layout lays them out.
struct DeepPicture {
    int width, height;
    bitgrade::Layout layout;
    int bits;
    std::vector<uint16_t> samples;  // the planes, packed one after another
};
// An 8-bit picture's samples times 2^(bits - 8), as a deeper copy of it.
DeepPicture Scaled(const Picture& picture, int bits);
// A picture of any `bits`-deep samples drawn by sample(x, y, plane).
DeepPicture MakeDeepPicture(int width, int height, bitgrade::Layout layout, int bits,
                            const std::function<int(int x, int y, int plane)>& sample);

// Every output sample of a deeper picture (or an 8-bit one in words) through
// the core's Converter, as ConvertInCore gives them (codes at the output's
// depth, or the map).
std::vector<uint16_t> ConvertDeepInCore(const DeepPicture& picture, const Args& args);

// The windows of the rule, written out directly for a model to hold a
// converter against: every pixel of a W x H plane of unsmoothed `values`
// whose (2r.x+1) x (2r.y+1) window fits the plane and holds at most
// `threshold` edges takes the window's mean (and is marked in `averaged`,
// if given); any other keeps its value.
std::vector<uint16_t> SmoothedByWindows(const std::vector<uint16_t>& values, const std::vector<bool>& edges, int W,
                                        int H, bitgrade::Radii r, int threshold, std::vector<bool>* averaged = nullptr);

// The classes of the rule written out for one W x H plane of `bits`-deep
// samples whose bands were made at `bands`, as the documentation states it:
// with L = 2^(bits - bands) and d = neighbour - pixel, |d| < L/2 is equal,
// below 3L/2 a level higher or lower, beyond that far; a far neighbour, or a
// higher and a lower one, make an edge, as do the plane's borders; a flat
// pixel's value is sample * 2^(16 - bits) + trunc(fraction * 2^(16 - bands)
// / 256), any other's sample * 2^(16 - bits).
struct Classes {
    std::vector<uint16_t> values;
    std::vector<bool> edges;
};
Classes ClassifiedByRule(const uint16_t* samples, int W, int H, int bits, int bands);

// The converter levels, by their names.
const int kPlain = 1, kStreaming = 2, kVector = 3;

// One plane through a level's plane function, as a luma plane: level 1's
// own, on the caller's rows as the version 2.5 plugin runs it, the others
// through the Converter. The source
// rows lie srcPitch apart (0: the plane's width); the destination holds
// dstSamples per row (0: the plane's width), filled with 0xEE beforehand.
// Returns dstSamples entries per row: 16-bit values, or map bytes in debug
// mode.
std::vector<uint16_t> RunPlane(int level, const Plane& plane, int span, int threshold, bool debug = false,
                               int srcPitch = 0, int dstSamples = 0);

inline uint16_t At(const std::vector<uint16_t>& out, int width, int x, int y) { return out[(size_t)y * width + x]; }

// Converts planes of one geometry after another with the same scratch
// memory, against fresh scratch memory for each.
void CheckScratchFollowsEveryPlaneGeometry(int level);

}  // namespace testing_support
