// Every kernel of every table (scalar, SSE4.1, AVX2) on a 1920-sample row,
// each beside its twins: the same table the converter and the tests use.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "convert/vector_kernels.h"
#include "plugin/plugin.h"

using namespace bitgrade;

namespace {

const uint32_t kRow = 1920, kRadius = 3;

struct Rows {
    Rows() {
        std::mt19937 rng(1);
        for (auto* v : {&a, &edges, &counts, &busy, &leavingCounts, &enteringCounts}) v->resize(kRow + 64);
        // Three sample rows about one level, each with room on both sides.
        samples.resize(3 * kRow + 160);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = (int8_t)((100 + rng() % 3) ^ kSampleBias);
        for (auto* v : {&sums, &columnSums, &leavingSums}) v->resize(kRow + 64);
        for (uint32_t i = 0; i < kRow + 32; ++i) {
            a[i] = (uint16_t)((100 + rng() % 3) << 8);
            edges[i] = rng() % 4 == 0 ? 0xFFFF : 0;
        }
    }
    std::vector<int8_t> samples;
    std::vector<uint16_t> a, edges, counts, busy, leavingCounts, enteringCounts;
    std::vector<uint32_t> sums, columnSums, leavingSums;
};

const RowKernels& Table(const benchmark::State& state) {
    const RowKernels* tables[3] = {&kScalarKernels, &kSse41Kernels, &kAvx2Kernels};
    return *tables[state.range(0)];
}

// Runs `step` per iteration unless the processor lacks the table's set.
template <class Step>
void Run(benchmark::State& state, Step step) {
    if (state.range(0) == 2 && DetectProcessor().vectorIsa != VectorIsa::kAvx2) {
        state.SkipWithError("this processor does not run AVX2");
        return;
    }
    state.SetLabel(Table(state).isa);
    for (auto _ : state) {
        step(Table(state));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

void WindowRowSums(benchmark::State& state) {
    Rows r;
    Run(state, [&](const RowKernels& k) {
        k.windowRowSums(kRadius, kRow, r.a.data(), r.edges.data(), r.sums.data(), r.counts.data());
    });
}

void ClassifyRow(benchmark::State& state) {
    Rows r;
    Run(state, [&](const RowKernels& k) {
        k.classifyRow(&r.samples[16], &r.samples[kRow + 64], &r.samples[2 * kRow + 112], kRow, r.a.data(),
                      r.edges.data());
    });
}

// The band's 16-bit row, or its map row when the second argument is 1.
void BandRow(benchmark::State& state) {
    Rows r;
    const BoxMean mean(kRadius);
    const bool map = state.range(1) == 1;
    std::vector<BYTE> out(2 * kRow);
    const bitgrade::BandRow row = {r.busy.data(),
                                   map ? nullptr : r.columnSums.data(),
                                   r.leavingCounts.data(),
                                   r.enteringCounts.data(),
                                   r.leavingSums.data(),
                                   r.sums.data(),
                                   r.a.data(),
                                   r.edges.data(),
                                   &mean,
                                   kRow,
                                   1};
    Run(state, [&](const RowKernels& k) { (map ? k.bandMapRow : k.bandRow)(row, out.data()); });
}

BENCHMARK(WindowRowSums)->ArgName("table")->DenseRange(0, 2);
BENCHMARK(ClassifyRow)->ArgName("table")->DenseRange(0, 2);
BENCHMARK(BandRow)->ArgNames({"table", "map"})->ArgsProduct({{0, 1, 2}, {0, 1}});

}  // namespace
