// Every kernel of every table (scalar, SSE4.1, AVX2) on a 1920-sample row,
// each beside its twins: the same tables and inputs the converter, the tests
// and the fuzzer use.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "convert/processor.h"
#include "convert/vector_kernels.h"
#include "tests/kernel_inputs.h"

using namespace bitgrade;

namespace {

const uint32_t kRow = 1920;

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

// Samples of a gentle gradient: mostly flat pixels, some edges.
void ClassifyRow(benchmark::State& state) {
    std::mt19937 rng(1);
    const kernel_inputs::SampleRows rows(kRow, [&] { return 100 + (int)(rng() % 3); });
    kernel_inputs::Row<uint16_t> values(kRow);
    kernel_inputs::Row<uint8_t> edges(kRow);
    Run(state, [&](const RowKernels& k) {
        k.classifyRow(rows.Above(), rows.Centre(), rows.Below(), kRow, values.get(), edges.get());
    });
}

// The same gradient at 10 bits: samples a few codes apart.
void ClassifyRow16(benchmark::State& state) {
    std::mt19937 rng(1);
    const kernel_inputs::SampleRows16 rows(kRow, [&] { return 400 + (int)(rng() % 9); });
    const bitgrade::Levels levels({10, 10});
    kernel_inputs::Row<uint16_t> values(kRow);
    kernel_inputs::Row<uint8_t> edges(kRow);
    Run(state, [&](const RowKernels& k) {
        k.classifyRow16(rows.Above(), rows.Centre(), rows.Below(), kRow, levels, values.get(), edges.get());
    });
}

void SlideWindow(benchmark::State& state) {
    std::mt19937 rng(2);
    kernel_inputs::SlideInputs in(kRow, [&](uint32_t n) { return (uint32_t)(rng() % n); });
    Run(state, [&](const RowKernels& k) { in.Slide(k, false); });
}

// The band's 16-bit row, or its map row when `map` is 1, at radius `r`, its
// windows added column by column or, when `running` is 1, taken from running
// sums (which cost a RunningSums row more), or when it is 2 from two rows of
// integrals (the adaptive mode's). With `smooth` 1 every window is
// smoothed, the band's full cost; with 0 almost none is (a busy picture).
void BandRow(benchmark::State& state) {
    std::mt19937 rng(3);
    const uint32_t r = (uint32_t)state.range(2);
    kernel_inputs::BandInputs in(kRow, {r, r}, [&](uint32_t n) { return (uint32_t)(rng() % n); });
    in.running = state.range(3) >= 1;
    in.integrals = state.range(3) == 2;
    in.limit = state.range(4) == 1 ? 0xFFFF : 0;
    const bool map = state.range(1) == 1;
    std::vector<uint8_t> out(2 * kRow);
    Run(state, [&](const RowKernels& k) { (map ? k.bandMapRow : k.bandRow)(in.Band(), out.data()); });
}

BENCHMARK(ClassifyRow)->ArgName("table")->DenseRange(0, 2);
BENCHMARK(ClassifyRow16)->ArgName("table")->DenseRange(0, 2);
BENCHMARK(SlideWindow)->ArgName("table")->DenseRange(0, 2);
void RunningSums(benchmark::State& state) {
    std::mt19937 rng(4);
    kernel_inputs::Row<uint32_t> sums(kRow), runningSums(kRow);
    kernel_inputs::Row<uint8_t> counts(kRow);
    kernel_inputs::Row<uint16_t> runningCounts(kRow);
    for (uint32_t i = 0; i < kRow; ++i) {
        sums[i] = rng() % 200000;
        counts[i] = (uint8_t)(rng() % 8);
    }
    Run(state, [&](const RowKernels& k) {
        k.runningSums({sums.get(), counts.get()}, {runningSums.get(), runningCounts.get()}, kRow);
    });
}

BENCHMARK(BandRow)
    ->ArgNames({"table", "map", "r", "running", "smooth"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}, {1, 3, 7}, {0}, {1}})
    ->ArgsProduct({{0, 1, 2}, {0, 1}, {3, 8, 40}, {1}, {1}})
    ->ArgsProduct({{1, 2}, {0}, {4, 5, 6}, {0}, {1}})
    ->ArgsProduct({{1, 2}, {0}, {1, 3}, {0}, {0}})
    ->ArgsProduct({{1, 2}, {0}, {3, 12, 24}, {2}, {1}});
BENCHMARK(RunningSums)->ArgName("table")->DenseRange(0, 2);

// The plateaus mode's taps at span 4 on plateaus a level apart, noise among
// them, at 8 bits (bytes) and 10 (words).
void TapsRow(benchmark::State& state) {
    std::mt19937 rng(1);
    const kernel_inputs::TapInputs<uint8_t> bytes(kRow, 4, Subsampling(), [&] { return 100 + (rng() % 4 == 0); });
    const kernel_inputs::TapInputs<uint16_t> words(kRow, 4, Subsampling(), [&] { return 400 + (rng() % 4 == 0); });
    const bool deep = state.range(1);
    const Levels levels(SampleDepth(deep ? 10 : 8, deep ? 10 : 8));
    kernel_inputs::Row<uint8_t> out(2 * kRow);
    Run(state, [&](const RowKernels& k) {
        if (deep) k.tapsRow(words.row, kRow, levels, out.get());
        else k.tapsRow8(bytes.row, kRow, levels, out.get());
    });
}
BENCHMARK(TapsRow)->ArgNames({"table", "deep"})->ArgsProduct({{0, 1, 2}, {0, 1}});

// One row of the adaptive mode's integrals.
void IntegrateRow(benchmark::State& state) {
    std::mt19937 rng(5);
    kernel_inputs::Row<uint16_t> values(kRow), aboveCounts(kRow), counts(kRow);
    kernel_inputs::Row<uint8_t> edges(kRow);
    kernel_inputs::Row<uint32_t> aboveSums(kRow), sums(kRow);
    for (uint32_t i = 0; i < kRow; ++i) {
        values[i] = (uint16_t)rng();
        edges[i] = rng() % 4 ? 0 : 0xFF;
    }
    Run(state, [&](const RowKernels& k) {
        k.integrateRow(values.get(), edges.get(), kRow, {aboveSums.get(), aboveCounts.get()},
                       {sums.get(), counts.get()});
    });
}
BENCHMARK(IntegrateRow)->ArgName("table")->DenseRange(0, 2);

// One row of 16-bit values brought down to 10 bits (shift 6) with the
// ordered dither's thresholds, or with the error diffused when `diffuse` is 1.
void ReduceRow(benchmark::State& state) {
    std::mt19937 rng(6);
    kernel_inputs::Row<uint16_t> values(kRow), thresholds(kMatrixSide), out(kRow);
    for (uint32_t i = 0; i < kRow; ++i) values[i] = (uint16_t)rng();
    for (uint32_t i = 0; i < kMatrixSide; ++i) thresholds[i] = (uint16_t)(rng() % 64);
    const bool diffuse = state.range(1) == 1;
    Run(state, [&](const RowKernels& k) {
        if (diffuse) k.diffuseRow(values.get(), kRow, 6, (uint8_t*)out.get());
        else k.reduceRow(values.get(), kRow, 6, thresholds.get(), (uint8_t*)out.get());
    });
}
BENCHMARK(ReduceRow)->ArgNames({"table", "diffuse"})->ArgsProduct({{0, 1, 2}, {0, 1}});

}  // namespace
