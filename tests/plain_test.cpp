// The reference converter: classification, fractions, windows and the mean.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "convert/plane_common.h"
#include "test_support.h"

using namespace testing_support;
using bitgrade::BoxMean;
using bitgrade::Radii;
using native_host::Environment;
using native_host::MemoryClip;

namespace {

const int kNoSmoothing = -1;  // a negative span: no window fits any plane

std::vector<uint16_t> RunLuma(const Plane& plane, int span, int threshold, bool debug = false, int srcPitch = 0,
                              int W = 0) {
    return RunPlane(kPlain, plane, span, threshold, debug, srcPitch, W);
}

struct FractionCase {
    int higher, lower, fraction;
};
void PrintTo(const FractionCase& c, std::ostream* os) {
    *os << c.higher << " higher, " << c.lower << " lower: fraction " << c.fraction;
}

class FractionTable : public ::testing::TestWithParam<FractionCase> {};

// A pixel of level 100 in a 5x5 plane, with `higher` neighbours at 101 and
// `lower` ones at 99.
TEST_P(FractionTable, FlatPixelLeansByItsNetCount) {
    const FractionCase& c = GetParam();
    Plane plane = Constant(5, 5, 100);
    const int ring[8][2] = {{1, 1}, {2, 1}, {3, 1}, {1, 2}, {3, 2}, {1, 3}, {2, 3}, {3, 3}};
    for (int k = 0; k < c.higher + c.lower; ++k) plane.at(ring[k][0], ring[k][1]) = k < c.higher ? 101 : 99;
    EXPECT_EQ(At(RunLuma(plane, kNoSmoothing, 1), 5, 2, 2), 25600 + c.fraction);
}

INSTANTIATE_TEST_SUITE_P(NetCounts, FractionTable,
                         ::testing::Values(FractionCase{0, 0, 0}, FractionCase{1, 0, 32}, FractionCase{2, 0, 64},
                                           FractionCase{3, 0, 96}, FractionCase{4, 0, 112}, FractionCase{5, 0, 127},
                                           FractionCase{8, 0, 127}, FractionCase{0, 1, -32}, FractionCase{0, 2, -64},
                                           FractionCase{0, 3, -96}, FractionCase{0, 4, -112}, FractionCase{0, 8, -127},
                                           FractionCase{1, 6, -127}, FractionCase{6, 1, 127}, FractionCase{2, 1, 32},
                                           FractionCase{4, 4, 0}),
                         [](const auto& info) {
                             return "higher" + std::to_string(info.param.higher) + "_lower" +
                                    std::to_string(info.param.lower);
                         });

TEST(Plain, FarNeighbourMakesAnEdgePixel) {
    Plane plane = Constant(5, 5, 100);
    plane.at(1, 1) = 101;
    plane.at(3, 3) = 102;
    EXPECT_EQ(At(RunLuma(plane, kNoSmoothing, 1), 5, 2, 2), 25600);
    EXPECT_EQ(At(RunLuma(plane, kNoSmoothing, 1, true), 5, 2, 2), 255);
}

TEST(Plain, OneLevelStepLeansBothRowsTowardsEachOther) {
    const Plane plane = MakePlane(16, 16, [](int, int y) { return y < 8 ? 100 : 101; });
    const auto out = RunLuma(plane, kNoSmoothing, 1);
    for (int x = 1; x < 15; ++x) {
        EXPECT_EQ(At(out, 16, x, 7), 25696) << x;
        EXPECT_EQ(At(out, 16, x, 8), 25760) << x;
    }
}

TEST(Plain, LonePeakAndItsNeighbours) {
    Plane plane = Constant(7, 7, 100);
    plane.at(3, 3) = 101;
    const auto out = RunLuma(plane, kNoSmoothing, 1);
    EXPECT_EQ(At(out, 7, 3, 3), 101 * 256 - 127);
    for (int y = 2; y <= 4; ++y)
        for (int x = 2; x <= 4; ++x)
            if (x != 3 || y != 3) {
                EXPECT_EQ(At(out, 7, x, y), 25600 + 32);
            }
}

TEST(Plain, UnsmoothedValuesStayInRangeAndRoundBackToTheSample) {
    for (int lo : {0, 254}) {
        const Plane plane = Noise(24, 12, lo, lo, lo + 1);
        const auto out = RunLuma(plane, kNoSmoothing, 1);
        for (size_t i = 0; i < out.size(); ++i) {
            ASSERT_LE(out[i], 65280);
            ASSERT_EQ((out[i] + 128) / 256, plane.samples[i]) << i;
        }
    }
}

TEST(BoxMeanTest, ConstantsForTheDefaultRadii) {
    const struct {
        uint32_t r, reciprocal, high, low;
    } table[] = {{0, 16777217, 65536, 1}, {1, 1864136, 7281, 200}, {3, 342393, 1337, 121}};
    for (const auto& row : table) {
        const BoxMean mean({row.r, row.r});
        EXPECT_EQ(mean.reciprocal, row.reciprocal);
        EXPECT_EQ(mean.high, row.high);
        EXPECT_EQ(mean.low, row.low);
    }
    EXPECT_EQ(BoxMean({3, 3})(3198719), 65280);  // one above the truncated quotient, 65279
    EXPECT_EQ(BoxMean({1, 3}).area, 21u);        // a 4:2:2 chroma window, 3 wide and 7 high
}

// Fixed point for radii 0..8 on both axes is the quotient or one more; wider
// windows get the exact quotient. Sums from 0 up to a window of 65535s, the
// largest value of deeper input.
TEST(BoxMeanTest, StaysWithinOneOfTheQuotientForEveryRadius) {
    std::vector<Radii> windows;
    for (uint32_t r : {0u, 1u, 2u, 3u, 5u, 8u, 9u, 10u, 11u, 16u, 63u, 64u, 127u, 128u, 300u, 1000u})
        windows.push_back({r, r});
    for (uint32_t x = 0; x <= 9; ++x)
        for (uint32_t y = 0; y <= 9; ++y)
            if (x != y) windows.push_back({x, y});
    windows.push_back({10, 6});  // area 273, whose reciprocal errs the most: past the fixed point
    for (Radii r : windows) {
        const BoxMean mean(r);
        const uint64_t top = 65535 * mean.area;
        for (uint64_t k = 0; k <= 4000; ++k) {
            for (uint64_t sum : {top * k / 4000, top - k}) {
                const uint64_t q = sum / mean.area, m = mean(sum);
                ASSERT_TRUE(m == q || (mean.FixedPoint() && m == q + 1)) << r.x << "x" << r.y << " sum " << sum;
                ASSERT_LE(m, 65535u);
            }
        }
    }
}

// The vector kernels take the fixed-point mean as the top of one 64-bit
// product, sum * reciprocal >> 24: for every window sum that 16-bit values
// can give (every sum near the top, a sample of the rest), that is the two
// 32-bit products of the scalar form, unwrapped.
TEST(BoxMeanTest, FixedPointIsTheTopOfOneProduct) {
    for (uint32_t x = 0; x <= BoxMean::kFixedPointMaxRadius; ++x) {
        for (uint32_t y = 0; y <= BoxMean::kFixedPointMaxRadius; ++y) {
            const BoxMean mean({x, y});
            const uint64_t top = 65535 * mean.area;
            for (uint64_t sum = 0; sum <= top; sum += sum + 70000 < top ? 97 : 1)
                ASSERT_EQ(mean(sum), (sum * mean.reciprocal) >> 24) << x << "x" << y << " sum " << sum;
        }
    }
}

TEST(Plain, SpanZeroLeavesTheUnsmoothedValues) {
    for (int kind = 0; kind < kStructuredKinds; ++kind) {
        const Plane plane = Structured(kind, 20, 14, 5);
        EXPECT_EQ(RunLuma(plane, 0, 1), RunLuma(plane, kNoSmoothing, 1)) << kind;
    }
}

// Radius 0: every pixel is its own window; an edge or border pixel is busy.
TEST(Plain, SpanZeroDebugMap) {
    Plane plane = Constant(8, 8, 50);
    plane.at(4, 4) = 90;
    for (int threshold : {0, 1}) {
        const auto map = RunLuma(plane, 0, threshold, true);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool busy =
                    x == 0 || y == 0 || x == 7 || y == 7 || (std::abs(x - 4) <= 1 && std::abs(y - 4) <= 1);
                EXPECT_EQ(At(map, 8, x, y), busy && threshold == 0 ? 255 : 0) << x << "," << y;
            }
    }
}

TEST(Plain, WindowsThatDoNotFitSmoothNothing) {
    const Plane plane = Gradient(16, 12, 2);
    for (int span : {-1, -7, 6, 1000}) {
        const auto map = RunLuma(plane, span, 1, true);
        EXPECT_EQ(std::set<uint16_t>(map.begin(), map.end()), (std::set<uint16_t>{95, 255})) << span;
        EXPECT_EQ(RunLuma(plane, span, 1), RunLuma(plane, kNoSmoothing, 1)) << span;
    }
}

// Radius 1 on a constant 12x12 plane: which pixels the threshold lets
// through (a corner window holds 5 border pixels).
TEST(Plain, ThresholdZeroAndNegative) {
    const Plane plane = Constant(12, 12, 80);
    const struct { int threshold, lo, hi; } cases[] = {{0, 2, 9}, {2, 2, 9}, {5, 1, 10}, {-1, 1, 10}};
    for (const auto& c : cases) {
        const auto map = RunLuma(plane, 1, c.threshold, true);
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 12; ++x) {
                const bool border = x == 0 || y == 0 || x == 11 || y == 11;
                const bool smoothed = x >= c.lo && x <= c.hi && y >= c.lo && y <= c.hi;
                EXPECT_EQ(At(map, 12, x, y), smoothed ? 0
                                             : border ? 255
                                                      : 95)
                    << "threshold " << c.threshold << " at " << x << "," << y;
            }
        EXPECT_EQ(RunLuma(plane, 1, c.threshold), std::vector<uint16_t>(144, 80 * 256));
    }
}

TEST(Plain, PlanesSmallerThanThreeByThreeAreAllBorder) {
    for (auto [w, h] : {std::pair{2, 2}, {1, 5}, {7, 2}, {1, 1}}) {
        const Plane plane = Noise(w, h, w * 10 + h);
        const auto out = RunLuma(plane, 0, 5);
        for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], plane.samples[i] * 256);
        const auto map = RunLuma(plane, 3, 0, true);
        EXPECT_EQ(map, std::vector<uint16_t>(map.size(), 255));
    }
}

// W comes from the destination pitch: columns past the visible width are
// read from the source row's padding, classified and written.
TEST(Plain, DestinationWiderThanTheVisibleRow) {
    const Plane plane = Constant(12, 10, 100);
    const auto map = RunLuma(plane, 1, 1, true, 16, 16);
    for (int y = 1; y < 9; ++y) {
        EXPECT_EQ(At(map, 16, 9, y), y >= 2 && y <= 7 ? 0 : 95) << y;
        EXPECT_EQ(At(map, 16, 10, y), 95) << "its window holds the edge column";
        EXPECT_EQ(At(map, 16, 11, y), 255) << "its right neighbours are padding zeros";
        EXPECT_EQ(At(map, 16, 12, y), 255);
    }
    const auto out = RunLuma(plane, 1, 1, false, 16, 16);
    EXPECT_EQ(At(out, 16, 13, 5), 0);
    EXPECT_EQ(At(out, 16, 11, 5), 25600);
}

// A source pitch below W: columns past it repeat the row's last sample, and
// nothing of the next row (or past the plane) is read.
TEST(Plain, SourceRowsNarrowerThanTheWorkingRow) {
    for (int kind = 0; kind < kStructuredKinds; ++kind) {
        const Plane plane = Structured(kind, 12, 9, 7);
        const Plane padded = MakePlane(16, 9, [&](int x, int y) { return plane.at(std::min(x, 11), y); });
        for (bool debug : {false, true})
            EXPECT_EQ(RunLuma(plane, 1, 2, debug, 12, 16), RunLuma(padded, 1, 2, debug, 16, 16)) << kind;
    }
}

// Wide windows: the self-check stops the process if a mean strays, so these
// runs pass only if every mean is within one of the quotient.
TEST(Plain, WideWindowsKeepTheirMeansExact) {
    const Plane bright = Noise(40, 40, 9, 250, 255);
    for (int span : {9, 10, 12, 17}) {
        const auto out = RunLuma(bright, span, -1);
        EXPECT_GE(*std::min_element(out.begin(), out.end()), 250 * 256 - 127);
    }
    const Plane big = Gradient(262, 262, 4);
    const auto out = RunLuma(big, 130, -1);
    EXPECT_NE(At(out, 262, 131, 131), big.at(131, 131) * 256);
}

}  // namespace
