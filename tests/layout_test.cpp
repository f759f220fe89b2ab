// The layouts beside 4:2:0: 4:4:4 chroma windows cover the picture area of
// luma's, so a chroma plane converts as luma does but for its threshold; a
// grey picture is its luma plane alone. At every level and in debug mode,
// with the adaptive window, on widths that are no multiple of 16.
#include "test_support.h"

using namespace testing_support;
using bitgrade::Layout;

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

TEST_P(Layouts, A444ChromaPlaneConvertsAsLumaWithTheChromaThreshold) {
    const Case& c = GetParam();
    if (c.args.debug) GTEST_SKIP() << "the map covers luma alone";
    for (int n = 0; n < 3; ++n) {
        const Picture picture = PictureOf(Layout::k444, c.size, n);
        const std::vector<uint16_t> out = ConvertInCore(picture, c.args);
        for (int p : {1, 2}) {
            // The chroma plane as the luma of a grey picture, thresholded by cthr.
            Args asLuma = c.args;
            asLuma.ythr = c.args.cthr;
            const Plane& chroma = p == 1 ? picture.u : picture.v;
            EXPECT_EQ(PlaneOf(out, picture, p), ConvertInCore(Picture{chroma, {}, {}, Layout::kGrey}, asLuma))
                << "plane " << p << " picture " << n;
        }
    }
}

TEST_P(Layouts, GreyIsTheLumaOfAnyLayout) {
    const Case& c = GetParam();
    for (int n = 0; n < 3; ++n) {
        const Picture grey = PictureOf(Layout::kGrey, c.size, n);
        const std::vector<uint16_t> out = ConvertInCore(grey, c.args);
        ASSERT_EQ(out.size(), grey.y.samples.size());
        for (Layout layout : {Layout::k420, Layout::k444}) {
            Picture picture = PictureOf(layout, c.size, n);
            EXPECT_EQ(PlaneOf(ConvertInCore(picture, c.args), picture, 0), out) << "picture " << n;
        }
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (int level : {1, 2, 3})
        for (Size size : {Size{34, 18}, Size{64, 40}, Size{99, 21}})
            for (const Args& a : {Args{level, 3, 1, 1, false}, Args{level, 5, 2, 7, false}, Args{level, 3, 1, 1, true},
                                  Args{level, -1, 1, 1, false}, Args{level, 2, 3, 1, false, level == 1 ? 0 : 16}})
                cases.push_back({a, size});
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Levels, Layouts, ::testing::ValuesIn(Cases()));

}  // namespace
