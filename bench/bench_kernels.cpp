// Each row kernel per 1920-sample row, scalar against vector.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "convert/row_kernels_sse41.h"

using namespace bitgrade;

namespace {

const uint32_t kRow = 1920;

struct Rows {
    Rows()
        : a(kRow + 64),
          b(kRow + 64),
          carry(kRow + 64),
          code(kRow + 64),
          edges8(kRow + 64),
          edges16(kRow + 64),
          sums(kRow + 64),
          counts(kRow + 64) {
        std::mt19937 rng(1);
        for (uint32_t i = 0; i < kRow + 32; ++i) {
            a[i] = (uint16_t)(100 + rng() % 3);
            b[i] = (uint16_t)(100 + rng() % 3);
            edges8[i] = rng() % 4 == 0 ? 255 : 0;
            edges16[i] = edges8[i] ? 0xFFFF : 0;
        }
    }
    std::vector<uint16_t> a, b, carry, code;
    std::vector<uint8_t> edges8;
    std::vector<uint16_t> edges16;
    std::vector<uint32_t> sums;
    std::vector<uint16_t> counts;
};

void NeighbourCodes(benchmark::State& state) {
    Rows rows;
    for (auto _ : state) {
        NeighbourCodeRow(rows.a.data(), rows.b.data(), kRow, rows.carry.data(), rows.code.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

void NeighbourCodesVec(benchmark::State& state) {
    Rows rows;
    for (auto _ : state) {
        NeighbourCodeRowVec(rows.a.data(), rows.b.data(), kRow, rows.carry.data(), rows.code.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

void WindowSums(benchmark::State& state) {
    Rows rows;
    for (auto _ : state) {
        WindowRowSums(3u, kRow, rows.a.data(), rows.edges8.data(), rows.sums.data(), rows.counts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

void WindowSumsVec(benchmark::State& state) {
    Rows rows;
    for (auto _ : state) {
        WindowRowSumsVec(3u, kRow, rows.a.data(), rows.edges16.data(), rows.sums.data(), rows.counts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

BENCHMARK(NeighbourCodes);
BENCHMARK(NeighbourCodesVec);
BENCHMARK(WindowSums);
BENCHMARK(WindowSumsVec);

}  // namespace
