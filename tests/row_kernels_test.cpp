// Scalar row kernels: the worked examples, and each kernel against a direct
// per-pixel computation of the same quantity on many random rows.
#include <gtest/gtest.h>

#include <random>

#include "convert/row_kernels.h"

using namespace bitgrade;

namespace {

TEST(DiffToCodeTest, IncrementsAndTheirMirrorForEveryDifference) {
    for (int d = -512; d <= 512; ++d) {
        const uint16_t expected = d == -1 ? 0x0001 : d == 1 ? 0x0010 : d == 0 ? 0 : 0x0100;
        ASSERT_EQ(DiffToCode(d, kByteLevels), expected) << d;
        ASSERT_EQ(SwapNibbles(DiffToCode(d, kByteLevels)), DiffToCode(-d, kByteLevels)) << d;
    }
    EXPECT_EQ(SwapNibbles(0x1234), 0x1243);
    EXPECT_EQ(SwapNibbles(0x0800), 0x0800);
}

TEST(NeighbourCodeRowTest, SingleColumnTouchesOnlyItsCode) {
    const uint16_t c[1] = {5}, x[1] = {9};
    uint16_t carry[1] = {0x1111}, code[1] = {0};
    NeighbourCodeRow(c, x, 1, kByteLevels, carry, code);
    EXPECT_EQ(code[0], 0x0800);
    EXPECT_EQ(carry[0], 0x1111);
}

TEST(NeighbourCodeRowTest, TwoColumnsAreBothRowEnds) {
    const uint16_t c[2] = {5, 6}, x[2] = {5, 5};
    uint16_t carry[2] = {0, 0x7777}, code[2] = {1, 1};
    NeighbourCodeRow(c, x, 2, kByteLevels, carry, code);
    EXPECT_EQ(code[0], 0x0800);
    EXPECT_EQ(code[1], 0x0800);
    EXPECT_EQ(carry[0], 0x0001);  // x[0] sees 5 equal above, 6 higher upper-right
    EXPECT_EQ(carry[1], 0x7777);
}

TEST(NeighbourCodeRowTest, WorkedExample) {
    const uint16_t c[3] = {10, 11, 12}, x[3] = {11, 11, 11};
    uint16_t carry[3] = {0, 0, 0x4242}, code[3];
    NeighbourCodeRow(c, x, 3, kByteLevels, carry, code);
    EXPECT_EQ(code[0], 0x0800);
    EXPECT_EQ(code[1], 0x0011);
    EXPECT_EQ(code[2], 0x0800);
    EXPECT_EQ(carry[0], 0x0010);
    EXPECT_EQ(carry[1], 0x0011);
    EXPECT_EQ(carry[2], 0x4242);
}

// The code of pixel (x, y) over its neighbours in rows y0..y1, counted directly.
uint16_t DirectCode(const std::vector<std::vector<uint16_t>>& rows, int x, int y, int y0, int y1) {
    const int n = (int)rows[0].size();
    uint16_t code = 0;
    for (int j = y0; j <= y1; ++j)
        for (int i = x - 1; i <= x + 1; ++i)
            if ((i != x || j != y) && i >= 0 && i < n)
                code = (uint16_t)(code + DiffToCode(rows[y][x] - rows[j][i], kByteLevels));
    return code;
}

std::vector<uint16_t> RandomRow(std::mt19937& rng, int n) {
    std::vector<uint16_t> row((size_t)n);
    const int base = (int)(rng() % 250);
    for (auto& v : row) v = (uint16_t)(rng() % 8 == 0 ? rng() % 256 : base + rng() % 3);
    return row;
}

// Three rows through two calls: the middle row's codes are complete and the
// carry holds the upper part of the last row's codes.
TEST(NeighbourCodeRowTest, MatchesDirectCountsOnRandomRows) {
    std::mt19937 rng(1);
    for (int n = 1; n <= 80; ++n) {
        for (int trial = 0; trial < 25; ++trial) {
            const std::vector<std::vector<uint16_t>> rows = {RandomRow(rng, n), RandomRow(rng, n), RandomRow(rng, n)};
            std::vector<uint16_t> carry((size_t)n, 0), code((size_t)n);
            NeighbourCodeRow(rows[0].data(), rows[1].data(), (uint32_t)n, kByteLevels, carry.data(), code.data());
            NeighbourCodeRow(rows[1].data(), rows[2].data(), (uint32_t)n, kByteLevels, carry.data(), code.data());
            EXPECT_EQ(code[0], 0x0800);
            EXPECT_EQ(code[(size_t)n - 1], 0x0800);
            for (int x = 1; x + 1 < n; ++x) ASSERT_EQ(code[(size_t)x], DirectCode(rows, x, 1, 0, 2)) << n << " " << x;
            for (int x = 0; x + 1 < n; ++x) ASSERT_EQ(carry[(size_t)x], DirectCode(rows, x, 2, 1, 1)) << n << " " << x;
        }
    }
}

template <class Sum, class Count, class Edge>
void CheckWindowSums(std::mt19937& rng, uint32_t W, uint32_t r) {
    std::vector<uint16_t> values(W);
    std::vector<Edge> edges(W);
    for (uint32_t i = 0; i < W; ++i) {
        values[i] = (uint16_t)(rng() % 65281);
        edges[i] = (Edge)(rng() % 3 == 0 ? 1 + rng() % 255 : 0);
    }
    std::vector<Sum> sums(W, 0);
    std::vector<Count> counts(W, 7);
    WindowRowSums(r, W, values.data(), edges.data(), sums.data(), counts.data());
    for (uint32_t i = 0; i < W; ++i) {
        if (i < r || i + r >= W) {
            ASSERT_EQ(counts[i], 255u) << "row end " << i;
            continue;
        }
        Sum sum = 0;
        Count count = 0;
        for (uint32_t k = i - r; k <= i + r; ++k) {
            sum += values[k];
            count += edges[k] != 0;
        }
        ASSERT_EQ(sums[i], sum) << "W " << W << " r " << r << " at " << i;
        ASSERT_EQ(counts[i], count) << "W " << W << " r " << r << " at " << i;
    }
}

TEST(WindowRowSumsTest, MatchesDirectSumsOnRandomRows) {
    std::mt19937 rng(2);
    for (uint32_t W = 1; W <= 120; ++W)
        for (uint32_t r = 0; 2 * r + 1 <= W; r += 1 + r / 4) {
            CheckWindowSums<uint32_t, uint16_t, uint8_t>(rng, W, r);
            CheckWindowSums<uint64_t, uint32_t, uint16_t>(rng, W, r);
        }
    CheckWindowSums<uint32_t, uint16_t, uint8_t>(rng, 300, 127);
}

TEST(WindowRowSumsTest, EdgeCases) {
    const uint16_t values[5] = {10, 20, 30, 40, 50};
    const uint8_t edges[5] = {0, 9, 0, 255, 0};
    uint32_t sums[5] = {};
    uint16_t counts[5] = {};
    WindowRowSums(0u, 5u, values, edges, sums, counts);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(sums[i], values[i]);
        EXPECT_EQ(counts[i], edges[i] ? 1 : 0);
    }
    WindowRowSums(2u, 5u, values, edges, sums, counts);  // W = 2r+1: one window
    EXPECT_EQ(sums[2], 150u);
    EXPECT_EQ(counts[2], 2);
    for (int i : {0, 1, 3, 4}) EXPECT_EQ(counts[i], 255);
    const uint8_t allEdges[5] = {1, 1, 1, 1, 1};
    WindowRowSums(1u, 5u, values, allEdges, sums, counts);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(counts[i], 3);
}

}  // namespace
