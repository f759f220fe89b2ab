// Samples deeper than 8 bits. A deeper copy of an 8-bit picture (each
// sample times 2^(bits - 8)) whose bands are 8-bit ones gives exactly the
// 8-bit picture's output, at every level, layout, width, window and output
// depth; genuine deeper pictures follow the rule as a scalar model of it
// states it, and the converters agree on them.
#include <cmath>
#include <random>

#include "convert/plane_common.h"
#include "test_support.h"

using namespace testing_support;
using bitgrade::Dither;
using bitgrade::Layout;
using bitgrade::OutputDepth;

namespace {

const Layout kLayouts[] = {bitgrade::kLayout420, bitgrade::kLayout422, bitgrade::kLayout444, bitgrade::kLayoutGrey};

std::string Named(const Args& a) {
    return "level " + std::to_string(a.sseopt) + " span " + std::to_string(a.span) + " maxspan " +
           std::to_string(a.maxSpan) + (a.debug ? " debug" : "") + " depth " + std::to_string(a.depth.bits) +
           " dither " + std::to_string((int)a.depth.dither);
}

TEST(Deep, ACopyOfAnEightBitPictureGivesItsOutput) {
    std::vector<Args> settings;
    for (int level : {0, 1, 2, 3})
        for (const Args& a : {Args{level, 3, 1, 1, false}, Args{level, 5, 2, 7, true}, Args{level, -1, 1, 1, false},
                              Args{level, 2, 3, 1, false, level == 1 ? 0 : 16}, Args{level, 9, 40, 3, false}})
            settings.push_back(a);
    for (OutputDepth depth :
         {OutputDepth{10, Dither::kOrdered}, OutputDepth{8, Dither::kDiffusion}, OutputDepth{12, Dither::kNone}}) {
        Args a{3, 3, 1, 1, false, 12};
        a.depth = depth;
        settings.push_back(a);
    }
    int n = 0;
    for (Layout layout : kLayouts) {
        for (Size size : {Size{36, 18}, Size{100, 23}}) {
            const Picture picture = MakePicture(
                size.width, size.height, [&](int w, int h) { return Structured(n % kStructuredKinds, w, h, n); },
                layout);
            ++n;
            for (Args a : settings) {
                const std::vector<uint16_t> eight = ConvertInCore(picture, a);
                a.bands = 8;
                for (int bits : {9, 10, 12, 14, 16})
                    ASSERT_EQ(ConvertDeepInCore(Scaled(picture, bits), a), eight)
                        << bits << " bits, " << Named(a) << " " << size.width << "x" << size.height;
            }
        }
    }
}

// 14- and 16-bit clips are taken as copies of 8-bit sources unless the script
// says otherwise; up to 12 bits the bands are the clip's own.
TEST(Deep, TheBandsDefaultToTheClipsDepthUpTo12BitsAnd8Beyond) {
    const Picture picture = MakePicture(64, 32, [](int w, int h) { return Gradient(w, h, 2); });
    Args eight{3, 3, 1, 1, false};
    eight.bands = 8;
    for (int bits : {9, 10, 12, 14, 16}) {
        const DeepPicture deep = Scaled(picture, bits);
        const bool copies = bits > 12;
        EXPECT_EQ(ConvertDeepInCore(deep, Args{3, 3, 1, 1, false}) == ConvertDeepInCore(deep, eight), copies) << bits;
    }
    for (int bands : {7, 11}) {
        Args a{3, 3, 1, 1, false};
        a.bands = bands;
        EXPECT_THROW(ConvertDeepInCore(Scaled(picture, 10), a), std::invalid_argument) << bands;
    }
}

// The rule for one grey plane: its classes, and a window that fits and
// holds at most `threshold` edges takes its mean.
std::vector<uint16_t> DeepModel(const DeepPicture& picture, int bands, int span, int threshold) {
    const int W = picture.width, H = picture.height;
    const Classes c = ClassifiedByRule(picture.samples.data(), W, H, picture.bits, bands);
    return SmoothedByWindows(c.values, c.edges, W, H, {(uint32_t)span, (uint32_t)span}, threshold);
}

// Gentle gradients a few levels deep with noise of about a level, the
// extremes 0, 1, 2^bits - 2 and 2^bits - 1 in runs at the plane's edges,
// and here and there any code.
DeepPicture NoisyGradient(int width, int height, Layout layout, int bits, int bands, uint32_t seed) {
    std::mt19937 rng(seed);
    const int top = (1 << bits) - 1, level = 1 << (bits - bands);
    return MakeDeepPicture(width, height, layout, bits, [&](int x, int y, int p) {
        if (y == 0 || x < 2) return (int)(rng() % 2 ? rng() % 2 : top - rng() % 2);
        if (rng() % 50 == 0) return (int)(rng() % (top + 1));
        return (top / 3 + p * 7) + (x + 2 * y) * level / 9 + (int)(rng() % (2 * level + 1)) - level;
    });
}

TEST(Deep, GreyPlanesFollowTheRule) {
    for (auto [bits, bands] : {std::pair{10, 10}, {10, 8}, {12, 9}, {16, 8}, {16, 16}, {9, 9}}) {
        for (int span : {1, 3, 9}) {
            const DeepPicture picture = NoisyGradient(53, 31, bitgrade::kLayoutGrey, bits, bands, (uint32_t)span);
            const std::vector<uint16_t> model = DeepModel(picture, bands, span, 1);
            for (int level : {2, 3}) {
                Args a{level, span, 1, 1, false};
                a.bands = bands;
                EXPECT_EQ(ConvertDeepInCore(picture, a), model) << bits << "/" << bands << " span " << span;
            }
        }
    }
}

// The streaming and vector converters agree on deeper pictures of every
// layout, with the adaptive window, in debug mode, at every output depth.
// (Run again with the SSE4.1 kernels.)
class DeepSameAsStreaming : public ::testing::TestWithParam<int> {};

TEST_P(DeepSameAsStreaming, OnNoisyGradients) {
    const int bits = GetParam();
    int n = 0;
    for (Layout layout : kLayouts) {
        for (Size size : {Size{36, 20}, Size{132, 17}, Size{260, 9}}) {
            for (int bands : {8, std::min(bits, 12)}) {
                const DeepPicture picture =
                    NoisyGradient(size.width, size.height, layout, bits, bands, (uint32_t)(n++ * 31 + bits));
                for (Args a : {Args{3, 3, 1, 1, false}, Args{3, 2, 3, 2, false, 24}, Args{3, 4, 1, 1, true},
                               Args{3, 7, 300, 5, false}}) {
                    a.bands = bands;
                    for (OutputDepth depth : {OutputDepth{16, Dither::kOrdered}, OutputDepth{10, Dither::kDiffusion}}) {
                        a.depth = depth;
                        Args streaming = a;
                        streaming.sseopt = 2;
                        ASSERT_EQ(ConvertDeepInCore(picture, a), ConvertDeepInCore(picture, streaming))
                            << bits << "/" << bands << " " << Named(a) << " " << size.width << "x" << size.height
                            << " layout " << layout.planes << ":" << layout.chroma.x << "," << layout.chroma.y;
                    }
                }
            }
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Bits, DeepSameAsStreaming, ::testing::Values(9, 10, 12, 14, 16));

}  // namespace
