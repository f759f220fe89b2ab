// Every kernel of every vector table (SSE4.1, AVX2) against its scalar twin
// on many random rows, plus the worked examples. The twins agree except that
// vector codes also count equal neighbours (bits 12-15), columns past the
// last whole block get no vector code, and vector row-end sums are
// (2r+1) * value where the scalar kernel writes none. A table the processor
// cannot run is skipped, and says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "convert/row_kernels_sse41.h"
#include "kernel_inputs.h"
#include "plugin/plugin.h"

using namespace bitgrade;
using bitgrade::DetectProcessor;

namespace {

using kernel_inputs::Row;

std::vector<uint16_t> Lanes(__m128i v) {
    std::vector<uint16_t> out(8);
    _mm_storeu_si128((__m128i*)out.data(), v);
    return out;
}

TEST(VectorKernels, DiffToCodeVecWorkedExampleAndEveryDifference) {
    const __m128i d = _mm_setr_epi16(-1, 0, 1, 2, -2, 255, -255, 0);
    EXPECT_EQ(Lanes(DiffToCodeVec(d)),
              (std::vector<uint16_t>{0x0001, 0x1000, 0x0010, 0x0100, 0x0100, 0x0100, 0x0100, 0x1000}));
    for (int base = -520; base <= 520; base += 8) {
        const __m128i v = _mm_setr_epi16(base, base + 1, base + 2, base + 3, base + 4, base + 5, base + 6, base + 7);
        const auto codes = Lanes(DiffToCodeVec(v));
        const auto mirrored = Lanes(SwapNibblesVec(DiffToCodeVec(_mm_sub_epi16(_mm_setzero_si128(), v))));
        const auto swapped = Lanes(SwapNibblesVec(DiffToCodeVec(v)));
        for (int k = 0; k < 8; ++k) {
            const int16_t dk = (int16_t)(base + k);
            ASSERT_EQ(codes[k], dk == 0 ? 0x1000 : DiffToCode(dk)) << dk;
            ASSERT_EQ(swapped[k], SwapNibbles(codes[k])) << dk;
            ASSERT_EQ(mirrored[k], codes[k]) << dk;
        }
    }
    EXPECT_EQ(Lanes(SwapNibblesVec(_mm_set1_epi16(0x1234)))[0], 0x1243);
    EXPECT_EQ(Lanes(SwapNibblesVec(_mm_set1_epi16(0x0800)))[3], 0x0800);
}

const uint16_t kUnwritten = 0xBEEF;

// Two calls over three random rows, vector and scalar, from the same carry.
void CompareNeighbourCodes(const RowKernels& k, std::mt19937& rng, uint32_t n) {
    Row<uint16_t> rows[3] = {Row<uint16_t>(n), Row<uint16_t>(n), Row<uint16_t>(n)};
    // Half the rows sit at the extreme levels, where clamping faults show.
    static const int kExtremes[5] = {0, 1, 253, 254, 255};
    const int base = rng() % 2 ? kExtremes[rng() % 5] : (int)(rng() % 250);
    for (auto& row : rows)
        for (uint32_t i = 0; i <= n + 16; ++i)
            row[i] = (uint16_t)(rng() % 6 == 0 ? rng() % 256 : std::min(255, base + (int)(rng() % 3)));
    Row<uint16_t> carry(n), code(n, kUnwritten), scalarCarry(n), scalarCode(n);
    for (int call = 0; call < 2; ++call) {
        k.neighbourCodeRow(rows[call].get(), rows[call + 1].get(), n, carry.get(), code.get());
        kScalarKernels.neighbourCodeRow(rows[call].get(), rows[call + 1].get(), n, scalarCarry.get(), scalarCode.get());
    }
    const uint32_t covered = n / 16 * 16;
    for (uint32_t i = 0; i < n; ++i) {
        const bool computed = i < covered || i == 0 || i == n - 1;
        if (!computed) {
            ASSERT_EQ(code[i], kUnwritten) << "n " << n << " at " << i;
            continue;
        }
        ASSERT_EQ(code[i] & 0x0FFF, scalarCode[i]) << "n " << n << " at " << i;
        if (i > 0 && i < n - 1) {
            const int fields = (code[i] & 0xF) + (code[i] >> 4 & 0xF) + (code[i] >> 8 & 0xF) + (code[i] >> 12);
            ASSERT_EQ(fields, 8) << "the equal field completes the count; n " << n << " at " << i;
        }
        if (i + 1 < n && i < covered) {
            ASSERT_EQ(carry[i] & 0x0FFF, scalarCarry[i]) << "carry, n " << n << " at " << i;
        }
    }
}

void CompareWindowSums(const RowKernels& k, std::mt19937& rng, uint32_t W, uint32_t r) {
    Row<uint16_t> values(W), edges(W);
    for (uint32_t i = 0; i < W + k.spare; ++i) {
        values[i] = (uint16_t)(rng() % 4 == 0 ? (rng() % 2) * 65280 : rng() % 65281);
        edges[i] = (uint16_t)(rng() % 3 == 0 ? 1 + rng() % 0xFFFF : 0);
    }
    const uint32_t kSentinel = 0xDEADBEEF;
    Row<uint32_t> sums(W, kSentinel), scalarSums(W);
    Row<uint16_t> counts(W, kUnwritten), scalarCounts(W);
    k.windowRowSums(r, W, values.get(), edges.get(), sums.get(), counts.get());
    kScalarKernels.windowRowSums(r, W, values.get(), edges.get(), scalarSums.get(), scalarCounts.get());
    for (uint32_t i = 0; i < W; ++i) {
        ASSERT_EQ(counts[i], scalarCounts[i]) << "W " << W << " r " << r << " at " << i;
        const bool rowEnd = i < r || i + r >= W;
        ASSERT_EQ(sums[i], rowEnd ? (2 * r + 1) * values[i] : scalarSums[i]) << "W " << W << " r " << r << " at " << i;
    }
    for (uint32_t i = W + k.spare; i < W + 16; ++i) ASSERT_EQ(sums[i], kSentinel) << "past the spare entries";
}

// Codes as the neighbour-code kernels make them: up, down, far and equal
// 0..8 each (mostly flat ones), and kRowEndCode.
uint16_t RandomCode(std::mt19937& rng) {
    if (rng() % 16 == 0) return kRowEndCode;
    const unsigned up = rng() % 9, down = rng() % 2 ? 0 : rng() % 9, far = rng() % 4 ? 0 : rng() % 9;
    return (uint16_t)(up | down << 4 | far << 8 | (rng() % 9) << 12);
}

void CompareClassification(const RowKernels& k, std::mt19937& rng, uint32_t columns) {
    Row<uint16_t> codes(columns), values(columns), edges(columns, kUnwritten);
    for (uint32_t i = 0; i < columns; ++i) {
        codes[i] = RandomCode(rng);
        values[i] = (uint16_t)(rng() % 4 ? rng() % 256 : (rng() % 2) * 255);
    }
    Row<uint16_t> scalarValues = values, scalarEdges = edges;
    k.classifyRow(codes.get(), values.get(), edges.get(), columns);
    kScalarKernels.classifyRow(codes.get(), scalarValues.get(), scalarEdges.get(), columns);
    for (uint32_t i = 0; i < columns + 8; ++i) {
        ASSERT_EQ(values[i], scalarValues[i]) << "columns " << columns << " at " << i;
        ASSERT_EQ(edges[i], scalarEdges[i]) << "columns " << columns << " at " << i;
    }
}

// Random totals and rows of a band at radius r, slid or not, against the
// scalar twin: the same output bytes and the same totals afterwards.
void CompareBandRow(const RowKernels& k, std::mt19937& rng, uint32_t W, uint32_t r, bool debug) {
    kernel_inputs::BandInputs in(W, r, [&](uint32_t n) { return (uint32_t)(rng() % n); });
    Row<BYTE> out(2 * W, 0xEE), twinOut(2 * W, 0xEE);
    (debug ? k.bandMapRow : k.bandRow)(in.Band(false, debug), out.get());
    (debug ? kScalarKernels.bandMapRow : kScalarKernels.bandRow)(in.Band(true, debug), twinOut.get());
    const std::string where = "W " + std::to_string(W) + " r " + std::to_string(r) + " debug " + std::to_string(debug) +
                              " limit " + std::to_string(in.limit);
    for (uint32_t i = 0; i < 2 * W + 16; ++i) ASSERT_EQ(out[i], twinOut[i]) << where << " byte " << i;
    for (uint32_t i = 0; i < W; ++i) {
        ASSERT_EQ(in.busy[i], in.twinBusy[i]) << where << " at " << i;
        if (!debug) {
            ASSERT_EQ(in.sums[i], in.twinSums[i]) << where << " at " << i;
        }
    }
}

// Each vector table against the scalar one.
class Twins : public ::testing::TestWithParam<VectorIsa> {
protected:
    void SetUp() override {
        if (GetParam() == VectorIsa::kAvx2 && DetectProcessor().vectorIsa != VectorIsa::kAvx2)
            GTEST_SKIP() << "this processor does not run AVX2: its kernels are not tested here";
    }
    const RowKernels& k() const { return KernelsFor(GetParam()); }
};

TEST_P(Twins, NeighbourCodeRowMatchesItsTwin) {
    std::mt19937 rng(3);
    for (uint32_t n = 1; n <= 200; ++n)
        for (int trial = 0; trial < 10; ++trial) CompareNeighbourCodes(k(), rng, n);
}

TEST_P(Twins, ConstantAreaCodesAreAllEqual) {
    Row<uint16_t> c(32, 77), x(32, 77), carry(32), code(32);
    k().neighbourCodeRow(c.get(), x.get(), 32, carry.get(), code.get());
    k().neighbourCodeRow(c.get(), x.get(), 32, carry.get(), code.get());
    EXPECT_EQ(code[0], 0x0800);
    EXPECT_EQ(code[31], 0x0800);
    for (int i = 1; i < 31; ++i) EXPECT_EQ(code[i], 0x8000) << i;
}

TEST_P(Twins, WindowRowSumsMatchesItsTwin) {
    std::mt19937 rng(4);
    for (uint32_t W = 1; W <= 200; ++W)
        for (uint32_t r = 0; r <= 12 && 2 * r + 1 <= W; ++r)
            for (int trial = 0; trial < 3; ++trial) CompareWindowSums(k(), rng, W, r);
}

TEST_P(Twins, WindowRowSumsWorkedExample) {
    Row<uint16_t> values(16, 256), edges(16, 0);
    Row<uint32_t> sums(16);
    Row<uint16_t> counts(16);
    k().windowRowSums(1, 16, values.get(), edges.get(), sums.get(), counts.get());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(sums[i], 768u) << i;
        EXPECT_EQ(counts[i], i == 0 || i == 15 ? 255 : 0) << i;
    }
}

TEST_P(Twins, ClassifyRowMatchesItsTwin) {
    std::mt19937 rng(5);
    for (uint32_t columns = 16; columns <= 208; columns += 16)
        for (int trial = 0; trial < 10; ++trial) CompareClassification(k(), rng, columns);
}

TEST_P(Twins, BandRowsMatchTheirTwins) {
    std::mt19937 rng(6);
    for (uint32_t W = 8; W <= 200; W += 8)
        for (uint32_t r = 0; r <= 12; ++r)
            for (bool debug : {false, true}) CompareBandRow(k(), rng, W, r, debug);
}

INSTANTIATE_TEST_SUITE_P(Isa, Twins, ::testing::Values(VectorIsa::kSse41, VectorIsa::kAvx2), [](const auto& info) {
    return std::string(info.param == VectorIsa::kAvx2 ? "avx2" : "sse41");
});

TEST(VectorKernels, FillBlocksVecWritesWholeBlocksOnly) {
    Row<uint8_t> buffer(64, 1);
    FillBlocksVec(buffer.get(), 0xAB, 40);
    for (int i = 0; i < 48; ++i) EXPECT_EQ(buffer[i], i < 32 ? 0xAB : 1) << i;
}

}  // namespace
