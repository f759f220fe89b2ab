// The streaming converter (level 2) against the reference: equal on every
// plane without a pixel that has both higher and lower neighbours; where such
// a mixed pixel exists, different only within the window radius of one, and
// the mixed pixel itself, left unsmoothed, is sample * 256 marked as an edge.
#include <gtest/gtest.h>

#include <set>

#include "test_support.h"

using namespace testing_support;

namespace {

// Classified pixels with a higher and a lower neighbour and no far one: flat
// for the reference, edge pixels for the optimised converters.
std::vector<bool> MixedPixels(const Plane& p) {
    std::vector<bool> mixed(p.samples.size(), false);
    for (int y = 1; y + 1 < p.height; ++y)
        for (int x = 1; x + 1 < p.width; ++x) {
            bool up = false, down = false, far = false;
            for (int j = y - 1; j <= y + 1; ++j)
                for (int i = x - 1; i <= x + 1; ++i) {
                    const int d = p.at(i, j) - p.at(x, y);
                    up |= d == 1;
                    down |= d == -1;
                    far |= d > 1 || d < -1;
                }
            mixed[(size_t)y * p.width + x] = up && down && !far;
        }
    return mixed;
}

bool NearAny(const std::vector<bool>& marks, const Plane& p, int x, int y, int r) {
    for (int j = std::max(0, y - r); j <= std::min(p.height - 1, y + r); ++j)
        for (int i = std::max(0, x - r); i <= std::min(p.width - 1, x + r); ++i)
            if (marks[(size_t)j * p.width + i]) return true;
    return false;
}

Plane EvenLevels(int w, int h, int seed) {  // no one-level differences at all
    const Plane noise = Noise(w, h, seed, 0, 127);
    return MakePlane(w, h, [&](int x, int y) { return noise.at(x, y) * 2; });
}

Plane PlaneOfKind(int kind, int w, int h, int seed) {
    return kind < kStructuredKinds ? Structured(kind, w, h, seed) : EvenLevels(w, h, seed);
}

class AgainstReference : public ::testing::TestWithParam<Size> {};

// Output differs from the reference only within the radius of a mixed pixel;
// planes without one match exactly; mixed pixels left unsmoothed are
// sample * 256 and marked as edges.
TEST_P(AgainstReference, DiffersOnlyAroundMixedPixels) {
    const Size g = GetParam();
    int exactPlanes = 0;
    for (int kind = 0; kind <= kStructuredKinds; ++kind) {
        for (int seed = 0; seed < 3; ++seed) {
            const Plane plane = PlaneOfKind(kind, g.width, g.height, seed * 7 + kind);
            const std::vector<bool> mixed = MixedPixels(plane);
            const bool anyMixed = std::count(mixed.begin(), mixed.end(), true) > 0;
            exactPlanes += !anyMixed;
            for (int span : {0, 1, 3, 5}) {
                for (int threshold : {0, 1, 3, 12}) {
                    const auto ref = RunPlane(kPlain, plane, span, threshold);
                    const auto out = RunPlane(kStreaming, plane, span, threshold);
                    const auto map = RunPlane(kStreaming, plane, span, threshold, true);
                    if (!anyMixed) {
                        ASSERT_EQ(out, ref) << "kind " << kind << " span " << span << " thr " << threshold;
                        ASSERT_EQ(map, RunPlane(kPlain, plane, span, threshold, true));
                        continue;
                    }
                    for (int y = 0; y < g.height; ++y)
                        for (int x = 0; x < g.width; ++x) {
                            const size_t at = (size_t)y * g.width + x;
                            if (out[at] != ref[at]) {
                                ASSERT_TRUE(NearAny(mixed, plane, x, y, span))
                                    << "kind " << kind << " span " << span << " at " << x << "," << y;
                            }
                            if (mixed[at] && map[at] == 255) {
                                ASSERT_EQ(out[at], plane.at(x, y) * 256);
                            }
                        }
                }
            }
        }
    }
    EXPECT_GT(exactPlanes, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AgainstReference,
                         ::testing::Values(Size{16, 16}, Size{33, 17}, Size{48, 9}, Size{7, 30}, Size{3, 3},
                                           Size{64, 40}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST(Streaming, MixedPixelIsAnEdge) {
    Plane plane = Constant(7, 7, 100);
    plane.at(2, 2) = 101;
    plane.at(4, 4) = 99;
    EXPECT_EQ(At(RunPlane(kStreaming, plane, -1, 1), 7, 3, 3), 25600);
    EXPECT_EQ(At(RunPlane(kStreaming, plane, -1, 1, true), 7, 3, 3), 255);
    EXPECT_EQ(At(RunPlane(kPlain, plane, -1, 1), 7, 3, 3), 25600);  // net count 0 there
}

TEST(Streaming, NegativeThresholdSmoothsNothing) {
    const Plane plane = Gradient(32, 20, 1);
    const auto unsmoothed = RunPlane(kStreaming, plane, -1, 1);
    for (int threshold : {-1, -5, -100000}) {
        EXPECT_EQ(RunPlane(kStreaming, plane, 2, threshold), unsmoothed);
        const auto map = RunPlane(kStreaming, plane, 2, threshold, true);
        EXPECT_EQ(std::set<uint16_t>(map.begin(), map.end()), (std::set<uint16_t>{95, 255}));
        EXPECT_NE(RunPlane(kPlain, plane, 2, threshold), unsmoothed) << "the reference smooths all";
    }
}

// The visible row is the whole row: its last column is a border pixel, and
// nothing past it is written.
TEST(Streaming, WritesOnlyTheVisibleRow) {
    const Plane plane = Constant(12, 10, 100);
    const auto map = RunPlane(kStreaming, plane, 1, 1, true, 16, 16);
    const auto out = RunPlane(kStreaming, plane, 1, 1, false, 16, 16);
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(At(map, 16, 11, y), 255);
        EXPECT_EQ(At(map, 16, 10, y), y == 0 || y == 9 ? 255 : 95);
        EXPECT_EQ(At(map, 16, 12, y), 0xEE);
        EXPECT_EQ(At(out, 16, 12, y), 0xEEEE);
    }
}

TEST(Streaming, TinyPlanesAreUnsmoothedBorder) {
    for (auto [w, h] : {std::pair{5, 1}, {1, 6}, {2, 2}, {9, 2}, {1, 1}}) {
        const Plane plane = Noise(w, h, w + 3 * h);
        for (int span : {0, 1, 3}) {
            const auto out = RunPlane(kStreaming, plane, span, 100);
            for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], plane.samples[i] * 256) << w << "x" << h;
        }
    }
}

TEST(Streaming, WindowAsTallAsThePlaneSmoothsOnlyItsMiddleRow) {
    const Plane plane = Constant(20, 7, 60);
    const auto map = RunPlane(kStreaming, plane, 3, 1000, true);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool smoothed = y == 3 && x >= 3 && x <= 16;
            const bool border = x == 0 || y == 0 || x == 19 || y == 6;
            ASSERT_EQ(At(map, 20, x, y), smoothed ? 0 : border ? 255 : 95) << x << "," << y;
        }
}

// Radii whose totals need the wide arithmetic, and radii just below it.
TEST(Streaming, WideWindowsMatchTheReference) {
    for (auto [span, size] : {std::pair{70, 150}, {127, 258}, {128, 260}, {131, 266}}) {
        const Plane plane = EvenLevels(size, size, span);
        EXPECT_EQ(RunPlane(kStreaming, plane, span, 1 << 20), RunPlane(kPlain, plane, span, 1 << 20)) << span;
        EXPECT_EQ(RunPlane(kStreaming, plane, span, 1 << 20, true), RunPlane(kPlain, plane, span, 1 << 20, true))
            << span;
    }
}

TEST(Streaming, ScratchFollowsEveryPlaneGeometry) { CheckScratchFollowsEveryPlaneGeometry(kStreaming); }

}  // namespace
