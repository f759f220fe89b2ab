// Inputs for the vector kernels that the twin tests and the fuzzer share:
// aligned rows with spare entries, sample rows, and the window's slides and
// band rows.
#pragma once

#include <vector>

#include "convert/vector_kernels.h"

namespace kernel_inputs {

// A 16-byte aligned row of n entries and the spare entries after them.
template <class T>
struct Row {
    explicit Row(size_t n, T fill = 0) : data(n + 48, fill) {}
    // A copy holds the same entries from its own aligned start.
    Row(const Row& other) : data(other.data.size()) {
        for (size_t i = 0; i < Entries(); ++i) get()[i] = other.get()[i];
    }
    Row& operator=(const Row&) = delete;

    T* get() const { return (T*)(((uintptr_t)data.data() + 15) & ~(uintptr_t)15); }
    T& operator[](size_t i) { return get()[i]; }
    size_t Entries() const { return data.size() - 16 / sizeof(T); }
    std::vector<T> data;
};

// The three sample rows of a classification call, `columns` entries each and
// the entries -1 and `columns` that the kernels read, filled by sample(): a
// level 0..255, or for deeper rows (Sample uint16_t) any 16-bit code;
// Set(dy, x, level) changes the row dy (-1, 0, 1) at column x.
template <class Sample>
struct SampleRowsOf {
    template <class Draw>
    SampleRowsOf(uint32_t columns, Draw sample)
        : rows{Row<Sample>(columns + 32), Row<Sample>(columns + 32), Row<Sample>(columns + 32)} {
        for (auto& row : rows)
            for (uint32_t i = 0; i < columns + 18; ++i) row[i] = (Sample)sample();
    }
    void Set(int dy, int x, int level) { rows[dy + 1][16 + x] = (Sample)level; }
    const Sample* Above() const { return rows[0].get() + 16; }
    const Sample* Centre() const { return rows[1].get() + 16; }
    const Sample* Below() const { return rows[2].get() + 16; }
    Row<Sample> rows[3];
};
using SampleRows = SampleRowsOf<uint8_t>;
using SampleRows16 = SampleRowsOf<uint16_t>;

// The window of a band row of W columns at radii `radii`: column totals
// with their margins and their running sums, unsmoothed values and edge
// marks, drawn by draw(n), a number below n. Totals stay within what
// 2 radii.y + 1 rows can hold; windows wider than the byte counts allow are
// read from running sums, some of them as two rows of integrals: random sums
// above the window, and below it those plus the running sums (wrapping).
struct BandInputs {
    template <class Draw>
    BandInputs(uint32_t W, bitgrade::Radii radii, Draw draw)
        : W(W),
          r(radii.x),
          margin(bitgrade::ColumnTotals::Margin(r)),
          mean(radii),
          sums(W + 2 * margin),
          runningSums(W + 2 * margin),
          topSums(W + 2 * margin),
          counts(W + 2 * margin),
          runningCounts(W + 2 * margin),
          topCounts(W + 2 * margin),
          values(W),
          edges(W) {
        const uint32_t side = 2 * radii.y + 1;
        for (uint32_t i = 0; i < W + 2 * margin; ++i) {
            sums[i] = draw(65536 * side);
            counts[i] = (uint8_t)draw(side + 1);
            runningSums[i] = sums[i] + (i ? runningSums[i - 1] : 0);
            runningCounts[i] = (uint16_t)(counts[i] + (i ? runningCounts[i - 1] : 0));
        }
        for (uint32_t i = 0; i < W; ++i) {
            values[i] = (uint16_t)draw(65536);
            edges[i] = draw(3) ? 0 : 0xFF;
        }
        limit = (uint16_t)(draw(2) ? draw((uint32_t)mean.area + 1) : draw(65536));
        running = draw(2) != 0 || r > bitgrade::kByteCountMaxRadius || radii.y > bitgrade::kByteCountMaxRadius;
        integrals = running && draw(2) != 0;
        for (uint32_t i = 0; i < W + 2 * margin && integrals; ++i) {
            topSums[i] = draw(0xFFFFFFFFu);
            topCounts[i] = (uint16_t)draw(65536);
            runningSums[i] += topSums[i];
            runningCounts[i] = (uint16_t)(runningCounts[i] + topCounts[i]);
        }
    }

    bitgrade::BandRow Band() const {
        using bitgrade::Windows;
        return bitgrade::BandRow{!running    ? Windows::kColumns
                                 : integrals ? Windows::kIntegrals
                                             : Windows::kRunning,
                                 {sums.get() + margin, counts.get() + margin},
                                 {runningSums.get() + margin, runningCounts.get() + margin},
                                 {topSums.get() + margin, topCounts.get() + margin},
                                 values.get(),
                                 edges.get(),
                                 &mean,
                                 W,
                                 r,
                                 limit};
    }

    uint32_t W, r, margin;
    bitgrade::BoxMean mean;
    uint16_t limit;
    bool running;    // the window read from running sums
    bool integrals;  // the running sums less those of the top row
    Row<uint32_t> sums, runningSums, topSums;
    Row<uint8_t> counts;
    Row<uint16_t> runningCounts, topCounts, values;
    Row<uint8_t> edges;
};

// One slide of the window over `columns` columns: the totals, twice (one
// copy for the kernel under test, one for its twin), and the entering and
// leaving rows, drawn by draw(n), a number below n.
struct SlideInputs {
    template <class Draw>
    SlideInputs(uint32_t columns, Draw draw)
        : columns(columns),
          sums(columns),
          twinSums(columns),
          counts(columns),
          twinCounts(columns),
          enteringValues(columns),
          leavingValues(columns),
          enteringEdges(columns),
          leavingEdges(columns) {
        for (uint32_t i = 0; i < columns + 16; ++i) {
            sums[i] = twinSums[i] = draw(0xFFFFFFFFu);
            counts[i] = twinCounts[i] = (uint8_t)draw(256);
            enteringValues[i] = (uint16_t)draw(65536);
            leavingValues[i] = (uint16_t)draw(65536);
            enteringEdges[i] = draw(2) ? 0 : 0xFF;
            leavingEdges[i] = draw(2) ? 0 : 0xFF;
        }
    }

    void Slide(const bitgrade::RowKernels& k, bool twin) {
        k.slideWindow(
            bitgrade::ColumnTotals{twin ? twinSums.get() : sums.get(), twin ? twinCounts.get() : counts.get()},
            enteringValues.get(), enteringEdges.get(), leavingValues.get(), leavingEdges.get(), columns);
    }

    uint32_t columns;
    Row<uint32_t> sums, twinSums;
    Row<uint8_t> counts, twinCounts;
    Row<uint16_t> enteringValues, leavingValues;
    Row<uint8_t> enteringEdges, leavingEdges;
};

// One row of the plateaus mode: the rows of W samples around it that the
// taps of a span and subsampling read, with the taps' reach of entries
// before and after each, all drawn by sample() (a code of the Sample's
// bits), and the row's taps. No spare entries: a read past the last row's
// is a read past the buffer.
template <class Sample>
struct TapInputs {
    template <class Draw>
    TapInputs(uint32_t W, int span, bitgrade::Subsampling sub, Draw sample)
        : taps(span, sub), W(W), samples((2 * taps.reach.y + 1) * (size_t)(W + 2 * taps.reach.x)) {
        for (Sample& s : samples) s = (Sample)sample();
        row.centre = RowAt(0);
        for (int k = 0; k < bitgrade::Taps::kMost; ++k) {
            row.rows[k] = RowAt(taps.at[k].dy);
            row.dx[k] = taps.at[k].dx;
        }
    }
    const Sample* RowAt(int dy) const {
        return samples.data() + (size_t)(dy + (int)taps.reach.y) * (W + 2 * taps.reach.x) + taps.reach.x;
    }

    bitgrade::Taps taps;
    uint32_t W;
    std::vector<Sample> samples;
    bitgrade::TapRow row = {};
};

}  // namespace kernel_inputs
