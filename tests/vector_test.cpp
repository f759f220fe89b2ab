// The vector converter (level 3): exactly level 2's output at every width,
// for every threshold below the row-end busy count 255 * (2r+1), and its own
// rules beyond: row-end columns smoothed only above that count, and the
// threshold test made in 16 bits.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <set>

#include "test_support.h"

using namespace testing_support;
using native_host::Environment;

namespace {

class SameAsStreaming : public ::testing::TestWithParam<Size> {};

// Whole frames, all planes, both modes, thresholds 0..32766 that stay below
// the row-end busy count.
TEST_P(SameAsStreaming, OnRandomAndStructuredFrames) {
    const Size g = GetParam();
    Environment env;
    for (int kind = 0; kind < kStructuredKinds; ++kind) {
        const Picture picture =
            MakePicture(g.width, g.height, [&](int w, int h) { return Structured(kind, w, h, kind + g.width); });
        for (int span : {0, 1, 3, 6, 9}) {
            for (int threshold : {0, 1, 4, 40, 32766}) {
                const int side = 2 * (span / 2) + 1;  // chroma windows are the smaller ones
                if (threshold + 1 > 255 * side) continue;
                for (bool debug : {false, true}) {
                    const Args level2{2, span, threshold, threshold, debug},
                        level3{3, span, threshold, threshold, debug};
                    ASSERT_EQ(Convert(env, picture, level3), Convert(env, picture, level2))
                        << "kind " << kind << " span " << span << " threshold " << threshold << " debug " << debug;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, SameAsStreaming,
                         ::testing::Values(Size{16, 24}, Size{32, 18}, Size{48, 20}, Size{80, 12}, Size{720, 16},
                                           Size{1280, 10}, Size{1920, 12}),
                         [](const auto& info) { return "width" + std::to_string(info.param.width); });

// A picture through the core at one level, every plane's source rows
// `extra` bytes wider than the plane and destination rows 2 * extra bytes
// wider: its visible output, the three planes one after another (debug: the
// map alone).
std::vector<uint8_t> CoreFrame(int level, const Picture& picture, const bitgrade::Settings& settings, int extra) {
    const int bytes = settings.debug ? 1 : 2;
    const Plane* planes[3] = {&picture.y, &picture.u, &picture.v};
    std::vector<std::vector<uint8_t>> src(3), dst(3);
    bitgrade::Frame frame;
    for (int k = 0; k < 3; ++k) {
        const Plane& p = *planes[k];
        const int srcPitch = p.width + extra, dstPitch = p.width * bytes + 2 * extra;
        src[k].assign((size_t)srcPitch * p.height, 0x5A);
        dst[k].assign((size_t)dstPitch * p.height, 0xEE);
        for (int y = 0; y < p.height; ++y)
            std::copy_n(&p.samples[(size_t)y * p.width], p.width, &src[k][(size_t)y * srcPitch]);
        frame.planes[k] = {
            src[k].data(), srcPitch, dst[k].data(), dstPitch,
            p.width,       p.height, k == 0,        k == 0 ? bitgrade::Subsampling() : bitgrade::Subsampling(1, 1)};
    }
    bitgrade::Scratch scratch;
    EXPECT_TRUE(bitgrade::Converter({(bitgrade::Level)level, TestProcessor().vectorIsa, settings})
                    .ConvertFrame(frame, scratch));
    std::vector<uint8_t> out;
    for (int k = 0; k < (settings.debug ? 1 : 3); ++k) {
        const bitgrade::Plane& p = frame.planes[k];
        for (int y = 0; y < p.height; ++y) {
            const uint8_t* row = p.DestinationRow(y);
            out.insert(out.end(), row, row + p.width * bytes);
            // Nothing is written past the visible row.
            for (int x = p.width * bytes; x < p.dstPitch; ++x)
                if (row[x] != 0xEE) ADD_FAILURE() << "plane " << k << " row " << y << " written at byte " << x;
        }
    }
    return out;
}

// Random pictures at every even width up to 100 and at random widths up to
// 4100, random spans and thresholds within the bound, the extreme levels at
// the plane edges, tight and wide pitches, all three planes: level 2's
// output, and nothing written past a row.
TEST(Vector, SameAsStreamingAtEveryWidth) {
    std::mt19937 rng(31);
    std::vector<int> widths;
    for (int w = 2; w <= 100; w += 2) widths.push_back(w);
    for (int k = 0; k < 12; ++k) widths.push_back(2 + 2 * (int)(rng() % 2050));
    for (int w : widths) {
        const int h = 2 + 2 * (int)(rng() % (w > 1000 ? 6 : 20));
        const int kind = (int)(rng() % kStructuredKinds), span = (int)(rng() % 13);
        const Picture picture = MakePicture(w, h, [&](int pw, int ph) { return Structured(kind, pw, ph, w + kind); });
        const int side = 2 * (span / 2) + 1;
        const int threshold = rng() % 4 ? (int)(rng() % 12) : (int)(rng() % (255 * side)) - 1;
        const int extra = rng() % 2 ? 0 : 1 + (int)(rng() % 70);
        for (bool debug : {false, true}) {
            const bitgrade::Settings settings = {span, threshold, threshold, debug};
            ASSERT_EQ(CoreFrame(kVector, picture, settings, extra), CoreFrame(kStreaming, picture, settings, extra))
                << w << "x" << h << " kind " << kind << " span " << span << " threshold " << threshold
                << " extra pitch " << extra << " debug " << debug;
        }
    }
}

// Level 1 in the newer hosts is given zero-padded rows of its own: its
// output no longer depends on what lies in the host's row padding.
TEST(Vector, PlainLevelIgnoresTheHostsRowPadding) {
    const Picture picture = MakePicture(42, 12, [](int w, int h) { return Extremes(w, h, 3); });
    for (bool debug : {false, true}) {
        const bitgrade::Settings settings = {3, 1, 1, debug};
        EXPECT_EQ(CoreFrame(kPlain, picture, settings, 0), CoreFrame(kPlain, picture, settings, 37)) << debug;
    }
}

// Planes converted one at a time, as luma, at sizes the frames above miss,
// with source rows lying further apart than the plane is wide. (Rows that
// end half-way through a block are the chroma planes of the frames above.)
TEST(Vector, SameAsStreamingOnOddPlaneShapes) {
    for (auto [w, h] : {std::pair{16, 1},
                        {16, 2},
                        {16, 3},
                        {32, 7},
                        {16, 15},
                        {64, 5},
                        {48, 33},
                        {1, 9},
                        {3, 3},
                        {7, 11},
                        {13, 4},
                        {27, 2}}) {
        for (int kind = 0; kind < kStructuredKinds; ++kind) {
            const Plane plane = Structured(kind, w, h, w * h + kind);
            for (int extraPitch : {0, 8, 40}) {
                for (int span : {0, 1, 2, 3, 7, 40, -1}) {
                    for (bool debug : {false, true}) {
                        const int pitch = w + extraPitch;
                        ASSERT_EQ(RunPlane(kVector, plane, span, 2, debug, pitch),
                                  RunPlane(kStreaming, plane, span, 2, debug, pitch))
                            << w << "x" << h << " pitch " << pitch << " kind " << kind << " span " << span;
                    }
                }
            }
        }
    }
}

// A chroma row that ends half-way through a block: its last sample is a
// border pixel, not a pixel whose right neighbours are the zero padding.
TEST(Vector, LastColumnOfAPartialBlockIsABorderPixel) {
    Environment env;
    Picture picture = MakePicture(720, 16, [](int w, int h) { return Gradient(w, h, 3); });
    picture.u = Constant(360, 8, 1);
    const auto level3 = Convert(env, picture, Args{3, 3, 1, 1, false});
    EXPECT_EQ(level3, Convert(env, picture, Args{2, 3, 1, 1, false}));
    const size_t uRow4 = 720 * 16 + 4 * 360;
    for (size_t x = 357; x < 360; ++x) EXPECT_EQ(level3[uRow4 + x], 256) << x;
}

// Row-end columns carry the busy count 255 * (2r+1); a threshold above it
// smooths them to the vertical mean of their own column.
TEST(Vector, RowEndColumnsPassOnlyAboveTheirBusyCount) {
    const Plane plane = MakePlane(16, 9, [](int x, int y) { return 20 + 3 * y + (x % 5) * 40; });
    const auto at764 = RunPlane(kVector, plane, 1, 764, true);
    const auto at765 = RunPlane(kVector, plane, 1, 765, true);
    const auto values = RunPlane(kVector, plane, 1, 765);
    for (int y = 1; y < 8; ++y) {
        EXPECT_EQ(At(at764, 16, 0, y), 255) << y;
        EXPECT_EQ(At(at765, 16, 0, y), 0) << y;
        EXPECT_EQ(At(at765, 16, 15, y), 0) << y;
        const int column = (plane.at(0, y - 1) + plane.at(0, y) + plane.at(0, y + 1)) * 256;
        EXPECT_NEAR(At(values, 16, 0, y), column / 3, 1) << y;
    }
    EXPECT_EQ(RunPlane(kVector, plane, 1, 764), RunPlane(kStreaming, plane, 1, 764));
}

// t = threshold + 1 in 16 bits: nothing passes when it is 0 or negative.
// The sum wraps for the largest int too (INT_MAX + 1 has low bits 0).
TEST(Vector, ThresholdsWhoseSuccessorIsNotPositiveSmoothNothing) {
    const Plane plane = Gradient(32, 20, 5);
    const auto unsmoothed = RunPlane(kVector, plane, -1, 1);
    for (int threshold : {-1, -2, -32769, 32767, 65535, INT_MAX}) {
        EXPECT_EQ(RunPlane(kVector, plane, 2, threshold), unsmoothed) << threshold;
        const auto map = RunPlane(kVector, plane, 2, threshold, true);
        EXPECT_EQ(std::set<uint16_t>(map.begin(), map.end()), (std::set<uint16_t>{95, 255})) << threshold;
    }
    for (int threshold : {65536, INT_MIN}) {
        const auto wrapped = RunPlane(kVector, Constant(32, 20, 9), 2, threshold, true);
        EXPECT_EQ(At(wrapped, 32, 10, 10), 0) << threshold << " + 1 wraps to 1: edge-free windows pass";
    }
}

// The documented range where levels 2 and 3 agree: thresholds from -32769
// (one less and t = threshold + 1 wraps to 32767) up to one below the
// row-end busy count 255 * (2r+1); at either side of it they differ.
TEST(Vector, SameAsStreamingExactlyWithinTheThresholdBound) {
    const Plane plane = Gradient(32, 20, 2);
    const int r = 2, bound = 255 * (2 * r + 1);
    for (auto [threshold, same] :
         {std::pair{-32770, false}, {-32769, true}, {-1, true}, {bound - 1, true}, {bound, false}}) {
        EXPECT_EQ(RunPlane(kVector, plane, r, threshold, true) == RunPlane(kStreaming, plane, r, threshold, true), same)
            << threshold;
    }
}

// Radii whose row-end count no longer fits a signed 16-bit lane, and radii
// that need the wide window arithmetic: still level 2's output.
TEST(Vector, WideWindowsStayRight) {
    for (auto [span, size] : {std::pair{64, 144}, {100, 208}, {127, 256}, {128, 272}, {140, 288}}) {
        const Plane plane = Gradient(size, size - 2, span);
        for (int threshold : {1, 30000}) {
            for (bool debug : {false, true}) {
                ASSERT_EQ(RunPlane(kVector, plane, span, threshold, debug),
                          RunPlane(kStreaming, plane, span, threshold, debug))
                    << "span " << span << " threshold " << threshold;
            }
        }
    }
}

// The version 2.5 plugin keeps its written rule; the newer hosts take every
// width (their own tests).
TEST(Vector, TheVersion25PluginTakesWidthsThatAreAMultipleOf16) {
    Environment env;
    for (auto [width, accepted] : {std::pair{720, true}, {16, true}, {1000, false}, {24, false}, {8, false}}) {
        const PClip clip(new native_host::MemoryClip(native_host::MakeVideoInfo(width, 16), {}));
        for (bool debug : {false, true}) {
            try {
                CallBitgrade(env, clip, Args{3, 3, 1, 1, debug});
                EXPECT_TRUE(accepted) << width;
            } catch (const native_host::ScriptError& e) {
                EXPECT_FALSE(accepted) << width;
                EXPECT_STREQ(e.what(), "levelize: Width should be a multiple of 16.");
            }
        }
    }
}

TEST(Vector, ScratchFollowsEveryPlaneGeometry) { CheckScratchFollowsEveryPlaneGeometry(kVector); }

}  // namespace
