// The layouts beside 4:2:0. Chroma windows cover the picture area of luma's:
// a 4:4:4 chroma plane converts as luma does but for its threshold, and a
// 4:2:2 or 4:1:1 one through windows (2rx+1) wide and (2ry+1) high, as a
// scalar model of that rule has it; a grey picture is its luma plane alone.
// At every level and in debug mode, with the adaptive window, on widths
// that are no multiple of 16.
#include "convert/plane_common.h"
#include "test_support.h"

using namespace testing_support;
using bitgrade::kLayout411;
using bitgrade::kLayout420;
using bitgrade::kLayout422;
using bitgrade::kLayout444;
using bitgrade::kLayoutGrey;
using bitgrade::Layout;
using bitgrade::Radii;

namespace {

struct Case {
    Args args;
    Size size;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << "level " << c.args.sseopt << " span " << c.args.span << " maxspan " << c.args.maxSpan << " thr "
        << c.args.ythr << "/" << c.args.cthr << (c.args.debug ? " debug " : " ") << c.size.width << "x"
        << c.size.height;
}

class Layouts : public ::testing::TestWithParam<Case> {};

// Picture n of a layout: every plane from the generators the 4:2:0 tests use.
Picture PictureOf(Layout layout, Size size, int n) {
    return MakePicture(
        size.width, size.height, [&](int w, int h) { return Structured(n % kStructuredKinds, w, h, n + w); }, layout);
}

// Plane p of a core output of `picture` (16-bit values, or the map).
std::vector<uint16_t> PlaneOf(const std::vector<uint16_t>& all, const Picture& picture, int p) {
    const Plane* planes[3] = {&picture.y, &picture.u, &picture.v};
    size_t at = 0;
    for (int k = 0; k < p; ++k) at += planes[k]->samples.size();
    return {all.begin() + (long)at, all.begin() + (long)(at + planes[p]->samples.size())};
}

// The rule for one plane as levels 2 and 3 have it, written out directly:
// a pixel with a neighbour two levels away, or with both a higher and a
// lower one, is an edge, as is every border pixel; any other has the
// fraction of its count of higher or lower neighbours. A pixel whose
// (2r.x+1) x (2r.y+1) window fits the plane and holds at most `threshold`
// edge pixels takes the window's mean.
std::vector<uint16_t> WindowModel(const Plane& plane, Radii r, int threshold) {
    const int W = plane.width, H = plane.height;
    std::vector<uint16_t> value((size_t)W * H);
    std::vector<bool> edge((size_t)W * H, true);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const int c = plane.at(x, y);
            value[(size_t)y * W + x] = (uint16_t)(c * 256);
            if (x == 0 || y == 0 || x == W - 1 || y == H - 1) continue;
            int up = 0, down = 0, far = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int d = plane.at(x + dx, y + dy) - c;
                    up += d == 1, down += d == -1, far += d > 1 || d < -1;
                }
            }
            if (far || (up && down)) continue;
            edge[(size_t)y * W + x] = false;
            value[(size_t)y * W + x] = (uint16_t)(c * 256 + bitgrade::FractionRamp[up] - bitgrade::FractionRamp[down]);
        }
    }
    return SmoothedByWindows(value, edge, W, H, r, threshold);
}

TEST_P(Layouts, A444ChromaPlaneConvertsAsLumaWithTheChromaThreshold) {
    const Case& c = GetParam();
    if (c.args.debug) GTEST_SKIP() << "the map covers luma alone";
    for (int n = 0; n < 3; ++n) {
        const Picture picture = PictureOf(kLayout444, c.size, n);
        const std::vector<uint16_t> out = ConvertInCore(picture, c.args);
        for (int p : {1, 2}) {
            // The chroma plane as the luma of a grey picture, thresholded by cthr.
            Args asLuma = c.args;
            asLuma.ythr = c.args.cthr;
            const Plane& chroma = p == 1 ? picture.u : picture.v;
            EXPECT_EQ(PlaneOf(out, picture, p), ConvertInCore(Picture{chroma, {}, {}, kLayoutGrey}, asLuma))
                << "plane " << p << " picture " << n;
        }
    }
}

TEST_P(Layouts, GreyIsTheLumaOfAnyLayout) {
    const Case& c = GetParam();
    for (int n = 0; n < 3; ++n) {
        const Picture grey = PictureOf(kLayoutGrey, c.size, n);
        const std::vector<uint16_t> out = ConvertInCore(grey, c.args);
        ASSERT_EQ(out.size(), grey.y.samples.size());
        for (Layout layout : {kLayout420, kLayout422, kLayout444}) {
            Picture picture = PictureOf(layout, c.size, n);
            EXPECT_EQ(PlaneOf(ConvertInCore(picture, c.args), picture, 0), out) << "picture " << n;
        }
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (int level : {1, 2, 3})
        for (Size size : {Size{36, 18}, Size{64, 40}, Size{100, 21}})
            for (const Args& a : {Args{level, 3, 1, 1, false}, Args{level, 5, 2, 7, false}, Args{level, 3, 1, 1, true},
                                  Args{level, -1, 1, 1, false}, Args{level, 2, 3, 1, false, level == 1 ? 0 : 16},
                                  Args{level, 9, 1, 1, false}})
                cases.push_back({a, size});
    return cases;
}

// Levels 2 and 3 give the model's rectangles on 4:2:2 and 4:1:1 chroma
// (level 1 reads past the plane's width, its own rule), and agree with each
// other on every layout, the adaptive window and the map included.
TEST(SubsampledLayouts, ChromaTakesRectangularWindows) {
    for (const Case& c : Cases()) {
        if (c.args.sseopt == 1) continue;
        const Size size = {c.size.width / 4 * 4, c.size.height};
        for (Layout layout : {kLayout420, kLayout422, kLayout411, kLayout444}) {
            const Picture picture = PictureOf(layout, size, c.size.height);
            const std::vector<uint16_t> out = ConvertInCore(picture, c.args);
            Args streaming = c.args;
            streaming.sseopt = 2;
            EXPECT_EQ(out, ConvertInCore(picture, streaming)) << ::testing::PrintToString(c);
            if (c.args.debug || c.args.maxSpan) continue;
            const Radii r = bitgrade::Settings::RadiiOf(c.args.span, layout.chroma);
            EXPECT_EQ(PlaneOf(out, picture, 1), WindowModel(picture.u, r, c.args.cthr))
                << layout.chroma.x << "," << layout.chroma.y << " " << ::testing::PrintToString(c);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, Layouts, ::testing::ValuesIn(Cases()));

}  // namespace
