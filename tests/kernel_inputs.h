// Inputs for the vector kernels that the twin tests and the fuzzer share:
// aligned rows with room for every kernel's spare entries, and band rows
// whose totals stay within what a window of radius r can hold.
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
// the entries -1 and `columns` that the kernels read, filled by sample(), a
// level 0..255; Set(dy, x, level) changes the row dy (-1, 0, 1) at column x.
struct SampleRows {
    template <class Sample>
    SampleRows(uint32_t columns, Sample sample)
        : rows{Row<int8_t>(columns + 32), Row<int8_t>(columns + 32), Row<int8_t>(columns + 32)} {
        for (auto& row : rows)
            for (uint32_t i = 0; i < columns + 18; ++i) row[i] = (int8_t)(sample() ^ bitgrade::kSampleBias);
    }
    void Set(int dy, int x, int level) { rows[dy + 1][16 + x] = (int8_t)(level ^ bitgrade::kSampleBias); }
    const int8_t* Above() const { return rows[0].get() + 16; }
    const int8_t* Centre() const { return rows[1].get() + 16; }
    const int8_t* Below() const { return rows[2].get() + 16; }
    Row<int8_t> rows[3];
};

// One band row of W columns at radius r, drawn by draw(n), a number below n;
// the twin works on copies of the totals.
struct BandInputs {
    template <class Draw>
    BandInputs(uint32_t W, uint32_t r, Draw draw)
        : W(W),
          mean(r),
          busy(W),
          twinBusy(W),
          leavingCounts(W),
          enteringCounts(W),
          values(W),
          edges(W),
          sums(W),
          twinSums(W),
          leavingSums(W),
          enteringSums(W) {
        const uint32_t side = 2 * r + 1, area = side * side;
        for (uint32_t i = 0; i < W; ++i) {
            leavingCounts[i] = (uint16_t)draw(side + 1);
            enteringCounts[i] = (uint16_t)draw(side + 1);
            busy[i] = twinBusy[i] = (uint16_t)(leavingCounts[i] + draw(area - side + 1));
            leavingSums[i] = draw(65281 * side);
            enteringSums[i] = draw(65281 * side);
            sums[i] = twinSums[i] = leavingSums[i] + draw(65281 * (area - side) + 1);
            values[i] = (uint16_t)draw(65281);
            edges[i] = draw(3) ? 0 : 0xFFFF;
        }
        limit = (uint16_t)(draw(2) ? draw(area + 1) : draw(65536));
        firstRow = draw(4) == 0;
    }

    // The row for the kernel under test, or for its twin.
    bitgrade::BandRow Band(bool twin, bool debug) {
        return bitgrade::BandRow{twin ? twinBusy.get() : busy.get(),
                                 debug  ? nullptr
                                 : twin ? twinSums.get()
                                        : sums.get(),
                                 firstRow ? enteringCounts.get() : leavingCounts.get(),
                                 enteringCounts.get(),
                                 firstRow ? enteringSums.get() : leavingSums.get(),
                                 enteringSums.get(),
                                 values.get(),
                                 edges.get(),
                                 &mean,
                                 W,
                                 limit};
    }

    uint32_t W;
    bitgrade::BoxMean mean;
    uint16_t limit;
    // The first band row: the same row enters and leaves.
    bool firstRow;
    Row<uint16_t> busy, twinBusy, leavingCounts, enteringCounts, values, edges;
    Row<uint32_t> sums, twinSums, leavingSums, enteringSums;
};

}  // namespace kernel_inputs
