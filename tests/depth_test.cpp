// Output brought down to 8, 10 and 12 bits: the rules every dither keeps on
// whole planes: each code within one of its 16-bit value's,
// plain rounding exact, ordered and diffusion unbiased, the debug map the
// same at every depth, and a dither matrix that ranks each cell once and is
// even in every window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "convert/processor.h"
#include "test_support.h"

using namespace bitgrade;
using testing_support::Gradient;
using testing_support::kStreaming;
using testing_support::kVector;
using testing_support::TestProcessor;

namespace {

// One luma plane through the core at a depth: its codes, or map bytes.
std::vector<int> Codes(int level, const testing_support::Plane& p, OutputDepth depth, bool debug = false) {
    const Settings settings = {6, 1, 1, debug};
    const Converter converter({(Level)level, TestProcessor().vectorIsa, settings, depth});
    const int bytes = converter.Chosen().SampleBytes();
    std::vector<uint8_t> dst((size_t)p.width * p.height * bytes);
    const Plane plane = {p.samples.data(), p.width, dst.data(), p.width * bytes, p.width, p.height, true, {}};
    Scratch scratch;
    EXPECT_TRUE(converter.ConvertPlane(plane, scratch));
    std::vector<int> codes((size_t)p.width * p.height);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = bytes == 1 ? dst[i] : dst[2 * i] | dst[2 * i + 1] << 8;
    return codes;
}

struct DepthCase {
    int bits;
    Dither dither;
};

void PrintTo(const DepthCase& c, std::ostream* os) {
    const char* names[] = {"none", "ordered", "diffusion"};
    *os << c.bits << " bits " << names[(int)c.dither];
}

class Depths : public ::testing::TestWithParam<DepthCase> {};

// Against the 16-bit output of the same picture: every code within one of
// value / 2^shift; plain rounding exactly (value + half) >> shift; the mean
// error of ordered and diffusion under 0.02 of a code on a smooth picture
// that holds whole matrices (128 by 128).
TEST_P(Depths, CodesKeepTheirValueAndOrderedAndDiffusionAreUnbiased) {
    const DepthCase c = GetParam();
    const OutputDepth depth = {c.bits, c.dither};
    const double step = std::ldexp(1.0, (int)depth.Shift());
    for (int level : {kStreaming, kVector}) {
        const testing_support::Plane plane = Gradient(128, 128, 5);
        const std::vector<int> wide = Codes(level, plane, OutputDepth()), codes = Codes(level, plane, depth);
        double error = 0;
        for (size_t i = 0; i < codes.size(); ++i) {
            const double exact = wide[i] / step;
            ASSERT_LE(std::fabs(codes[i] - exact), 1.0) << i;
            if (c.dither == Dither::kNone) {
                ASSERT_EQ(codes[i], std::min((wide[i] + (int)step / 2) >> depth.Shift(), 65535 >> depth.Shift()));
            }
            error += codes[i] - exact;
        }
        if (c.dither != Dither::kNone) {
            EXPECT_LT(std::fabs(error / codes.size()), 0.02) << "level " << level;
        }
    }
}

std::string DepthCaseName(const ::testing::TestParamInfo<DepthCase>& info) {
    const char* names[] = {"None", "Ordered", "Diffusion"};
    return std::to_string(info.param.bits) + "Bits" + names[(int)info.param.dither];
}

INSTANTIATE_TEST_SUITE_P(EveryDepthAndDither, Depths,
                         ::testing::Values(DepthCase{8, Dither::kNone}, DepthCase{8, Dither::kOrdered},
                                           DepthCase{8, Dither::kDiffusion}, DepthCase{10, Dither::kNone},
                                           DepthCase{10, Dither::kOrdered}, DepthCase{10, Dither::kDiffusion},
                                           DepthCase{12, Dither::kOrdered}, DepthCase{12, Dither::kDiffusion}),
                         DepthCaseName);

// A constant 8-bit 235 is 940 at 10 bits, whatever the dither.
TEST(Depth, VideoLevelsKeepTheirCodes) {
    const testing_support::Plane white = testing_support::Constant(70, 20, 235);
    for (Dither dither : {Dither::kNone, Dither::kOrdered, Dither::kDiffusion}) {
        const std::vector<int> codes = Codes(kVector, white, {10, dither});
        EXPECT_EQ(std::set<int>(codes.begin(), codes.end()), std::set<int>{940}) << (int)dither;
    }
}

TEST(Depth, TheDebugMapIsTheSameAtEveryDepth) {
    const testing_support::Plane plane = Gradient(48, 30, 2);
    const std::vector<int> map = Codes(kVector, plane, OutputDepth(), true);
    for (int bits : {8, 10, 12}) EXPECT_EQ(Codes(kVector, plane, {bits, Dither::kOrdered}, true), map) << bits;
}

// The generators of the rank tables, which the core holds as constants.

// The orders of the recursive matrix's cells, finest level first: at level
// k the cell (y >> k & 1, x >> k & 1). The three finest were measured; the
// coarser levels, which only 8-bit output would reach, repeat them.
const uint8_t kCellOrders[3][2][2] = {{{1, 2}, {3, 0}}, {{3, 0}, {1, 2}}, {{1, 3}, {2, 0}}};

std::vector<uint16_t> RecursiveRanks() {
    std::vector<uint16_t> ranks(kMatrixEntries);
    for (uint32_t y = 0; y < kMatrixSide; ++y)
        for (uint32_t x = 0; x < kMatrixSide; ++x) {
            uint32_t rank = 0;
            for (uint32_t k = 0; (1u << k) < kMatrixSide; ++k)
                rank = rank * 4 + kCellOrders[k % 3][(y >> k) & 1][(x >> k) & 1];
            ranks[y * kMatrixSide + x] = (uint16_t)rank;
        }
    return ranks;
}

// Interleaved gradient noise: a fraction of a fraction of a tilted ramp,
// whose neighbours differ by large, irregular steps in every direction; its
// cells ranked by it, ties by position. In single precision, as the table
// was first made.
std::vector<uint16_t> GradientNoiseRanks() {
    auto fraction = [](float v) { return v - std::floor(v); };
    std::vector<float> noise(kMatrixEntries);
    std::vector<uint16_t> order(kMatrixEntries), ranks(kMatrixEntries);
    for (uint32_t i = 0; i < kMatrixEntries; ++i) {
        const float x = (float)(i % kMatrixSide), y = (float)(i / kMatrixSide);
        noise[i] = fraction(52.9829189f * fraction(0.06711056f * x + 0.00583715f * y));
        order[i] = (uint16_t)i;
    }
    std::stable_sort(order.begin(), order.end(), [&](uint16_t a, uint16_t b) { return noise[a] < noise[b]; });
    for (uint32_t rank = 0; rank < kMatrixEntries; ++rank) ranks[order[rank]] = (uint16_t)rank;
    return ranks;
}

std::string RankTable(const char* name, const std::vector<uint16_t>& ranks) {
    std::string text = "const uint16_t " + std::string(name) + "[kMatrixEntries] = {\n";
    for (uint32_t i = 0; i < kMatrixEntries; i += 16) {
        text += "   ";
        for (uint32_t k = 0; k < 16; ++k) text += " " + std::to_string(ranks[i + k]) + ",";
        text += "\n";
    }
    return text + "};\n";
}

// The core's constant tables are their generators' output; where they are
// not, the tables for convert/dither_ranks.cpp are printed.
TEST(Depth, TheRankTablesAreTheirGeneratorsOutput) {
    const std::vector<uint16_t> recursive = RecursiveRanks(), noise = GradientNoiseRanks();
    const bool same = std::equal(recursive.begin(), recursive.end(), kRecursiveRanks) &&
                      std::equal(noise.begin(), noise.end(), kGradientNoiseRanks);
    EXPECT_TRUE(same);
    if (!same)
        std::printf("%s%s", RankTable("kRecursiveRanks", recursive).c_str(),
                    RankTable("kGradientNoiseRanks", noise).c_str());
}

// Every rank once, and the thresholds even in every 8 by 8 window (the
// matrix wraps): patterns without low frequencies, whose local mean follows
// the value being dithered.
TEST(Depth, TheDitherMatricesRankEveryCellOnceAndAreEvenEverywhere) {
    for (const uint16_t* table : {kRecursiveRanks, kGradientNoiseRanks}) {
        const std::vector<uint16_t> ranks(table, table + kMatrixEntries);
        EXPECT_EQ(std::set<uint16_t>(ranks.begin(), ranks.end()).size(), kMatrixEntries);
        EXPECT_EQ(*std::max_element(ranks.begin(), ranks.end()), kMatrixEntries - 1);
        for (uint32_t top = 0; top < kMatrixSide; ++top)
            for (uint32_t left = 0; left < kMatrixSide; ++left) {
                double sum = 0;
                for (uint32_t y = top; y < top + 8; ++y)
                    for (uint32_t x = left; x < left + 8; ++x)
                        sum += ranks[(y % kMatrixSide) * kMatrixSide + x % kMatrixSide];
                const double mean = sum / 64 / (kMatrixEntries - 1);
                ASSERT_GT(mean, 0.42) << top << " " << left;
                ASSERT_LT(mean, 0.58) << top << " " << left;
            }
    }
}

// The recursive matrix's top 2k bits take every value once in every
// 2^k-square, aligned or not (it wraps): at 10 bits (k = 3) each 8 x 8
// window holds every threshold once.
TEST(Depth, TheRecursiveMatrixHoldsEveryThresholdOnceInEverySquare) {
    const uint16_t* ranks = kRecursiveRanks;
    for (uint32_t k = 1; k <= 6; ++k) {
        const uint32_t side = 1u << k;
        for (uint32_t top = 0; top < kMatrixSide; top += 3)
            for (uint32_t left = 0; left < kMatrixSide; left += 5) {
                std::set<int> values;
                for (uint32_t y = top; y < top + side; ++y)
                    for (uint32_t x = left; x < left + side; ++x)
                        values.insert(ranks[(y % kMatrixSide) * kMatrixSide + x % kMatrixSide] >> (12 - 2 * k));
                ASSERT_EQ(values.size(), side * side) << "k " << k << " at " << top << "," << left;
            }
    }
}

// Hosts hand names over as bytes with a size: a name is matched by its
// bytes alone, so that a longer one (a NUL more) is another name and no
// comparison reads past the names the filter knows.
TEST(Depth, DithersAreNamedByTheirBytes) {
    const struct {
        std::string bytes;
        bool known;
        Dither dither;
    } cases[] = {{"ordered", true, Dither::kOrdered},
                 {"diffusion", true, Dither::kDiffusion},
                 {"none", true, Dither::kNone},
                 {std::string("ordered\0", 8), false, Dither::kNone},
                 {std::string("none\0", 5), false, Dither::kNone},
                 {"order", false, Dither::kNone},
                 {"orderedx", false, Dither::kNone},
                 {"", false, Dither::kNone},
                 {"Ordered", false, Dither::kNone},
                 {std::string("diffusion\0\0\0", 12), false, Dither::kNone}};
    for (const auto& c : cases) {
        // The bytes in a block of their own size, so that a read past them shows under ASan.
        std::vector<char> bytes(c.bytes.begin(), c.bytes.end());
        Dither dither = Dither::kNone;
        EXPECT_EQ(DitherNamed(bytes.data(), bytes.size(), dither), c.known) << c.bytes;
        EXPECT_EQ(dither, c.dither) << c.bytes;
    }
}

}  // namespace
