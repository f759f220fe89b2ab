// The adaptive mode (maxSpan): at each sample the output of the widest rung
// whose window averages it, else span's. It must be exactly the composition
// of single-span runs by their maps, at levels 2 and 3.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "convert/creation.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// One plane through the core at a level, as luma or chroma, its source rows
// `extra` bytes wider than the plane: 16-bit values, or map bytes in debug
// mode.
std::vector<uint16_t> ConvertOne(int level, const Plane& plane, bool luma, const bitgrade::Settings& settings,
                                 int extra) {
    const int pitch = plane.width + extra, bytes = settings.debug ? 1 : 2;
    std::vector<uint8_t> src((size_t)pitch * plane.height, 0x5A), dst((size_t)plane.width * bytes * plane.height);
    for (int y = 0; y < plane.height; ++y)
        std::copy_n(&plane.samples[(size_t)y * plane.width], plane.width, &src[(size_t)y * pitch]);
    const bitgrade::Plane p = {
        src.data(),  pitch,        dst.data(), plane.width * bytes,
        plane.width, plane.height, luma,       luma ? bitgrade::Subsampling() : bitgrade::Subsampling(1, 1)};
    bitgrade::Scratch scratch;
    EXPECT_TRUE(
        bitgrade::Converter({(bitgrade::Level)level, TestProcessor().vectorIsa, settings}).ConvertPlane(p, scratch));
    std::vector<uint16_t> out((size_t)plane.width * plane.height);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = settings.debug ? dst[i] : (uint16_t)(dst[2 * i] | dst[2 * i + 1] << 8);
    return out;
}

// The mode by its definition: every rung run alone, its map choosing where
// its values are taken, the widest first.
std::vector<uint16_t> Composed(int level, const Plane& plane, bool luma, bitgrade::Settings settings, int extra) {
    const bitgrade::Rungs rungs(settings);
    std::vector<std::vector<uint16_t>> maps, values;
    for (int k = 0; k < rungs.count; ++k) {
        bitgrade::Settings single = settings;
        single.span = rungs.spans[k];
        single.maxSpan = 0;
        single.debug = true;
        maps.push_back(ConvertOne(level, plane, luma, single, extra));
        single.debug = false;
        values.push_back(ConvertOne(level, plane, luma, single, extra));
    }
    std::vector<uint16_t> out = settings.debug ? maps.back() : values.back();
    for (size_t i = 0; i < out.size(); ++i) {
        for (int k = 0; k < rungs.count; ++k) {
            if (maps[k][i] != 0) continue;
            out[i] = settings.debug ? 0 : values[k][i];
            break;
        }
    }
    return out;
}

// Random planes of every kind (the extreme levels at the plane edges among
// them), odd and even widths, tight and wide pitches, luma and chroma,
// thresholds from -1 to past the row-end count, spans -2..6 and max-spans up
// to and past the plane's size.
TEST(Adaptive, IsTheCompositionOfSingleSpanRunsByTheirMaps) {
    std::mt19937 rng(33);
    for (int trial = 0; trial < 160; ++trial) {
        const int w = 1 + (int)(rng() % (trial % 4 ? 90 : 700)), h = 1 + (int)(rng() % 60);
        const int kind = (int)(rng() % kStructuredKinds);
        const Plane plane = Structured(kind, w, h, trial);
        bitgrade::Settings settings;
        settings.span = (int)(rng() % 9) - 2;  // a negative span's own window fits no plane
        settings.maxSpan = settings.span + 1 + (int)(rng() % 70);
        settings.ythr = settings.cthr = rng() % 5 ? (int)(rng() % 40) - 1 : (int)(rng() % 2000);
        const bool luma = rng() % 3 != 0;
        const int extra = rng() % 2 ? 0 : 1 + (int)(rng() % 40);
        for (int level : {kStreaming, kVector}) {
            for (bool debug : {false, true}) {
                settings.debug = debug;
                ASSERT_EQ(ConvertOne(level, plane, luma, settings, extra),
                          Composed(level, plane, luma, settings, extra))
                    << "level " << level << " " << w << "x" << h << " kind " << kind << " span " << settings.span
                    << " max-span " << settings.maxSpan << " threshold " << settings.ythr << " luma " << luma
                    << " extra " << extra << " debug " << debug;
            }
        }
    }
}

// Below the row-end count the two levels agree in this mode too.
TEST(Adaptive, LevelsTwoAndThreeAgree) {
    for (int kind = 0; kind < kStructuredKinds; ++kind) {
        const Plane plane = Structured(kind, 77, 50, kind);
        for (bool debug : {false, true}) {
            bitgrade::Settings settings;
            settings.span = 2;
            settings.maxSpan = 24;
            settings.ythr = kind * 7;
            settings.debug = debug;
            EXPECT_EQ(ConvertOne(kVector, plane, true, settings, 3), ConvertOne(kStreaming, plane, true, settings, 3))
                << kind;
        }
    }
}

// Levels 2 and 3 agree up to one below the row-end busy count 255 * (2r + 1)
// of the narrowest window that fits the plane, and differ from it on: span's
// window, or a negative span's narrowest rung (span -1, max-span 3: rungs 3
// and 1, radius 1 for luma). A radius of 0 has no bound: its one-sample
// window is the sample's own value at both levels. So chroma has none where
// the span is negative, its narrowest rung being 1 / 2 = 0.
TEST(Adaptive, LevelsTwoAndThreeAgreeBelowTheNarrowestFittingRungsCount) {
    const Plane plane = Gradient(48, 30, 2);
    const struct {
        int span, maxSpan;
        bool luma;
        int bound;
    } cases[] = {{2, 24, true, 255 * 5},  {2, 24, false, 255 * 3}, {-1, 3, true, 255 * 3},
                 {-2, 12, true, 255 * 3}, {-1, 40, true, 255 * 3}, {3, 12, false, 255 * 3}};
    for (const auto& c : cases) {
        bitgrade::Settings settings;
        settings.span = c.span;
        settings.maxSpan = c.maxSpan;
        settings.debug = true;
        for (auto [threshold, same] : {std::pair{c.bound - 1, true}, {c.bound, false}}) {
            settings.ythr = settings.cthr = threshold;
            EXPECT_EQ(
                ConvertOne(kVector, plane, c.luma, settings, 0) == ConvertOne(kStreaming, plane, c.luma, settings, 0),
                same)
                << "span " << c.span << " max-span " << c.maxSpan << " luma " << c.luma << " threshold " << threshold;
        }
    }
}

// A negative span's radius fits no plane, so without a max-span nothing is
// averaged, at every level, level 1 included: the output of a span wider
// than the picture.
TEST(Adaptive, ANegativeSpanAloneAveragesNothingAtEveryLevel) {
    const Picture picture = MakePicture(70, 36, [](int w, int h) { return Structured(0, w, h, 4); });
    for (int level : {kPlain, kStreaming, kVector}) {
        for (int span : {-1, -2, -64}) {
            for (bool debug : {false, true}) {
                EXPECT_EQ(ConvertInCore(picture, Args{level, span, 1, 1, debug}),
                          ConvertInCore(picture, Args{level, 100, 1, 1, debug}))
                    << "level " << level << " span " << span << " debug " << debug;
            }
        }
    }
}

// On a plane whose every window averages, a sample near the border takes the
// widest rung whose window fits between it and the nearest edge.
TEST(Adaptive, NearTheBorderTheWidestRungThatFits) {
    const Plane plane = MakePlane(64, 48, [](int x, int y) { return 60 + (x + 2 * y) / 9; });
    bitgrade::Settings settings;
    settings.span = 1;
    settings.maxSpan = 16;  // rungs 16, 8, 4, 2, 1
    settings.ythr = 700;    // every window fits under it, and no row end is averaged
    for (int level : {kStreaming, kVector}) {
        const auto adaptive = ConvertOne(level, plane, true, settings, 0);
        std::map<int, std::vector<uint16_t>> single;
        for (int span : {1, 2, 4, 8, 16}) {
            bitgrade::Settings s = settings;
            s.span = span;
            s.maxSpan = 0;
            single[span] = ConvertOne(level, plane, true, s, 0);
        }
        for (int y = 0; y < plane.height; ++y) {
            for (int x = 0; x < plane.width; ++x) {
                const int room = std::min({x, y, plane.width - 1 - x, plane.height - 1 - y});
                int span = 1;
                for (int s : {2, 4, 8, 16})
                    if (s <= room) span = s;
                ASSERT_EQ(At(adaptive, plane.width, x, y), At(single[span], plane.width, x, y))
                    << "level " << level << " at " << x << "," << y << " rung " << span;
            }
        }
    }
}

// The extremes: a threshold of -1 averages nothing, a max-span at or below
// span is off, and rungs wider than the plane never average.
TEST(Adaptive, ExtremeSettings) {
    const Plane plane = Structured(0, 30, 20, 5);
    auto run = [&](int level, int span, int maxSpan, int threshold) {
        bitgrade::Settings s;
        s.span = span;
        s.maxSpan = maxSpan;
        s.ythr = threshold;
        return ConvertOne(level, plane, true, s, 0);
    };
    for (int level : {kStreaming, kVector}) {
        EXPECT_EQ(run(level, 3, 24, -1), run(level, 3, 0, -1)) << level;
        EXPECT_EQ(run(level, 3, 24, -1), run(level, 0, 0, -1)) << level;
        for (int maxSpan : {0, 1, 3}) EXPECT_EQ(run(level, 3, maxSpan, 4), run(level, 3, 0, 4)) << level;
        // 30x20: rungs 100, 50 and 25 do not fit; 12 is the widest that can.
        EXPECT_EQ(run(level, 3, 100, 4), run(level, 3, 12, 4)) << level;
    }
}

}  // namespace
