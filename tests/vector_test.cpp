// The vector converter: exactly level 2's output wherever the design says
// so, at every width it accepts, and its own rules at the row ends.
#include <gtest/gtest.h>

#include <set>

#include "convert/bitgrade_sse2.h"
#include "convert/bitgrade_sse41.h"
#include "test_support.h"

using namespace testing_support;
using bitgrade::BitgradeSSE2;
using bitgrade::BitgradeSSE41;
using native_host::Environment;

namespace {

struct Width {
    int width, height;
};

class SameAsStreaming : public ::testing::TestWithParam<Width> {};

// Whole frames, all planes, both modes, thresholds 0..32766 that stay below
// the row-end busy count.
TEST_P(SameAsStreaming, OnRandomAndStructuredFrames) {
    const Width g = GetParam();
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
                         ::testing::Values(Width{16, 24}, Width{32, 18}, Width{48, 20}, Width{80, 12}, Width{720, 16},
                                           Width{1280, 10}, Width{1920, 12}),
                         [](const auto& info) { return "width" + std::to_string(info.param.width); });

// Planes converted one at a time, as luma, at sizes the frames above miss.
TEST(Vector, SameAsStreamingOnOddPlaneShapes) {
    for (auto [w, h] : {std::pair{16, 1}, {16, 2}, {16, 3}, {32, 7}, {16, 15}, {64, 5}, {48, 33}}) {
        for (int kind = 0; kind < kStructuredKinds; ++kind) {
            const Plane plane = Structured(kind, w, h, w * h + kind);
            for (int span : {0, 1, 2, 3, 7, 40, -1}) {
                for (bool debug : {false, true}) {
                    ASSERT_EQ(RunPlane<BitgradeSSE41>(plane, span, 2, debug),
                              RunPlane<BitgradeSSE2>(plane, span, 2, debug))
                        << w << "x" << h << " kind " << kind << " span " << span;
                }
            }
        }
    }
}

// Row-end columns carry the busy count 255 * (2r+1); a threshold above it
// smooths them to the vertical mean of their own column.
TEST(Vector, RowEndColumnsPassOnlyAboveTheirBusyCount) {
    const Plane plane = MakePlane(16, 9, [](int x, int y) { return 20 + 3 * y + (x % 5) * 40; });
    const auto at764 = RunPlane<BitgradeSSE41>(plane, 1, 764, true);
    const auto at765 = RunPlane<BitgradeSSE41>(plane, 1, 765, true);
    const auto values = RunPlane<BitgradeSSE41>(plane, 1, 765);
    for (int y = 1; y < 8; ++y) {
        EXPECT_EQ(At(at764, 16, 0, y), 255) << y;
        EXPECT_EQ(At(at765, 16, 0, y), 0) << y;
        EXPECT_EQ(At(at765, 16, 15, y), 0) << y;
        const int column = (plane.at(0, y - 1) + plane.at(0, y) + plane.at(0, y + 1)) * 256;
        EXPECT_NEAR(At(values, 16, 0, y), column / 3, 1) << y;
    }
    EXPECT_EQ(RunPlane<BitgradeSSE41>(plane, 1, 764), RunPlane<BitgradeSSE2>(plane, 1, 764));
}

// t = threshold + 1 in 16 bits: nothing passes when it is 0 or negative.
TEST(Vector, ThresholdsWhoseSuccessorIsNotPositiveSmoothNothing) {
    const Plane plane = Gradient(32, 20, 5);
    const auto unsmoothed = RunPlane<BitgradeSSE41>(plane, -1, 1);
    for (int threshold : {-1, -2, -32769, 32767, 65535}) {
        EXPECT_EQ(RunPlane<BitgradeSSE41>(plane, 2, threshold), unsmoothed) << threshold;
        const auto map = RunPlane<BitgradeSSE41>(plane, 2, threshold, true);
        EXPECT_EQ(std::set<uint16_t>(map.begin(), map.end()), (std::set<uint16_t>{95, 255})) << threshold;
    }
    const auto wrapped = RunPlane<BitgradeSSE41>(Constant(32, 20, 9), 2, 65536, true);
    EXPECT_EQ(At(wrapped, 32, 10, 10), 0) << "65536 + 1 wraps to 1: edge-free windows pass";
}

// Radii whose row-end count no longer fits a signed 16-bit lane, and radii
// that need the wide window arithmetic: still level 2's output.
TEST(Vector, WideWindowsStayRight) {
    for (auto [span, size] : {std::pair{64, 144}, {100, 208}, {127, 256}, {128, 272}, {140, 288}}) {
        const Plane plane = Gradient(size, size - 2, span);
        for (int threshold : {1, 30000}) {
            for (bool debug : {false, true}) {
                ASSERT_EQ(RunPlane<BitgradeSSE41>(plane, span, threshold, debug),
                          RunPlane<BitgradeSSE2>(plane, span, threshold, debug))
                    << "span " << span << " threshold " << threshold;
            }
        }
    }
}

TEST(Vector, WidthMustBeAMultipleOf16) {
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

TEST(Vector, BuffersFollowEveryPlaneGeometry) { CheckBuffersFollowEveryPlaneGeometry<BitgradeSSE41>(); }

}  // namespace
