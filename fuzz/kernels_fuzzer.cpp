// Fuzzer-chosen rows, lengths and radii through the kernels of every vector
// table this processor runs (SSE4.1, AVX2) and their scalar twins. The twins
// must agree on every classified value and edge mark, on the window's totals
// after every slide, on running sums and integrals, on every band row's
// output, on every row of taps' means and on every reduced or diffused row;
// anything else is a crash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "convert/processor.h"
#include "convert/vector_kernels.h"
#include "tests/kernel_inputs.h"

using namespace bitgrade;

namespace {

// Bytes from the input, repeated as needed, zeros when there are none.
struct ByteSource {
    const uint8_t* data;
    size_t size, at;
    uint8_t Next() { return size ? data[at++ % size] : 0; }
    uint16_t Next16() { return (uint16_t)(Next() << 8 | Next()); }
};

using kernel_inputs::Row;

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

void Slides(const RowKernels& k, ByteSource in, uint32_t columns) {
    kernel_inputs::SlideInputs slide(columns, [&](uint32_t n) {
        return (uint32_t)(in.Next() << 24 | in.Next() << 16 | in.Next() << 8 | in.Next()) % n;
    });
    slide.Slide(k, false);
    slide.Slide(kScalarKernels, true);
    for (uint32_t i = 0; i < columns + 16; ++i)
        Require(slide.sums[i] == slide.twinSums[i] && slide.counts[i] == slide.twinCounts[i]);
}

void RunningSums(const RowKernels& k, ByteSource in, uint32_t n) {
    Row<uint32_t> sums(n), running(n), twinRunning(n);
    Row<uint8_t> counts(n);
    Row<uint16_t> runningCounts(n), twinCounts(n);
    for (uint32_t i = 0; i < n; ++i) {
        sums[i] = (uint32_t)in.Next16() << 16 | in.Next16();
        counts[i] = in.Next();
    }
    k.runningSums({sums.get(), counts.get()}, {running.get(), runningCounts.get()}, n);
    kScalarKernels.runningSums({sums.get(), counts.get()}, {twinRunning.get(), twinCounts.get()}, n);
    for (uint32_t i = 0; i < n; ++i) Require(running[i] == twinRunning[i] && runningCounts[i] == twinCounts[i]);
    // The same bytes as a row integrated onto those running sums.
    Row<uint16_t> values(n), integralCounts(n), twinIntegralCounts(n);
    Row<uint8_t> edges(n);
    Row<uint32_t> integralSums(n), twinIntegralSums(n);
    for (uint32_t i = 0; i < n; ++i) {
        values[i] = (uint16_t)sums[i];
        edges[i] = counts[i] & 1 ? 0xFF : 0;
    }
    const RunningTotals above = {running.get(), runningCounts.get()};
    k.integrateRow(values.get(), edges.get(), n, above, {integralSums.get(), integralCounts.get()});
    kScalarKernels.integrateRow(values.get(), edges.get(), n, above,
                                {twinIntegralSums.get(), twinIntegralCounts.get()});
    for (uint32_t i = 0; i < n; ++i)
        Require(integralSums[i] == twinIntegralSums[i] && integralCounts[i] == twinIntegralCounts[i]);
}

// Three rows of any samples.
void Classification(const RowKernels& k, ByteSource in, uint32_t columns) {
    kernel_inputs::SampleRows rows(columns, [&] { return in.Next(); });
    Row<uint16_t> values(columns), twinValues(columns);
    Row<uint8_t> edges(columns), twinEdges(columns);
    k.classifyRow(rows.Above(), rows.Centre(), rows.Below(), columns, values.get(), edges.get());
    kScalarKernels.classifyRow(rows.Above(), rows.Centre(), rows.Below(), columns, twinValues.get(), twinEdges.get());
    for (uint32_t i = 0; i < columns; ++i) Require(values[i] == twinValues[i] && edges[i] == twinEdges[i]);
}

// Totals within what a window of those radii can hold, at any width: the
// same bytes as the twin's, and none written past the row.
void Band(const RowKernels& k, ByteSource in, uint32_t W, Radii r, bool debug) {
    const kernel_inputs::BandInputs band(W, r, [&](uint32_t n) {
        return (uint32_t)(in.Next() << 24 | in.Next() << 16 | in.Next() << 8 | in.Next()) % n;
    });
    Row<uint8_t> out(2 * W, 0xEE), twinOut(2 * W, 0xEE);
    (debug ? k.bandMapRow : k.bandRow)(band.Band(), out.get());
    (debug ? kScalarKernels.bandMapRow : kScalarKernels.bandRow)(band.Band(), twinOut.get());
    const uint32_t written = debug ? W : 2 * W;
    for (uint32_t i = 0; i < 2 * W + 16; ++i) Require(out[i] == (i < written ? twinOut[i] : 0xEE));
}

// Three rows of any 16-bit samples at a depth and band depth from the input.
void DeepClassification(const RowKernels& k, ByteSource in, uint32_t columns) {
    const int bits = 9 + in.Next() % 8, bands = 8 + in.Next() % (bits - 7);
    const Levels levels({bits, bands});
    kernel_inputs::SampleRows16 rows(columns, [&] { return in.Next16() & ((1 << bits) - 1); });
    Row<uint16_t> values(columns), twinValues(columns);
    Row<uint8_t> edges(columns), twinEdges(columns);
    k.classifyRow16(rows.Above(), rows.Centre(), rows.Below(), columns, levels, values.get(), edges.get());
    kScalarKernels.classifyRow16(rows.Above(), rows.Centre(), rows.Below(), columns, levels, twinValues.get(),
                                 twinEdges.get());
    for (uint32_t i = 0; i < columns; ++i) Require(values[i] == twinValues[i] && edges[i] == twinEdges[i]);
}

// A row of the plateaus mode: samples of any depth and band depth (bytes at
// 8 bits, else words), a span and subsampling from the input; the twin's
// bytes over the row, none past it.
template <class Sample>
void TapRowOf(const RowKernels& k, ByteSource in, uint32_t W, int bits) {
    const int bands = 8 + in.Next() % (bits - 7), span = 1 + in.Next() % kWidestTapsSpan;
    const Subsampling sub(in.Next() % 3, in.Next() % 2);
    const Levels levels({bits, bands});
    const kernel_inputs::TapInputs<Sample> taps(W, span, sub, [&] { return in.Next16() & ((1 << bits) - 1); });
    const TapsKernel kernel = sizeof(Sample) == 1 ? k.tapsRow8 : k.tapsRow;
    const TapsKernel twin = sizeof(Sample) == 1 ? kScalarKernels.tapsRow8 : kScalarKernels.tapsRow;
    Row<uint8_t> out(2 * W, 0xEE), twinOut(2 * W, 0xEE);
    kernel(taps.row, W, levels, out.get());
    twin(taps.row, W, levels, twinOut.get());
    for (uint32_t i = 0; i < 2 * W + 16; ++i) Require(out[i] == (i < 2 * W ? twinOut[i] : 0xEE));
}

void TapRows(const RowKernels& k, ByteSource in, uint32_t W) {
    const int bits = 8 + in.Next() % 9;
    if (bits == 8) TapRowOf<uint8_t>(k, in, W, bits);
    else TapRowOf<uint16_t>(k, in, W, bits);
}

// Any 16-bit values brought down by `shift` (4, 6 or 8) with any
// thresholds below a step, and diffused: the twin's bytes, none past the row.
void Reduction(const RowKernels& k, ByteSource in, uint32_t W, uint32_t shift) {
    Row<uint16_t> values(W), thresholds(kMatrixSide);
    for (uint32_t i = 0; i < W; ++i) values[i] = in.Next16();
    for (uint32_t i = 0; i < kMatrixSide; ++i) thresholds[i] = (uint16_t)(in.Next16() % (1u << shift));
    for (bool diffuse : {false, true}) {
        Row<uint8_t> out(2 * W, 0xEE), twinOut(2 * W, 0xEE);
        for (const auto& [table, to] : {std::pair{&k, &out}, {&kScalarKernels, &twinOut}}) {
            if (diffuse) table->diffuseRow(values.get(), W, shift, to->get());
            else table->reduceRow(values.get(), W, shift, thresholds.get(), to->get());
        }
        const uint32_t written = shift == 8 ? W : 2 * W;
        for (uint32_t i = 0; i < 2 * W + 16; ++i) Require(out[i] == (i < written ? twinOut[i] : 0xEE));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const ByteSource in{data + 4, size - 4, 0};
    const uint32_t length = 1 + (uint32_t)((data[1] | data[2] << 8) % 4100);
    const uint32_t r = data[3] % 64;
    const bool avx2 = DetectProcessor().vectorIsa == VectorIsa::kAvx2;
    for (const RowKernels* k : {&kSse41Kernels, avx2 ? &kAvx2Kernels : nullptr}) {
        if (!k) continue;
        switch (data[0] % 7) {
        case 0: RunningSums(*k, in, (length + 15) / 16 * 16); break;
        case 1: Slides(*k, in, (length + 15) / 16 * 16); break;
        case 2: Classification(*k, in, (length + 15) / 16 * 16); break;
        case 3: Reduction(*k, in, length, 8 - 2 * (r % 3)); break;
        case 4: DeepClassification(*k, in, (length + 15) / 16 * 16); break;
        case 5: TapRows(*k, in, length); break;
        default: Band(*k, in, length, {r % 13, (uint32_t)(data[0] >> 4) % 13}, data[0] & 8); break;
        }
    }
    return 0;
}
