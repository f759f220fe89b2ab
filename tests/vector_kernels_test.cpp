// Every kernel of every vector table (SSE4.1, AVX2) against its scalar twin
// on many random rows, plus the worked examples: the same output at every
// plane width, and nothing written past a row. The one checklist of the
// tables: each kernel's twin test is here. Classification, slides and
// running sums work on the converter's own rows of whole 16-column blocks,
// so their widths are those blocks. A table the processor cannot run is
// skipped, and says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "convert/processor.h"
#include "convert/row_kernels_sse41.h"
#include "convert/window_stage.h"
#include "kernel_inputs.h"

namespace bitgrade {
void PrintTo(VectorIsa isa, std::ostream* os) { *os << (isa == VectorIsa::kAvx2 ? "avx2" : "sse41"); }
}  // namespace bitgrade

using namespace bitgrade;
using bitgrade::DetectProcessor;

namespace {

using kernel_inputs::Row;

const uint16_t kUnwritten = 0xBEEF;
const uint8_t kUnwrittenByte = 0xEE;

void CompareSlides(const RowKernels& k, std::mt19937& rng, uint32_t columns) {
    kernel_inputs::SlideInputs in(columns, [&](uint32_t n) { return (uint32_t)(rng() % n); });
    in.Slide(k, false);
    in.Slide(kScalarKernels, true);
    for (uint32_t i = 0; i < columns + 16; ++i) {
        ASSERT_EQ(in.sums[i], in.twinSums[i]) << "columns " << columns << " at " << i;
        ASSERT_EQ(in.counts[i], in.twinCounts[i]) << "columns " << columns << " at " << i;
    }
}

// Three sample rows about one level, half of them at the extreme levels, with
// some samples anywhere (0 and 255 among them, where a wrapping difference
// would pass a far neighbour for a near one).
void CompareClassification(const RowKernels& k, std::mt19937& rng, uint32_t columns) {
    static const int kExtremes[5] = {0, 1, 253, 254, 255};
    const int base = rng() % 2 ? kExtremes[rng() % 5] : (int)(rng() % 256);
    kernel_inputs::SampleRows rows(columns, [&] {
        if (rng() % 8 == 0) return (int)(rng() % 3 ? rng() % 256 : (rng() % 2) * 255);
        return std::clamp(base + (int)(rng() % 3) - 1, 0, 255);
    });
    Row<uint16_t> values(columns, kUnwritten), twinValues = values;
    Row<uint8_t> edges(columns, kUnwrittenByte), twinEdges = edges;
    k.classifyRow(rows.Above(), rows.Centre(), rows.Below(), columns, values.get(), edges.get());
    kScalarKernels.classifyRow(rows.Above(), rows.Centre(), rows.Below(), columns, twinValues.get(), twinEdges.get());
    for (uint32_t i = 0; i < columns + 16; ++i) {
        ASSERT_EQ(values[i], twinValues[i]) << "columns " << columns << " at " << i;
        ASSERT_EQ(edges[i], twinEdges[i]) << "columns " << columns << " at " << i;
    }
}

// Deeper rows at every depth 9..16 and every depth of their bands: samples
// about one code, half of them at the extremes 0, 1, 2^bits - 2 and 2^bits
// - 1 (where a sum saturates), neighbours at each bound of the classes
// (half a level and one and a half, and one code either side of each), and
// some anywhere in 16 bits, where a wrapping difference would pass a far
// neighbour for a near one.
void CompareDeepClassification(const RowKernels& k, std::mt19937& rng, uint32_t columns, SampleDepth depth) {
    const Levels levels(depth);
    const int top = (1 << depth.bits) - 1;
    const int extremes[4] = {0, 1, top - 1, top};
    const int base = rng() % 2 ? extremes[rng() % 4] : (int)(rng() % (top + 1));
    const int steps[6] = {(int)levels.equal - 1, (int)levels.equal, (int)levels.equal + 1,
                          (int)levels.near - 1,  (int)levels.near,  (int)levels.near + 1};
    kernel_inputs::SampleRows16 rows(columns, [&] {
        if (rng() % 8 == 0) return (int)(rng() % 65536) & top;
        const int step = rng() % 3 ? steps[rng() % 6] : 0;
        return std::clamp(base + (rng() % 2 ? step : -step), 0, top);
    });
    Row<uint16_t> values(columns, kUnwritten), twinValues = values;
    Row<uint8_t> edges(columns, kUnwrittenByte), twinEdges = edges;
    k.classifyRow16(rows.Above(), rows.Centre(), rows.Below(), columns, levels, values.get(), edges.get());
    kScalarKernels.classifyRow16(rows.Above(), rows.Centre(), rows.Below(), columns, levels, twinValues.get(),
                                 twinEdges.get());
    for (uint32_t i = 0; i < columns + 16; ++i) {
        ASSERT_EQ(values[i], twinValues[i])
            << "columns " << columns << " at " << i << " bits " << depth.bits << " bands " << depth.bands;
        ASSERT_EQ(edges[i], twinEdges[i])
            << "columns " << columns << " at " << i << " bits " << depth.bits << " bands " << depth.bands;
    }
}

// Random totals and rows of a band at radii r against the scalar twin: the
// same output bytes, and none written past the row.
void CompareBandRow(const RowKernels& k, std::mt19937& rng, uint32_t W, Radii r, bool debug) {
    const kernel_inputs::BandInputs in(W, r, [&](uint32_t n) { return (uint32_t)(rng() % n); });
    Row<uint8_t> out(2 * W, 0xEE), twinOut(2 * W, 0xEE);
    (debug ? k.bandMapRow : k.bandRow)(in.Band(), out.get());
    (debug ? kScalarKernels.bandMapRow : kScalarKernels.bandRow)(in.Band(), twinOut.get());
    const std::string where = "W " + std::to_string(W) + " r " + std::to_string(r.x) + "x" + std::to_string(r.y) +
                              " debug " + std::to_string(debug) + " limit " + std::to_string(in.limit);
    for (uint32_t i = 0; i < 2 * W + 16; ++i) ASSERT_EQ(out[i], twinOut[i]) << where << " byte " << i;
    for (uint32_t i = debug ? W : 2 * W; i < 2 * W + 16; ++i) ASSERT_EQ(out[i], 0xEE) << where << " byte " << i;
}

// A row of the plateaus mode at a span, subsampling and depth: samples
// about one level, half of them at the extremes, neighbours at each bound
// of a level (one and a half levels, and one code either side), some any
// code; bytes at 8 bits, else words. The same bytes as the twin's over the
// row, and nothing written past it.
template <class Sample>
void CompareTaps(const RowKernels& k, std::mt19937& rng, uint32_t W, int span, Subsampling sub, SampleDepth depth) {
    const Levels levels(depth);
    const int top = (1 << depth.bits) - 1;
    const int extremes[4] = {0, 1, top - 1, top};
    const int base = rng() % 2 ? extremes[rng() % 4] : (int)(rng() % (top + 1));
    const int steps[4] = {0, (int)levels.near - 1, (int)levels.near, (int)levels.near + 1};
    const kernel_inputs::TapInputs<Sample> in(W, span, sub, [&] {
        if (rng() % 8 == 0) return (int)(rng() % 65536) & top;
        const int step = steps[rng() % 4];
        return std::clamp(base + (rng() % 2 ? step : -step), 0, top);
    });
    const bool bytes = sizeof(Sample) == 1;
    Row<uint8_t> out(2 * W, kUnwrittenByte), twinOut(2 * W, kUnwrittenByte);
    (bytes ? k.tapsRow8 : k.tapsRow)(in.row, W, levels, out.get());
    (bytes ? kScalarKernels.tapsRow8 : kScalarKernels.tapsRow)(in.row, W, levels, twinOut.get());
    for (uint32_t i = 0; i < 2 * W + 16; ++i)
        ASSERT_EQ(out[i], i < 2 * W ? twinOut[i] : kUnwrittenByte)
            << "W " << W << " span " << span << " subsampling " << sub.x << "," << sub.y << " bits " << depth.bits
            << "/" << depth.bands << " byte " << i;
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

// Every span of the mode, every subsampling, bytes at 8 bits and words
// deeper, rows narrower than the taps' reach to long ones, ending anywhere
// in a block.
TEST_P(Twins, TapsRowMatchesItsTwin) {
    std::mt19937 rng(9);
    for (int trial = 0; trial < 400; ++trial) {
        const int bits = trial % 3 == 0 ? 8 : 9 + (int)(rng() % 8);
        const SampleDepth depth(bits, 8 + (int)(rng() % (bits - 7)));
        const Subsampling sub((int)(rng() % 3), (int)(rng() % 2));
        const int span = trial % 50 == 0 ? kWidestTapsSpan : 1 + (int)(rng() % 8);
        const uint32_t W = 1 + (uint32_t)(rng() % 300);
        if (bits == 8) CompareTaps<uint8_t>(k(), rng, W, span, sub, depth);
        else CompareTaps<uint16_t>(k(), rng, W, span, sub, depth);
    }
}

TEST_P(Twins, SlideWindowMatchesItsTwin) {
    std::mt19937 rng(4);
    for (uint32_t columns = 16; columns <= 208; columns += 16)
        for (int trial = 0; trial < 10; ++trial) CompareSlides(k(), rng, columns);
}

// Three rows of 256 at radius 1 and no edge: every window's mean is 256;
// then an edge at column 5 keeps columns 4..6 unsmoothed. Column totals, or
// their running sums from 16 entries before column 0.
TEST_P(Twins, BandRowWorkedExample) {
    const BoxMean mean({1, 1});
    Row<uint32_t> sums(48), runningSums(48);
    Row<uint8_t> counts(48, 0), edges(16, 0);
    Row<uint16_t> runningCounts(48, 0), values(16, 7);
    for (uint32_t i = 0; i < 48; ++i) {
        sums[i] = 768;
        runningSums[i] = 768 * (i + 1);
    }
    for (bool running : {false, true}) {
        Row<uint8_t> out(32);
        const BandRow row = {running ? Windows::kRunning : Windows::kColumns,
                             {sums.get() + 16, counts.get() + 16},
                             {runningSums.get() + 16, runningCounts.get() + 16},
                             {},
                             values.get(),
                             edges.get(),
                             &mean,
                             16,
                             1,
                             0};
        k().bandRow(row, out.get());
        for (int x = 0; x < 16; ++x) EXPECT_EQ(out[2 * x] | out[2 * x + 1] << 8, 256) << x << " running " << running;
        counts[16 + 5] = 1;
        for (uint32_t i = 16 + 5; i < 48; ++i) runningCounts[i] = 1;
        k().bandMapRow(row, out.get());
        for (int x = 0; x < 16; ++x) EXPECT_EQ(out[x], x >= 4 && x <= 6 ? kFlatMark : 0) << x << " running " << running;
        counts[16 + 5] = 0;
        for (uint32_t i = 16 + 5; i < 48; ++i) runningCounts[i] = 0;
    }
}

// The widest window whose edge marks are added up in bytes, every pixel an
// edge: 225 marks, smoothed only by limits from 225 on, however far above
// a byte's range the limit lies.
TEST_P(Twins, FullWindowOfByteCountsMeetsEveryLimit) {
    const uint32_t r = kByteCountMaxRadius, side = 2 * r + 1;
    kernel_inputs::BandInputs in(16, {r, r}, [](uint32_t n) { return n - 1; });
    in.running = in.integrals = false;
    for (uint32_t limit : {0u, 224u, 225u, 254u, 255u, 256u, 480u, 32766u}) {
        in.limit = (uint16_t)limit;
        for (const RowKernels* table : {&k(), &kScalarKernels}) {
            Row<uint8_t> map(16);
            table->bandMapRow(in.Band(), map.get());
            for (uint32_t x = 0; x < 16; ++x)
                ASSERT_EQ(map[x] == 0, limit >= side * side) << table->isa << " limit " << limit;
        }
    }
}

// Windows wider than the fixed point's radii: the mean is the exact truncated
// quotient at every radius, on the sums where it turns (k * area - 1 and
// k * area), for every quotient from 0 to the largest that 16-bit values
// give, and on the largest sum there is, 2^32 - 1 (radius 127).
TEST_P(Twins, WideMeansAreExactQuotients) {
    for (uint32_t r = BoxMean::kFixedPointMaxRadius + 1; r <= kNarrowMaxRadius; ++r) {
        kernel_inputs::BandInputs in(1, {r, r}, [](uint32_t) { return 0u; });
        in.running = true;
        in.integrals = false;
        in.limit = 0;
        const uint64_t area = in.mean.area;
        const uint64_t largest = std::min<uint64_t>(65535 * area, 0xFFFFFFFFu);
        std::vector<uint64_t> sums = {0, 1, area - 1, area, largest};
        for (uint64_t k = 1; k * area <= largest; k = k * 3 + 1) sums.insert(sums.end(), {k * area - 1, k * area});
        for (uint64_t sum : sums) {
            std::fill_n(in.runningSums.get(), in.runningSums.Entries(), 0u);
            std::fill_n(in.runningCounts.get(), in.runningCounts.Entries(), (uint16_t)0);
            in.runningSums[in.margin + r] = (uint32_t)sum;  // the window at column 0: entries -r-1..r
            Row<uint8_t> out(2);
            k().bandRow(in.Band(), out.get());
            ASSERT_EQ(out[0] | out[1] << 8, (int)(sum / area)) << "r " << r << " sum " << sum;
        }
    }
}

// Running sums of random totals, margins and all.
TEST_P(Twins, RunningSumsMatchTheirTwin) {
    std::mt19937 rng(7);
    for (uint32_t n = 16; n <= 256; n += 16) {
        Row<uint32_t> sums(n), runningSums(n, 0xDEADBEEF), twinSums(n);
        Row<uint8_t> counts(n);
        Row<uint16_t> runningCounts(n, kUnwritten), twinCounts(n);
        for (uint32_t i = 0; i < n; ++i) {
            sums[i] = (uint32_t)rng();
            counts[i] = (uint8_t)rng();
        }
        k().runningSums({sums.get(), counts.get()}, {runningSums.get(), runningCounts.get()}, n);
        kScalarKernels.runningSums({sums.get(), counts.get()}, {twinSums.get(), twinCounts.get()}, n);
        for (uint32_t i = 0; i < n + 16; ++i) {
            ASSERT_EQ(runningSums[i], i < n ? twinSums[i] : 0xDEADBEEF) << "n " << n << " at " << i;
            ASSERT_EQ(runningCounts[i], i < n ? twinCounts[i] : kUnwritten) << "n " << n << " at " << i;
        }
    }
}

// The adaptive mode's integrals: a row integrated onto random sums above it
// (wrapping past 2^32 and 2^16); nothing written past the row.
TEST_P(Twins, IntegralRowsMatchTheirTwins) {
    std::mt19937 rng(12);
    for (uint32_t n = 16; n <= 272; n += 16) {
        Row<uint16_t> values(n), aboveCounts(n);
        Row<uint8_t> edges(n);
        Row<uint32_t> aboveSums(n);
        for (uint32_t i = 0; i < n; ++i) {
            values[i] = (uint16_t)(rng() % 4 ? rng() : 65535 * (rng() % 2));
            edges[i] = rng() % 2 ? 0 : 0xFF;
            aboveSums[i] = (uint32_t)rng();
            aboveCounts[i] = (uint16_t)rng();
        }
        const RunningTotals above = {aboveSums.get(), aboveCounts.get()};
        Row<uint32_t> sums(n, 0xDEADBEEF), twinSums = sums;
        Row<uint16_t> counts(n, kUnwritten), twinCounts = counts;
        k().integrateRow(values.get(), edges.get(), n, above, {sums.get(), counts.get()});
        kScalarKernels.integrateRow(values.get(), edges.get(), n, above, {twinSums.get(), twinCounts.get()});
        for (uint32_t i = 0; i < n + 16; ++i) {
            ASSERT_EQ(sums[i], i < n ? twinSums[i] : 0xDEADBEEF) << "n " << n << " at " << i;
            ASSERT_EQ(counts[i], i < n ? twinCounts[i] : kUnwritten) << "n " << n << " at " << i;
        }
    }
}

TEST_P(Twins, DeepClassifyRowMatchesItsTwin) {
    std::mt19937 rng(13);
    for (int bits = 9; bits <= 16; ++bits)
        for (int bands = 8; bands <= bits; ++bands)
            for (uint32_t columns = 16; columns <= 208; columns += 48)
                for (int trial = 0; trial < 6; ++trial) CompareDeepClassification(k(), rng, columns, {bits, bands});
}

TEST_P(Twins, ClassifyRowMatchesItsTwin) {
    std::mt19937 rng(5);
    for (uint32_t columns = 16; columns <= 208; columns += 16)
        for (int trial = 0; trial < 40; ++trial) CompareClassification(k(), rng, columns);
}

// One pixel's neighbourhood: the centre's sample, its eight neighbours (row
// by row, the centre's own entry skipped), its value and whether it is an edge.
struct Neighbourhood {
    int centre;
    int neighbours[8];
    uint16_t value;
    bool edge;
};

const Neighbourhood kNeighbourhoods[] = {
    {77, {77, 77, 77, 77, 77, 77, 77, 77}, 77 * 256, false},        // constant area
    {77, {78, 78, 78, 77, 77, 77, 77, 77}, 77 * 256 + 96, false},   // three higher
    {77, {76, 76, 76, 77, 77, 77, 77, 77}, 77 * 256 - 96, false},   // three lower
    {77, {76, 76, 76, 76, 76, 76, 76, 76}, 77 * 256 - 127, false},  // eight lower
    {77, {78, 76, 77, 77, 77, 77, 77, 77}, 77 * 256, true},         // higher and lower
    {77, {79, 77, 77, 77, 77, 77, 77, 77}, 77 * 256, true},         // one far
    {0, {0, 0, 0, 0, 255, 0, 0, 0}, 0, true},                       // 255 beside 0
    {255, {255, 255, 0, 255, 255, 255, 255, 255}, 255 * 256, true},
    {0, {1, 1, 1, 1, 1, 1, 1, 1}, 127, false},
    {255, {254, 254, 254, 254, 254, 255, 255, 255}, 255 * 256 - 127, false},
};

TEST_P(Twins, ClassifyRowWorkedExamples) {
    for (const Neighbourhood& n : kNeighbourhoods) {
        // The pixel at column 5 of a row of 16, its neighbours around it and
        // the centre's level everywhere else.
        int next = 0;
        kernel_inputs::SampleRows rows(16, [&] { return n.centre; });
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (dy != 0 || dx != 0) rows.Set(dy, 5 + dx, n.neighbours[next++]);
        Row<uint16_t> values(16);
        Row<uint8_t> edges(16);
        for (const RowKernels* table : {&k(), &kScalarKernels}) {
            table->classifyRow(rows.Above(), rows.Centre(), rows.Below(), 16, values.get(), edges.get());
            EXPECT_EQ(values[5], n.value) << table->isa << " centre " << n.centre;
            EXPECT_EQ(edges[5], n.edge ? 0xFF : 0) << table->isa << " centre " << n.centre;
        }
    }
}

// Every width from 1 to 80, where a row ends at every column of a block,
// square windows and the rectangles of subsampled chroma (half or a quarter
// as wide as high), and random widths up to 4100 and random rectangles.
TEST_P(Twins, BandRowsMatchTheirTwinsAtEveryWidth) {
    std::mt19937 rng(6);
    for (uint32_t W = 1; W <= 80; ++W)
        for (uint32_t r = 0; r <= 12; ++r)
            for (Radii radii : {Radii{r, r}, Radii{r / 2, r}, Radii{r / 4, r}})
                for (bool debug : {false, true}) CompareBandRow(k(), rng, W, radii, debug);
    for (int trial = 0; trial < 40; ++trial) {
        const uint32_t W = 1 + rng() % 4100;
        for (bool debug : {false, true})
            CompareBandRow(k(), rng, W, {(uint32_t)(rng() % 13), (uint32_t)(rng() % 13)}, debug);
    }
}

// Random values with the extremes among them (runs of 65535, where a code
// would pass the top one), reduced and diffused at 8, 10 and 12 bits by a
// table and by the scalar twin, out of place and in place: the same bytes,
// none past the row, at every width from 1 to 80 and random ones to 4100.
TEST_P(Twins, ReducedAndDiffusedRowsMatchTheirTwins) {
    std::mt19937 rng(8);
    std::vector<uint32_t> widths;
    for (uint32_t W = 1; W <= 80; ++W) widths.push_back(W);
    for (int k = 0; k < 20; ++k) widths.push_back(1 + rng() % 4100);
    for (uint32_t W : widths) {
        for (uint32_t shift : {8u, 6u, 4u}) {
            // Thresholds at any alignment: half the rows take them one entry on.
            Row<uint16_t> values(W), thresholdRow(kMatrixSide + 1);
            const uint16_t* thresholds = thresholdRow.get() + W % 2;
            static const uint16_t kExtremes[4] = {0, 1, 65534, 65535};
            const uint16_t extreme = kExtremes[rng() % 4];
            for (uint32_t x = 0; x < W; ++x) values[x] = rng() % 3 ? (uint16_t)rng() : extreme;
            for (uint32_t x = 0; x <= kMatrixSide; ++x) thresholdRow[x] = (uint16_t)(rng() % (1u << shift));
            for (bool diffuse : {false, true}) {
                auto convert = [&](const RowKernels& table, const uint16_t* in, uint8_t* out) {
                    if (diffuse) table.diffuseRow(in, W, shift, out);
                    else table.reduceRow(in, W, shift, thresholds, out);
                };
                const std::string where = std::string(diffuse ? "diffused" : "reduced") + " W " + std::to_string(W) +
                                          " shift " + std::to_string(shift);
                Row<uint8_t> out(2 * W, kUnwrittenByte), twin(2 * W, kUnwrittenByte);
                convert(k(), values.get(), out.get());
                convert(kScalarKernels, values.get(), twin.get());
                const uint32_t bytes = shift == 8 ? W : 2 * W;
                for (uint32_t i = 0; i < 2 * W + 16; ++i)
                    ASSERT_EQ(out[i], i < bytes ? twin[i] : kUnwrittenByte) << where;
                Row<uint16_t> inPlace = values;
                convert(k(), inPlace.get(), (uint8_t*)inPlace.get());
                for (uint32_t i = 0; i < bytes; ++i)
                    ASSERT_EQ(((uint8_t*)inPlace.get())[i], twin[i]) << where << " in place";
            }
        }
    }
}

// Every member of a table is one of the kernels above, each with its twin
// test here, a case in fuzz/kernels_fuzzer.cpp and a row in
// bench/bench_kernels.cpp: a new one changes the table's size, and then
// this reminder.
static_assert(sizeof(RowKernels) == 2 * sizeof(void*) + 11 * sizeof(void (*)()),
              "a new kernel needs its twin test, its fuzzer case and its benchmark row");

INSTANTIATE_TEST_SUITE_P(Isa, Twins, ::testing::Values(VectorIsa::kSse41, VectorIsa::kAvx2), [](const auto& info) {
    return std::string(info.param == VectorIsa::kAvx2 ? "avx2" : "sse41");
});

TEST(VectorKernels, FillBlocksVecWritesWholeBlocksOnly) {
    Row<uint8_t> buffer(64, 1);
    FillBlocksVec(buffer.get(), 0xAB, 40);
    for (int i = 0; i < 48; ++i) EXPECT_EQ(buffer[i], i < 32 ? 0xAB : 1) << i;
}

}  // namespace
