// The plateaus mode: each sample that no window wider than the narrowest
// averages takes the mean of its taps within a level, kept within half a
// level of its own value. Levels 2 and 3 follow a model written from that
// text, on every layout and depth; the newer hosts' refusals of it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "convert/creation.h"
#include "convert/plane_common.h"
#include "test_support.h"

using namespace testing_support;
using bitgrade::Layout;

namespace {

// One plane of `bits`-deep samples, bands made at `bands`, as the mode's
// text states it: a sample's taps lie on eight rays (across, down and the
// diagonals) at a half, one, two and four spans, each distance shifted
// right by the plane's subsampling on its axis and at least 1, the
// diagonals at that over sqrt 2, rounded, the picture continued past its
// edges as its edge samples; those whose sample is less than 3L/2 from the
// sample's (L = 2^(bits - bands)) are
// averaged with it, sample * 2^(16 - bits) each, rounded down, and kept in
// its own level of 2^(16 - bands) values: half of them (rounded down) below
// its value, the rest from it up, and in 16 bits.
// Then every window wider than the narrowest that fits (distinct radii,
// narrowest first) writes its mean where it averages.
std::vector<uint16_t> PlaneModel(const uint16_t* samples, int W, int H, int bits, int bands, bitgrade::Subsampling sub,
                                 const bitgrade::Settings& s, int threshold) {
    const int shift = 16 - bits, level = 1 << (16 - bands), below = level / 2, above = level - 1 - below;
    const double L = std::ldexp(1.0, bits - bands);
    std::vector<std::pair<int, int>> taps;
    for (int d : {s.span / 2, s.span, 2 * s.span, 4 * s.span}) {
        const int x = std::max(1, d >> sub.x), y = std::max(1, d >> sub.y);
        const int qx = (int)std::lround(x / std::sqrt(2.0)), qy = (int)std::lround(y / std::sqrt(2.0));
        for (auto t : {std::pair{x, 0}, {-x, 0}, {0, y}, {0, -y}, {qx, qy}, {-qx, qy}, {qx, -qy}, {-qx, -qy}})
            taps.push_back(t);
    }
    std::vector<uint16_t> out((size_t)W * H);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const int centre = samples[(size_t)y * W + x];
            long sum = (long)centre << shift, n = 1;
            for (auto [dx, dy] : taps) {
                const int tx = std::clamp(x + dx, 0, W - 1), ty = std::clamp(y + dy, 0, H - 1);
                const int sample = samples[(size_t)ty * W + tx];
                if (std::abs(sample - centre) >= 3 * L / 2) continue;
                sum += (long)sample << shift;
                ++n;
            }
            const long mean = (long)std::floor((double)sum / n), own = (long)centre << shift;
            out[(size_t)y * W + x] = (uint16_t)std::clamp(std::clamp(mean, own - below, own + above), 0L, 65535L);
        }
    }
    const bitgrade::Rungs rungs(s);
    const Classes c = ClassifiedByRule(samples, W, H, bits, bands);
    bool narrowest = true;
    bitgrade::Radii last = {0, 0};
    for (int k = rungs.count - 1; k >= 0; --k) {
        const bitgrade::Radii r = rungs.RadiiOf(k, sub);
        if (!bitgrade::WindowFits(r, H, W) || (!narrowest && r == last)) continue;
        last = r;
        if (narrowest) {
            narrowest = false;
            continue;
        }
        std::vector<bool> averaged;
        const std::vector<uint16_t> means = SmoothedByWindows(c.values, c.edges, W, H, r, threshold, &averaged);
        for (size_t i = 0; i < out.size(); ++i)
            if (averaged[i]) out[i] = means[i];
    }
    return out;
}

// Every plane of a picture by the model, one after another.
std::vector<uint16_t> Model(const DeepPicture& p, int bands, const Args& a) {
    bitgrade::Settings s;
    s.span = a.span;
    s.maxSpan = a.maxSpan;
    std::vector<uint16_t> all;
    const uint16_t* at = p.samples.data();
    for (int k = 0; k < p.layout.planes; ++k) {
        const bitgrade::Subsampling sub = k ? p.layout.chroma : bitgrade::Subsampling();
        const int w = p.width >> sub.x, h = p.height >> sub.y;
        const std::vector<uint16_t> plane = PlaneModel(at, w, h, p.bits, bands, sub, s, k ? a.cthr : a.ythr);
        all.insert(all.end(), plane.begin(), plane.end());
        at += (size_t)w * h;
    }
    return all;
}

// Plateaus a few samples wide a level apart, with noise of about a level,
// runs of the extremes 0, 1, 2^bits - 2 and 2^bits - 1 at the plane's
// edges, and here and there any code.
DeepPicture Plateaus(int width, int height, Layout layout, int bits, int bands, uint32_t seed) {
    std::mt19937 rng(seed);
    const int top = (1 << bits) - 1, level = 1 << (bits - bands), block = 3 + (int)(rng() % 6);
    return MakeDeepPicture(width, height, layout, bits, [&](int x, int y, int p) {
        if (y == 0 || x < 2 || x == width - 1) return (int)(rng() % 2 ? rng() % 2 : top - rng() % 2);
        if (rng() % 40 == 0) return (int)(rng() % (top + 1));
        const int plateau = (x / block + y / block + p) % 3 * level, noise = rng() % 6 ? 0 : level;
        return top / 2 + plateau + (rng() % 2 ? noise : -noise);
    });
}

const Layout kLayouts[] = {bitgrade::kLayoutGrey, bitgrade::kLayout420, bitgrade::kLayout422, bitgrade::kLayout444,
                           bitgrade::kLayout411};

// Random pictures of every layout and depth, odd and tiny sizes among them
// (where taps fall outside and no window fits), spans 1..6 and 31, with and
// without the adaptive window, thresholds from -1 (no window averages) up,
// at levels 2 and 3.
TEST(Plateaus, FollowTheRule) {
    std::mt19937 rng(41);
    for (int trial = 0; trial < 120; ++trial) {
        const Layout layout = kLayouts[trial % 5];
        const auto [bits, bands] =
            std::vector<std::pair<int, int>>{{8, 8}, {10, 10}, {16, 8}, {12, 9}, {16, 16}, {9, 9}}[trial / 5 % 6];
        const int w = layout.chroma.x == 2 ? 4 * (1 + (int)(rng() % 20)) : 1 + (int)(rng() % (trial % 7 ? 70 : 300));
        const int h = 1 + (int)(rng() % (w > 100 ? 12 : 45));
        const DeepPicture picture = Plateaus(w, h, layout, bits, bands, (uint32_t)trial);
        Args a{2, trial % 11 == 0 ? 31 : 1 + (int)(rng() % 6), (int)(rng() % 8) - 1, (int)(rng() % 8) - 1};
        a.maxSpan = rng() % 3 ? a.span + 1 + (int)(rng() % 45) : 0;
        a.bands = bands;
        a.plateaus = true;
        const std::vector<uint16_t> model = Model(picture, bands, a);
        for (int level : {2, 3}) {
            a.sseopt = level;
            ASSERT_EQ(ConvertDeepInCore(picture, a), model)
                << "level " << level << " " << w << "x" << h << " layout " << layout.planes << ":" << layout.chroma.x
                << "," << layout.chroma.y << " bits " << bits << "/" << bands << " span " << a.span << " max-span "
                << a.maxSpan << " thresholds " << a.ythr << "," << a.cthr;
        }
    }
}

// The mode keeps every sample within half a level: a plateau one level
// above its surroundings leans down to them but stays above the midpoint,
// and its middle, beyond every tap's reach of them, is its own level.
TEST(Plateaus, APlateauLeansTowardsItsNeighboursWithinItsLevel) {
    const DeepPicture picture =
        MakeDeepPicture(96, 8, bitgrade::kLayoutGrey, 8, [](int x, int, int) { return x >= 24 && x < 72 ? 101 : 100; });
    Args a{3, 2, 1, 1};
    a.plateaus = true;
    const std::vector<uint16_t> out = ConvertDeepInCore(picture, a);
    for (int x = 0; x < 96; ++x) {
        const int own = (x >= 24 && x < 72 ? 101 : 100) * 256;
        EXPECT_GE(out[4 * 96 + x], own - 128) << x;
        EXPECT_LT(out[4 * 96 + x], own + 128) << x;
    }
    EXPECT_LT(out[4 * 96 + 24], 101 * 256) << "the plateau's rim leans down";
    EXPECT_GT(out[4 * 96 + 23], 100 * 256) << "its surroundings lean up";
    EXPECT_EQ(out[4 * 96 + 48], 101 * 256) << "its middle, 24 from either rim, is beyond the taps' reach of 8";
}

// Creation refuses the mode where it has no meaning, in the newer hosts'
// words.
TEST(Plateaus, Refusals) {
    const bitgrade::Processor processor = TestProcessor();
    auto decide = [&](int sseopt, int span, bool debug) {
        bitgrade::Settings s;
        s.span = span;
        s.debug = debug;
        s.plateaus = true;
        return bitgrade::Decide({true, 64, bitgrade::Widths::kAny}, processor, sseopt, s).refusal;
    };
    EXPECT_EQ(decide(1, 3, false), bitgrade::Refusal::kPlateausPlain);
    EXPECT_EQ(decide(0, 0, false), bitgrade::Refusal::kPlateausSpan);
    EXPECT_EQ(decide(0, 32, false), bitgrade::Refusal::kPlateausSpan);
    EXPECT_EQ(decide(0, 31, false), bitgrade::Refusal::kNone);
    EXPECT_EQ(decide(2, 1, false), bitgrade::Refusal::kNone);
    EXPECT_EQ(decide(0, 3, true), bitgrade::Refusal::kPlateausDebug);
    EXPECT_STREQ(bitgrade::MessageOf(bitgrade::Refusal::kPlateausSpan),
                 "levelize: \"plateaus\" needs a \"span\" of 1 to 31.");
}

}  // namespace
